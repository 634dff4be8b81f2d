// TKelPOP over TLS: the mailbox dialogue against a private Dovecot that
// requires TLS, over implicit TLS and over STARTTLS, and every way a secure
// connect is refused, against Dovecot, fake servers and a scripted
// transport. A refused connect must leave before any login is sent.
#include "mail/pop3/KelPOP3.h"

#include "support/Pop3Clients.h"
#include "mail/message/KelMsg.h"
#include "support/DovecotServer.h"
#include "support/FakePop3Server.h"
#include "support/ScriptedTransport.h"
#include "support/TestPki.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace kel;
using sweepbox::test::CrLfSize;
using sweepbox::test::DovecotOptions;
using sweepbox::test::DovecotServer;
using sweepbox::test::FakePop3Server;
using sweepbox::test::PopRecorder;
using sweepbox::test::ScriptedTransport;
using sweepbox::test::TestCert;
using sweepbox::test::TestPki;
using Lines = std::vector<std::string>;

namespace {

const Lines kMailbox = {
    "From: a@example.org\nSubject: first\n\nbody one\n",
    "From: b@example.org\nSubject: second\n.hidden: dotted header line\n\n..body\n.\nend\n",
    "From: c@example.org\nSubject: third\n\nbody three\nline two\n",
    "From: d@example.org\nSubject: fourth\nX-Long: " + std::string(3000, 'x') + "\n\nbody four\n",
    "From: e@example.org\nSubject: fifth\n\n" + std::string(50000, 'e') + "\n",
};

// What TOP n 0 brings for a message: its header lines and the empty line,
// CR LF, dot-stuffed, with the terminator line.
std::string TopReply(const std::string& Message) {
    const std::string header = Message.substr(0, Message.find("\n\n") + 2);
    return FakePop3Server::DotStuff(FakePop3Server::NormalizeCrLf(header));
}

struct Mode {
    const char* name;
    TPopSecurity security;
    Lines beforeLogin; // what is sent before USER
};

const Mode kModes[] = {
    {"ImplicitTls", TPopSecurity::Tls, {}},
    {"StartTls", TPopSecurity::StartTls, {"CAPA\r\n", "STLS\r\n", "CAPA\r\n"}},
};

// What is sent before the handshake: the certificate is judged after it, so
// a refused one leaves these and nothing more.
Lines BeforeHandshake(TPopSecurity Security) {
    return Security == TPopSecurity::StartTls ? Lines{"CAPA\r\n", "STLS\r\n"} : Lines{};
}

// A component pointed at a Dovecot that requires TLS, trusting the test
// authority, its events recorded.
struct TlsSession {
    TKelPOP pop;
    PopRecorder rec;
    TlsSession(const DovecotServer& dc, TPopSecurity Security, const std::string& Host = "127.0.0.1") {
        pop.Security = Security;
        pop.Host = Host;
        pop.Port = Security == TPopSecurity::Tls ? dc.TlsPortText() : dc.PortText();
        pop.TrustFile = TestPki::Shared().CaFile();
        pop.UserId = DovecotServer::User;
        pop.UserPasswd = DovecotServer::Password;
        sweepbox::test::BoundWaits(pop);
        rec.Bind(pop);
    }
    // Connect and Login, each asserted to succeed.
    ::testing::AssertionResult LogIn(const DovecotServer& dc) {
        pop.Connect();
        if (!pop.Connected() || !pop.Secured())
            return ::testing::AssertionFailure() << "not connected securely: " << pop.ConnectError() << "\n"
                                                 << dc.Log();
        if (!pop.Login())
            return ::testing::AssertionFailure() << "login refused: " << pop.ReplyLine() << "\n" << dc.Log();
        return ::testing::AssertionSuccess();
    }
};

class TlsDovecot : public ::testing::Test {
  protected:
    DovecotServer& dc = DovecotServer::SharedTls();
    void SetUp() override {
        SWEEPBOX_REQUIRE_DOVECOT(dc);
        dc.SetMessages(kMailbox);
    }
};

class TlsDovecotModes : public TlsDovecot, public ::testing::WithParamInterface<Mode> {
  protected:
    TPopSecurity Security() const { return GetParam().security; }
};

std::string ModeName(const ::testing::TestParamInfo<Mode>& Info) { return Info.param.name; }

} // namespace

