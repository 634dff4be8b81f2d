// The connection the POP3 component talks through: open, send, receive and
// close, with notifications for each step. The plain TCP socket implements
// it; tests put a scripted one in its place.
#pragma once

#include "mail/core/KelBase.h"
#include "mail/pop3/KelCertificate.h"

#include <cerrno>
#include <cstddef>
#include <functional>
#include <string>

namespace kel {

// A send or receive failed: at the socket, by a stall, or because the bytes
// that came in cannot be a reply (the stream ended inside one, or it grew
// past its bound). Socket failures read
// "Windows-Socket-Fehler: <system text> (<number>), auf API '<send|recv>'";
// failures found in the received bytes carry a text of their own.
// Callers tell them apart by Reason, never by the words.
enum class TSocketFailure {
    System,      // a send or receive failed: ErrorCode is the system's number
    Stalled,     // no progress within the stall limit (ETIMEDOUT)
    ClosedEarly, // the server closed before its reply was complete (ECONNRESET)
    TooLong,     // a reply grew past its bound (EMSGSIZE)
    Tls,         // the TLS layer failed (EPROTO): the text says why
};

class ESocketError : public Exception {
  public:
    ESocketError(int ErrorCode, const std::string& Api, TSocketFailure Reason = TSocketFailure::System);
    ESocketError(int ErrorCode, const std::string& Api, const std::string& Text,
                 TSocketFailure Reason = TSocketFailure::System);
    int ErrorCode;
    std::string Api;
    TSocketFailure Reason;
};

// The connection could not be opened (lookup, connect, no host given).
class ESocketOpenError : public Exception {
  public:
    ESocketOpenError(int ErrorCode, const std::string& Text);
    int ErrorCode;
};

// The system's error text in the socket error form above.
std::string SocketErrorText(int ErrorCode, const std::string& Api);

// The data that binds an authentication to the TLS connection it runs in
// (the SCRAM -PLUS mechanisms): tls-unique (RFC 5929, the first Finished
// message) below TLS 1.3, tls-exporter (RFC 9266) from it on.
enum class TChannelBindingType { None, TlsUnique, TlsExporter };
struct TChannelBinding {
    TChannelBindingType Type = TChannelBindingType::None;
    std::string Data; // empty: no binding
};

// Sender = the transport, Socket = the transport's connection object (the
// transport itself: it holds the connection).
using TSocketNotifyEvent = std::function<void(TObject* Sender, TObject* Socket)>;

class TKelTransport : public TObject {
  public:
    TKelTransport() = default;
    TKelTransport(const TKelTransport&) = delete;
    TKelTransport& operator=(const TKelTransport&) = delete;

    // ---- TLS, for a transport that can secure its connection; set while closed ----
    // True: the handshake follows the connect at once (implicit TLS).
    // False: the connection starts plain; StartTls() secures it.
    bool ImplicitTls = false;
    // A PEM file of authorities trusted besides the system's store.
    std::string ExtraTrustFile;
    // "sha256:<hex>" of a certificate the user chose to trust for this
    // server: accepted although it does not verify.
    std::string PinnedFingerprint;
    // The handshake may take this long without progress; <= 0: StallLimitMs.
    int HandshakeLimitMs = 0;

    // What the last handshake found: why it failed (empty when it did not
    // fail or has not run), the certificate when it was not accepted, and
    // whether the server answered in plain text (a POP3 greeting where TLS
    // was expected).
    const std::string& HandshakeError() const { return FHandshakeError; }
    const TCertificateInfo& RejectedCertificate() const { return FRejected; }
    bool PlainTextAnswer() const { return FPlainTextAnswer; }

    // Set while closed. Exactly one of Host and Address is non-empty for a
    // connection to succeed; Address is a dotted IPv4 address used as it is.
    int Port = 110;
    std::string Host;
    std::string Address;

    // A receive (or a send that cannot go out) that sees no progress for this
    // long fails with ETIMEDOUT through the error notification; so does an
    // open that gets no answer. <= 0: no limit.
    int StallLimitMs = 180000;

