#include "support/FakePop3Server.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sweepbox::test {

namespace {

using Clock = std::chrono::steady_clock;
// Generous: sanitizer builds are slow.
constexpr auto kStepDeadline = std::chrono::seconds(30);

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// Shows bytes readably in failure messages.
std::string Visible(const std::string& s, size_t max = 200) {
    const std::string shown = ::testing::PrintToString(s.substr(0, max));
    return s.size() > max ? shown + "... (" + std::to_string(s.size()) + " bytes)" : shown;
}

void DrainPipe(int fd) {
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

} // namespace

std::vector<std::string> Chunking::Split(const std::string& Bytes) const {
    if (Cut > 0 && Cut < Bytes.size())
        return {Bytes.substr(0, Cut), Bytes.substr(Cut)};
    const size_t size = Size > 0 ? Size : std::max<size_t>(1, Bytes.size());
    std::vector<std::string> pieces;
    for (size_t pos = 0; pos < Bytes.size(); pos += size)
        pieces.push_back(Bytes.substr(pos, size));
    return pieces;
}

std::string FakePop3Server::DottedMessage(size_t Size) {
    std::string m = "From: big@example.org\r\nSubject: dots\r\n\r\n";
    for (size_t i = 0; m.size() < Size; ++i)
        m += i % 7 == 0 ? ".\r\n" : (i % 5 == 0 ? ".." : "line ") + std::to_string(i) + "\r\n";
    return m;
}

std::string FakePop3Server::GeneratedLine(uint64_t Index) {
    char line[64];
    std::snprintf(line, sizeof line, "Generated line %012llu of a large message.\r\n",
                  static_cast<unsigned long long>(Index));
    return line;
}

std::string FakePop3Server::NormalizeCrLf(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' || raw[i] == '\n') {
            out += "\r\n";
            if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
                ++i;
        } else {
            out += raw[i];
        }
    }
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)
        out += "\r\n";
    return out;
}

std::string FakePop3Server::DotStuff(const std::string& crlfText) {
    std::string out;
    for (size_t pos = 0; pos < crlfText.size();) {
        size_t eol = std::min(crlfText.find("\r\n", pos), crlfText.size());
        if (crlfText[pos] == '.')
            out += '.';
        out.append(crlfText, pos, eol - pos).append("\r\n");
        pos = eol + 2;
    }
    return out + ".\r\n";
}

struct FakePop3Server::Step {
    enum Kind { ExpectBytes, SendBytes, SendTolerant, HoldOn, CloseConn, ResetConn, AwaitClose, AwaitQuiet };
    Kind kind = ExpectBytes;
    std::string bytes{};
    std::vector<std::string> pieces{};
    int quietMs = 0;

    std::string Describe() const {
        static const char* const names[] = {"expect", "send",  "send until closed", "hold",
                                            "close",  "reset", "expect close", "expect quiet"};
        return names[kind] + (bytes.empty() ? std::string() : " " + Visible(bytes, 60));
    }
};

struct FakePop3Server::Conn {
    int fd = -1;
    std::string inbox{}; // client bytes not yet matched by a step
    bool eof = false;
};

void FakePop3Server::Start(void (FakePop3Server::*Run)()) {
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (FListenFd < 0 || ::bind(FListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListenFd, 16) != 0 ||
        ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("fake POP3 server: ") + std::strerror(errno));
    FPort = ntohs(addr.sin_port);
    FThread = std::thread(Run, this);
}

FakePop3Server::FakePop3Server() { Start(&FakePop3Server::RunScript); }

FakePop3Server::FakePop3Server(std::vector<std::string> Messages, MailboxOptions Options)
    : FMailboxMode(true), FOptions(std::move(Options)) {
    for (auto& m : Messages)
        FMailbox.push_back({m, NormalizeCrLf(m)});
    if (FOptions.GrowLastTo > 0 && !FMailbox.empty() && FMailbox.back().crlf.size() < FOptions.GrowLastTo)
        FMailbox.back().generated = (FOptions.GrowLastTo - FMailbox.back().crlf.size()) / GeneratedLine(0).size();
    Start(&FakePop3Server::RunMailbox);
}

FakePop3Server::~FakePop3Server() {
    Locked([&] { FStop = true; });
    FCond.notify_all();
    Wake();
    if (FThread.joinable())
        FThread.join();
    for (int fd : {FListenFd, FWake[0], FWake[1]})
        if (fd >= 0)
            ::close(fd);
}

void FakePop3Server::Wake() {
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(FWake[1], &b, 1);
}

bool FakePop3Server::Stopping() const {
    return Locked([&] { return FStop; });
}

