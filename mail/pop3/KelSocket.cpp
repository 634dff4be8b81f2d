#include "mail/pop3/KelSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kel {

namespace {

// Longest single wait before the host's pump runs again.
constexpr int kSliceMs = 50;

// Owns a descriptor until it is handed on, so that an exception from a
// handler cannot leak it.
class TFdGuard {
  public:
    explicit TFdGuard(int Fd) : FFd(Fd) {}
    ~TFdGuard() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFdGuard(const TFdGuard&) = delete;
    TFdGuard& operator=(const TFdGuard&) = delete;
    int Get() const { return FFd; }
    int Release() { return std::exchange(FFd, -1); }

  private:
    int FFd;
};

} // namespace

TKelSocket::TKelSocket() = default;

TKelSocket::~TKelSocket() {
    // Destruction is silent: no notification reaches an owner that is going away.
    if (FFd >= 0)
        ::close(FFd);
}

void TKelSocket::Open() {
    if (IsOpen())
        return;
    int error = 0;
    std::string text;
    int fd = -1;
    if (FOpening) {
        // A handler started a second open inside the pending one: the two
        // would share the pending state.
        error = EALREADY;
        text = SocketErrorText(EALREADY, "connect");
    } else {
        FOpening = true;
        try {
            fd = OpenSocket(error, text);
        } catch (...) {
            FOpening = false;
            FPendingFd = -1;
            if (OnDisconnect)
                OnDisconnect(this);
            throw;
        }
        FOpening = false;
        FPendingFd = -1;
    }
    if (fd < 0) {
        // Open failures close and notify, but never raise the error notification.
        if (OnDisconnect)
            OnDisconnect(this);
        throw ESocketOpenError(error, text);
    }
    FFd = fd;
    if (OnConnect)
        OnConnect(this);
}

int TKelSocket::OpenSocket(int& Error, std::string& Text) {
    if (Host.empty() && Address.empty()) {
        Error = EDESTADDRREQ;
        Text = SocketErrorText(EDESTADDRREQ, "connect");
        return -1;
    }

    if (OnLookup)
        OnLookup(this, this);

    struct Candidate {
        sockaddr_storage addr{};
        socklen_t len = 0;
        int family = AF_INET;
    };
    std::vector<Candidate> candidates;
    int lookupError = 0;
    std::string lookupText;
    if (Port < 0 || Port > 65535) {
        lookupError = EINVAL;
        lookupText = SocketErrorText(EINVAL, "connect");
    } else if (!Address.empty()) {
        Candidate c;
        auto* sin = reinterpret_cast<sockaddr_in*>(&c.addr);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(static_cast<uint16_t>(Port));
        if (::inet_pton(AF_INET, Address.c_str(), &sin->sin_addr) == 1) {
            c.len = sizeof(sockaddr_in);
            candidates.push_back(c);
        } else {
            lookupError = EINVAL;
            lookupText = SocketErrorText(EINVAL, "inet_pton");
        }
    } else {
        // getaddrinfo blocks without a pump. It is left so: it normally
        // answers from the local resolver or cache at once, its own time-outs
        // are a few seconds rather than minutes, and an asynchronous lookup
        // would need a helper thread or a second resolver. The long wait for
        // an unreachable host is the connect below, which does pump.
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
        addrinfo* res = nullptr;
        const std::string service = std::to_string(Port);
        int rc = ::getaddrinfo(Host.c_str(), service.c_str(), &hints, &res);
        if (rc == 0) {
            for (addrinfo* ai = res; ai; ai = ai->ai_next) {
                if (ai->ai_addrlen > sizeof(sockaddr_storage))
                    continue;
                Candidate c;
                std::copy_n(reinterpret_cast<const char*>(ai->ai_addr), ai->ai_addrlen,
                            reinterpret_cast<char*>(&c.addr));
                c.len = ai->ai_addrlen;
                c.family = ai->ai_family;
                candidates.push_back(c);
            }
            ::freeaddrinfo(res);
        } else {
            lookupError = rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
            lookupText = std::string("Windows-Socket-Fehler: ") + ::gai_strerror(rc) + " (" +
                         std::to_string(rc) + "), auf API 'getaddrinfo'";
        }
    }

    // A name that did not resolve still reaches the connecting step, where
    // the connect fails for want of an address.
    if (OnConnecting)
        OnConnecting(this, this);
    if (candidates.empty()) {
        Error = lookupError ? lookupError : EHOSTUNREACH;
        Text = lookupText.empty() ? SocketErrorText(EHOSTUNREACH, "connect") : lookupText;
        return -1;
    }

    int lastError = ECONNREFUSED;
    for (const Candidate& c : candidates) {
        int fd = ConnectTo(reinterpret_cast<const sockaddr*>(&c.addr), c.len, c.family, lastError);
        if (fd >= 0)
            return fd;
        if (lastError == ECANCELED)
            break; // abandoned by a handler: no further address
    }
    Error = lastError;
    Text = SocketErrorText(lastError, "connect");
    return -1;
}

