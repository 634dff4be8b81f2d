// The interface language: decided once from the user's first keyboard
// layout, then every language-dependent text of the main window.
#include "app/windows/Main.h"
#include "app/windows/MainLanguage.h"

#include "ui/BusyAnimation.h"
#include "ui/MultiLst.h"
#include "ui/StatusBar.h"
#include "ui/StatusLabel.h"
#include "app/windows/info.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QSettings>
#include <QTranslator>

namespace sweepbox {

bool IsGermanLayoutId(const QString& first, const QString& second) {
    static const QString german[] = {QStringLiteral("00000407"), QStringLiteral("00000807"),
                                     QStringLiteral("00010407")};
    for (const QString& value : {first, second})
        for (const QString& id : german)
            if (value == id)
                return true;
    return false;
}

QString MapXkbLayout(const QString& layout, const QString& variant) {
    if (layout.isEmpty())
        return QString();
    if (layout == QLatin1String("de"))
        return variant.isEmpty() ? QStringLiteral("00000407") : QStringLiteral("00010407");
    // The plain Swiss layout is the German one; its French variants start
    // with "fr".
    if (layout == QLatin1String("ch") && (variant.isEmpty() || variant == QLatin1String("legacy") || variant.startsWith(QLatin1String("de"))))
        return QStringLiteral("00000807");
    return QStringLiteral("00000409");
}

namespace {

// The first entry of a comma-separated shell value, without quotes.
QString FirstEntry(QString value) {
    value = value.trimmed();
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    return value.section(QLatin1Char(','), 0, 0).trimmed();
}

} // namespace

QString DesktopKeyboardLayoutId(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    // The file is a few lines; anything far larger is not this file.
    const QByteArray content = file.read(64 * 1024);
    QString layout;
    QString variant;
    for (const QByteArray& rawLine : content.split('\n')) {
        QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(QLatin1String("export ")))
            line = line.mid(7).trimmed();
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QString name = line.left(eq).trimmed();
        // Later assignments win, as they would in the shell.
        if (name == QLatin1String("XKBLAYOUT"))
            layout = FirstEntry(line.mid(eq + 1));
        else if (name == QLatin1String("XKBVARIANT"))
            variant = FirstEntry(line.mid(eq + 1));
    }
    return MapXkbLayout(layout, variant);
}

QString ReadLayoutValue(QSettings& store, const char* key) {
    const QVariant value = store.value(QString::fromLatin1(key));
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

QString WelcomeTextGerman() {
    return QStringLiteral(
        "Herzlich willkommen bei Sweepbox!\n"
        "\n"
        "Vielen Dank, dass Sie dieses Programm verwenden.\n"
        "\n"
        "Mit Sweepbox löschen Sie e-mails direkt auf dem Server, ohne sie vorher "
        "herunterladen oder lesen zu müssen. Das hilft vor allem dann, wenn eine sehr "
        "große Nachricht Ihr Postfach blockiert.\n"
        "\n"
        "Sweepbox kann keine e-mails versenden.\n"
        "\n"
        "Ein Klick mit der rechten Maustaste auf eine Nachricht in der Liste zeigt "
        "ihren Header oder die ganze e-mail an. Die e-mail und ihre Anhänge lassen "
        "sich dort speichern.\n"
        "\n"
        "Absender, Betreff, Größe und Datum jeder e-mail werden standardmäßig "
        "angezeigt. Bei manchen Servern kann das fehlschlagen. Setzen Sie in diesem "
        "Fall das Häkchen bei \"Kein Absender / Betreff / Größe / Datum anzeigen\" "
        "und verbinden Sie sich erneut.\n"
        "\n"
        "Sweepbox erhebt keinen Anspruch auf Fehlerfreiheit.\n"
        "\n"
        "Deutschland, Januar 2000");
}

QString WelcomeTextEnglish() {
    return QStringLiteral(
        "Welcome to Sweepbox!\n"
        "\n"
        "Thank you for using this program.\n"
        "\n"
        "Sweepbox deletes e-mails right on the server, without downloading or reading "
        "them first. This is most useful when a very large message is blocking your "
        "mailbox.\n"
        "\n"
        "Sweepbox cannot send e-mails.\n"
        "\n"
        "Right-click a message in the list to see its header or the whole e-mail. "
        "From there the e-mail and its attachments can be saved.\n"
        "\n"
        "By default the sender, subject, size and date of every e-mail are shown. "
        "With some servers this may fail; if it does, deactivate the display by "
        "ticking \"Don't show Sender / Subject / Date / Size of Mail\" and connect "
        "again.\n"
        "\n"
        "Sweepbox is not perfect and may still contain errors.\n"
        "\n"
        "Germany, January 2000");
}

} // namespace sweepbox

