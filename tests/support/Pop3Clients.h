// Clients of the POP3 component for tests: an event recorder, a client of
// the fake server, a scripted dialogue, a TLS client and a Dovecot session.
#pragma once

#include "mail/core/KelLines.h"
#include "mail/message/KelMsg.h"
#include "mail/pop3/KelPOP3.h"
#include "mail/pop3/KelTlsSocket.h"
#include "support/BoundedWaits.h"
#include "support/FakePop3Server.h"
#include "support/TestPki.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sweepbox::test {

// Records the component's events as strings in order ("error:T<code>:" when
// the transport sent it); a sender other than the documented one is recorded
// as "BAD SENDER".
struct PopRecorder {
    std::vector<std::string> Events;
    int Pumps = 0;
    bool LogPumps = false; // also record each pump as "pump"

    void Bind(kel::TKelPOP& pop, FakePop3Server* paced = nullptr) {
        using kel::TObject;
        TObject* const transport = pop.Transport();
        TObject* const self = &pop;
        auto log = [this](TObject* got, TObject* want, std::string event) {
            if (got != want)
                Events.push_back("BAD SENDER");
            Events.push_back(std::move(event));
        };
        pop.OnLookup = [=](TObject* s, TObject* sock) { log(s == sock ? s : nullptr, transport, "lookup"); };
        pop.OnConnecting = [=](TObject* s, TObject*) { log(s, transport, "connecting"); };
        pop.OnConnect = [=](TObject* s) { log(s, transport, "connect"); };
        pop.OnQuit = [=](TObject* s) { log(s, transport, "quit"); };
        pop.OnError = [=](TObject* s, int32_t code, const std::string& msg) {
            log(s, s == transport ? transport : self,
                std::string("error:") + (s == transport ? "T" : "") + std::to_string(code) + ":" + msg);
        };
        pop.OnSendTextToSocket = [=](TObject* s, const std::string& text) { log(s, self, "send:" + text); };
        pop.OnReceiveTextFromSocket = [=](TObject* s, const std::string& chunk) {
            log(s, self, "recv:" + chunk);
            if (paced)
                paced->ClientReceived(chunk.size());
        };
        pop.OnDelete = [=](TObject* s, uint16_t n) { log(s, self, "delete:" + std::to_string(n)); };
        pop.OnRetrieveProgress = [=](TObject* s, uint16_t p) { log(s, self, "progress:" + std::to_string(p)); };
        pop.OnBeforeRetrieve = [=](TObject* s, uint16_t n) { log(s, self, "before:" + std::to_string(n)); };
        pop.OnAfterRetrieve = [=](TObject* s) { log(s, self, "after"); };
        pop.ProcessMessages = [this] { ++Pumps, LogPumps ? Events.push_back("pump") : void(); };
        pop.Sleep = [this](int ms) { Events.push_back("sleep:" + std::to_string(ms)); };
    }

    // What the component sent, in order, without the "send:".
    std::vector<std::string> Sent() const {
        std::vector<std::string> out;
        for (const auto& e : Events)
            if (e.rfind("send:", 0) == 0)
                out.push_back(e.substr(5));
        return out;
    }
    // The events without "recv:", "send:" and "pump" entries.
    std::vector<std::string> NonIo() const {
        std::vector<std::string> out;
        for (const auto& e : Events)
            if (e.rfind("recv:", 0) != 0 && e.rfind("send:", 0) != 0 && e != "pump")
                out.push_back(e);
        return out;
    }
    void Clear() { Events.clear(); }
};

// RetrieveMsg's treatment of a whole, well-formed reply, written plainly:
// the data between the status line and the terminator line, split into
// lines, each line that begins with "." and has more losing that dot.
inline std::vector<std::string> LiteralRawMail(const std::string& Reply) {
    std::string data = Reply.substr(Reply.find("\r\n") + 2);
    data.resize(data.size() - 3); // ".\r\n"
    std::vector<std::string> lines;
    kel::AppendSplitLines(lines, data); // every byte kept, NUL included
    for (auto& l : lines)
        if (l.size() >= 2 && l[0] == '.')
            l.erase(0, 1);
    return lines;
}

