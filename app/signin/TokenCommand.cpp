#include "app/signin/TokenCommand.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include <csignal>

#include <unistd.h>

namespace sweepbox {

namespace {

// Longer than any token a provider hands out; a longer first line is not one.
constexpr qsizetype kFirstLineLimit = 64 * 1024;
// The end of the error output is where a program says what went wrong.
constexpr qsizetype kErrorTailLimit = 2 * 1024;
constexpr int kKillWaitMs = 5000;

bool ProgramExists(const QString& Program) {
    if (Program.contains(QLatin1Char('/'))) {
        const QFileInfo info(Program);
        return info.exists() && !info.isDir();
    }
    return !QStandardPaths::findExecutable(Program).isEmpty();
}

QString WithErrorOutput(QString Detail, const QByteArray& ErrorTail) {
    const QString tail = QString::fromUtf8(ErrorTail).trimmed();
    if (!tail.isEmpty())
        Detail += QStringLiteral(": ") + tail;
    return Detail;
}

} // namespace

TTokenResult TTokenCommand::Run(const QString& CommandLine) {
    QStringList words = QProcess::splitCommand(CommandLine);
    if (words.isEmpty())
        return {TTokenFailure::CommandNotFound, QStringLiteral("no token command"), {}};
    const QString program = words.takeFirst();
    if (!ProgramExists(program))
        return {TTokenFailure::CommandNotFound, QStringLiteral("no such program: ") + program, {}};
    if (Loop_)
        return {TTokenFailure::Cancelled, QStringLiteral("a token command is already running"), {}};

    QProcess process;
    process.setProgram(program);
    process.setArguments(words);
    process.setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so that what it starts goes with it when it is
    // killed (a script's helpers hold the output open otherwise).
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);

    // The output is read as it comes, so the process's own buffers stay
    // small; all but the first line and the error output's tail is dropped.
    QByteArray firstLine;
    bool lineEnded = false;
    bool lineTooLong = false;
    QByteArray errorTail;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &loop, [&] {
        const QByteArray bytes = process.readAllStandardOutput();
        if (lineEnded)
            return;
        const qsizetype end = bytes.indexOf('\n');
        firstLine += end < 0 ? bytes : bytes.left(end);
        lineEnded = end >= 0;
        if (firstLine.size() > kFirstLineLimit) {
            lineTooLong = lineEnded = true;
            firstLine.clear();
        }
    });
    QObject::connect(&process, &QProcess::readyReadStandardError, &loop, [&] {
        errorTail += process.readAllStandardError();
        if (errorTail.size() > kErrorTailLimit)
            errorTail = errorTail.right(kErrorTailLimit);
    });
    QObject::connect(&process, &QProcess::finished, &loop, [&loop] { loop.quit(); });
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError Error) {
        if (Error == QProcess::FailedToStart)
            loop.quit();
    });
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);

    Cancelled_ = false;
    limit.start(LimitMs);
    process.start(QIODevice::ReadOnly);
    Loop_ = &loop;
    if (process.state() != QProcess::NotRunning || process.error() != QProcess::FailedToStart)
        loop.exec();
    Loop_ = nullptr;
    limit.stop();

    if (process.error() == QProcess::FailedToStart)
        return {TTokenFailure::CommandFailed, QStringLiteral("cannot start ") + program + QStringLiteral(": ") +
                                                  process.errorString(),
                {}};
    if (process.state() != QProcess::NotRunning) {
        if (process.processId() > 0)
            ::kill(-pid_t(process.processId()), SIGKILL);
        process.kill();
        process.waitForFinished(kKillWaitMs);
        if (Cancelled_)
            return {TTokenFailure::Cancelled, QStringLiteral("cancelled"), {}};
        return {TTokenFailure::CommandTimedOut,
                WithErrorOutput(QStringLiteral("no answer in %1 s").arg(LimitMs / 1000.0), errorTail), {}};
    }
    if (process.exitStatus() == QProcess::CrashExit)
        return {TTokenFailure::CommandFailed, WithErrorOutput(QStringLiteral("stopped by a signal"), errorTail), {}};
    if (process.exitCode() != 0)
        return {TTokenFailure::CommandFailed,
                WithErrorOutput(QStringLiteral("exit code %1").arg(process.exitCode()), errorTail), {}};
    if (lineTooLong)
        return {TTokenFailure::NoToken, QStringLiteral("the first line of output is too long for a token"), {}};
    TTokenResult result;
    result.Tokens.AccessToken = QString::fromUtf8(firstLine).trimmed();
    if (result.Tokens.AccessToken.isEmpty())
        return {TTokenFailure::NoToken, WithErrorOutput(QStringLiteral("no token on the first line"), errorTail), {}};
    return result;
}

void TTokenCommand::Cancel() {
    if (!Loop_)
        return;
    Cancelled_ = true;
    Loop_->quit();
}

TTokenResult RunTokenCommand(const QString& CommandLine, int LimitMs) {
    TTokenCommand command;
    command.LimitMs = LimitMs;
    return command.Run(CommandLine);
}

} // namespace sweepbox
