#include "app/core/Settings.h"

#include "app/core/SettingsFile.h"
#include "mail/core/KelText.h"

#include <algorithm>

namespace sweepbox {

TSettings::TSettings()
    : Store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Larkmoor"), QStringLiteral("Sweepbox")) {
    MakePrivate(Store.fileName());
}

// A value stored as something other than text (a list, a byte array, by a
// hand edit) reads as missing.
QString TSettings::ReadString(const QString& Name) const {
    const QVariant value = Store.value(Name);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

int TSettings::ReadInteger(const QString& Name, int Fallback) const {
    const QVariant value = Store.value(Name);
    if (value.typeId() != QMetaType::QString)
        return Fallback;
    return kel::StrToIntDef(value.toString().toStdString(), Fallback);
}

void TSettings::WriteInteger(const QString& Name, int Value) {
    Store.setValue(Name, QString::number(Value));
}

void TSettings::Save() {
    MakePrivate(Store.fileName());
    Store.sync();
}

std::vector<TRememberedPair> TSettings::Pairs() const {
    std::vector<TRememberedPair> pairs;
    for (int n = 1; n <= settings::kRememberedPairs; ++n) {
        TRememberedPair pair;
        pair.User = ReadString(settings::UserKey(n));
        pair.Server = ReadString(settings::ServerKey(n));
        if (pair.User.isEmpty() || pair.Server.isEmpty())
            continue;
        pair.Security = SecurityFromText(ReadString(settings::SecurityKey(n)), DefaultSecurity(pair.Server));
        pair.SignIn = SignInFromWord(ReadString(settings::SignInKey(n)));
        pair.TokenCommand = ReadString(settings::TokenCommandKey(n));
        pair.KeepPassword = ReadString(settings::KeepPasswordKey(n)) == QLatin1String("yes");
        pairs.push_back(pair);
    }
    return pairs;
}

void TSettings::SetPairs(const std::vector<TRememberedPair>& Pairs) {
    const auto count = static_cast<int>(std::min<size_t>(Pairs.size(), settings::kRememberedPairs));
    const size_t first = Pairs.size() - static_cast<size_t>(count);
    for (int i = 0; i < count; ++i) {
        const TRememberedPair& pair = Pairs[first + static_cast<size_t>(i)];
        Store.setValue(settings::UserKey(i + 1), pair.User);
        Store.setValue(settings::ServerKey(i + 1), pair.Server);
        Store.setValue(settings::SecurityKey(i + 1), QString(SecurityText(pair.Security)));
        Store.setValue(settings::SignInKey(i + 1), SignInWord(pair.SignIn));
        if (pair.TokenCommand.isEmpty())
            Store.remove(settings::TokenCommandKey(i + 1));
        else
            Store.setValue(settings::TokenCommandKey(i + 1), pair.TokenCommand);
        if (pair.KeepPassword)
            Store.setValue(settings::KeepPasswordKey(i + 1), QStringLiteral("yes"));
        else
            Store.remove(settings::KeepPasswordKey(i + 1));
    }
    for (int n = count + 1; n <= settings::kRememberedPairs; ++n) {
        for (const QString& key : {settings::UserKey(n), settings::ServerKey(n), settings::SecurityKey(n),
                                   settings::SignInKey(n), settings::TokenCommandKey(n), settings::KeepPasswordKey(n)})
            Store.remove(key);
    }
    Save();
}

TWindowGeometry TSettings::Geometry() const {
    const TWindowGeometry defaults;
    return {ReadInteger(settings::kXPos, defaults.X), ReadInteger(settings::kYPos, defaults.Y),
            ReadInteger(settings::kWidth, defaults.Width), ReadInteger(settings::kHeight, defaults.Height)};
}

void TSettings::SetGeometry(const TWindowGeometry& Geometry) {
    WriteInteger(settings::kXPos, Geometry.X);
    WriteInteger(settings::kYPos, Geometry.Y);
    WriteInteger(settings::kWidth, Geometry.Width);
    WriteInteger(settings::kHeight, Geometry.Height);
}

TColumnWidths TSettings::ColumnWidths(const TColumnWidths& Fallback) const {
    TColumnWidths widths{};
    for (int n = 0; n < settings::kListColumns; ++n)
        widths[static_cast<size_t>(n)] = ReadInteger(settings::ColumnWidthKey(n), Fallback[static_cast<size_t>(n)]);
    return widths;
}

void TSettings::SetColumnWidths(const TColumnWidths& Widths) {
    for (int n = 0; n < settings::kListColumns; ++n)
        WriteInteger(settings::ColumnWidthKey(n), Widths[static_cast<size_t>(n)]);
}

int TSettings::SortColumn() const {
    const int column = ReadInteger(settings::kSortColumn, -1);
    return column >= 0 && column < settings::kListColumns ? column : -1;
}

bool TSettings::SortDescending() const {
    return ReadString(settings::kSortOrder) == settings::kDescending;
}

void TSettings::SetSort(int Column, bool Descending) {
    WriteInteger(settings::kSortColumn, Column);
    Store.setValue(settings::kSortOrder, QString(Descending ? settings::kDescending : settings::kAscending));
}

QString TSettings::CertificatePin(const QString& HostPort) const {
    const QString pin = ReadString(settings::CertificateKey(HostPort)).trimmed().toLower();
    return pin.startsWith(QLatin1String("sha256:")) ? pin : QString();
}

namespace {

// The host of "host:port" or "[IPv6]:port" as HostPortKey writes it.
QString HostOf(const QString& HostPort) {
    const qsizetype colon = HostPort.lastIndexOf(QLatin1Char(':'));
    return colon < 0 ? HostPort : HostPort.left(colon);
}

} // namespace

QString TSettings::HostCertificatePin(const QString& HostPort) const {
    if (const QString own = CertificatePin(HostPort); !own.isEmpty())
        return own;
    const QString host = HostOf(HostPort);
    const QString group = QString(settings::kCertificates) + QLatin1Char('/');
    QString agreed;
    for (const QString& key : Store.allKeys()) {
        if (!key.startsWith(group))
            continue;
        const QString other = key.mid(group.size());
        if (HostOf(other).compare(host, Qt::CaseInsensitive) != 0)
            continue;
        const QString pin = CertificatePin(other);
        if (pin.isEmpty())
            continue;
        if (!agreed.isEmpty() && pin != agreed)
            return QString();
        agreed = pin;
    }
    return agreed;
}

void TSettings::SetCertificatePin(const QString& HostPort, const QString& Fingerprint) {
    Store.setValue(settings::CertificateKey(HostPort), Fingerprint);
    Save();
}

namespace {

// The provider's values as they are stored, each with its name.
struct TProviderValue {
    QLatin1StringView Name;
    QString TOAuth2Provider::*Value;
};
constexpr TProviderValue kProviderValues[] = {
    {QLatin1StringView("AuthorizationUrl"), &TOAuth2Provider::AuthorizationUrl},
    {QLatin1StringView("TokenUrl"), &TOAuth2Provider::TokenUrl},
    {QLatin1StringView("ClientId"), &TOAuth2Provider::ClientId},
    {QLatin1StringView("ClientSecret"), &TOAuth2Provider::ClientSecret},
    {QLatin1StringView("Scope"), &TOAuth2Provider::Scope},
};

// A group name for the host that the store cannot take for a path.
QString ProviderHost(const QString& Host) {
    QString host = Host.trimmed().toLower();
    host.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
    return host;
}

} // namespace

TOAuth2Provider TSettings::OAuth2Provider(const QString& Host) const {
    TOAuth2Provider provider = PresetProvider(Host);
    for (const TProviderValue& item : kProviderValues) {
        const QString stored = ReadString(settings::OAuth2ProviderKey(ProviderHost(Host), item.Name)).trimmed();
        if (!stored.isEmpty())
            provider.*item.Value = stored;
    }
    return provider;
}

void TSettings::SetOAuth2Provider(const QString& Host, const TOAuth2Provider& Provider) {
    const TOAuth2Provider preset = PresetProvider(Host);
    for (const TProviderValue& item : kProviderValues) {
        const QString key = settings::OAuth2ProviderKey(ProviderHost(Host), item.Name);
        const QString value = (Provider.*item.Value).trimmed();
        if (value.isEmpty() || value == preset.*item.Value)
            Store.remove(key);
        else
            Store.setValue(key, value);
    }
    Save();
}

} // namespace sweepbox
