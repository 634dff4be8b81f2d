// A TLS POP3 server for one connection on a loopback address, served by a
// thread of its own with a certificate of the test authority: the greeting,
// then "+OK bye" to the first line it reads. Every wait of the thread is
// bounded, so a client that stops talking cannot hold a test up.
#pragma once

#include "support/TestPki.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

typedef struct ssl_ctx_st SSL_CTX;

namespace sweepbox::test {

struct TlsServerOptions {
    const char* Address = "127.0.0.1";
    TestCert Cert = TestCert::Valid;
    // The newest protocol offered (TLS1_1_VERSION, ...); 0: OpenSSL's newest.
    // An older one also lowers the server's security level to 0, which
    // those protocols need.
    int MaxVersion = 0;
};

// A server context with the certificate Cert and its key; MaxVersion as in
// TlsServerOptions. The caller frees it.
SSL_CTX* NewServerContext(TestCert Cert, int MaxVersion);
// A socket listening on Address at a port the system chose (Port gets it).
int ListenOn(const char* Address, uint16_t& Port);
// The next connection on Listen, its reads and writes bounded to a few
// seconds each; -1 when none came.
int AcceptBounded(int Listen);

class TlsServer {
  public:
    explicit TlsServer(TlsServerOptions Options = {});
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    uint16_t Port = 0;

    // Waits for the connection to end (or for none to come), then tells the
    // protocol of the handshake the server completed; 0: none completed.
    int Finish();

  private:
    void Serve();
    SSL_CTX* FCtx = nullptr;
    int FListen = -1;
    std::atomic<int> FVersion{0};
    std::thread FThread;
};

} // namespace sweepbox::test
