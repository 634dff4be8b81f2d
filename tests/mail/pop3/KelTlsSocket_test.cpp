// The TLS transport under the POP3 component: does a greeting arrive over a
// verified connection, and does every certificate or protocol mistake end
// the attempt quickly, with the reason, before anything is sent?
#include "pop3/KelTlsSocket.h"

#include "mail/pop3/Pop3TestUtil.h"
#include "pop3/KelPOP3.h"
#include "support/TestPki.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <csignal>
#include <memory>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kel;
using sweepbox::test::PopRecorder;
using sweepbox::test::TestCert;
using sweepbox::test::TestPki;

namespace {

const TestPki& Pki() { return TestPki::Shared(); }

// Serves one TLS connection on Address: the greeting, then "+OK bye" to
// the first line it reads.
class TlsServer {
  public:
    explicit TlsServer(const char* Address = "127.0.0.1") {
        // A client that rejects the certificate closes after the handshake,
        // before the greeting is written.
        ::signal(SIGPIPE, SIG_IGN);
        FCtx = ::SSL_CTX_new(::TLS_server_method());
        ::SSL_CTX_use_certificate_chain_file(FCtx, Pki().CertFile(TestCert::Valid).c_str());
        ::SSL_CTX_use_PrivateKey_file(FCtx, Pki().KeyFile(TestCert::Valid).c_str(), SSL_FILETYPE_PEM);
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, Address, &a.sin_addr);
        socklen_t len = sizeof a;
        ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(FListen, 1);
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~TlsServer() {
        ::shutdown(FListen, SHUT_RDWR);
        FThread.join();
        ::close(FListen);
        ::SSL_CTX_free(FCtx);
    }
    uint16_t Port = 0;
    std::string Received;

  private:
    void Serve() {
        const int fd = ::accept(FListen, nullptr, nullptr);
        if (fd < 0)
            return;
        SSL* ssl = ::SSL_new(FCtx);
        ::SSL_set_fd(ssl, fd);
        if (::SSL_accept(ssl) == 1) {
            const std::string greeting = "+OK tls ready\r\n";
            ::SSL_write(ssl, greeting.data(), static_cast<int>(greeting.size()));
            char buf[256];
            int n = 0;
            while (Received.find("\r\n") == std::string::npos && (n = ::SSL_read(ssl, buf, sizeof buf)) > 0)
                Received.append(buf, static_cast<size_t>(n));
            const std::string bye = "+OK bye\r\n";
            ::SSL_write(ssl, bye.data(), static_cast<int>(bye.size()));
            ::SSL_shutdown(ssl);
        }
        ::SSL_free(ssl);
        ::close(fd);
    }
    SSL_CTX* FCtx = nullptr;
    int FListen = -1;
    std::thread FThread;
};

struct TlsClient {
    TKelPOP pop;
    TKelTlsSocket* tls;
    PopRecorder rec;
    TlsClient(const std::string& Host, uint16_t Port, bool Trusted = true) {
        auto t = std::make_unique<TKelTlsSocket>();
        tls = t.get();
        pop.SetTransport(std::move(t));
        pop.Security = TPopSecurity::Tls;
        if (Trusted)
            pop.TrustFile = Pki().CaFile();
        pop.Host = Host;
        pop.Port = std::to_string(Port);
        pop.ReceiveStallLimitMs = 10000;
        rec.Bind(pop);
    }
};

} // namespace

// Which host names does a verified connection accept, and what does a
// failed handshake leave? The greeting and QUIT travel inside TLS.
TEST(TlsSocket, VerifiedConnectionCarriesTheDialogue) {
    if (!Pki().Ok())
        GTEST_SKIP() << Pki().Error();
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        TlsServer server;
        TlsClient c(host, server.Port);
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
        bool trusted;
        std::string reason;
        TCertProblem problem;
    };
    const Row rows[] = {
        {"untrusted authority", "127.0.0.1", "localhost", false,
         "The server's certificate is not accepted: unable to get local issuer certificate.", TCertProblem::Untrusted},
        {"another address than the certificate's", "127.0.0.2", "127.0.0.2", true,
         "The server's certificate is not accepted: IP address mismatch.", TCertProblem::WrongHost},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TlsServer server(row.listen);
        TlsClient c(row.host, server.Port, row.trusted);
        c.pop.Connect();
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_TRUE(c.pop.OperationFailed());
        EXPECT_EQ(c.tls->HandshakeError(), row.reason);
        EXPECT_EQ(c.pop.ConnectFailure(), TConnectFailure::Certificate);
        const TCertificateInfo& cert = c.pop.RejectedCertificate();
        EXPECT_EQ(cert.Problems, std::vector<TCertProblem>{row.problem});
        EXPECT_EQ(cert.Subject, "CN=localhost");
        EXPECT_EQ(cert.Issuer, "CN=Sweepbox Test CA");
        EXPECT_EQ(cert.Fingerprint, Pki().Fingerprint(TestCert::Valid));
        EXPECT_FALSE(cert.PinChanged);
        EXPECT_EQ(c.rec.Events, (std::vector<std::string>{"lookup", "connecting", "quit"}));
    }
}
