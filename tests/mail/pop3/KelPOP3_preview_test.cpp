// PreviewMsg: the start of a message with TOP n k, whatever the message's
// size; what is kept of a reply too long to keep, and how the connection
// stays in step or ends.
#include "mail/pop3/KelPOP3.h"

#include "mail/message/KelMsg.h"
#include "support/FakePop3Server.h"
#include "support/Pop3Clients.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

using namespace kel;
using sweepbox::test::Chunking;
using sweepbox::test::Dialogue;
using sweepbox::test::FakeClient;
using sweepbox::test::FakePop3Server;
using sweepbox::test::MailboxOptions;
using Events = std::vector<std::string>;

namespace {

std::vector<std::string> TextOf(const TKelMsg& Msg) { return {Msg.Text.begin(), Msg.Text.end()}; }

} // namespace

// What does a preview of a 200 MB message cost? Its header and 40 lines.
TEST(PreviewMsg, HugeMessageSendsOnlyItsStart) {
    constexpr uint64_t kSize = uint64_t{200} << 20;
    MailboxOptions options;
    options.GrowLastTo = kSize;
    FakePop3Server srv({"From: big@example.org\r\nSubject: large\r\n\r\nThe first line.\r\n"}, options);
    FakeClient c(srv);
    c.pop.UserId = "test";
    c.pop.UserPasswd = "secret";
    c.pop.Connect();
    ASSERT_TRUE(c.pop.Login());
    c.pop.Stat();
    ASSERT_GT(std::stoull(c.pop.MailboxSizeText()), kSize - 100) << c.pop.MailboxSizeText();
    const uint64_t before = srv.BytesSent();

    TKelMsg* msg = c.pop.PreviewMsg(1);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->Subject, "large");
    const std::vector<std::string> text = TextOf(*msg);
    ASSERT_EQ(text.size(), 40u);
    EXPECT_EQ(text.front(), "The first line.");
    EXPECT_EQ(text.back() + "\r\n", FakePop3Server::GeneratedLine(38));
    EXPECT_FALSE(c.pop.PreviewCut());
    EXPECT_LT(srv.BytesSent() - before, 4096u);
    // In step: the next command gets its own reply.
    c.pop.Stat();
    EXPECT_FALSE(c.pop.OperationFailed());
    EXPECT_EQ(c.pop.MsgCount(), 1);
    EXPECT_EQ(srv.Commands().at(srv.Commands().size() - 2), "TOP 1 40");
    c.pop.ReleaseMsg(msg);
    EXPECT_EQ(c.pop.OwnedMessages(), 0u);
    c.pop.Quit();
}

TEST(PreviewMsg, RepliesTable) {
    const auto top = [](const std::string& Reply, Chunking How = Chunking::Of(700)) {
        return [=](FakePop3Server& s) { s.Expect("TOP 3 40").Send(Reply, How); };
    };
    const auto inStep = [](const std::string& Reply, Chunking How = Chunking::Of(700)) {
        return [=](FakePop3Server& s) {
            s.Expect("TOP 3 40").Send(Reply, How);
            s.Expect("STAT").Send("+OK 3 999\r\n");
        };
    };
    std::string fifty;
    for (int i = 0; i < 50; ++i)
        fifty += "line " + std::to_string(100 + i) + " of fifty\r\n";
    const std::string multipart =
        "Subject: files\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
        "--B\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nHello there.\r\n"
        "--B\r\nContent-Type: application/octet-stream; name=\"x.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=\r\nQUJD\r\n";
    struct Row {
        const char* name;
        std::function<void(FakePop3Server&)> script;
        std::function<void(TKelPOP&)> setup;
        std::string outcome; // "message", "nullptr" or the exception
        std::vector<std::string> text;
        bool cut, connected, scriptClosed;
    };
    const Row rows[] = {
        {"refused TOP", top("-ERR no such message\r\n"), nullptr, "nullptr", {}, false, false, false},
        {"a reply past the keep limit: whole lines kept, the rest read and dropped",
         inStep("+OK\r\nSubject: long\r\n\r\n" + fifty + ".\r\n", Chunking::Of(7)),
         [](TKelPOP& p) { p.PreviewKeepLimit = 60; },
         "message", {"line 100 of fifty", "line 101 of fifty"}, true, true, false},
        {"one line longer than the limit", inStep("+OK\r\nSubject: one\r\n\r\n" + std::string(5000, 'y') + "\r\n.\r\n"),
         [](TKelPOP& p) { p.PreviewKeepLimit = 1000; }, "message", {}, true, true, false},
        {"a multipart body cut inside its base64 part",
         inStep("+OK\r\n" + multipart + ".\r\n"), nullptr, "message", {"Hello there."}, false, true, false},
        {"a base64 text cut short", inStep("+OK\r\nSubject: b\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                                           "SGVsbG8gd29y\r\n.\r\n"),
         nullptr, "message", {"Hello wor"}, false, true, false},
        {"a server that ignores the count stops at the cap",
         [](FakePop3Server& s) { s.Expect("TOP 3 40").SendUntilClosed("+OK\r\n" + std::string(1u << 20, 'x')); },
         [](TKelPOP& p) { p.RetrieveReplyCap = 8192; }, "ESocketError:" + std::to_string(EMSGSIZE), {}, false, false,
         true},
        {"cancelled inside the reply",
         [](FakePop3Server& s) { s.Expect("TOP 3 40").SendUntilClosed("+OK\r\n" + std::string(1u << 20, 'x')); },
         [](TKelPOP& p) {
             p.ProcessMessages = [&p] {
                 if (p.BytesReceived() > 4096)
                     p.Cancel();
             };
         },
         "nullptr", {}, false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d;
        row.script(d.srv);
        if (row.setup)
            row.setup(d.pop);
        std::string outcome;
        TKelMsg* msg = nullptr;
        try {
            msg = d.pop.PreviewMsg(3);
            outcome = msg ? "message" : "nullptr";
        } catch (const ESocketError& e) {
            outcome = "ESocketError:" + std::to_string(e.ErrorCode);
        }
        d.pop.ProcessMessages = nullptr;
        EXPECT_EQ(outcome, row.outcome);
        if (msg) {
            const std::vector<std::string> text = TextOf(*msg);
            ASSERT_GE(text.size(), row.text.size());
            EXPECT_EQ(std::vector<std::string>(text.begin(), text.begin() + row.text.size()), row.text);
            if (row.cut) // every line kept is a whole line of the message
                for (const std::string& line : text)
                    EXPECT_TRUE(line.empty() || fifty.find(line + "\r\n") != std::string::npos) << line;
        }
        EXPECT_EQ(d.pop.PreviewCut(), row.cut);
        EXPECT_EQ(d.pop.Connected(), row.connected);
        if (row.connected) {
            d.pop.Stat();
            EXPECT_EQ(d.pop.MsgCount(), 3);
        }
        if (row.outcome == "nullptr" && !row.scriptClosed)
            EXPECT_EQ(d.rec.NonIo(), (Events{"before:3", "quit", "error:2004:no such message"}));
        if (row.name == std::string("cancelled inside the reply"))
            EXPECT_EQ(d.rec.NonIo(), (Events{"before:3"}));
        EXPECT_TRUE(d.Done(row.scriptClosed));
    }
}
