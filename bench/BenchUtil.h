// Shared pieces of the POP3 and main-window benchmarks: timing, medians and
// the bare raw-socket client that the component is measured against.
#pragma once

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The baseline: a blocking loopback socket, one buffer, no events, no pump.
class RawClient {
  public:
    explicit RawClient(uint16_t port) {
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
        ReadUntil("\r\n");
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Sends one command and reads until the reply ends with Until.
    std::string Command(const std::string& cmd, const std::string& until) {
        const std::string line = cmd + "\r\n";
        if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
            throw std::runtime_error("raw send failed");
        return ReadUntil(until);
    }

  private:
    std::string ReadUntil(const std::string& until) {
        std::string got;
        std::vector<char> buf(65536);
        for (;;) {
            const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n <= 0)
                throw std::runtime_error("raw recv failed");
            got.append(buf.data(), static_cast<size_t>(n));
            // Only the new bytes and the few before them can complete Until.
            const size_t back = static_cast<size_t>(n) + until.size();
            if (got.find(until, got.size() > back ? got.size() - back : 0) != std::string::npos)
                return got;
        }
    }
    int fd_ = -1;
};

} // namespace bench
