// A POP3 server for one connection on 127.0.0.1 that signs in with AUTH
// through GNU SASL's server side (user "test", password "secret"), in plain
// text or inside TLS with a certificate of the test authority, and whose
// proofs and channel binding a test can spoil. Served by a thread of its
// own; every wait is bounded, so a client that stops talking cannot hold a
// test up.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace sweepbox::test {

struct SaslServerOptions {
    std::string Mechanisms = "SCRAM-SHA-256"; // the SASL line of CAPA
    bool Tls = false;                          // TLS from the first byte
    int MaxVersion = 0;                        // e.g. TLS1_2_VERSION; 0: the newest
    bool WrongBinding = false;   // the server binds to other data than the connection's
    bool WrongSignature = false; // SCRAM's final signature is spoiled
    bool SkipFinal = false;      // "+OK" at once after the client's proof
};

class SaslPop3Server {
  public:
    explicit SaslPop3Server(SaslServerOptions Options = {});
    ~SaslPop3Server();
    SaslPop3Server(const SaslPop3Server&) = delete;
    SaslPop3Server& operator=(const SaslPop3Server&) = delete;

    uint16_t Port = 0;
    std::string PortText() const { return std::to_string(Port); }

    // Waits for the connection to end (or for none to come); the lines the
    // client sent, in order.
    std::vector<std::string> Finish();
    // The server accepted a sign-in.
    bool SignedIn() const { return FSignedIn; }

  private:
    void Serve();
    bool ReadLine(int Fd, SSL* Ssl, std::string& Buffer, std::string& Line);
    SaslServerOptions FOptions;
    SSL_CTX* FCtx = nullptr;
    int FListen = -1;
    std::atomic<bool> FSignedIn{false};
    std::mutex FMutex;
    std::vector<std::string> FLines;
    std::thread FThread;
};

} // namespace sweepbox::test