FakePop3Server& FakePop3Server::AddStep(Step s) {
    Locked([&] { FSteps.push_back(std::move(s)); });
    Wake();
    return *this;
}

FakePop3Server& FakePop3Server::Expect(const std::string& Line) {
    return AddStep({Step::ExpectBytes, Line + "\r\n"});
}
FakePop3Server& FakePop3Server::Send(const std::string& Bytes, Chunking How) {
    return AddStep({Step::SendBytes, Bytes, How.Split(Bytes)});
}
FakePop3Server& FakePop3Server::SendUntilClosed(const std::string& Bytes) {
    return AddStep({Step::SendTolerant, Bytes, {Bytes}});
}
FakePop3Server& FakePop3Server::Hold() { return AddStep({Step::HoldOn}); }
FakePop3Server& FakePop3Server::Close() { return AddStep({Step::CloseConn}); }
FakePop3Server& FakePop3Server::Reset() { return AddStep({Step::ResetConn}); }
FakePop3Server& FakePop3Server::ExpectClose() { return AddStep({Step::AwaitClose}); }
FakePop3Server& FakePop3Server::ExpectQuiet(std::chrono::milliseconds For) {
    Step s{Step::AwaitQuiet};
    s.quietMs = static_cast<int>(For.count());
    return AddStep(std::move(s));
}

void FakePop3Server::Release() {
    Locked([&] { FReleased = true; });
    FCond.notify_all();
}

void FakePop3Server::SetPaced(bool On) { Locked([&] { FPaced = On; }); }

void FakePop3Server::ClientReceived(size_t Count) {
    Locked([&] { FClientReceived += Count; });
    Wake();
}

std::vector<std::string> FakePop3Server::Commands() const { return Locked([&] { return FCommands; }); }

::testing::AssertionResult FakePop3Server::Finished(std::chrono::milliseconds Deadline) {
    std::unique_lock<std::mutex> lk(FMutex);
    const auto until = Clock::now() + Deadline;
    bool done = FCond.wait_until(lk, until, [&] {
        return FIdle && (FNextStep == FSteps.size() || !FFailure.empty());
    });
    if (!FFailure.empty())
        return ::testing::AssertionFailure() << FFailure;
    if (!done)
        return ::testing::AssertionFailure()
               << "script not finished; waiting at step " << FNextStep + 1 << " ("
               << (FNextStep < FSteps.size() ? FSteps[FNextStep].Describe() : "") << ")";
    // Have the thread read what the client sent last, so stray bytes count.
    FDrained = false;
    FDrainRequested = true;
    lk.unlock();
    Wake();
    lk.lock();
    FCond.wait_until(lk, until, [&] { return FDrained; });
    if (!FUnexpected.empty())
        return ::testing::AssertionFailure()
               << "client sent bytes beyond the script: " << Visible(FUnexpected);
    return ::testing::AssertionSuccess();
}

bool FakePop3Server::Accept(Conn& c) {
    const auto deadline = Clock::now() + kStepDeadline;
    while (c.fd < 0) {
        if (Stopping())
            return false;
        pollfd p[2] = {{FListenFd, POLLIN, 0}, {FWake[0], POLLIN, 0}};
        if (::poll(p, 2, MsLeft(deadline)) == 0)
            return false;
        if (p[1].revents)
            DrainPipe(FWake[0]);
        if (!(p[0].revents & POLLIN))
            continue;
        int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        c = Conn{};
        c.fd = fd;
        Locked([&] { FServerSent = FClientReceived = 0; });
    }
    return true;
}

// False on end of stream or timeout; true when data arrived or the wake pipe fired.
bool FakePop3Server::ReadMore(Conn& c, int TimeoutMs) {
    if (c.fd < 0 || c.eof)
        return false;
    pollfd p[2] = {{c.fd, POLLIN, 0}, {FWake[0], POLLIN, 0}};
    if (::poll(p, 2, TimeoutMs) <= 0)
        return false;
    if (p[1].revents)
        DrainPipe(FWake[0]);
    if (!p[0].revents)
        return true; // woken: the caller re-checks its condition
    char buf[4096];
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
        c.inbox.append(buf, static_cast<size_t>(n));
        return true;
    }
    const bool retry = n < 0 && (errno == EAGAIN || errno == EINTR);
    c.eof = !retry;
    return retry;
}

void FakePop3Server::ReadWhile(Conn& c, const std::function<bool()>& NeedMore) {
    const auto deadline = Clock::now() + kStepDeadline;
    while (NeedMore() && c.fd >= 0 && !c.eof && Clock::now() < deadline && !Stopping())
        ReadMore(c, MsLeft(deadline));
}

