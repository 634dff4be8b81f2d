// The TLS transport under the POP3 component: does a greeting arrive over a
// verified connection, and does every certificate or protocol mistake end
// the attempt quickly, with the reason, before anything is sent?
#include "mail/pop3/KelTlsSocket.h"

#include "support/Pop3Clients.h"
#include "mail/pop3/KelPOP3.h"
#include "support/TestPki.h"
#include "support/TlsServer.h"

#include <gtest/gtest.h>

#include <memory>

using namespace kel;
using sweepbox::test::TestCert;
using sweepbox::test::TestPki;
using sweepbox::test::TlsClient;
using sweepbox::test::TlsServer;

namespace {

const TestPki& Pki() {
    return TestPki::Shared();
}

} // namespace

// Which host names does a verified connection accept, and what does a
// failed handshake leave? The greeting and QUIT travel inside TLS.
TEST(TlsSocket, VerifiedConnectionCarriesTheDialogue) {
    if (!Pki().Ok())
        GTEST_SKIP() << Pki().Error();
    struct Row {
        const char* name;
        const char* host;
        TestCert cert;
    };
    // A dotted address is checked against the certificate's addresses
    // alone, whatever names it has besides.
    const Row rows[] = {
        {"by name", "localhost", TestCert::Valid},
        {"by address", "127.0.0.1", TestCert::Valid},
        {"by address, the certificate naming another host", "127.0.0.1", TestCert::OtherName},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TlsServer server({.Cert = row.cert});
        TlsClient c(row.host, server.Port);
        c.pop.Connect();
        ASSERT_TRUE(c.pop.Connected()) << c.tls->HandshakeError();
        EXPECT_TRUE(c.tls->Secured());
        EXPECT_EQ(c.pop.ReplyText(), "tls ready");
        c.pop.Quit();
        EXPECT_FALSE(c.pop.OperationFailed());
        EXPECT_EQ(c.pop.ReplyLine(), "+OK bye");
        EXPECT_EQ(c.rec.NonIo(), (std::vector<std::string>{"lookup", "connecting", "connect", "quit", "sleep:10"}));
    }
}

TEST(TlsSocket, RefusedHandshakesEndAsAFailedOpenWithTheReason) {
    if (!Pki().Ok())
        GTEST_SKIP() << Pki().Error();
    struct Row {
        const char* name;
        const char* listen;
        const char* host;
        TestCert cert;
        bool trusted;
        std::string reason;
        TCertProblem problem;
        const char* subject;
    };
    const Row rows[] = {
        {"untrusted authority", "127.0.0.1", "localhost", TestCert::Valid, false,
         "The server's certificate is not accepted: unable to get local issuer certificate.", TCertProblem::Untrusted,
         "CN=localhost"},
        {"another address than the certificate's", "127.0.0.2", "127.0.0.2", TestCert::Valid, true,
         "The server's certificate is not accepted: IP address mismatch.", TCertProblem::WrongHost, "CN=localhost"},
        // The name typed must be among the certificate's names: the address
        // it resolves to being the certificate's as well proves nothing.
        {"another name than the certificate's", "127.0.0.1", "localhost", TestCert::OtherName, true,
         "The server's certificate is not accepted: hostname mismatch.", TCertProblem::WrongHost, "CN=other.example"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TlsServer server({.Address = row.listen, .Cert = row.cert});
        TlsClient c(row.host, server.Port, row.trusted);
        c.pop.Connect();
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_TRUE(c.pop.OperationFailed());
        EXPECT_EQ(c.tls->HandshakeError(), row.reason);
        EXPECT_EQ(c.pop.ConnectFailure(), TConnectFailure::Certificate);
        const TCertificateInfo& cert = c.pop.RejectedCertificate();
        EXPECT_EQ(cert.Problems, std::vector<TCertProblem>{row.problem});
        EXPECT_EQ(cert.Subject, row.subject);
        EXPECT_EQ(cert.Issuer, "CN=Sweepbox Test CA");
        EXPECT_EQ(cert.Fingerprint, Pki().Fingerprint(row.cert));
        EXPECT_FALSE(cert.PinChanged);
        EXPECT_EQ(c.rec.Events, (std::vector<std::string>{"lookup", "connecting", "quit"}));
    }
}
