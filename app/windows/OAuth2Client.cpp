#include "app/windows/OAuth2Client.h"

#include "app/windows/Dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QLineEdit* MakeField(QWidget* Parent, const char* Name, const QString& Value) {
    auto* field = new QLineEdit(Value, Parent);
    field->setObjectName(QLatin1String(Name));
    field->setMinimumWidth(360);
    return field;
}

// An endpoint the flow can talk to: https, or http to this machine only.
bool UsableEndpoint(const QString& Text) {
    const QUrl url(Text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return false;
    if (url.scheme() == QLatin1String("https"))
        return true;
    return url.scheme() == QLatin1String("http") &&
           (url.host() == QLatin1String("127.0.0.1") || url.host() == QLatin1String("localhost") ||
            url.host() == QLatin1String("::1"));
}

} // namespace

TOAuth2ClientDialog::TOAuth2ClientDialog(const sweepbox::TLanguage& Language, const QString& Host,
                                         const sweepbox::TOAuth2Provider& Provider, QWidget* Parent)
    : QDialog(Parent), Known_(Provider) {
    setObjectName(QStringLiteral("OAuth2ClientDialog"));
    setWindowTitle(Language.Pick(QStringLiteral("OAuth2-Anmeldung bei %1"), QStringLiteral("OAuth2 sign-in at %1"))
                       .arg(Host));
    auto* column = new QVBoxLayout(this);
    auto* text = new QLabel(
        Language.Pick(
            QStringLiteral("Für die Anmeldung mit OAuth2 braucht %1 eine Client-ID, die Sie beim Anbieter für "
                           "Sweepbox registrieren: als Desktop-Anwendung, mit der Weiterleitung an "
                           "<nobr>http://127.0.0.1</nobr>. Sweepbox bringt keine mit. Sie wird in den Einstellungen "
                           "gespeichert und nur einmal erfragt."),
            QStringLiteral("To sign in with OAuth2, %1 needs a client ID that you register for Sweepbox with the "
                           "provider: as a desktop application, redirecting to <nobr>http://127.0.0.1</nobr>. Sweepbox ships "
                           "none. It is kept in the settings and asked for only once."))
            .arg(Host.toHtmlEscaped()),
        this);
    text->setTextFormat(Qt::RichText);
    if (!Provider.Known())
        text->setText(text->text() + QLatin1Char(' ') +
                      Language.Pick(QStringLiteral("Sweepbox kennt diesen Anbieter nicht: geben Sie auch seine "
                                                   "Adressen und den Bereich (Scope) aus seiner Dokumentation an."),
                                    QStringLiteral("Sweepbox does not know this provider: please also give its "
                                                   "addresses and the scope from its documentation.")));
    text->setObjectName(QStringLiteral("Explanation"));
    text->setWordWrap(true);
    column->addWidget(text);

    auto* form = new QFormLayout;
    column->addLayout(form);
    AuthorizationUrl = MakeField(this, "AuthorizationUrl", Provider.AuthorizationUrl);
    TokenUrl = MakeField(this, "TokenUrl", Provider.TokenUrl);
    Scope = MakeField(this, "Scope", Provider.Scope);
    ClientId = MakeField(this, "ClientId", Provider.ClientId);
    ClientSecret = MakeField(this, "ClientSecret", Provider.ClientSecret);
    // The built-in endpoints need no word from the user.
    if (!Provider.Known()) {
        form->addRow(Language.Pick(QStringLiteral("&Autorisierungs-URL:"), QStringLiteral("&Authorization URL:")),
                     AuthorizationUrl);
        form->addRow(Language.Pick(QStringLiteral("&Token-URL:"), QStringLiteral("&Token URL:")), TokenUrl);
        form->addRow(Language.Pick(QStringLiteral("&Bereich (Scope):"), QStringLiteral("&Scope:")), Scope);
    } else {
        for (QLineEdit* field : {AuthorizationUrl, TokenUrl, Scope})
            field->hide();
    }
    form->addRow(Language.Pick(QStringLiteral("&Client-ID:"), QStringLiteral("&Client ID:")), ClientId);
    form->addRow(Language.Pick(QStringLiteral("Client-&Geheimnis (falls vergeben):"),
                               QStringLiteral("Client s&ecret (if one was given):")),
                 ClientSecret);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("Buttons"));
    column->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    for (QLineEdit* field : {AuthorizationUrl, TokenUrl, ClientId})
        connect(field, &QLineEdit::textChanged, this, &TOAuth2ClientDialog::UpdateOk);
    UpdateOk();
    (Provider.Known() ? ClientId : AuthorizationUrl)->setFocus();
}

sweepbox::TOAuth2Provider TOAuth2ClientDialog::Provider() const {
    sweepbox::TOAuth2Provider provider = Known_;
    provider.AuthorizationUrl = AuthorizationUrl->text().trimmed();
    provider.TokenUrl = TokenUrl->text().trimmed();
    provider.Scope = Scope->text().trimmed();
    provider.ClientId = ClientId->text().trimmed();
    provider.ClientSecret = ClientSecret->text().trimmed();
    return provider;
}

void TOAuth2ClientDialog::UpdateOk() {
    const bool complete = UsableEndpoint(AuthorizationUrl->text()) && UsableEndpoint(TokenUrl->text()) &&
                          !ClientId->text().trimmed().isEmpty();
    if (auto* buttons = findChild<QDialogButtonBox*>(QStringLiteral("Buttons")))
        buttons->button(QDialogButtonBox::Ok)->setEnabled(complete);
}

bool AskForOAuth2Client(QWidget* Parent, const sweepbox::TLanguage& Language, const QString& Host,
                        sweepbox::TOAuth2Provider& Provider) {
    TOAuth2ClientDialog dialog(Language, Host, Provider, Parent);
    if (sweepbox::ExecModal(dialog) != QDialog::Accepted)
        return false;
    Provider = dialog.Provider();
    return !Provider.ClientId.isEmpty() && Provider.Known();
}
