#include "support/TlsServer.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sweepbox::test {

namespace {

// Longer than any handshake on a loaded machine, short enough that a
// silent client fails the test instead of stopping it.
constexpr int kWaitSeconds = 10;

} // namespace

SSL_CTX* NewServerContext(TestCert Cert, int MaxVersion) {
    const TestPki& pki = TestPki::Shared();
    SSL_CTX* ctx = ::SSL_CTX_new(::TLS_server_method());
    ::SSL_CTX_use_certificate_chain_file(ctx, pki.CertFile(Cert).c_str());
    ::SSL_CTX_use_PrivateKey_file(ctx, pki.KeyFile(Cert).c_str(), SSL_FILETYPE_PEM);
    if (MaxVersion != 0) {
        ::SSL_CTX_set_min_proto_version(ctx, 0);
        ::SSL_CTX_set_max_proto_version(ctx, MaxVersion);
        ::SSL_CTX_set_security_level(ctx, 0);
        ::SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    }
    return ctx;
}

int ListenOn(const char* Address, uint16_t& Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, Address, &a.sin_addr);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 1);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
    return fd;
}

TlsServer::TlsServer(TlsServerOptions Options) {
    // A client that rejects the certificate closes after the handshake,
    // before the greeting is written.
    ::signal(SIGPIPE, SIG_IGN);
    FCtx = NewServerContext(Options.Cert, Options.MaxVersion);
    FListen = ListenOn(Options.Address, Port);
    FThread = std::thread([this] { Serve(); });
}

TlsServer::~TlsServer() {
    Finish();
    ::close(FListen);
    ::SSL_CTX_free(FCtx);
}

int TlsServer::Finish() {
    if (FThread.joinable()) {
        ::shutdown(FListen, SHUT_RDWR); // ends an accept still waiting
        FThread.join();
    }
    return FVersion;
}

int AcceptBounded(int Listen) {
    const int fd = ::accept(Listen, nullptr, nullptr);
    if (fd < 0)
        return -1;
    const timeval limit{kWaitSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

void TlsServer::Serve() {
    const int fd = AcceptBounded(FListen);
    if (fd < 0)
        return;
    SSL* ssl = ::SSL_new(FCtx);
    ::SSL_set_fd(ssl, fd);
    if (::SSL_accept(ssl) == 1) {
        FVersion = ::SSL_version(ssl);
        const std::string greeting = "+OK tls ready\r\n";
        ::SSL_write(ssl, greeting.data(), static_cast<int>(greeting.size()));
        std::string received;
        char buf[256];
        int n = 0;
        while (received.find("\r\n") == std::string::npos && received.size() < 4096 &&
               (n = ::SSL_read(ssl, buf, sizeof buf)) > 0)
            received.append(buf, static_cast<size_t>(n));
        const std::string bye = "+OK bye\r\n";
        ::SSL_write(ssl, bye.data(), static_cast<int>(bye.size()));
        ::SSL_shutdown(ssl);
    }
    ::SSL_free(ssl);
    ::close(fd);
}

} // namespace sweepbox::test
