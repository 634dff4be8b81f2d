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

using namespace kel;
using sweepbox::test::Chunking;
using sweepbox::test::FakePop3Server;
using sweepbox::test::MailboxOptions;

namespace {

// A bare client socket for driving the server byte by byte.
struct RawClient {
    int fd = -1;
    explicit RawClient(uint16_t port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~RawClient() { Close(); }
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
    void Close() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

} // namespace

TEST(FakeScript, FinishedCatchesAWrongLineAndExtraBytes) {
    {
        FakePop3Server srv;
        srv.Send("+OK\r\n").Expect("USER a").ExpectClose();
        RawClient c(srv.Port());
        c.ReadUntil("\r\n");
        c.Send("USER b\r\n");
        auto result = srv.Finished();
        EXPECT_FALSE(result);
        EXPECT_NE(std::string(result.message()).find("USER b"), std::string::npos) << result.message();
    }
    {
        FakePop3Server srv;
        srv.Send("+OK\r\n").Expect("USER a");
        RawClient c(srv.Port());
        c.ReadUntil("\r\n");
        c.Send("USER a\r\nNOOP\r\n");
        auto result = srv.Finished();
        EXPECT_FALSE(result);
        EXPECT_NE(std::string(result.message()).find("NOOP"), std::string::npos) << result.message();
    }
    {
        FakePop3Server srv;
        srv.Send("+OK\r\n").Expect("USER a").Send("+OK\r\n");
        RawClient c(srv.Port());
        c.ReadUntil("\r\n");
        auto result = srv.Finished(std::chrono::milliseconds(300));
        EXPECT_FALSE(result) << "a step not reached must fail";
        c.Send("USER a\r\n");
        EXPECT_TRUE(srv.Finished());
        EXPECT_EQ(srv.ClientBytes(), "USER a\r\n");
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
        {"cuts", Chunking::At({2, 5}), {"ab", "cde", "f"}},
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
    TKelPOP pop;
    sweepbox::test::PopRecorder rec;
    srv.SetPaced(true);
    rec.Bind(pop, &srv);
    pop.Host = "127.0.0.1";
    pop.Port = srv.PortText();
    pop.Connect();
    for (int i = 0; i < 3; ++i)
        pop.ReadReply();
    EXPECT_EQ(rec.Events, (std::vector<std::string>{"lookup", "connecting", "connect", "recv:+OK",
                                                     "recv:\r\nA", "recv:\r\n", "recv:.\r\n"}));
}

// ------------------------------------------------------------ mailbox mode

TEST(FakeMailbox, ServesAListingSessionAndCarriesOutDeletionsAtQuit) {
    const std::vector<std::string> msgs = {"Subject: one\n\nbody\n", "Subject: two\r\n\r\n.x\r\n",
                                           "Subject: three\n"};
    FakePop3Server srv(msgs);
    TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = srv.PortText();
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    pop.Connect();
    ASSERT_TRUE(pop.Login());
    pop.Stat();
    EXPECT_EQ(pop.MsgCount(), 3);
    EXPECT_EQ(pop.MailboxSizeText(), std::to_string(22 + 20 + 16));
    EXPECT_EQ(pop.GetHeader(1), "Subject: one\r\n\r\n.\r\n");
    EXPECT_EQ(pop.GetHeader(3), "Subject: three\r\n\r\n.\r\n");
    std::string size;
    pop.GetMsgSize(2, size);
    EXPECT_EQ(size, "20");
    EXPECT_EQ(pop.GetUIDL(2), "uid-2");
    pop.DeleteMsg(2);
    pop.Quit();
    EXPECT_EQ(srv.Remaining(), (std::vector<std::string>{msgs[0], msgs[2]}));

    // A session that drops without QUIT deletes nothing.
    pop.Connect();
    ASSERT_TRUE(pop.Login());
    pop.DeleteMsg(1);
    pop.HandleTransportError(0);
    EXPECT_EQ(srv.Remaining().size(), 2u);
}

TEST(FakeMailbox, RetrDotStuffsAndRefusesWhatItShould) {
    MailboxOptions opt;
    opt.Overrides["DELE 1"] = "-ERR locked\r\n";
    opt.ChunkSize = 3;
    FakePop3Server srv({"A: 1\n\n.\n..x\nend"}, opt);
    RawClient c(srv.Port());
    EXPECT_EQ(c.ReadUntil("\r\n"), "+OK Fake POP3 server ready.\r\n");
    c.Send("STAT\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n"), "-ERR Unknown command.\r\n");
    c.Send("USER test\r\nPASS nope\r\n");
    EXPECT_EQ(c.ReadUntil("failed.\r\n"), "+OK\r\n-ERR [AUTH] Authentication failed.\r\n");
    c.Send("USER test\r\n");
    c.ReadUntil("\r\n");
    c.Send("PASS secret\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n"), "+OK Logged in.\r\n");
    c.Send("RETR 1\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n.\r\n"), "+OK 21 octets\r\nA: 1\r\n\r\n..\r\n...x\r\nend\r\n.\r\n");
    c.Send("RETR 2\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n"), "-ERR There's no message 2.\r\n");
    c.Send("DELE 1\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n"), "-ERR locked\r\n");
    c.Send("QUIT\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n"), "+OK Logging out.\r\n");
    EXPECT_EQ(srv.Remaining().size(), 1u);
}

// A UI test can hold the server's replies to look at its busy state.
TEST(FakeMailbox, HeldRepliesWaitForRelease) {
    FakePop3Server srv({"Subject: x\n"});
    srv.HoldReplies(true);
    TKelPOP pop;
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
