// A private desktop session for the keyring tests: a D-Bus session bus of its
// own and, on it, gnome-keyring's Secret Service with a login keyring that
// the known Password has unlocked. From construction to destruction this
// process's HOME, XDG folders and DBUS_SESSION_BUS_ADDRESS point into a
// scratch folder (removed afterwards), so the user's own keyring is never
// touched. Make it before the first keyring call: libsecret and Qt keep the
// first session bus they reach for the whole process. When the daemons
// cannot run here, Running() is false and SkipReason() says why.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace sweepbox::test {

enum class TestDesktop {
    Keyring,  // gnome-keyring serves the Secret Service
    EmptyBus, // a session bus on which nobody serves it and nothing starts it
    Stalled,  // the bus starts a Secret Service on demand that never answers:
              // a call waits until the bus gives up after StallMs
};

class SecretService {
  public:
    explicit SecretService(TestDesktop Desktop = TestDesktop::Keyring);
    ~SecretService();
    SecretService(const SecretService&) = delete;
    SecretService& operator=(const SecretService&) = delete;

    // The binary's keyring, started on first use and stopped at exit.
    static SecretService& Shared();

    bool Running() const { return FBusPid > 0 && (FDesktop != TestDesktop::Keyring || FKeyringPid > 0); }
    bool MustRun() const; // not starting is a failure, not a reason to skip
    const std::string& SkipReason() const { return FSkipReason; }
    // The scratch folder: HOME and every XDG folder are below it.
    const std::string& Dir() const { return FDir; }
    static constexpr const char* Password = "sweepbox-login";
    static constexpr int StallMs = 2000;

    // Locks the login keyring as a locked screen would; with no display to
    // ask for its password, every unlock the keyring offers is refused.
    bool Lock() const;

    // Runs a program in this session (secret-tool, dbus-send) with Input on
    // its standard input; its exit code (-1: it did not end within LimitMs
    // and was killed) and what it wrote, both streams.
    static int Run(const std::vector<std::string>& Args, const std::string& Input, std::string& Output,
                   int LimitMs = 10000);

  private:
    void Start();
    std::string StartBus();
    std::string StartKeyring();
    void Stop();

    TestDesktop FDesktop;
    std::string FDir;
    std::string FSkipReason;
    pid_t FBusPid = -1;
    pid_t FKeyringPid = -1;
    // What the environment held before, put back on destruction.
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> FSavedEnv;
};

} // namespace sweepbox::test

#define SWEEPBOX_REQUIRE_SECRET_SERVICE(service)                                          \
    do {                                                                                  \
        if (!(service).Running()) {                                                       \
            if ((service).MustRun())                                                      \
                FAIL() << "the Secret Service did not start: " << (service).SkipReason(); \
            else                                                                          \
                GTEST_SKIP() << (service).SkipReason();                                   \
        }                                                                                 \
    } while (0)
