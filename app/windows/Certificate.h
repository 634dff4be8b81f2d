// The window that explains a server certificate the connection did not
// accept and lets the user trust it for this one server.
#pragma once

#include "app/core/Language.h"
#include "mail/pop3/KelCertificate.h"

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

class TCertificateDialog : public QDialog {
    Q_OBJECT
  public:
    // HostPort names the server as "host:port".
    TCertificateDialog(const kel::TCertificateInfo& Certificate, const QString& HostPort,
                       const sweepbox::TLanguage& Language, QWidget* parent = nullptr);

    QLabel* Reason = nullptr;     // what is wrong, one line per problem
    QLabel* Subject = nullptr;
    QLabel* Issuer = nullptr;
    QLabel* ValidFrom = nullptr;
    QLabel* ValidUntil = nullptr;
    QLabel* Fingerprint = nullptr;
    QPushButton* BtnTrust = nullptr;  // accepts the dialog
    QPushButton* BtnCancel = nullptr; // rejects it; the default button
};

// The problems in the interface language, one line each.
QString CertificateProblemText(const kel::TCertificateInfo& Certificate, const sweepbox::TLanguage& Language);
