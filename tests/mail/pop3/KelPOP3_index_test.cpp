// UIDL and LIST of the whole mailbox (ReadMailboxIndex) and the listing of
// chosen messages: which ids and sizes does the component trust from a
// server that lies, repeats itself or floods, and what does it send?
#include "mail/pop3/KelPOP3.h"

#include "support/BoundedWaits.h"
#include "support/ScriptedTransport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

using namespace kel;
using sweepbox::test::ScriptedTransport;

namespace {

using Strings = std::vector<std::string>;

// A component signed in to a scripted mailbox of three messages, its
// replies after STAT in Replies. Opened: OpenMailbox asked for the index
// too, Stat its replies up to STAT's, and sent records what it sent.
struct Indexed {
    TKelPOP pop;
    ScriptedTransport* t = nullptr;
    Strings sent;
    int32_t errorCode = 0;
    Indexed(bool Pipelining, const std::string& Replies, size_t Piece, const std::string& Stat = "+OK 3 300\r\n",
            bool Opened = false) {
        auto owned = std::make_unique<ScriptedTransport>();
        t = owned.get();
        t->LineAtATime = true;
        t->Serve("+OK ready\r\n").Serve(Capa(Pipelining)).Serve(Stat).Serve(Replies, Piece);
        pop.SetTransport(std::move(owned));
        sweepbox::test::BoundWaits(pop);
        pop.Host = "127.0.0.1";
        pop.OnError = [this](TObject*, int32_t Code, const std::string&) { errorCode = Code; };
        pop.Connect();
        pop.ReadCapabilities();
        const auto record = [this](TObject*, const std::string& s) { sent.push_back(s.substr(0, s.size() - 2)); };
        if (Opened) {
            pop.OnSendTextToSocket = record;
            pop.OpenMailbox(/*WithIndex=*/true);
            return;
        }
        pop.Stat();
        pop.OnSendTextToSocket = record;
    }
    static std::string Capa(bool Pipelining) {
        return Pipelining ? "+OK\r\nPIPELINING\r\nUIDL\r\n.\r\n" : "+OK\r\nUIDL\r\n.\r\n";
    }
};

const std::string kList = "+OK\r\n1 100\r\n2 200\r\n3 300\r\n.\r\n";

} // namespace

