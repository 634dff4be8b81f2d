// TKelPOP against the scripted fake server: command texts, reply judgement,
// events and their order, both error paths, and hostile servers.
#include "pop3/KelPOP3.h"

#include "mail/pop3/Pop3TestUtil.h"
#include "support/FakePop3Server.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kel;
using sweepbox::test::Chunking;
using sweepbox::test::ClosedPort;
using sweepbox::test::FakePop3Server;
using sweepbox::test::PopRecorder;
using Events = std::vector<std::string>;

namespace {

using Client = sweepbox::test::FakeClient;
using sweepbox::test::kGreeting;

// Greeting and login, as a script prefix.
void ScriptLogin(FakePop3Server& srv) {
    srv.Send(kGreeting).Expect("USER u").Send("+OK\r\n").Expect("PASS p").Send("+OK in\r\n");
}

} // namespace

// How is a reply judged, and what becomes ReplyText? (The greeting is the
// first reply; Connect reads it with ReadReply.)
TEST(ReadReply, JudgesTheFirstFourBytesAndCutsReplyText) {
    struct Row {
        const char* name;
        std::string reply;
        bool failed;
        std::string text;
    };
    const Row rows[] = {
        {"plain +OK", "+OK\r\n", false, ""},
        {"plain -ERR", "-ERR\r\n", true, ""},
        {"+OK with text", "+OK 2 320\r\n", false, "2 320"},
        {"-ERR with text", "-ERR no such message\r\n", true, "no such message"},
        {"lower-case -err is accepted", "-err busy\r\n", false, "busy"},
        {"blank before -ERR is accepted", " -ERR busy\r\n", false, "R busy"},
        {"no CR LF", "+OK 2 320", false, ""},
        {"bare LF only", "+OK 2 320\n", false, ""},
        {"text is trimmed of controls", "+OK \t two words \x01\r\n", false, "two words"},
        {"only the first line counts", "+OK first\r\nsecond\r\n", false, "first"},
        {"NUL inside is kept", std::string("+OK a\0b\r\n", 9), false, std::string("a\0b", 3)},
        {"CR LF right after status", "-ERR\r\nmore\r\n", true, ""},
        {"short -ER", "-ER\r\n", false, ""},
        {"garbage", std::string("\xff\xfe\x00\x01\r\n", 6), false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv;
        srv.Send(row.reply).ExpectClose();
        Client c(srv);
        c.pop.Connect();
        EXPECT_TRUE(c.pop.Connected());
        EXPECT_EQ(c.pop.OperationFailed(), row.failed);
        EXPECT_EQ(c.pop.ReplyText(), row.text);
        // A refused greeting fires nothing and leaves the connection open.
        EXPECT_EQ(c.rec.NonIo(), (Events{"lookup", "connecting", "connect"}));
        EXPECT_EQ(c.rec.Events.back(), "recv:" + row.reply);
        c.Drop();
        EXPECT_TRUE(srv.Finished());
    }
}

// What happens when the client quits: accepted, it closes, pumps once and
// waits 10 ms; refused, it closes through the protocol error path.
TEST(Quit, SendsQuitAndClosesEitherWay) {
    struct Row {
        const char* name;
        std::string reply;
        bool failed;
        Events tail; // the last events, pumps included
    };
    const Row rows[] = {
        {"accepted", "+OK bye\r\n", false, {"recv:+OK bye\r\n", "quit", "pump", "sleep:10"}},
        {"refused", "-ERR not now\r\n", true, {"recv:-ERR not now\r\n", "quit", "error:2002:not now"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv;
        srv.Send(kGreeting).Expect("QUIT").Send(row.reply).ExpectClose();
        Client c(srv);
        c.pop.Connect();
        c.rec.Clear();
        c.rec.LogPumps = true;
        c.pop.Quit();
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_EQ(c.pop.OperationFailed(), row.failed);
        ASSERT_GE(c.rec.Events.size(), row.tail.size());
        EXPECT_EQ(Events(c.rec.Events.end() - row.tail.size(), c.rec.Events.end()), row.tail);
        EXPECT_EQ(c.rec.Events[0], "pump");
        EXPECT_EQ(c.rec.Events[1], "send:QUIT\r\n");
        EXPECT_TRUE(srv.Finished());
    }
}

TEST(Quit, NotConnectedDoesNothing) {
    TKelPOP pop;
    PopRecorder rec;
    rec.Bind(pop);
    pop.Quit();
    EXPECT_TRUE(rec.Events.empty());
    EXPECT_EQ(rec.Pumps, 0);
}

// What happens on login, accepted and refused?
TEST(Login, SendsUserAndPassAndReturnsTrue) {
    FakePop3Server srv;
    ScriptLogin(srv);
    srv.Expect("QUIT").Send("+OK\r\n").ExpectClose();
    Client c(srv);
    c.pop.Connect();
    EXPECT_TRUE(c.pop.Login());
    EXPECT_TRUE(c.pop.Connected());
    EXPECT_FALSE(c.pop.OperationFailed());
    c.pop.Quit();
    EXPECT_TRUE(srv.Finished());
}

TEST(Login, RefusedUserOrPassClosesWithCode2001InOrder) {
    struct Row {
        const char* name;
        bool userRefused;
    };
    for (Row row : {Row{"USER refused", true}, Row{"PASS refused", false}}) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv;
        srv.Send(kGreeting).Expect("USER u");
        if (row.userRefused) {
            srv.Send("-ERR who?\r\n");
        } else {
            srv.Send("+OK\r\n").Expect("PASS p").Send("-ERR [AUTH] Authentication failed.\r\n");
        }
        srv.ExpectClose();
        Client c(srv);
        c.pop.Connect();
        c.rec.Clear();
        EXPECT_FALSE(c.pop.Login());
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_TRUE(c.pop.OperationFailed());
        if (row.userRefused) {
            EXPECT_EQ(c.rec.Events, (Events{"send:USER u\r\n", "recv:-ERR who?\r\n", "quit",
                                            "error:2001:who?"}));
        } else {
            EXPECT_EQ(c.rec.Events,
                      (Events{"send:USER u\r\n", "recv:+OK\r\n", "send:PASS p\r\n",
                              "recv:-ERR [AUTH] Authentication failed.\r\n", "quit",
                              "error:2001:[AUTH] Authentication failed."}));
        }
        EXPECT_TRUE(srv.Finished());
    }
}

TEST(Login, NotConnectedRaisesAndSendsNothing) {
    TKelPOP pop;
    PopRecorder rec;
    rec.Bind(pop);
    try {
        pop.Login();
        FAIL() << "no exception";
    } catch (const EKelPOPError& e) {
        EXPECT_STREQ(e.what(), "Invalid Op. Not connected.");
    }
    EXPECT_TRUE(rec.Events.empty());
}

// Could a stored user name or password smuggle a second command in?
TEST(Login, LineBreaksInCredentialsAreRefusedBeforeSending) {
    for (auto [user, pass] : {std::pair<std::string, std::string>{"u\r\nDELE 1", "p"},
                              {"u", "p\nDELE 1"},
                              {"u", std::string("p\0x", 3)}}) {
        FakePop3Server srv;
        srv.Send(kGreeting).ExpectClose();
        Client c(srv);
        c.pop.UserId = user;
        c.pop.UserPasswd = pass;
        c.pop.Connect();
        EXPECT_THROW(c.pop.Login(), EKelPOPError);
        c.Drop();
        EXPECT_TRUE(srv.Finished());
    }
}

// Where does Connect go for each Host and Port text?
TEST(Connect, ChoosesAddressOrHostNameAndPort) {
    struct Row {
        const char* host;
        const char* port;
        bool dotted;
        int portNumber;
    };
    const Row rows[] = {
        {"10.0.0.1", "110", true, 110},  {"10.0.0", "110", false, 110},
        {"10.0.0.1.5", "", false, 110},  {"256.1.1.1", "abc", false, 110},
        {"1..2.3", "995", false, 995},   {"mail.example.org", "$10", false, 16},
        {"127.0.0.1", " 42", true, 42},
    };
    struct Abort {};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.host) + ":" + row.port);
        TKelPOP pop;
        pop.Host = row.host;
        pop.Port = row.port;
        TKelSocket* seen = nullptr;
        // Stop the attempt before any packet leaves the machine.
        pop.OnConnecting = [&](TObject*, TObject* socket) {
            seen = dynamic_cast<TKelSocket*>(socket);
            throw Abort{};
        };
        EXPECT_THROW(pop.Connect(), Abort);
        ASSERT_NE(seen, nullptr);
        EXPECT_EQ(seen->Port, row.portNumber);
        EXPECT_EQ(seen->Address, row.dotted ? row.host : "");
        EXPECT_EQ(seen->Host, row.dotted ? "" : row.host);
    }
}

