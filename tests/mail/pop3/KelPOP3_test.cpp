// TKelPOP against the scripted fake server: command texts, reply judgement,
// events and their order, both error paths, and hostile servers.
#include "mail/pop3/KelPOP3.h"

#include "support/Pop3Clients.h"
#include "support/FakePop3Server.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using namespace kel;
using sweepbox::test::Chunking;
using sweepbox::test::Dialogue;
using sweepbox::test::FakePop3Server;
using sweepbox::test::kGreeting;
using sweepbox::test::PopRecorder;
using Client = sweepbox::test::FakeClient;
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

} // namespace

TEST(ReadReply, JudgesTheFirstFourBytesAndCutsReplyText) {
    struct Row {
        const char* name;
        std::string reply;
        bool failed;
        std::string text;
    };
    const Row rows[] = {
        {"plain +OK", "+OK\r\n", false, ""},
        {"-ERR with text", "-ERR no such message\r\n", true, "no such message"},
        {"lower-case -err is accepted", "-err busy\r\n", false, "busy"},
        {"blank before -ERR is accepted", " -ERR busy\r\n", false, "R busy"},
        {"text is trimmed of controls", "+OK \t two words \x01\r\n", false, "two words"},
        {"only the first line counts", "+OK first\r\nsecond\r\n", false, "first"},
        {"NUL inside is kept", std::string("+OK a\0b\r\n", 9), false, std::string("a\0b", 3)},
        {"short -ER", "-ER\r\n", false, ""},
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
        EXPECT_EQ(c.rec.NonIo(), (Events{"lookup", "connecting", "connect"}));
        c.Drop();
        EXPECT_TRUE(srv.Finished());
    }
}