// Everything a caller reads from a parsed message, as one comparable text.
inline std::string Summary(const kel::TKelMsg& m) {
    std::string out = "From=" + m.From + "\nSubject=" + m.Subject + "\nTo=" + m.SendTo +
                      "\nCC=" + m.CC + "\nDate=" + m.Date + "\nType=" + m.ContentType +
                      "\nSize=" + std::to_string(m.Size) + "\nUIDL=" + m.UIDL + "\n--headers\n";
    for (const auto& h : m.Headers)
        out += h + "\n";
    out += "--text\n";
    for (const std::string_view t : m.Text)
        (out += t) += "\n";
    for (int i = 0; i < m.AttachedFiles.Count(); ++i)
        out += "--attachment " + m.AttachedFiles.Items(i).FileName + "\n" + m.AttachedFiles.Items(i).Data + "\n";
    return out;
}

inline std::string ParsedSummary(std::vector<std::string> Lines, int32_t Size) {
    kel::TKelMsg m;
    m.RawMail = std::move(Lines);
    m.Size = Size;
    m.Parse();
    return Summary(m);
}

// The size a message with LF line ends has on the wire, where every line
// ends in CR LF.
inline size_t CrLfSize(const std::string& Lf) {
    return Lf.size() + static_cast<size_t>(std::count(Lf.begin(), Lf.end(), '\n'));
}

// Base64 in lines of 76 characters, each ending in LF.
inline std::string Base64Lines(const std::string& Data) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < Data.size(); i += 3) {
        uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k)
            v = v << 8 | (i + k < Data.size() ? static_cast<uint8_t>(Data[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k)
            out += k <= Data.size() - i ? abc[(v >> (18 - 6 * k)) & 63] : '=';
        if (i % 57 == 54 || i + 3 >= Data.size())
            out += '\n';
    }
    return out;
}

// 200,000 bytes: every byte value once, then pseudo-random ones.
inline std::string AttachmentPayload() {
    std::string payload(200000, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i < 256 ? i : ((x = x * 1103515245 + 12345) >> 16) & 0xff);
    return payload;
}

// A multipart message (LF line ends) whose text has a lone "." line and a
// line that begins with two dots, and whose attachment "data.bin" is Payload
// in base64.
inline std::string MessageWithAttachment(const std::string& Payload) {
    return "From: Anna <anna@example.org>\nTo: test@localhost\nSubject: report\n"
           "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"XYZ\"\n\n"
           "preamble\n--XYZ\nContent-Type: text/plain\n\nSee the file.\n.\n..two dots\n"
           "--XYZ\nContent-Type: application/octet-stream; name=\"data.bin\"\n"
           "Content-Transfer-Encoding: base64\n"
           "Content-Disposition: attachment; filename=\"data.bin\"\n\n" +
           Base64Lines(Payload) + "--XYZ--\n";
}

