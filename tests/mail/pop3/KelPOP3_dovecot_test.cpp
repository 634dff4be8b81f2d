// TKelPOP against a real POP3 server: a private Dovecot started once for this
// binary (skipped with a reason where Dovecot cannot run).
#include "pop3/KelPOP3.h"

#include "mail/pop3/Pop3TestUtil.h"
#include "message/KelMsg.h"
#include "support/DovecotServer.h"

#include <gtest/gtest.h>

#include <memory>

using namespace kel;
using sweepbox::test::DovecotServer;
using sweepbox::test::PopRecorder;
using Events = std::vector<std::string>;

namespace {

const std::string kMsg1 = "From: a@example.org\nSubject: first\n\nbody one\n";
const std::string kMsg2 = "From: b@example.org\nSubject: second\n.hidden: dotted header line\n\n"
                          "..body\n.\nend\n";
const std::string kMsg3 = "From: c@example.org\nSubject: third\n\nbody three\nline two\n";

// Every byte value, in an order that is not trivially regular.
std::string BinaryPayload(size_t size) {
    std::string out(size, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245 + 12345;
        out[i] = static_cast<char>(i < 256 ? i : (x >> 16) & 0xff);
    }
    return out;
}

std::string Base64Lines(const std::string& data) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out, line;
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(data[i]) << 16;
        if (i + 1 < data.size())
            v |= static_cast<uint8_t>(data[i + 1]) << 8;
        if (i + 2 < data.size())
            v |= static_cast<uint8_t>(data[i + 2]);
        line += abc[(v >> 18) & 63];
        line += abc[(v >> 12) & 63];
        line += i + 1 < data.size() ? abc[(v >> 6) & 63] : '=';
        line += i + 2 < data.size() ? abc[v & 63] : '=';
        if (line.size() == 76) {
            out += line + "\n";
            line.clear();
        }
    }
    if (!line.empty())
        out += line + "\n";
    return out;
}

size_t CrLfSize(const std::string& lf) {
    return lf.size() + static_cast<size_t>(std::count(lf.begin(), lf.end(), '\n'));
}

class Dovecot : public ::testing::Test {
  protected:
    DovecotServer& dc = DovecotServer::Shared();

    void SetUp() override {
        SWEEPBOX_REQUIRE_DOVECOT(dc);
        dc.SetMessages({kMsg1, kMsg2, kMsg3});
    }

    // A component pointed at the server, with events recorded.
    std::unique_ptr<TKelPOP> NewPop(const std::string& password = DovecotServer::Password) {
        auto pop = std::make_unique<TKelPOP>();
        pop->Host = "127.0.0.1";
        pop->Port = dc.PortText();
        pop->UserId = DovecotServer::User;
        pop->UserPasswd = password;
        pop->ReceiveStallLimitMs = 30000;
        rec = PopRecorder{};
        rec.Bind(*pop);
        return pop;
    }

    std::unique_ptr<TKelPOP> Session() {
        auto pop = NewPop();
        pop->Connect();
        EXPECT_TRUE(pop->Connected()) << dc.Log();
        EXPECT_TRUE(pop->Login()) << dc.Log();
        rec.Clear();
        return pop;
    }

    PopRecorder rec;
};

} // namespace

TEST_F(Dovecot, GreetsAndLogsIn) {
    auto pop = NewPop();
    pop->Connect();
    ASSERT_TRUE(pop->Connected());
    EXPECT_FALSE(pop->OperationFailed());
    EXPECT_EQ(pop->ReplyText(), "Dovecot (Debian) ready.");
    EXPECT_TRUE(pop->Login());
    pop->Quit();
    EXPECT_FALSE(pop->Connected());
    EXPECT_EQ(rec.NonIo(), (Events{"lookup", "connecting", "connect", "quit", "sleep:10"}));
}

TEST_F(Dovecot, RefusedPasswordThenTheRightOneAtOnce) {
    auto pop = NewPop("wrong");
    pop->Connect();
    EXPECT_FALSE(pop->Login());
    EXPECT_FALSE(pop->Connected());
    EXPECT_EQ(rec.NonIo(), (Events{"lookup", "connecting", "connect", "quit",
                                   "error:2001:[AUTH] Authentication failed."}));
    auto good = Session();
    EXPECT_TRUE(good->Connected());
    good->Quit();
}

TEST_F(Dovecot, StatAndListGiveTheCrLfSizes) {
    auto pop = Session();
    pop->Stat();
    EXPECT_EQ(pop->MsgCount(), 3);
    EXPECT_EQ(pop->MailboxSizeText(),
              std::to_string(CrLfSize(kMsg1) + CrLfSize(kMsg2) + CrLfSize(kMsg3)));
    const std::string msgs[] = {kMsg1, kMsg2, kMsg3};
    for (int n = 1; n <= 3; ++n) {
        std::string size;
        pop->GetMsgSize(n, size);
        EXPECT_EQ(size, std::to_string(CrLfSize(msgs[n - 1]))) << n;
    }
    pop->Quit();
}

TEST_F(Dovecot, TopZeroReturnsTheHeaderAsSentStuffingIncluded) {
    auto pop = Session();
    EXPECT_EQ(pop->GetHeader(2), "From: b@example.org\r\nSubject: second\r\n"
                                 "..hidden: dotted header line\r\n\r\n.\r\n");
    EXPECT_EQ(pop->GetHeader(1), "From: a@example.org\r\nSubject: first\r\n\r\n.\r\n");
    pop->Quit();
}

