// TKelPOP against the scripted fake server: command texts, reply judgement,
// events and their order, both error paths, and hostile servers.
#include "pop3/KelPOP3.h"

#include "mail/pop3/Pop3TestUtil.h"
#include "message/KelMsg.h"
#include "support/FakePop3Server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace kel;
using sweepbox::test::Chunking;
using sweepbox::test::FakePop3Server;
using sweepbox::test::kGreeting;
using sweepbox::test::OpenDescriptors;
using sweepbox::test::PopRecorder;
using Client = sweepbox::test::FakeClient;
using sweepbox::test::Dialogue;
using Events = std::vector<std::string>;

namespace {

// What an operation ended with: its result, or the exception's kind and text.
std::string Outcome(const std::function<std::string()>& run) {
    try {
        return run();
    } catch (const EKelPOPError& e) {
        return std::string("EKelPOPError:") + e.what();
    } catch (const EKelConvertError& e) {
        return std::string("EKelConvertError:") + e.what();
    }
}

// The message of a transport error with this number from this system call.
std::string SocketMessage(int error, const std::string& api) {
    return "Windows-Socket-Fehler: " + std::string(std::strerror(error)) + " (" +
           std::to_string(error) + "), auf API '" + api + "'";
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
        c.Drop(); // sends nothing: Finished() sees every stray byte
        EXPECT_TRUE(srv.Finished());
    }
}

