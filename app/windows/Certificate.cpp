#include "app/windows/Certificate.h"

#include "app/core/TextCodec.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel* PlainLabel(const QString& Name, const QString& Text, QWidget* Parent) {
    auto* label = new QLabel(Parent);
    label->setObjectName(Name);
    // Certificate fields are the server's words: never read as markup.
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    label->setText(Text);
    return label;
}

// "sha256:abcd..." as pairs of hex digits, eight pairs a line.
QString FingerprintText(const std::string& Fingerprint) {
    const QString hex = QString::fromStdString(Fingerprint.substr(Fingerprint.find(':') + 1));
    QString text;
    for (qsizetype i = 0; i < hex.size(); i += 2) {
        if (i > 0)
            text += (i % 16 == 0) ? QLatin1Char('\n') : QLatin1Char(':');
        text += hex.mid(i, 2);
    }
    return text;
}

} // namespace

QString CertificateProblemText(const kel::TCertificateInfo& Certificate, const sweepbox::TLanguage& Language) {
    using kel::TCertProblem;
    QStringList lines;
    for (const TCertProblem problem : Certificate.Problems) {
        switch (problem) {
        case TCertProblem::Untrusted:
            lines << Language.Say("Kein vertrauenswürdiger Aussteller bestätigt es.",
                                  "No trusted authority vouches for it (untrusted issuer).");
            break;
        case TCertProblem::SelfSigned:
            lines << Language.Say("Es ist selbst signiert.", "It is self-signed.");
            break;
        case TCertProblem::Expired:
            lines << Language.Say("Es ist abgelaufen.", "It has expired.");
            break;
        case TCertProblem::NotYetValid:
            lines << Language.Say("Es ist noch nicht gültig.", "It is not valid yet.");
            break;
        case TCertProblem::WrongHost:
            lines << Language.Say("Es gilt für einen anderen Servernamen.", "It is made out for another server name.");
            break;
        case TCertProblem::Other:
            lines << Language.Say("Es wurde nicht akzeptiert: ", "It was not accepted: ") +
                         MaskHiddenControls(DisplayText(Certificate.Detail));
            break;
        }
    }
    return lines.join(QLatin1Char('\n'));
}

TCertificateDialog::TCertificateDialog(const kel::TCertificateInfo& Certificate, const QString& HostPort,
                                       const sweepbox::TLanguage& Language, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("CertificateDialog"));
    setWindowTitle(Language.Say("Zertifikat des Servers", "Server certificate"));
    setModal(true);

    auto* column = new QVBoxLayout(this);
    const QString headline =
        Certificate.PinChanged
            ? Language.Say("Das Zertifikat von %1 hat sich geändert, seit Sie ihm vertraut haben. "
                           "Das neue kann nicht überprüft werden:",
                           "The certificate of %1 has changed since you trusted it. The new one cannot be verified:")
            : Language.Say("Das Zertifikat von %1 kann nicht überprüft werden:",
                           "The certificate of %1 cannot be verified:");
    auto* title = PlainLabel(QStringLiteral("Headline"), headline.arg(HostPort), this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    column->addWidget(title);
    Reason = PlainLabel(QStringLiteral("Reason"), CertificateProblemText(Certificate, Language), this);
    column->addWidget(Reason);

    // The names are the certificate maker's words: a direction override in
    // them could make one name read as another. Each caption comes before
    // its value, so a screen reader reads them in that order, and labels it.
    auto* form = new QFormLayout;
    const auto row = [&](const QString& Caption, const QString& Name, const QString& Text) {
        auto* caption = new QLabel(Caption, this);
        caption->setObjectName(Name + QStringLiteral("Caption"));
        caption->setTextFormat(Qt::PlainText);
        QLabel* value = PlainLabel(Name, Text, this);
        caption->setBuddy(value);
        // Named by its caption, the value is still read: Qt gives a named
        // label no other text.
        value->setAccessibleName(Caption);
        value->setAccessibleDescription(value->text());
        form->addRow(caption, value);
        return value;
    };
    Subject = row(Language.Say("Inhaber:", "Subject:"), QStringLiteral("Subject"),
                  MaskHiddenControls(DisplayText(Certificate.Subject)));
    Issuer = row(Language.Say("Aussteller:", "Issuer:"), QStringLiteral("Issuer"),
                 MaskHiddenControls(DisplayText(Certificate.Issuer)));
    ValidFrom = row(Language.Say("Gültig ab:", "Valid from:"), QStringLiteral("ValidFrom"),
                    MaskHiddenControls(DisplayText(Certificate.NotBefore)));
    ValidUntil = row(Language.Say("Gültig bis:", "Valid until:"), QStringLiteral("ValidUntil"),
                     MaskHiddenControls(DisplayText(Certificate.NotAfter)));
    Fingerprint = row(Language.Say("SHA-256-Fingerabdruck:", "SHA-256 fingerprint:"), QStringLiteral("Fingerprint"),
                      FingerprintText(Certificate.Fingerprint));
    Fingerprint->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    Fingerprint->setWordWrap(false);
    column->addLayout(form);

    auto* hint =
        PlainLabel(QStringLiteral("Hint"),
                   Language.Say("Vertrauen Sie ihm nur, wenn Sie den Fingerabdruck auf anderem Weg geprüft haben. "
                                "Bis dahin wird nichts an den Server gesendet.",
                                "Trust it only if you have checked the fingerprint by other means. Until then "
                                "nothing is sent to the server."),
                   this);
    column->addWidget(hint);

    auto* buttons = new QDialogButtonBox(this);
    BtnTrust = buttons->addButton(
        Language.Say("Diesem Zertifikat für diesen Server vertrauen", "Trust this certificate for this server"),
        QDialogButtonBox::AcceptRole);
    BtnTrust->setObjectName(QStringLiteral("BtnTrust"));
    BtnTrust->setAutoDefault(false);
    BtnCancel = buttons->addButton(Language.Say("Abbrechen", "Cancel"), QDialogButtonBox::RejectRole);
    BtnCancel->setObjectName(QStringLiteral("BtnCancel"));
    BtnCancel->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    column->addWidget(buttons);
    BtnCancel->setFocus();
    setMinimumWidth(480);
}
