// The TLS transport against a server that speaks nothing newer than TLS 1.1,
// on a machine whose OpenSSL configuration would allow it: the client's own
// minimum of TLS 1.2 is all that stands between the user and a protocol
// that is broken. This binary runs under such a configuration, written and
// named in OPENSSL_CONF before OpenSSL is first used in the process.
#include "mail/pop3/KelTlsSocket.h"

#include "support/Pop3Clients.h"
#include "support/TestPki.h"
#include "support/TlsServer.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <sys/socket.h>
#include <unistd.h>

using namespace kel;
using sweepbox::test::Loopback;
using sweepbox::test::TestPki;
using sweepbox::test::TlsClient;
using sweepbox::test::TlsServer;

namespace {

// Allows what Debian's build forbids by default: TLS 1.0 and 1.1, and the
// SHA-1 signatures they need (security level 0).
const char kPermissiveConf[] = R"(openssl_conf = openssl_init
[openssl_init]
ssl_conf = ssl_module
[ssl_module]
system_default = tls_system_default
[tls_system_default]
MinProtocol = TLSv1
CipherString = DEFAULT:@SECLEVEL=0
)";

class PermissiveOpenSsl : public ::testing::Environment {
  public:
    void SetUp() override {
        // The authority is made by the openssl command, which must not read
        // this configuration in place of its own.
        ASSERT_TRUE(TestPki::Shared().Ok()) << TestPki::Shared().Error();
        char templ[] = "/tmp/sweepbox-openssl-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        Dir = templ;
        std::ofstream(Dir + "/openssl.cnf") << kPermissiveConf;
        ::setenv("OPENSSL_CONF", (Dir + "/openssl.cnf").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
    std::string Dir;
};

[[maybe_unused]] auto* const env = ::testing::AddGlobalTestEnvironment(new PermissiveOpenSsl);

// A client that takes what the configuration allows, setting no minimum of
// its own: the protocol it agreed on with the server on Port; 0 when the
// handshake failed.
int PlainClientHandshake(uint16_t Port) {
    SSL_CTX* ctx = ::SSL_CTX_new(::TLS_client_method());
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const sockaddr_in a = Loopback(Port);
    int version = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
        SSL* ssl = ::SSL_new(ctx);
        ::SSL_set_fd(ssl, fd);
        if (::SSL_connect(ssl) == 1) {
            version = ::SSL_version(ssl);
            ::SSL_write(ssl, "QUIT\r\n", 6);
            ::SSL_shutdown(ssl);
        }
        ::SSL_free(ssl);
    }
    ::close(fd);
    ::SSL_CTX_free(ctx);
    return version;
}

} // namespace

// Without this the refusal below could come from the configuration or the
// server and prove nothing about the client: an ordinary client here does
// agree on TLS 1.1 with the server.
TEST(OldTlsProtocol, TheServerSpeaksTls11ToAClientThatAllowsIt) {
    TlsServer server({.MaxVersion = TLS1_1_VERSION});
    EXPECT_EQ(PlainClientHandshake(server.Port), TLS1_1_VERSION);
    EXPECT_EQ(server.Finish(), TLS1_1_VERSION);
}

TEST(OldTlsProtocol, TheClientRefusesAServerWithoutTls12) {
    for (const int newest : {TLS1_VERSION, TLS1_1_VERSION}) {
        SCOPED_TRACE(newest);
        TlsServer server({.MaxVersion = newest});
        TlsClient c("localhost", server.Port);
        c.pop.Connect();
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_FALSE(c.tls->Secured());
        EXPECT_EQ(c.pop.ConnectFailure(), TConnectFailure::Tls) << c.pop.ConnectError();
        EXPECT_TRUE(c.rec.Sent().empty());
        EXPECT_EQ(server.Finish(), 0);
    }
}
