// The language decision from the keyboard layouts, and the welcome texts.
#include "app/core/Language.h"

#include <QFile>
#include <QSettings>

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

TLanguage LanguageOfLayouts(QSettings* store, const QString& desktopKeyboardFile) {
    QString first;
    QString second;
    if (store) {
        first = ReadLayoutValue(*store, kLayoutSubkeyValue);
        second = ReadLayoutValue(*store, kLayoutListValue);
    }
    // Without layouts of its own the user has the desktop's.
    if (first.isEmpty() && second.isEmpty())
        first = DesktopKeyboardLayoutId(desktopKeyboardFile);
    TLanguage language;
    language.German = IsGermanLayoutId(first, second);
    return language;
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