// Which ids and sizes survive the server's lines, pipelined or lock-step,
// whole or a byte at a time?
TEST(MailboxIndex, TrustsOnlyWhatTheServerSaysOnceAndAsRfc1939WritesIt) {
    const std::string long70(70, 'u'), long71(71, 'u');
    const struct {
        const char* name;
        std::string uidl; // the reply to UIDL
        std::string list; // the reply to LIST ("" when not asked)
        bool uidlsListed, sizesListed;
        Strings uidls, sizes;
    } rows[] = {
        {"good", "+OK\r\n1 a\r\n2 b\r\n3 c\r\n.\r\n", kList, true, true, {"a", "b", "c"}, {"100", "200", "300"}},
        {"70 characters are allowed, 71 are not", "+OK\r\n1 " + long70 + "\r\n2 " + long71 + "\r\n3 c\r\n.\r\n",
         kList, true, true, {long70, "", "c"}, {"100", "200", "300"}},
        {"a control, a blank or 8-bit byte in the id", "+OK\r\n1 a\tb\r\n2 b x\r\n3 \xc3\xa9\r\n.\r\n", kList, true,
         true, {"", "", ""}, {"100", "200", "300"}},
        {"an empty id", "+OK\r\n1 \r\n2 b\r\n3 c\r\n.\r\n", kList, true, true, {"", "b", "c"},
         {"100", "200", "300"}},
        {"a number listed twice names neither", "+OK\r\n1 a\r\n2 b\r\n2 x\r\n3 c\r\n.\r\n", kList, true, true,
         {"a", "", "c"}, {"100", "200", "300"}},
        {"an id listed for two numbers names neither", "+OK\r\n1 a\r\n2 b\r\n3 a\r\n.\r\n", kList, true, true,
         {"", "b", ""}, {"100", "200", "300"}},
        {"numbers out of range, signed, not decimal", "+OK\r\n0 z\r\n4 y\r\n-1 x\r\n+2 w\r\n0x3 v\r\nnoblank\r\n"
                                                      "99999999999999999999999 u\r\n1 a\r\n.\r\n",
         kList, true, true, {"a", "", ""}, {"100", "200", "300"}},
        {"a dot-stuffed id", "+OK\r\n1 a\r\n2 b\r\n..3 c\r\n.\r\n", kList, true, true, {"a", "b", ""},
         {"100", "200", "300"}},
        {"sizes: not decimal, twice, missing", "+OK\r\n1 a\r\n2 b\r\n3 c\r\n.\r\n",
         "+OK\r\n1 1e3\r\n2 200\r\n2 201\r\n.\r\n", true, true, {"a", "b", "c"}, {"", "", ""}},
        {"LIST refused", "+OK\r\n1 a\r\n2 b\r\n3 c\r\n.\r\n", "-ERR no\r\n", true, false, {"a", "b", "c"},
         {"", "", ""}},
        {"UIDL refused", "-ERR not supported\r\n", kList, false, true, {"", "", ""}, {"100", "200", "300"}},
    };
    for (const auto& row : rows) {
        for (const bool pipelining : {true, false}) {
            for (const size_t piece : {size_t{0}, size_t{1}}) {
                SCOPED_TRACE(std::string(row.name) + (pipelining ? ", pipelined" : ", lock-step") + ", piece " +
                             std::to_string(piece));
                // Lock-step sends no LIST after a refused UIDL.
                const bool asksList = pipelining || row.uidlsListed;
                Indexed s(pipelining, row.uidl + (asksList ? row.list : std::string()), piece);
                const TMailboxIndex index = s.pop.ReadMailboxIndex();
                EXPECT_EQ(s.sent, asksList ? (Strings{"UIDL", "LIST"}) : (Strings{"UIDL"}));
                EXPECT_EQ(index.UidlsListed, row.uidlsListed);
                EXPECT_EQ(index.Uidls, row.uidls);
                if (asksList) {
                    EXPECT_EQ(index.SizesListed, row.sizesListed);
                    EXPECT_EQ(index.Sizes, row.sizes);
                }
                // A refusal is no failure: the session goes on.
                EXPECT_TRUE(s.pop.Connected());
                EXPECT_FALSE(s.pop.OperationFailed());
                EXPECT_EQ(s.errorCode, 0);
                EXPECT_TRUE(s.t->Exhausted());
            }
        }
    }
}

