// The interface language: decided once from the user's first keyboard
// layout, then every language-dependent text of the main window.
#include "app/windows/Main.h"

#include "ui/BusyAnimation.h"
#include "ui/MultiLst.h"
#include "ui/StatusBar.h"
#include "ui/StatusLabel.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QTranslator>

namespace {

void UseQtTranslations(bool German) {
    // Qt's own texts (the save dialog, the buttons of its boxes, the edit
    // menus) follow the interface, where the desktop has Qt's translations.
    static QPointer<QTranslator> qt;
    if (!qt)
        qt = new QTranslator(QCoreApplication::instance());
    QCoreApplication::removeTranslator(qt);
    if (German && (!qt->isEmpty() || qt->load(QLocale(QLocale::German, QLocale::Germany), QStringLiteral("qtbase"),
                                              QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))))
        QCoreApplication::installTranslator(qt);
}

} // namespace

void TForm1::LanguageSelect(QObject*) {
    // Once only: returning from a modal window activates this one again.
    if (LanguageSelected_)
        return;
    LanguageSelected_ = true;

    // Focus: the first empty input field, else the password.
    const bool haveServer = !servername->currentText().isEmpty();
    const bool haveUser = !Username->currentText().isEmpty();
    if (haveServer && haveUser)
        Password->setFocus();
    else if (!haveServer)
        servername->setFocus();
    else
        Username->setFocus();

    Language = sweepbox::LanguageOfLayouts(LayoutReg.get(), DesktopKeyboardFile);
    Session.Language = Language;
    ApplyTexts();
}

