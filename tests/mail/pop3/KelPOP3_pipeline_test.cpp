// Listing with PIPELINING: the commands go out ahead of their replies within
// a bounded window, the replies are matched to their messages however the
// stream is cut, and a server without it gets the lock-step dialogue.
#include "pop3/KelPOP3.h"

#include "support/ScriptedTransport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace kel;
using sweepbox::test::ScriptedTransport;

namespace {

using Strings = std::vector<std::string>;

std::string Header(int n) { return "Subject: m" + std::to_string(n) + "\r\n\r\n"; }

// The replies to TOP n 0 and list n for messages First..Last.
std::string Replies(int First, int Last) {
    std::string r;
    for (int n = First; n <= Last; ++n)
        r += "+OK\r\n" + Header(n) + ".\r\n+OK " + std::to_string(n) + " " + std::to_string(100 + n) + "\r\n";
    return r;
}

struct Listing {
    TKelPOP pop;
    ScriptedTransport* t = nullptr;
    // For each command sent: the command and how many reply bytes had been read.
    std::vector<std::pair<std::string, size_t>> sends;
    Strings listed;

    Listing(bool Pipelining, const std::string& Replies, size_t Piece) {
        auto owned = std::make_unique<ScriptedTransport>();
        t = owned.get();
        const std::string capa =
            Pipelining ? "+OK\r\nUSER\r\nPIPELINING\r\nTOP\r\n.\r\n" : "+OK\r\nUSER\r\nTOP\r\n.\r\n";
        t->Serve("+OK ready\r\n").Serve(capa).Serve(Replies, Piece);
        pop.SetTransport(std::move(owned));
        pop.Host = "127.0.0.1";
        pop.PipelineWindow = 4;
        pop.OnSendTextToSocket = [this](TObject*, const std::string& s) {
            sends.emplace_back(s.substr(0, s.size() - 2), t->Served);
        };
        pop.Connect();
        pop.ReadCapabilities();
        sends.clear();
    }
    uint16_t List(uint16_t First, uint16_t Last, int StopAfter = 0) {
        return pop.ListMessages(First, Last, [&](uint16_t n, const std::string& h, const std::string& size) {
            listed.push_back(std::to_string(n) + "|" + h.substr(0, h.find("\r\n")) + "|" + size);
            return StopAfter == 0 || static_cast<int>(listed.size()) < StopAfter;
        });
    }
    // How many messages had commands out before the replies of the first
    // message were read.
    size_t SentBeforeFirstReply() const {
        size_t k = 0;
        while (k < sends.size() && sends[k].second == sends[0].second)
            ++k;
        return k;
    }
};

Strings Rows(int First, int Last) {
    Strings r;
    for (int n = First; n <= Last; ++n)
        r.push_back(std::to_string(n) + "|Subject: m" + std::to_string(n) + "|" + std::to_string(100 + n));
    return r;
}

} // namespace

// The same rows however the replies are cut; with PIPELINING the window is
// filled before the first reply is read and never passed.
TEST(Pipelining, SendsAheadWithinTheWindowAndMatchesEveryReply) {
    for (const bool pipelining : {true, false}) {
        for (const size_t piece : {size_t{0}, size_t{1}, size_t{7}}) {
            SCOPED_TRACE(std::string(pipelining ? "pipelined" : "lock-step") + ", piece " + std::to_string(piece));
            Listing l(pipelining, Replies(1, 10), piece);
            EXPECT_EQ(l.List(1, 10), 10);
            EXPECT_EQ(l.listed, Rows(1, 10));
            EXPECT_TRUE(l.pop.Connected());
            Strings commands;
            for (const auto& [command, served] : l.sends)
                commands.push_back(command);
            ASSERT_EQ(commands.size(), 20u);
            // Commands go in message order, TOP before list.
            for (int n = 1; n <= 10; ++n) {
                EXPECT_EQ(commands[static_cast<size_t>(2 * n - 2)], "TOP " + std::to_string(n) + " 0");
                EXPECT_EQ(commands[static_cast<size_t>(2 * n - 1)], "list " + std::to_string(n));
            }
            if (pipelining) {
                EXPECT_EQ(l.SentBeforeFirstReply(), 8u); // four messages, two commands each
            } else if (piece == 1) {
                // Lock-step: every command waits for the reply before it
                // (seen where each receive takes a single byte).
                for (size_t k = 1; k < l.sends.size(); ++k)
                    EXPECT_GT(l.sends[k].second, l.sends[k - 1].second) << l.sends[k].first;
            }
            EXPECT_TRUE(l.t->Exhausted());
        }
    }
}

// Stopped by the caller: nothing more is sent, the replies on their way are
// read, and the session stays in step for what follows.
TEST(Pipelining, AStopReadsTheRepliesInFlightAndSendsNothingMore) {
    Listing l(true, Replies(1, 5) + "+OK 6 700\r\n", 0);
    // Four messages go ahead, a fifth once the first is read; the stop comes
    // with the second, and 3 to 5 are still on their way.
    EXPECT_EQ(l.List(1, 10, 2), 5);
    EXPECT_EQ(l.listed, Rows(1, 5));
    EXPECT_EQ(l.sends.size(), 10u);
    EXPECT_EQ(l.sends.back().first, "list 5");
    std::string size;
    l.pop.GetMsgSize(6, size);
    EXPECT_EQ(size, "700");
}

// A refused command ends the listing with the connection closed; the
// message's row still comes with what is known of it.
TEST(Pipelining, ARefusalEndsTheListing) {
    const struct {
        const char* name;
        std::string replies;
        Strings rows;
        int32_t code;
    } rows[] = {
        {"TOP refused", Replies(1, 2) + "-ERR gone\r\n", {Rows(1, 2)[0], Rows(1, 2)[1], "3||"}, popHeaderRefused},
        {"list refused", Replies(1, 1) + "+OK\r\n" + Header(2) + ".\r\n-ERR busy\r\n",
         {Rows(1, 1)[0], "2|Subject: m2|"}, popMailboxRefused},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Listing l(true, row.replies, 0);
        int32_t code = 0;
        l.pop.OnError = [&](TObject*, int32_t c, const std::string&) { code = c; };
        l.List(1, 10);
        EXPECT_EQ(l.listed, row.rows);
        EXPECT_EQ(code, row.code);
        EXPECT_FALSE(l.pop.Connected());
        EXPECT_EQ(l.t->Written.find("QUIT"), std::string::npos);
    }
}

// The server closing in the middle: the transport error path, as a receive does.
TEST(Pipelining, TheServerClosingInTheMiddleFails) {
    Listing l(true, Replies(1, 3) + "+OK\r\nSubject: m4\r\n", 0);
    l.t->End();
    EXPECT_THROW(l.List(1, 10), ESocketError);
    EXPECT_EQ(l.listed, Rows(1, 3));
    EXPECT_FALSE(l.pop.Connected());
}
