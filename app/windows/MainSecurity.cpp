// Secure connections in the main window: the security box, its place in the
// remembered pairs and the pinned certificates in the settings. The connect
// itself, its errors and warnings are the session's (MailboxSession.cpp).
#include "app/windows/Main.h"

#include "app/core/ServerAddress.h"
#include "app/core/SettingsNames.h"

#include <QComboBox>
#include <QSettings>

namespace {


bool IsSecurityValue(const QString& Value) {
    return Value == QLatin1String("tls") || Value == QLatin1String("starttls") || Value == QLatin1String("none");
}

} // namespace

QString TForm1::SecurityValue() const { return Security->currentData().toString(); }

void TForm1::SetSecurityValue(const QString& Value) {
    const int index = Security->findData(IsSecurityValue(Value) ? Value : QStringLiteral("tls"));
    Security->setCurrentIndex(index);
}

QString TForm1::DefaultSecurity(const QString& Server) {
    const sweepbox::TServerAddress address = sweepbox::ParseServerField(Server);
    return sweepbox::IsLoopbackHost(address.Host) ? QStringLiteral("none") : QStringLiteral("tls");
}

QString TForm1::PinnedCertificate(const QString& HostPort) const {
    if (!SettingsReg)
        return QString();
    const QVariant value = SettingsReg->value(sweepbox::settings::CertificateKey(HostPort));
    const QString pin = value.typeId() == QMetaType::QString ? value.toString().trimmed().toLower() : QString();
    return pin.startsWith(QLatin1String("sha256:")) ? pin : QString();
}

void TForm1::ShowPairSecurity(int Index) {
    if (Index < 0 || Index >= servername->count())
        return;
    const QString stored = servername->itemData(Index).toString();
    SetSecurityValue(IsSecurityValue(stored) ? stored : DefaultSecurity(servername->itemText(Index)));
    SecurityChosen = false;
}

void TForm1::ServerEdited(const QString& Text) {
    // A choice the user made stands; otherwise the box follows the server:
    // a remembered one brings its security, a new one the default.
    if (SecurityChosen)
        return;
    const int index = servername->findText(Text, Qt::MatchExactly);
    const QString stored = index >= 0 ? servername->itemData(index).toString() : QString();
    SetSecurityValue(IsSecurityValue(stored) ? stored : DefaultSecurity(Text));
}
