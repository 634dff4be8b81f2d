// Signing in from the main window: the sign-in box and the keyring box, and
// what a connect needs beyond the input row (a remembered password, an
// OAuth2 token from the browser or the user's command). The login itself is
// the session's (MailboxSession.cpp).
#include "app/windows/Main.h"

#include "app/core/ServerAddress.h"
#include "app/core/Settings.h"
#include "app/signin/Keyring.h"
#include "app/signin/TokenCommand.h"
#include "app/windows/OAuth2Client.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QLineEdit>

#include <algorithm>

sweepbox::TSignIn TForm1::SignInChoice() const { return sweepbox::SignInFromWord(SignIn->currentData().toString()); }

void TForm1::SetSignInChoice(sweepbox::TSignIn Value) {
    SignIn->setCurrentIndex(SignIn->findData(sweepbox::SignInWord(Value)));
    ShowSignInFields();
}

void TForm1::ShowPairSignIn(int Index) {
    if (Index < 0 || Index >= servername->count())
        return;
    SetSignInChoice(sweepbox::SignInFromWord(servername->itemData(Index, kSignInRole).toString()));
    RememberPassword->setChecked(servername->itemData(Index, kKeepPasswordRole).toBool());
    SignInChosen_ = false;
    RememberChosen_ = false;
}

void TForm1::ShowSignInFields() {
    const bool oauth2 = SignInChoice() == sweepbox::TSignIn::OAuth2;
    const bool idle = BtnConnect->isEnabled();
    Password->setEnabled(idle && !oauth2);
    RememberPassword->setText(oauth2 ? Language.Pick(QStringLiteral("Anmeldung merken"), QStringLiteral("Remember sign-in"))
                                     : Language.Pick(QStringLiteral("Passwort merken"), QStringLiteral("Remember password")));
    RememberPassword->setToolTip(
        Language.Pick(QStringLiteral("Der Schlüsselbund des Desktops bewahrt das Passwort (bei OAuth2 die Anmeldung) auf"),
                      QStringLiteral("The desktop's keyring keeps the password (with OAuth2, the sign-in)")));
    // A password the keyring keeps is fetched when the connect needs it.
    const int index = servername->currentIndex();
    const bool kept = index >= 0 && servername->itemText(index) == servername->currentText() &&
                      servername->itemData(index, kKeepPasswordRole).toBool();
    Password->setPlaceholderText(!oauth2 && kept ? RememberedHint() : QString());
}

QString TForm1::RememberedHint() const {
    return Language.Pick(QStringLiteral("(gemerkt)"), QStringLiteral("(remembered)"));
}

// ------------------------------------------------------------- the connect

