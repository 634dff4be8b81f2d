// The fake POP3 server itself: a fixture other tests trust, so its checks
// must catch what they promise to catch.
#include "support/FakePop3Server.h"

#include "mail/pop3/Pop3TestUtil.h"

#include <gtest/gtest.h>

using sweepbox::test::FakePop3Server;

namespace {

// A bare client socket for driving the server byte by byte.
struct RawClient {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    explicit RawClient(uint16_t port) {
        sockaddr_in a = sweepbox::test::Loopback(port);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        timeval limit{10, 0}; // a wrong reply must fail the test, not hang it
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~RawClient() { ::close(fd); }
    void Send(const std::string& s) { ::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }
    std::string ReadUntil(const std::string& end) {
        std::string got;
        char buf[4096];
        for (ssize_t n; !got.ends_with(end) && (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }
};

} // namespace

// Finished() fails for a wrong line, for bytes beyond the script, and for a
// step not reached.
TEST(FakeScript, FinishedCatchesWrongLinesExtraBytesAndUnplayedSteps) {
    const std::pair<std::string, std::string> rows[] = {
        {"USER b\r\n", "USER b"}, {"USER a\r\nNOOP\r\n", "NOOP"}, {"", "waiting at step 2"}};
    for (const auto& [sent, inMessage] : rows) {
        SCOPED_TRACE(inMessage);
        FakePop3Server srv;
        srv.Send("+OK\r\n").Expect("USER a");
        if (sent.empty())
            srv.Send("+OK\r\n");
        RawClient c(srv.Port());
        c.ReadUntil("\r\n");
        c.Send(sent);
        auto result = srv.Finished(std::chrono::milliseconds(sent.empty() ? 300 : 20000));
        EXPECT_FALSE(result);
        EXPECT_NE(std::string(result.message()).find(inMessage), std::string::npos) << result.message();
        if (sent.empty()) {
            c.Send("USER a\r\n");
            EXPECT_TRUE(srv.Finished());
            EXPECT_EQ(srv.ClientBytes(), "USER a\r\n");
        }
    }
}
