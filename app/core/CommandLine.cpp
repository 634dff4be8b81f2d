#include "app/core/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace sweepbox {

namespace {

QString ProgramName(const QStringList& arguments) {
    const QString name = arguments.isEmpty() ? QString() : QFileInfo(arguments.first()).fileName();
    return name.isEmpty() ? QStringLiteral("sweepbox") : name;
}

TCommandLine Failure(const QString& why, const QStringList& arguments) {
    const QString program = ProgramName(arguments);
    return {TCommandLine::clError, QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n").arg(program, why)};
}

} // namespace

TCommandLine ParseCommandLine(const QStringList& arguments) {
    // The parser wants the program's name first; without it nothing was asked.
    if (arguments.isEmpty())
        return {};
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Lists the mail waiting on a POP3 server and deletes "
                                                    "unwanted messages without downloading them."));
    // Not addHelpOption(): that adds --help-all as well.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on commandline options."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    if (!parser.parse(arguments))
        return Failure(parser.errorText(), arguments);
    if (parser.isSet(help)) {
        // The parser names the program by its whole path, and not at all
        // before there is an application object: the usage line is ours.
        const QString text = parser.helpText();
        return {TCommandLine::clHelp, QStringLiteral("Usage: %1 [options]\n").arg(ProgramName(arguments)) +
                                          text.mid(text.indexOf(u'\n') + 1)};
    }
    if (parser.isSet(version))
        return {TCommandLine::clVersion, QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                                       QCoreApplication::applicationVersion())};
    if (!parser.positionalArguments().isEmpty())
        return Failure(QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first()),
                       arguments);
    return {};
}

bool MayBeForQt(const QStringList& arguments) {
    static const QStringList qtOptions = {
        QStringLiteral("platform"),   QStringLiteral("platformpluginpath"), QStringLiteral("platformtheme"),
        QStringLiteral("plugin"),     QStringLiteral("qwindowgeometry"),    QStringLiteral("qwindowicon"),
        QStringLiteral("qwindowtitle"), QStringLiteral("reverse"),          QStringLiteral("session"),
        QStringLiteral("style"),      QStringLiteral("stylesheet"),         QStringLiteral("widgetcount"),
        QStringLiteral("display"),    QStringLiteral("geometry"),           QStringLiteral("name"),
        QStringLiteral("title"),      QStringLiteral("visual"),             QStringLiteral("ncols"),
        QStringLiteral("cmap"),       QStringLiteral("qmljsdebugger"),      QStringLiteral("nograb"),
        QStringLiteral("dograb"),     QStringLiteral("sync"),               QStringLiteral("fn"),
        QStringLiteral("font"),       QStringLiteral("bg"),                 QStringLiteral("background"),
        QStringLiteral("fg"),         QStringLiteral("foreground"),         QStringLiteral("btn"),
        QStringLiteral("button"),     QStringLiteral("im"),                 QStringLiteral("inputstyle"),
        QStringLiteral("icon"),       QStringLiteral("testability")};
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == QStringLiteral("--"))
            break;
        if (!a.startsWith(u'-'))
            continue;
        QString name = a.mid(a.startsWith(QStringLiteral("--")) ? 2 : 1);
        name.truncate(name.indexOf(u'=') < 0 ? name.size() : name.indexOf(u'='));
        if (qtOptions.contains(name))
            return true;
    }
    return false;
}

QStringList ArgumentList(int argc, const char* const* argv) {
    QStringList list;
    for (int i = 0; i < argc && argv[i]; ++i)
        list.append(QString::fromLocal8Bit(argv[i]));
    return list;
}

int ReportCommandLine(const TCommandLine& result) {
    const bool failed = result.Action == TCommandLine::clError;
    std::fputs(result.Text.toLocal8Bit().constData(), failed ? stderr : stdout);
    std::fflush(failed ? stderr : stdout);
    return failed ? 1 : 0;
}

} // namespace sweepbox
