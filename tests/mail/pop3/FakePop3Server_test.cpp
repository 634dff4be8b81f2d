// The fake POP3 server itself: a test fixture other tests trust, so its
// checks must catch what they promise to catch.
#include "support/FakePop3Server.h"

#include "mail/pop3/Pop3TestUtil.h"
#include "pop3/KelPOP3.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using sweepbox::test::Chunking;
using sweepbox::test::FakePop3Server;
using sweepbox::test::MailboxOptions;

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
    // Reads until the received text ends with `until`.
    std::string ReadUntil(const std::string& until) {
        std::string got;
        char buf[4096];
        while (got.size() < until.size() || got.compare(got.size() - until.size(), until.size(), until) != 0) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
};

} // namespace

// Does Finished() fail for a wrong line, for bytes beyond the script, and
// for a step not reached?
TEST(FakeScript, FinishedCatchesWrongLinesExtraBytesAndUnplayedSteps) {
    struct Row {
        const char* name;
        std::string sent;
        std::string inMessage;
    };
    const Row rows[] = {
        {"wrong line", "USER b\r\n", "USER b"},
        {"extra bytes", "USER a\r\nNOOP\r\n", "NOOP"},
        {"step not reached", "", "waiting at step 2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv;
        srv.Send("+OK\r\n").Expect("USER a");
        if (row.sent.empty())
            srv.Send("+OK\r\n");
        RawClient c(srv.Port());
        c.ReadUntil("\r\n");
        c.Send(row.sent);
        auto result = srv.Finished(std::chrono::milliseconds(row.sent.empty() ? 300 : 20000));
        EXPECT_FALSE(result);
        EXPECT_NE(std::string(result.message()).find(row.inMessage), std::string::npos) << result.message();
        if (row.sent.empty()) {
            c.Send("USER a\r\n");
            EXPECT_TRUE(srv.Finished());
            EXPECT_EQ(srv.ClientBytes(), "USER a\r\n");
        }
    }
}

TEST(FakeScript, ChunkingCutsAsAsked) {
    struct Row {
        const char* name;
        Chunking how;
        std::vector<std::string> pieces;
    };
    const Row rows[] = {
        {"whole", Chunking::Whole(), {"abcdef"}},
        {"bytewise", Chunking::Bytewise(), {"a", "b", "c", "d", "e", "f"}},
        {"sizes, last repeats", Chunking::Of({1, 2}), {"a", "bc", "de", "f"}},
        {"cuts", Chunking::At({5, 2}), {"ab", "cde", "f"}},
        {"cuts out of range", Chunking::At({0, 9}), {"abcdef"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.how.Split("abcdef"), row.pieces);
    }
}

// Paced chunks arrive in receives of their own.
TEST(FakeScript, PacedChunksArriveOneReceiveEach) {
    FakePop3Server srv;
    srv.Send("+OK\r\nA\r\n.\r\n", Chunking::At({3, 6, 8})).ExpectClose();
    sweepbox::test::FakeClient c(srv, /*paced=*/true);
    c.pop.Connect();
    for (int i = 0; i < 3; ++i)
        c.pop.ReadReply();
    EXPECT_EQ(c.rec.Events, (std::vector<std::string>{"lookup", "connecting", "connect", "recv:+OK",
                                                       "recv:\r\nA", "recv:\r\n", "recv:.\r\n"}));
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

// ------------------------------------------------------------ mailbox mode

// A whole session byte by byte; deletions happen at QUIT only.
TEST(FakeMailbox, AnswersLikeAServerAndDeletesAtQuitOnly) {
    MailboxOptions opt;
    opt.Overrides["DELE 3"] = "-ERR locked\r\n";
    opt.ChunkSize = 3;
    const std::vector<std::string> msgs = {"Subject: one\n\nbody\n", "A: 1\n\n.\n..x\nend",
                                           "Subject: three\n"};
    FakePop3Server srv(msgs, opt);
    auto dialogue = [&](const std::vector<std::pair<std::string, std::string>>& lines) {
        RawClient c(srv.Port());
        EXPECT_EQ(c.ReadUntil("\r\n"), "+OK Fake POP3 server ready.\r\n");
        for (const auto& [command, reply] : lines) {
            SCOPED_TRACE(command);
            c.Send(command + "\r\n");
            const bool multiLine = reply.size() > 5 && reply.compare(reply.size() - 5, 5, "\r\n.\r\n") == 0;
            EXPECT_EQ(c.ReadUntil(multiLine ? "\r\n.\r\n" : "\r\n"), reply);
        }
    };
    dialogue({
        {"STAT", "-ERR Unknown command.\r\n"},
        {"USER test", "+OK\r\n"},
        {"PASS nope", "-ERR [AUTH] Authentication failed.\r\n"},
        {"PASS secret", "-ERR Unknown command.\r\n"}, // USER again first
        {"USER test", "+OK\r\n"},
        {"PASS secret", "+OK Logged in.\r\n"},
        {"STAT", "+OK 3 59\r\n"},
        {"RETR 2", "+OK 21 octets\r\nA: 1\r\n\r\n..\r\n...x\r\nend\r\n.\r\n"},
        {"TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n"},
        {"TOP 3 0", "+OK\r\nSubject: three\r\n\r\n.\r\n"},
        {"LIST 2", "+OK 2 21\r\n"},
        {"UIDL 2", "+OK 2 uid-2\r\n"},
        {"RETR 4", "-ERR There's no message 4.\r\n"},
        {"DELE 3", "-ERR locked\r\n"},
        {"DELE 2", "+OK Marked to be deleted.\r\n"},
        {"RETR 2", "-ERR Message is deleted.\r\n"},
        {"LIST", "+OK\r\n1 22\r\n3 16\r\n.\r\n"},
        {"QUIT", "+OK Logging out.\r\n"},
    });
    EXPECT_EQ(srv.Remaining(), (std::vector<std::string>{msgs[0], msgs[2]}));
    // A session that drops without QUIT deletes nothing; the next session
    // (served after it) sees both messages.
    dialogue({{"USER test", "+OK\r\n"}, {"PASS secret", "+OK Logged in.\r\n"},
              {"DELE 1", "+OK Marked to be deleted.\r\n"}});
    dialogue({{"USER test", "+OK\r\n"}, {"PASS secret", "+OK Logged in.\r\n"}, {"STAT", "+OK 2 38\r\n"}});
    EXPECT_EQ(srv.Remaining().size(), 2u);
}

// A UI test can hold the server's replies to look at its busy state.
TEST(FakeMailbox, HeldRepliesWaitForRelease) {
    FakePop3Server srv({"Subject: x\n"});
    srv.HoldReplies(true);
    kel::TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = srv.PortText();
    bool sawHold = false;
    pop.ProcessMessages = [&] {
        // Runs while Connect waits for the greeting.
        if (!sawHold && pop.Connected()) {
            sawHold = true;
            srv.HoldReplies(false);
        }
    };
    pop.Connect();
    EXPECT_TRUE(sawHold);
    EXPECT_EQ(pop.ReplyText(), "Fake POP3 server ready.");
}