// A private $TMPDIR for the binary, so a test can see what a retrieval leaves.
class PrivateTmpDir : public ::testing::Environment {
  public:
    void SetUp() override {
        char templ[] = "/tmp/sweepbox-tmpdir-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        Dir = templ;
        ::setenv("TMPDIR", Dir.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
    // Every entry: a spool file has no name at all, so none may be seen.
    static int Files() {
        int n = 0;
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator(Dir, ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
            ++n;
        return n;
    }
    static inline std::string Dir;
};

inline const std::string kGreeting = "+OK ready\r\n";

// A component bound to a recorder and pointed at a fake server.
struct FakeClient {
    std::optional<kel::TKelPOP> holder{std::in_place};
    kel::TKelPOP& pop = *holder;
    PopRecorder rec;
    explicit FakeClient(FakePop3Server& srv, bool paced = false) {
        pop.Host = "127.0.0.1";
        pop.Port = srv.PortText();
        pop.UserId = "u";
        pop.UserPasswd = "p";
        BoundWaits(pop);
        srv.SetPaced(paced);
        rec.Bind(pop, paced ? &srv : nullptr);
    }
    // Drops the connection the way destruction does: silently, nothing sent.
    void Drop() { holder.reset(); }
};

// A scripted server that has greeted and a client connected to it.
struct Dialogue {
    FakePop3Server srv;
    FakeClient c;
    kel::TKelPOP& pop = c.pop;
    PopRecorder& rec = c.rec;
    explicit Dialogue(bool paced = false) : c(Greet(srv), paced) {
        pop.Connect();
        rec.Clear();
    }
    // Unless the script closed the connection itself, the client must have.
    ::testing::AssertionResult Done(bool scriptClosed = false) {
        if (!scriptClosed)
            srv.ExpectClose();
        c.Drop();
        return srv.Finished();
    }

  private:
    static FakePop3Server& Greet(FakePop3Server& s) { return s.Send(kGreeting); }
};

// A component over TLS to Host:Port, bound to a recorder, trusting the test
// authority unless told otherwise.
struct TlsClient {
    kel::TKelPOP pop;
    kel::TKelTlsSocket* tls;
    PopRecorder rec;
    TlsClient(const std::string& Host, uint16_t Port, bool Trusted = true) {
        auto t = std::make_unique<kel::TKelTlsSocket>();
        tls = t.get();
        pop.SetTransport(std::move(t));
        pop.Security = kel::TPopSecurity::Tls;
        if (Trusted)
            pop.TrustFile = TestPki::Shared().CaFile();
        pop.Host = Host;
        pop.Port = std::to_string(Port);
        BoundWaits(pop);
        rec.Bind(pop);
    }
};

inline sockaddr_in Loopback(uint16_t Port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(Port);
    return a;
}

// Nothing listens there.
inline uint16_t ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A loopback port where a connect stays pending: with the accept queue full,
// Linux drops further SYNs (unless net.ipv4.tcp_abort_on_overflow is set).
class UnansweredPort {
  public:
    UnansweredPort() {
        FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(0);
        socklen_t len = sizeof a;
        if (FListener < 0 || ::bind(FListener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(FListener, 0) != 0 ||
            ::getsockname(FListener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        Port = ntohs(a.sin_port);
        // Fillers beyond the first cover a kernel that queues one more than asked.
        for (int i = 0; i < 3; ++i) {
            FFillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            a = Loopback(Port); // a pending connect is what we want
            (void)::connect(FFillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
            pollfd p{FListener, POLLIN, 0};
            FFilled = FFilled || ::poll(&p, 1, 10000) == 1; // the listener holds the first
        }
    }
    ~UnansweredPort() {
        for (int fd : FFillers)
            ::close(fd);
        if (FListener >= 0)
            ::close(FListener);
    }
    UnansweredPort(const UnansweredPort&) = delete;
    UnansweredPort& operator=(const UnansweredPort&) = delete;
    uint16_t Port = 0;
    bool FFilled = false;

  private:
    int FListener = -1;
    std::vector<int> FFillers;
};

#define SWEEPBOX_REQUIRE_UNANSWERED(port)                                                          \
    do {                                                                                           \
        std::ifstream overflow("/proc/sys/net/ipv4/tcp_abort_on_overflow");                        \
        if (int v = 1; !(overflow >> v) || v != 0)                                                 \
            GTEST_SKIP() << "net.ipv4.tcp_abort_on_overflow is set: full queues refuse";           \
        ASSERT_TRUE((port).Port != 0 && (port).FFilled);                                           \
    } while (0)

inline int OpenDescriptors() {
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

} // namespace sweepbox::test
