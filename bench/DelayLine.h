// A loopback proxy for the POP3 benchmarks: a delay line that may also
// rewrite what the server sends.
#pragma once

#include "BenchUtil.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

// A loopback proxy: each connection to Port() gets one to the target, and
// every byte read on one side is written to the other Delay after it
// arrived, in order. Reading never waits for writing, so nothing is held in
// lock-step; buffering is unbounded, which a benchmark can afford.
class DelayLine {
  public:
    // Rewrites what the server sends before it is passed on; one for each
    // connection, made when it begins (it may keep a partial line).
    using TFilter = std::function<std::string(std::string_view Bytes)>;
    std::function<TFilter()> ServerFilter;

    DelayLine(uint16_t Target, std::chrono::milliseconds Delay) : FTarget(Target), FDelay(Delay) {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FListen, 8) != 0 ||
            ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("delay line: cannot listen");
        FPort = ntohs(a.sin_port);
        FAcceptor = std::thread([this] { Accept(); });
    }
    ~DelayLine() {
        FStop = true;
        ::shutdown(FListen, SHUT_RDWR);
        FAcceptor.join();
        for (std::thread& t : FConnections)
            t.join();
        ::close(FListen);
    }
    uint16_t Port() const { return FPort; }

  private:
    struct Pending {
        Clock::time_point due;
        std::string bytes;
    };
    struct Side {
        int fd = -1;
        bool eof = false;           // this side sent everything it will send
        std::deque<Pending> toPeer; // read here, not yet written to the peer
    };

    void Accept() {
        while (!FStop) {
            const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                return;
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(FTarget);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(client);
                ::close(server);
                continue;
            }
            FConnections.emplace_back([this, client, server] { Forward(client, server); });
        }
    }

    void Forward(int ClientFd, int ServerFd) {
        Side side[2];
        side[0].fd = ClientFd;
        side[1].fd = ServerFd;
        const int on = 1;
        for (Side& s : side) {
            ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            ::fcntl(s.fd, F_SETFL, ::fcntl(s.fd, F_GETFL) | O_NONBLOCK);
        }
        std::vector<char> buf(65536);
        const TFilter filter = ServerFilter ? ServerFilter() : TFilter();
        bool shutDown[2] = {false, false}; // the write side towards side k closed
        for (;;) {
            const Clock::time_point now = Clock::now();
            int timeout = -1;
            pollfd p[2];
            for (int k = 0; k < 2; ++k) {
                const Side& from = side[1 - k]; // what waits to be written to side k
                short events = side[k].eof ? 0 : POLLIN;
                if (!from.toPeer.empty()) {
                    if (from.toPeer.front().due <= now)
                        events |= POLLOUT;
                    else {
                        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(from.toPeer.front().due - now);
                        timeout = timeout < 0 ? static_cast<int>(wait.count())
                                              : std::min(timeout, static_cast<int>(wait.count()));
                    }
                }
                // A closed side keeps reporting POLLHUP: it is left out
                // unless something is still to be written to it.
                p[k] = {events ? side[k].fd : -1, events, 0};
            }
            if (side[0].eof && side[1].eof && side[0].toPeer.empty() && side[1].toPeer.empty())
                break;
            if (::poll(p, 2, timeout) < 0 && errno != EINTR)
                break;
            bool failed = false;
            for (int k = 0; k < 2 && !failed; ++k) {
                if (p[k].revents & (POLLIN | POLLHUP | POLLERR)) {
                    const long n = ::recv(side[k].fd, buf.data(), buf.size(), 0);
                    if (n > 0)
                        side[k].toPeer.push_back({Clock::now() + FDelay,
                                                  k == 1 && filter ? filter({buf.data(), size_t(n)})
                                                                   : std::string(buf.data(), size_t(n))});
                    else if (n == 0 || errno != EAGAIN)
                        side[k].eof = true;
                }
                Side& from = side[1 - k];
                while (!from.toPeer.empty() && from.toPeer.front().due <= Clock::now()) {
                    std::string& b = from.toPeer.front().bytes;
                    const long n = ::send(side[k].fd, b.data(), b.size(), MSG_NOSIGNAL);
                    if (n < 0) {
                        failed = errno != EAGAIN;
                        break;
                    }
                    b.erase(0, static_cast<size_t>(n));
                    if (!b.empty())
                        break;
                    from.toPeer.pop_front();
                }
                // A side that has closed is closed towards its peer once
                // everything it sent has been delivered.
                if (from.eof && from.toPeer.empty() && !shutDown[k]) {
                    ::shutdown(side[k].fd, SHUT_WR);
                    shutDown[k] = true;
                }
            }
            if (failed)
                break;
        }
        ::close(ClientFd);
        ::close(ServerFd);
    }

    uint16_t FTarget;
    std::chrono::milliseconds FDelay;
    int FListen = -1;
    uint16_t FPort = 0;
    std::atomic<bool> FStop{false};
    std::thread FAcceptor;
    std::vector<std::thread> FConnections; // touched by the acceptor only until it is joined
};

} // namespace bench