INSTANTIATE_TEST_SUITE_P(Security, TlsDovecotModes, ::testing::ValuesIn(kModes), ModeName);

// Does the listing the main window makes (STAT, then TOP n 0 and LIST n for
// each message) read the mailbox exactly inside TLS?
TEST_P(TlsDovecotModes, ListingReadsEveryHeaderAndSize) {
    TlsSession s(dc, Security());
    ASSERT_TRUE(s.LogIn(dc));
    Lines sent = GetParam().beforeLogin;
    // Login asks CAPA where the connection has not; Dovecot offers PLAIN.
    if (Security() != TPopSecurity::StartTls)
        sent.push_back("CAPA\r\n");
    sent.push_back("AUTH PLAIN AHRlc3QAc2VjcmV0\r\n");
    EXPECT_EQ(s.rec.Sent(), sent);
    // Dovecot offers USER only inside TLS, and STLS only outside: the
    // capabilities are the ones asked for after the handshake.
    EXPECT_NE(std::find(s.pop.Capabilities().begin(), s.pop.Capabilities().end(), "USER"),
              s.pop.Capabilities().end());
    EXPECT_EQ(std::find(s.pop.Capabilities().begin(), s.pop.Capabilities().end(), "STLS"),
              s.pop.Capabilities().end());
    s.pop.Stat();
    ASSERT_EQ(s.pop.MsgCount(), kMailbox.size());
    size_t total = 0;
    for (const std::string& m : kMailbox)
        total += CrLfSize(m);
    EXPECT_EQ(s.pop.MailboxSizeText(), std::to_string(total));
    for (uint16_t n = 1; n <= kMailbox.size(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(s.pop.GetHeader(n), TopReply(kMailbox[n - 1]));
        std::string size;
        s.pop.GetMsgSize(n, size);
        EXPECT_EQ(size, std::to_string(CrLfSize(kMailbox[n - 1])));
    }
    EXPECT_TRUE(s.pop.Connected());
    s.pop.Quit();
    EXPECT_FALSE(s.pop.OperationFailed()) << s.pop.ReplyLine();
}

TEST_P(TlsDovecotModes, RetrieveMsgReturnsTheAttachmentsExactBytes) {
    const std::string payload = sweepbox::test::AttachmentPayload();
    const std::string msg = sweepbox::test::MessageWithAttachment(payload);
    dc.SetMessages({kMailbox[0], msg});
    TlsSession s(dc, Security());
    ASSERT_TRUE(s.LogIn(dc));
    TKelMsg* m = s.pop.RetrieveMsg(2);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->Size, static_cast<int32_t>(CrLfSize(msg)));
    ASSERT_EQ(m->AttachedFiles.Count(), 1);
    EXPECT_EQ(m->AttachedFiles.Items(0).FileName, "data.bin");
    EXPECT_TRUE(m->AttachedFiles.Items(0).Data == payload) << "attachment bytes differ";
    EXPECT_NE(std::find(m->Text.begin(), m->Text.end(), "..two dots"), m->Text.end());
    s.pop.Quit();
}

TEST_P(TlsDovecotModes, DeletingTwoOfFiveThenQuitRemovesJustThose) {
    TlsSession s(dc, Security());
    ASSERT_TRUE(s.LogIn(dc));
    s.pop.Stat();
    s.pop.DeleteMsg(2);
    s.pop.DeleteMsg(4);
    EXPECT_EQ(s.pop.MsgCount(), 3);
    s.pop.Quit();
    EXPECT_FALSE(s.pop.OperationFailed());
    EXPECT_EQ(s.pop.ReplyLine(), "+OK Logging out, messages deleted.");
    EXPECT_EQ(dc.Messages(), (Lines{kMailbox[0], kMailbox[2], kMailbox[4]}));
}