// What does each operation do before a connection exists?
TEST(NotConnected, OperationsRaiseOrReturnNothingAndFireNothing) {
    struct Row {
        const char* name;
        std::function<std::string(TKelPOP&)> run;
        std::string outcome;
        bool sends; // fires the send event and judges an empty reply
    };
    const Row rows[] = {
        {"Quit does nothing", [](TKelPOP& p) { return p.Quit(), std::string("done"); }, "done", false},
        {"Login", [](TKelPOP& p) { return std::to_string(p.Login()); },
         "EKelPOPError:Invalid Op. Not connected.", false},
        {"Stat", [](TKelPOP& p) { return p.Stat(), std::string(); },
         "EKelConvertError:'' ist kein gültiger Integerwert", true},
        {"GetMsgSize empties the size",
         [](TKelPOP& p) {
             std::string size = "kept";
             p.GetMsgSize(1, size);
             return size;
         },
         "", true},
        {"GetUIDL", [](TKelPOP& p) { return p.GetUIDL(1); }, "", true},
        {"DeleteMsg", [](TKelPOP& p) { return p.DeleteMsg(1), std::string(); },
         "EKelPOPError:Not connected.", false},
        {"GetHeader", [](TKelPOP& p) { return p.GetHeader(1); }, "EKelPOPError:Not connected.", false},
        {"RetrieveMsg", [](TKelPOP& p) { return std::to_string(p.RetrieveMsg(1) != nullptr); },
         "EKelPOPError:Not connected.", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TKelPOP pop;
        PopRecorder rec;
        rec.Bind(pop);
        rec.LogPumps = true;
        EXPECT_EQ(Outcome([&] { return row.run(pop); }), row.outcome);
        EXPECT_EQ(rec.NonIo(), Events{}); // no events, no sender mix-ups
        if (!row.sends) {
            EXPECT_EQ(rec.Events, Events{});
        }
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
        Dialogue d;
        d.srv.Expect("QUIT").Send(row.reply);
        d.rec.LogPumps = true;
        d.pop.Quit();
        EXPECT_FALSE(d.pop.Connected());
        EXPECT_EQ(d.pop.OperationFailed(), row.failed);
        const Events& e = d.rec.Events;
        ASSERT_GE(e.size(), row.tail.size() + 2);
        EXPECT_EQ(Events(e.begin(), e.begin() + 2), (Events{"pump", "send:QUIT\r\n"}));
        EXPECT_EQ(Events(e.end() - row.tail.size(), e.end()), row.tail);
        EXPECT_TRUE(d.Done());
    }
}

// What happens on login, accepted and refused?
TEST(Login, SendsUserAndPassAndClosesWithCode2001WhenRefused) {
    struct Row {
        const char* name;
        std::string userReply, passReply; // no PASS step when passReply is empty
        bool accepted;
        Events events;
    };
    const Row rows[] = {
        {"accepted", "+OK\r\n", "+OK in\r\n", true,
         {"send:USER u\r\n", "recv:+OK\r\n", "send:PASS p\r\n", "recv:+OK in\r\n"}},
        {"USER refused", "-ERR who?\r\n", "", false,
         {"send:USER u\r\n", "recv:-ERR who?\r\n", "quit", "error:2001:who?"}},
        {"PASS refused", "+OK\r\n", "-ERR [AUTH] Authentication failed.\r\n", false,
         {"send:USER u\r\n", "recv:+OK\r\n", "send:PASS p\r\n",
          "recv:-ERR [AUTH] Authentication failed.\r\n", "quit",
          "error:2001:[AUTH] Authentication failed."}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d;
        d.srv.Expect("USER u").Send(row.userReply);
        if (!row.passReply.empty())
            d.srv.Expect("PASS p").Send(row.passReply);
        EXPECT_EQ(d.pop.Login(), row.accepted);
        EXPECT_EQ(d.pop.Connected(), row.accepted);
        EXPECT_EQ(d.pop.OperationFailed(), !row.accepted);
        EXPECT_EQ(d.rec.Events, row.events);
        EXPECT_TRUE(d.Done());
    }
}

// Could a stored user name or password smuggle a second command in?
TEST(Login, LineBreaksInCredentialsAreRefusedBeforeSending) {
    for (auto [user, pass] : {std::pair<std::string, std::string>{"u\r\nDELE 1", "p"},
                              {"u", "p\nDELE 1"},
                              {"u", std::string("p\0x", 3)}}) {
        Dialogue d;
        d.pop.UserId = user;
        d.pop.UserPasswd = pass;
        EXPECT_THROW(d.pop.Login(), EKelPOPError);
        EXPECT_TRUE(d.Done());
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
    const Events attempted{"lookup", "connecting", "quit"};
    const std::string closed = std::to_string(sweepbox::test::ClosedPort());
    const Row rows[] = {
        {"refused", "127.0.0.1", closed, attempted},
        {"refused by name", "localhost", closed, attempted},
        {"unresolvable name", "no-such-host.invalid", "110", attempted},
        {"empty host", "", "110", {"quit"}},
        {"port out of range", "127.0.0.1", "70000", attempted},
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

// A new connection starts clean; host names go through the resolver.
TEST(Connect, ReconnectByNameResetsMsgCountAndOperationFailed) {
    FakePop3Server srv;
    srv.Send(kGreeting).Expect("STAT").Send("+OK 5 100\r\n").Expect("QUIT").Send("-ERR no\r\n");
    srv.ExpectClose().Send("+OK again\r\n").ExpectClose();
    Client c(srv);
    c.pop.Connect();
    c.pop.Stat();
    c.pop.Quit();
    ASSERT_EQ(c.pop.MsgCount(), 5);
    ASSERT_TRUE(c.pop.OperationFailed());
    c.pop.Host = "localhost";
    c.pop.Connect();
    EXPECT_TRUE(c.pop.Connected());
    EXPECT_EQ(c.pop.ReplyText(), "again");
    EXPECT_EQ(c.pop.MsgCount(), 0);
    EXPECT_FALSE(c.pop.OperationFailed());
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

// While the server's address never answers, the pump runs between the
// connect's wait slices. The attempt ends as a failed open, leaving no
// socket behind, when the stall limit passes, when the window's Quit (run by
// the pump) abandons it, or when the pump throws (that reaches the caller);
// the component connects normally afterwards.
TEST(Connect, PendingConnectEndsAsAFailedOpen) {
    sweepbox::test::UnansweredPort unanswered;
    SWEEPBOX_REQUIRE_UNANSWERED(unanswered);
    struct Abandoned {};
    struct Row {
        const char* name;
        int limitMs; // a long limit is a safety net the row must not reach
        std::function<void(TKelPOP&)> pump;
        bool throws;
        int minPumps, maxPumps;
    };
    const Row rows[] = {
        {"stall limit passes", 300, nullptr, false, 2, 1000},
        {"Quit from the pump", 60000, [](TKelPOP& p) { p.Quit(); }, false, 1, 1},
        {"exception from the pump", 60000, [](TKelPOP&) { throw Abandoned{}; }, true, 1, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv;
        srv.Send(kGreeting).ExpectClose();
        Client c(srv);
        c.pop.Port = unanswered.PortText();
        c.pop.ReceiveStallLimitMs = row.limitMs;
        c.pop.ProcessMessages = [&] {
            c.rec.Events.push_back("pump");
            if (row.pump)
                row.pump(c.pop);
        };
        const int fds = OpenDescriptors();
        if (row.throws) {
            EXPECT_THROW(c.pop.Connect(), Abandoned);
        } else {
            EXPECT_NO_THROW(c.pop.Connect());
        }
        EXPECT_TRUE(c.pop.OperationFailed());
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_EQ(OpenDescriptors(), fds);
        const auto pumps = std::count(c.rec.Events.begin(), c.rec.Events.end(), "pump");
        EXPECT_GE(pumps, row.minPumps);
        EXPECT_LE(pumps, row.maxPumps);
        Events expected{"lookup", "connecting"};
        expected.insert(expected.end(), static_cast<size_t>(pumps), "pump");
        expected.push_back("quit");
        EXPECT_EQ(c.rec.Events, expected);

        c.pop.ProcessMessages = nullptr;
        c.pop.Port = srv.PortText();
        c.pop.Connect();
        EXPECT_TRUE(c.pop.Connected());
        EXPECT_FALSE(c.pop.OperationFailed());
        c.Drop();
        EXPECT_TRUE(srv.Finished());
    }
}

// ---------------------------------------------------------------- mailbox

// STAT: the count as an integer (16 bits), the rest of the text as the size.
// A count that does not convert raises and keeps the previous state.
TEST(Stat, ReadsCountAndSizeTextOrRaisesAndKeepsState) {
    struct Row {
        const char* name;
        std::string reply;
        uint16_t count;
        std::string size;
        std::string error; // the conversion error, or empty
    };
    const Row rows[] = {
        {"plain", "+OK 3 4500\r\n", 3, "4500", ""},
        {"size with words", "+OK 3 4500 octets\r\n", 3, "4500 octets", ""},
        {"hex count", "+OK $10 1\r\n", 16, "1", ""},
        {"count above 16 bits keeps the low bits", "+OK 70000 1\r\n", 4464, "1", ""},
        {"no size", "+OK 3\r\n", 9, "99", "'' ist kein gültiger Integerwert"},
        {"letters", "+OK three 4500\r\n", 9, "99", "'three' ist kein gültiger Integerwert"},
        {"no CR LF", "+OK 3 4500", 9, "99", "'' ist kein gültiger Integerwert"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d;
        d.srv.Expect("STAT").Send("+OK 9 99\r\n").Expect("STAT").Send(row.reply);
        d.pop.Stat();
        try {
            d.pop.Stat();
            EXPECT_EQ(row.error, "");
        } catch (const EKelConvertError& e) {
            EXPECT_EQ(e.what(), row.error);
        }
        EXPECT_EQ(d.pop.MsgCount(), row.count);
        EXPECT_EQ(d.pop.MailboxSizeText(), row.size);
        EXPECT_TRUE(d.pop.Connected());
        EXPECT_TRUE(d.Done());
    }
}

// Which text does each accepted reply give, and which code does each refused
// command report? A refusal closes and leaves the count and the size as they
// were. A server that closes before a single-line reply gives an empty
// reply: accepted, nothing fires, the connection stays "open".
TEST(Mailbox, RepliesGiveTheTextAfterTheFirstBlankOrCloseWithTheirCode) {
    struct Row {
        const char* name;
        std::string command, reply;
        std::function<std::string(TKelPOP&)> run;
        std::string result;
        std::string error; // empty: accepted
    };
    auto size = [](int32_t n) {
        return [n](TKelPOP& p) {
            std::string s = "unchanged";
            p.GetMsgSize(n, s);
            return s;
        };
    };
    auto uidl = [](int32_t n) { return [n](TKelPOP& p) { return p.GetUIDL(n); }; };
    const Row rows[] = {
        {"LIST with number", "list 2", "+OK 2 320\r\n", size(2), "320", ""},
        {"LIST without number", "list 3", "+OK 777\r\n", size(3), "777", ""},
        {"UIDL with number", "UIDL 2", "+OK 2 a1b2c3\r\n", uidl(2), "a1b2c3", ""},
        {"UIDL without number", "UIDL 3", "+OK a1b2c3\r\n", uidl(3), "a1b2c3", ""},
        {"UIDL of a negative number", "UIDL -1", "+OK 1 x y\r\n", uidl(-1), "x y", ""},
        {"end of stream instead of a reply", "list 1", "", size(1), "", ""},
        {"STAT refused", "STAT", "-ERR no\r\n", [](TKelPOP& p) { return p.Stat(), std::string(); },
         "", "error:2006:no"},
        {"LIST refused", "list 4", "-ERR no\r\n", size(4), "unchanged", "error:2006:no"},
        {"UIDL refused", "UIDL 4", "-ERR no\r\n", uidl(4), "", "error:2006:no"},
        {"DELE refused", "DELE 4", "-ERR no\r\n",
         [](TKelPOP& p) { return p.DeleteMsg(4), std::string(); }, "", "error:2003:no"},
        {"TOP refused", "TOP 4 0", "-ERR no\r\n", [](TKelPOP& p) { return p.GetHeader(4); }, "",
         "error:2005:no"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d;
        d.srv.Expect("STAT").Send("+OK 6 60\r\n").Expect(row.command);
        if (row.reply.empty())
            d.srv.Close();
        else
            d.srv.Send(row.reply);
        d.pop.Stat();
        d.rec.Clear();
        EXPECT_EQ(row.run(d.pop), row.result);
        const bool refused = !row.error.empty();
        EXPECT_EQ(d.rec.NonIo(), (refused ? Events{"quit", row.error} : Events{}));
        EXPECT_EQ(d.pop.Connected(), !refused);
        EXPECT_EQ(d.pop.OperationFailed(), refused);
        EXPECT_EQ(d.pop.MsgCount(), 6);
        EXPECT_EQ(d.pop.MailboxSizeText(), "60");
        EXPECT_TRUE(d.Done(/*scriptClosed=*/row.reply.empty()));
    }
}

// Each deletion lowers the count and fires OnDelete; a count of 0 (no STAT
// yet) does not wrap.
TEST(DeleteMsg, LowersMsgCountWithoutWrappingAndFiresOnDelete) {
    Dialogue d;
    d.srv.Expect("DELE 1").Send("+OK\r\n").Expect("STAT").Send("+OK 10 1000\r\n");
    for (int n : {9, 5, 1})
        d.srv.Expect("DELE " + std::to_string(n)).Send("+OK Marked to be deleted.\r\n");
    d.pop.DeleteMsg(1);
    EXPECT_EQ(d.pop.MsgCount(), 0);
    d.pop.Stat();
    d.rec.Clear();
    for (uint16_t n : {9, 5, 1})
        d.pop.DeleteMsg(n);
    EXPECT_EQ(d.pop.MsgCount(), 7);
    EXPECT_EQ(d.rec.NonIo(), (Events{"delete:9", "delete:5", "delete:1"}));
    EXPECT_TRUE(d.Done());
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
        // Cut at every offset; at size: one receive; past it: every byte apart.
        for (size_t cut = 1; cut <= row.reply.size() + 1; ++cut) {
            const bool bytewise = cut > row.reply.size();
            SCOPED_TRACE(std::string(row.name) + (bytewise ? " bytewise" : " cut at " + std::to_string(cut)));
            Dialogue d(/*paced=*/true);
            d.srv.Expect("TOP 7 0").Send(row.reply, bytewise ? Chunking::Bytewise() : Chunking::At({cut}));
            // A status line cut before its CR LF loses only its first byte.
            const bool statusWhole = !bytewise && row.reply.find("\r\n") + 2 <= cut;
            EXPECT_EQ(d.pop.GetHeader(7), statusWhole ? row.header : row.reply.substr(1));
            EXPECT_TRUE(d.pop.Connected());
            EXPECT_FALSE(d.pop.OperationFailed());
            EXPECT_TRUE(d.Done());
        }
    }
}

// A continuation chunk that begins with "-ERR" is data, not a refusal (but
// OperationFailed judges the latest chunk). A 1 MiB garbage line comes back whole.
TEST(GetHeader, ContinuationChunksAreDataWhateverTheyHold) {
    std::string garbage(1u << 20, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 131 + 7) % 251 + 1);
    std::replace(garbage.begin(), garbage.end(), '\r', 'z');
    std::replace(garbage.begin(), garbage.end(), '\n', 'z');
    struct Row {
        const char* name;
        std::string body;
        Chunking how;
        bool failed;
    };
    const Row rows[] = {
        {"chunk starting with -ERR", "-ERR: x\r\n.\r\n", Chunking::At({5}), true},
        {"megabyte garbage line", garbage + "\r\n.\r\n", Chunking::Whole(), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d(/*paced=*/true);
        d.srv.Expect("TOP 1 0").Send("+OK\r\n" + row.body, row.how);
        EXPECT_EQ(d.pop.GetHeader(1), row.body);
        EXPECT_TRUE(d.pop.Connected());
        EXPECT_EQ(d.pop.OperationFailed(), row.failed);
        EXPECT_TRUE(d.Done());
    }
}

// ----------------------------------------------------------- hostile server

// What if a receive fails: the server closes inside a multi-line reply,
// resets the connection, never answers (after the stall limit, pumping
// meanwhile), or floods a header reply past its bound; or a send meets a
// reset connection? Each closes and reports the system's error number.
TEST(Transport, FailedReceiveOrSendClosesAndReportsTheSystemError) {
    const std::string flood = "+OK\r\n" + std::string(5u << 20, 'x');
    auto header = [](TKelPOP& p) { p.GetHeader(1); };
    auto stat = [](TKelPOP& p) { p.Stat(); };
    auto eos = [](std::string part) {
        return [part](FakePop3Server& s) {
            s.Expect("TOP 1 0");
            if (!part.empty())
                s.Send(part);
            s.Close();
        };
    };
    struct Row {
        const char* name;
        std::function<void(FakePop3Server&)> script; // after the greeting
        std::function<void(TKelPOP&)> run;
        int error;
        std::string api;
        std::string text; // the error event's text
        int minPumps;
    };
    const Row rows[] = {
        {"end of stream before the reply", eos(""), header, ECONNRESET, "recv", "", 0},
        {"end of stream after the status line", eos("+OK\r\n"), header, ECONNRESET, "recv", "", 0},
        {"end of stream inside a line", eos("+OK\r\nA: 1\r\n"), header, ECONNRESET, "recv", "", 0},
        {"end of stream inside the terminator", eos("+OK\r\n.\r"), header, ECONNRESET, "recv", "", 0},
        {"reset", [](FakePop3Server& s) { s.Expect("STAT").Reset(); }, stat, ECONNRESET, "recv", "ready", 0},
        {"stalled", [](FakePop3Server& s) { s.Expect("STAT").Hold().ExpectClose(); }, stat,
         ETIMEDOUT, "recv", "ready", 3}, // before send, before receive, and between wait slices
        {"header past its bound",
         [&](FakePop3Server& s) { s.Expect("TOP 1 0").SendUntilClosed(flood); }, header, EMSGSIZE,
         "recv", "", 0},
        {"reset before a send", [](FakePop3Server& s) { s.Reset(); },
         [](TKelPOP& p) { p.Login(); }, ECONNRESET, "send", "ready", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d(/*paced=*/true);
        d.pop.ReceiveStallLimitMs = 300;
        row.script(d.srv);
        if (row.api == "send") {
            ASSERT_TRUE(d.srv.Finished()); // the reset has happened
        }
        d.rec.Pumps = 0;
        int error = 0;
        try {
            row.run(d.pop);
            ADD_FAILURE() << "no exception";
        } catch (const ESocketError& e) {
            error = e.ErrorCode;
            EXPECT_EQ(e.what(), SocketMessage(e.ErrorCode, row.api));
        }
        const int reported = error;
        // Either is the system's answer to a send on a reset connection.
        if (error == EPIPE && row.api == "send")
            error = ECONNRESET;
        d.srv.Release();
        EXPECT_EQ(error, row.error);
        EXPECT_GE(d.rec.Pumps, row.minPumps);
        EXPECT_FALSE(d.pop.Connected());
        EXPECT_TRUE(d.pop.OperationFailed());
        EXPECT_EQ(d.rec.NonIo(), (Events{"quit", "error:T" + std::to_string(reported) + ":" + row.text}));
        EXPECT_TRUE(d.Done(/*scriptClosed=*/true));
    }
}

// A server that closes the connection at any step of a session: every
// operation ends (result, empty reply or exception), nothing hangs.
TEST(Transport, ServerClosingAtEveryStepNeverHangs) {
    const std::vector<std::pair<std::string, std::string>> session = {
        {"", kGreeting},          {"USER u", "+OK\r\n"},
        {"PASS p", "+OK\r\n"},    {"STAT", "+OK 2 20\r\n"},
        {"TOP 1 0", "+OK\r\nA: 1\r\n\r\n.\r\n"}, {"list 1", "+OK 1 10\r\n"},
        {"DELE 1", "+OK\r\n"},    {"UIDL 2", "+OK 2 u2\r\n"},
        {"QUIT", "+OK\r\n"},
    };
    for (size_t closeAt = 0; closeAt < session.size(); ++closeAt) {
        for (bool midReply : {false, true}) {
            SCOPED_TRACE("close before reply " + std::to_string(closeAt) + (midReply ? " (mid-reply)" : ""));
            FakePop3Server srv;
            for (size_t k = 0; k <= closeAt; ++k) {
                const auto& [command, reply] = session[k];
                if (!command.empty())
                    srv.Expect(command);
                if (k < closeAt || midReply)
                    srv.Send(k < closeAt ? reply : reply.substr(0, reply.size() / 2));
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

// A handler running in the pump may drop the connection while a header
// reply is awaited (the window's cancel does): the read ends at once.
TEST(Transport, ConnectionDroppedByAHandlerWhileWaiting) {
    Dialogue d(/*paced=*/true);
    d.srv.Expect("TOP 1 0").Send("+OK\r\nA: 1\r\n").Hold();
    bool dropped = false;
    d.pop.ProcessMessages = [&] {
        // Once the first chunk is in, the next wait is for more.
        if (!dropped && !d.rec.Events.empty() && d.rec.Events.back() == "recv:+OK\r\nA: 1\r\n") {
            dropped = true;
            d.pop.HandleTransportError(ECANCELED);
        }
    };
    try {
        d.pop.GetHeader(1);
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode, ENOTCONN);
    }
    d.srv.Release();
    EXPECT_FALSE(d.pop.Connected());
    EXPECT_EQ(d.rec.NonIo(), (Events{"quit", "error:T" + std::to_string(ECANCELED) + ":",
                                     "error:T" + std::to_string(ENOTCONN) + ":"}));
    EXPECT_TRUE(d.Done());
}