// What does a failed connection attempt report?
TEST(Connect, FailedAttemptFiresQuitButNoErrorAndRaisesNothing) {
    struct Row {
        const char* name;
        std::string host;
        std::string port;
        Events events;
    };
    const Row rows[] = {
        {"refused", "127.0.0.1", std::to_string(ClosedPort()), {"lookup", "connecting", "quit"}},
        {"refused by name", "localhost", std::to_string(ClosedPort()),
         {"lookup", "connecting", "quit"}},
        {"unresolvable name", "no-such-host.invalid", "110", {"lookup", "connecting", "quit"}},
        {"empty host", "", "110", {"quit"}},
        {"port out of range", "127.0.0.1", "70000", {"lookup", "connecting", "quit"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TKelPOP pop;
        PopRecorder rec;
        rec.Bind(pop);
        pop.Host = row.host;
        pop.Port = row.port;
        EXPECT_NO_THROW(pop.Connect());
        EXPECT_TRUE(pop.OperationFailed());
        EXPECT_FALSE(pop.Connected());
        EXPECT_EQ(rec.Events, row.events);
    }
}

TEST(Connect, ResetsMsgCountAndOperationFailed) {
    FakePop3Server srv;
    srv.Send(kGreeting).Expect("STAT").Send("+OK 5 100\r\n").Expect("QUIT").Send("+OK\r\n");
    srv.ExpectClose().Send("+OK again\r\n").ExpectClose();
    Client c(srv);
    c.pop.Connect();
    c.pop.Stat();
    EXPECT_EQ(c.pop.MsgCount(), 5);
    c.pop.Quit();
    c.pop.Connect();
    EXPECT_EQ(c.pop.MsgCount(), 0);
    EXPECT_FALSE(c.pop.OperationFailed());
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

// What does the window see while the server's address never answers? The
// pump runs between the connect's wait slices, and the attempt ends as a
// failed open once the stall limit has passed.
TEST(Connect, UnansweredAddressPumpsThenFailsAfterTheLimit) {
    sweepbox::test::UnansweredPort unanswered;
    SWEEPBOX_REQUIRE_UNANSWERED(unanswered);
    TKelPOP pop;
    PopRecorder rec;
    rec.Bind(pop);
    rec.LogPumps = true;
    pop.Host = "127.0.0.1";
    pop.Port = unanswered.PortText();
    pop.ReceiveStallLimitMs = 300;
    EXPECT_NO_THROW(pop.Connect());
    EXPECT_TRUE(pop.OperationFailed());
    EXPECT_FALSE(pop.Connected());
    EXPECT_GE(rec.Pumps, 2);
    Events expected{"lookup", "connecting"};
    expected.insert(expected.end(), static_cast<size_t>(rec.Pumps), "pump");
    expected.push_back("quit");
    EXPECT_EQ(rec.Events, expected);
}

// What if the window closes while the connect is pending? Its Quit, run by
// the pump, abandons the open: Connect ends as a failed open at once, and
// the component connects normally afterwards.
TEST(Connect, QuitFromThePumpAbandonsAPendingConnect) {
    sweepbox::test::UnansweredPort unanswered;
    SWEEPBOX_REQUIRE_UNANSWERED(unanswered);
    FakePop3Server srv;
    srv.Send(kGreeting).ExpectClose();
    Client c(srv);
    c.pop.Port = unanswered.PortText();
    c.pop.ReceiveStallLimitMs = 60000; // never reached when the Quit works
    c.rec.LogPumps = true;
    c.pop.ProcessMessages = [&] {
        ++c.rec.Pumps;
        c.rec.Events.push_back("pump");
        c.pop.Quit();
    };
    const int fds = sweepbox::test::OpenDescriptors();
    EXPECT_NO_THROW(c.pop.Connect());
    EXPECT_TRUE(c.pop.OperationFailed());
    EXPECT_FALSE(c.pop.Connected());
    EXPECT_EQ(c.rec.Events, (Events{"lookup", "connecting", "pump", "quit"}));
    EXPECT_EQ(sweepbox::test::OpenDescriptors(), fds);

    c.pop.ProcessMessages = nullptr;
    c.pop.Port = srv.PortText();
    c.rec.Clear();
    c.pop.Connect();
    EXPECT_TRUE(c.pop.Connected());
    EXPECT_FALSE(c.pop.OperationFailed());
    EXPECT_EQ(c.rec.NonIo(), (Events{"lookup", "connecting", "connect"}));
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

// An exception from the pump while the connect is pending (the window's way
// of abandoning a busy operation) reaches the caller of Connect; the attempt
// counts as failed and leaves no socket behind.
TEST(Connect, ExceptionFromThePumpWhilePendingReachesTheCaller) {
    sweepbox::test::UnansweredPort unanswered;
    SWEEPBOX_REQUIRE_UNANSWERED(unanswered);
    struct Abandoned {};
    TKelPOP pop;
    PopRecorder rec;
    rec.Bind(pop);
    pop.Host = "127.0.0.1";
    pop.Port = unanswered.PortText();
    pop.ReceiveStallLimitMs = 60000;
    pop.ProcessMessages = [] { throw Abandoned{}; };
    const int fds = sweepbox::test::OpenDescriptors();
    EXPECT_THROW(pop.Connect(), Abandoned);
    EXPECT_TRUE(pop.OperationFailed());
    EXPECT_FALSE(pop.Connected());
    EXPECT_EQ(rec.Events, (Events{"lookup", "connecting", "quit"}));
    EXPECT_EQ(sweepbox::test::OpenDescriptors(), fds);
}

// ---------------------------------------------------------------- mailbox

TEST(Stat, ReadsCountAndSizeText) {
    struct Row {
        const char* name;
        std::string reply;
        uint16_t count;
        std::string size;
    };
    const Row rows[] = {
        {"plain", "+OK 3 4500\r\n", 3, "4500"},
        {"size with words", "+OK 3 4500 octets\r\n", 3, "4500 octets"},
        {"hex count", "+OK $10 1\r\n", 16, "1"},
        {"count above 16 bits keeps the low bits", "+OK 70000 1\r\n", 4464, "1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv;
        srv.Send(kGreeting).Expect("STAT").Send(row.reply).ExpectClose();
        Client c(srv);
        c.pop.Connect();
        c.pop.Stat();
        EXPECT_EQ(c.pop.MsgCount(), row.count);
        EXPECT_EQ(c.pop.MailboxSizeText(), row.size);
        c.Drop();
        EXPECT_TRUE(srv.Finished());
    }
}

TEST(Stat, UnconvertibleCountRaisesAndKeepsState) {
    struct Row {
        const char* name;
        std::string reply;
        std::string message;
    };
    const Row rows[] = {
        {"no size", "+OK 3\r\n", "'' ist kein gültiger Integerwert"},
        {"letters", "+OK three 4500\r\n", "'three' ist kein gültiger Integerwert"},
        {"no CR LF", "+OK 3 4500", "'' ist kein gültiger Integerwert"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv;
        srv.Send(kGreeting).Expect("STAT").Send("+OK 9 99\r\n").Expect("STAT").Send(row.reply);
        srv.ExpectClose();
        Client c(srv);
        c.pop.Connect();
        c.pop.Stat();
        try {
            c.pop.Stat();
            ADD_FAILURE() << "no exception";
        } catch (const EKelConvertError& e) {
            EXPECT_EQ(e.what(), row.message);
        }
        EXPECT_EQ(c.pop.MsgCount(), 9);
        EXPECT_EQ(c.pop.MailboxSizeText(), "99");
        EXPECT_TRUE(c.pop.Connected());
        c.Drop();
        EXPECT_TRUE(srv.Finished());
    }
}

TEST(Mailbox, NotConnectedBehaviour) {
    TKelPOP pop;
    PopRecorder rec;
    rec.Bind(pop);
    EXPECT_THROW(pop.Stat(), EKelConvertError);
    std::string size = "kept";
    pop.GetMsgSize(1, size);
    EXPECT_EQ(size, "");
    EXPECT_EQ(pop.GetUIDL(1), "");
    try {
        pop.DeleteMsg(1);
        ADD_FAILURE();
    } catch (const EKelPOPError& e) {
        EXPECT_STREQ(e.what(), "Not connected.");
    }
    try {
        pop.GetHeader(1);
        ADD_FAILURE();
    } catch (const EKelPOPError& e) {
        EXPECT_STREQ(e.what(), "Not connected.");
    }
    EXPECT_EQ(rec.NonIo(), Events{}); // no events, no sender mix-ups
}

// Which code does each refused command report, and what stays as it was?
TEST(Mailbox, RefusedCommandsCloseWithTheirCode) {
    struct Row {
        const char* name;
        std::string command;
        std::function<void(TKelPOP&)> run;
        std::string error;
    };
    std::string size = "unchanged";
    std::string result = "x";
    const Row rows[] = {
        {"STAT", "STAT", [](TKelPOP& p) { p.Stat(); }, "error:2006:no"},
        {"list", "list 4", [&](TKelPOP& p) { p.GetMsgSize(4, size); }, "error:2006:no"},
        {"UIDL", "UIDL 4", [&](TKelPOP& p) { result = p.GetUIDL(4); }, "error:2006:no"},
        {"DELE", "DELE 4", [](TKelPOP& p) { p.DeleteMsg(4); }, "error:2003:no"},
        {"TOP", "TOP 4 0", [&](TKelPOP& p) { result = p.GetHeader(4); }, "error:2005:no"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        result = "x";
        FakePop3Server srv;
        srv.Send(kGreeting).Expect("STAT").Send("+OK 6 60\r\n");
        srv.Expect(row.command).Send("-ERR no\r\n").ExpectClose();
        Client c(srv);
        c.pop.Connect();
        c.pop.Stat();
        c.rec.Clear();
        row.run(c.pop);
        EXPECT_EQ(c.rec.NonIo(), (Events{"quit", row.error}));
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_TRUE(c.pop.OperationFailed());
        EXPECT_EQ(c.pop.MsgCount(), 6);
        EXPECT_EQ(size, "unchanged");
        if (row.name == std::string("UIDL") || row.name == std::string("TOP")) {
            EXPECT_EQ(result, "");
        }
        EXPECT_TRUE(srv.Finished());
    }
}

TEST(Mailbox, AcceptedRepliesGiveTheTextAfterTheFirstBlank) {
    FakePop3Server srv;
    srv.Send(kGreeting)
        .Expect("list 2")
        .Send("+OK 2 320\r\n")
        .Expect("list 3")
        .Send("+OK 777\r\n")
        .Expect("UIDL 2")
        .Send("+OK 2 a1b2c3\r\n")
        .Expect("UIDL 3")
        .Send("+OK a1b2c3\r\n")
        .Expect("UIDL -1")
        .Send("+OK 1 x y\r\n")
        .ExpectClose();
    Client c(srv);
    c.pop.Connect();
    std::string size;
    c.pop.GetMsgSize(2, size);
    EXPECT_EQ(size, "320");
    c.pop.GetMsgSize(3, size);
    EXPECT_EQ(size, "777");
    EXPECT_EQ(c.pop.GetUIDL(2), "a1b2c3");
    EXPECT_EQ(c.pop.GetUIDL(3), "a1b2c3");
    EXPECT_EQ(c.pop.GetUIDL(-1), "x y");
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

TEST(DeleteMsg, LowersMsgCountAndFiresOnDelete) {
    FakePop3Server srv;
    srv.Send(kGreeting).Expect("STAT").Send("+OK 10 1000\r\n");
    for (int n : {9, 5, 1})
        srv.Expect("DELE " + std::to_string(n)).Send("+OK Marked to be deleted.\r\n");
    srv.ExpectClose();
    Client c(srv);
    c.pop.Connect();
    c.pop.Stat();
    c.rec.Clear();
    for (uint16_t n : {9, 5, 1})
        c.pop.DeleteMsg(n);
    EXPECT_EQ(c.pop.MsgCount(), 7);
    EXPECT_EQ(c.rec.NonIo(), (Events{"delete:9", "delete:5", "delete:1"}));
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

TEST(DeleteMsg, WithoutStatTheCountDoesNotWrap) {
    FakePop3Server srv;
    srv.Send(kGreeting).Expect("DELE 1").Send("+OK\r\n").ExpectClose();
    Client c(srv);
    c.pop.Connect();
    c.pop.DeleteMsg(1);
    EXPECT_EQ(c.pop.MsgCount(), 0);
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

// ------------------------------------------------------- multi-line reader

// Does GetHeader find the terminator wherever the reply is cut?
TEST(GetHeader, FindsTheTerminatorAtEverySplit) {
    struct Row {
        const char* name;
        std::string reply;
        std::string header; // result when the status line arrives whole
    };
    const Row rows[] = {
        {"plain", "+OK\r\nA: 1\r\nB: 2\r\n\r\n.\r\n", "A: 1\r\nB: 2\r\n\r\n.\r\n"},
        {"stuffed lines stay stuffed", "+OK\r\nA: 1\r\n..\r\n...x\r\n\r\n.\r\n",
         "A: 1\r\n..\r\n...x\r\n\r\n.\r\n"},
        {"CR . CR LF does not end", "+OK\r\nA: 1\r.\r\nB: 2\r\n.\r\n", "A: 1\r.\r\nB: 2\r\n.\r\n"},
        {"dot lines inside", "+OK 9 octets\r\n.x\r\nA: .\r\n.\r\n", ".x\r\nA: .\r\n.\r\n"},
        {"empty reply", "+OK\r\n.\r\n", ".\r\n"},
        {"LF . LF does not end", "+OK\r\nA\n.\nB\r\n.\r\n", "A\n.\nB\r\n.\r\n"},
    };
    for (const Row& row : rows) {
        std::vector<Chunking> splits;
        for (size_t cut = 1; cut < row.reply.size(); ++cut)
            splits.push_back(Chunking::At({cut}));
        splits.push_back(Chunking::Bytewise());
        splits.push_back(Chunking::Whole());
        for (const Chunking& how : splits) {
            std::string name = std::string(row.name) + " cut at " +
                               (how.Cuts.empty() ? (how.Sizes.empty() ? "none" : "every byte")
                                                 : std::to_string(how.Cuts[0]));
            SCOPED_TRACE(name);
            FakePop3Server srv;
            srv.Send(kGreeting).Expect("TOP 7 0").Send(row.reply, how).ExpectClose();
            Client c(srv, /*paced=*/true);
            c.pop.Connect();
            std::string header = c.pop.GetHeader(7);
            // A status line cut before its CR LF loses only its first byte.
            size_t firstChunk = how.Cuts.empty() ? (how.Sizes.empty() ? row.reply.size() : 1)
                                                 : how.Cuts[0];
            bool statusWhole = row.reply.find("\r\n") + 2 <= firstChunk;
            EXPECT_EQ(header, statusWhole ? row.header : row.reply.substr(1));
            EXPECT_TRUE(c.pop.Connected());
            EXPECT_FALSE(c.pop.OperationFailed());
            c.Drop();
            EXPECT_TRUE(srv.Finished());
        }
    }
}

// A continuation chunk that begins with "-ERR" is data, not a refusal.
TEST(GetHeader, ContinuationStartingWithErrIsData) {
    FakePop3Server srv;
    const std::string reply = "+OK\r\n-ERR: x\r\n.\r\n";
    srv.Send(kGreeting).Expect("TOP 1 0").Send(reply, Chunking::At({5})).ExpectClose();
    Client c(srv, true);
    c.pop.Connect();
    EXPECT_EQ(c.pop.GetHeader(1), "-ERR: x\r\n.\r\n");
    EXPECT_TRUE(c.pop.Connected());
    EXPECT_TRUE(c.pop.OperationFailed()); // judged as the latest chunk
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

// What if the server closes before the terminator?
TEST(GetHeader, EndOfStreamInsideTheReplyIsATransportError) {
    for (const std::string& part : {std::string(), std::string("+OK\r\n"),
                                    std::string("+OK\r\nA: 1\r\n"), std::string("+OK\r\n.\r")}) {
        SCOPED_TRACE(part);
        FakePop3Server srv;
        srv.Send(kGreeting).Expect("TOP 1 0");
        if (!part.empty())
            srv.Send(part);
        srv.Close();
        Client c(srv, true);
        c.pop.Connect();
        c.rec.Clear();
        try {
            c.pop.GetHeader(1);
            ADD_FAILURE() << "no exception";
        } catch (const ESocketError& e) {
            EXPECT_EQ(e.ErrorCode, ECONNRESET);
            EXPECT_NE(std::string(e.what()).find("auf API 'recv'"), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("Windows-Socket-Fehler: ", 0), 0u);
        }
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_TRUE(c.pop.OperationFailed());
        Events nonIo = c.rec.NonIo();
        ASSERT_EQ(nonIo.size(), 2u);
        EXPECT_EQ(nonIo[0], "quit");
        EXPECT_EQ(nonIo[1].rfind("error:T" + std::to_string(ECONNRESET) + ":", 0), 0u) << nonIo[1];
        EXPECT_TRUE(srv.Finished());
    }
}

// Does a header reply that never ends eat memory?
TEST(GetHeader, OversizedReplyEndsThroughTheTransportErrorPath) {
    FakePop3Server srv;
    std::string flood = "+OK\r\n" + std::string(5u << 20, 'x');
    srv.Send(kGreeting).Expect("TOP 1 0").SendUntilClosed(flood);
    Client c(srv);
    c.pop.Connect();
    c.rec.Clear();
    try {
        c.pop.GetHeader(1);
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode, EMSGSIZE);
    }
    EXPECT_FALSE(c.pop.Connected());
    EXPECT_EQ(c.rec.NonIo(), (Events{"quit", "error:T" + std::to_string(EMSGSIZE) + ":"}));
    EXPECT_TRUE(srv.Finished());
}

TEST(GetHeader, LongGarbageLineIsKeptWhole) {
    FakePop3Server srv;
    std::string line(1u << 20, '\0');
    for (size_t i = 0; i < line.size(); ++i)
        line[i] = static_cast<char>((i * 131 + 7) % 251 + 1); // no CR/LF pattern guarantees
    for (char& ch : line)
        if (ch == '\r' || ch == '\n')
            ch = 'z';
    srv.Send(kGreeting).Expect("TOP 2 0").Send("+OK\r\n" + line + "\r\n.\r\n").ExpectClose();
    Client c(srv);
    c.pop.Connect();
    EXPECT_EQ(c.pop.GetHeader(2), line + "\r\n.\r\n");
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

// ----------------------------------------------------------- hostile server

// What if the server never answers? The receive gives up after the stall
// limit and keeps pumping meanwhile.
TEST(Transport, StalledReceiveEndsThroughTheTransportErrorPath) {
    FakePop3Server srv;
    srv.Send(kGreeting).Expect("STAT").Hold().ExpectClose();
    Client c(srv);
    c.pop.ReceiveStallLimitMs = 300;
    c.pop.Connect();
    c.rec.Clear();
    c.rec.Pumps = 0;
    try {
        c.pop.Stat();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode, ETIMEDOUT);
        EXPECT_EQ(e.Api, "recv");
    }
    srv.Release();
    EXPECT_GE(c.rec.Pumps, 3); // before send, before receive, and between wait slices
    EXPECT_FALSE(c.pop.Connected());
    EXPECT_TRUE(c.pop.OperationFailed());
    EXPECT_EQ(c.rec.NonIo(), (Events{"quit", "error:T" + std::to_string(ETIMEDOUT) + ":ready"}));
    EXPECT_TRUE(srv.Finished());
}

// A server that closes the connection at any step of a session: every
// operation ends (result, empty reply or exception), nothing hangs.
TEST(Transport, ServerClosingAtEveryStepNeverHangs) {
    const std::vector<std::pair<std::string, std::string>> session = {
        {"", kGreeting},
        {"USER u", "+OK\r\n"},
        {"PASS p", "+OK\r\n"},
        {"STAT", "+OK 2 20\r\n"},
        {"TOP 1 0", "+OK\r\nA: 1\r\n\r\n.\r\n"},
        {"list 1", "+OK 1 10\r\n"},
        {"DELE 1", "+OK\r\n"},
        {"UIDL 2", "+OK 2 u2\r\n"},
        {"QUIT", "+OK\r\n"},
    };
    for (size_t closeAt = 0; closeAt < session.size(); ++closeAt) {
        for (bool midReply : {false, true}) {
            SCOPED_TRACE("close before reply " + std::to_string(closeAt) +
                         (midReply ? " (mid-reply)" : ""));
            FakePop3Server srv;
            for (size_t k = 0; k <= closeAt; ++k) {
                if (!session[k].first.empty())
                    srv.Expect(session[k].first);
                if (k < closeAt)
                    srv.Send(session[k].second);
                else if (midReply)
                    srv.Send(session[k].second.substr(0, session[k].second.size() / 2));
            }
            srv.Close();
            Client c(srv);
            c.pop.ReceiveStallLimitMs = 10000; // a safety net; nothing should wait at all
            try {
                c.pop.Connect();
                ASSERT_TRUE(c.pop.Connected());
                if (c.pop.Login()) {
                    c.pop.Stat();
                    c.pop.GetHeader(1);
                    std::string size;
                    c.pop.GetMsgSize(1, size);
                    c.pop.DeleteMsg(1);
                    c.pop.GetUIDL(2);
                }
                c.pop.Quit();
            } catch (const std::exception&) {
                // A clear error is an acceptable end.
            }
            try {
                c.pop.Quit();
            } catch (const std::exception&) {
            }
            EXPECT_FALSE(c.pop.Connected());
        }
    }
}

// What if the connection is reset while the client sends or receives? Both
// end through the transport error path with the system's error number.
TEST(Transport, ResetConnectionFailsSendAndReceiveAtTheSocket) {
    {
        SCOPED_TRACE("receive");
        FakePop3Server srv;
        srv.Send(kGreeting).Expect("STAT").Reset();
        Client c(srv);
        c.pop.Connect();
        c.rec.Clear();
        try {
            c.pop.Stat();
            ADD_FAILURE() << "no exception";
        } catch (const ESocketError& e) {
            EXPECT_EQ(e.ErrorCode, ECONNRESET);
            EXPECT_EQ(e.Api, "recv");
            EXPECT_EQ(std::string(e.what()), "Windows-Socket-Fehler: Connection reset by peer (" +
                                                 std::to_string(ECONNRESET) + "), auf API 'recv'");
        }
        EXPECT_EQ(c.rec.NonIo(), (Events{"quit", "error:T" + std::to_string(ECONNRESET) + ":ready"}));
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_TRUE(c.pop.OperationFailed());
        EXPECT_TRUE(srv.Finished());
    }
    {
        SCOPED_TRACE("send");
        FakePop3Server srv;
        srv.Send(kGreeting).Reset();
        Client c(srv, /*paced=*/true);
        c.pop.Connect();
        ASSERT_TRUE(srv.Finished()); // the reset has happened
        c.rec.Clear();
        try {
            c.pop.Login();
            ADD_FAILURE() << "no exception";
        } catch (const ESocketError& e) {
            EXPECT_TRUE(e.ErrorCode == ECONNRESET || e.ErrorCode == EPIPE) << e.ErrorCode;
            EXPECT_EQ(e.Api, "send");
        }
        Events nonIo = c.rec.NonIo();
        ASSERT_EQ(nonIo.size(), 2u);
        EXPECT_EQ(nonIo[0], "quit");
        EXPECT_EQ(nonIo[1].rfind("error:T", 0), 0u);
        EXPECT_FALSE(c.pop.Connected());
    }
}

// A server that closes (end of stream) before a single-line reply: the empty
// reply counts as accepted and nothing fires; the connection stays "open".
TEST(Transport, EndOfStreamBeforeASingleLineReplyIsAnEmptyAcceptedReply) {
    FakePop3Server srv;
    srv.Send(kGreeting).Expect("list 1").Close();
    Client c(srv);
    c.pop.Connect();
    c.rec.Clear();
    std::string size = "old";
    c.pop.GetMsgSize(1, size);
    EXPECT_EQ(size, "");
    EXPECT_TRUE(c.pop.Connected());
    EXPECT_FALSE(c.pop.OperationFailed());
    EXPECT_EQ(c.pop.ReplyText(), "");
    EXPECT_EQ(c.rec.Events, (Events{"send:list 1\r\n", "recv:"}));
    EXPECT_TRUE(srv.Finished());
}

// Host names go through the system's resolver (IPv6 first where it answers
// so; the attempt falls through to the next address).
TEST(Transport, HostNameIsResolved) {
    FakePop3Server srv;
    srv.Send(kGreeting).ExpectClose();
    Client c(srv);
    c.pop.Host = "localhost";
    c.pop.Connect();
    EXPECT_TRUE(c.pop.Connected());
    EXPECT_EQ(c.pop.ReplyText(), "ready");
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

// A handler running in the pump may drop the connection while a header
// reply is awaited (the window's cancel does): the read ends at once.
TEST(Transport, ConnectionDroppedByAHandlerWhileWaiting) {
    FakePop3Server srv;
    srv.Send(kGreeting).Expect("TOP 1 0").Send("+OK\r\nA: 1\r\n").Hold().ExpectClose();
    Client c(srv, true);
    c.pop.Connect();
    bool dropped = false;
    c.pop.ProcessMessages = [&] {
        // Once the first chunk is in, the next wait is for more.
        if (!dropped && c.rec.Events.back() == "recv:+OK\r\nA: 1\r\n") {
            dropped = true;
            c.pop.HandleTransportError(ECANCELED);
        }
    };
    c.rec.Clear();
    c.rec.Events.push_back("start");
    try {
        c.pop.GetHeader(1);
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode, ENOTCONN);
    }
    srv.Release();
    EXPECT_FALSE(c.pop.Connected());
    EXPECT_EQ(c.rec.NonIo(), (Events{"start", "quit", "error:T" + std::to_string(ECANCELED) + ":",
                                     "error:T" + std::to_string(ENOTCONN) + ":"}));
    EXPECT_TRUE(srv.Finished());
}

TEST(Transport, DestroyingTheComponentSendsNothing) {
    FakePop3Server srv;
    srv.Send(kGreeting).ExpectClose();
    {
        Client c(srv);
        c.pop.Connect();
        c.rec.Clear();
    }
    EXPECT_TRUE(srv.Finished());
}
