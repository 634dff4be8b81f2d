// A private Dovecot POP3 server for integration tests (user "test", password
// "secret") on a free loopback port, its state in a scratch folder removed
// afterwards. When Dovecot cannot run here, Running() is false and
// SkipReason() says why.
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

    static DovecotServer& Shared(); // the binary's one server, stopped at exit

    bool Running() const { return FPid > 0; }
    bool MustRun() const; // not starting is a failure, not a reason to skip
    const std::string& SkipReason() const { return FSkipReason; }
    uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }
    static constexpr const char* User = "test";
    static constexpr const char* Password = "secret";
    const std::string& Dir() const { return FDir; }

    // Replaces the mailbox, message 1 first; never while a session is open.
    void SetMessages(const std::vector<std::string>& Messages);
    std::vector<std::string> Messages() const; // the raw messages left, in order
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

#define SWEEPBOX_REQUIRE_DOVECOT(server)                                                  \
    do {                                                                                  \
        if (!(server).Running()) {                                                        \
            if ((server).MustRun())                                                       \
                FAIL() << "Dovecot did not start: " << (server).SkipReason();             \
            else                                                                          \
                GTEST_SKIP() << (server).SkipReason();                                    \
        }                                                                                 \
    } while (0)