namespace {

// The remembered pair the request names, or -1.
int PairIndex(const QComboBox* Servers, const QComboBox* Users, const TConnectRequest& Request) {
    for (int i = 0; i < std::min(Servers->count(), Users->count()); ++i)
        if (Servers->itemText(i) == Request.Server && Users->itemText(i) == Request.User)
            return i;
    return -1;
}

QString KeyringReason(const sweepbox::TLanguage& Language, const sweepbox::TKeyringResult& Result) {
    switch (Result.Status) {
    case sweepbox::TKeyringStatus::Unavailable:
        return Language.Pick(QStringLiteral("Auf diesem Desktop gibt es keinen Schlüsselbund (Secret Service)."),
                             QStringLiteral("there is no keyring (Secret Service) on this desktop."));
    case sweepbox::TKeyringStatus::Locked:
        return Language.Pick(QStringLiteral("Der Schlüsselbund ist gesperrt oder verweigert den Zugriff."),
                             QStringLiteral("the keyring is locked or refused access."));
    case sweepbox::TKeyringStatus::NotFound:
        return Language.Pick(QStringLiteral("Der Schlüsselbund hat nichts für diesen Zugang."),
                             QStringLiteral("the keyring keeps nothing for this pair."));
    case sweepbox::TKeyringStatus::Ok:
    case sweepbox::TKeyringStatus::Failed:
        break;
    }
    return Language.Pick(QStringLiteral("Der Schlüsselbund antwortet nicht wie erwartet: "),
                         QStringLiteral("the keyring did not answer as expected: ")) +
           Result.Detail;
}

QString TokenFailureText(const sweepbox::TLanguage& Language, const sweepbox::TTokenResult& Result,
                         const QString& Host) {
    using sweepbox::TTokenFailure;
    const QString detail = Result.Detail.isEmpty() ? QString() : QStringLiteral(": ") + Result.Detail;
    switch (Result.Failure) {
    case TTokenFailure::Cancelled:
        return Language.Pick(QStringLiteral("Die Anmeldung mit OAuth2 wurde abgebrochen."),
                             QStringLiteral("The OAuth2 sign-in was cancelled."));
    case TTokenFailure::TimedOut:
        return Language.Pick(QStringLiteral("Fehler: Im Browser wurde innerhalb von 5 Minuten keine Anmeldung abgeschlossen."),
                             QStringLiteral("Error: no sign-in was completed in the browser within 5 minutes."));
    case TTokenFailure::Denied:
        return Language.Pick(QStringLiteral("Fehler: Der Anbieter hat die Anmeldung abgelehnt"),
                             QStringLiteral("Error: the provider refused the sign-in")) + detail;
    case TTokenFailure::StateMismatch:
        return Language.Pick(
            QStringLiteral("Fehler: Die Antwort im Browser gehört nicht zu dieser Anmeldung; sie wurde nicht angenommen."),
            QStringLiteral("Error: the browser's answer does not belong to this sign-in; it was not accepted."));
    case TTokenFailure::ClientIdMissing:
        return Language.Pick(QStringLiteral("Fehler: Für OAuth2 bei %1 fehlt die Client-ID."),
                             QStringLiteral("Error: OAuth2 at %1 needs a client ID, and none is set."))
            .arg(Host);
    case TTokenFailure::RefreshRefused:
    case TTokenFailure::ExchangeFailed:
        return Language.Pick(QStringLiteral("Fehler: Der Anbieter hat kein Token ausgegeben"),
                             QStringLiteral("Error: the provider handed out no token")) + detail;
    case TTokenFailure::CommandFailed:
        return Language.Pick(QStringLiteral("Fehler: Der Token-Befehl ist gescheitert"),
                             QStringLiteral("Error: the token command failed")) + detail;
    case TTokenFailure::CommandTimedOut:
        return Language.Pick(QStringLiteral("Fehler: Der Token-Befehl war nach 30 Sekunden nicht fertig und wurde beendet."),
                             QStringLiteral("Error: the token command did not finish within 30 seconds and was stopped."));
    case TTokenFailure::CommandNotFound:
        return Language.Pick(QStringLiteral("Fehler: Der Token-Befehl lässt sich nicht starten"),
                             QStringLiteral("Error: the token command cannot be run")) + detail;
    case TTokenFailure::NoToken:
        return Language.Pick(QStringLiteral("Fehler: Der Token-Befehl hat kein Token ausgegeben."),
                             QStringLiteral("Error: the token command printed no token."));
    case TTokenFailure::None:
        break;
    }
    return QString();
}

// A token that is still good for a minute saves the user a round to the provider.
bool StillGood(const sweepbox::TOAuth2Tokens& Tokens) {
    return !Tokens.AccessToken.isEmpty() &&
           (!Tokens.ExpiresAt.isValid() || Tokens.ExpiresAt > QDateTime::currentDateTimeUtc().addSecs(60));
}

} // namespace

QString TForm1::RequestHostPort(const TConnectRequest& Request) const {
    const sweepbox::TServerAddress address = sweepbox::ParseServerField(Request.Server);
    return sweepbox::HostPortKey(address.Host, sweepbox::ConnectPort(address, Request.Security));
}

sweepbox::TOAuth2Tokens& TForm1::TokensFor(const TConnectRequest& Request) {
    return Tokens_[Request.User + QLatin1Char('@') + RequestHostPort(Request)];
}

bool TForm1::PairKeepsSecret(const TConnectRequest& Request) const {
    const int pair = PairIndex(servername, Username, Request);
    return pair >= 0 && servername->itemData(pair, kKeepPasswordRole).toBool();
}

bool TForm1::PrepareSignIn(TConnectRequest& Request, bool Fresh) {
    // The session says what is missing from the input row itself.
    if (Request.Server.isEmpty() || Request.User.isEmpty() || !sweepbox::ParseServerField(Request.Server).Valid)
        return true;
    if (Request.SignIn == sweepbox::TSignIn::Password)
        return !Request.Password.isEmpty() || PasswordFromKeyring(Request);
    return ObtainAccessToken(Request, Fresh);
}

bool TForm1::PasswordFromKeyring(TConnectRequest& Request) {
    // Without a password the session says that one is needed.
    if (!PairKeepsSecret(Request))
        return true;
    AwaitingToken(true);
    const sweepbox::TKeyringResult found =
        Keyring_->Find(sweepbox::PasswordKeyName(RequestHostPort(Request), Request.User));
    AwaitingToken(false);
    if (found.Ok() && !found.Secret.isEmpty()) {
        Request.Password = found.Secret;
        return true;
    }
    ClearStatus();
    AddStatus(Say("Fehler: Das gemerkte Passwort ist nicht zu lesen: ", "Error: the remembered password cannot be read: ") +
              KeyringReason(Language, found));
    AddStatus(Say("     - Geben Sie das Passwort ein.", "     - Please type the password."));
    Password->setFocus();
    return false;
}

