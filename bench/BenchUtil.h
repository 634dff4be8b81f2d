// Shared pieces of the POP3 and main-window benchmarks: timing, medians and
// the bare raw-socket client that the component is measured against.
#pragma once

#include <algorithm>
#include <limits>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <cstdlib>
#include <fstream>

#include <fcntl.h>
#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// CPU time this process has used, user and system: what a client costs
// itself, apart from the server's processes and the waits between them.
inline double CpuMs() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// One field of /proc/self/status, in KiB; -1 when it is not there.
inline long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.compare(0, key.size(), key) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

// Starts a new peak: VmHWM becomes the current resident size. False where
// the system does not allow it (VmHWM is then the process's peak).
inline bool ResetPeak() {
    std::ofstream refs("/proc/self/clear_refs");
    refs << "5";
    refs.close();
    return static_cast<bool>(refs);
}

inline double Median(std::vector<double> v) {
    if (v.empty())
        return std::numeric_limits<double>::quiet_NaN();
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// A mailbox list traffic fills: headers of a few hundred bytes with one to
// four Received lines, a third of the senders and subjects in encoded words,
// bodies of 200 to 3,200 bytes.
inline std::vector<std::string> Mailbox(int count) {
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(count));
    for (int i = 1; i <= count; ++i) {
        const std::string n = std::to_string(i);
        std::string m = "Return-Path: <list-" + n + "@lists.example.org>\n";
        for (int hop = 0; hop < 1 + i % 4; ++hop)
            m += "Received: from relay" + std::to_string(hop) + ".example.net by mx.example.org\n"
                 "\twith ESMTP id A" + n + "; Tue, " + std::to_string(1 + i % 28) + " Mar 2000 09:00:00 +0100\n";
        m += "Date: Tue, " + std::to_string(1 + i % 28) + " Mar 2000 09:00:00 +0100\n";
        // A third of the senders and subjects carry encoded words, as mail does.
        if (i % 3 == 0) {
            m += "From: =?ISO-8859-1?Q?J=FCrgen_M=FCller?= " + n + " <list-" + n + "@lists.example.org>\n";
            m += "To: test@example.com\nSubject: =?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?= =?UTF-8?Q?_Nummer_" + n +
                 "?=\n";
        } else {
            m += "From: Mailing list " + n + " <list-" + n + "@lists.example.org>\n";
            m += "To: test@example.com\nSubject: [list] Weekly digest number " + n + "\n";
        }
        m += "Message-ID: <digest." + n + "@lists.example.org>\nMIME-Version: 1.0\n";
        m += "Content-Type: text/plain; charset=us-ascii\n\n";
        m += std::string(200 + (i * 37) % 3000, 'x') + "\n";
        out.push_back(std::move(m));
    }
    return out;
}

