// The keyring where there is none to use: no session bus at all, a bus on
// which nobody serves the Secret Service, and one whose Secret Service never
// answers. Every call comes back, a failure and never the secret in its
// words, and no secret goes to a file instead. libsecret and Qt keep the
// first session bus they reach for the whole process, so each desktop's
// calls run in a child forked before this process touches Qt or D-Bus.
#include "app/signin/Keyring.h"

#include "support/QtCoreTestApp.h"
#include "support/SecretService.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using sweepbox::TKeyring;
using sweepbox::TKeyringResult;
using sweepbox::TKeyringStatus;
using sweepbox::test::SecretService;
using sweepbox::test::TestDesktop;
namespace fs = std::filesystem;

const QString Secret = QStringLiteral("no-keyring-secret-5d21");

struct Answer {
    TKeyringStatus Status = TKeyringStatus::Ok;
    bool TimedOut = false;
    bool SecretInDetail = false;
    bool SecretFound = false;
    long long Ms = 0;
};

using TCalls = std::function<void(TKeyring& Keyring, const std::function<void(const TKeyringResult&)>& Answered)>;

// Runs Calls in a child process and returns what each call answered, in
// order. The child has at most LimitS seconds in all.
std::vector<Answer> InChild(const TCalls& Calls, int LimitS = 60) {
    int out[2];
    if (::pipe(out) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        sweepbox::test::EnsureCoreApp();
        TKeyring keyring;
        QElapsedTimer clock;
        clock.start();
        std::ostringstream lines;
        Calls(keyring, [&](const TKeyringResult& Result) {
            lines << int(Result.Status) << ' ' << Result.TimedOut << ' ' << Result.Detail.contains(Secret) << ' '
                  << (Result.Secret == Secret) << ' ' << clock.restart() << '\n';
        });
        const std::string text = lines.str();
        (void)!::write(out[1], text.data(), text.size());
        // Nothing of the test runner's may run twice: no exit handlers.
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(LimitS);
    char buf[512];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::vector<Answer> answers;
    std::istringstream in(text);
    for (int code; in >> code;) {
        Answer a;
        a.Status = static_cast<TKeyringStatus>(code);
        in >> a.TimedOut >> a.SecretInDetail >> a.SecretFound >> a.Ms;
        answers.push_back(a);
    }
    return answers;
}

// Find, Store and Remove, one after the other.
std::vector<Answer> EachCall() {
    return InChild([](TKeyring& Keyring, const auto& Answered) {
        Answered(Keyring.Find(QStringLiteral("pop.example.org:995 user")));
        Answered(Keyring.Store(QStringLiteral("pop.example.org:995 user"), Secret));
        Answered(Keyring.Remove(QStringLiteral("pop.example.org:995 user")));
    });
}

// No regular file below Dir holds the secret.
void ExpectNoSecretIn(const std::string& Dir) {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(Dir, ec)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_EQ(bytes.find(Secret.toStdString()), std::string::npos) << entry.path();
    }
}

void ExpectAllUnavailable(const std::vector<Answer>& Answers) {
    ASSERT_EQ(Answers.size(), 3u) << "the calls did not all come back";
    for (const Answer& a : Answers) {
        EXPECT_EQ(a.Status, TKeyringStatus::Unavailable);
        EXPECT_FALSE(a.TimedOut) << "the keyring waited for the limit instead of failing";
        EXPECT_FALSE(a.SecretInDetail);
        ::testing::Test::RecordProperty("ms", std::to_string(a.Ms));
    }
}

TEST(KeyringWithoutTest, NoSessionBusIsUnavailable) {
    // The session's folders and variables, with the bus address then pointed
    // at a socket nobody listens on.
    SecretService session(TestDesktop::EmptyBus);
    SWEEPBOX_REQUIRE_SECRET_SERVICE(session);
    const std::string nowhere = "unix:path=" + session.Dir() + "/run/nobody-listens";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", nowhere.c_str(), 1);
    ExpectAllUnavailable(EachCall());
    ExpectNoSecretIn(session.Dir());
}

TEST(KeyringWithoutTest, BusWithoutSecretServiceIsUnavailable) {
    SecretService session(TestDesktop::EmptyBus);
    SWEEPBOX_REQUIRE_SECRET_SERVICE(session);
    ExpectAllUnavailable(EachCall());
    ExpectNoSecretIn(session.Dir());
}

// With no display to ask for the keyring's password, the keyring stays
// locked. A new secret is refused as Locked; libsecret reports a search of
// a locked keyring as finding nothing, so Find says NotFound, and either way
// the secret kept there stays inside.
TEST(KeyringWithoutTest, LockedKeyringKeepsItsSecrets) {
    SecretService session(TestDesktop::Keyring);
    SWEEPBOX_REQUIRE_SECRET_SERVICE(session);
    std::string out;
    ASSERT_EQ(SecretService::Run({"/usr/bin/secret-tool", "store", "--label=kept", "user", "pop.example.org:995 user",
                                  "server", "Sweepbox", "type", "plaintext"},
                                 Secret.toStdString(), out),
              0)
        << out;
    ASSERT_TRUE(session.Lock());
    const auto answers = InChild([](TKeyring& Keyring, const auto& Answered) {
        Answered(Keyring.Store(QStringLiteral("pop.example.org:995 other"), QStringLiteral("refused")));
        Answered(Keyring.Find(QStringLiteral("pop.example.org:995 user")));
    });
    ASSERT_EQ(answers.size(), 2u) << "the calls did not all come back";
    EXPECT_EQ(answers[0].Status, TKeyringStatus::Locked);
    EXPECT_TRUE(answers[1].Status == TKeyringStatus::Locked || answers[1].Status == TKeyringStatus::NotFound);
    for (const Answer& a : answers) {
        EXPECT_FALSE(a.TimedOut);
        EXPECT_FALSE(a.SecretInDetail);
        EXPECT_FALSE(a.SecretFound);
    }
}

// A Secret Service that takes the call and never answers: the limit ends the
// wait; the job it left behind ends when the bus gives up on the service,
// and the next call, queued behind it, then gets its own answer.
TEST(KeyringWithoutTest, SilentSecretServiceEndsAtTheLimit) {
    SecretService session(TestDesktop::Stalled);
    SWEEPBOX_REQUIRE_SECRET_SERVICE(session);
    const auto answers = InChild([](TKeyring& Keyring, const auto& Answered) {
        Keyring.LimitMs = SecretService::StallMs / 4;
        Answered(Keyring.Store(QStringLiteral("pop.example.org:995 user"), Secret));
        Keyring.LimitMs = SecretService::StallMs * 5;
        Answered(Keyring.Find(QStringLiteral("pop.example.org:995 user")));
    });
    ASSERT_EQ(answers.size(), 2u) << "the calls did not all come back";
    EXPECT_EQ(answers[0].Status, TKeyringStatus::Failed);
    EXPECT_TRUE(answers[0].TimedOut);
    // A service the bus would start is there, only failing.
    EXPECT_EQ(answers[1].Status, TKeyringStatus::Failed);
    EXPECT_FALSE(answers[1].TimedOut);
    for (const Answer& a : answers)
        EXPECT_FALSE(a.SecretInDetail);
    ExpectNoSecretIn(session.Dir());
}

} // namespace
