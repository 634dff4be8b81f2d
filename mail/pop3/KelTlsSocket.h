// TLS over the TCP transport (OpenSSL): TLS 1.2 or newer, the server's name
// sent (SNI), its certificate chain checked against the trust store and its
// name (or IP address) against the certificate. The handshake waits in the
// same slices as the socket, with the host's pump between them and the
// stall limit applied.
#pragma once

#include "mail/pop3/KelSocket.h"

#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct x509_store_ctx_st X509_STORE_CTX;
typedef struct bio_st BIO;

namespace kel {

class TKelTlsSocket : public TKelSocket {
  public:
    ~TKelTlsSocket() override;

    // The trust store is the system's, which honours SSL_CERT_FILE and
    // SSL_CERT_DIR, and ExtraTrustFile besides. A certificate that verifies
    // is accepted whatever is pinned.
    TKelTlsSocket();  // ImplicitTls: the handshake follows the TCP connect at once

    // With ImplicitTls, OnConnect fires only once the handshake succeeded;
    // a failed handshake is a failed open (ESocketOpenError, with the reason
    // as its text, and the outcome in HandshakeError() and the rest).
    void Open() override;
    // Handshake on the open plain connection (after STLS was accepted).
    // Failure: closed, OnDisconnect, then ESocketOpenError as for Open.
    void StartTls() override;
    bool Secured() const override { return FSsl != nullptr && FSecured; }
    TChannelBinding ChannelBinding() const override;

    // Records what the certificate check found; the handshake goes on.
    static int VerifyCallback(int Ok, X509_STORE_CTX* Ctx);

    void SendBuf(const char* Data, size_t Count) override;
    size_t ReceiveBuf(char* Buffer, size_t Count) override;
    // Reads a record that is there: a ready socket may hold only TLS
    // housekeeping (a session ticket), which is no data.
    size_t ReceiveNow(char* Buffer, size_t Count) override;
    // Sends close_notify without waiting for the answer, then closes.
    void Close() override;

  protected:
    TMove ExchangeOnce(const char* Data, size_t Count, char* Buffer, size_t Size, TExchange& Moved,
                       bool& WantWrite) override;

  private:
    // Runs the handshake; empty on success, otherwise the reason.
    std::string Handshake();
    // The context for the current trust settings.
    std::string PrepareContext();
    // After a handshake: is the certificate accepted (verified or pinned)?
    // Otherwise fills FRejected and returns the reason.
    std::string JudgeCertificate();
    void FreeSsl();
    [[noreturn]] void FailOpen(const std::string& Why);

    SSL_CTX* FCtx = nullptr;
    std::string FCtxTrustFile;
    SSL* FSsl = nullptr;
    bool FSecured = false;
    // What the verification found during the handshake (X509_V_ERR_*).
    std::vector<int> FVerifyErrors;
    // The first bytes the server sent in the handshake.
    std::string FFirstBytes;

    static long ReadTap(BIO* Bio, int Oper, const char* Data, size_t Len, int, long, int Ret, size_t* Done);
};

} // namespace kel