// The baseline: a blocking loopback socket, one buffer, no events, no pump.
// With a CA file it speaks implicit TLS (OpenSSL, the server's certificate
// verified for 127.0.0.1): the baseline of a secured session.
class RawClient {
  public:
    explicit RawClient(uint16_t port, const std::string& caFile = std::string()) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            if (fd_ >= 0)
                ::close(fd_);
            throw std::runtime_error("raw connect failed");
        }
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (!caFile.empty()) {
            ctx_ = ::SSL_CTX_new(::TLS_client_method());
            ::SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr);
            ::SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
            ssl_ = ::SSL_new(ctx_);
            ::SSL_set_fd(ssl_, fd_);
            ::X509_VERIFY_PARAM_set1_ip_asc(::SSL_get0_param(ssl_), "127.0.0.1");
            if (::SSL_connect(ssl_) != 1) {
                Release();
                throw std::runtime_error("raw TLS handshake failed");
            }
        }
        ReadUntil("\r\n");
    }
    ~RawClient() { Release(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Sends one command and reads until the reply ends with Until.
    std::string Command(const std::string& cmd, const std::string& until) {
        const std::string line = cmd + "\r\n";
        const long sent = ssl_ ? ::SSL_write(ssl_, line.data(), static_cast<int>(line.size()))
                               : ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL);
        if (sent != static_cast<long>(line.size()))
            throw std::runtime_error("raw send failed");
        return ReadUntil(until);
    }

    // Sends every command as fast as the connection takes them while it
    // reads the replies, and returns once a reply arrived for each (Multi: a
    // multi-line reply, else one line). No window, no events: the fastest a
    // client can be over this connection. Returns the reply bytes.
    size_t Pipeline(const std::vector<std::string>& commands, const std::vector<bool>& multi) {
        std::string out;
        for (const std::string& c : commands)
            out += c + "\r\n";
        const int flags = ::fcntl(fd_, F_GETFL);
        ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
        if (ssl_)
            ::SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        std::string in;
        size_t sent = 0, scanned = 0, replies = 0, total = 0;
        std::vector<char> buf(65536);
        while (replies < multi.size()) {
            pollfd p{fd_, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
            if (::poll(&p, 1, 30000) <= 0)
                throw std::runtime_error("raw pipeline stalled");
            if (ssl_) {
                // TLS: try both ways each round; a decrypted record may wait
                // in the library while the socket has nothing new.
                size_t n = 0;
                if (sent < out.size() && ::SSL_write_ex(ssl_, out.data() + sent, out.size() - sent, &n) == 1)
                    sent += n;
                for (;;) {
                    n = 0;
                    if (::SSL_read_ex(ssl_, buf.data(), buf.size(), &n) != 1)
                        break;
                    in.append(buf.data(), n);
                    total += n;
                }
            } else if ((p.revents & POLLOUT) && sent < out.size()) {
                const long n = ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
                if (n > 0)
                    sent += static_cast<size_t>(n);
            }
            if (!ssl_ && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
                const long n = ::recv(fd_, buf.data(), buf.size(), 0);
                if (n == 0 || (n < 0 && errno != EAGAIN))
                    throw std::runtime_error("raw pipeline: connection lost");
                if (n > 0) {
                    in.append(buf.data(), static_cast<size_t>(n));
                    total += static_cast<size_t>(n);
                }
            }
            // Whole replies are passed over; the buffer drops them only now
            // and then, so a burst of replies costs no quadratic copying.
            size_t at = 0;
            while (replies < multi.size()) {
                const size_t eol = in.find("\r\n", at);
                if (eol == std::string::npos)
                    break;
                size_t end = eol + 2;
                if (multi[replies] && in.compare(at, 3, "+OK") == 0) {
                    // The terminator after the status line; bytes scanned
                    // before are not scanned again.
                    const size_t dot = in.find("\r\n.\r\n", std::max(eol, scanned));
                    if (dot == std::string::npos) {
                        scanned = in.size() >= 4 ? in.size() - 4 : 0;
                        break;
                    }
                    end = dot + 5;
                }
                at = end;
                scanned = 0;
                ++replies;
            }
            in.erase(0, at);
            if (scanned >= at)
                scanned -= at;
            else
                scanned = 0;
        }
        ::fcntl(fd_, F_SETFL, flags);
        return total;
    }

  private:
    std::string ReadUntil(const std::string& until) {
        std::string got;
        std::vector<char> buf(65536);
        for (;;) {
            const long n = ssl_ ? ::SSL_read(ssl_, buf.data(), static_cast<int>(buf.size()))
                                : ::recv(fd_, buf.data(), buf.size(), 0);
            if (n <= 0)
                throw std::runtime_error("raw recv failed");
            got.append(buf.data(), static_cast<size_t>(n));
            // Only the new bytes and the few before them can complete Until.
            const size_t back = static_cast<size_t>(n) + until.size();
            if (got.find(until, got.size() > back ? got.size() - back : 0) != std::string::npos)
                return got;
        }
    }
    void Release() {
        if (ssl_)
            ::SSL_free(ssl_);
        if (ctx_)
            ::SSL_CTX_free(ctx_);
        ssl_ = nullptr;
        ctx_ = nullptr;
        ::close(fd_);
    }
    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

} // namespace bench