void FakePop3Server::CloseConn(Conn& c) {
    if (c.fd < 0)
        return;
    // Read what the client sent, so closing sends FIN, not RST, and stray bytes are seen.
    while (!c.eof && ReadMore(c, 0)) {
    }
    ::close(c.fd);
    c.fd = -1;
    if (!FMailboxMode)
        Locked([&] { FUnexpected += c.inbox; });
    c.inbox.clear();
}

bool FakePop3Server::WaitClientCaughtUp(Conn& c) {
    auto caughtUp = [&] { return Locked([&] { return !FPaced || FClientReceived >= FServerSent; }); };
    ReadWhile(c, [&] { return !caughtUp(); });
    return caughtUp() && !Stopping();
}

bool FakePop3Server::SendPieces(Conn& c, const std::vector<std::string>& Pieces) {
    for (const std::string& piece : Pieces) {
        if (!WaitClientCaughtUp(c))
            return false;
        const auto deadline = Clock::now() + kStepDeadline;
        for (size_t done = 0; done < piece.size();) {
            ssize_t n = ::send(c.fd, piece.data() + done, piece.size() - done,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                // A client that does not read must not keep the destructor waiting.
                pollfd p[2] = {{c.fd, POLLOUT, 0}, {FWake[0], POLLIN, 0}};
                if (::poll(p, 2, MsLeft(deadline)) <= 0 || Stopping())
                    return false;
                if (p[1].revents)
                    DrainPipe(FWake[0]);
            } else {
                return false;
            }
        }
        Locked([&] {
            FServerSent += piece.size();
            FTotalSent += piece.size();
        });
    }
    return true;
}

