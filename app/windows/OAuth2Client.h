// Asks once for what an OAuth2 provider needs to know of this program: the
// client ID the user registered for it (and the secret, where the
// provider's desktop clients have one), and for a host without built-in
// endpoints, those too.
#pragma once

#include "app/core/Language.h"
#include "app/core/SignIn.h"

#include <QDialog>

class QLineEdit;

class TOAuth2ClientDialog : public QDialog {
    Q_OBJECT
  public:
    TOAuth2ClientDialog(const sweepbox::TLanguage& Language, const QString& Host,
                        const sweepbox::TOAuth2Provider& Provider, QWidget* Parent = nullptr);

    // What the user entered over what was known.
    sweepbox::TOAuth2Provider Provider() const;

    // objectName = member name.
    QLineEdit* AuthorizationUrl = nullptr;
    QLineEdit* TokenUrl = nullptr;
    QLineEdit* Scope = nullptr;
    QLineEdit* ClientId = nullptr;
    QLineEdit* ClientSecret = nullptr;

  private:
    // OK only once the flow has all it needs.
    void UpdateOk();
    sweepbox::TOAuth2Provider Known_;
};

// Shows the dialog; true with Provider completed when the user confirmed.
bool AskForOAuth2Client(QWidget* Parent, const sweepbox::TLanguage& Language, const QString& Host,
                        sweepbox::TOAuth2Provider& Provider);
