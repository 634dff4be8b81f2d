#include "mail/pop3/KelTlsSocket.h"

#include "mail/core/KelText.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

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

TCertProblem ProblemOf(int VerifyError) {
    switch (VerifyError) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return TCertProblem::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return TCertProblem::NotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TCertProblem::WrongHost;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return TCertProblem::SelfSigned;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return TCertProblem::Untrusted;
    default:
        return TCertProblem::Other;
    }
}

// A distinguished name on one line, UTF-8 kept as it is.
std::string NameText(const X509_NAME* Name) {
    BIO* mem = ::BIO_new(::BIO_s_mem());
    if (!mem)
        return std::string();
    ::X509_NAME_print_ex(mem, Name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long n = BIO_get_mem_data(mem, &data);
    std::string text(data ? data : "", n > 0 ? static_cast<size_t>(n) : 0);
    ::BIO_free(mem);
    return text;
}

std::string TimeText(const ASN1_TIME* Time) {
    tm t{};
    if (!Time || ::ASN1_TIME_to_tm(Time, &t) != 1)
        return std::string();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &t);
    return text;
}

std::string FingerprintOf(const X509* Cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (::X509_digest(Cert, ::EVP_sha256(), md, &n) != 1)
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string text = "sha256:";
    for (unsigned int i = 0; i < n; ++i) {
        text += kHex[md[i] >> 4];
        text += kHex[md[i] & 15];
    }
    return text;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

} // namespace

TKelTlsSocket::TKelTlsSocket() { ImplicitTls = true; }

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

void TKelTlsSocket::FailOpen(const std::string& Why) {
    FHandshakeError = Why;
    Close(); // the disconnect notification of a failed open
    throw ESocketOpenError(EPROTO, Why);
}