bool FakePop3Server::PlayStep(Conn& c, const Step& s, std::string& Error) {
    if (s.kind == Step::HoldOn) {
        std::unique_lock<std::mutex> lk(FMutex);
        FCond.wait(lk, [&] { return FStop || FReleased; });
        FReleased = false;
        return true;
    }
    // Every other step needs a client; with none connected, the next one is accepted.
    if (!Accept(c)) {
        Error = "no client connected";
        return false;
    }
    switch (s.kind) {
    case Step::ExpectBytes: {
        auto matches = [&] {
            size_t have = std::min(c.inbox.size(), s.bytes.size());
            return c.inbox.compare(0, have, s.bytes, 0, have) == 0;
        };
        ReadWhile(c, [&] { return matches() && c.inbox.size() < s.bytes.size(); });
        if (!matches()) {
            // Wait briefly for the rest of the client's line to show it whole.
            while (c.inbox.find('\n') == std::string::npos && ReadMore(c, 200)) {
            }
            Error = "client sent " + Visible(c.inbox) + ", expected " + Visible(s.bytes);
        } else if (c.inbox.size() >= s.bytes.size()) {
            c.inbox.erase(0, s.bytes.size());
            return true;
        } else {
            Error = c.eof ? "client closed the connection" : "timed out";
        }
        return false;
    }
    case Step::SendBytes:
        if (SendPieces(c, s.pieces))
            return true;
        Error = "could not deliver the reply (client closed or did not read)";
        return false;
    case Step::ResetConn:
        if (!WaitClientCaughtUp(c)) {
            Error = "client did not read what was sent before the reset";
            return false;
        }
        {
            linger hard{1, 0};
            ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        [[fallthrough]];
    case Step::CloseConn:
        CloseConn(c);
        return true;
    case Step::SendTolerant:
        SendPieces(c, s.pieces);
        [[fallthrough]];
    case Step::AwaitClose:
        ReadWhile(c, [] { return true; });
        if (!c.eof) {
            Error = "client did not close the connection";
            return false;
        }
        CloseConn(c);
        return true;
    case Step::AwaitQuiet: {
        const auto until = Clock::now() + std::chrono::milliseconds(s.quietMs);
        while (c.inbox.empty() && !c.eof && Clock::now() < until && !Stopping())
            ReadMore(c, MsLeft(until));
        if (c.inbox.empty())
            return true;
        Error = "client sent " + Visible(c.inbox) + " before it had the replies it waits for";
        return false;
    }
    default:
        return false;
    }
}

void FakePop3Server::RunScript() {
    Conn c;
    for (;;) {
        Step step;
        bool haveStep = false, drain = false;
        {
            std::lock_guard<std::mutex> lk(FMutex);
            if (FStop)
                break;
            haveStep = FFailure.empty() && FNextStep < FSteps.size();
            if (haveStep)
                step = FSteps[FNextStep];
            FIdle = !haveStep;
            drain = FIdle && FDrainRequested;
        }
        FCond.notify_all();
        if (haveStep) {
            std::string error;
            bool ok = PlayStep(c, step, error);
            std::lock_guard<std::mutex> lk(FMutex);
            if (FStop)
                break;
            if (ok) {
                ++FNextStep;
            } else {
                FFailure = "step " + std::to_string(FNextStep + 1) + " (" + step.Describe() +
                           "): " + error;
                // Let a client that waits for us fail fast instead of hanging.
                ::close(c.fd);
                c.fd = -1;
            }
        } else if (drain) {
            while (!c.eof && ReadMore(c, 0)) {
            }
            std::lock_guard<std::mutex> lk(FMutex);
            FUnexpected += c.inbox;
            c.inbox.clear();
            FDrainRequested = false;
            FDrained = true;
            FCond.notify_all();
        } else if (c.fd >= 0 && !c.eof) {
            ReadMore(c, -1); // idle: keep reading so that stray bytes are recorded
        } else {
            pollfd p{FWake[0], POLLIN, 0};
            ::poll(&p, 1, -1);
            DrainPipe(FWake[0]);
        }
    }
    if (c.fd >= 0)
        ::close(c.fd);
}

uint64_t FakePop3Server::BytesSent() const {
    std::lock_guard<std::mutex> lk(FMutex);
    return FTotalSent;
}

std::vector<std::string> FakePop3Server::Remaining() const {
    std::lock_guard<std::mutex> lk(FMutex);
    std::vector<std::string> out;
    for (const auto& m : FMailbox)
        if (!m.gone)
            out.push_back(m.raw);
    return out;
}

void FakePop3Server::HoldReplies(bool Held) {
    Locked([&] { FRepliesHeld = Held; });
    FCond.notify_all();
}

bool FakePop3Server::WaitForCommands(size_t Count, std::chrono::milliseconds Deadline) {
    std::unique_lock<std::mutex> lk(FMutex);
    return FCond.wait_for(lk, Deadline, [&] { return FCommands.size() >= Count; });
}

struct FakePop3Server::Session {
    std::string user; // given by an accepted USER; cleared by a refused PASS
    bool loggedIn = false;
    bool over = false; // QUIT answered
    std::vector<bool> marked;
};

std::string FakePop3Server::Answer(Session& s, const std::string& line, bool& multiLine, uint64_t& generated) {
    generated = 0;
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    std::transform(verb.begin(), verb.end(), verb.begin(), [](unsigned char ch) { return std::toupper(ch); });
    std::vector<std::string> args;
    for (std::string a; in >> a;)
        args.push_back(a);

    auto over = FOptions.Overrides.find(line);
    if (over != FOptions.Overrides.end()) {
        s.over = verb == "QUIT"; // a refused QUIT deletes nothing either
        // A DELE accepted in other words (or followed by lines nobody asked
        // for) marks its message all the same.
        const size_t n = args.size() == 1 ? std::strtoul(args[0].c_str(), nullptr, 10) : 0;
        if (verb == "DELE" && s.loggedIn && over->second.compare(0, 3, "+OK") == 0 && n >= 1 &&
            n <= s.marked.size())
            s.marked[n - 1] = true;
        return over->second;
    }
    if (verb == "CAPA" && (FOptions.Pipelining || FOptions.Utf8)) {
        multiLine = true;
        return std::string("+OK\r\nUSER\r\nTOP\r\nUIDL\r\n") + (FOptions.Pipelining ? "PIPELINING\r\n" : "") +
               (FOptions.Utf8 ? "UTF8\r\n" : "") + ".\r\n";
    }
    if (verb == "UTF8" && FOptions.Utf8)
        return "+OK UTF8 enabled\r\n";
    if (verb == "QUIT") {
        for (size_t i = 0; s.loggedIn && i < s.marked.size(); ++i)
            FMailbox[i].gone = FMailbox[i].gone || s.marked[i];
        s.over = true;
        return "+OK Logging out.\r\n";
    }
    if (!s.loggedIn) {
        if (verb == "USER" && args.size() == 1) {
            s.user = args[0];
            return "+OK\r\n";
        }
        if (verb != "PASS" || s.user.empty())
            return "-ERR Unknown command.\r\n";
        s.loggedIn = s.user == "test" && line.substr(std::min<size_t>(5, line.size())) == "secret";
        s.user = s.loggedIn ? s.user : "";
        return s.loggedIn ? "+OK Logged in.\r\n" : "-ERR [AUTH] Authentication failed.\r\n";
    }
    if (verb == "STAT") {
        size_t count = 0, size = 0;
        for (size_t i = 0; i < FMailbox.size(); ++i)
            if (!FMailbox[i].gone && !s.marked[i])
                ++count, size += FMailbox[i].Size();
        return "+OK " + std::to_string(count) + " " + std::to_string(size) + "\r\n";
    }
    if (verb != "LIST" && verb != "UIDL" && verb != "RETR" && verb != "DELE" && verb != "TOP")
        return "-ERR Unknown command.\r\n";
    const std::string arg = args.empty() ? std::string() : args[0];
    char* numberEnd = nullptr;
    errno = 0;
    long n = std::strtol(arg.c_str(), &numberEnd, 10);
    if (arg.empty() || *numberEnd || errno || n < 1 || static_cast<size_t>(n) > FMailbox.size() ||
        FMailbox[n - 1].gone)
        return "-ERR There's no message " + arg + ".\r\n";
    const size_t i = static_cast<size_t>(n - 1);
    if (s.marked[i])
        return "-ERR Message is deleted.\r\n";
    const std::string& crlf = FMailbox[i].crlf;
    if (verb == "LIST")
        return "+OK " + std::to_string(n) + " " + std::to_string(FMailbox[i].Size()) + "\r\n";
    if (verb == "UIDL")
        return "+OK " + std::to_string(n) + " uid-" + std::to_string(n) + "\r\n";
    if (verb == "DELE") {
        s.marked[i] = true;
        return "+OK Marked to be deleted.\r\n";
    }
    multiLine = true;
    if (verb == "RETR") {
        generated = FMailbox[i].generated;
        const std::string all = "+OK " + std::to_string(FMailbox[i].Size()) + " octets\r\n" + DotStuff(crlf);
        // The terminator goes after the generated lines.
        return generated > 0 ? all.substr(0, all.size() - 3) : all;
    }
    // TOP n k: the header, its empty line and the first k lines of the body.
    const size_t body = crlf.find("\r\n\r\n");
    // A header with no body still ends with its empty line.
    if (body == std::string::npos)
        return "+OK\r\n" + DotStuff(crlf + "\r\n");
    const uint64_t k = args.size() == 2 ? std::strtoull(args[1].c_str(), nullptr, 10) : 0;
    size_t end = body + 4;
    uint64_t taken = 0;
    for (; taken < k && end < crlf.size(); ++taken)
        end = crlf.find("\r\n", end) + 2;
    generated = std::min(k - taken, FMailbox[i].generated);
    const std::string top = "+OK\r\n" + DotStuff(crlf.substr(0, end));
    return generated > 0 ? top.substr(0, top.size() - 3) : top;
}

void FakePop3Server::ServeSession(Conn& c) {
    auto reply = [&](const std::string& bytes, bool multiLine) {
        {
            std::unique_lock<std::mutex> lk(FMutex);
            FCond.wait_for(lk, FOptions.ReplyDelay, [&] { return FStop; });
            FCond.wait(lk, [&] { return FStop || !FRepliesHeld; });
            if (FStop)
                return false;
        }
        return SendPieces(c, Chunking::Of(multiLine ? FOptions.ChunkSize : 0).Split(bytes));
    };
    Session s;
    s.marked.assign(FMailbox.size(), false);
    if (!reply("+OK Fake POP3 server ready.\r\n", false))
        return;
    while (!s.over) {
        size_t eol;
        while ((eol = c.inbox.find('\n')) == std::string::npos) {
            ReadMore(c, -1);
            if (Stopping() || c.eof)
                return; // dropped without QUIT: nothing is deleted
        }
        std::string line = c.inbox.substr(0, eol);
        c.inbox.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        bool multiLine = false;
        uint64_t generated = 0;
        const std::string answer = Locked([&] {
            FCommands.push_back(line);
            return Answer(s, line, multiLine, generated);
        });
        FCond.notify_all();
        if (!reply(answer, multiLine && answer.compare(0, 3, "+OK") == 0))
            return;
        // A generated body goes in blocks, made as they are sent.
        std::string block;
        for (uint64_t k = 0; k < generated; ++k) {
            block += GeneratedLine(k);
            if ((block.size() >= 64 * 1024 || k + 1 == generated) && !SendPieces(c, {block}))
                return;
            if (block.size() >= 64 * 1024)
                block.clear();
        }
        if (generated > 0 && !SendPieces(c, {".\r\n"}))
            return;
    }
}

void FakePop3Server::RunMailbox() {
    for (Conn c; !Stopping(); CloseConn(c))
        if (Accept(c))
            ServeSession(c);
}

} // namespace sweepbox::test
