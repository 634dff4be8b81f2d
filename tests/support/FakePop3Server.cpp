#include "support/FakePop3Server.h"

#include <algorithm>
#include <cerrno>
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
// How long the server waits for the client at any one step before giving up;
// generous, since sanitizer builds are slow.
constexpr auto kStepDeadline = std::chrono::seconds(30);
constexpr size_t kMaxCommandLine = 64 * 1024;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// Shows bytes readably in failure messages.
std::string Visible(const std::string& s, size_t max = 200) {
    std::string out;
    for (size_t i = 0; i < s.size() && i < max; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 32 || c >= 127) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    if (s.size() > max)
        out += "... (" + std::to_string(s.size()) + " bytes)";
    return "\"" + out + "\"";
}

} // namespace

std::string FakePop3Server::NormalizeCrLf(const std::string& raw) {
    std::string out;
    out.reserve(raw.size() + raw.size() / 16 + 2);
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < raw.size() && raw[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)
        out += "\r\n";
    return out;
}

std::string FakePop3Server::DotStuff(const std::string& crlfText) {
    std::string out;
    out.reserve(crlfText.size() + 8);
    size_t pos = 0;
    while (pos < crlfText.size()) {
        size_t eol = crlfText.find("\r\n", pos);
        if (eol == std::string::npos)
            eol = crlfText.size();
        if (crlfText[pos] == '.')
            out += '.';
        out.append(crlfText, pos, eol - pos);
        out += "\r\n";
        pos = eol + 2;
    }
    out += ".\r\n";
    return out;
}

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

} // namespace

std::vector<std::string> Chunking::Split(const std::string& Bytes) const {
    std::vector<std::string> pieces;
    size_t pos = 0;
    if (!Cuts.empty()) {
        std::vector<size_t> cuts = Cuts;
        std::sort(cuts.begin(), cuts.end());
        for (size_t cut : cuts) {
            cut = std::min(cut, Bytes.size());
            if (cut > pos) {
                pieces.push_back(Bytes.substr(pos, cut - pos));
                pos = cut;
            }
        }
    } else if (!Sizes.empty()) {
        size_t k = 0;
        while (pos < Bytes.size()) {
            size_t size = std::max<size_t>(1, Sizes[std::min(k, Sizes.size() - 1)]);
            pieces.push_back(Bytes.substr(pos, size));
            pos += pieces.back().size();
            ++k;
        }
    }
    if (pos < Bytes.size())
        pieces.push_back(Bytes.substr(pos));
    return pieces;
}

struct FakePop3Server::Step {
    enum Kind { ExpectBytes, SendBytes, SendTolerant, PauseFor, HoldOn, CloseConn, ResetConn, AwaitClose } kind;
    std::string bytes;
    std::vector<std::string> pieces;
    std::chrono::milliseconds duration{0};

    std::string Describe() const {
        switch (kind) {
        case ExpectBytes:
            return "expect " + Visible(bytes);
        case SendBytes:
            return "send " + Visible(bytes, 60);
        case SendTolerant:
            return "send until closed " + Visible(bytes, 60);
        case PauseFor:
            return "pause";
        case HoldOn:
            return "hold";
        case CloseConn:
            return "close";
        case ResetConn:
            return "reset";
        case AwaitClose:
            return "expect close";
        }
        return "?";
    }
};

struct FakePop3Server::Conn {
    int fd = -1;
    std::string inbox; // client bytes not yet matched by a step
    bool eof = false;
};

// ------------------------------------------------------------------ setup

void FakePop3Server::Init() {
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListenFd < 0)
        throw std::runtime_error("fake POP3 server: socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(FListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListenFd, 16) != 0 ||
        ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("fake POP3 server: bind/listen failed");
    FPort = ntohs(addr.sin_port);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("fake POP3 server: pipe failed");
    FWakeRead = pipeFds[0];
    FWakeWrite = pipeFds[1];
}

FakePop3Server::FakePop3Server() {
    Init();
    FThread = std::thread([this] { RunScript(); });
}