void TKelTlsSocket::Open() {
    ClearHandshakeOutcome();
    if (!ImplicitTls) {
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
    const std::string why = Handshake();
    if (!why.empty())
        FailOpen(why);
    if (OnConnect)
        OnConnect(this);
}

void TKelTlsSocket::StartTls() {
    ClearHandshakeOutcome();
    const std::string why = Handshake();
    if (!why.empty())
        FailOpen(why);
}

int TKelTlsSocket::VerifyCallback(int Ok, X509_STORE_CTX* Ctx) {
    if (!Ok) {
        SSL* ssl = static_cast<SSL*>(::X509_STORE_CTX_get_ex_data(Ctx, ::SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* self = ssl ? static_cast<TKelTlsSocket*>(::SSL_get_ex_data(ssl, 0)) : nullptr;
        const int error = ::X509_STORE_CTX_get_error(Ctx);
        if (self && std::find(self->FVerifyErrors.begin(), self->FVerifyErrors.end(), error) ==
                        self->FVerifyErrors.end())
            self->FVerifyErrors.push_back(error);
    }
    // The handshake goes on; JudgeCertificate decides once it is done, and
    // nothing is sent over a connection it did not accept.
    return 1;
}

long TKelTlsSocket::ReadTap(BIO* Bio, int Oper, const char* Data, size_t, int, long, int Ret, size_t* Done) {
    if (Oper == (BIO_CB_READ | BIO_CB_RETURN) && Ret > 0 && Done && Data) {
        auto* self = reinterpret_cast<TKelTlsSocket*>(::BIO_get_callback_arg(Bio));
        if (self && self->FFirstBytes.size() < 8)
            self->FFirstBytes.append(Data, std::min(*Done, 8 - self->FFirstBytes.size()));
    }
    return Ret;
}

namespace {

// One context per set of trusted authorities for the whole process: reading
// the system's trust store costs tens of milliseconds, more than a whole
// handshake. The cache holds one reference; each socket takes its own.
class TContextCache {
  public:
    ~TContextCache() {
        for (auto& [file, ctx] : FContexts)
            ::SSL_CTX_free(ctx);
    }
    // A new reference to the context for ExtraTrustFile, or nullptr with Why set.
    SSL_CTX* Take(const std::string& ExtraTrustFile, std::string& Why) {
        const std::lock_guard<std::mutex> lock(FMutex);
        for (auto& [file, ctx] : FContexts) {
            if (file == ExtraTrustFile) {
                ::SSL_CTX_up_ref(ctx);
                return ctx;
            }
        }
        SSL_CTX* ctx = ::SSL_CTX_new(::TLS_client_method());
        if (!ctx) {
            Why = OpenSslError("Cannot set up TLS.");
            return nullptr;
        }
        ::SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        ::SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &TKelTlsSocket::VerifyCallback);
        ::SSL_CTX_set_default_verify_paths(ctx);
        if (!ExtraTrustFile.empty() && ::SSL_CTX_load_verify_locations(ctx, ExtraTrustFile.c_str(), nullptr) != 1) {
            ::ERR_clear_error();
            ::SSL_CTX_free(ctx);
            Why = "Cannot read the trusted authorities from " + ExtraTrustFile + ".";
            return nullptr;
        }
        // A file that changed on disk is read again by a new process only; a
        // handful of files is all a program ever names.
        if (FContexts.size() < 8) {
            ::SSL_CTX_up_ref(ctx);
            FContexts.emplace_back(ExtraTrustFile, ctx);
        }
        return ctx;
    }

  private:
    std::mutex FMutex;
    std::vector<std::pair<std::string, SSL_CTX*>> FContexts;
};

TContextCache& Contexts() {
    static TContextCache cache;
    return cache;
}

} // namespace

std::string TKelTlsSocket::PrepareContext() {
    if (FCtx && FCtxTrustFile == ExtraTrustFile)
        return std::string();
    if (FCtx)
        ::SSL_CTX_free(FCtx);
    FCtxTrustFile = ExtraTrustFile;
    std::string why;
    FCtx = Contexts().Take(ExtraTrustFile, why);
    return why;
}

std::string TKelTlsSocket::Handshake() {
    if (!IsOpen())
        return "The connection is closed.";
    // The handshake's own limit, for the waits below only.
    struct TLimit {
        int& Limit;
        int Kept;
        ~TLimit() { Limit = Kept; }
    } limit{StallLimitMs, StallLimitMs};
    if (HandshakeLimitMs > 0 && (StallLimitMs <= 0 || HandshakeLimitMs < StallLimitMs))
        StallLimitMs = HandshakeLimitMs;
    if (std::string why = PrepareContext(); !why.empty())
        return why;
    FreeSsl();
    FVerifyErrors.clear();
    FFirstBytes.clear();
    FSsl = ::SSL_new(FCtx);
    if (!FSsl || ::SSL_set_fd(FSsl, Fd()) != 1)
        return OpenSslError("Cannot set up TLS.");
    ::SSL_set_ex_data(FSsl, 0, this);
    // A write reports each record that went out (an exchange reads between
    // them), and one that must wait is retried with the same bytes wherever
    // they are held by then.
    ::SSL_set_mode(FSsl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    BIO* bio = ::SSL_get_rbio(FSsl);
    ::BIO_set_callback_arg(bio, reinterpret_cast<char*>(this));
    ::BIO_set_callback_ex(bio, &TKelTlsSocket::ReadTap);
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
        if (StartsWith(FFirstBytes, "+OK") || StartsWith(FFirstBytes, "-ERR")) {
            FPlainTextAnswer = true;
            return "The server answered in plain text, not with TLS: on this port it expects an "
                   "unencrypted connection or STARTTLS.";
        }
        if (err == SSL_ERROR_SYSCALL || err == SSL_ERROR_ZERO_RETURN)
            return "The server closed the connection during the TLS handshake.";
        return "The TLS handshake failed: " + OpenSslError("no reason given") + ".";
    }
    ::BIO_set_callback_ex(bio, nullptr);
    if (std::string why = JudgeCertificate(); !why.empty())
        return why;
    FSecured = true;
    return std::string();
}

std::string TKelTlsSocket::JudgeCertificate() {
    const X509* cert = ::SSL_get0_peer_certificate(FSsl);
    if (!cert)
        return "The server presented no certificate.";
    const long result = ::SSL_get_verify_result(FSsl);
    if (FVerifyErrors.empty() && result != X509_V_OK)
        FVerifyErrors.push_back(static_cast<int>(result));
    if (FVerifyErrors.empty())
        return std::string();
    const std::string fingerprint = FingerprintOf(cert);
    const std::string pinned = LowerCase(PinnedFingerprint);
    if (!pinned.empty() && fingerprint == pinned)
        return std::string();
    TCertificateInfo& info = FRejected;
    info = TCertificateInfo();
    // One OpenSSL text for each kind of problem: a missing authority also
    // leaves the first certificate unverified, which says nothing new.
    std::string details;
    for (const int error : FVerifyErrors) {
        const TCertProblem problem = ProblemOf(error);
        if (std::find(info.Problems.begin(), info.Problems.end(), problem) != info.Problems.end())
            continue;
        info.Problems.push_back(problem);
        details += (details.empty() ? "" : "; ") + std::string(::X509_verify_cert_error_string(error));
    }
    info.Detail = details;
    info.PinChanged = !pinned.empty();
    info.Subject = NameText(::X509_get_subject_name(cert));
    info.Issuer = NameText(::X509_get_issuer_name(cert));
    info.NotBefore = TimeText(::X509_get0_notBefore(cert));
    info.NotAfter = TimeText(::X509_get0_notAfter(cert));
    info.Fingerprint = fingerprint;
    std::string why = info.PinChanged ? "The server's certificate has changed since it was trusted: "
                                      : "The server's certificate is not accepted: ";
    return why + details + ".";
}

TChannelBinding TKelTlsSocket::ChannelBinding() const {
    TChannelBinding binding;
    if (!Secured())
        return binding;
    if (::SSL_version(FSsl) >= TLS1_3_VERSION) {
        static constexpr char kLabel[] = "EXPORTER-Channel-Binding";
        unsigned char data[32];
        if (::SSL_export_keying_material(FSsl, data, sizeof data, kLabel, sizeof kLabel - 1, nullptr, 0, 0) == 1)
            binding = {TChannelBindingType::TlsExporter, std::string(reinterpret_cast<char*>(data), sizeof data)};
        return binding;
    }
    // The first Finished message of the handshake: ours, unless the session
    // was resumed, where the server's comes first.
    char finished[EVP_MAX_MD_SIZE];
    const size_t n = ::SSL_session_reused(FSsl) ? ::SSL_get_peer_finished(FSsl, finished, sizeof finished)
                                                : ::SSL_get_finished(FSsl, finished, sizeof finished);
    if (n > 0 && n <= sizeof finished)
        binding = {TChannelBindingType::TlsUnique, std::string(finished, n)};
    return binding;
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
                FailStalled("send");
            continue;
        }
        if (err == SSL_ERROR_SYSCALL)
            Fail(errno ? errno : EPROTO, "send");
        Fail(EPROTO, "send", "TLS: " + OpenSslError("the send failed"), TSocketFailure::Tls);
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
                FailStalled("recv");
            continue;
        }
        if (err == SSL_ERROR_SYSCALL && errno == 0)
            return 0; // closed without close_notify: the reader judges what it means
        if (err == SSL_ERROR_SYSCALL)
            Fail(errno, "recv");
        Fail(EPROTO, "recv", "TLS: " + OpenSslError("the receive failed"), TSocketFailure::Tls);
    }
}

