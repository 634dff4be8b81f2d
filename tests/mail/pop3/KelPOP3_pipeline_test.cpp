// Listing and deleting with PIPELINING: the commands go out ahead of their
// replies in batches, read between, within a window; the replies are
// matched to their messages however the stream is cut, and a server without
// it gets the lock-step dialogue. After signing in, CAPA, UTF8 and STAT go
// together the same way.
#include "mail/pop3/KelPOP3.h"

#include "support/BoundedWaits.h"
#include "support/FakePop3Server.h"
#include "support/ScriptedTransport.h"

#include "mail/pop3/KelSocket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <thread>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kel;
using sweepbox::test::Chunking;
using sweepbox::test::FakePop3Server;
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

    Listing(bool Pipelining, const std::string& Replies, size_t Piece, const std::string& StatReply = "") {
        auto owned = std::make_unique<ScriptedTransport>();
        t = owned.get();
        t->LineAtATime = true;
        const std::string capa =
            Pipelining ? "+OK\r\nUSER\r\nPIPELINING\r\nTOP\r\n.\r\n" : "+OK\r\nUSER\r\nTOP\r\n.\r\n";
        t->Serve("+OK ready\r\n").Serve(capa);
        if (!StatReply.empty())
            t->Serve(StatReply);
        t->Serve(Replies, Piece);
        pop.SetTransport(std::move(owned));
        sweepbox::test::BoundWaits(pop);
        pop.Host = "127.0.0.1";
        pop.PipelineWindow = 4;
        pop.OnSendTextToSocket = [this](TObject*, const std::string& s) {
            sends.emplace_back(s.substr(0, s.size() - 2), t->Served);
        };
        pop.Connect();
        pop.ReadCapabilities();
        if (!StatReply.empty())
            pop.Stat();
        sends.clear();
    }
    size_t Delete(const std::vector<uint16_t>& Numbers, int StopAfter = 0) {
        return pop.DeleteMessages(Numbers, [&](uint16_t n) {
            listed.push_back(std::to_string(n));
            return StopAfter == 0 || static_cast<int>(listed.size()) < StopAfter;
        });
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

// What goes ahead of the first reply with the window open? One batch of
// about 64 KiB of commands, far more than a small fixed bound would let go,
// but not the whole pass: the rest is generated as the replies come.
TEST(Pipelining, CommandsGoInBatchesOfBoundedBytes) {
    Listing l(true, Replies(1, 5000), 0);
    l.pop.PipelineWindow = UINT16_MAX;
    EXPECT_EQ(l.List(1, 5000), 5000);
    const size_t ahead = l.SentBeforeFirstReply();
    size_t bytes = 0;
    for (size_t k = 0; k < ahead; ++k)
        bytes += l.sends[k].first.size() + 2;
    EXPECT_GT(bytes, 32768u);
    EXPECT_LE(bytes, 65536u + 32u); // the batch ends with the item that reaches 64 KiB
    EXPECT_LT(ahead, 2 * 5000u);
    EXPECT_EQ(l.listed, Rows(1, 5000));
    EXPECT_TRUE(l.t->Exhausted());
}

namespace {

std::string Accepted(size_t Count) {
    std::string r;
    for (size_t k = 0; k < Count; ++k)
        r += "+OK marked\r\n";
    return r;
}

} // namespace

// DELE in the order given, one OnDelete per accepted one, MsgCount lowered;
// ahead of the replies with PIPELINING, lock-step without.
TEST(PipelinedDeletion, SendsAheadAndCountsEveryAcceptedDele) {
    const std::vector<uint16_t> numbers = {9, 7, 6, 4, 3, 2};
    for (const bool pipelining : {true, false}) {
        for (const size_t piece : {size_t{0}, size_t{1}, size_t{5}}) {
            SCOPED_TRACE(std::string(pipelining ? "pipelined" : "lock-step") + ", piece " + std::to_string(piece));
            Listing l(pipelining, Accepted(6) + "+OK 3 3000\r\n", piece, "+OK 9 9000\r\n");
            std::vector<uint16_t> events;
            l.pop.OnDelete = [&](TObject*, uint16_t n) { events.push_back(n); };
            EXPECT_EQ(l.Delete(numbers), 6u);
            EXPECT_EQ(events, numbers);
            EXPECT_EQ(l.listed, (Strings{"9", "7", "6", "4", "3", "2"}));
            EXPECT_EQ(l.pop.MsgCount(), 3);
            // STAT proves the pass in step before anything could make it final.
            ASSERT_EQ(l.sends.size(), 7u);
            for (size_t k = 0; k < numbers.size(); ++k)
                EXPECT_EQ(l.sends[k].first, "DELE " + std::to_string(numbers[k]));
            EXPECT_EQ(l.sends[6].first, "STAT");
            // Pipelined, it goes ahead of the last DELEs' replies: no round trip of its own.
            if (pipelining)
                EXPECT_LT(l.sends[6].second + std::string("+OK marked\r\n").size(),
                          l.t->Served - std::string("+OK 3 3000\r\n").size());
            if (pipelining)
                EXPECT_EQ(l.SentBeforeFirstReply(), 4u);
            else if (piece == 1)
                for (size_t k = 1; k < numbers.size(); ++k)
                    EXPECT_GT(l.sends[k].second, l.sends[k - 1].second) << l.sends[k].first;
            EXPECT_TRUE(l.pop.Connected());
            EXPECT_TRUE(l.t->Exhausted());
        }
    }
}

// A refused DELE ends the pass with the connection dropped: no QUIT, so
// none of the DELEs becomes final; the ones sent after it go unanswered.
// A stop sends nothing more but reads what is on its way.
TEST(PipelinedDeletion, ARefusalDropsTheConnectionAndAStopReadsWhatIsInFlight) {
    {
        Listing l(true, Accepted(2) + "-ERR message 6 already deleted\r\n", 0);
        int32_t code = 0;
        l.pop.OnError = [&](TObject*, int32_t c, const std::string&) { code = c; };
        EXPECT_EQ(l.Delete({8, 7, 6, 5, 4}), 2u);
        EXPECT_EQ(l.listed, (Strings{"8", "7"}));
        EXPECT_EQ(code, popDeleteRefused);
        EXPECT_FALSE(l.pop.Connected());
        EXPECT_EQ(l.t->Written.find("QUIT"), std::string::npos);
    }
    {
        Listing l(true, Accepted(5) + "+OK 4 400\r\n" + "+OK 3 300\r\n", 0);
        // Four go ahead and a fifth once the first is read; the stop comes
        // with the second, and the three still on their way are read.
        EXPECT_EQ(l.Delete({9, 8, 7, 6, 5, 4, 3}, 2), 5u);
        EXPECT_EQ(l.listed, (Strings{"9", "8", "7", "6", "5"}));
        EXPECT_EQ(l.sends.size(), 6u);
        EXPECT_EQ(l.sends.back().first, "STAT");
        std::string size;
        l.pop.GetMsgSize(3, size);
        EXPECT_EQ(size, "300");
    }
    {
        Listing l(true, Accepted(2) + "+OK mar", 0);
        l.t->End();
        EXPECT_THROW(l.Delete({5, 4, 3}), ESocketError);
        EXPECT_EQ(l.listed, (Strings{"5", "4"}));
        EXPECT_FALSE(l.pop.Connected());
    }
}

// What proves a deletion pass in step before QUIT may make it final? The
// STAT after it must count the messages of the STAT before less the DELEs
// accepted, and nothing may come that no command asked for. Otherwise the
// connection is dropped without QUIT (nothing is deleted) and the pass
// fails as out of step; a DELE answered neither "+OK" nor "-ERR" is refused.
TEST(PipelinedDeletion, OnlyAPassProvenInStepCanEndWithQuit) {
    const struct {
        const char* name;
        std::string replies; // to DELE 5, 4, 3 and the STAT after them
        std::string unasked; // then there before QUIT is sent
        bool inStep;
        size_t accepted;
    } rows[] = {
        {"in step", Accepted(3) + "+OK 2 200\r\n", "", true, 3},
        {"STAT counts the marked ones too", Accepted(3) + "+OK 5 500\r\n", "", false, 3},
        {"a line more: STAT reads a DELE's answer", Accepted(4) + "+OK 2 200\r\n", "", false, 3},
        {"a line more after STAT", Accepted(3) + "+OK 2 200\r\n", "+OK\r\n", false, 3},
        {"STAT refused", Accepted(3) + "-ERR not now\r\n", "", true, 3},
        {"DELE answered neither", "+OK\r\nOK\r\n", "", true, 1},
    };
    for (const bool pipelining : {true, false}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (pipelining ? ", pipelined" : ", lock-step"));
            Listing l(pipelining, row.replies, 0, "+OK 5 500\r\n");
            if (!row.unasked.empty())
                l.t->ServeUnasked(row.unasked);
            l.t->Serve("+OK bye\r\n");
            bool outOfStep = false;
            try {
                EXPECT_EQ(l.Delete({5, 4, 3}), row.accepted);
                if (l.pop.Connected())
                    l.pop.Quit();
            } catch (const EKelProtocolError& e) {
                outOfStep = e.Fault == TProtocolFault::OutOfStep;
            }
            EXPECT_EQ(l.listed.size(), row.accepted);
            EXPECT_EQ(outOfStep, !row.inStep);
            EXPECT_FALSE(l.pop.Connected());
            const bool quitSent = l.t->Written.find("QUIT") != std::string::npos;
            EXPECT_EQ(quitSent, row.inStep && row.accepted == 3 && row.replies.find("-ERR") == std::string::npos);
        }
    }
}