FakePop3Server::FakePop3Server(std::vector<std::string> Messages, MailboxOptions Options)
    : FMailboxMode(true), FOptions(std::move(Options)) {
    Init();
    for (auto& m : Messages)
        FMailboxState.push_back({m, NormalizeCrLf(m), false});
    FThread = std::thread([this] { RunMailbox(); });
}

FakePop3Server::~FakePop3Server() {
    {
        std::lock_guard<std::mutex> lk(FMutex);
        FStop = true;
    }
    FCond.notify_all();
    Wake();
    if (FThread.joinable())
        FThread.join();
    ::close(FListenFd);
    ::close(FWakeRead);
    ::close(FWakeWrite);
}

void FakePop3Server::Wake() {
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(FWakeWrite, &b, 1);
}

static void DrainPipe(int fd) {
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

// ----------------------------------------------------------- script steps

FakePop3Server& FakePop3Server::AddStep(Step s) {
    {
        std::lock_guard<std::mutex> lk(FMutex);
        FSteps.push_back(std::move(s));
    }
    Wake();
    return *this;
}

FakePop3Server& FakePop3Server::Expect(const std::string& Line) {
    return ExpectRaw(Line + "\r\n");
}

FakePop3Server& FakePop3Server::ExpectRaw(const std::string& Bytes) {
    return AddStep({Step::ExpectBytes, Bytes, {}, {}});
}

FakePop3Server& FakePop3Server::Send(const std::string& Bytes, Chunking How) {
    return AddStep({Step::SendBytes, Bytes, How.Split(Bytes), {}});
}

FakePop3Server& FakePop3Server::SendUntilClosed(const std::string& Bytes) {
    return AddStep({Step::SendTolerant, Bytes, {Bytes}, {}});
}

FakePop3Server& FakePop3Server::Pause(std::chrono::milliseconds Duration) {
    return AddStep({Step::PauseFor, {}, {}, Duration});
}

FakePop3Server& FakePop3Server::Hold() { return AddStep({Step::HoldOn, {}, {}, {}}); }

FakePop3Server& FakePop3Server::Close() { return AddStep({Step::CloseConn, {}, {}, {}}); }

FakePop3Server& FakePop3Server::Reset() { return AddStep({Step::ResetConn, {}, {}, {}}); }

FakePop3Server& FakePop3Server::ExpectClose() { return AddStep({Step::AwaitClose, {}, {}, {}}); }

void FakePop3Server::Release() {
    {
        std::lock_guard<std::mutex> lk(FMutex);
        FReleased = true;
    }
    FCond.notify_all();
    Wake();
}

void FakePop3Server::SetPaced(bool On) {
    std::lock_guard<std::mutex> lk(FMutex);
    FPaced = On;
}

void FakePop3Server::ClientReceived(size_t Count) {
    {
        std::lock_guard<std::mutex> lk(FMutex);
        FClientReceived += Count;
    }
    Wake();
}

std::string FakePop3Server::ClientBytes() const {
    std::lock_guard<std::mutex> lk(FMutex);
    return FClientBytes;
}

int FakePop3Server::Connections() const {
    std::lock_guard<std::mutex> lk(FMutex);
    return FConnections;
}

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

// --------------------------------------------------------- connection I/O

bool FakePop3Server::AcceptIfNeeded(Conn& c) {
    if (c.fd >= 0)
        return true;
    const auto deadline = Clock::now() + kStepDeadline;
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(FMutex);
            if (FStop)
                return false;
        }
        pollfd p[2] = {{FListenFd, POLLIN, 0}, {FWakeRead, POLLIN, 0}};
        int rc = ::poll(p, 2, MsLeft(deadline));
        if (rc == 0)
            return false;
        if (p[1].revents)
            DrainPipe(FWakeRead);
        if (p[0].revents & POLLIN) {
            int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            c = Conn{};
            c.fd = fd;
            std::lock_guard<std::mutex> lk(FMutex);
            ++FConnections;
            FServerSent = 0;
            FClientReceived = 0;
            return true;
        }
    }
}

