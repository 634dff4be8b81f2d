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

// A whole session byte by byte; deletions happen at QUIT only.
TEST(FakeMailbox, AnswersLikeAServerAndDeletesAtQuitOnly) {
    sweepbox::test::MailboxOptions opt;
    opt.Overrides["DELE 3"] = "-ERR locked\r\n";
    opt.ChunkSize = 3;
    const std::vector<std::string> msgs = {"Subject: one\n\nbody\n", "A: 1\n\n.\n..x\nend", "Subject: three\n"};
    FakePop3Server srv(msgs, opt);
    auto dialogue = [&](const std::vector<std::pair<std::string, std::string>>& lines) {
        RawClient c(srv.Port());
        EXPECT_EQ(c.ReadUntil("\r\n"), "+OK Fake POP3 server ready.\r\n");
        for (const auto& [command, reply] : lines) {
            SCOPED_TRACE(command);
            c.Send(command + "\r\n");
            EXPECT_EQ(c.ReadUntil(reply.ends_with("\r\n.\r\n") ? "\r\n.\r\n" : "\r\n"), reply);
        }
    };
    const std::pair<std::string, std::string> login[] = {{"USER test", "+OK\r\n"}, {"PASS secret", "+OK Logged in.\r\n"}};
    dialogue({
        {"STAT", "-ERR Unknown command.\r\n"},
        {"USER test", "+OK\r\n"},
        {"PASS nope", "-ERR [AUTH] Authentication failed.\r\n"},
        login[0], login[1],
        {"STAT", "+OK 3 59\r\n"},
        {"RETR 2", "+OK 21 octets\r\nA: 1\r\n\r\n..\r\n...x\r\nend\r\n.\r\n"},
        {"TOP 3 0", "+OK\r\nSubject: three\r\n\r\n.\r\n"},
        {"UIDL 2", "+OK 2 uid-2\r\n"},
        {"RETR 4", "-ERR There's no message 4.\r\n"},
        {"DELE 3", "-ERR locked\r\n"},
        {"DELE 2", "+OK Marked to be deleted.\r\n"},
        {"RETR 2", "-ERR Message is deleted.\r\n"},
        {"LIST", "+OK\r\n1 22\r\n3 16\r\n.\r\n"},
        {"QUIT", "+OK Logging out.\r\n"},
    });
    EXPECT_EQ(srv.Remaining(), (std::vector<std::string>{msgs[0], msgs[2]}));
    // A session that drops without QUIT deletes nothing.
    dialogue({login[0], login[1], {"DELE 1", "+OK Marked to be deleted.\r\n"}});
    dialogue({login[0], login[1], {"STAT", "+OK 2 38\r\n"}});
}