// Over a real socket, the server sees a whole window of commands before it
// answers the first, and nothing more until the replies come; replies cut
// anywhere or sent all at once still reach the right messages.
TEST(PipelinedDeletion, OverASocketTheServerSeesAWindowBeforeAnyReply) {
    using namespace std::chrono_literals;
    FakePop3Server server;
    server.Send("+OK ready\r\n").Expect("CAPA").Send("+OK\r\nPIPELINING\r\n.\r\n");
    // Listing 1..6 in a window of 4 messages.
    for (int n = 1; n <= 4; ++n)
        server.Expect("TOP " + std::to_string(n) + " 0").Expect("list " + std::to_string(n));
    server.ExpectQuiet(150ms).Send(Replies(1, 2), Chunking::Of(3));
    server.Expect("TOP 5 0").Expect("list 5").Expect("TOP 6 0").Expect("list 6");
    server.Send(Replies(3, 6), Chunking::At(17));
    // Deleting five of them: four ahead, then the fifth after the first reply.
    server.Expect("DELE 6").Expect("DELE 5").Expect("DELE 4").Expect("DELE 3").ExpectQuiet(150ms);
    server.Send(Accepted(1)).Expect("DELE 1").Send(Accepted(4), Chunking::Bytewise());
    server.Expect("STAT").Send("+OK 1 100\r\n").Expect("QUIT").Send("+OK bye\r\n").ExpectClose();

    TKelPOP pop;
    sweepbox::test::BoundWaits(pop);
    pop.Host = "127.0.0.1";
    pop.Port = server.PortText();
    pop.PipelineWindow = 4;
    pop.Connect();
    ASSERT_TRUE(pop.ReadCapabilities());
    Strings rows;
    EXPECT_EQ(pop.ListMessages(1, 6,
                               [&](uint16_t n, const std::string& h, const std::string& size) {
                                   rows.push_back(std::to_string(n) + "|" + h.substr(0, h.find("\r\n")) + "|" +
                                                  size);
                                   return true;
                               }),
              6);
    EXPECT_EQ(rows, Rows(1, 6));
    EXPECT_EQ(pop.DeleteMessages({6, 5, 4, 3, 1}), 5u);
    pop.Quit();
    EXPECT_TRUE(server.Finished());
}

