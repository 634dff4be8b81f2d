// Signing in from the main window: the sign-in box and the keyring box, and
// what a connect needs beyond the input row (a remembered password, an
// OAuth2 token from the browser or the user's command). The login itself is
// the session's (MailboxSession.cpp).
#include "app/windows/Main.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

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
    ShowSignInFields();
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
    Password->setPlaceholderText(!oauth2 && kept ? Language.Pick(QStringLiteral("(gemerkt)"), QStringLiteral("(remembered)"))
                                                 : QString());
}