// The certificate names 127.0.0.1 and localhost; the same server reached
// at 127.0.0.2 is someone else as far as the certificate tells.
TEST_P(TlsDovecotModes, AnotherAddressThanTheCertificatesIsRefused) {
    TlsSession s(dc, Security(), "127.0.0.2");
    s.pop.Connect();
    EXPECT_FALSE(s.pop.Connected());
    EXPECT_TRUE(s.pop.OperationFailed());
    EXPECT_EQ(s.pop.ConnectFailure(), TConnectFailure::Certificate) << s.pop.ConnectError();
    EXPECT_EQ(s.pop.RejectedCertificate().Problems, std::vector<TCertProblem>{TCertProblem::WrongHost});
    EXPECT_EQ(s.rec.Sent(), BeforeHandshake(Security()));
}

// Without the test authority the certificate is unknown: refused before
// any command inside TLS; pinning the fingerprint it showed admits it.
TEST_P(TlsDovecotModes, AnUntrustedCertificateIsRefusedUntilItsFingerprintIsPinned) {
    const TestPki& pki = TestPki::Shared();
    TlsSession s(dc, Security());
    s.pop.TrustFile.clear();
    s.pop.Connect();
    EXPECT_FALSE(s.pop.Connected());
    EXPECT_EQ(s.pop.ConnectFailure(), TConnectFailure::Certificate) << s.pop.ConnectError();
    const TCertificateInfo& cert = s.pop.RejectedCertificate();
    EXPECT_EQ(cert.Problems, std::vector<TCertProblem>{TCertProblem::Untrusted});
    EXPECT_EQ(cert.Fingerprint, pki.Fingerprint(TestCert::Valid));
    EXPECT_FALSE(cert.PinChanged);
    EXPECT_EQ(s.rec.Sent(), BeforeHandshake(Security()));

    TlsSession pinned(dc, Security());
    pinned.pop.TrustFile.clear();
    pinned.pop.PinnedFingerprint = cert.Fingerprint;
    ASSERT_TRUE(pinned.LogIn(dc));
    pinned.pop.Stat();
    EXPECT_EQ(pinned.pop.MsgCount(), kMailbox.size());
    pinned.pop.Quit();
}

// Dovecot refuses a plain-text login from another address than its own
// (127.0.0.1 to 127.0.0.2): the refusal closes with the login's code and
// the server's words, and the password never goes out.
TEST_F(TlsDovecot, PlainTextLoginIsRefusedByTheServer) {
    TlsSession s(dc, TPopSecurity::None, "127.0.0.2");
    s.pop.Connect();
    ASSERT_TRUE(s.pop.Connected()) << s.pop.ConnectError();
    EXPECT_FALSE(s.pop.Login());
    EXPECT_EQ(s.rec.NonIo(), (Lines{"lookup", "connecting", "connect", "quit",
                                    "error:2001:[AUTH] Plaintext authentication disallowed on non-secure "
                                    "(SSL/TLS) connections."}));
    // Outside TLS Dovecot's SASL line names no mechanism: USER, as ever.
    EXPECT_EQ(s.rec.Sent(), (Lines{"CAPA\r\n", "USER test\r\n"}));
}

// A client that waits for a plain greeting on the implicit TLS port hears
// nothing: it gives up after GreetingLimitMs, having sent nothing.
TEST_F(TlsDovecot, APlainGreetingAwaitedOnTheTlsPortNeverComes) {
    for (const TPopSecurity security : {TPopSecurity::None, TPopSecurity::StartTls}) {
        SCOPED_TRACE(security == TPopSecurity::None ? "plain" : "STARTTLS");
        TlsSession s(dc, security);
        s.pop.Port = dc.TlsPortText();
        s.pop.GreetingLimitMs = 1500;
        s.pop.Connect();
        EXPECT_FALSE(s.pop.Connected());
        EXPECT_EQ(s.pop.ConnectFailure(), TConnectFailure::NoGreeting) << s.pop.ConnectError();
        EXPECT_TRUE(s.rec.Sent().empty());
    }
}