bool FakePop3Server::ReadMore(Conn& c, int TimeoutMs) {
    if (c.fd < 0 || c.eof)
        return false;
    pollfd p[2] = {{c.fd, POLLIN, 0}, {FWakeRead, POLLIN, 0}};
    int rc = ::poll(p, 2, TimeoutMs);
    if (rc <= 0)
        return false;
    if (p[1].revents)
        DrainPipe(FWakeRead);
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[4096];
        ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            c.inbox.append(buf, static_cast<size_t>(n));
            std::lock_guard<std::mutex> lk(FMutex);
            FClientBytes.append(buf, static_cast<size_t>(n));
            return true;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            c.eof = true;
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    return true; // woken: the caller re-checks its condition
}

void FakePop3Server::CloseConn(Conn& c) {
    if (c.fd < 0)
        return;
    // Read what the client already sent, so that closing sends FIN, not RST,
    // and stray client bytes are seen.
    for (;;) {
        char buf[4096];
        ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            break;
        c.inbox.append(buf, static_cast<size_t>(n));
        std::lock_guard<std::mutex> lk(FMutex);
        FClientBytes.append(buf, static_cast<size_t>(n));
    }
    ::close(c.fd);
    c.fd = -1;
    std::lock_guard<std::mutex> lk(FMutex);
    if (!FMailboxMode)
        FUnexpected += c.inbox;
    c.inbox.clear();
}

bool FakePop3Server::WaitClientCaughtUp(Conn& c) {
    const auto deadline = Clock::now() + kStepDeadline;
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(FMutex);
            if (FStop)
                return false;
            if (!FPaced || FClientReceived >= FServerSent)
                return true;
        }
        if (Clock::now() >= deadline || c.eof)
            return false;
        ReadMore(c, MsLeft(deadline));
    }
}

bool FakePop3Server::SendPieces(Conn& c, const std::vector<std::string>& Pieces) {
    for (const std::string& piece : Pieces) {
        if (!WaitClientCaughtUp(c))
            return false;
        size_t done = 0;
        const auto deadline = Clock::now() + kStepDeadline;
        while (done < piece.size()) {
            ssize_t n = ::send(c.fd, piece.data() + done, piece.size() - done,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A client that does not read must not keep the destructor waiting.
                pollfd p[2] = {{c.fd, POLLOUT, 0}, {FWakeRead, POLLIN, 0}};
                if (::poll(p, 2, MsLeft(deadline)) <= 0)
                    return false;
                if (p[1].revents) {
                    DrainPipe(FWakeRead);
                    std::lock_guard<std::mutex> lk(FMutex);
                    if (FStop)
                        return false;
                }
                continue;
            }
            return false;
        }
        std::lock_guard<std::mutex> lk(FMutex);
        FServerSent += piece.size();
    }
    return true;
}

// ---------------------------------------------------------- scripted mode

