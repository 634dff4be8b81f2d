// A private Dovecot POP3 server for integration tests: user "test", password
// "secret", a Maildir filled with given raw messages, on a free loopback port,
// all state in a scratch folder that is removed afterwards. Starts the server
// through scripts/dovecot-test-server.sh, waits until it listens, and stops it
// by its process id in the destructor.
//
// One test binary starts one server (Shared()); tests reset its mailbox with
// SetMessages. When Dovecot cannot run here (not installed, not allowed),
// Running() is false and SkipReason() says why:
//
//     auto& dc = sweepbox::test::DovecotServer::Shared();
//     SWEEPBOX_REQUIRE_DOVECOT(dc); // skips, or fails as root in CI
//     dc.SetMessages({msg1, msg2});
#pragma once

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sweepbox::test {

class DovecotServer {
  public:
    explicit DovecotServer(const std::vector<std::string>& Messages = {});
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    // The binary's one server, created on first use and stopped at exit.
    static DovecotServer& Shared();

    bool Running() const { return FPid > 0; }
    // True where a server that does not start is a failure rather than a
    // reason to skip: as root with Dovecot installed (the CI machine).
    bool MustRun() const;
    const std::string& SkipReason() const { return FSkipReason; }
    uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }
    static constexpr const char* User = "test";
    static constexpr const char* Password = "secret";
    const std::string& Dir() const { return FDir; }

    // Replaces the mailbox with these raw messages, message 1 first. Call it
    // between POP3 sessions, never while one is open.
    void SetMessages(const std::vector<std::string>& Messages);
    // The raw messages still in the mailbox, in order (after DELE + QUIT).
    std::vector<std::string> Messages() const;
    // The server's log, for failure messages.
    std::string Log() const;

  private:
    void Start(const std::vector<std::string>& Messages);
    void Stop();
    std::string FDir;
    std::string FSkipReason;
    pid_t FPid = -1;
    uint16_t FPort = 0;
    int FSerial = 0;
};

} // namespace sweepbox::test

// In a test body: skips the test with the reason when the server could not
// run here, or fails it where the server must run.
#define SWEEPBOX_REQUIRE_DOVECOT(server)                                                  \
    do {                                                                                  \
        if (!(server).Running()) {                                                        \
            if ((server).MustRun())                                                       \
                FAIL() << "Dovecot did not start: " << (server).SkipReason();             \
            else                                                                          \
                GTEST_SKIP() << (server).SkipReason();                                    \
        }                                                                                 \
    } while (0)
