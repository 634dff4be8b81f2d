#include "app/windows/Application.h"
#include "app/core/CommandLine.h"
#include "app/windows/Desktop.h"
#include "app/windows/Main.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication::setApplicationName(QStringLiteral("Sweepbox"));
    QApplication::setOrganizationName(QStringLiteral("Larkmoor"));
    QApplication::setApplicationVersion(QStringLiteral(SWEEPBOX_VERSION));
    // Help and version are answered before the interface starts, so they need
    // no display; so is a mistake, unless it may be one of Qt's own options.
    const QStringList arguments = sweepbox::ArgumentList(argc, argv);
    if (const auto early = sweepbox::ParseCommandLine(arguments);
        early.AnsweredWithoutWindow() ||
        (early.Action == sweepbox::TCommandLine::clError && !sweepbox::MayBeForQt(arguments)))
        return sweepbox::ReportCommandLine(early);

    QApplication app(argc, argv);
    // Qt has taken its own options (-platform, -style, ...) out by now.
    if (const auto command = sweepbox::ParseCommandLine(QApplication::arguments());
        command.Action != sweepbox::TCommandLine::clStart)
        return sweepbox::ReportCommandLine(command);
    QGuiApplication::setDesktopFileName(QString(sweepbox::kDesktopId));

    // The about, header and message windows are made when first used.
    sweepbox::CreateApplicationWindows();
    sweepbox::UseProgramIcon(Form1);
    Form1->show();
    const int result = QApplication::exec();
    sweepbox::DestroyApplicationWindows();
    return result;
}