void TForm1::ApplyTexts() {
    Header_Nein->setText(Language.Pick(QStringLiteral("Kein Absender / Betreff / Größe / Datum anzeigen"),
                                       QStringLiteral("Don't show Sender / Subject / Date / Size of Mail")));
    BtnConnect->setToolTip(Language.Pick(QStringLiteral("Verbindung zum Server"), QStringLiteral("Connect to Server")));
    BtnDisconnect->setToolTip(
        Language.Pick(QStringLiteral("Verbindung trennen"), QStringLiteral("Disconnect from Server")));
    BtnDelete->setToolTip(
        Language.Pick(QStringLiteral("Markierte Mails löschen"), QStringLiteral("Delete marked e-mails")));
    BtnMark->setToolTip(Language.Pick(QStringLiteral("Alle Mails markieren"), QStringLiteral("Mark all e-mails")));
    BtnInfo->setToolTip(Language.Pick(QStringLiteral("Über diese Programm"), QStringLiteral("About this program")));
    BtnClose->setToolTip(Language.Pick(QStringLiteral("Programm beenden"), QStringLiteral("Close programm")));
    btnheader->setToolTip(Language.Pick(QStringLiteral("Header anzeigen"), QStringLiteral("Show header")));
    btnmail->setToolTip(Language.Pick(QStringLiteral("eMail anzeigen"), QStringLiteral("Show email")));
    Label3->setText(Language.Pick(QStringLiteral("Passwort:"), QStringLiteral("Password:")));
    Label4->setText(Language.Pick(QStringLiteral("Sicherheit:"), QStringLiteral("Security:")));
    Security->setItemText(2, Language.Pick(QStringLiteral("Unverschlüsselt"), QStringLiteral("Unencrypted")));
    Security->setToolTip(
        Language.Pick(QStringLiteral("Wie die Verbindung geschützt wird: TLS (Port 995), STARTTLS (Port 110) "
                                     "oder unverschlüsselt"),
                      QStringLiteral("How the connection is protected: TLS (port 995), STARTTLS (port 110) "
                                     "or unencrypted")));
    SignIn->setItemText(0, Language.Pick(QStringLiteral("Passwort"), QStringLiteral("Password")));
    SignIn->setAccessibleName(Language.Pick(QStringLiteral("Anmeldung"), QStringLiteral("Sign-in")));
    SignIn->setToolTip(Language.Pick(
        QStringLiteral("Anmeldung mit dem Passwort oder mit OAuth2 (im Browser oder mit Ihrem Token-Befehl)"),
        QStringLiteral("Sign in with the password or with OAuth2 (in the browser or with your token command)")));
    ShowSignInFields();
    men_header_anzeigen->setText(Language.Pick(QStringLiteral("Header anzeigen"), QStringLiteral("Show header")));
    men_email_anzeigen->setText(Language.Pick(QStringLiteral("e-mail anzeigen"), QStringLiteral("Show e-mail")));
    men_preview->setText(Language.Pick(QStringLiteral("Vorschau"), QStringLiteral("Preview")));
    Datei->setTitle(QStringLiteral("&Server"));
    Datei_C->setText(Language.Pick(QStringLiteral("&Verbinde"), QStringLiteral("Co&nnect")));
    Datei_D->setText(Language.Pick(QStringLiteral("&Trenne Verbindung"), QStringLiteral("&Disconnect")));
    Datei_L->setText(Language.Pick(QStringLiteral("&Lösche e-mails"), QStringLiteral("D&elete e-mails")));
    Datei_M->setText(Language.Pick(QStringLiteral("&Markiere alle e-mails"), QStringLiteral("&Mark all e-mails")));
    Datei_Close->setText(Language.Pick(QStringLiteral("&Programm beenden"), QStringLiteral("&Close")));
    help_men->setTitle(Language.Pick(QStringLiteral("Hilfe"), QStringLiteral("Help")));
    help_I->setText(Language.Pick(QStringLiteral("&Über"), QStringLiteral("&About")));

    // The chosen welcome text takes the place; the other one goes.
    if (Language.German) {
        info_fenster->show();
        info_fenster_eng->hide();
    } else {
        info_fenster->hide();
        info_fenster_eng->show();
    }

    BtnConnect->setText(Language.Pick(QStringLiteral("Verbinden"), QStringLiteral("Connect")));
    BtnDisconnect->setText(Language.Pick(QStringLiteral("Trennen"), QStringLiteral("Disconnect")));
    BtnDelete->setText(Language.Pick(QStringLiteral("Löschen"), QStringLiteral("Delete")));
    BtnMark->setText(Language.Pick(QStringLiteral("Alle markieren"), QStringLiteral("Mark all")));
    BtnClose->setText(Language.Pick(QStringLiteral("Verlassen"), QStringLiteral("Close")));
    btn_cancel->setText(Language.Pick(QStringLiteral("Abbrechen"), QStringLiteral("Cancel")));

    mail_list->clearHeaderSections();
    mail_list->addHeaderSection(QString());
    mail_list->addHeaderSection(Language.Pick(QStringLiteral("Größe"), QStringLiteral("Size")));
    mail_list->addHeaderSection(Language.Pick(QStringLiteral("Datum"), QStringLiteral("Date")));
    mail_list->addHeaderSection(Language.Pick(QStringLiteral("Absender"), QStringLiteral("From")));
    mail_list->addHeaderSection(Language.Pick(QStringLiteral("Betreff"), QStringLiteral("Subject")));
    // The number column's title is blank on screen; a screen reader names it.
    mail_list->setSectionAccessibleName(0, Language.Pick(QStringLiteral("Nr."), QStringLiteral("No.")));
    // New sections have no indicator yet.
    ShowSortIndicator();

    // Names for screen readers where no caption or label tells them.
    mail_list->setAccessibleName(
        Language.Pick(QStringLiteral("E-Mails auf dem Server"), QStringLiteral("Mails on the server")));
    // Rows in bold are new since the account was last listed.
    mail_list->setEmphasisDescription(Language.Pick(QStringLiteral("neu"), QStringLiteral("new")));
    ProgressBar->setAccessibleName(Language.Pick(QStringLiteral("Fortschritt"), QStringLiteral("Progress")));
    Status->setAccessibleName(QStringLiteral("Status"));
    Status_avi->setAccessibleName(Language.Pick(QStringLiteral("Beschäftigt"), QStringLiteral("Busy")));
    info_fenster->setAccessibleName(QStringLiteral("Willkommen"));
    info_fenster_eng->setAccessibleName(QStringLiteral("Welcome"));
    Status_leiste->setAccessibleName(Language.Pick(QStringLiteral("Statusleiste"), QStringLiteral("Status bar")));
    ApplyQuickFilterTexts();
    UseQtTranslations(Language.German);

    // Captions of another length may need other places.
    LayoutTopPanel();
}
