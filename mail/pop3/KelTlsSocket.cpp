#include "pop3/KelTlsSocket.h"

#include <cerrno>
#include <utility>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

namespace kel {

namespace {

// The newest error OpenSSL queued, as text; the queue is emptied.
std::string OpenSslError(const char* Fallback) {
    unsigned long e = 0, last = 0;
    while ((e = ::ERR_get_error()) != 0)
        last = e;
    if (last == 0)
        return Fallback;
    char text[256];
    ::ERR_error_string_n(last, text, sizeof text);
    return text;
}

// OpenSSL writes to the socket without MSG_NOSIGNAL: a write to a connection
// the server has reset would raise SIGPIPE and end the program. The signal is
// held back while OpenSSL may write and taken away if it came.
class TNoSigPipe {
  public:
    TNoSigPipe() {
        sigset_t pipe;
        ::sigemptyset(&pipe);
        ::sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        ::sigpending(&pending);
        FWasPending = ::sigismember(&pending, SIGPIPE) == 1;
        ::pthread_sigmask(SIG_BLOCK, &pipe, &FOld);
    }
    ~TNoSigPipe() {
        if (!FWasPending) {
            sigset_t pipe;
            ::sigemptyset(&pipe);
            ::sigaddset(&pipe, SIGPIPE);
            const timespec none{0, 0};
            while (::sigtimedwait(&pipe, nullptr, &none) > 0) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
    }
    TNoSigPipe(const TNoSigPipe&) = delete;
    TNoSigPipe& operator=(const TNoSigPipe&) = delete;

  private:
    sigset_t FOld;
    bool FWasPending = false;
};

bool IsIpAddress(const std::string& Host) {
    unsigned char buf[16];
    return ::inet_pton(AF_INET, Host.c_str(), buf) == 1 || ::inet_pton(AF_INET6, Host.c_str(), buf) == 1;
}

} // namespace

TKelTlsSocket::TKelTlsSocket() = default;

TKelTlsSocket::~TKelTlsSocket() {
    FreeSsl();
    if (FCtx)
        ::SSL_CTX_free(FCtx);
}

void TKelTlsSocket::FreeSsl() {
    if (FSsl)
        ::SSL_free(FSsl);
    FSsl = nullptr;
    FSecured = false;
}

void TKelTlsSocket::Open() {
    FHandshakeError.clear();
    if (!Implicit) {
        TKelSocket::Open();
        return;
    }
    // The component learns of the connection once it is secured.
    TNotifyEvent connected = std::exchange(OnConnect, nullptr);
    try {
        TKelSocket::Open();
    } catch (...) {
        OnConnect = std::move(connected);
        throw;
    }
    OnConnect = std::move(connected);
    std::string why = Handshake();
    if (!why.empty()) {
        FHandshakeError = why;
        Close(); // the disconnect notification of a failed open
        throw ESocketOpenError(EPROTO, why);
    }
    if (OnConnect)
        OnConnect(this);
}

void TKelTlsSocket::StartTls() {
    FHandshakeError.clear();
    std::string why = Handshake();
    if (!why.empty()) {
        FHandshakeError = why;
        Close();
        throw ESocketOpenError(EPROTO, why);
    }
}

std::string TKelTlsSocket::Handshake() {
    if (!IsOpen())
        return "The connection is closed.";
    if (!FCtx) {
        FCtx = ::SSL_CTX_new(::TLS_client_method());
        if (!FCtx)
            return OpenSslError("Cannot set up TLS.");
        ::SSL_CTX_set_min_proto_version(FCtx, TLS1_2_VERSION);
        ::SSL_CTX_set_verify(FCtx, SSL_VERIFY_PEER, nullptr);
        ::SSL_CTX_set_default_verify_paths(FCtx);
        if (!ExtraTrustFile.empty() && ::SSL_CTX_load_verify_locations(FCtx, ExtraTrustFile.c_str(), nullptr) != 1)
            return OpenSslError("Cannot read the trusted authorities.");
    }
    FreeSsl();
    FSsl = ::SSL_new(FCtx);
    if (!FSsl || ::SSL_set_fd(FSsl, Fd()) != 1)
        return OpenSslError("Cannot set up TLS.");
    const std::string& name = Address.empty() ? Host : Address;
    if (IsIpAddress(name)) {
        ::X509_VERIFY_PARAM_set1_ip_asc(::SSL_get0_param(FSsl), name.c_str());
    } else {
        ::SSL_set_tlsext_host_name(FSsl, name.c_str());
        ::SSL_set1_host(FSsl, name.c_str());
    }
    ::SSL_set_connect_state(FSsl);
    for (;;) {
        ::ERR_clear_error();
        const TNoSigPipe quiet;
        const int rc = ::SSL_do_handshake(FSsl);
        if (rc == 1)
            break;
        const int err = ::SSL_get_error(FSsl, rc);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            const TWait w = WaitReady(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT);
            if (w == TWait::Stalled)
                return "The server did not complete the TLS handshake in time.";
            if (w == TWait::Closed)
                return "The connection was closed during the TLS handshake.";
            continue;
        }
        const long verify = ::SSL_get_verify_result(FSsl);
        if (verify != X509_V_OK)
            return std::string("The server's certificate is not accepted: ") +
                   ::X509_verify_cert_error_string(verify) + ".";
        if (err == SSL_ERROR_SYSCALL || err == SSL_ERROR_ZERO_RETURN)
            return "The server closed the connection during the TLS handshake.";
        return "The TLS handshake failed: " + OpenSslError("no reason given") + ".";
    }
    FSecured = true;
    return std::string();
}

void TKelTlsSocket::SendBuf(const char* Data, size_t Count) {
    if (!Secured()) {
        TKelSocket::SendBuf(Data, Count);
        return;
    }
    size_t done = 0;
    while (done < Count && IsOpen() && FSsl) {
        ::ERR_clear_error();
        size_t n = 0;
        int rc = 0;
        {
            const TNoSigPipe quiet;
            rc = ::SSL_write_ex(FSsl, Data + done, Count - done, &n);
        }
        if (rc == 1) {
            done += n;
            continue;
        }
        const int err = ::SSL_get_error(FSsl, rc);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            if (WaitReady(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT) == TWait::Stalled)
                Fail(ETIMEDOUT, "send");
            continue;
        }
        Fail(err == SSL_ERROR_SYSCALL && errno ? errno : EPROTO, "send",
             err == SSL_ERROR_SYSCALL ? std::string() : "TLS: " + OpenSslError("the send failed"));
    }
}