// Servers of their own, serving another certificate than the shared one.
TEST(TlsDovecotCertificates, AnExpiredCertificateIsRefusedWithItsDates) {
    DovecotServer dc({}, DovecotOptions{.Tls = true, .Cert = TestCert::Expired});
    SWEEPBOX_REQUIRE_DOVECOT(dc);
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.name);
        TlsSession s(dc, mode.security);
        s.pop.Connect();
        EXPECT_EQ(s.pop.ConnectFailure(), TConnectFailure::Certificate) << s.pop.ConnectError();
        const TCertificateInfo& cert = s.pop.RejectedCertificate();
        EXPECT_EQ(cert.Problems, std::vector<TCertProblem>{TCertProblem::Expired});
        EXPECT_EQ(cert.NotBefore, "2020-01-01 00:00:00 UTC");
        EXPECT_EQ(cert.NotAfter, "2020-01-02 00:00:00 UTC");
        EXPECT_EQ(cert.Fingerprint, TestPki::Shared().Fingerprint(TestCert::Expired));
        EXPECT_EQ(s.rec.Sent(), BeforeHandshake(mode.security));
    }
}

// A pin admits the certificate it names, and only that one: after the
// server changed its certificate (restarted with another key), the pinned
// connect is refused as a changed certificate; one that verifies is
// accepted whatever is pinned.
TEST(TlsDovecotCertificates, APinThatNoLongerMatchesIsRefusedAsChanged) {
    DovecotServer dc({kMailbox[0]}, DovecotOptions{.Tls = true});
    SWEEPBOX_REQUIRE_DOVECOT(dc);
    const TestPki& pki = TestPki::Shared();
    auto pinnedSession = [&](TPopSecurity security) {
        auto s = std::make_unique<TlsSession>(dc, security);
        s->pop.TrustFile.clear();
        s->pop.PinnedFingerprint = pki.Fingerprint(TestCert::Valid);
        return s;
    };
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.name);
        EXPECT_TRUE(pinnedSession(mode.security)->LogIn(dc));
    }
    ASSERT_TRUE(dc.Restart(TestCert::OtherKey)) << dc.SkipReason();
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.name);
        auto s = pinnedSession(mode.security);
        s->pop.Connect();
        EXPECT_FALSE(s->pop.Connected());
        EXPECT_EQ(s->pop.ConnectFailure(), TConnectFailure::Certificate) << s->pop.ConnectError();
        const TCertificateInfo& cert = s->pop.RejectedCertificate();
        EXPECT_TRUE(cert.PinChanged);
        EXPECT_EQ(cert.Problems, std::vector<TCertProblem>{TCertProblem::Untrusted});
        EXPECT_EQ(cert.Fingerprint, pki.Fingerprint(TestCert::OtherKey));
        EXPECT_NE(s->pop.ConnectError().find("has changed"), std::string::npos) << s->pop.ConnectError();
        EXPECT_EQ(s->rec.Sent(), BeforeHandshake(mode.security));

        auto trusted = pinnedSession(mode.security);
        trusted->pop.TrustFile = pki.CaFile();
        EXPECT_TRUE(trusted->LogIn(dc));
    }
}

// ---------------------------------------------------------------------
// Against fake servers: the STARTTLS negotiation refused in each way it
// can be, and TLS chosen against a server that speaks plain text.

// The script is played whole, and nothing is sent beyond it: no USER, no
// PASS, no QUIT after a refusal.
TEST(StartTlsRefusals, NothingFollowsARefusedNegotiation) {
    struct Row {
        const char* name;
        std::string capaReply;
        std::string stlsReply; // empty: STLS must not be sent
        TConnectFailure failure;
    };
    const Row rows[] = {
        {"STLS not offered", "+OK\r\nTOP\r\nUSER\r\nSTLSX\r\n.\r\n", "", TConnectFailure::NoStls},
        {"CAPA refused", "-ERR unknown command\r\n", "", TConnectFailure::NoStls},
        {"STLS refused", "+OK\r\nUSER\r\nSTLS\r\n.\r\n", "-ERR [IN-USE] not now\r\n", TConnectFailure::StlsRefused},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv;
        srv.Send(sweepbox::test::kGreeting).Expect("CAPA").Send(row.capaReply);
        if (!row.stlsReply.empty())
            srv.Expect("STLS").Send(row.stlsReply);
        srv.ExpectClose();
        sweepbox::test::FakeClient c(srv);
        c.pop.Security = TPopSecurity::StartTls;
        c.pop.Connect();
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_TRUE(c.pop.OperationFailed());
        EXPECT_EQ(c.pop.ConnectFailure(), row.failure) << c.pop.ConnectError();
        if (!row.stlsReply.empty()) {
            EXPECT_NE(c.pop.ConnectError().find("-ERR [IN-USE] not now"), std::string::npos) << c.pop.ConnectError();
        }
        EXPECT_TRUE(srv.Finished());
    }
}