bool TForm1::ObtainAccessToken(TConnectRequest& Request, bool Fresh) {
    const QString hostPort = RequestHostPort(Request);
    const QString host = sweepbox::ParseServerField(Request.Server).Host;
    const int pair = PairIndex(servername, Username, Request);
    const QString command = pair >= 0 ? servername->itemData(pair, kTokenCommandRole).toString() : QString();
    auto fail = [&](const sweepbox::TTokenResult& Result) {
        ClearStatus();
        AddStatus(TokenFailureText(Language, Result, host));
        return false;
    };

    if (!command.trimmed().isEmpty()) {
        ClearStatus();
        AddStatus(Say("Der Token-Befehl läuft ...", "Running the token command ..."));
        AwaitingToken(true);
        const sweepbox::TTokenResult result = TokenCommand_->Run(command);
        AwaitingToken(false);
        if (!result.Ok())
            return fail(result);
        Request.AccessToken = result.Tokens.AccessToken;
        return true;
    }

    sweepbox::TOAuth2Tokens& tokens = TokensFor(Request);
    if (!Fresh && StillGood(tokens)) {
        Request.AccessToken = tokens.AccessToken;
        return true;
    }
    if (tokens.RefreshToken.isEmpty() && PairKeepsSecret(Request)) {
        const sweepbox::TKeyringResult found =
            Keyring_->Find(sweepbox::RefreshTokenKeyName(hostPort, Request.User));
        if (found.Ok())
            tokens.RefreshToken = found.Secret;
    }
    sweepbox::TOAuth2Provider provider = SettingsReg->OAuth2Provider(host);
    if (!provider.Known() || provider.ClientId.isEmpty()) {
        if (!AskForOAuth2Client(this, Language, host, provider)) {
            if (provider.Known())
                return fail({sweepbox::TTokenFailure::ClientIdMissing, QString(), {}});
            ClearStatus();
            AddStatus(Say("Fehler: Für OAuth2 bei %1 fehlen die Adressen des Anbieters und die Client-ID.",
                          "Error: OAuth2 at %1 needs the provider's addresses and a client ID, and none are set.")
                          .arg(host));
            return false;
        }
        SettingsReg->SetOAuth2Provider(host, provider);
    }

    AwaitingToken(true);
    // A refresh first where there is a refresh token; the browser where
    // there is none or the provider refused it.
    sweepbox::TTokenResult result{sweepbox::TTokenFailure::RefreshRefused, QString(), {}};
    if (!tokens.RefreshToken.isEmpty()) {
        ClearStatus();
        AddStatus(Say("Die Anmeldung mit OAuth2 wird erneuert ...", "Renewing the OAuth2 sign-in ..."));
        result = OAuth2_->Refresh(provider, tokens.RefreshToken);
        // Only the provider's refusal ends a refresh token; an unreachable
        // provider may take it tomorrow.
        if (result.Failure == sweepbox::TTokenFailure::RefreshRefused)
            tokens.RefreshToken.clear();
    }
    if (!result.Ok() && result.Failure != sweepbox::TTokenFailure::Cancelled) {
        ClearStatus();
        AddStatus(Say("Bitte melden Sie sich im Browser an, der sich geöffnet hat. „Abbrechen“ beendet das Warten.",
                      "Please sign in in the browser window that opened. Cancel stops waiting."));
        result = OAuth2_->Authorize(provider, Request.User);
    }
    AwaitingToken(false);
    if (!result.Ok())
        return fail(result);
    // A refresh that hands out no new refresh token leaves the old one good.
    const QString refresh = result.Tokens.RefreshToken.isEmpty() ? tokens.RefreshToken : result.Tokens.RefreshToken;
    tokens = result.Tokens;
    tokens.RefreshToken = refresh;
    Request.AccessToken = tokens.AccessToken;
    return true;
}

void TForm1::AwaitingToken(bool Waiting) {
    AwaitingToken_ = Waiting;
    Status->show();
    btn_aktivieren(Waiting ? 1 : 0);
    ShowListingButtons(Waiting);
}

void TForm1::ForgetAccessToken(const TConnectRequest& Request) {
    TokensFor(Request).AccessToken.clear();
}

void TForm1::KeepSecrets(const TConnectRequest& Request, bool WasKept) {
    const QString hostPort = RequestHostPort(Request);
    const bool oauth2 = Request.SignIn == sweepbox::TSignIn::OAuth2;
    const QString key = oauth2 ? sweepbox::RefreshTokenKeyName(hostPort, Request.User)
                               : sweepbox::PasswordKeyName(hostPort, Request.User);
    if (!RememberPassword->isChecked()) {
        // Unticked: what was kept goes (nothing to do where nothing was).
        if (WasKept) {
            Keyring_->Remove(sweepbox::PasswordKeyName(hostPort, Request.User));
            Keyring_->Remove(sweepbox::RefreshTokenKeyName(hostPort, Request.User));
        }
        return;
    }
    const QString secret = oauth2 ? TokensFor(Request).RefreshToken : Request.Password;
    // A token command or a provider without refresh tokens leaves nothing to keep.
    if (secret.isEmpty())
        return;
    const sweepbox::TKeyringResult stored = Keyring_->Store(key, secret);
    if (stored.Ok())
        return;
    AddStatus(Say("Hinweis: Das Passwort wird nicht gemerkt: ", "Note: the password is not remembered: ") +
              KeyringReason(Language, stored));
    const int pair = PairIndex(servername, Username, Request);
    if (pair >= 0)
        servername->setItemData(pair, false, kKeepPasswordRole);
}
