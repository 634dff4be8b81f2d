#include "pop3/KelSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kel {

namespace {

// Longest single wait before the host's pump runs again.
constexpr int kSliceMs = 50;

std::string SocketErrorText(int code, const std::string& api) {
    return "Windows-Socket-Fehler: " + std::system_category().message(code) + " (" +
           std::to_string(code) + "), auf API '" + api + "'";
}

// Connects fd to addr; a connect interrupted by a signal goes on in the
// background, so wait for it to finish instead of starting over.
int ConnectFd(int fd, const sockaddr* addr, socklen_t len) {
    if (::connect(fd, addr, len) == 0)
        return 0;
    if (errno != EINTR)
        return errno;
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0) {
        if (errno != EINTR)
            return errno;
    }
    int err = 0;
    socklen_t errlen = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errlen) != 0)
        return errno;
    return err;
}

} // namespace

ESocketError::ESocketError(int ErrorCode, const std::string& Api)
    : Exception(SocketErrorText(ErrorCode, Api)), ErrorCode(ErrorCode), Api(Api) {}

ESocketOpenError::ESocketOpenError(int ErrorCode, const std::string& Text)
    : Exception(Text), ErrorCode(ErrorCode) {}

TKelSocket::TKelSocket() = default;

TKelSocket::~TKelSocket() {
    // Destruction is silent: no notification reaches an owner that is going away.
    if (FFd >= 0)
        ::close(FFd);
}

void TKelSocket::Open() {
    if (IsOpen())
        return;
    auto fail = [this](int code, const std::string& text) {
        // Open failures close and notify, but never raise the error notification.
        if (OnDisconnect)
            OnDisconnect(this);
        throw ESocketOpenError(code, text);
    };
    if (Host.empty() && Address.empty())
        fail(EDESTADDRREQ, SocketErrorText(EDESTADDRREQ, "connect"));

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
    if (candidates.empty())
        fail(lookupError ? lookupError : EHOSTUNREACH,
             lookupText.empty() ? SocketErrorText(EHOSTUNREACH, "connect") : lookupText);

    int lastError = ECONNREFUSED;
    for (const Candidate& c : candidates) {
        int fd = ::socket(c.family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int err = ConnectFd(fd, reinterpret_cast<const sockaddr*>(&c.addr), c.len);
        if (err == 0) {
            FFd = fd;
            if (OnConnect)
                OnConnect(this);
            return;
        }
        ::close(fd);
        lastError = err;
    }
    fail(lastError, SocketErrorText(lastError, "connect"));
}

TKelSocket::TWait TKelSocket::WaitReady(short Events) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        if (FFd < 0)
            return TWait::Closed;
        int slice = kSliceMs;
        if (StallLimitMs > 0) {
            auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            if (waited >= StallLimitMs)
                return TWait::Stalled;
            slice = static_cast<int>(std::min<long long>(kSliceMs, StallLimitMs - waited));
        }
        pollfd p{FFd, Events, 0};
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
                Fail(ETIMEDOUT, "send");
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
            Fail(ETIMEDOUT, "recv");
    }
}

void TKelSocket::Fail(int ErrorCode, const char* Api) {
    if (OnError)
        OnError(this, ErrorCode);
    Close();
    throw ESocketError(ErrorCode, Api);
}

void TKelSocket::Close() {
    if (FFd < 0)
        return;
    // Marked closed before the notification runs, so a handler that closes
    // again does not notify twice.
    int fd = FFd;
    FFd = -1;
    if (OnDisconnect)
        OnDisconnect(this);
    ::close(fd);
}

} // namespace kel