namespace {

// A server that reads slowly through a small receive buffer and answers
// each command as soon as it has read it, with a blocking send through a
// small send buffer: it waits for its replies to be read before it reads
// more. A client that stops reading while it waits to send would wait on it
// for ever. Every wait is bounded: a silent client ends the server.
class SlowServer {
  public:
    explicit SlowServer(std::string HeaderPad) : FPad(std::move(HeaderPad)) {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        // Inherited by the accepted socket, and so set before the handshake.
        ::setsockopt(FListen, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ::setsockopt(FListen, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(FListen, 1), 0);
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
        FPort = ntohs(a.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~SlowServer() {
        FThread.join();
        ::close(FListen);
    }
    std::string PortText() const { return std::to_string(FPort); }
    // Commands read so far.
    std::atomic<size_t> CommandsRead{0};

  private:
    bool SendAll(int Fd, const std::string& Bytes) {
        for (size_t done = 0; done < Bytes.size();) {
            pollfd p{Fd, POLLOUT, 0};
            if (::poll(&p, 1, sweepbox::test::kClientWaitMs) <= 0)
                return false;
            const ssize_t n = ::send(Fd, Bytes.data() + done, Bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    std::string Answer(const std::string& Command) {
        if (Command == "CAPA")
            return "+OK\r\nPIPELINING\r\nTOP\r\n.\r\n";
        if (Command.compare(0, 4, "TOP ") == 0)
            return "+OK\r\nSubject: m" + Command.substr(4, Command.size() - 6) + "\r\nX-Pad: " + FPad + "\r\n\r\n.\r\n";
        if (Command.compare(0, 5, "list ") == 0)
            return "+OK " + Command.substr(5) + " " + std::to_string(100 + std::atoi(Command.c_str() + 5)) + "\r\n";
        if (Command.compare(0, 5, "DELE ") == 0) {
            ++FMarked;
            return "+OK marked\r\n";
        }
        if (Command == "STAT")
            return "+OK " + std::to_string(5000 - FMarked) + " 1000\r\n";
        if (Command == "QUIT")
            return "+OK bye\r\n";
        return "-ERR unknown\r\n";
    }
    void Serve() {
        pollfd l{FListen, POLLIN, 0};
        if (::poll(&l, 1, sweepbox::test::kClientWaitMs) <= 0)
            return;
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        std::string in;
        bool open = SendAll(fd, "+OK ready\r\n");
        while (open) {
            pollfd p{fd, POLLIN, 0};
            char buf[256];
            if (::poll(&p, 1, sweepbox::test::kClientWaitMs) <= 0)
                break;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            in.append(buf, static_cast<size_t>(n));
            std::string out;
            for (size_t eol; open && (eol = in.find("\r\n")) != std::string::npos;) {
                const std::string command = in.substr(0, eol);
                in.erase(0, eol + 2);
                ++CommandsRead;
                out += Answer(command);
                open = command != "QUIT";
            }
            open = SendAll(fd, out) && open;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::close(fd);
    }
    std::string FPad;
    int FListen = -1;
    uint16_t FPort = 0;
    size_t FMarked = 0;
    std::thread FThread;
};

// The client's own send buffer small as well, so a batch cannot vanish
// into the kernel at once: it goes while the replies come.
class SmallBufferSocket : public TKelSocket {
  public:
    void Open() override {
        TKelSocket::Open();
        const int small = 4096;
        ::setsockopt(Fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
};

} // namespace

// What happens with a whole pass in flight against a server that waits for
// its replies to be read before it reads more? The client reads while its
// batches wait to go: the replies come in order while the server has read
// only part of the first batch, 5,000 listed and 5,000 deleted, no deadlock.
TEST(Pipelining, AWholePassGoesToAServerThatReadsSlowly) {
    SlowServer server(std::string(400, 'x'));
    TKelPOP pop;
    pop.SetTransport(std::make_unique<SmallBufferSocket>());
    sweepbox::test::BoundWaits(pop);
    pop.Host = "127.0.0.1";
    pop.Port = server.PortText();
    pop.Connect();
    ASSERT_TRUE(pop.Connected());
    ASSERT_TRUE(pop.ReadCapabilities());
    ASSERT_TRUE(pop.PipeliningOffered());
    pop.Stat();
    ASSERT_EQ(pop.StatCount(), 5000);

    // How many commands the server had read when the first reply of the
    // listing came.
    size_t readAtFirstReply = 0;
    pop.OnReceiveTextFromSocket = [&](TObject*, const std::string&) {
        if (readAtFirstReply == 0)
            readAtFirstReply = server.CommandsRead;
    };
    const size_t before = server.CommandsRead;
    size_t rows = 0;
    bool inOrder = true;
    EXPECT_EQ(pop.ListMessages(1, 5000,
                               [&](uint16_t n, const std::string& h, const std::string& size) {
                                   inOrder = inOrder && h.substr(0, h.find("\r\n")) == "Subject: m" + std::to_string(n) &&
                                             size == std::to_string(100 + n);
                                   ++rows;
                                   return true;
                               }),
              5000);
    EXPECT_EQ(rows, 5000u);
    EXPECT_TRUE(inOrder);
    // The first batch alone is over a thousand commands.
    EXPECT_LT(readAtFirstReply - before, 1000u);

    std::vector<uint16_t> numbers;
    for (int n = 5000; n >= 1; --n)
        numbers.push_back(static_cast<uint16_t>(n));
    EXPECT_EQ(pop.DeleteMessages(numbers), 5000u);
    EXPECT_EQ(pop.MsgCount(), 0);
    EXPECT_TRUE(pop.Connected());
    pop.Quit();
    EXPECT_FALSE(pop.OperationFailed());
}

// After signing in: CAPA, UTF8 and STAT in one send where the CAPA before
// signing in listed PIPELINING, each reply judged as the single calls judge
// it; one at a time without it, UTF8 then only where the new CAPA offers it.
TEST(OpenMailbox, AsksCapaUtf8AndStatTogetherWhereTheServerPipelines) {
    const std::string capaPipelining = "+OK\r\nPIPELINING\r\nUTF8\r\nTOP\r\n.\r\n";
    const struct {
        const char* name;
        std::string before; // the CAPA before signing in
        std::string replies;
        Strings commands;
        bool together;
        bool utf8;
        int64_t count; // -1: STAT refused
    } rows[] = {
        {"pipelined", capaPipelining, capaPipelining + "+OK UTF8 on\r\n+OK 3 300\r\n", {"CAPA", "UTF8", "STAT"},
         true, true, 3},
        {"pipelined, no UTF8", "+OK\r\nPIPELINING\r\n.\r\n", "+OK\r\nPIPELINING\r\n.\r\n+OK 0 0\r\n",
         {"CAPA", "STAT"}, true, false, 0},
        {"pipelined, CAPA and UTF8 refused", capaPipelining, "-ERR no\r\n-ERR not now\r\n+OK 2 20\r\n",
         {"CAPA", "UTF8", "STAT"}, true, false, 2},
        {"pipelined, STAT refused", capaPipelining, capaPipelining + "+OK\r\n-ERR locked\r\n",
         {"CAPA", "UTF8", "STAT"}, true, true, -1},
        {"lock-step, UTF8 offered only now", "+OK\r\nTOP\r\n.\r\n", "+OK\r\nUTF8\r\n.\r\n+OK\r\n+OK 4 40\r\n",
         {"CAPA", "UTF8", "STAT"}, false, true, 4},
        {"lock-step, UTF8 no longer offered", "+OK\r\nUTF8\r\n.\r\n", "+OK\r\nTOP\r\n.\r\n+OK 1 10\r\n",
         {"CAPA", "STAT"}, false, false, 1},
    };
    for (const auto& row : rows) {
        for (const size_t piece : {size_t{0}, size_t{1}}) {
            SCOPED_TRACE(std::string(row.name) + ", piece " + std::to_string(piece));
            TKelPOP pop;
            auto owned = std::make_unique<ScriptedTransport>();
            ScriptedTransport* t = owned.get();
            t->LineAtATime = true;
            t->Serve("+OK ready\r\n").Serve(row.before).Serve(row.replies, piece);
            pop.SetTransport(std::move(owned));
            sweepbox::test::BoundWaits(pop);
            pop.Host = "127.0.0.1";
            std::vector<std::pair<std::string, size_t>> sends;
            int32_t code = 0;
            pop.OnError = [&](TObject*, int32_t c, const std::string&) { code = c; };
            pop.Connect();
            pop.ReadCapabilities();
            pop.OnSendTextToSocket = [&](TObject*, const std::string& s) {
                sends.emplace_back(s.substr(0, s.size() - 2), t->Served);
            };
            EXPECT_EQ(pop.OpenMailbox(), row.utf8);
            Strings commands;
            for (const auto& [command, served] : sends)
                commands.push_back(command);
            EXPECT_EQ(commands, row.commands);
            // Together: every command out before any reply is read.
            // Lock-step: each after the reply before it.
            for (size_t k = 1; k < sends.size(); ++k)
                if (row.together)
                    EXPECT_EQ(sends[k].second, sends[0].second);
                else
                    EXPECT_GT(sends[k].second, sends[k - 1].second);
            EXPECT_EQ(pop.Connected(), row.count >= 0);
            if (row.count >= 0) {
                EXPECT_EQ(pop.StatCount(), row.count);
                EXPECT_FALSE(pop.OperationFailed());
            } else {
                EXPECT_EQ(code, popMailboxRefused);
            }
            EXPECT_TRUE(t->Exhausted());
        }
    }
}