    // Called between the wait slices (at most 50 ms each) of an open, a
    // receive or a send, so that the host's window stays responsive. It may
    // close the transport; an exception from it leaves the waiting call.
    std::function<void()> Idle;

    // Notifications.
    TSocketNotifyEvent OnLookup;
    TSocketNotifyEvent OnConnecting;
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    std::function<void(TObject* Sender, int ErrorCode)> OnError;

    virtual bool IsOpen() const = 0;
    // Open is running (resolving or waiting for the connect).
    virtual bool IsOpening() const = 0;

    // Returns once connected or failed. On failure: closed, OnDisconnect
    // fires and ESocketOpenError is thrown; OnError does not fire. Close()
    // from a handler while the open is pending abandons it (ECANCELED).
    virtual void Open() = 0;

    // Sends every byte; nothing when not open. Failure: OnError, close, then
    // ESocketError("send").
    virtual void SendBuf(const char* Data, size_t Count) = 0;

    // Blocks until at least one byte is there; returns how many (<= Count).
    // 0 at end of stream and when not open; end of stream does not close.
    // Failure or stall: OnError, close, then ESocketError("recv").
    virtual size_t ReceiveBuf(char* Buffer, size_t Count) = 0;

    // The bytes that have arrived already, without waiting: 0 when there
    // are none, and also at the end of the stream or on a failure, which
    // the next ReceiveBuf reports. A transport that cannot tell returns 0.
    virtual size_t ReceiveNow(char* Buffer, size_t Count) {
        (void)Buffer;
        (void)Count;
        return 0;
    }

    // What one Exchange moved.
    struct TExchange {
        size_t Sent = 0;     // bytes of Data that went out
        size_t Received = 0; // bytes put into Buffer
        bool Ended = false;  // the end of the stream, or closed meanwhile
    };
    // Sends what of Data the connection takes and receives what has
    // arrived, waiting (in slices, Idle between them, within StallLimitMs)
    // until at least one byte went either way or the stream ended. A
    // caller with many commands to send reads while it sends, so a server
    // that waits for its replies to be read before it reads more never
    // waits on us while we wait on it. Failure or stall: OnError, close,
    // then ESocketError ("send" or "recv"). Not open: Ended. A transport
    // that cannot do both at once sends every byte as SendBuf does and
    // receives nothing.
    virtual TExchange Exchange(const char* Data, size_t Count, char* Buffer, size_t Size) {
        (void)Buffer;
        (void)Size;
        TExchange x;
        if (!IsOpen()) {
            x.Ended = true;
            return x;
        }
        SendBuf(Data, Count);
        x.Sent = Count;
        return x;
    }

    // When open: OnDisconnect, then closed. While Open is pending: the open
    // is abandoned and fails once control returns to it. Otherwise nothing.
    virtual void Close() = 0;

    // TLS on a connection that began in plain text (after the server
    // accepted STLS). Failure: closed, OnDisconnect, then ESocketOpenError
    // with the reason. A transport without TLS fails with EPROTONOSUPPORT.
    virtual void StartTls();
    // The bytes travel inside TLS with a certificate that was accepted.
    virtual bool Secured() const { return false; }
    // The channel binding of the secured connection; none for a plain one.
    virtual TChannelBinding ChannelBinding() const { return {}; }

    // The failure path of a send or receive, also for a failure the caller
    // found in the received bytes: OnError, close, then ESocketError with
    // Text (the system's text for ErrorCode when Text is empty).
    [[noreturn]] void Fail(int ErrorCode, const char* Api, const std::string& Text = std::string(),
                           TSocketFailure Reason = TSocketFailure::System);
    // A stall: no progress within StallLimitMs.
    [[noreturn]] void FailStalled(const char* Api) { Fail(ETIMEDOUT, Api, std::string(), TSocketFailure::Stalled); }

  protected:
    // Forgets the last handshake's outcome (a new one begins).
    void ClearHandshakeOutcome() {
        FHandshakeError.clear();
        FRejected = TCertificateInfo();
        FPlainTextAnswer = false;
    }
    std::string FHandshakeError;
    TCertificateInfo FRejected;
    bool FPlainTextAnswer = false;
};

} // namespace kel
