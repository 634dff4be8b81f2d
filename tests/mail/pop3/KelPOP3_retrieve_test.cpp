// RetrieveMsg against the scripted fake server: commands, progress reports,
// the spool file, dot-unstuffing, and every way a retrieval can go wrong.
#include "pop3/KelPOP3.h"

#include "mail/pop3/Pop3TestUtil.h"
#include "message/KelMsg.h"
#include "support/FakePop3Server.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace kel;
using sweepbox::test::Chunking;
using sweepbox::test::FakeClient;
using sweepbox::test::FakePop3Server;
using sweepbox::test::kGreeting;
using sweepbox::test::LiteralRawMail;
using sweepbox::test::ParsedSummary;
using sweepbox::test::PrivateTmpDir;
using sweepbox::test::Summary;
using Events = std::vector<std::string>;

namespace {

[[maybe_unused]] auto* const tmpEnv = ::testing::AddGlobalTestEnvironment(new PrivateTmpDir);

// As sent: dot-stuffed.
const std::string kMessage = "From: a@example.org\r\nSubject: hello\r\n\r\nline one\r\n..\r\n"
                             "...x\r\n..\r\n..last\r\n";

std::string Reply(const std::string& stuffedBody) {
    return "+OK " + std::to_string(stuffedBody.size()) + " octets\r\n" + stuffedBody + ".\r\n";
}

// Script: greeting, LIST n with size, then the RETR reply cut as given.
void ScriptRetrieve(FakePop3Server& srv, int n, const std::string& size, const std::string& reply,
                    Chunking how = Chunking::Whole()) {
    srv.Send(kGreeting)
        .Expect("LIST " + std::to_string(n))
        .Send("+OK " + std::to_string(n) + " " + size + "\r\n")
        .Expect("RETR " + std::to_string(n))
        .Send(reply, how);
}

std::vector<std::string> Progress(const Events& events) {
    std::vector<std::string> out;
    for (const auto& e : events)
        if (e.rfind("progress:", 0) == 0)
            out.push_back(e.substr(9));
    return out;
}

} // namespace

