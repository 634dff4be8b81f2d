// A POP3 server for tests on a loopback port, served by a thread of its own.
// Scripted mode: the test lists what the client must send and what the server
// answers; Finished() checks the whole script was played and nothing else
// was sent. Mailbox mode: a plausible server over a list of raw messages
// (deletions carried out at QUIT), for tests that do not care about each line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace sweepbox::test {

// How one server reply is cut into separate sends.
struct Chunking {
    size_t Size = 0; // pieces of this size; 0: one send
    size_t Cut = 0;  // when non-zero: two sends, split at this offset

    static Chunking Whole() { return {}; }
    static Chunking Bytewise() { return {1, 0}; }
    static Chunking Of(size_t size) { return {size, 0}; }
    static Chunking At(size_t cut) { return {0, cut}; }
    std::vector<std::string> Split(const std::string& Bytes) const;
};

struct MailboxOptions {
    std::chrono::milliseconds ReplyDelay{0};          // before every reply, greeting included
    std::map<std::string, std::string> Overrides;     // command line -> raw reply sent instead
    size_t ChunkSize = 0; // multi-line replies go in pieces of this size (0: whole)
    bool Pipelining = false; // CAPA is answered, PIPELINING among the capabilities
    bool Utf8 = false;       // CAPA is answered, UTF8 among the capabilities; UTF8 is accepted
    // When non-zero, the last message goes on after its given text with
    // generated body lines (GeneratedLine) to about this many bytes, made
    // while they are sent and never held whole: a huge message costs the
    // test no memory. LIST, STAT, RETR and TOP n k serve it as one message.
    uint64_t GrowLastTo = 0;
};

class FakePop3Server {
  public:
    FakePop3Server(); // scripted mode; add steps before or while the client talks
    explicit FakePop3Server(std::vector<std::string> Messages, MailboxOptions Options = {});
    ~FakePop3Server();
    FakePop3Server(const FakePop3Server&) = delete;
    FakePop3Server& operator=(const FakePop3Server&) = delete;

    // What mailbox mode serves for a raw message.
    static std::string NormalizeCrLf(const std::string& Raw);
    static std::string DotStuff(const std::string& CrLfText);
    // A message of at least Size bytes with CR LF line ends whose lines
    // need stuffing: lone "." lines and lines beginning with "..".
    static std::string DottedMessage(size_t Size);
    // Body line Index of what MailboxOptions::GrowLastTo generates, CR LF
    // included; every line is as long as the first.
    static std::string GeneratedLine(uint64_t Index);

    uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }

    // Script steps. After Close, Reset (RST: the client's next socket call
    // fails) or ExpectClose, a later step waits for a new connection.
    FakePop3Server& Expect(const std::string& Line); // the client sends Line CR LF
    FakePop3Server& Send(const std::string& Bytes, Chunking How = Chunking::Whole());
    // Sends while the client may give up and close; then it must close.
    FakePop3Server& SendUntilClosed(const std::string& Bytes);
    FakePop3Server& Hold(); // a stalled server, until Release()
    FakePop3Server& Close();
    FakePop3Server& Reset();
    FakePop3Server& ExpectClose();
    // The client sends nothing for this long (it waits for replies).
    FakePop3Server& ExpectQuiet(std::chrono::milliseconds For);
    void Release();

    // Paced: each chunk waits until the client reported (ClientReceived)
    // every byte sent before it, so each arrives in a receive of its own.
    void SetPaced(bool On);
    void ClientReceived(size_t Count);

    // Waits until every step was played; fails for a failed step or for
    // bytes the client sent beyond the script.
    ::testing::AssertionResult Finished(std::chrono::milliseconds Deadline = std::chrono::seconds(20));

    // Mailbox mode.
    std::vector<std::string> Commands() const;  // lines received, over all sessions
    std::vector<std::string> Remaining() const; // not deleted by a session ended with QUIT
    void HoldReplies(bool Held);
    bool WaitForCommands(size_t Count, std::chrono::milliseconds Deadline = std::chrono::seconds(20));
    // Bytes sent to clients so far, over all connections.
    uint64_t BytesSent() const;

  private:
    struct Step;
    struct Conn;
    struct MailboxMsg {
        std::string raw, crlf; // as given; with CR LF line ends, as served
        bool gone = false;     // deleted by a session that ended with QUIT
        uint64_t generated = 0; // lines of GeneratedLine after crlf
        uint64_t Size() const { return crlf.size() + generated * GeneratedLine(0).size(); }
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
    // The reply to Line; Generated receives how many generated lines
    // follow it, before the terminator line then still to send.
    std::string Answer(Session& s, const std::string& Line, bool& MultiLine, uint64_t& Generated);
    bool Stopping() const;
    bool Accept(Conn& c);
    bool ReadMore(Conn& c, int TimeoutMs);
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
    uint64_t FTotalSent = 0;
    std::vector<Step> FSteps;
    size_t FNextStep = 0;
    bool FIdle = false, FDrainRequested = false, FDrained = false;
    std::string FFailure, FUnexpected;
    std::vector<std::string> FCommands;
    std::vector<MailboxMsg> FMailbox;
    std::thread FThread;
};

} // namespace sweepbox::test
