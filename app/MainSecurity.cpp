// Secure connections in the main window: the security box and its place in
// the remembered pairs, the connect with its clear errors, the certificate
// the user may trust, and the warnings around an unencrypted login.
#include "Main.h"

#include "Certificate.h"
#include "Dialogs.h"
#include "ServerAddress.h"
#include "TextCodec.h"

#include <QComboBox>
#include <QSettings>

namespace {

const QString kCertificates = QStringLiteral("Certificates");

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
    const QVariant value = SettingsReg->value(kCertificates + QLatin1Char('/') + HostPort);
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

bool TForm1::OpenConnection(const QString& HostPort) {
    pop3.Connect();
    if (pop3.ConnectFailure() == kel::TConnectFailure::Certificate) {
        if (!AskTrust(HostPort)) {
            Status->Clear();
            StatusAdd(Say("Fehler: Dem Zertifikat des Servers wurde nicht vertraut. Es wurde nichts gesendet.",
                          "Error: the server's certificate was not trusted. Nothing was sent."));
            return false;
        }
        pop3.PinnedFingerprint = pop3.RejectedCertificate().Fingerprint;
        pop3.Connect();
    }
    if (pop3.Connected() && !pop3.OperationFailed())
        return true;
    ReportConnectFailure();
    return false;
}

bool TForm1::AskTrust(const QString& HostPort) {
    TCertificateDialog dialog(pop3.RejectedCertificate(), HostPort, IsGerman, this);
    if (sweepbox::ExecModal(dialog) != QDialog::Accepted)
        return false;
    if (SettingsReg) {
        SettingsReg->setValue(kCertificates + QLatin1Char('/') + HostPort,
                              QString::fromStdString(pop3.RejectedCertificate().Fingerprint));
        SettingsReg->sync();
    }
    return true;
}

void TForm1::ReportConnectFailure() {
    using kel::TConnectFailure;
    Status->Clear();
    const QString detail = QStringLiteral("     - ") + DisplayText(pop3.ConnectError());
    switch (pop3.ConnectFailure()) {
    case TConnectFailure::Tls:
        StatusAdd(Say("Fehler: Die sichere Verbindung (TLS) kam nicht zustande.",
                      "Error: the secure connection (TLS) could not be established."));
        StatusAdd(detail);
        return;
    case TConnectFailure::Certificate:
        StatusAdd(Say("Fehler: Das Zertifikat des Servers wird nicht akzeptiert.",
                      "Error: the server's certificate is not accepted."));
        for (const QString& line : CertificateProblemText(pop3.RejectedCertificate(), IsGerman).split(QLatin1Char('\n')))
            StatusAdd(QStringLiteral("     - ") + line);
        return;
    case TConnectFailure::PlainServer:
        StatusAdd(Say("Fehler: Der Server antwortet unverschlüsselt, nicht mit TLS.",
                      "Error: the server answers in plain text, not with TLS."));
        StatusAdd(Say("     - Wählen Sie STARTTLS oder „Unverschlüsselt“, oder den TLS-Port (Server:995).",
                      "     - Choose STARTTLS or Unencrypted, or the TLS port (server:995)."));
        return;
    case TConnectFailure::NoGreeting:
        StatusAdd(Say("Fehler: Der Server hat sich nicht gemeldet.", "Error: the server sent no greeting."));
        if (pop3.Security != kel::TPopSecurity::Tls)
            StatusAdd(Say("     - Er erwartet vermutlich TLS von Anfang an: wählen Sie TLS.",
                          "     - It probably expects TLS from the start: choose TLS."));
        return;
    case TConnectFailure::NoStls:
        StatusAdd(Say("Fehler: Der Server bietet kein STARTTLS an. Benutzer und Passwort wurden nicht gesendet.",
                      "Error: the server does not offer STARTTLS. User name and password were not sent."));
        StatusAdd(Say("     - Wählen Sie TLS, wenn der Server es anbietet (Port 995).",
                      "     - Choose TLS if the server offers it (port 995)."));
        return;
    case TConnectFailure::StlsRefused:
        StatusAdd(Say("Fehler: Der Server lehnt STARTTLS ab. Benutzer und Passwort wurden nicht gesendet.",
                      "Error: the server refused STARTTLS. User name and password were not sent."));
        StatusAdd(detail);
        return;
    case TConnectFailure::None:
    case TConnectFailure::Unreachable:
        break;
    }
    StatusAdd(Say("Fehler: Keine Verbindung zum Server möglich !!!!",
                  "Error: a connection to the server cannot be established !!!!"));
    StatusAdd(Say("     - Sind Sie mit dem Internet verbunden?", "     - Are you connected to the Internet?"));
    StatusAdd(Say("     - Haben Sie den korrekten Server eingetragen?", "     - Do you use the correct server namen?"));
    StatusAdd(Say("     - Eventuell ist der Server gerade nicht erreichbar!",
                  "     - Maybe the server is temporarily not available!"));
}

void TForm1::WarnUnencrypted() {
    if (pop3.Security == kel::TPopSecurity::None && !sweepbox::IsLoopbackHost(QString::fromStdString(pop3.Host)))
        StatusAdd(Say("Warnung: Das Passwort wird unverschlüsselt gesendet.",
                      "Warning: the password is sent unencrypted."));
}

void TForm1::HintSecureLogin() {
    if (pop3.Security != kel::TPopSecurity::None)
        return;
    const QString reply = DisplayText(pop3.ReplyText()).toLower();
    bool wantsTls = reply.contains(QLatin1String("[privacy]"));
    for (const char* word : {"plaintext", "plain text", "ssl", "tls", "secure", "encrypt"})
        wantsTls = wantsTls || reply.contains(QLatin1String(word));
    if (wantsTls) {
        StatusAdd(Say("Hinweis: Der Server verlangt eine sichere Verbindung: wählen Sie TLS oder STARTTLS.",
                      "Hint: the server requires a secure connection: choose TLS or STARTTLS."));
    } else if (reply.contains(QLatin1String("[auth]")) &&
               !sweepbox::IsLoopbackHost(QString::fromStdString(pop3.Host))) {
        StatusAdd(Say("Hinweis: Stimmt das Passwort, verlangt der Server wohl eine sichere Verbindung: "
                      "wählen Sie TLS oder STARTTLS.",
                      "Hint: if the password is right, the server probably wants a secure connection: "
                      "choose TLS or STARTTLS."));
    }
}
