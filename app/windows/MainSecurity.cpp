// Secure connections in the main window: the security box, its place in the
// remembered pairs and the pinned certificates in the settings. The connect
// itself, its errors and warnings are the session's (MailboxSession.cpp).
#include "app/windows/Main.h"

#include "app/core/Security.h"
#include "app/core/ServerAddress.h"
#include "app/core/Settings.h"

#include <QCheckBox>
#include <QComboBox>

QString TForm1::SecurityValue() const { return Security->currentData().toString(); }

void TForm1::SetSecurityValue(const QString& Value) {
    SetSecurityValue(sweepbox::SecurityFromText(Value));
}

void TForm1::SetSecurityValue(sweepbox::TSecurity Value) {
    Security->setCurrentIndex(Security->findData(QString(sweepbox::SecurityText(Value))));
}

QString TForm1::PinnedCertificate(const QString& HostPort) const {
    return SettingsReg ? SettingsReg->HostCertificatePin(HostPort) : QString();
}

void TForm1::ShowPairSecurity(int Index) {
    if (Index < 0 || Index >= servername->count())
        return;
    SetSecurityValue(sweepbox::SecurityFromText(servername->itemData(Index).toString(),
                                                sweepbox::DefaultSecurity(servername->itemText(Index))));
    SecurityChosen_ = false;
    ShowPairSignIn(Index);
}

void TForm1::ServerEdited(const QString& Text) {
    // A choice the user made stands; otherwise the boxes follow the server:
    // a remembered one brings its security and sign-in, a new one the
    // defaults.
    const int index = servername->findText(Text, Qt::MatchExactly);
    if (!SecurityChosen_) {
        const QString stored = index >= 0 ? servername->itemData(index).toString() : QString();
        SetSecurityValue(sweepbox::SecurityFromText(stored, sweepbox::DefaultSecurity(Text)));
    }
    // Keeping a secret is the user's choice for each pair: a new server
    // starts without it.
    if (!RememberChosen_)
        RememberPassword->setChecked(index >= 0 && servername->itemData(index, kKeepPasswordRole).toBool());
    if (!SignInChosen_) {
        if (index >= 0)
            SetSignInChoice(sweepbox::SignInFromWord(servername->itemData(index, kSignInRole).toString()));
        else
            SetSignInChoice(sweepbox::DefaultsToOAuth2(sweepbox::ParseServerField(Text).Host)
                                ? sweepbox::TSignIn::OAuth2
                                : sweepbox::TSignIn::Password);
    }
}