size_t TKelTlsSocket::ReceiveBuf(char* Buffer, size_t Count) {
    if (!Secured())
        return TKelSocket::ReceiveBuf(Buffer, Count);
    if (Count == 0)
        return 0;
    for (;;) {
        if (!IsOpen() || !FSsl)
            return 0;
        ::ERR_clear_error();
        size_t n = 0;
        const int rc = ::SSL_read_ex(FSsl, Buffer, Count, &n);
        if (rc == 1)
            return n;
        const int err = ::SSL_get_error(FSsl, rc);
        if (err == SSL_ERROR_ZERO_RETURN)
            return 0; // close_notify: the end of the stream
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            const TWait w = WaitReady(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT);
            if (w == TWait::Closed)
                return 0;
            if (w == TWait::Stalled)
                Fail(ETIMEDOUT, "recv");
            continue;
        }
        if (err == SSL_ERROR_SYSCALL && errno == 0)
            return 0; // closed without close_notify: the reader judges what it means
        Fail(err == SSL_ERROR_SYSCALL ? errno : EPROTO, "recv",
             err == SSL_ERROR_SYSCALL ? std::string() : "TLS: " + OpenSslError("the receive failed"));
    }
}

void TKelTlsSocket::Close() {
    if (FSsl && FSecured && IsOpen()) {
        const TNoSigPipe quiet;
        ::SSL_shutdown(FSsl); // one try: the socket does not block, nobody waits for the answer
    }
    FreeSsl();
    TKelSocket::Close();
}

} // namespace kel