bool FakePop3Server::PlayStep(Conn& c, const Step& s, std::string& Error) {
    switch (s.kind) {
    case Step::ExpectBytes: {
        if (!AcceptIfNeeded(c)) {
            Error = "no client connected";
            return false;
        }
        const auto deadline = Clock::now() + kStepDeadline;
        for (;;) {
            size_t have = std::min(c.inbox.size(), s.bytes.size());
            if (c.inbox.compare(0, have, s.bytes, 0, have) != 0) {
                // Wait for the rest of the client's line to show it whole.
                while (c.inbox.find('\n') == std::string::npos && ReadMore(c, 200)) {
                }
                Error = "client sent " + Visible(c.inbox) + ", expected " + Visible(s.bytes);
                return false;
            }
            if (have == s.bytes.size()) {
                c.inbox.erase(0, have);
                return true;
            }
            if (c.eof) {
                Error = "client closed the connection; expected " + Visible(s.bytes);
                return false;
            }
            if (Clock::now() >= deadline) {
                Error = "timed out waiting for " + Visible(s.bytes);
                return false;
            }
            {
                std::lock_guard<std::mutex> lk(FMutex);
                if (FStop)
                    return false;
            }
            ReadMore(c, MsLeft(deadline));
        }
    }
    case Step::SendBytes:
        if (!AcceptIfNeeded(c)) {
            Error = "no client connected";
            return false;
        }
        if (!SendPieces(c, s.pieces)) {
            Error = "could not deliver the reply (client closed or did not read)";
            return false;
        }
        return true;
    case Step::SendTolerant:
        if (!AcceptIfNeeded(c)) {
            Error = "no client connected";
            return false;
        }
        SendPieces(c, s.pieces);
        return PlayStep(c, Step{Step::AwaitClose, {}, {}, {}}, Error);
    case Step::PauseFor: {
        std::unique_lock<std::mutex> lk(FMutex);
        FCond.wait_for(lk, s.duration, [&] { return FStop; });
        return true;
    }
    case Step::HoldOn: {
        std::unique_lock<std::mutex> lk(FMutex);
        FCond.wait(lk, [&] { return FStop || FReleased; });
        FReleased = false;
        return true;
    }
    case Step::CloseConn:
        // With no connection open, the next client is accepted and dropped.
        if (!AcceptIfNeeded(c)) {
            Error = "no client connected";
            return false;
        }
        CloseConn(c);
        return true;
    case Step::ResetConn: {
        if (!AcceptIfNeeded(c)) {
            Error = "no client connected";
            return false;
        }
        if (!WaitClientCaughtUp(c)) {
            Error = "client did not read what was sent before the reset";
            return false;
        }
        linger hard{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        CloseConn(c);
        return true;
    }
    case Step::AwaitClose: {
        if (!AcceptIfNeeded(c)) {
            Error = "no client connected";
            return false;
        }
        const auto deadline = Clock::now() + kStepDeadline;
        while (!c.eof) {
            if (Clock::now() >= deadline) {
                Error = "client did not close the connection";
                return false;
            }
            {
                std::lock_guard<std::mutex> lk(FMutex);
                if (FStop)
                    return false;
            }
            ReadMore(c, MsLeft(deadline));
        }
        CloseConn(c);
        return true;
    }
    }
    return false;
}

void FakePop3Server::RunScript() {
    Conn c;
    for (;;) {
        Step step;
        bool haveStep = false;
        bool drain = false;
        {
            std::lock_guard<std::mutex> lk(FMutex);
            if (FStop)
                break;
            if (FFailure.empty() && FNextStep < FSteps.size()) {
                step = FSteps[FNextStep];
                haveStep = true;
                FIdle = false;
            } else {
                FIdle = true;
                drain = FDrainRequested;
            }
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
            }
            if (!ok) {
                // Let a client that waits for us fail fast instead of hanging.
                ::close(c.fd);
                c.fd = -1;
            }
            continue;
        }
        if (drain) {
            if (c.fd >= 0) {
                while (!c.eof && ReadMore(c, 0)) {
                }
            }
            std::lock_guard<std::mutex> lk(FMutex);
            FUnexpected += c.inbox;
            c.inbox.clear();
            FDrainRequested = false;
            FDrained = true;
            FCond.notify_all();
            continue;
        }
        // Idle: keep reading the client so that stray bytes are recorded.
        if (c.fd >= 0 && !c.eof) {
            ReadMore(c, -1);
        } else {
            pollfd p{FWakeRead, POLLIN, 0};
            ::poll(&p, 1, -1);
            DrainPipe(FWakeRead);
        }
    }
    if (c.fd >= 0)
        ::close(c.fd);
}

// ----------------------------------------------------------- mailbox mode

std::vector<std::string> FakePop3Server::Commands() const {
    std::lock_guard<std::mutex> lk(FMutex);
    return FCommands;
}

std::vector<std::string> FakePop3Server::Remaining() const {
    std::lock_guard<std::mutex> lk(FMutex);
    std::vector<std::string> out;
    for (const auto& m : FMailboxState)
        if (!m.gone)
            out.push_back(m.raw);
    return out;
}