// The worked example: size 5000, receives of 1024 x 4 and 1000.
TEST(RetrieveMsg, ReportsProgressAsInTheWorkedExample) {
    std::string body;
    while (body.size() + 100 <= 5076)
        body += std::string(98, 'x') + "\r\n";
    body += std::string(5076 - body.size() - 2, 'y') + "\r\n";
    const std::string reply = "+OK 5000 octets\r\n" + body + ".\r\n";
    ASSERT_EQ(reply.size(), 5096u);
    FakePop3Server srv;
    ScriptRetrieve(srv, 3, "5000", reply, Chunking::Of({1024}));
    srv.ExpectClose();
    FakeClient c(srv, /*paced=*/true);
    c.pop.Connect();
    c.rec.Clear();
    TKelMsg* msg = c.pop.RetrieveMsg(3);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(Progress(c.rec.Events), (std::vector<std::string>{"41", "61", "82", "102"}));
    EXPECT_EQ(c.rec.NonIo(),
              (Events{"before:3", "progress:41", "progress:61", "progress:82", "progress:102", "after"}));
    EXPECT_EQ(msg->Size, 5000);
    EXPECT_EQ(msg->Owner(), &c.pop);
    EXPECT_EQ(c.pop.OwnedMessages(), 1u);
    EXPECT_EQ(PrivateTmpDir::KelFiles(), 0);
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

TEST(RetrieveMsg, ProgressTable) {
    struct Row {
        const char* name;
        std::string listSize;
        uint16_t step;
        size_t chunk; // 0: whole reply in one receive
        std::vector<std::string> reports;
    };
    // A reply of 2000 bytes.
    const std::string body = std::string(1978, 'z') + "\r\n";
    const std::string reply = "+OK 1978 octets\r\n" + body + ".\r\n";
    const Row rows[] = {
        {"one receive reports 100 once", "2000", 10, 0, {"100"}},
        {"marks rise one step per report", "500", 10, 500, {"200", "300", "400"}},
        {"step 0 reports every receive after the first", "2000", 0, 500, {"50", "75", "100"}},
        {"closing 100 when the last report was below", "4000", 30, 500, {"38", "100"}},
        {"LIST size 0 reports only the closing 100", "0", 10, 500, {"100"}},
        {"negative LIST size is unknown too", "-5", 10, 500, {"100"}},
        {"refused LIST means size 100", "-ERR", 10, 1000, {"2000"}},
        {"half rounds up to even", "4000", 1, 500, {"25", "38", "50", "100"}},
        {"half rounds down to even", "8000", 1, 500, {"12", "19", "25", "100"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv;
        srv.Send(kGreeting).Expect("LIST 1");
        srv.Send(row.listSize == "-ERR" ? "-ERR no\r\n" : "+OK 1 " + row.listSize + "\r\n");
        srv.Expect("RETR 1").Send(reply, row.chunk ? Chunking::Of({row.chunk}) : Chunking::Whole());
        srv.ExpectClose();
        FakeClient c(srv, true);
        c.pop.RetrieveProgressStep = row.step;
        c.pop.Connect();
        TKelMsg* msg = c.pop.RetrieveMsg(1);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(Progress(c.rec.Events), row.reports);
        EXPECT_EQ(msg->Headers, (std::vector<std::string>{std::string(1978, 'z')}));
        c.Drop();
        EXPECT_TRUE(srv.Finished());
    }
}

// Is the message the same wherever the reply is cut? Covers ".." lines, a
// lone "." line, CR "." CR LF inside, a terminator split across receives.
TEST(RetrieveMsg, SameMessageAtEverySplit) {
    const std::string bodies[] = {
        kMessage,
        "Subject: cr\r\n\r\nbefore\r.\r\nafter\r\n",
        "Subject: dots\r\n\r\n..\r\n",
        "Subject: empty body\r\n\r\n",
        "",
    };
    for (const std::string& body : bodies) {
        const std::string reply = Reply(body);
        const std::string expected = ParsedSummary(LiteralRawMail(reply), 77);
        std::vector<Chunking> splits;
        for (size_t cut = 1; cut < reply.size(); ++cut)
            splits.push_back(Chunking::At({cut}));
        splits.push_back(Chunking::Bytewise());
        splits.push_back(Chunking::Of({3}));
        for (const Chunking& how : splits) {
            SCOPED_TRACE(body + " / cut " + (how.Cuts.empty() ? "sizes" : std::to_string(how.Cuts[0])));
            FakePop3Server srv;
            ScriptRetrieve(srv, 2, "77", reply, how);
            srv.ExpectClose();
            FakeClient c(srv, true);
            c.pop.Connect();
            TKelMsg* msg = c.pop.RetrieveMsg(2);
            ASSERT_NE(msg, nullptr);
            EXPECT_EQ(Summary(*msg), expected);
            EXPECT_TRUE(msg->RawMail.empty());
            EXPECT_TRUE(c.pop.Connected());
            c.Drop();
            EXPECT_TRUE(srv.Finished());
        }
    }
}

TEST(RetrieveMsg, UndoesDotStuffingLastLineIncluded) {
    const std::vector<std::string> raw = LiteralRawMail(Reply(kMessage));
    EXPECT_EQ(raw, (std::vector<std::string>{"From: a@example.org", "Subject: hello", "", "line one",
                                             ".", "..x", ".", ".last"}));
    FakePop3Server srv;
    ScriptRetrieve(srv, 1, "50", Reply(kMessage));
    srv.ExpectClose();
    FakeClient c(srv);
    c.pop.Connect();
    TKelMsg* msg = c.pop.RetrieveMsg(1);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->Text, (std::vector<std::string>{"line one", ".", "..x", ".", ".last"}));
    EXPECT_EQ(msg->Subject, "hello");
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

TEST(RetrieveMsg, HeaderOnlySendsTopAndYieldsNoBody) {
    FakePop3Server srv;
    srv.Send(kGreeting)
        .Expect("LIST 4")
        .Send("+OK 4 321\r\n")
        .Expect("TOP 4 0")
        .Send("+OK\r\nFrom: a@example.org\r\nSubject: hi\r\n\r\n.\r\n")
        .ExpectClose();
    FakeClient c(srv);
    c.pop.Connect();
    TKelMsg* msg = c.pop.RetrieveMsg(4, true);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->Headers, (std::vector<std::string>{"From: a@example.org", "Subject: hi"}));
    EXPECT_TRUE(msg->Text.empty());
    EXPECT_EQ(msg->AttachedFiles.Count(), 0);
    EXPECT_EQ(msg->Size, 321);
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

TEST(RetrieveMsg, UidlAfterParsingWhenAsked) {
    struct Row {
        const char* name;
        std::string reply;
        std::string uidl;
        Events tail;
        bool connected;
    };
    const Row rows[] = {
        {"accepted", "+OK 1 abc123\r\n", "abc123", {"after"}, true},
        {"refused: message still returned", "-ERR no\r\n", "", {"quit", "error:2006:no", "after"}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv;
        ScriptRetrieve(srv, 1, "50", Reply(kMessage));
        srv.Expect("UIDL 1").Send(row.reply).ExpectClose();
        FakeClient c(srv);
        c.pop.GetUIDLsOnRetrieve = true;
        c.pop.Connect();
        c.rec.Clear();
        TKelMsg* msg = c.pop.RetrieveMsg(1);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->UIDL, row.uidl);
        Events nonIo = c.rec.NonIo();
        ASSERT_GE(nonIo.size(), row.tail.size());
        EXPECT_EQ(Events(nonIo.end() - row.tail.size(), nonIo.end()), row.tail);
        EXPECT_EQ(c.pop.Connected(), row.connected);
        c.Drop();
        EXPECT_TRUE(srv.Finished());
    }
}

TEST(RetrieveMsg, RefusedRetrOrTopReturnsNothing) {
    for (bool headerOnly : {false, true}) {
        SCOPED_TRACE(headerOnly ? "TOP" : "RETR");
        FakePop3Server srv;
        srv.Send(kGreeting).Expect("LIST 9").Send("-ERR There's no message 9.\r\n");
        srv.Expect(headerOnly ? "TOP 9 0" : "RETR 9").Send("-ERR There's no message 9.\r\n");
        srv.ExpectClose();
        FakeClient c(srv);
        c.pop.Connect();
        c.rec.Clear();
        EXPECT_EQ(c.pop.RetrieveMsg(9, headerOnly), nullptr);
        EXPECT_EQ(c.rec.NonIo(), (Events{"before:9", "quit", "error:2004:There's no message 9."}));
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_EQ(c.pop.OwnedMessages(), 0u);
        EXPECT_EQ(PrivateTmpDir::KelFiles(), 0);
        EXPECT_TRUE(srv.Finished());
    }
}

TEST(RetrieveMsg, NotConnectedRaisesAndFiresNothing) {
    TKelPOP pop;
    sweepbox::test::PopRecorder rec;
    rec.Bind(pop);
    try {
        pop.RetrieveMsg(1);
        FAIL() << "no exception";
    } catch (const EKelPOPError& e) {
        EXPECT_STREQ(e.what(), "Not connected.");
    }
    EXPECT_TRUE(rec.Events.empty());
}

// What if the server closes before the terminator, at any point?
TEST(RetrieveMsg, EndOfStreamInsideTheReplyDeletesTheSpool) {
    const std::string reply = Reply(kMessage);
    for (size_t keep : {size_t(0), size_t(5), size_t(30), reply.size() - 1}) {
        SCOPED_TRACE(keep);
        FakePop3Server srv;
        srv.Send(kGreeting).Expect("LIST 1").Send("+OK 1 50\r\n").Expect("RETR 1");
        if (keep)
            srv.Send(reply.substr(0, keep));
        srv.Close();
        FakeClient c(srv, true);
        c.pop.Connect();
        c.rec.Clear();
        try {
            c.pop.RetrieveMsg(1);
            ADD_FAILURE() << "no exception";
        } catch (const ESocketError& e) {
            EXPECT_EQ(e.ErrorCode, ECONNRESET);
        }
        Events nonIo = c.rec.NonIo();
        ASSERT_GE(nonIo.size(), 2u);
        EXPECT_EQ(nonIo[nonIo.size() - 2], "quit");
        EXPECT_EQ(nonIo.back().rfind("error:T" + std::to_string(ECONNRESET) + ":", 0), 0u);
        EXPECT_FALSE(c.pop.Connected());
        EXPECT_EQ(c.pop.OwnedMessages(), 0u);
        EXPECT_EQ(PrivateTmpDir::KelFiles(), 0);
        EXPECT_TRUE(srv.Finished());
    }
}

// A continuation chunk that begins with "-ERR" is data.
TEST(RetrieveMsg, ContinuationStartingWithErrGoesOn) {
    const std::string reply = "+OK 20 octets\r\n-ERR is a body line\r\n.\r\n";
    FakePop3Server srv;
    ScriptRetrieve(srv, 1, "20", reply, Chunking::At({15}));
    srv.ExpectClose();
    FakeClient c(srv, true);
    c.pop.Connect();
    TKelMsg* msg = c.pop.RetrieveMsg(1);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->Text, (std::vector<std::string>{}));  // the line is the header part here
    EXPECT_EQ(msg->Headers, (std::vector<std::string>{"-ERR is a body line"}));
    EXPECT_TRUE(c.pop.OperationFailed());
    EXPECT_TRUE(c.pop.Connected());
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

TEST(RetrieveMsg, SpoolThatCannotBeCreatedStopsBeforeAnyCommand) {
    FakePop3Server srv;
    srv.Send(kGreeting).ExpectClose();
    FakeClient c(srv);
    c.pop.Connect();
    c.rec.Clear();
    ::setenv("TMPDIR", (PrivateTmpDir::Dir + "/missing").c_str(), 1);
    EXPECT_THROW(c.pop.RetrieveMsg(1), EFileError);
    ::setenv("TMPDIR", PrivateTmpDir::Dir.c_str(), 1);
    EXPECT_EQ(c.rec.Events, Events{"before:1"});
    EXPECT_TRUE(c.pop.Connected());
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

// A handler that throws mid-reply leaves the rest of the reply unread: the
// connection is closed, the spool removed.
TEST(RetrieveMsg, ExceptionFromAProgressHandlerClosesTheConnection) {
    const std::string reply = Reply(std::string(3000, 'q') + "\r\n");
    FakePop3Server srv;
    ScriptRetrieve(srv, 1, "3000", reply, Chunking::Of({1024}));
    srv.ExpectClose();
    FakeClient c(srv, true);
    struct Stop {};
    c.pop.RetrieveProgressStep = 0;
    c.pop.OnRetrieveProgress = [](TObject*, uint16_t) { throw Stop{}; };
    c.pop.Connect();
    EXPECT_THROW(c.pop.RetrieveMsg(1), Stop);
    EXPECT_FALSE(c.pop.Connected());
    EXPECT_EQ(c.pop.OwnedMessages(), 0u);
    EXPECT_EQ(PrivateTmpDir::KelFiles(), 0);
    EXPECT_TRUE(srv.Finished());
}

// A message Parse rejects ("Oops...") is not kept: nobody could reach it.
TEST(RetrieveMsg, ParseFailureReleasesTheMessage) {
    const std::string body = "Subject: uu\r\n\r\nbegin 644 a.bin\r\nMabcdefg\r\nend\r\n";
    FakePop3Server srv;
    ScriptRetrieve(srv, 1, "60", Reply(body));
    srv.ExpectClose();
    FakeClient c(srv);
    c.pop.Connect();
    try {
        c.pop.RetrieveMsg(1);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Oops...");
    }
    EXPECT_EQ(c.pop.OwnedMessages(), 0u);
    EXPECT_EQ(PrivateTmpDir::KelFiles(), 0);
    EXPECT_TRUE(c.pop.Connected()); // the reply was read whole
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

// NUL ends the loaded text: whatever follows it is dropped, nothing crashes.
TEST(RetrieveMsg, NulInTheReplyEndsTheText) {
    const std::string reply = std::string("+OK 9\r\nSubject: a\r\n\r\nxy\0z\r\nmore\r\n.\r\n", 37);
    FakePop3Server srv;
    ScriptRetrieve(srv, 1, "9", reply);
    srv.ExpectClose();
    FakeClient c(srv);
    c.pop.Connect();
    TKelMsg* msg = c.pop.RetrieveMsg(1);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(Summary(*msg), ParsedSummary(LiteralRawMail(reply), 9));
    EXPECT_EQ(msg->Headers, (std::vector<std::string>{"Subject: a"}));
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}

TEST(RetrieveMsg, OwnerReleasesMessagesAndCallersMayReleaseFirst) {
    FakePop3Server srv;
    srv.Send(kGreeting);
    for (int i = 0; i < 3; ++i)
        srv.Expect("LIST 1").Send("+OK 1 50\r\n").Expect("RETR 1").Send(Reply(kMessage));
    srv.ExpectClose();
    FakeClient c(srv);
    c.pop.Connect();
    TKelMsg* a = c.pop.RetrieveMsg(1);
    TKelMsg* b = c.pop.RetrieveMsg(1);
    TKelMsg* d = c.pop.RetrieveMsg(1);
    EXPECT_EQ(c.pop.OwnedMessages(), 3u);
    c.pop.ReleaseMsg(b);
    c.pop.ReleaseMsg(b); // not owned any more: ignored
    TKelMsg stranger;
    c.pop.ReleaseMsg(&stranger);
    EXPECT_EQ(c.pop.OwnedMessages(), 2u);
    EXPECT_EQ(a->Subject, "hello");
    EXPECT_EQ(d->Subject, "hello");
    c.Drop(); // the rest go with the component (the leak checker watches)
    EXPECT_TRUE(srv.Finished());
}

// A megabyte line comes back whole, stuffed dot lines after it too.
TEST(RetrieveMsg, MegabyteLineComesBackWhole) {
    const std::string line(1u << 20, 'L');
    const std::string body = "Subject: big\r\n\r\n" + line + "\r\n..x\r\n";
    FakePop3Server srv;
    ScriptRetrieve(srv, 1, std::to_string(body.size()), Reply(body));
    srv.ExpectClose();
    FakeClient c(srv);
    c.pop.Connect();
    TKelMsg* msg = c.pop.RetrieveMsg(1);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->Text, (std::vector<std::string>{line, ".x"}));
    c.Drop();
    EXPECT_TRUE(srv.Finished());
}
