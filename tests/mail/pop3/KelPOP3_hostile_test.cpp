// TKelPOP against servers that lie or flood, over an in-memory transport
// that records every byte the component writes: can a server talk it into
// a false report, a command out of turn, a full disk or a file left behind?
#include "mail/pop3/KelPOP3.h"

#include "support/Pop3Clients.h"
#include "mail/message/KelMsg.h"
#include "support/ScriptedTransport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <memory>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kel;
using sweepbox::test::PopRecorder;
using sweepbox::test::PrivateTmpDir;
using sweepbox::test::ScriptedTransport;
using Events = std::vector<std::string>;

namespace {

[[maybe_unused]] auto* const tmpEnv = ::testing::AddGlobalTestEnvironment(new PrivateTmpDir);

// A component on a scripted transport, with its events recorded.
struct Scripted {
    TKelPOP pop;
    ScriptedTransport* server;
    PopRecorder rec;
    Scripted() {
        auto t = std::make_unique<ScriptedTransport>();
        server = t.get();
        pop.SetTransport(std::move(t));
        pop.Host = "pop.example";
        pop.UserId = "u";
        pop.UserPasswd = "p";
        sweepbox::test::BoundWaits(pop);
        rec.Bind(pop);
    }
};

} // namespace

// What happens when a long "+OK" to DELE spans two receives and QUIT is then
// refused? The refusal must be read as QUIT's reply, not the DELE leftovers.
TEST(Hostile, LongDeleReplyThenRefusedQuitIsNoDeletion) {
    Scripted s;
    const std::string dele = "+OK " + std::string(1500, 'd') + "\r\n";
    s.server->Serve("+OK hi\r\n").Serve(dele).Serve("-ERR not now\r\n");
    s.pop.Connect();
    s.pop.DeleteMsg(1);
    s.pop.Quit();
    EXPECT_TRUE(s.pop.OperationFailed());
    EXPECT_EQ(s.pop.ReplyLine(), "-ERR not now");
    EXPECT_EQ(s.server->Written, "[open]DELE 1\r\nQUIT\r\n[close]");
    // Each receive is reported as it came.
    EXPECT_EQ(s.rec.Events, (Events{"lookup", "connecting", "connect", "recv:+OK hi\r\n", "send:DELE 1\r\n",
                                    "recv:" + dele.substr(0, 1024), "recv:" + dele.substr(1024), "delete:1",
                                    "send:QUIT\r\n", "recv:-ERR not now\r\n", "quit", "error:2002:not now"}));
    EXPECT_TRUE(s.server->Exhausted());
}

// What happens when the greeting never ends? The session ends before USER:
// no credential goes to a server that has not even greeted.
TEST(Hostile, FloodedGreetingEndsBeforeUser) {
    Scripted s;
    s.server->Serve("+OK ").Endless("x", 4 * TReplyReader::kMaxLine);
    try {
        s.pop.Connect();
        s.pop.Login();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode, EMSGSIZE);
        EXPECT_STREQ(e.what(), "The server's reply has no line end within its first 65536 bytes.");
    }
    EXPECT_EQ(s.server->Written, "[open][close]");
    EXPECT_LE(s.server->Served, TReplyReader::kMaxLine + 1024);
    EXPECT_EQ(s.rec.NonIo(), (Events{"lookup", "connecting", "connect", "quit", "error:T" + std::to_string(EMSGSIZE) + ":"}));
}

// What happens when the server answers ahead, two replies in one receive?
// Nothing more is sent: a reply nobody asked for would answer the next
// command, so the server is out of step, and the connection is dropped
// without a word (not even QUIT).
TEST(Hostile, AReplyAheadDropsTheConnectionBeforeTheNextCommand) {
    Scripted s;
    s.server->Serve("+OK hi\r\n+OK user\r\n").Serve("-ERR bad pass\r\n");
    s.pop.Connect();
    try {
        s.pop.Login();
        ADD_FAILURE() << "no failure";
    } catch (const EKelProtocolError& e) {
        EXPECT_EQ(e.Fault, TProtocolFault::OutOfStep);
    }
    EXPECT_EQ(s.server->Written, "[open][close]");
    EXPECT_FALSE(s.pop.Connected());
    EXPECT_TRUE(s.pop.OperationFailed());
}

// What does a retrieval killed mid-way leave behind? Nothing: its spool
// file never had a name.
TEST(Hostile, KilledRetrievalLeavesNoSpoolFile) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Retrieves until more than one spool block is written, says so,
        // then waits to be killed.
        Scripted s;
        // The bound lies past the point where the retrieval gives up (twice
        // the listed size), and that far past the 20 % waited for.
        s.server->Serve("+OK hi\r\n").Serve("+OK 1 900000\r\n").Serve("+OK\r\n").Endless("line of text\r\n", 4000000);
        s.pop.RetrieveProgressStep = 0;
        s.pop.OnRetrieveProgress = [&](TObject*, uint16_t percent) {
            if (percent >= 20) {
                (void)!::write(ready[1], "x", 1);
                for (;;)
                    ::pause();
            }
        };
        s.pop.Connect();
        s.pop.RetrieveMsg(1);
        ::_exit(1); // not reached
    }
    ::close(ready[1]);
    char c = 0;
    // A child that neither reports nor ends is killed all the same.
    pollfd reported{ready[0], POLLIN, 0};
    const bool spooling = ::poll(&reported, 1, 30000) == 1 && ::read(ready[0], &c, 1) == 1;
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);
    ASSERT_TRUE(spooling);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(PrivateTmpDir::Files(), 0);
}
