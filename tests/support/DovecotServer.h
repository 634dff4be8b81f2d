// A private Dovecot POP3 server for integration tests (user "test", password
// "secret") on a free loopback port, its state in a scratch folder removed
// afterwards. When Dovecot cannot run here, Running() is false and
// SkipReason() says why.
#pragma once

#include "support/TestPki.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sweepbox::test {

struct DovecotOptions {
    // TLS required, with a certificate of the test authority: implicit TLS
    // on TlsPort(), STARTTLS on Port(), no plain-text login outside TLS.
    // Each port listens on 127.0.0.1 and 127.0.0.2; only a connection to
    // 127.0.0.2 has two different addresses, which Dovecot needs to refuse
    // a plain-text login (it counts 127.0.0.1 to itself as secured).
    bool Tls = false;
    TestCert Cert = TestCert::Valid;
    // The SASL mechanisms offered (Dovecot's auth_mechanisms).
    std::string Mechanisms = "plain login";
    // The scheme the password is stored in: "PLAIN", "SCRAM-SHA-256", ...
    std::string PasswordScheme = "PLAIN";
    // When set, OAUTHBEARER and XOAUTH2 sign in too (password sign-in
    // stays), through Dovecot's oauth2 passdb: each access token is checked
    // by a GET of this address with the token appended, which answers JSON
    // with "username" and "active" (see OAuth2TestServer::TokenInfoUrl).
    std::string OAuth2TokenInfoUrl = {};
};

class DovecotServer {
  public:
    explicit DovecotServer(const std::vector<std::string>& Messages = {}, DovecotOptions Options = {});
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    // The binary's servers, each started on first use and stopped at exit.
    static DovecotServer& Shared();    // plain text
    static DovecotServer& SharedTls(); // TLS with TestCert::Valid

    bool Running() const { return FPid > 0; }
    bool MustRun() const; // not starting is a failure, not a reason to skip
    const std::string& SkipReason() const { return FSkipReason; }
    // Plain text; with Tls, the STARTTLS port.
    uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }
    // Implicit TLS; 0 without Tls.
    uint16_t TlsPort() const { return FTlsPort; }
    std::string TlsPortText() const { return std::to_string(FTlsPort); }
    static constexpr const char* User = "test";
    static constexpr const char* Password = "secret";
    const std::string& Dir() const { return FDir; }

    // Replaces the mailbox, message 1 first; never while a session is open.
    void SetMessages(const std::vector<std::string>& Messages);
    std::vector<std::string> Messages() const; // the raw messages left, in order
    // Delivers one more message as a mail server would: the messages there
    // keep their files, so their UIDLs stay.
    void AddMessage(const std::string& Message);
    std::string Log() const;

    // Stops the server and starts it again on the same ports with the same
    // mailbox, now serving Cert (with Tls only). False when it did not come
    // back; SkipReason() then says why.
    bool Restart(TestCert Cert);

  private:
    void Start(const std::vector<std::string>& Messages);
    // Runs the prepared server and waits until it listens; the reason when
    // it did not start.
    std::string Launch();
    void Halt();
    void Stop();
    DovecotOptions FOptions;
    std::string FDir;
    std::string FSkipReason;
    pid_t FPid = -1;
    uint16_t FPort = 0;
    uint16_t FTlsPort = 0;
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
