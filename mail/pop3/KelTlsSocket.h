// TLS over the TCP transport (OpenSSL): TLS 1.2 or newer, the server's name
// sent (SNI), its certificate chain checked against the trust store and its
// name (or IP address) against the certificate. The handshake waits in the
// same slices as the socket, with the host's pump between them and the
// stall limit applied.
#pragma once

#include "pop3/KelSocket.h"

#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct x509_store_ctx_st X509_STORE_CTX;
typedef struct bio_st BIO;

namespace kel {

// Why a certificate was not accepted.
enum class TCertProblem {
    Untrusted,   // no trusted authority vouches for it
    SelfSigned,  // it signed itself
    Expired,     // its validity has ended
    NotYetValid, // its validity has not begun
    WrongHost,   // it names other servers
    Other,       // anything else: Detail says what
};

// The server's certificate as the user needs to judge it.
struct TCertificateInfo {
    std::vector<TCertProblem> Problems; // empty: nothing was rejected
    std::string Detail;                 // OpenSSL's words, one per problem
    bool PinChanged = false;            // a fingerprint was pinned, and this is another
    std::string Subject;                // one line, RFC 2253 form
    std::string Issuer;
    std::string NotBefore;              // "yyyy-mm-dd hh:mm:ss UTC"
    std::string NotAfter;
    std::string Fingerprint;            // "sha256:" and 64 lower-case hex digits
};

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
    // "sha256:<hex>" of a certificate the user chose to trust for this
    // server: accepted although it does not verify. A certificate that
    // verifies is accepted whatever is pinned.
    std::string PinnedFingerprint;

    // With Implicit, OnConnect fires only once the handshake succeeded; a
    // failed handshake is a failed open (ESocketOpenError, with the reason
    // as its text, and HandshakeError()).
    void Open() override;
    // Handshake on the open plain connection (after STLS was accepted).
    // Failure: closed, OnDisconnect, then ESocketOpenError as for Open.
    void StartTls() override;
    bool Secured() const override { return FSsl != nullptr && FSecured; }
    // Why the last handshake failed; empty when it did not.
    const std::string& HandshakeError() const { return FHandshakeError; }
    // The certificate of the last handshake when it was not accepted.
    const TCertificateInfo& RejectedCertificate() const { return FRejected; }
    // The last handshake failed because the server answered in plain text
    // (a POP3 greeting where TLS was expected).
    bool PlainTextAnswer() const { return FPlainTextAnswer; }
    // The handshake may take this long without progress; <= 0: StallLimitMs.
    int HandshakeLimitMs = 0;

    // Records what the certificate check found; the handshake goes on.
    static int VerifyCallback(int Ok, X509_STORE_CTX* Ctx);

    void SendBuf(const char* Data, size_t Count) override;
    size_t ReceiveBuf(char* Buffer, size_t Count) override;
    // Reads a record that is there: a ready socket may hold only TLS
    // housekeeping (a session ticket), which is no data.
    size_t ReceiveNow(char* Buffer, size_t Count) override;
    // Sends close_notify without waiting for the answer, then closes.
    void Close() override;

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
    std::string FHandshakeError;
    TCertificateInfo FRejected;
    bool FPlainTextAnswer = false;
    // What the verification found during the handshake (X509_V_ERR_*).
    std::vector<int> FVerifyErrors;
    // The first bytes the server sent in the handshake.
    std::string FFirstBytes;

    static long ReadTap(BIO* Bio, int Oper, const char* Data, size_t Len, int, long, int Ret, size_t* Done);
};

} // namespace kel