TEST_F(Dovecot, UidlsAreDistinctAndStableAcrossSessions) {
    auto pop = Session();
    std::vector<std::string> first;
    for (int n = 1; n <= 3; ++n)
        first.push_back(pop->GetUIDL(n));
    pop->Quit();
    EXPECT_NE(first[0], "");
    EXPECT_NE(first[0], first[1]);
    EXPECT_NE(first[1], first[2]);
    auto again = Session();
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(again->GetUIDL(n), first[n - 1]);
    again->Quit();
}

TEST_F(Dovecot, DeleThenQuitRemovesTheMessage) {
    auto pop = Session();
    pop->Stat();
    pop->DeleteMsg(2);
    EXPECT_EQ(pop->MsgCount(), 2);
    EXPECT_EQ(rec.NonIo(), Events{"delete:2"});
    pop->Quit();
    EXPECT_EQ(dc.Messages(), (std::vector<std::string>{kMsg1, kMsg3}));

    auto next = Session();
    next->Stat();
    EXPECT_EQ(next->MsgCount(), 2);
    EXPECT_EQ(next->GetHeader(2), "From: c@example.org\r\nSubject: third\r\n\r\n.\r\n");
    next->Quit();
}

TEST_F(Dovecot, DeleWithoutQuitDeletesNothing) {
    {
        auto pop = Session();
        pop->DeleteMsg(1);
        // Destroyed without QUIT: the connection drops.
    }
    auto next = Session();
    next->Stat();
    EXPECT_EQ(next->MsgCount(), 3);
    next->Quit();
    EXPECT_EQ(dc.Messages().size(), 3u);
}

TEST_F(Dovecot, BadMessageNumberIsRefusedWithTheOperationsCode) {
    struct Row {
        const char* name;
        std::function<void(TKelPOP&)> run;
        std::string error;
    };
    const Row rows[] = {
        {"list", [](TKelPOP& p) { std::string s = "kept"; p.GetMsgSize(99, s); EXPECT_EQ(s, "kept"); },
         "error:2006:There's no message 99."},
        {"TOP", [](TKelPOP& p) { EXPECT_EQ(p.GetHeader(99), ""); }, "error:2005:There's no message 99."},
        {"DELE", [](TKelPOP& p) { p.DeleteMsg(99); }, "error:2003:There's no message 99."},
        {"UIDL", [](TKelPOP& p) { EXPECT_EQ(p.GetUIDL(99), ""); }, "error:2006:There's no message 99."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto pop = Session();
        row.run(*pop);
        EXPECT_FALSE(pop->Connected());
        EXPECT_EQ(rec.NonIo(), (Events{"quit", row.error}));
    }
    EXPECT_EQ(dc.Messages().size(), 3u);
}

// A real multipart message with a base64 attachment comes back with the
// attachment's exact bytes; dot lines in the text survive the round trip.
TEST_F(Dovecot, RetrieveMsgReturnsTheAttachmentsExactBytes) {
    const std::string payload = BinaryPayload(200000);
    const std::string msg = "From: Anna <anna@example.org>\nTo: test@localhost\nSubject: report\n"
                            "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"XYZ\"\n\n"
                            "preamble\n--XYZ\nContent-Type: text/plain\n\nSee the file.\n.\n..two dots\n"
                            "--XYZ\nContent-Type: application/octet-stream; name=\"data.bin\"\n"
                            "Content-Transfer-Encoding: base64\n"
                            "Content-Disposition: attachment; filename=\"data.bin\"\n\n" +
                            Base64Lines(payload) + "--XYZ--\n";
    dc.SetMessages({kMsg1, msg});
    auto pop = Session();
    pop->GetUIDLsOnRetrieve = true;
    const std::string uidl = pop->GetUIDL(2);
    rec.Clear();
    TKelMsg* m = pop->RetrieveMsg(2);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->Subject, "report");
    EXPECT_EQ(m->Size, static_cast<int32_t>(CrLfSize(msg)));
    EXPECT_EQ(m->UIDL, uidl);
    ASSERT_EQ(m->AttachedFiles.Count(), 1);
    EXPECT_EQ(m->AttachedFiles.Items(0).FileName, "data.bin");
    EXPECT_TRUE(m->AttachedFiles.Items(0).Data == payload) << "attachment bytes differ";
    const auto& text = m->Text;
    EXPECT_NE(std::find(text.begin(), text.end(), "..two dots"), text.end());
    EXPECT_NE(std::find(text.begin(), text.end(), "."), text.end());
    Events nonIo = rec.NonIo();
    ASSERT_FALSE(nonIo.empty());
    EXPECT_EQ(nonIo.front(), "before:2");
    EXPECT_EQ(nonIo.back(), "after");
    EXPECT_EQ(nonIo[nonIo.size() - 2].rfind("progress:", 0), 0u);

    TKelMsg* head = pop->RetrieveMsg(2, /*HeaderOnly=*/true);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->Subject, "report");
    EXPECT_TRUE(head->Text.empty());
    EXPECT_EQ(head->AttachedFiles.Count(), 0);
    EXPECT_EQ(head->Headers.size(), 5u);
    pop->Quit();
}