int TKelSocket::ConnectTo(const sockaddr* Addr, socklen_t Len, int Family, int& Error) {
    TFdGuard fd(::socket(Family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (fd.Get() < 0) {
        Error = errno;
        return -1;
    }
    // Commands sent ahead of their replies go out at once, not held back
    // until the server acknowledges the ones before (Nagle); a command that
    // waits for its reply gains nothing from the delay either.
    const int on = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Non-blocking, so that an address that never answers does not hold the
    // caller for the kernel's SYN retries (about two minutes) without a pump.
    // A connect interrupted by a signal goes on in the background like one
    // in progress.
    if (::connect(fd.Get(), Addr, Len) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            Error = errno;
            return -1;
        }
        // Published only for the wait, so that a handler's Close() can mark
        // the attempt abandoned; the descriptor stays ours, so nothing a
        // handler does can make us close or reuse a number it now holds.
        FPendingFd = fd.Get();
        TWait w = WaitReady(POLLOUT);
        FPendingFd = -1;
        if (w != TWait::Ready) {
            Error = w == TWait::Closed ? ECANCELED : ETIMEDOUT;
            return -1;
        }
        int err = 0;
        socklen_t errlen = sizeof err;
        if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &errlen) != 0)
            err = errno;
        if (err == 0) {
            // A poll failure also reports "ready"; only a peer proves a connection.
            sockaddr_storage peer{};
            socklen_t peerLen = sizeof peer;
            if (::getpeername(fd.Get(), reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0)
                err = errno;
        }
        if (err != 0) {
            Error = err;
            return -1;
        }
    }
    return fd.Release();
}

TKelSocket::TWait TKelSocket::WaitReady(short Events) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        const int fd = FOpening ? FPendingFd : FFd;
        if (fd < 0)
            return TWait::Closed;
        int slice = kSliceMs;
        if (StallLimitMs > 0) {
            auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            if (waited >= StallLimitMs)
                return TWait::Stalled;
            slice = static_cast<int>(std::min<long long>(kSliceMs, StallLimitMs - waited));
        }
        pollfd p{fd, Events, 0};
        int rc = ::poll(&p, 1, slice);
        if (rc > 0)
            return TWait::Ready; // errors and hang-ups show in the call that follows
        if (rc < 0 && errno != EINTR)
            return TWait::Ready;
        if (rc == 0 && Idle)
            Idle();
    }
}

void TKelSocket::SendBuf(const char* Data, size_t Count) {
    size_t done = 0;
    while (done < Count && IsOpen()) {
        ssize_t n = ::send(FFd, Data + done, Count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            TWait w = WaitReady(POLLOUT);
            if (w == TWait::Stalled)
                FailStalled("send");
            continue; // Closed ends the loop: sending on a closed socket does nothing
        }
        Fail(n < 0 ? errno : EPIPE, "send");
    }
}

size_t TKelSocket::ReceiveBuf(char* Buffer, size_t Count) {
    if (Count == 0)
        return 0;
    // Data already there is taken at once: a long reply then costs one
    // system call per receive instead of two.
    for (;;) {
        if (FFd < 0)
            return 0;
        ssize_t n = ::recv(FFd, Buffer, Count, MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<size_t>(n);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            Fail(errno, "recv");
        TWait w = WaitReady(POLLIN);
        if (w == TWait::Closed)
            return 0;
        if (w == TWait::Stalled)
            FailStalled("recv");
    }
}

TKelTransport::TExchange TKelSocket::Exchange(const char* Data, size_t Count, char* Buffer, size_t Size) {
    TExchange x;
    for (;;) {
        if (!IsOpen()) {
            x.Ended = true;
            return x;
        }
        bool wantWrite = false;
        const TMove m = ExchangeOnce(Data + x.Sent, Count - x.Sent, Buffer, Size, x, wantWrite);
        if (m == TMove::Ended)
            x.Ended = true;
        if (m != TMove::Blocked)
            return x;
        const TWait w = WaitReady(static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)));
        if (w == TWait::Closed) {
            x.Ended = true;
            return x;
        }
        if (w == TWait::Stalled)
            FailStalled(wantWrite ? "send" : "recv");
    }
}

TKelSocket::TMove TKelSocket::ExchangeOnce(const char* Data, size_t Count, char* Buffer, size_t Size,
                                           TExchange& Moved, bool& WantWrite) {
    int sendError = 0;
    while (Count > 0) {
        const ssize_t n = ::send(FFd, Data, Count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            Moved.Sent += static_cast<size_t>(n);
            break; // one write: the rest goes once the replies have been looked at
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            WantWrite = true;
        else
            sendError = n < 0 ? errno : EPIPE;
        break;
    }
    // Untrusted bytes from the server: any value, NUL included.
    while (Size > 0) {
        const ssize_t n = ::recv(FFd, Buffer, Size, MSG_DONTWAIT);
        if (n > 0) {
            Moved.Received = static_cast<size_t>(n);
            return TMove::Moved;
        }
        if (n == 0)
            return TMove::Ended; // what was sent or not no longer matters
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            Fail(errno, "recv");
        break;
    }
    // A server that closed after its last reply refuses the commands after
    // it: that reply has been read first.
    if (sendError != 0)
        Fail(sendError, "send");
    return Moved.Sent > 0 ? TMove::Moved : TMove::Blocked;
}

size_t TKelSocket::ReceiveNow(char* Buffer, size_t Count) {
    for (;;) {
        if (FFd < 0 || Count == 0)
            return 0;
        const ssize_t n = ::recv(FFd, Buffer, Count, MSG_DONTWAIT);
        if (n > 0)
            return static_cast<size_t>(n);
        if (n < 0 && errno == EINTR)
            continue;
        return 0;
    }
}

void TKelSocket::Close() {
    if (FFd < 0) {
        // A pending connect is only marked: Open closes its own descriptor
        // and sends the disconnect notification as for any failed open.
        FPendingFd = -1;
        return;
    }
    // Marked closed before the notification runs, so a handler that closes
    // again does not notify twice.
    int fd = FFd;
    FFd = -1;
    if (OnDisconnect)
        OnDisconnect(this);
    ::close(fd);
}

} // namespace kel