// A plain server greets where the TLS handshake expected its answer: the
// connect ends at once as PlainServer, no POP3 command sent.
TEST(StartTlsRefusals, TlsChosenAgainstAPlainServer) {
    FakePop3Server srv;
    srv.Send(sweepbox::test::kGreeting);
    sweepbox::test::FakeClient c(srv);
    c.pop.Security = TPopSecurity::Tls;
    c.pop.Connect();
    EXPECT_FALSE(c.pop.Connected());
    EXPECT_EQ(c.pop.ConnectFailure(), TConnectFailure::PlainServer) << c.pop.ConnectError();
    EXPECT_NE(c.pop.ConnectError().find("plain text"), std::string::npos) << c.pop.ConnectError();
    EXPECT_TRUE(c.rec.Sent().empty());
}

// Over the scripted transport, where the handshake is a marker: what is
// written around it, and how a failure is reported.
TEST(StartTlsDialogue, ScriptedNegotiations) {
    struct Row {
        const char* name;
        TPopSecurity security;
        std::function<void(ScriptedTransport&)> script;
        std::string written;
        TConnectFailure failure;
        Lines capabilities;
    };
    const std::string greeting = sweepbox::test::kGreeting;
    const Row rows[] = {
        // Whatever arrived with the "+OK" to STLS was sent before TLS, where
        // anyone on the way may have put it: it is dropped, and the CAPA
        // inside TLS reads the reply that follows the handshake.
        {"bytes injected after the +OK to STLS", TPopSecurity::StartTls,
         [&](ScriptedTransport& t) {
             t.Serve(greeting)
                 .Serve("+OK\r\nSTLS\r\n.\r\n")
                 .Serve("+OK begin TLS\r\n+OK injected\r\n-ERR x\r\n")
                 .Serve("+OK\r\nUSER\r\nTOP\r\n.\r\n");
         },
         "[open]CAPA\r\nSTLS\r\n[starttls]CAPA\r\n", TConnectFailure::None, {"USER", "TOP"}},
        // A refusal of the second CAPA is no failure.
        {"CAPA refused inside TLS", TPopSecurity::StartTls,
         [&](ScriptedTransport& t) {
             t.Serve(greeting).Serve("+OK\r\nSTLS\r\n.\r\n").Serve("+OK\r\n").Serve("-ERR no\r\n");
         },
         "[open]CAPA\r\nSTLS\r\n[starttls]CAPA\r\n", TConnectFailure::None, {}},
        {"handshake refused", TPopSecurity::StartTls,
         [&](ScriptedTransport& t) {
             t.Serve(greeting).Serve("+OK\r\nSTLS\r\n.\r\n").Serve("+OK\r\n").RefuseTls();
         },
         "[open]CAPA\r\nSTLS\r\n[starttls][close]", TConnectFailure::Tls, {}},
        {"implicit TLS over a transport without it", TPopSecurity::Tls,
         [](ScriptedTransport&) {}, "[open][close]", TConnectFailure::Tls, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TKelPOP pop;
        auto owned = std::make_unique<ScriptedTransport>();
        ScriptedTransport& t = *owned;
        row.script(t);
        pop.SetTransport(std::move(owned));
        sweepbox::test::BoundWaits(pop);
        pop.Host = "127.0.0.1";
        pop.Security = row.security;
        pop.Connect();
        EXPECT_EQ(pop.ConnectFailure(), row.failure) << pop.ConnectError();
        EXPECT_EQ(pop.Connected(), row.failure == TConnectFailure::None);
        EXPECT_EQ(pop.Secured(), row.failure == TConnectFailure::None);
        EXPECT_EQ(pop.OperationFailed(), row.failure != TConnectFailure::None);
        EXPECT_EQ(pop.Capabilities(), row.capabilities);
        EXPECT_EQ(t.Written, row.written);
        EXPECT_TRUE(t.Exhausted());
    }
}

// A certificate the check rejects, scripted: the connect fails as
// Certificate with the certificate to show, before any command; pinned by
// its fingerprint, it is let through; another pin shows it as changed.
TEST(StartTlsDialogue, ScriptedCertificateRejections) {
    TCertificateInfo rejected;
    rejected.Problems = {TCertProblem::SelfSigned};
    rejected.Detail = "self-signed certificate";
    rejected.Subject = "CN=pop.example.net";
    rejected.Fingerprint = "sha256:" + std::string(64, 'a');
    const std::string greeting = sweepbox::test::kGreeting;
    const struct {
        const char* name;
        TPopSecurity security;
        std::string pinned;
        std::string written;
        TConnectFailure failure;
    } rows[] = {
        {"implicit, rejected", TPopSecurity::Tls, "", "[open][tls][close]", TConnectFailure::Certificate},
        {"STARTTLS, rejected", TPopSecurity::StartTls, "", "[open]CAPA\r\nSTLS\r\n[starttls][close]",
         TConnectFailure::Certificate},
        {"implicit, pinned", TPopSecurity::Tls, rejected.Fingerprint, "[open][tls]", TConnectFailure::None},
        {"implicit, another pin", TPopSecurity::Tls, "sha256:" + std::string(64, 'b'), "[open][tls][close]",
         TConnectFailure::Certificate},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TKelPOP pop;
        auto owned = std::make_unique<ScriptedTransport>();
        ScriptedTransport& t = *owned;
        t.OfferImplicitTls().RejectCertificate(rejected);
        if (row.security == TPopSecurity::StartTls)
            t.Serve(greeting).Serve("+OK\r\nSTLS\r\n.\r\n").Serve("+OK\r\n");
        else
            t.Serve(greeting);
        pop.SetTransport(std::move(owned));
        sweepbox::test::BoundWaits(pop);
        pop.Host = "pop.example.net";
        pop.Security = row.security;
        pop.PinnedFingerprint = row.pinned;
        pop.Connect();
        EXPECT_EQ(pop.ConnectFailure(), row.failure) << pop.ConnectError();
        EXPECT_EQ(pop.Secured(), row.failure == TConnectFailure::None);
        EXPECT_EQ(t.Written, row.written);
        if (row.failure == TConnectFailure::Certificate) {
            EXPECT_EQ(pop.RejectedCertificate().Fingerprint, rejected.Fingerprint);
            EXPECT_EQ(pop.RejectedCertificate().Problems, rejected.Problems);
            EXPECT_EQ(pop.RejectedCertificate().PinChanged, !row.pinned.empty());
        }
    }
}

// A refused greeting leaves a STARTTLS session open in plain text: the
// login must not go out over it.
TEST(StartTlsDialogue, NoLoginOverAConnectionThatIsNotSecured) {
    TKelPOP pop;
    auto owned = std::make_unique<ScriptedTransport>();
    ScriptedTransport& t = *owned;
    t.Serve("-ERR busy, come back later\r\n");
    pop.SetTransport(std::move(owned));
    sweepbox::test::BoundWaits(pop);
    pop.Host = "127.0.0.1";
    pop.Security = TPopSecurity::StartTls;
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    pop.Connect();
    EXPECT_TRUE(pop.OperationFailed());
    EXPECT_THROW(pop.Login(), EKelPOPError);
    EXPECT_EQ(t.Written, "[open]");
}

// A server that takes the connection and never answers the TLS hello is
// given up after the greeting's limit, not the long stall limit.
TEST(StartTlsRefusals, ASilentHandshakeEndsAtTheGreetingLimit) {
    FakePop3Server srv;
    srv.Hold();
    sweepbox::test::FakeClient c(srv);
    c.pop.Security = TPopSecurity::Tls;
    c.pop.ReceiveStallLimitMs = 60000;
    c.pop.GreetingLimitMs = 300;
    c.pop.Connect();
    EXPECT_FALSE(c.pop.Connected());
    EXPECT_EQ(c.pop.ConnectFailure(), TConnectFailure::Tls);
    EXPECT_NE(c.pop.ConnectError().find("in time"), std::string::npos) << c.pop.ConnectError();
    srv.Release();
}