void FakePop3Server::HoldReplies(bool Held) {
    {
        std::lock_guard<std::mutex> lk(FMutex);
        FRepliesHeld = Held;
    }
    FCond.notify_all();
}

bool FakePop3Server::WaitForCommands(size_t Count, std::chrono::milliseconds Deadline) {
    std::unique_lock<std::mutex> lk(FMutex);
    return FCond.wait_for(lk, Deadline, [&] { return FCommands.size() >= Count; });
}

bool FakePop3Server::Reply(Conn& c, const std::string& Bytes, bool MultiLine) {
    {
        std::unique_lock<std::mutex> lk(FMutex);
        if (FOptions.ReplyDelay.count() > 0)
            FCond.wait_for(lk, FOptions.ReplyDelay, [&] { return FStop; });
        FCond.wait(lk, [&] { return FStop || !FRepliesHeld; });
        if (FStop)
            return false;
    }
    Chunking how;
    if (MultiLine && FOptions.ChunkSize > 0)
        how.Sizes = {FOptions.ChunkSize};
    return SendPieces(c, how.Split(Bytes));
}

bool FakePop3Server::ServeSession(Conn& c) {
    if (!Reply(c, FOptions.Greeting + "\r\n"))
        return false;
    bool userGiven = false, loggedIn = false;
    std::string user;
    std::vector<bool> marked;
    {
        std::lock_guard<std::mutex> lk(FMutex);
        marked.assign(FMailboxState.size(), false);
    }
    for (;;) {
        size_t eol;
        while ((eol = c.inbox.find('\n')) == std::string::npos) {
            if (c.inbox.size() > kMaxCommandLine)
                return Reply(c, "-ERR Line too long.\r\n"), false;
            ReadMore(c, -1);
            std::lock_guard<std::mutex> lk(FMutex);
            if (FStop || c.eof)
                return false; // dropped without QUIT: nothing is deleted
        }
        std::string line = c.inbox.substr(0, eol);
        c.inbox.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        {
            std::lock_guard<std::mutex> lk(FMutex);
            FCommands.push_back(line);
        }
        FCond.notify_all();

        auto over = FOptions.Overrides.find(line);
        if (over != FOptions.Overrides.end()) {
            if (!Reply(c, over->second))
                return false;
            if (Upper(line.substr(0, 4)) == "QUIT")
                return true;
            continue;
        }

        std::istringstream in(line);
        std::string verb;
        in >> verb;
        verb = Upper(verb);
        std::vector<std::string> args;
        for (std::string a; in >> a;)
            args.push_back(a);

        // The message a number names, or an error reply.
        auto pick = [&](const std::string& arg, size_t& index, std::string& error) {
            char* end = nullptr;
            errno = 0;
            long n = std::strtol(arg.c_str(), &end, 10);
            std::lock_guard<std::mutex> lk(FMutex);
            if (arg.empty() || *end || errno || n < 1 ||
                static_cast<size_t>(n) > FMailboxState.size() || FMailboxState[n - 1].gone) {
                error = "-ERR There's no message " + arg + ".\r\n";
                return false;
            }
            index = static_cast<size_t>(n - 1);
            if (marked[index]) {
                error = "-ERR Message is deleted.\r\n";
                return false;
            }
            return true;
        };
        auto visible = [&](auto&& fn) {
            std::lock_guard<std::mutex> lk(FMutex);
            for (size_t i = 0; i < FMailboxState.size(); ++i)
                if (!FMailboxState[i].gone && !marked[i])
                    fn(i, FMailboxState[i]);
        };

        std::string reply;
        if (verb == "QUIT") {
            if (loggedIn) {
                std::lock_guard<std::mutex> lk(FMutex);
                for (size_t i = 0; i < marked.size(); ++i)
                    if (marked[i])
                        FMailboxState[i].gone = true;
            }
            Reply(c, "+OK Logging out.\r\n");
            return true;
        } else if (!loggedIn) {
            if (verb == "USER" && args.size() == 1) {
                user = args[0];
                userGiven = true;
                reply = "+OK\r\n";
            } else if (verb == "PASS" && userGiven) {
                std::string pass = line.size() > 5 ? line.substr(5) : std::string();
                if (user == FOptions.User && pass == FOptions.Password) {
                    loggedIn = true;
                    reply = "+OK Logged in.\r\n";
                } else {
                    userGiven = false;
                    reply = "-ERR [AUTH] Authentication failed.\r\n";
                }
            } else {
                reply = "-ERR Unknown command.\r\n";
            }
        } else if (verb == "STAT") {
            size_t count = 0, size = 0;
            visible([&](size_t, const MailboxMsg& m) {
                ++count;
                size += m.crlf.size();
            });
            reply = "+OK " + std::to_string(count) + " " + std::to_string(size) + "\r\n";
        } else if ((verb == "LIST" || verb == "UIDL") && args.empty()) {
            reply = "+OK\r\n";
            visible([&](size_t i, const MailboxMsg& m) {
                reply += std::to_string(i + 1) + " " +
                         (verb == "LIST" ? std::to_string(m.crlf.size()) : UidOf(i)) + "\r\n";
            });
            reply += ".\r\n";
        } else if (verb == "LIST" || verb == "UIDL" || verb == "RETR" || verb == "DELE" ||
                   verb == "TOP") {
            size_t index = 0;
            std::string error;
            if (!pick(args.empty() ? std::string() : args[0], index, error)) {
                reply = error;
            } else {
                std::string crlf;
                {
                    std::lock_guard<std::mutex> lk(FMutex);
                    crlf = FMailboxState[index].crlf;
                }
                const std::string n = std::to_string(index + 1);
                if (verb == "LIST") {
                    reply = "+OK " + n + " " + std::to_string(crlf.size()) + "\r\n";
                } else if (verb == "UIDL") {
                    reply = "+OK " + n + " " + UidOf(index) + "\r\n";
                } else if (verb == "RETR") {
                    reply = "+OK " + std::to_string(crlf.size()) + " octets\r\n" + DotStuff(crlf);
                } else if (verb == "DELE") {
                    marked[index] = true;
                    reply = "+OK Marked to be deleted.\r\n";
                } else { // TOP n k
                    long k = args.size() >= 2 ? std::strtol(args[1].c_str(), nullptr, 10) : -1;
                    if (k < 0) {
                        reply = "-ERR Invalid arguments.\r\n";
                    } else {
                        size_t body = crlf.find("\r\n\r\n");
                        size_t end = body == std::string::npos ? crlf.size() : body + 4;
                        for (long line_ = 0; line_ < k && end < crlf.size(); ++line_) {
                            size_t next = crlf.find("\r\n", end);
                            end = next == std::string::npos ? crlf.size() : next + 2;
                        }
                        std::string part = crlf.substr(0, end);
                        if (body == std::string::npos)
                            part += "\r\n"; // a header with no body still ends with its empty line
                        reply = "+OK\r\n" + DotStuff(part);
                    }
                }
            }
        } else if (verb == "NOOP") {
            reply = "+OK\r\n";
        } else if (verb == "RSET") {
            std::fill(marked.begin(), marked.end(), false);
            reply = "+OK\r\n";
        } else {
            reply = "-ERR Unknown command.\r\n";
        }
        // Multi-line replies: the listings, and every accepted RETR or TOP.
        const bool multiLine = reply.compare(0, 3, "+OK") == 0 &&
                               (verb == "RETR" || verb == "TOP" ||
                                ((verb == "LIST" || verb == "UIDL") && args.empty()));
        if (!Reply(c, reply, multiLine))
            return false;
    }
}

std::string FakePop3Server::UidOf(size_t Index) { return "uid-" + std::to_string(Index + 1); }

void FakePop3Server::RunMailbox() {
    for (;;) {
        Conn c;
        if (!AcceptIfNeeded(c)) {
            std::lock_guard<std::mutex> lk(FMutex);
            if (FStop)
                return;
            continue;
        }
        ServeSession(c);
        CloseConn(c);
    }
}

} // namespace sweepbox::test
