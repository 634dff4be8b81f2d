// TKelPOP against a real POP3 server: a private Dovecot started once for this
// binary (skipped with a reason where Dovecot cannot run).
#include "mail/pop3/KelPOP3.h"

#include "support/Pop3Clients.h"
#include "mail/message/KelMsg.h"
#include "support/DovecotServer.h"

#include <gtest/gtest.h>

#include <memory>

using namespace kel;
using sweepbox::test::CrLfSize;
using sweepbox::test::DovecotServer;
using sweepbox::test::PopRecorder;
using Events = std::vector<std::string>;

namespace {

const std::string kMsg1 = "From: a@example.org\nSubject: first\n\nbody one\n";
const std::string kMsg2 = "From: b@example.org\nSubject: second\n.hidden: dotted header line\n\n"
                          "..body\n.\nend\n";
const std::string kMsg3 = "From: c@example.org\nSubject: third\n\nbody three\nline two\n";

class Dovecot : public ::testing::Test {
  protected:
    DovecotServer& dc = DovecotServer::Shared();
    PopRecorder rec;

    void SetUp() override {
        SWEEPBOX_REQUIRE_DOVECOT(dc);
        dc.SetMessages({kMsg1, kMsg2, kMsg3});
    }

    // A component logged in to the server (or refused), events recorded.
    std::unique_ptr<TKelPOP> Session(const std::string& password = DovecotServer::Password) {
        auto pop = std::make_unique<TKelPOP>();
        pop->Host = "127.0.0.1";
        pop->Port = dc.PortText();
        pop->UserId = DovecotServer::User;
        pop->UserPasswd = password;
        sweepbox::test::BoundWaits(*pop);
        rec = PopRecorder{};
        rec.Bind(*pop);
        pop->Connect();
        EXPECT_TRUE(pop->Connected()) << dc.Log();
        EXPECT_EQ(pop->ReplyText(), "Dovecot (Debian) ready.");
        EXPECT_EQ(pop->Login(), password == DovecotServer::Password) << dc.Log();
        return pop;
    }
};

} // namespace

// A refusal closes with the operation's code and changes nothing.
TEST_F(Dovecot, RefusalsCloseWithTheOperationsCode) {
    auto pop = Session("wrong");
    EXPECT_FALSE(pop->Connected());
    EXPECT_EQ(rec.NonIo(), (Events{"lookup", "connecting", "connect", "quit",
                                   "error:2001:[AUTH] Authentication failed."}));
    pop = Session();
    rec.Clear();
    EXPECT_EQ(pop->GetHeader(99), "");
    EXPECT_FALSE(pop->Connected());
    EXPECT_EQ(rec.NonIo(), (Events{"quit", "error:2005:There's no message 99."}));
    pop = Session();
    rec.Clear();
    pop->DeleteMsg(99);
    EXPECT_EQ(rec.NonIo(), (Events{"quit", "error:2003:There's no message 99."}));
    EXPECT_EQ(dc.Messages().size(), 3u);
}

TEST_F(Dovecot, StatListTopUidlAndDeleteMatchTheMailbox) {
    auto pop = Session();
    pop->Stat();
    EXPECT_EQ(pop->MsgCount(), 3);
    EXPECT_EQ(pop->MailboxSizeText(), std::to_string(CrLfSize(kMsg1) + CrLfSize(kMsg2) + CrLfSize(kMsg3)));
    std::string size;
    pop->GetMsgSize(2, size);
    EXPECT_EQ(size, std::to_string(CrLfSize(kMsg2)));
    // TOP 0 returns the header as sent, stuffing included.
    EXPECT_EQ(pop->GetHeader(2), "From: b@example.org\r\nSubject: second\r\n"
                                 "..hidden: dotted header line\r\n\r\n.\r\n");
    // UIDLs are distinct and stable across sessions.
    const std::string uidl1 = pop->GetUIDL(1), uidl2 = pop->GetUIDL(2);
    EXPECT_NE(uidl1, "");
    EXPECT_NE(uidl1, uidl2);
    pop->Quit();
    pop = Session();
    EXPECT_EQ(pop->GetUIDL(2), uidl2);
    pop->DeleteMsg(1);
    pop.reset(); // dropped without QUIT: nothing is deleted
    EXPECT_EQ(dc.Messages().size(), 3u);
    pop = Session();
    pop->Stat();
    rec.Clear();
    pop->DeleteMsg(2);
    EXPECT_EQ(pop->MsgCount(), 2);
    EXPECT_EQ(rec.NonIo(), Events{"delete:2"});
    pop->Quit();
    EXPECT_EQ(dc.Messages(), (std::vector<std::string>{kMsg1, kMsg3}));
}

