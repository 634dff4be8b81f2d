// TLS over the TCP transport (OpenSSL): TLS 1.2 or newer, the server's name
// sent (SNI), its certificate chain checked against the trust store and its
// name (or IP address) against the certificate. The handshake waits in the
// same slices as the socket, with the host's pump between them and the
// stall limit applied.
#pragma once

#include "pop3/KelSocket.h"

#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace kel {

class TKelTlsSocket : public TKelSocket {
  public:
    TKelTlsSocket();
    ~TKelTlsSocket() override;

    // True: the handshake follows the TCP connect at once (implicit TLS).
    // False: the connection starts plain; StartTls() secures it.
    bool Implicit = true;
    // A PEM file of authorities trusted besides the system's store, which
    // honours SSL_CERT_FILE and SSL_CERT_DIR. Set while closed.
    std::string ExtraTrustFile;

    // With Implicit, OnConnect fires only once the handshake succeeded; a
    // failed handshake is a failed open (ESocketOpenError, with the reason
    // as its text, and HandshakeError()).
    void Open() override;
    // Handshake on the open plain connection (after STLS was accepted).
    // Failure: closed, OnDisconnect, then ESocketOpenError as for Open.
    void StartTls();
    bool Secured() const { return FSsl != nullptr && FSecured; }
    // Why the last handshake failed; empty when it did not.
    const std::string& HandshakeError() const { return FHandshakeError; }

    void SendBuf(const char* Data, size_t Count) override;
    size_t ReceiveBuf(char* Buffer, size_t Count) override;
    // Sends close_notify without waiting for the answer, then closes.
    void Close() override;

  private:
    // Runs the handshake; empty on success, otherwise the reason.
    std::string Handshake();
    void FreeSsl();

    SSL_CTX* FCtx = nullptr;
    SSL* FSsl = nullptr;
    bool FSecured = false;
    std::string FHandshakeError;
};

} // namespace kel