size_t TKelTlsSocket::ReceiveNow(char* Buffer, size_t Count) {
    if (!Secured())
        return TKelSocket::ReceiveNow(Buffer, Count);
    if (Count == 0 || !IsOpen())
        return 0;
    ::ERR_clear_error();
    size_t n = 0;
    // The socket never blocks: without a whole record there, this is WANT_READ.
    if (::SSL_read_ex(FSsl, Buffer, Count, &n) == 1)
        return n;
    ::ERR_clear_error();
    return 0;
}

TKelSocket::TMove TKelTlsSocket::ExchangeOnce(const char* Data, size_t Count, char* Buffer, size_t Size,
                                              TExchange& Moved, bool& WantWrite) {
    if (!Secured())
        return TKelSocket::ExchangeOnce(Data, Count, Buffer, Size, Moved, WantWrite);
    int sendErrno = 0;
    std::string sendText;
    if (Count > 0) {
        ::ERR_clear_error();
        size_t n = 0;
        int rc = 0;
        {
            const TNoSigPipe quiet;
            rc = ::SSL_write_ex(FSsl, Data, Count, &n);
        }
        if (rc == 1) {
            Moved.Sent += n;
        } else {
            const int err = ::SSL_get_error(FSsl, rc);
            if (err == SSL_ERROR_WANT_WRITE)
                WantWrite = true;
            else if (err == SSL_ERROR_SYSCALL)
                sendErrno = errno ? errno : EPROTO;
            else if (err != SSL_ERROR_WANT_READ)
                sendText = "TLS: " + OpenSslError("the send failed");
        }
    }
    // Untrusted bytes from the server: any value, NUL included. A record
    // already decrypted is taken although the socket has nothing new.
    ::ERR_clear_error();
    size_t n = 0;
    const int rc = ::SSL_read_ex(FSsl, Buffer, Size, &n);
    if (rc == 1) {
        Moved.Received = n;
        return TMove::Moved;
    }
    const int err = ::SSL_get_error(FSsl, rc);
    if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && errno == 0))
        return TMove::Ended; // the reader judges what the end means
    if (err == SSL_ERROR_WANT_WRITE)
        WantWrite = true;
    else if (err == SSL_ERROR_SYSCALL)
        Fail(errno, "recv");
    else if (err != SSL_ERROR_WANT_READ)
        Fail(EPROTO, "recv", "TLS: " + OpenSslError("the receive failed"), TSocketFailure::Tls);
    // A server that closed after its last reply refuses the commands after
    // it: that reply has been read first.
    if (sendErrno != 0)
        Fail(sendErrno, "send");
    if (!sendText.empty())
        Fail(EPROTO, "send", sendText, TSocketFailure::Tls);
    return Moved.Sent > 0 ? TMove::Moved : TMove::Blocked;
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