void TForm1::LanguageSelect(QObject*) {
    // Once only: returning from a modal window activates this one again.
    if (languageSelected_)
        return;
    languageSelected_ = true;

    // Focus: the first empty input field, else the password.
    const bool haveServer = !servername->currentText().isEmpty();
    const bool haveUser = !Username->currentText().isEmpty();
    if (haveServer && haveUser)
        Password->setFocus();
    else if (!haveServer)
        servername->setFocus();
    else
        Username->setFocus();

    QString first;
    QString second;
    if (LayoutReg) {
        first = sweepbox::ReadLayoutValue(*LayoutReg, sweepbox::kLayoutSubkeyValue);
        second = sweepbox::ReadLayoutValue(*LayoutReg, sweepbox::kLayoutListValue);
    }
    // Without layouts of its own the user has the desktop's.
    if (first.isEmpty() && second.isEmpty())
        first = sweepbox::DesktopKeyboardLayoutId(DesktopKeyboardFile);
    IsGerman = sweepbox::IsGermanLayoutId(first, second);
    ApplyTexts();
}

void TForm1::ApplyTexts() {
    const bool de = IsGerman;
    auto pick = [de](const QString& german, const QString& english) { return de ? german : english; };

    Header_Nein->setText(pick(QStringLiteral("Kein Absender / Betreff / Größe / Datum anzeigen"),
                              QStringLiteral("Don't show Sender / Subject / Date / Size of Mail")));
    BtnConnect->setToolTip(pick(QStringLiteral("Verbindung zum Server"), QStringLiteral("Connect to Server")));
    BtnDisconnect->setToolTip(pick(QStringLiteral("Verbindung trennen"), QStringLiteral("Disconnect from Server")));
    BtnDelete->setToolTip(pick(QStringLiteral("Markierte Mails löschen"), QStringLiteral("Delete marked e-mails")));
    BtnMark->setToolTip(pick(QStringLiteral("Alle Mails markieren"), QStringLiteral("Mark all e-mails")));
    BtnInfo->setToolTip(pick(QStringLiteral("Über diese Programm"), QStringLiteral("About this program")));
    BtnClose->setToolTip(pick(QStringLiteral("Programm beenden"), QStringLiteral("Close programm")));
    btnheader->setToolTip(pick(QStringLiteral("Header anzeigen"), QStringLiteral("Show header")));
    btnmail->setToolTip(pick(QStringLiteral("eMail anzeigen"), QStringLiteral("Show email")));
    Label3->setText(pick(QStringLiteral("Passwort:"), QStringLiteral("Password:")));
    Label4->setText(pick(QStringLiteral("Sicherheit:"), QStringLiteral("Security:")));
    Security->setItemText(2, pick(QStringLiteral("Unverschlüsselt"), QStringLiteral("Unencrypted")));
    Security->setToolTip(pick(QStringLiteral("Wie die Verbindung geschützt wird: TLS (Port 995), STARTTLS (Port 110) "
                                             "oder unverschlüsselt"),
                              QStringLiteral("How the connection is protected: TLS (port 995), STARTTLS (port 110) "
                                             "or unencrypted")));
    men_header_anzeigen->setText(pick(QStringLiteral("Header anzeigen"), QStringLiteral("Show header")));
    men_email_anzeigen->setText(pick(QStringLiteral("e-mail anzeigen"), QStringLiteral("Show e-mail")));
    Datei->setTitle(QStringLiteral("&Server"));
    Datei_C->setText(pick(QStringLiteral("&Verbinde"), QStringLiteral("Co&nnect")));
    Datei_D->setText(pick(QStringLiteral("&Trenne Verbindung"), QStringLiteral("&Disconnect")));
    Datei_L->setText(pick(QStringLiteral("&Lösche e-mails"), QStringLiteral("D&elete e-mails")));
    Datei_M->setText(pick(QStringLiteral("&Markiere alle e-mails"), QStringLiteral("&Mark all e-mails")));
    Datei_Close->setText(pick(QStringLiteral("&Programm beenden"), QStringLiteral("&Close")));
    help_men->setTitle(pick(QStringLiteral("Hilfe"), QStringLiteral("Help")));
    help_I->setText(pick(QStringLiteral("&Über"), QStringLiteral("&About")));

    // The chosen welcome text takes the place; the other one goes.
    if (de) {
        info_fenster->show();
        info_fenster_eng->hide();
    } else {
        info_fenster->hide();
        info_fenster_eng->show();
    }
    AboutIsGerman = de;

    BtnConnect->setText(pick(QStringLiteral("Verbinden"), QStringLiteral("Connect")));
    BtnDisconnect->setText(pick(QStringLiteral("Trennen"), QStringLiteral("Disconnect")));
    BtnDelete->setText(pick(QStringLiteral("Löschen"), QStringLiteral("Delete")));
    BtnMark->setText(pick(QStringLiteral("Alle markieren"), QStringLiteral("Mark all")));
    BtnClose->setText(pick(QStringLiteral("Verlassen"), QStringLiteral("Close")));
    btn_cancel->setText(pick(QStringLiteral("Abbrechen"), QStringLiteral("Cancel")));

    mail_list->clearHeaderSections();
    mail_list->addHeaderSection(QString());
    mail_list->addHeaderSection(pick(QStringLiteral("Größe"), QStringLiteral("Size")));
    mail_list->addHeaderSection(pick(QStringLiteral("Datum"), QStringLiteral("Date")));
    mail_list->addHeaderSection(pick(QStringLiteral("Absender"), QStringLiteral("From")));
    mail_list->addHeaderSection(pick(QStringLiteral("Betreff"), QStringLiteral("Subject")));
    // New sections have no indicator yet.
    ShowSortIndicator();

    // Names for screen readers where no caption or label tells them.
    mail_list->setAccessibleName(pick(QStringLiteral("E-Mails auf dem Server"), QStringLiteral("Mails on the server")));
    ProgressBar->setAccessibleName(pick(QStringLiteral("Fortschritt"), QStringLiteral("Progress")));
    Status->setAccessibleName(QStringLiteral("Status"));
    Status_avi->setAccessibleName(pick(QStringLiteral("Beschäftigt"), QStringLiteral("Busy")));
    info_fenster->setAccessibleName(QStringLiteral("Willkommen"));
    info_fenster_eng->setAccessibleName(QStringLiteral("Welcome"));
    Status_leiste->setAccessibleName(pick(QStringLiteral("Statusleiste"), QStringLiteral("Status bar")));
    sweepbox::UseQtTranslations(de);

    // Captions of another length may need other places.
    LayoutTopPanel();
}

namespace sweepbox {

void UseQtTranslations(bool German) {
    // Qt's own texts (the save dialog, the buttons of its boxes, the edit
    // menus) follow the interface, where the desktop has Qt's translations.
    static QPointer<QTranslator> qt;
    if (!qt)
        qt = new QTranslator(QCoreApplication::instance());
    QCoreApplication::removeTranslator(qt);
    if (German && (!qt->isEmpty() || qt->load(QLocale(QLocale::German, QLocale::Germany), QStringLiteral("qtbase"),
                                              QStringLiteral("_"),
                                              QLibraryInfo::path(QLibraryInfo::TranslationsPath))))
        QCoreApplication::installTranslator(qt);
}

} // namespace sweepbox
