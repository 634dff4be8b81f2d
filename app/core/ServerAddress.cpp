#include "app/core/ServerAddress.h"

#include <QFile>

#include <arpa/inet.h>
#include <cstring>

namespace sweepbox {

namespace {

bool ParsePort(const QString& Text, uint16_t& Port) {
    bool ok = false;
    const uint value = Text.toUInt(&ok);
    // Only digits: toUInt would also take "+5" and " 5".
    for (const QChar c : Text)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (!ok || value == 0 || value > 65535)
        return false;
    Port = static_cast<uint16_t>(value);
    return true;
}

// 1: a loopback address, 0: another address, -1: no address at all.
int LoopbackAddress(const QString& Text) {
    const QByteArray text = Text.toLatin1();
    unsigned char v4[4], v6[16];
    if (::inet_pton(AF_INET, text.constData(), v4) == 1)
        return v4[0] == 127 ? 1 : 0;
    if (::inet_pton(AF_INET6, text.constData(), v6) != 1)
        return -1;
    static const unsigned char one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(v6, one, 16) == 0)
        return 1;
    return std::memcmp(v6, mapped, 12) == 0 && v6[12] == 127 ? 1 : 0;
}

} // namespace

TServerAddress ParseServerField(const QString& Text) {
    TServerAddress a;
    const QString field = Text.trimmed();
    if (field.startsWith(QLatin1Char('['))) {
        const qsizetype close = field.indexOf(QLatin1Char(']'));
        if (close < 0)
            return a;
        a.Host = field.mid(1, close - 1);
        const QString rest = field.mid(close + 1);
        if (!rest.isEmpty() && !(rest.startsWith(QLatin1Char(':')) && ParsePort(rest.mid(1), a.Port)))
            return a;
        a.Valid = !a.Host.isEmpty() && !a.Host.contains(QLatin1Char(' '));
        return a;
    }
    const qsizetype colon = field.indexOf(QLatin1Char(':'));
    if (colon >= 0 && field.indexOf(QLatin1Char(':'), colon + 1) < 0) {
        a.Host = field.left(colon);
        if (!ParsePort(field.mid(colon + 1), a.Port))
            return a;
    } else {
        a.Host = field; // no colon, or an IPv6 address without brackets
    }
    a.Valid = !a.Host.isEmpty() && !a.Host.contains(QLatin1Char(' '));
    return a;
}

QString HostPortKey(const QString& Host, uint16_t Port) {
    const QString host = Host.contains(QLatin1Char(':')) ? QLatin1Char('[') + Host + QLatin1Char(']') : Host;
    return host + QLatin1Char(':') + QString::number(Port);
}

bool IsLoopbackHost(const QString& Host, const QString& HostsFile) {
    const QString host = Host.trimmed().toLower();
    if (host.isEmpty())
        return false;
    if (const int loop = LoopbackAddress(host); loop >= 0)
        return loop == 1;
    if (host == QLatin1String("localhost") || host.endsWith(QLatin1String(".localhost")))
        return true;
    QFile hosts(HostsFile);
    if (!hosts.open(QIODevice::ReadOnly))
        return false;
    bool named = false, elsewhere = false;
    // A hosts file is small; a huge one is read no further than this.
    for (int lines = 0; lines < 100000 && !hosts.atEnd(); ++lines) {
        QString line = QString::fromUtf8(hosts.readLine(4096));
        line = line.left(line.indexOf(QLatin1Char('#')));
        const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.size() < 2)
            continue;
        for (qsizetype i = 1; i < words.size(); ++i) {
            if (words[i].toLower() != host)
                continue;
            const bool loop = LoopbackAddress(words[0]) == 1;
            named = true;
            elsewhere = elsewhere || !loop;
        }
    }
    return named && !elsewhere;
}

uint16_t ConnectPort(const TServerAddress& Address, TSecurity Security) {
    if (Address.Port)
        return Address.Port;
    return Security == TSecurity::Tls ? 995 : 110;
}

} // namespace sweepbox