TEST(NotConnected, OperationsRaiseOrReturnNothingAndFireNothing) {
    struct Row {
        const char* name;
        std::function<std::string(TKelPOP&)> run;
        std::string outcome;
    };
    const Row rows[] = {
        {"Quit", [](TKelPOP& p) { return p.Quit(), std::string("done"); }, "done"},
        {"Login", [](TKelPOP& p) { return std::to_string(p.Login()); }, "EKelPOPError:Invalid Op. Not connected."},
        {"Stat", [](TKelPOP& p) { return p.Stat(), std::string(); }, "EKelPOPError:Not connected."},
        {"GetUIDL", [](TKelPOP& p) { return p.GetUIDL(1); }, "EKelPOPError:Not connected."},
        {"GetMsgSize", [](TKelPOP& p) { std::string s; return p.GetMsgSize(1, s), s; }, "EKelPOPError:Not connected."},
        {"DeleteMsg", [](TKelPOP& p) { return p.DeleteMsg(1), std::string(); }, "EKelPOPError:Not connected."},
        {"RetrieveMsg", [](TKelPOP& p) { return std::to_string(p.RetrieveMsg(1) != nullptr); },
         "EKelPOPError:Not connected."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TKelPOP pop;
        PopRecorder rec;
        rec.Bind(pop);
        EXPECT_EQ(Outcome([&] { return row.run(pop); }), row.outcome);
        EXPECT_EQ(rec.NonIo(), Events{});
    }
}

TEST(Quit, SendsQuitAndClosesEitherWay) {
    struct Row {
        std::string reply;
        bool failed;
        Events tail;
    };
    const Row rows[] = {
        {"+OK bye\r\n", false, {"recv:+OK bye\r\n", "quit", "pump", "sleep:10"}},
        {"-ERR not now\r\n", true, {"recv:-ERR not now\r\n", "quit", "error:2002:not now"}},
        // Only "+OK" proves the deletions; the server's whole line is its word.
        {"OK bye\r\n", true, {"recv:OK bye\r\n", "quit", "error:2002:OK bye"}},
        {"+O\r\n", true, {"recv:+O\r\n", "quit", "error:2002:+O"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        Dialogue d;
        d.srv.Expect("QUIT").Send(row.reply);
        d.rec.LogPumps = true;
        d.pop.Quit();
        EXPECT_FALSE(d.pop.Connected());
        EXPECT_EQ(d.pop.OperationFailed(), row.failed);
        const Events& e = d.rec.Events; // waiting may pump any number of times
        ASSERT_GE(e.size(), row.tail.size() + 2);
        EXPECT_EQ(Events(e.begin(), e.begin() + 2), (Events{"pump", "send:QUIT\r\n"}));
        EXPECT_EQ(Events(e.end() - row.tail.size(), e.end()), row.tail);
        EXPECT_TRUE(d.Done());
    }
}

// A server without CAPA gets USER and PASS, as a server without SASL does.
TEST(Login, SendsUserAndPassAndClosesWithCode2001WhenRefused) {
    struct Row {
        const char* name;
        std::string userReply, passReply; // no PASS step when passReply is empty
        bool accepted;
        Events events;
    };
    const Row rows[] = {
        {"accepted", "+OK\r\n", "+OK in\r\n", true,
         {"send:CAPA\r\n", "recv:-ERR what?\r\n", "send:USER u\r\n", "recv:+OK\r\n", "send:PASS p\r\n",
          "recv:+OK in\r\n"}},
        {"USER refused", "-ERR who?\r\n", "", false,
         {"send:CAPA\r\n", "recv:-ERR what?\r\n", "send:USER u\r\n", "recv:-ERR who?\r\n", "quit",
          "error:2001:who?"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d;
        d.srv.Expect("CAPA").Send("-ERR what?\r\n").Expect("USER u").Send(row.userReply);
        if (!row.passReply.empty())
            d.srv.Expect("PASS p").Send(row.passReply);
        EXPECT_EQ(d.pop.Login(), row.accepted);
        EXPECT_EQ(d.pop.Connected(), row.accepted);
        EXPECT_EQ(d.pop.OperationFailed(), !row.accepted);
        EXPECT_EQ(d.rec.Events, row.events);
        EXPECT_TRUE(d.Done());
    }
}

// A stored user name or password must not smuggle a second command in.
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

TEST(Connect, ChoosesAddressOrHostNameAndPort) {
    struct Row {
        const char* host;
        const char* port;
        bool dotted;
        int portNumber;
    };
    const Row rows[] = {
        {"10.0.0.1", "110", true, 110},  {"10.0.0", "110", false, 110},     {"256.1.1.1", "abc", false, 110},
        {"1..2.3", "995", false, 995},   {"mail.example.org", "$10", false, 16}, {"127.0.0.1", " 42", true, 42},
    };
    struct Abort {};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.host) + ":" + row.port);
        TKelPOP pop;
        pop.Host = row.host;
        pop.Port = row.port;
        TKelTransport* seen = nullptr;
        pop.OnConnecting = [&](TObject*, TObject* socket) {
            seen = dynamic_cast<TKelTransport*>(socket);
            throw Abort{};
        };
        EXPECT_THROW(pop.Connect(), Abort);
        ASSERT_NE(seen, nullptr);
        EXPECT_EQ(seen->Port, row.portNumber);
        EXPECT_EQ(seen->Address, row.dotted ? row.host : "");
        EXPECT_EQ(seen->Host, row.dotted ? "" : row.host);
    }
}

TEST(Connect, FailedAttemptFiresQuitButNoErrorAndRaisesNothing) {
    const Events attempted{"lookup", "connecting", "quit"};
    const std::string closed = std::to_string(sweepbox::test::ClosedPort());
    const std::tuple<std::string, std::string, Events> rows[] = {
        {"localhost", closed, attempted},
        {"no-such-host.invalid", "110", attempted},
        {"", "110", {"quit"}},
        {"127.0.0.1", "70000", attempted},
    };
    for (const auto& [host, port, events] : rows) {
        SCOPED_TRACE(host + ":" + port);
        TKelPOP pop;
        PopRecorder rec;
        rec.Bind(pop);
        sweepbox::test::BoundWaits(pop);
        pop.Host = host;
        pop.Port = port;
        EXPECT_NO_THROW(pop.Connect());
        EXPECT_TRUE(pop.OperationFailed());
        EXPECT_FALSE(pop.Connected());
        EXPECT_EQ(rec.Events, events);
    }
}

TEST(Connect, ReconnectResetsMsgCountAndOperationFailed) {
    FakePop3Server srv;
    srv.Send(kGreeting).Expect("STAT").Send("+OK 5 100\r\n").Expect("QUIT").Send("-ERR no\r\n");
    srv.ExpectClose().Send("+OK again\r\n").ExpectClose();
    Client c(srv);
    c.pop.Connect();
    c.pop.Stat();
    c.pop.Quit();
    ASSERT_EQ(c.pop.MsgCount(), 5);
    ASSERT_TRUE(c.pop.OperationFailed());
    c.pop.Connect();
    EXPECT_EQ(c.pop.ReplyText(), "again");
    EXPECT_EQ(c.pop.MsgCount(), 0);
    EXPECT_FALSE(c.pop.OperationFailed());
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

TEST(Stat, ReadsCountAndSizeTextOrRaisesAndKeepsState) {
    const std::string kNotStat = "The server's answer to STAT is not a message count and a mailbox size: \"";
    struct Row {
        std::string reply;
        uint16_t count;
        std::string size;
        std::string error;
    };
    const Row rows[] = {
        {"+OK 3 4500 octets\r\n", 3, "4500 octets", ""},
        // Decimal digits only: no other base, no sign, nothing past 32 bits.
        {"+OK $10 1\r\n", 9, "99", "'$10' ist kein gültiger Integerwert"},
        {"+OK 0x10 5\r\n", 9, "99", "'0x10' ist kein gültiger Integerwert"},
        {"+OK +3 5\r\n", 9, "99", "'+3' ist kein gültiger Integerwert"},
        {"+OK 2147483648 5\r\n", 9, "99", "'2147483648' ist kein gültiger Integerwert"},
        {"+OK 2147483647 5\r\n", 65535, "5", ""},
        {"+OK 70000 1\r\n", 4464, "1", ""}, // 16 bits: the low bits stay
        {"+OK 3 5000000000\r\n", 3, "5000000000", ""}, // a mailbox past 4 GB
        {"+OK three 4500\r\n", 9, "99", "'three' ist kein gültiger Integerwert"},
        // Never an empty mailbox: a count or size that cannot be true.
        {"+OK -5 -100\r\n", 9, "99", kNotStat + "+OK -5 -100\""},
        {"+OK -5 100\r\n", 9, "99", kNotStat + "+OK -5 100\""},
        {"+OK 5 -1\r\n", 9, "99", kNotStat + "+OK 5 -1\""},
        {"+OK 5 many\r\n", 9, "99", kNotStat + "+OK 5 many\""},
        {"+OK 5 0x10\r\n", 9, "99", kNotStat + "+OK 5 0x10\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        Dialogue d;
        d.srv.Expect("STAT").Send("+OK 9 99\r\n").Expect("STAT").Send(row.reply);
        d.pop.Stat();
        try {
            d.pop.Stat();
            EXPECT_EQ(row.error, "");
        } catch (const Exception& e) {
            EXPECT_EQ(e.what(), row.error);
        }
        EXPECT_EQ(d.pop.MsgCount(), row.count);
        EXPECT_EQ(d.pop.MailboxSizeText(), row.size);
        EXPECT_TRUE(d.Done());
    }
}

// A refusal closes and keeps count and size (the other commands' codes: see
// the Dovecot test).
TEST(Mailbox, RepliesGiveTheTextAfterTheFirstBlankOrCloseWithTheirCode) {
    struct Row {
        std::string command, reply;
        std::function<std::string(TKelPOP&)> run;
        std::string result, error; // error empty: accepted
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
        {"list 2", "+OK 2 320\r\n", size(2), "320", ""},
        {"list 3", "+OK 777\r\n", size(3), "777", ""},
        {"UIDL 2", "+OK 2 a1b2c3\r\n", uidl(2), "a1b2c3", ""},
        {"UIDL -1", "+OK 1 x y\r\n", uidl(-1), "x y", ""},
        {"STAT", "-ERR no\r\n", [](TKelPOP& p) { return p.Stat(), std::string(); }, "", "error:2006:no"},
        {"list 4", "-ERR no\r\n", size(4), "unchanged", "error:2006:no"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        Dialogue d;
        d.srv.Expect("STAT").Send("+OK 6 60\r\n").Expect(row.command).Send(row.reply);
        d.pop.Stat();
        d.rec.Clear();
        EXPECT_EQ(row.run(d.pop), row.result);
        const bool refused = !row.error.empty();
        EXPECT_EQ(d.rec.NonIo(), (refused ? Events{"quit", row.error} : Events{}));
        EXPECT_EQ(d.pop.Connected(), !refused);
        EXPECT_EQ(d.pop.MsgCount(), 6);
        EXPECT_EQ(d.pop.MailboxSizeText(), "60");
        EXPECT_TRUE(d.Done());
    }
}

// A count of 0 (no STAT yet) does not wrap.
TEST(DeleteMsg, LowersMsgCountWithoutWrappingAndFiresOnDelete) {
    Dialogue d;
    d.srv.Expect("DELE 1").Send("+OK\r\n").Expect("STAT").Send("+OK 10 1000\r\n");
    d.srv.Expect("DELE 9").Send("+OK\r\n");
    d.pop.DeleteMsg(1);
    EXPECT_EQ(d.pop.MsgCount(), 0);
    d.pop.Stat();
    d.rec.Clear();
    d.pop.DeleteMsg(9);
    EXPECT_EQ(d.pop.MsgCount(), 9);
    EXPECT_EQ(d.rec.NonIo(), Events{"delete:9"});
    EXPECT_TRUE(d.Done());
}

TEST(GetHeader, FindsTheTerminatorAtEverySplit) {
    struct Row {
        const char* name;
        std::string reply;
        std::string header; // result when the status line arrives whole
    };
    const Row rows[] = {
        {"stuffed lines stay stuffed", "+OK\r\nA: 1\r\n..\r\n...x\r\n\r\n.\r\n", "A: 1\r\n..\r\n...x\r\n\r\n.\r\n"},
        {"CR . CR LF does not end", "+OK\r\nA: 1\r.\r\nB: 2\r\n.\r\n", "A: 1\r.\r\nB: 2\r\n.\r\n"},
        {"empty reply", "+OK\r\n.\r\n", ".\r\n"},
        {"LF . LF does not end", "+OK\r\nA\n.\nB\r\n.\r\n", "A\n.\nB\r\n.\r\n"},
    };
    for (const Row& row : rows) {
        for (size_t cut = 1; cut <= row.reply.size() + 1; ++cut) {
            const bool bytewise = cut > row.reply.size();
            SCOPED_TRACE(std::string(row.name) + " cut " + std::to_string(cut));
            Dialogue d(/*paced=*/true);
            d.srv.Expect("TOP 7 0");
            d.srv.Send(row.reply, bytewise ? Chunking::Bytewise() : Chunking::At(cut));
            EXPECT_EQ(d.pop.GetHeader(7), row.header);
            EXPECT_FALSE(d.pop.OperationFailed());
            EXPECT_TRUE(d.Done());
        }
    }
}

// A failed receive or send closes and reports the system's error number; so
// does a reply that cannot be one (cut off, or past its bound), with a text
// that says what happened.
TEST(Transport, FailedReceiveOrSendClosesAndReportsTheErrorNumber) {
    const std::string flood = "+OK\r\n" + std::string(5u << 20, 'x');
    const std::string closedInside = "The server closed the connection before its reply was complete.";
    auto header = [](TKelPOP& p) { p.GetHeader(1); };
    auto stat = [](TKelPOP& p) { p.Stat(); };
    struct Row {
        const char* name;
        std::function<void(FakePop3Server&)> script; // after the greeting
        std::function<void(TKelPOP&)> run;
        int error;
        std::string api, text; // the error event's text
        int minPumps;
        std::string what; // the exception's text; empty: the system's
    };
    const Row rows[] = {
        {"end of stream inside the terminator",
         [](FakePop3Server& s) { s.Expect("TOP 1 0").Send("+OK\r\n.\r").Close(); }, header, ECONNRESET, "recv", "", 0,
         closedInside},
        {"end of stream inside a line", [](FakePop3Server& s) { s.Expect("STAT").Send("+OK 2 320").Close(); }, stat,
         ECONNRESET, "recv", "ready", 0, closedInside},
        {"end of stream instead of a reply", [](FakePop3Server& s) { s.Expect("STAT").Close(); }, stat, ECONNRESET,
         "recv", "ready", 0, closedInside},
        {"reset", [](FakePop3Server& s) { s.Expect("STAT").Reset(); }, stat, ECONNRESET, "recv", "ready", 0, ""},
        {"stalled", [](FakePop3Server& s) { s.Expect("STAT").Hold().ExpectClose(); }, stat, ETIMEDOUT, "recv",
         "ready", 3, ""}, // before send, before receive, and between wait slices
        {"header past its bound", [&](FakePop3Server& s) { s.Expect("TOP 1 0").SendUntilClosed(flood); }, header,
         EMSGSIZE, "recv", "", 0, "The server's header of message 1 is longer than 4194304 bytes."},
        {"reset before a send", [](FakePop3Server& s) { s.Reset(); }, [](TKelPOP& p) { p.Login(); }, ECONNRESET,
         "send", "ready", 0, ""},
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
            EXPECT_EQ(e.Api, row.api);
            EXPECT_EQ(e.what(), !row.what.empty() ? row.what
                                                  : "Windows-Socket-Fehler: " + std::string(std::strerror(error)) +
                                                        " (" + std::to_string(error) + "), auf API '" + row.api + "'");
        }
        const int reported = error;
        if (error == EPIPE && row.api == "send") // either answers a send on a reset connection
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

// Abort from a handler while a reply is awaited ends the read at once and
// says nothing: no event, nothing sent.
TEST(Transport, AbortWhileWaitingEndsTheReadSilently) {
    Dialogue d(/*paced=*/true);
    d.srv.Expect("TOP 1 0").Send("+OK\r\nA: 1\r\n").Hold();
    bool dropped = false;
    d.pop.ProcessMessages = [&] {
        if (!dropped && !d.rec.Events.empty() && d.rec.Events.back() == "recv:+OK\r\nA: 1\r\n") {
            dropped = true;
            d.pop.Abort();
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
    EXPECT_TRUE(d.pop.OperationFailed());
    EXPECT_EQ(d.rec.NonIo(), Events{});
    d.pop.Abort(); // not connected: nothing
    EXPECT_TRUE(d.Done());
}

// Which CAPA lines offer UTF8, and what does asking for it leave behind?
// Accepted or refused, the connection goes on and nothing counts as failed.
TEST(Utf8, OfferedByItsOwnLineAndAskedForOnce) {
    const struct {
        const char* name;
        std::string capa;
        bool offered;
    } offers[] = {
        {"plain", "+OK\r\nTOP\r\nUTF8\r\n.\r\n", true},
        {"with arguments", "+OK\r\nutf8 USER\r\n.\r\n", true},
        {"only a longer word", "+OK\r\nUTF8X\r\nXUTF8\r\n.\r\n", false},
        {"none", "+OK\r\nTOP\r\n.\r\n", false},
    };
    for (const auto& row : offers) {
        SCOPED_TRACE(row.name);
        Dialogue d;
        d.srv.Expect("CAPA").Send(row.capa);
        ASSERT_TRUE(d.pop.ReadCapabilities());
        EXPECT_EQ(d.pop.Utf8Offered(), row.offered);
        EXPECT_TRUE(d.Done());
    }
    for (const std::string reply : {"+OK UTF8 enabled\r\n", "-ERR not now\r\n"}) {
        SCOPED_TRACE(reply);
        Dialogue d;
        d.srv.Expect("UTF8").Send(reply).Expect("STAT").Send("+OK 1 10\r\n");
        EXPECT_EQ(d.pop.EnableUtf8(), reply[0] == '+');
        EXPECT_FALSE(d.pop.OperationFailed());
        EXPECT_TRUE(d.pop.Connected());
        d.pop.Stat();
        EXPECT_EQ(d.pop.MsgCount(), 1);
        EXPECT_TRUE(d.Done());
    }
}
