// RetrieveMsg against the scripted fake server: commands, progress reports,
// the spool file, dot-unstuffing, every way a retrieval can go wrong, and the
// shared corpus served by the fake mailbox.
#include "mail/pop3/KelPOP3.h"

#include "mail/core/KelTempFile.h"
#include "mail/message/KelMsg.h"
#include "support/Corpus.h"
#include "support/FakePop3Server.h"
#include "support/Pop3Clients.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

using namespace kel;
using sweepbox::test::Chunking;
using sweepbox::test::Dialogue;
using sweepbox::test::FakePop3Server;
using sweepbox::test::LiteralRawMail;
using sweepbox::test::ParsedSummary;
using sweepbox::test::PrivateTmpDir;
using sweepbox::test::Summary;
using Events = std::vector<std::string>;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

namespace {

[[maybe_unused]] auto* const tmpEnv = ::testing::AddGlobalTestEnvironment(new PrivateTmpDir);

// As sent: dot-stuffed.
const std::string kMessage = "From: a@example.org\r\nSubject: hello\r\n\r\nline one\r\n..\r\n"
                             "...x\r\n..\r\n..last\r\n";

std::string Reply(const std::string& stuffedBody) {
    return "+OK " + std::to_string(stuffedBody.size()) + " octets\r\n" + stuffedBody + ".\r\n";
}

// LIST n with its size, then the RETR (or TOP n 0) reply cut as given.
void ScriptRetrieve(FakePop3Server& srv, int n, const std::string& size, const std::string& reply,
                    Chunking how = Chunking::Whole(), bool headerOnly = false) {
    const std::string number = std::to_string(n);
    srv.Expect("LIST " + number).Send("+OK " + number + " " + size + "\r\n");
    srv.Expect((headerOnly ? "TOP " : "RETR ") + number + (headerOnly ? " 0" : "")).Send(reply, how);
}

} // namespace

