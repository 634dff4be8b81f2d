// The user's token command: run without a shell, its first line the token,
// bounded in time and in what it prints.
#include "app/signin/TokenCommand.h"

#include "support/QtCoreTestApp.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <string>

#include <sys/resource.h>

namespace {

using sweepbox::RunTokenCommand;
using sweepbox::TTokenFailure;
using sweepbox::TTokenResult;

std::string Text(const QString& s) { return s.toStdString(); }

class TokenCommandTest : public ::testing::Test {
  protected:
    void SetUp() override { sweepbox::test::EnsureCoreApp(); }
};

TEST_F(TokenCommandTest, TakesTheFirstLineOrSaysWhyNot) {
    const struct {
        const char* name;
        const char* command;
        TTokenFailure failure;
        const char* token;  // with None
        const char* detail; // a part of Detail otherwise
    } rows[] = {
        {"first line, trimmed", "sh -c \"printf '  tok-123 \\nsecond line\\n'\"", TTokenFailure::None, "tok-123", ""},
        {"no newline at the end", "printf tok-456", TTokenFailure::None, "tok-456", ""},
        {"quotes group words, no shell expands", "echo $HOME; \"a  b\" `id`", TTokenFailure::None, "$HOME; a  b `id`", ""},
        {"exit code and error output", "sh -c \"echo out; echo 'bad credentials' >&2; exit 3\"",
         TTokenFailure::CommandFailed, "", "bad credentials"},
        {"killed by a signal", "sh -c \"kill -9 $$\"", TTokenFailure::CommandFailed, "", "signal"},
        {"nothing printed", "true", TTokenFailure::NoToken, "", ""},
        {"an empty first line", "printf \"\\ntok\"", TTokenFailure::NoToken, "", ""},
        {"no such program by name", "sweepbox-no-such-program --token", TTokenFailure::CommandNotFound, "",
         "sweepbox-no-such-program"},
        {"no such program by path", "/nonexistent/token-helper", TTokenFailure::CommandNotFound, "", ""},
        {"a folder is no program", "/tmp", TTokenFailure::CommandNotFound, "", ""},
        {"a file that is no program", "/etc/passwd", TTokenFailure::CommandFailed, "", "cannot start"},
        {"an empty command line", "  ", TTokenFailure::CommandNotFound, "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TTokenResult r = RunTokenCommand(QString::fromUtf8(row.command), 10000);
        EXPECT_EQ(r.Failure, row.failure) << Text(r.Detail);
        EXPECT_EQ(Text(r.Tokens.AccessToken), row.token);
        EXPECT_NE(Text(r.Detail).find(row.detail), std::string::npos) << Text(r.Detail);
    }
}

TEST_F(TokenCommandTest, ShowsOnlyTheEndOfALongErrorOutput) {
    const TTokenResult r =
        RunTokenCommand(QStringLiteral("sh -c \"head -c 100000 /dev/zero | tr '\\\\0' e >&2; echo THE-END >&2; "
                                       "exit 1\""));
    EXPECT_EQ(r.Failure, TTokenFailure::CommandFailed);
    EXPECT_LE(r.Detail.size(), 2200);
    EXPECT_TRUE(r.Detail.endsWith(QStringLiteral("THE-END"))) << Text(r.Detail.right(40));
}

// Gone, or a zombie its new parent has yet to reap; within the test bound.
bool Ended(pid_t Pid) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 5000) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(Pid));
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        if (close >= 0 && text.mid(close + 2, 1) == "Z")
            return true;
        QThread::msleep(10);
    }
    return false;
}

// Is a command past its limit killed, with what it started, not left running?
TEST_F(TokenCommandTest, KillsACommandPastItsLimit) {
    QTemporaryDir dir;
    const QString pidFile = dir.filePath(QStringLiteral("pids"));
    QElapsedTimer clock;
    clock.start();
    const TTokenResult r = RunTokenCommand(
        QStringLiteral("sh -c \"sleep 60 & echo $$ $! > '%1'; echo waiting >&2; wait\"").arg(pidFile), 500);
    EXPECT_EQ(r.Failure, TTokenFailure::CommandTimedOut);
    EXPECT_NE(Text(r.Detail).find("waiting"), std::string::npos) << Text(r.Detail);
    EXPECT_LT(clock.elapsed(), 30000);
    QFile file(pidFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> pids = file.readAll().trimmed().split(' ');
    ASSERT_EQ(pids.size(), 2);
    for (const QByteArray& pid : pids) {
        ASSERT_GT(pid.toInt(), 0);
        EXPECT_TRUE(Ended(pid.toInt())) << "still running: " << pid.toStdString();
    }
}

TEST_F(TokenCommandTest, CancelStopsTheCommand) {
    sweepbox::TTokenCommand command;
    QTimer::singleShot(100, [&command] { command.Cancel(); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(command.Run(QStringLiteral("sleep 60")).Failure, TTokenFailure::Cancelled);
    EXPECT_LT(clock.elapsed(), 30000);
}

#if defined(__SANITIZE_ADDRESS__)
// Freed blocks wait in a quarantine of 256 MB by default before reuse, which
// would measure the sanitizer rather than the reader.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif

long PeakKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// What the address sanitizer keeps of freed memory shows in the peak too:
// this binary keeps little (below), and the output is far larger than both
// together.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kPeakAllowanceKiB = (64 + 128) * 1024;
#else
constexpr long kPeakAllowanceKiB = 64 * 1024;
#endif

// A command that prints far more than a token must not fill the memory.
TEST_F(TokenCommandTest, HugeOutputIsNotKept) {
    const long before = PeakKiB();
    const TTokenResult afterToken =
        RunTokenCommand(QStringLiteral("sh -c \"echo tok-789; exec head -c 800000000 /dev/zero\""));
    EXPECT_TRUE(afterToken.Ok()) << Text(afterToken.Detail);
    EXPECT_EQ(Text(afterToken.Tokens.AccessToken), "tok-789");
    const TTokenResult oneLine = RunTokenCommand(QStringLiteral("head -c 800000000 /dev/zero"));
    EXPECT_EQ(oneLine.Failure, TTokenFailure::NoToken);
    EXPECT_LT(PeakKiB() - before, kPeakAllowanceKiB) << "KiB more at the peak";
}

} // namespace