// What happens when a server sends lines without end, or very long ones?
// The reply is bounded by the count STAT gave, and the session ends with
// a clear error rather than growing without limit.
TEST(MailboxIndex, AFloodedListEndsWithTooLong) {
    const struct {
        const char* name;
        std::string unit;
    } rows[] = {
        {"endless lines", "1 a\r\n"},
        {"one endless id", "x"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Indexed s(true, "+OK\r\n", 0);
        s.t->Endless(row.unit, 1u << 20);
        try {
            s.pop.ReadMailboxIndex();
            ADD_FAILURE() << "no exception";
        } catch (const ESocketError& e) {
            EXPECT_EQ(e.ErrorCode, EMSGSIZE);
        }
        EXPECT_FALSE(s.pop.Connected());
        // Bounded by four lines' room (three messages and one spare), far
        // below what the server offered.
        EXPECT_LT(s.t->Served, 4 * TKelPOP::IndexLineBound + 8 * 1024);
    }
}

// Does OpenMailbox, asked for the index too, send UIDL and LIST with STAT
// where the server pipelines, so that ReadMailboxIndex sends nothing and
// returns what was read then, judged as it judges it? Without pipelining
// they wait for ReadMailboxIndex; after a refused STAT nothing more is read.
TEST(MailboxIndex, OpenMailboxReadsTheIndexWithStatWherePipelined) {
    const std::string uidl = "+OK\r\n1 a\r\n2 b\r\n3 a\r\n.\r\n";
    const struct {
        const char* name;
        bool pipelining;
        std::string stat, replies; // the replies up to STAT's, and after it
        Strings opening, indexing; // what OpenMailbox sends, then ReadMailboxIndex
        bool connected, uidlsListed;
    } rows[] = {
        {"pipelined", true, "+OK 3 300\r\n", uidl + kList, {"CAPA", "STAT", "UIDL", "LIST"}, {}, true, true},
        {"pipelined, UIDL refused", true, "+OK 3 300\r\n", "-ERR no\r\n" + kList,
         {"CAPA", "STAT", "UIDL", "LIST"}, {}, true, false},
        {"lock-step", false, "+OK 3 300\r\n", uidl + kList, {"CAPA", "STAT"}, {"UIDL", "LIST"}, true, true},
        // The replies after a refused STAT are never read: the connection is closed.
        {"pipelined, STAT refused", true, "-ERR locked\r\n", "-ERR no\r\n-ERR no\r\n",
         {"CAPA", "STAT", "UIDL", "LIST"}, {}, false, false},
    };
    for (const auto& row : rows) {
        for (const size_t piece : {size_t{0}, size_t{1}}) {
            SCOPED_TRACE(std::string(row.name) + ", piece " + std::to_string(piece));
            Indexed s(row.pipelining, row.replies, piece, Indexed::Capa(row.pipelining) + row.stat, /*Opened=*/true);
            EXPECT_EQ(s.sent, row.opening);
            EXPECT_EQ(s.pop.Connected(), row.connected);
            // Every reply read, but those of commands not yet sent.
            EXPECT_EQ(s.t->Exhausted(), row.connected && row.indexing.empty());
            if (!row.connected)
                continue;
            s.sent.clear();
            const TMailboxIndex index = s.pop.ReadMailboxIndex();
            EXPECT_EQ(s.sent, row.indexing);
            EXPECT_EQ(index.UidlsListed, row.uidlsListed);
            // The id two messages share names neither, here as there.
            EXPECT_EQ(index.Uidls, row.uidlsListed ? (Strings{"", "b", ""}) : (Strings{"", "", ""}));
            EXPECT_EQ(index.Sizes, (Strings{"100", "200", "300"}));
            EXPECT_FALSE(s.pop.OperationFailed());
            EXPECT_TRUE(s.t->Exhausted());
        }
    }
}

// Only the messages asked for get TOP and LIST, in the order given,
// pipelined as a whole listing is.
TEST(MailboxIndex, ListsOnlyTheChosenMessages) {
    const std::string replies = "+OK\r\nSubject: two\r\n\r\n.\r\n+OK 2 200\r\n"
                                "+OK\r\nSubject: three\r\n\r\n.\r\n+OK 3 300\r\n";
    for (const bool pipelining : {true, false}) {
        SCOPED_TRACE(pipelining ? "pipelined" : "lock-step");
        Indexed s(pipelining, replies, 1);
        Strings listed;
        const size_t done = s.pop.ListMessages(std::vector<uint16_t>{2, 3},
                                               [&](uint16_t n, std::string& Header, const std::string& Size) {
                                                   listed.push_back(std::to_string(n) + "|" +
                                                                    Header.substr(0, Header.find("\r\n")) + "|" +
                                                                    Size);
                                                   return true;
                                               });
        EXPECT_EQ(done, 2u);
        EXPECT_EQ(listed, (Strings{"2|Subject: two|200", "3|Subject: three|300"}));
        EXPECT_EQ(s.sent, (Strings{"TOP 2 0", "list 2", "TOP 3 0", "list 3"}));
        EXPECT_TRUE(s.t->Exhausted());
    }
}
