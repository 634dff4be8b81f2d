// The program's command line: -h/--help and -v/--version, nothing else.
#pragma once

#include <QString>
#include <QStringList>

namespace sweepbox {

struct TCommandLine {
    enum TAction { clStart, clHelp, clVersion, clError };
    TAction Action = clStart;
    // The help or the version for standard output, or the error and a hint
    // for standard error; empty when the program starts.
    QString Text;

    // Help and version need nothing of the interface.
    bool AnsweredWithoutWindow() const { return Action == clHelp || Action == clVersion; }
};

// Reads arguments as QCoreApplication::arguments() gives them (the program
// first). The version and the name in the texts are QCoreApplication's.
TCommandLine ParseCommandLine(const QStringList& arguments);

// Whether an argument may be one of the options Qt's application object
// takes for itself (-platform, -style, -display, ...), which only it can
// tell apart from a mistake; without one, an error is final before the
// interface starts.
bool MayBeForQt(const QStringList& arguments);

// The arguments of main() as a list, for reading before any QApplication.
QStringList ArgumentList(int argc, const char* const* argv);

// Prints the result's text where it belongs and returns the exit status:
// 0 for help and version, 1 for an error.
int ReportCommandLine(const TCommandLine& result);

} // namespace sweepbox