TEST(RetrieveMsg, ProgressTable) {
    struct Row {
        const char* name;
        std::string listSize;
        size_t replySize;
        uint16_t step;
        size_t chunk; // 0: the whole reply in one send
        std::vector<std::string> reports;
    };
    const Row rows[] = {
        {"the worked example: 1024 x 4 and 1000", "5000", 5096, 20, 1024, {"41", "61", "82", "102"}},
        {"one receive reports 100 once", "2000", 2000, 10, 0, {"100"}},
        {"closing 100 when the last report was below", "4000", 2000, 30, 500, {"38", "100"}},
        {"LIST size 0 reports only the closing 100", "0", 2000, 10, 500, {"100"}},
        // No size known: only the closing report, whatever numbers the reply holds.
        {"refused LIST gives no size", "-ERR", 2000, 10, 1000, {"100"}},
        {"refused LIST with a number in its text", "-ERR [IN-USE] 1 locked", 2000, 10, 1000, {"100"}},
        {"a size that is not decimal digits", "0x10", 2000, 10, 1000, {"100"}},
        {"half rounds to even", "4000", 2000, 1, 500, {"25", "38", "50", "100"}},
        {"half rounds to the even neighbour below", "1600", 2000, 1, 500, {"62", "94", "125"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string line(row.replySize - 22, 'z');
        Dialogue d(/*paced=*/true);
        d.srv.Expect("LIST 1");
        d.srv.Send(row.listSize.rfind("-ERR", 0) == 0 ? row.listSize + "\r\n" : "+OK 1 " + row.listSize + "\r\n");
        d.srv.Expect("RETR 1").Send("+OK 1978 octets\r\n" + line + "\r\n.\r\n",
                                    Chunking::Of(row.chunk));
        d.pop.RetrieveProgressStep = row.step;
        TKelMsg* msg = d.pop.RetrieveMsg(1);
        ASSERT_NE(msg, nullptr);
        std::vector<std::string> reports;
        for (const auto& e : d.rec.Events)
            if (e.rfind("progress:", 0) == 0)
                reports.push_back(e.substr(9));
        EXPECT_EQ(reports, row.reports);
        EXPECT_EQ(d.rec.NonIo().back(), "after");
        EXPECT_EQ(PrivateTmpDir::Files(), 0);
        EXPECT_TRUE(d.Done());
    }
}

// The message is the same wherever the reply is cut.
TEST(RetrieveMsg, SameMessageAtEverySplit) {
    const std::string bodies[] = {
        kMessage,
        "Subject: cr\r\n\r\nbefore\r.\r\nafter\r\n",
        // Only CR LF "." CR LF ends the reply; a line begins after a lone CR too.
        "Subject: lf\r\n\r\nbefore\n.\r\nafter\r\n",
        "Subject: stuffed\r\n\r\nx\r..y\r\n",
    };
    for (const std::string& body : bodies) {
        const std::string reply = Reply(body);
        const std::string expected = ParsedSummary(LiteralRawMail(reply), 77);
        for (size_t cut = 1; cut <= reply.size() + 1; ++cut) {
            SCOPED_TRACE(body + " / cut " + std::to_string(cut));
            const Chunking how = cut < reply.size()    ? Chunking::At(cut)
                                 : cut == reply.size() ? Chunking::Bytewise()
                                                       : Chunking::Of(3);
            Dialogue d(/*paced=*/true);
            ScriptRetrieve(d.srv, 2, "77", reply, how);
            TKelMsg* msg = d.pop.RetrieveMsg(2);
            ASSERT_NE(msg, nullptr);
            EXPECT_EQ(Summary(*msg), expected);
            EXPECT_TRUE(msg->RawMail.empty());
            EXPECT_TRUE(d.pop.Connected());
            EXPECT_TRUE(d.Done());
        }
    }
}

// A NUL is a byte like any other: the lines after it stay.
TEST(RetrieveMsg, ReplyBecomesTheMessage) {
    const std::string mega(1u << 20, 'L');
    struct Row {
        const char* name;
        std::string reply;
        bool headerOnly;
        Chunking how;
        Lines headers, text;
        bool failed;
    };
    const Row rows[] = {
        {"header only", "+OK\r\nFrom: a@example.org\r\nSubject: hi\r\n\r\n.\r\n", true,
         Chunking::Whole(), {"From: a@example.org", "Subject: hi"}, {}, false},
        // The line is the header part here; OperationFailed judges the status line only.
        {"continuation starting with -ERR", "+OK 20 octets\r\n-ERR is a body line\r\n.\r\n", false,
         Chunking::At(15), {"-ERR is a body line"}, {}, false},
        {"NUL", std::string("+OK 9\r\nSubject: a\0b\r\nFrom: c\r\n\r\nxy\0z\r\nmore\r\n.\r\n", 47), false,
         Chunking::Whole(), {std::string("Subject: a\0b", 12), "From: c"}, {std::string("xy\0z", 4), "more"}, false},
        {"megabyte line", Reply("Subject: big\r\n\r\n" + mega + "\r\n..x\r\n"), false,
         Chunking::Whole(), {"Subject: big"}, {mega, ".x"}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d(/*paced=*/true);
        ScriptRetrieve(d.srv, 4, "321", row.reply, row.how, row.headerOnly);
        TKelMsg* msg = d.pop.RetrieveMsg(4, row.headerOnly);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->Headers, row.headers);
        EXPECT_EQ(msg->Text, row.text);
        EXPECT_EQ(Summary(*msg), ParsedSummary(LiteralRawMail(row.reply), 321));
        EXPECT_EQ(d.pop.OperationFailed(), row.failed);
        EXPECT_TRUE(d.pop.Connected());
        EXPECT_TRUE(d.Done());
    }
}

// The UIDL asked for after parsing (accepted: see the Dovecot test) may be
// refused: the message is still returned.
TEST(RetrieveMsg, RefusedUidlStillReturnsTheMessage) {
    Dialogue d;
    ScriptRetrieve(d.srv, 1, "50", Reply(kMessage));
    d.srv.Expect("UIDL 1").Send("-ERR no\r\n");
    d.pop.GetUIDLsOnRetrieve = true;
    TKelMsg* msg = d.pop.RetrieveMsg(1);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->Subject, "hello");
    const Events nonIo = d.rec.NonIo();
    EXPECT_EQ(Events(nonIo.end() - 3, nonIo.end()), (Events{"quit", "error:2006:no", "after"}));
    EXPECT_FALSE(d.pop.Connected());
    EXPECT_TRUE(d.Done());
}

// Every failed retrieval returns or raises nothing the caller must free and
// leaves no spool file. A throwing progress handler leaves the reply unread,
// so the connection closes; Parse's "Oops..." reaches the caller.
TEST(RetrieveMsg, FailuresLeaveNoSpoolAndNoMessage) {
    struct Stop {};
    const std::string reply = Reply(kMessage);
    const std::string eos = "error:T" + std::to_string(ECONNRESET) + ":";
    const std::string reset = "ESocketError:" + std::to_string(ECONNRESET);
    auto refused = [](FakePop3Server& s) {
        s.Expect("LIST 1").Send("-ERR There's no message 1.\r\n");
        s.Expect("RETR 1").Send("-ERR There's no message 1.\r\n");
    };
    auto retrieve = [](const std::string& r) {
        return [r](FakePop3Server& s) { ScriptRetrieve(s, 1, "3000", r, Chunking::Of(1024)); };
    };
    auto endless = [](const std::string& list) {
        return [list](FakePop3Server& s) {
            s.Expect("LIST 1").Send(list);
            s.Expect("RETR 1").SendUntilClosed("+OK\r\n" + std::string(1u << 20, 'x'));
        };
    };
    const std::string tooBig = "ESocketError:" + std::to_string(EMSGSIZE);
    const std::string bound = "error:T" + std::to_string(EMSGSIZE) + ":";
    struct Row {
        const char* name;
        std::function<void(FakePop3Server&)> script;
        std::function<void(TKelPOP&)> setup;
        std::string outcome;
        Events tail; // the last events; the last one as a prefix
        bool connected, scriptClosed;
    };
    const Row rows[] = {
        {"refused RETR", refused, nullptr, "nullptr",
         {"before:1", "quit", "error:2004:There's no message 1."}, false, false},
        {"closed inside the terminator",
         [&](FakePop3Server& s) {
             ScriptRetrieve(s, 1, "50", reply.substr(0, reply.size() - 1));
             s.Close();
         },
         nullptr, reset, {"quit", eos}, false, true},
        {"progress handler throws", retrieve(Reply(std::string(3000, 'q') + "\r\n")),
         [](TKelPOP& p) {
             p.RetrieveProgressStep = 0;
             p.OnRetrieveProgress = [](TObject*, uint16_t) { throw Stop{}; };
         },
         "Stop", {}, false, false},
        {"Parse rejects the message", retrieve(Reply("Subject: uu\r\n\r\nbegin 644 a.bin\r\nMabcdefg\r\nend\r\n")),
         nullptr, "Oops...", {}, true, false},
        // A reply that never ends stops at twice the listed size plus the
        // slack, or at the cap when LIST gave no size.
        {"reply past twice its size", endless("+OK 1 1000\r\n"), [](TKelPOP& p) { p.RetrieveReplySlack = 4096; },
         tooBig, {"quit", bound}, false, true},
        {"reply past the cap without a size", endless("-ERR no\r\n"), [](TKelPOP& p) { p.RetrieveReplyCap = 8192; },
         tooBig, {"quit", bound}, false, true},
        // Cancel drops the connection without a word; before RETR nothing
        // is outstanding, so the session goes on.
        {"cancelled between two receives", endless("+OK 1 1000\r\n"),
         [](TKelPOP& p) {
             p.RetrieveProgressStep = 0;
             p.OnRetrieveProgress = [&p](TObject*, uint16_t) { p.Cancel(); };
         },
         "nullptr", {"before:1"}, false, true},
        {"cancelled before RETR", [](FakePop3Server& s) { s.Expect("LIST 1").Send("+OK 1 50\r\n"); },
         [](TKelPOP& p) {
             p.OnSendTextToSocket = [&p](TObject*, const std::string&) { p.Cancel(); };
         },
         "nullptr", {"before:1"}, true, false},
        // Stops before any command: the script expects none.
        {"spool cannot be created", [](FakePop3Server&) {},
         [](TKelPOP&) { ::setenv("TMPDIR", (PrivateTmpDir::Dir + "/missing").c_str(), 1); },
         "EFileError", {"before:1"}, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d(/*paced=*/true);
        row.script(d.srv);
        if (row.setup)
            row.setup(d.pop);
        std::string outcome;
        try {
            outcome = d.pop.RetrieveMsg(1) ? "message" : "nullptr";
        } catch (const ESocketError& e) {
            outcome = "ESocketError:" + std::to_string(e.ErrorCode);
        } catch (const EFileError&) {
            outcome = "EFileError";
        } catch (const std::exception& e) {
            outcome = e.what();
        } catch (const Stop&) {
            outcome = "Stop";
        }
        ::setenv("TMPDIR", PrivateTmpDir::Dir.c_str(), 1);
        EXPECT_EQ(outcome, row.outcome);
        const Events nonIo = d.rec.NonIo();
        ASSERT_GE(nonIo.size(), row.tail.size());
        for (size_t i = 0; i < row.tail.size(); ++i)
            EXPECT_EQ(nonIo[nonIo.size() - row.tail.size() + i].rfind(row.tail[i], 0), 0u)
                << ::testing::PrintToString(nonIo);
        EXPECT_EQ(d.pop.Connected(), row.connected);
        EXPECT_EQ(d.pop.OwnedMessages(), 0u);
        EXPECT_EQ(PrivateTmpDir::Files(), 0);
        EXPECT_TRUE(d.Done(row.scriptClosed));
    }
}

// A message listed above the ceiling is not asked for; the connection goes
// on, and the same message opens once the ceiling allows it.
TEST(RetrieveMsg, MessageAboveTheCeilingIsNotAskedFor) {
    Dialogue d;
    d.pop.OpenCeiling = 4096;
    d.srv.Expect("LIST 3").Send("+OK 3 4097\r\n");
    EXPECT_EQ(d.pop.RetrieveMsg(3), nullptr);
    EXPECT_TRUE(d.pop.TooLarge());
    EXPECT_TRUE(d.pop.OperationFailed());
    EXPECT_EQ(d.pop.ListedSize(), 4097);
    EXPECT_TRUE(d.pop.Connected());
    EXPECT_EQ(d.rec.NonIo(), Events{"before:3"});
    EXPECT_EQ(PrivateTmpDir::Files(), 0);

    // Only the header is small whatever the message is.
    ScriptRetrieve(d.srv, 3, "4097", "+OK\r\nSubject: big\r\n\r\n.\r\n", Chunking::Whole(), /*headerOnly=*/true);
    TKelMsg* header = d.pop.RetrieveMsg(3, /*HeaderOnly=*/true);
    ASSERT_NE(header, nullptr);
    EXPECT_FALSE(d.pop.TooLarge());

    d.pop.OpenCeiling = 4097;
    ScriptRetrieve(d.srv, 3, "4097", Reply(kMessage));
    TKelMsg* msg = d.pop.RetrieveMsg(3);
    ASSERT_NE(msg, nullptr);
    EXPECT_FALSE(d.pop.TooLarge());
    EXPECT_EQ(msg->Size, 4097);
    EXPECT_TRUE(d.Done());
}

// The bound of the reply: a refused or unreadable LIST gives no size, so its
// numbers never set the bound (a message far above 2 x 1 + slack comes
// whole); and whatever LIST says, the reply stops at the ceiling.
TEST(RetrieveMsg, ReplyBoundComesFromAnAcceptedSizeAndStopsAtTheCeiling) {
    const std::string message = "Subject: locked\r\n\r\n" + std::string(5000, 'm') + "\r\n";
    struct Row {
        const char* name;
        std::string list;
        bool endless;
        std::string outcome; // "message", or the bound named in the failure
    };
    const Row rows[] = {
        {"refused LIST with a number", "-ERR [IN-USE] 1 locked\r\n", false, "message"},
        {"size with letters", "+OK 1 0x10\r\n", false, "message"},
        {"size with a sign", "+OK 1 -1\r\n", false, "message"},
        {"twice the size plus slack beyond the ceiling", "+OK 1 6000\r\n", true, "past 8192 bytes"},
        {"no size: the ceiling below the cap", "-ERR no\r\n", true, "past 8192 bytes"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d;
        d.pop.RetrieveReplySlack = 64;
        d.pop.OpenCeiling = 8192;
        d.srv.Expect("LIST 1").Send(row.list);
        if (row.endless)
            d.srv.Expect("RETR 1").SendUntilClosed("+OK\r\n" + std::string(1u << 20, 'x'));
        else
            d.srv.Expect("RETR 1").Send(Reply(message), Chunking::Of(1000));
        std::string outcome;
        try {
            TKelMsg* msg = d.pop.RetrieveMsg(1);
            ASSERT_NE(msg, nullptr);
            EXPECT_EQ(msg->Text, Lines{std::string(5000, 'm')});
            EXPECT_EQ(msg->Size, 0);
            EXPECT_EQ(d.pop.ListedSize(), -1);
            outcome = "message";
        } catch (const ESocketError& e) {
            EXPECT_EQ(e.ErrorCode, EMSGSIZE);
            const std::string what = e.what();
            outcome = what.substr(what.find("past "), 15);
        }
        EXPECT_EQ(outcome, row.outcome);
        EXPECT_EQ(PrivateTmpDir::Files(), 0);
        EXPECT_TRUE(d.Done(row.endless));
    }
}

// Saving streams the message as it was before the server stuffed it, in
// blocks the size of the spool's writes, whatever the ceiling.
TEST(SaveMsg, SinkGetsTheOriginalBytesInBlocks) {
    const std::string message = FakePop3Server::DottedMessage(300000);
    Dialogue d(/*paced=*/true);
    d.pop.OpenCeiling = 1024;
    d.srv.Expect("LIST 2").Send("+OK 2 " + std::to_string(message.size()) + "\r\n");
    d.srv.Expect("RETR 2").Send(Reply(FakePop3Server::DotStuff(message)), Chunking::Of(4000));
    std::string saved;
    size_t blocks = 0, largest = 0;
    ASSERT_TRUE(d.pop.SaveMsg(2, [&](std::string_view b) {
        saved += b;
        ++blocks;
        largest = std::max(largest, b.size());
    }));
    EXPECT_EQ(saved, message);
    EXPECT_GE(blocks, 4u);
    EXPECT_LE(largest, 64u * 1024 + 1024);
    const Events nonIo = d.rec.NonIo();
    EXPECT_EQ(nonIo.front(), "before:2");
    EXPECT_EQ(nonIo.back(), "after");
    EXPECT_EQ(nonIo[nonIo.size() - 2], "progress:100");
    EXPECT_TRUE(d.pop.Connected());
    EXPECT_EQ(d.pop.OwnedMessages(), 0u);
    EXPECT_EQ(PrivateTmpDir::Files(), 0);
    EXPECT_TRUE(d.Done());
}

// Every way a save can end early, and what is left of the connection.
TEST(SaveMsg, FailuresTable) {
    struct Full {};
    const std::string big = Reply(FakePop3Server::DotStuff(FakePop3Server::DottedMessage(200000)));
    struct Row {
        const char* name;
        std::string list, retr; // retr empty: refused
        std::function<void(TKelPOP&)> setup;
        bool sinkThrows;
        std::string outcome;
        bool connected, scriptClosed;
    };
    const Row rows[] = {
        {"refused RETR", "+OK 1 10", "", nullptr, false, "false", false, false},
        {"the sink fails", "+OK 1 200000", big, nullptr, true, "Full", false, true},
        {"cancelled inside the reply", "+OK 1 200000", big,
         [](TKelPOP& p) {
             p.RetrieveProgressStep = 1;
             p.OnRetrieveProgress = [&p](TObject*, uint16_t) { p.Cancel(); };
         },
         false, "false", false, true},
        {"past twice the listed size", "+OK 1 1000", big, [](TKelPOP& p) { p.RetrieveReplySlack = 1000; }, false,
         "EMSGSIZE", false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d(/*paced=*/true);
        d.srv.Expect("LIST 1").Send(row.list + "\r\n");
        if (row.retr.empty())
            d.srv.Expect("RETR 1").Send("-ERR gone\r\n");
        else
            d.srv.Expect("RETR 1").SendUntilClosed(row.retr);
        if (row.setup)
            row.setup(d.pop);
        std::string outcome;
        try {
            outcome = d.pop.SaveMsg(1,
                                    [&](std::string_view) {
                                        if (row.sinkThrows)
                                            throw Full{};
                                    })
                          ? "true"
                          : "false";
        } catch (const Full&) {
            outcome = "Full";
        } catch (const ESocketError& e) {
            outcome = e.ErrorCode == EMSGSIZE ? "EMSGSIZE" : "ESocketError";
        }
        EXPECT_EQ(outcome, row.outcome);
        EXPECT_EQ(d.pop.Connected(), row.connected);
        EXPECT_TRUE(d.Done(row.scriptClosed));
    }
}

TEST(RetrieveMsg, OwnerReleasesMessagesAndCallersMayReleaseFirst) {
    Dialogue d;
    for (int i = 0; i < 3; ++i)
        ScriptRetrieve(d.srv, 1, "50", Reply(kMessage));
    TKelMsg* a = d.pop.RetrieveMsg(1);
    TKelMsg* b = d.pop.RetrieveMsg(1);
    TKelMsg* c = d.pop.RetrieveMsg(1);
    EXPECT_EQ(d.pop.OwnedMessages(), 3u);
    d.pop.ReleaseMsg(b);
    d.pop.ReleaseMsg(b); // not owned any more: ignored
    TKelMsg stranger;
    d.pop.ReleaseMsg(&stranger);
    EXPECT_EQ(d.pop.OwnedMessages(), 2u);
    EXPECT_EQ(a->Subject, "hello");
    EXPECT_EQ(c->Subject, "hello");
    EXPECT_TRUE(d.Done()); // the rest go with the component (the leak checker watches)
}

class RetrieveCorpus : public sweepbox::test::CorpusTest {};

// Every corpus file, served dot-stuffed in odd pieces, comes back exactly as
// Parse makes it of the reply's lines: retrieval adds and loses nothing.
TEST_F(RetrieveCorpus, EveryFileComesBackAsParseMakesIt) {
    std::vector<std::pair<std::string, std::string>> files; // path, bytes
    for (const std::string& path : sweepbox::test::CorpusFiles(dir))
        files.emplace_back(path, sweepbox::test::ReadFile(dir / path));
    ASSERT_FALSE(files.empty());
    // Odd pieces for all; small files again one byte at a time.
    for (size_t chunk : {size_t{333}, size_t{1}}) {
        if (chunk == 1)
            std::erase_if(files, [](const auto& f) { return f.second.size() > 4096; });
        std::vector<std::string> raws;
        for (const auto& f : files)
            raws.push_back(f.second);
        sweepbox::test::MailboxOptions opt;
        opt.ChunkSize = chunk;
        FakePop3Server srv(raws, opt);
        TKelPOP pop;
        pop.Host = "127.0.0.1";
        pop.Port = srv.PortText();
        pop.UserId = "test";
        pop.UserPasswd = "secret";
        sweepbox::test::BoundWaits(pop);
        pop.Connect();
        ASSERT_TRUE(pop.Login());
        for (size_t i = 0; i < files.size(); ++i) {
            SCOPED_TRACE(files[i].first + " chunk " + std::to_string(chunk));
            const std::string crlf = FakePop3Server::NormalizeCrLf(files[i].second);
            const std::string reply = "+OK\r\n" + FakePop3Server::DotStuff(crlf);
            std::string got, expected;
            try {
                TKelMsg* msg = pop.RetrieveMsg(static_cast<uint16_t>(i + 1));
                ASSERT_NE(msg, nullptr);
                got = Summary(*msg);
                pop.ReleaseMsg(msg);
            } catch (const std::exception& e) {
                got = std::string("exception: ") + e.what();
            }
            try {
                expected = ParsedSummary(LiteralRawMail(reply), static_cast<int32_t>(crlf.size()));
            } catch (const std::exception& e) {
                expected = std::string("exception: ") + e.what();
            }
            ASSERT_TRUE(pop.Connected()) << got;
            EXPECT_EQ(got, expected);
        }
        pop.Quit();
        EXPECT_EQ(PrivateTmpDir::Files(), 0);
    }
}

// The message keeps what was served, unstuffed, line ends as they came, for
// saving it whole; the kept copy outlives the message for whoever holds it.
TEST(RetrieveMsg, OriginalHoldsTheServedMessageUnstuffed) {
    const struct {
        const char* name;
        std::string served; // dot-stuffed, as on the wire
        std::string original;
    } rows[] = {
        {"stuffed dots", kMessage,
         "From: a@example.org\r\nSubject: hello\r\n\r\nline one\r\n.\r\n..x\r\n.\r\n.last\r\n"},
        {"lone CR and LF kept", "Subject: x\r\n\r\na\rb\nc\r\n", "Subject: x\r\n\r\na\rb\nc\r\n"},
        {"8-bit and NUL bytes", "Subject: \xE9\r\n\r\n\x00\xFF\r\n"s, "Subject: \xE9\r\n\r\n\x00\xFF\r\n"s},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d;
        ScriptRetrieve(d.srv, 1, std::to_string(row.served.size()), Reply(row.served));
        TKelMsg* msg = d.pop.RetrieveMsg(1);
        ASSERT_NE(msg, nullptr);
        ASSERT_NE(msg->Original, nullptr);
        const std::shared_ptr<const TTempFile> kept = msg->Original;
        d.pop.ReleaseMsg(msg);
        EXPECT_EQ(kept->ReadAll(), row.original);
        std::string blocks;
        EXPECT_TRUE(kept->ReadBlocks([&blocks](std::string_view b) {
            blocks += b;
            return true;
        }));
        EXPECT_EQ(blocks, row.original);
    }
}
