// A POP3 server for tests, on 127.0.0.1 at a port the system picks, served by
// a thread of its own. Two modes:
//
// Scripted: the test lists what the client must send and what the server
// answers, in order. Every byte the client sends is recorded; Finished()
// checks that the whole script was played and that nothing else was sent.
//
//     FakePop3Server srv;
//     srv.Send("+OK ready\r\n").Expect("USER u").Send("+OK\r\n", Chunking::Bytewise());
//     ... drive the client at "127.0.0.1", srv.PortText() ...
//     EXPECT_TRUE(srv.Finished());
//
// Mailbox: a plausible server over a list of raw messages (USER, PASS, STAT,
// LIST, TOP n 0, RETR, DELE, UIDL, QUIT; dot-stuffing; deletions carried out
// at QUIT), for tests that do not care about each line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace sweepbox::test {

// How one server reply is cut into separate sends.
struct Chunking {
    // Chunk sizes in order; after the list the last size repeats. Empty: one send.
    std::vector<size_t> Sizes;
    // Cut points (byte offsets), used instead of Sizes when non-empty.
    std::vector<size_t> Cuts;

    static Chunking Whole() { return {}; }
    static Chunking Bytewise() { return {{1}, {}}; }
    static Chunking Of(std::initializer_list<size_t> sizes) { return {sizes, {}}; }
    static Chunking At(std::initializer_list<size_t> cuts) { return {{}, cuts}; }
    static Chunking At(std::vector<size_t> cuts) { return {{}, std::move(cuts)}; }

    // The pieces of Bytes under this chunking (never an empty piece).
    std::vector<std::string> Split(const std::string& Bytes) const;
};

struct MailboxOptions {
    std::string User = "test";
    std::string Password = "secret";
    std::string Greeting = "+OK Fake POP3 server ready.";
    // Wait before every reply (greeting included); lets UI tests see busy states.
    std::chrono::milliseconds ReplyDelay{0};
    // Exact command line (without CR LF) -> raw reply bytes to send instead.
    std::map<std::string, std::string> Overrides;
    // Each multi-line reply (RETR, TOP, LIST and UIDL listings) sent in pieces
    // of this size (0: whole). Single-line replies always go whole: the client
    // reads each with one receive and never joins pieces of one.
    size_t ChunkSize = 0;
};

class FakePop3Server {
  public:
    // Scripted mode; add steps before or while the client talks.
    FakePop3Server();
    // Mailbox mode over these raw messages (LF or CR LF line ends).
    explicit FakePop3Server(std::vector<std::string> Messages, MailboxOptions Options = {});
    ~FakePop3Server();
    FakePop3Server(const FakePop3Server&) = delete;
    FakePop3Server& operator=(const FakePop3Server&) = delete;

    // What mailbox mode serves for a raw message: its line ends made CR LF
    // (ending with one), and that text dot-stuffed with the "." line added.
    static std::string NormalizeCrLf(const std::string& Raw);
    static std::string DotStuff(const std::string& CrLfText);

    uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }

    // ---- script steps (scripted mode); each returns *this ----
    // The client must send Line followed by CR LF.
    FakePop3Server& Expect(const std::string& Line);
    // Send bytes, cut as given.
    FakePop3Server& Send(const std::string& Bytes, Chunking How = Chunking::Whole());
    // Send bytes while the client may close the connection at any time (a
    // client that gives up on a flood); then the client must close.
    FakePop3Server& SendUntilClosed(const std::string& Bytes);
    FakePop3Server& Pause(std::chrono::milliseconds Duration);
    // Wait until Release() (or the server is destroyed): a server that stalls.
    FakePop3Server& Hold();
    // Close the connection now (with none open: accept the next client and
    // close at once); a later step waits for a new connection.
    FakePop3Server& Close();
    // Reset the connection (RST instead of FIN): the client's next receive
    // or send fails at the socket. A later step waits for a new connection.
    FakePop3Server& Reset();
    // The client must close the connection (end of stream); then the server
    // closes too, and a later step waits for a new connection.
    FakePop3Server& ExpectClose();

    // Ends a Hold step.
    void Release();

    // Pacing: when on, each chunk is sent only after the client has received
    // every byte sent before it, so each chunk arrives in a receive of its
    // own. The client reports what it received with ClientReceived (bind the
    // POP3 component's OnReceiveTextFromSocket to it).
    void SetPaced(bool On);
    void ClientReceived(size_t Count);

    // Waits (up to Deadline) until every step was played, then checks that no
    // step failed and that the client sent nothing beyond the script.
    ::testing::AssertionResult Finished(std::chrono::milliseconds Deadline = std::chrono::seconds(20));

    // Every byte the client sent so far, over all connections.
    std::string ClientBytes() const;

    // ---- mailbox mode ----
    // Command lines received (CR LF removed), over all sessions.
    std::vector<std::string> Commands() const;
    // The messages not deleted by a session that ended with QUIT.
    std::vector<std::string> Remaining() const;
    // While held, the server waits before each reply until released again.
    void HoldReplies(bool Held);
    // Waits until the server has received at least Count command lines.
    bool WaitForCommands(size_t Count, std::chrono::milliseconds Deadline = std::chrono::seconds(20));

  private:
    struct Step;
    struct Conn;
    struct MailboxMsg {
        std::string raw, crlf; // as given; with CR LF line ends, as served
        bool gone = false;     // deleted by a session that ended with QUIT
    };
    template <class F> auto Locked(F&& f) const {
        std::lock_guard<std::mutex> lk(FMutex);
        return f();
    }
    void Start(void (FakePop3Server::*Run)());
    FakePop3Server& AddStep(Step s);
    void RunScript();
    void RunMailbox();
    bool PlayStep(Conn& c, const Step& s, std::string& Error);
    struct Session;
    void ServeSession(Conn& c);
    // The reply to one command line; called with FMutex held.
    std::string Answer(Session& s, const std::string& Line, bool& MultiLine);
    bool Stopping() const;
    bool Accept(Conn& c);
    bool ReadMore(Conn& c, int TimeoutMs);
    // Reads while NeedMore() holds, until end of stream, the deadline or stop.
    void ReadWhile(Conn& c, const std::function<bool()>& NeedMore);
    bool SendPieces(Conn& c, const std::vector<std::string>& Pieces);
    bool WaitClientCaughtUp(Conn& c);
    void CloseConn(Conn& c);
    void Wake();

    int FListenFd = -1;
    int FWake[2] = {-1, -1}; // a byte here ends the thread's poll
    uint16_t FPort = 0;
    bool FMailboxMode = false;
    MailboxOptions FOptions;

    mutable std::mutex FMutex;
    std::condition_variable FCond;
    bool FStop = false, FReleased = false, FRepliesHeld = false, FPaced = false;
    size_t FClientReceived = 0, FServerSent = 0; // on the current connection
    std::vector<Step> FSteps;
    size_t FNextStep = 0;
    bool FIdle = false, FDrainRequested = false, FDrained = false;
    std::string FFailure, FClientBytes, FUnexpected;
    std::vector<std::string> FCommands;
    std::vector<MailboxMsg> FMailbox;
    std::thread FThread;
};

} // namespace sweepbox::test