// A multipart message with a base64 attachment comes back with the
// attachment's exact bytes; dot lines in the text survive the round trip.
TEST_F(Dovecot, RetrieveMsgReturnsTheAttachmentsExactBytes) {
    const std::string payload = sweepbox::test::AttachmentPayload();
    const std::string msg = sweepbox::test::MessageWithAttachment(payload);
    dc.SetMessages({kMsg1, msg});
    auto pop = Session();
    pop->GetUIDLsOnRetrieve = true;
    const std::string uidl = pop->GetUIDL(2);
    rec.Clear();
    TKelMsg* m = pop->RetrieveMsg(2);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->Size, static_cast<int32_t>(CrLfSize(msg)));
    EXPECT_EQ(m->UIDL, uidl);
    ASSERT_EQ(m->AttachedFiles.Count(), 1);
    EXPECT_EQ(m->AttachedFiles.Items(0).FileName, "data.bin");
    EXPECT_TRUE(m->AttachedFiles.Items(0).Data == payload) << "attachment bytes differ";
    EXPECT_NE(std::find(m->Text.begin(), m->Text.end(), "..two dots"), m->Text.end());
    EXPECT_NE(std::find(m->Text.begin(), m->Text.end(), "."), m->Text.end());
    const Events nonIo = rec.NonIo();
    EXPECT_EQ(nonIo.front(), "before:2");
    EXPECT_EQ(nonIo.back(), "after");
    pop->Quit();
}

// Dovecot offers PIPELINING: six messages list in one window, and deleting
// two or four of them (highest first) leaves exactly the others. A refused
// DELE in the middle of a pipelined pass leaves the mailbox as it was.
TEST_F(Dovecot, PipelinedListingAndDeletionMatchTheMaildir) {
    std::vector<std::string> six;
    for (int n = 1; n <= 6; ++n)
        six.push_back("From: p" + std::to_string(n) + "@example.org\nSubject: piped " + std::to_string(n) +
                      "\n\nbody " + std::to_string(n) + "\n");
    const struct {
        std::vector<uint16_t> deleted;
        std::vector<int> kept;
    } rows[] = {{{4, 2}, {1, 3, 5, 6}}, {{6, 4, 3, 1}, {2, 5}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.deleted));
        dc.SetMessages(six);
        auto pop = Session();
        ASSERT_TRUE(pop->ReadCapabilities());
        ASSERT_TRUE(pop->PipeliningOffered());
        pop->Stat();
        std::vector<std::string> subjects, sizes;
        EXPECT_EQ(pop->ListMessages(1, 6,
                                    [&](uint16_t, const std::string& header, const std::string& size) {
                                        subjects.push_back(header.substr(header.find("Subject: ")));
                                        sizes.push_back(size);
                                        return true;
                                    }),
                  6);
        for (int n = 1; n <= 6; ++n) {
            EXPECT_EQ(subjects[n - 1], "Subject: piped " + std::to_string(n) + "\r\n\r\n.\r\n");
            EXPECT_EQ(sizes[n - 1], std::to_string(CrLfSize(six[n - 1])));
        }
        rec.Clear();
        EXPECT_EQ(pop->DeleteMessages(row.deleted), row.deleted.size());
        EXPECT_EQ(pop->MsgCount(), 6 - row.deleted.size());
        pop->Quit();
        std::vector<std::string> kept;
        for (const int n : row.kept)
            kept.push_back(six[static_cast<size_t>(n - 1)]);
        EXPECT_EQ(dc.Messages(), kept);
    }
    dc.SetMessages(six);
    auto pop = Session();
    ASSERT_TRUE(pop->ReadCapabilities());
    EXPECT_EQ(pop->DeleteMessages({5, 4, 9, 2, 1}), 2u);
    EXPECT_FALSE(pop->Connected());
    EXPECT_EQ(dc.Messages(), six);
}
