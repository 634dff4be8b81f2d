#include "mail/pop3/KelPOP3.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <deque>
#include <iterator>
#include <numeric>
#include <unordered_map>

#include <sys/mman.h>
#include <unistd.h>

#include "mail/core/KelLines.h"
#include "mail/core/KelTempFile.h"
#include "mail/core/KelText.h"
#include "mail/message/KelMsg.h"
#include "mail/pop3/KelSasl.h"
#include "mail/pop3/KelTlsSocket.h"

namespace kel {

namespace {

const std::string kCrLf = "\r\n";

// A number the server sends is decimal digits and nothing else, as RFC 1939
// writes them ("0x10" is no count of 16), of any length.
bool IsDecimal(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Value gets the number when it is decimal and no more than Max; otherwise
// it is left as it was.
bool ParseDecimal(std::string_view s, uint64_t Max, uint64_t& Value) {
    if (!IsDecimal(s))
        return false;
    uint64_t value = 0;
    for (const char c : s) {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (digit > Max || value > (Max - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    Value = value;
    return true;
}

// The part of a reply text after its first blank; all of it without a blank.
std::string AfterFirstBlank(const std::string& s) {
    size_t b = s.find(' ');
    return b == std::string::npos ? s : s.substr(b + 1);
}

} // namespace

EKelConvertError::EKelConvertError(const std::string& Text)
    : Exception("'" + Text + "' ist kein gültiger Integerwert"), Value(Text) {}

TKelPOP::TKelPOP() { SetTransport(std::make_unique<TKelTlsSocket>()); }

// Closing here must not reach the owner's handlers: it may be half gone.
TKelPOP::~TKelPOP() { UnwireTransport(); }

void TKelPOP::SetTransport(std::unique_ptr<TKelTransport> Transport) {
    if (FTransport) {
        CloseSilently();
        UnwireTransport();
    }
    FTransport = std::move(Transport);
    WireTransport();
}

void TKelPOP::UnwireTransport() {
    FTransport->OnDisconnect = nullptr;
    FTransport->OnError = nullptr;
    FTransport->Idle = nullptr;
}

void TKelPOP::WireTransport() {
    TKelTransport& t = *FTransport;
    t.OnLookup = [this](TObject* Sender, TObject* Socket) {
        if (OnLookup)
            OnLookup(Sender, Socket);
    };
    t.OnConnecting = [this](TObject* Sender, TObject* Socket) {
        if (OnConnecting)
            OnConnecting(Sender, Socket);
    };
    t.OnConnect = [this](TObject* Sender) {
        FConnected = true;
        if (OnConnect)
            OnConnect(Sender);
    };
    t.OnDisconnect = [this](TObject* Sender) {
        FConnected = false;
        // Whatever the old connection still had to say means nothing now,
        // and the commands it did not take go nowhere else.
        FReader.Reset();
        FOutgoing.clear();
        FOutSent = 0;
        if (OnQuit && !FQuiet)
            OnQuit(Sender);
    };
    t.OnError = [this](TObject*, int ErrorCode) { HandleTransportError(ErrorCode); };
    t.Idle = [this] { Pump(); };
}

void TKelPOP::Pump() {
    if (ProcessMessages)
        ProcessMessages();
}

// ---------------------------------------------------------------- engine

void TKelPOP::SendCommand(const std::string& Text) {
    RequireInStep();
    Pump();
    FTransport->StallLimitMs = ReceiveStallLimitMs;
    FTransport->SendBuf(Text.data(), Text.size());
    if (OnSendTextToSocket)
        OnSendTextToSocket(this, Text);
}

void TKelPOP::QueueCommands(const std::vector<std::string>& Texts) {
    if (FOutSent == FOutgoing.size()) {
        FOutgoing.clear();
        FOutSent = 0;
    }
    for (const std::string& t : Texts)
        FOutgoing += t;
    if (OnSendTextToSocket)
        for (const std::string& t : Texts)
            OnSendTextToSocket(this, t);
}

std::string_view TKelPOP::Receive() {
    Pump();
    FTransport->StallLimitMs = FReceiveLimitMs > 0 ? FReceiveLimitMs : ReceiveStallLimitMs;
    size_t n = 0;
    bool received = false;
    // Commands still to go out go while their replies are read: the server
    // may wait for us to read before it reads more.
    while (!received && FOutSent < FOutgoing.size()) {
        const TKelTransport::TExchange x = FTransport->Exchange(
            FOutgoing.data() + FOutSent, FOutgoing.size() - FOutSent, FReceived, sizeof FReceived);
        // A close meanwhile has emptied the queue.
        FOutSent = std::min(FOutSent + x.Sent, FOutgoing.size());
        n = x.Received;
        received = n > 0 || x.Ended;
    }
    if (!received)
        n = FTransport->ReceiveBuf(FReceived, sizeof FReceived);
    FBytesReceived += n;
    if (n == 0) {
        // Every receive waits for a reply that is due, so the end of the
        // stream always comes too early. A transport a handler closed while
        // the receive waited (Abort) has nothing left to report.
        if (FTransport->IsOpen())
            FailReply(TSocketFailure::ClosedEarly, "The server closed the connection before its reply was complete.");
        FTransport->Fail(ENOTCONN, "recv");
    }
    // Untrusted bytes from the server: any value, NUL included.
    return std::string_view(FReceived, n);
}

void TKelPOP::Announce(std::string_view Chunk) {
    if (OnReceiveTextFromSocket)
        OnReceiveTextFromSocket(this, std::string(Chunk));
}

void TKelPOP::ReadReply() {
    std::string line;
    std::string_view chunk;
    bool received = false;
    for (;;) {
        const TReplyReader::TStep step = FReader.TakeLine(line);
        // The receive that completed the reply is reported once judged.
        if (step == TReplyReader::TStep::Done)
            Judge(line);
        if (received)
            Announce(chunk);
        if (step == TReplyReader::TStep::Done)
            return;
        if (step == TReplyReader::TStep::TooLong)
            FailReply(TSocketFailure::TooLong, "The server's reply has no line end within its first " +
                                    std::to_string(TReplyReader::kMaxLine) + " bytes.");
        chunk = Receive();
        FReader.Feed(chunk);
        received = true;
    }
}

TReplyReader::TStep TKelPOP::ReceiveData(std::string& Out) {
    const std::string_view chunk = Receive();
    const TReplyReader::TStep step = FReader.FeedData(chunk, Out);
    Announce(chunk);
    return step;
}

void TKelPOP::RequireInStep() {
    if (!FConnected)
        return;
    // Replies to commands that never went out.
    if (FOutSent < FOutgoing.size())
        FailOutOfStep("The server answered commands it had not been sent: its replies are out of step with the "
                      "commands.");
    const size_t waiting = FReader.Pending().size();
    size_t arrived = 0;
    if (waiting == 0) {
        arrived = FTransport->ReceiveNow(FReceived, sizeof FReceived);
        FBytesReceived += arrived;
        if (arrived > 0)
            Announce(std::string_view(FReceived, arrived));
    }
    if (waiting > 0 || arrived > 0)
        FailOutOfStep("The server sent a reply that no command asked for: its replies are out of step with "
                      "the commands.");
}

void TKelPOP::FailOutOfStep(const std::string& Text) {
    // Not even QUIT: the server would make final whatever it marked.
    CloseSilently();
    FOperationFailed = true;
    throw EKelProtocolError(Text, TProtocolFault::OutOfStep);
}

void TKelPOP::RequireConnected() const {
    if (!FConnected)
        throw EKelPOPError("Not connected.", TPopMisuse::NotConnected);
}

void TKelPOP::Judge(const std::string& Line) {
    FReplyLine = Line;
    FOperationFailed = Line.compare(0, 4, "-ERR") == 0;
    FReplyText = Line.size() > 4 ? Trim(Line.substr(4)) : std::string();
}

bool TKelPOP::RequireOk() {
    if (FReplyLine.compare(0, 3, "+OK") == 0)
        return true;
    // Neither status: the whole line is what the server said.
    if (!FOperationFailed)
        FReplyText = Trim(FReplyLine);
    FOperationFailed = true;
    return false;
}

void TKelPOP::FailReply(TSocketFailure Reason, const std::string& Text) {
    const int code = Reason == TSocketFailure::ClosedEarly ? ECONNRESET : EMSGSIZE;
    FTransport->Fail(code, "recv", Text, Reason);
}

void TKelPOP::ReportError(int32_t Code) {
    FOperationFailed = true;
    FTransport->Close();
    FConnected = false;
    if (OnError)
        OnError(this, Code, FReplyText);
}

void TKelPOP::HandleTransportError(int ErrorCode) {
    FOperationFailed = true;
    // No greeting in time: Connect reports a failed open instead.
    if (FReceiveLimitMs > 0 && ErrorCode == ETIMEDOUT) {
        FTransport->Close();
        FConnected = false;
        return;
    }
    // Dropped already (Abort from a handler while the call waited): the
    // caller asked for silence.
    if (!FConnected && !FTransport->IsOpen())
        return;
    FTransport->Close();
    FConnected = false;
    if (OnError)
        OnError(FTransport.get(), ErrorCode, FReplyText);
}

void TKelPOP::CloseSilently() {
    FQuiet = true;
    FTransport->Close();
    FQuiet = false;
    FConnected = false;
    FReader.Reset();
}

// ------------------------------------------------------------ connection

void TKelPOP::Connect() {
    FMsgCount = 0;
    FConnectFailure = TConnectFailure::None;
    FConnectError.clear();
    FRejected = TCertificateInfo();
    FCapabilities.clear();
    FCapabilitiesAsked = false;
    FOpenedIndex.reset();
    FTransport->Port = StrToIntDef(Port, Security == TPopSecurity::Tls ? 995 : 110);
    if (IsDottedAddress(Host)) {
        FTransport->Address = Host;
        FTransport->Host.clear();
    } else {
        FTransport->Host = Host;
        FTransport->Address.clear();
    }
    ConfigureTls();
    FOperationFailed = false;
    FReader.Reset();
    FTransport->StallLimitMs = ReceiveStallLimitMs;
    try {
        FTransport->Open();
    } catch (const ESocketOpenError& e) {
        TakeTlsFailure(e);
        return;
    } catch (...) {
        // A handler's exception (the pump's, while the connect is pending)
        // belongs to the caller; the attempt has failed all the same.
        FOperationFailed = true;
        throw;
    }
    if (!FConnected)
        return;
    if (Security == TPopSecurity::Tls && !FTransport->Secured()) {
        FailConnect(TConnectFailure::Tls, "This connection cannot use TLS.");
        return;
    }
    FReceiveLimitMs = GreetingLimitMs <= 0        ? ReceiveStallLimitMs
                      : ReceiveStallLimitMs <= 0 ? GreetingLimitMs
                                                 : std::min(GreetingLimitMs, ReceiveStallLimitMs);
    const int limit = FReceiveLimitMs;
    try {
        ReadReply();
    } catch (const ESocketError& e) {
        const bool silent = FReceiveLimitMs > 0 && e.Reason == TSocketFailure::Stalled;
        FReceiveLimitMs = 0;
        if (!silent)
            throw;
        FailConnect(TConnectFailure::NoGreeting,
                    "The server sent no greeting within " + std::to_string((limit + 999) / 1000) +
                        " seconds." +
                        (Security == TPopSecurity::Tls ? std::string()
                                                       : " A server that expects TLS from the start waits silently."));
        return;
    }
    FReceiveLimitMs = 0;
    if (Security == TPopSecurity::StartTls && !FOperationFailed)
        StartTls();
}

void TKelPOP::ConfigureTls() {
    TKelTransport& t = *FTransport;
    t.ImplicitTls = Security == TPopSecurity::Tls;
    t.ExtraTrustFile = TrustFile;
    t.PinnedFingerprint = PinnedFingerprint;
    // A server that never answers the hello is as silent as one that never
    // greets.
    t.HandshakeLimitMs = GreetingLimitMs;
}

void TKelPOP::FailConnect(TConnectFailure Why, const std::string& Text) {
    FConnectFailure = Why;
    FConnectError = Text;
    FOperationFailed = true;
    if (FTransport->IsOpen())
        FTransport->Close();
    FConnected = false;
    FReader.Reset();
}

void TKelPOP::TakeTlsFailure(const ESocketOpenError& e) {
    TConnectFailure why = TConnectFailure::Unreachable;
    if (const TKelTransport& t = *FTransport; !t.HandshakeError().empty()) {
        FRejected = t.RejectedCertificate();
        why = t.PlainTextAnswer()               ? TConnectFailure::PlainServer
              : !FRejected.Problems.empty()     ? TConnectFailure::Certificate
                                                : TConnectFailure::Tls;
    } else if (e.ErrorCode == EPROTO || e.ErrorCode == EPROTONOSUPPORT) {
        why = TConnectFailure::Tls;
    }
    FailConnect(why, e.what());
}

bool TKelPOP::StartTls() {
    SendCommand("CAPA" + kCrLf);
    ReadReply();
    bool offered = false;
    if (!FOperationFailed) {
        for (const std::string& line : ReadLines(TReplyReader::kMaxLine)) {
            const std::string word = line.substr(0, line.find(' '));
            offered = offered || (word.size() == 4 && (word[0] | 0x20) == 's' && (word[1] | 0x20) == 't' &&
                                  (word[2] | 0x20) == 'l' && (word[3] | 0x20) == 's');
        }
    }
    if (!offered) {
        FailConnect(TConnectFailure::NoStls, "The server does not offer STARTTLS (STLS is not among its capabilities).");
        return false;
    }
    SendCommand("STLS" + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        FailConnect(TConnectFailure::StlsRefused, "The server refused STARTTLS: " + FReplyLine.substr(0, 200));
        return false;
    }
    // Whatever came after the "+OK" arrived before TLS: a server or anyone
    // on the way may have put it there, so none of it is read as a reply.
    FReader.Reset();
    try {
        FTransport->StartTls();
    } catch (const ESocketOpenError& e) {
        TakeTlsFailure(e);
        if (FConnectFailure == TConnectFailure::Unreachable)
            FConnectFailure = TConnectFailure::Tls;
        return false;
    }
    // The capabilities may differ inside TLS; a refusal is no failure.
    ReadCapabilities();
    return true;
}

namespace {

// Each line of Text (ReadListText) to On, without its CR LF.
template <typename TOnLine> void EachLine(std::string_view Text, TOnLine&& On) {
    for (size_t at = 0; at < Text.size();) {
        size_t end = Text.find(kCrLf, at);
        if (end == std::string_view::npos)
            end = Text.size();
        On(Text.substr(at, end - at));
        at = end + 2;
    }
}

} // namespace

std::string TKelPOP::ReadListText(size_t Limit) {
    std::string text;
    FReader.BeginData(/*Unstuff=*/true, Limit);
    for (TReplyReader::TStep step = FReader.TakeData(text); step != TReplyReader::TStep::Done;) {
        if (step == TReplyReader::TStep::TooLong)
            FailReply(TSocketFailure::TooLong, "The server's list is longer than " + std::to_string(Limit) + " bytes.");
        step = ReceiveData(text);
    }
    return text;
}

std::vector<std::string> TKelPOP::ReadLines(size_t Limit) {
    std::vector<std::string> lines;
    EachLine(ReadListText(Limit), [&](std::string_view Line) { lines.emplace_back(Line); });
    return lines;
}

namespace {

// The bounds of an AUTH dialogue: a mechanism we use needs three rounds at
// most, and its largest challenge (a SCRAM server-first message, a bearer
// error) is well below 1 KiB.
constexpr int kMaxSaslRounds = 10;
constexpr size_t kMaxChallenge = 16 * 1024;
// An AUTH line with its initial response may be this long, CR LF included
// (RFC 5034); a longer initial response waits for the empty challenge.
constexpr size_t kMaxAuthLine = 255;

bool Printable(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

} // namespace

bool TKelPOP::Login() {
    if (!FConnected)
        throw EKelPOPError("Invalid Op. Not connected.", TPopMisuse::NotConnected);
    // A secured connection was asked for: the password never goes out on
    // another (a STARTTLS session whose greeting was refused stays plain).
    if (Security != TPopSecurity::None && !FTransport->Secured())
        throw EKelPOPError("The connection is not secured: the user name and password are not sent.",
                           TPopMisuse::NotSecured);
    auto unsafe = [](const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; };
    if (SignIn == TPopSignIn::Password && (unsafe(UserId) || unsafe(UserPasswd)))
        throw EKelPOPError("User name or password contains a line break.", TPopMisuse::UnsafeCredentials);
    // The bearer messages separate their fields with control characters.
    if (SignIn == TPopSignIn::OAuth2 && (!Printable(UserId) || !Printable(AccessToken)))
        throw EKelPOPError("User name or access token contains a character that is not printable ASCII.",
                           TPopMisuse::UnsafeCredentials);
    FMechanism.clear();
    FLoginFailure = TLoginFailure::None;
    FTokenStatus.clear();
    if (!FCapabilitiesAsked)
        ReadCapabilities();
    const std::string mechanism = ChooseMechanism();
    if (mechanism.empty()) {
        FLoginFailure = TLoginFailure::NoMechanism;
        FOperationFailed = true;
        return false;
    }
    FMechanism = mechanism;
    if (mechanism == "USER")
        return LoginUserPass();
    std::unique_ptr<TSaslMechanism> sasl =
        SignIn == TPopSignIn::OAuth2
            ? MakeBearerMechanism(mechanism, UserId, AccessToken, Host, FTransport->Port)
            : MakeSaslMechanism(mechanism, UserId, UserPasswd, FTransport->ChannelBinding());
    if (!sasl) {
        // ChooseMechanism asked the library; it may still fail to begin.
        FLoginFailure = TLoginFailure::Refused;
        FReplyText = "The sign-in mechanism " + mechanism + " cannot start.";
        ReportError(popLoginRefused);
        return false;
    }
    return Authenticate(*sasl);
}

std::vector<std::string> TKelPOP::SaslOffered() const {
    std::vector<std::string> mechanisms;
    for (const std::string& line : FCapabilities) {
        std::vector<std::string> words;
        for (size_t at = 0; at < line.size();) {
            const size_t end = std::min(line.find(' ', at), line.size());
            if (end > at)
                words.push_back(UpperCase(std::string_view(line).substr(at, end - at)));
            at = end + 1;
        }
        if (!words.empty() && words[0] == "SASL")
            mechanisms.insert(mechanisms.end(), words.begin() + 1, words.end());
    }
    return mechanisms;
}

std::string TKelPOP::ChooseMechanism() const {
    const std::vector<std::string> offered = SaslOffered();
    auto has = [&](const char* m) { return std::find(offered.begin(), offered.end(), m) != offered.end(); };
    if (SignIn == TPopSignIn::OAuth2) {
        for (const char* m : {"OAUTHBEARER", "XOAUTH2"})
            if (has(m))
                return m;
        return std::string();
    }
    // What reads the password in the clear goes only where nobody else can
    // read it, or where the user chose so.
    const bool clear = FTransport->Secured() || Security == TPopSecurity::None;
    const bool bound = FTransport->Secured() && !FTransport->ChannelBinding().Data.empty();
    for (const char* m : {"SCRAM-SHA-256-PLUS", "SCRAM-SHA-256", "SCRAM-SHA-1", "PLAIN"}) {
        const std::string_view name(m);
        if ((name.ends_with("-PLUS") && !bound) || (name == "PLAIN" && !clear))
            continue;
        if (has(m) && SaslSupports(m))
            return m;
    }
    return clear ? "USER" : std::string();
}

bool TKelPOP::LoginUserPass() {
    SendCommand("USER " + UserId + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        FLoginFailure = TLoginFailure::Refused;
        ReportError(popLoginRefused);
        return false;
    }
    SendCommand("PASS " + UserPasswd + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        FLoginFailure = TLoginFailure::Refused;
        ReportError(popLoginRefused);
        return false;
    }
    return true;
}

bool TKelPOP::Authenticate(TSaslMechanism& Sasl) {
    std::string initial;
    if (!Sasl.Start(initial)) {
        FLoginFailure = TLoginFailure::Refused;
        FReplyText = "The sign-in mechanism " + FMechanism + " cannot start.";
        ReportError(popLoginRefused);
        return false;
    }
    // An empty initial response is "=" (RFC 5034).
    const std::string initialText = initial.empty() ? "=" : SaslBase64(initial);
    const std::string command = "AUTH " + FMechanism;
    bool initialSent = command.size() + 1 + initialText.size() + 2 <= kMaxAuthLine;
    SendCommand(initialSent ? command + " " + initialText + kCrLf : command + kCrLf);
    for (int round = 0;; ++round) {
        ReadReply();
        // Untrusted line from the server: "+OK", "-ERR", or "+" and a challenge.
        if (FReplyLine.compare(0, 3, "+OK") == 0) {
            return Sasl.ServerProven() || DropUnproven();
        }
        if (FOperationFailed) {
            FTokenStatus = Sasl.TokenStatus();
            FLoginFailure = SignIn == TPopSignIn::OAuth2 ? TLoginFailure::TokenRefused : TLoginFailure::Refused;
            ReportError(popLoginRefused);
            return false;
        }
        // The whole line is what the server said.
        FReplyText = Trim(FReplyLine.substr(0, 200));
        const bool challenge = FReplyLine == "+" || FReplyLine.compare(0, 2, "+ ") == 0;
        const std::string_view text = std::string_view(FReplyLine).substr(std::min<size_t>(2, FReplyLine.size()));
        std::string decoded, response;
        if (!challenge || round >= kMaxSaslRounds || text.size() > (kMaxChallenge + 2) / 3 * 4 ||
            !SaslUnBase64(text, decoded))
            return CancelAuth();
        if (!initialSent) {
            // The empty challenge that asks for the initial response.
            if (!decoded.empty())
                return CancelAuth();
            initialSent = true;
            response = initial;
        } else if (!Sasl.Answer(decoded, response)) {
            return Sasl.AwaitingProof() ? DropUnproven() : CancelAuth();
        }
        SendCommand(SaslBase64(response) + kCrLf);
    }
}

bool TKelPOP::DropUnproven() {
    // Whoever answered does not hold the password's keys: nothing more goes
    // to it, not even QUIT.
    CloseSilently();
    FOperationFailed = true;
    FLoginFailure = TLoginFailure::ServerNotProven;
    return false;
}

bool TKelPOP::CancelAuth() {
    SendCommand("*" + kCrLf);
    FLoginFailure = TLoginFailure::Refused;
    ReportError(popLoginRefused);
    return false;
}

void TKelPOP::Quit() {
    if (!FConnected) {
        // Called from the pump while the connect is pending (the window
        // closes): the open is abandoned and ends as a failed open once
        // control is back in Connect. Nothing is sent.
        if (FTransport->IsOpening())
            FTransport->Close();
        return;
    }
    SendCommand("QUIT" + kCrLf);
    ReadReply();
    if (!RequireOk()) {
        ReportError(popQuitRefused);
        return;
    }
    FTransport->Close();
    FConnected = false;
    Pump();
    if (Sleep)
        Sleep(10);
}

void TKelPOP::Abort() {
    if (FTransport->IsOpening()) {
        FTransport->Close();
        return;
    }
    if (!FConnected && !FTransport->IsOpen())
        return;
    CloseSilently();
    FOperationFailed = true;
}

// --------------------------------------------------------------- mailbox

void TKelPOP::Stat() {
    RequireConnected();
    SendCommand("STAT" + kCrLf);
    ReadStat();
}

void TKelPOP::ReadStat() {
    ReadReply();
    if (FOperationFailed) {
        ReportError(popMailboxRefused);
        return;
    }
    const size_t b = FReplyText.find(' ');
    const std::string countText = b == std::string::npos ? std::string() : FReplyText.substr(0, b);
    uint64_t count = 0;
    // A count with a minus sign is a number, but not one a mailbox can have.
    const bool negative = countText.size() > 1 && countText[0] == '-' && IsDecimal(countText.substr(1));
    if (!negative && !ParseDecimal(countText, INT32_MAX, count))
        throw EKelConvertError(countText);
    // The size may pass 32 bits (a mailbox of several gigabytes): only its
    // digits are checked.
    const std::string sizeText = FReplyText.substr(b + 1);
    if (negative || !IsDecimal(sizeText.substr(0, sizeText.find(' '))))
        throw EKelProtocolError("The server's answer to STAT is not a message count and a mailbox size: \"" +
                                FReplyLine.substr(0, 80) + "\"");
    FMsgCount = static_cast<uint16_t>(count);
    FStatCount = static_cast<int64_t>(count);
    FUnmarked = FStatCount;
    FMailboxSizeText = sizeText;
}

void TKelPOP::GetMsgSize(int32_t MsgIndex, std::string& MsgSize) {
    RequireConnected();
    SendCommand("list " + std::to_string(MsgIndex) + kCrLf);
    ReadSize(MsgSize);
}

void TKelPOP::ReadSize(std::string& MsgSize) {
    ReadReply();
    if (FOperationFailed) {
        ReportError(popMailboxRefused);
        return;
    }
    MsgSize = AfterFirstBlank(FReplyText);
}

void TKelPOP::DeleteMsg(uint16_t MsgIndex) {
    RequireConnected();
    Pump();
    SendCommand("DELE " + std::to_string(MsgIndex) + kCrLf);
    ReadDeleteReply(MsgIndex);
}

bool TKelPOP::ReadDeleteReply(uint16_t MsgIndex) {
    ReadReply();
    if (!RequireOk()) {
        ReportError(popDeleteRefused);
        return false;
    }
    // Never wraps below zero: a DELE without a STAT before it leaves 0.
    if (FMsgCount > 0)
        --FMsgCount;
    if (FUnmarked > 0)
        --FUnmarked;
    if (OnDelete)
        OnDelete(this, MsgIndex);
    return true;
}

std::string TKelPOP::GetHeader(uint16_t MsgIndex) {
    RequireConnected();
    SendCommand("TOP " + std::to_string(MsgIndex) + " 0" + kCrLf);
    return ReadHeader(MsgIndex);
}

std::string TKelPOP::ReadHeader(uint16_t MsgIndex) {
    ReadReply();
    if (FOperationFailed) {
        ReportError(popHeaderRefused);
        return std::string();
    }
    std::string text;
    FReader.BeginData(/*Unstuff=*/false, HeaderReplyLimit);
    for (TReplyReader::TStep step = FReader.TakeData(text); step != TReplyReader::TStep::Done;) {
        if (step == TReplyReader::TStep::TooLong)
            FailReply(TSocketFailure::TooLong, "The server's header of message " + std::to_string(MsgIndex) +
                                    " is longer than " + std::to_string(HeaderReplyLimit) + " bytes.");
        step = ReceiveData(text);
    }
    // The caller gets the reply as sent, its terminator line included.
    text += ".\r\n";
    return text;
}

bool TKelPOP::ReadCapabilities() {
    RequireConnected();
    SendCommand("CAPA" + kCrLf);
    return ReadCapabilityReply();
}

bool TKelPOP::ReadCapabilityReply() {
    ReadReply();
    FCapabilities.clear();
    FCapabilitiesAsked = true;
    if (!FOperationFailed)
        FCapabilities = ReadLines(TReplyReader::kMaxLine);
    // A server without CAPA is an old one, not a failing one.
    const bool answered = !FOperationFailed;
    FOperationFailed = false;
    return answered;
}

bool TKelPOP::Offered(std::string_view Capability) const {
    for (const std::string& line : FCapabilities) {
        const std::string word = UpperCase(line.substr(0, line.find(' ')));
        if (word == Capability)
            return true;
    }
    return false;
}

bool TKelPOP::PipeliningOffered() const { return Offered("PIPELINING"); }

bool TKelPOP::EnableUtf8() {
    RequireConnected();
    SendCommand("UTF8" + kCrLf);
    return ReadUtf8Reply();
}

bool TKelPOP::OpenMailbox(bool WithIndex) {
    RequireConnected();
    FOpenedIndex.reset();
    if (!PipeliningOffered()) {
        ReadCapabilities();
        const bool utf8 = Utf8Offered() && EnableUtf8();
        Stat();
        return utf8;
    }
    // The CAPA before signing in tells whether UTF8 is worth asking.
    const bool askUtf8 = Utf8Offered();
    RequireInStep();
    Pump();
    std::vector<std::string> commands{"CAPA" + kCrLf};
    if (askUtf8)
        commands.push_back("UTF8" + kCrLf);
    commands.push_back("STAT" + kCrLf);
    if (WithIndex) {
        commands.push_back("UIDL" + kCrLf);
        commands.push_back("LIST" + kCrLf);
    }
    QueueCommands(commands);
    ReadCapabilityReply();
    const bool utf8 = askUtf8 && ReadUtf8Reply();
    // A refused STAT closes the connection: the replies after it are left.
    ReadStat();
    if (WithIndex && FConnected)
        FOpenedIndex = ReadIndexReplies();
    return utf8;
}

bool TKelPOP::ReadUtf8Reply() {
    ReadReply();
    // A server that will not is an older one, not a failing one: the
    // headers then come as they are stored.
    const bool accepted = !FOperationFailed;
    FOperationFailed = false;
    return accepted;
}

namespace {

// The commands of one batch: generated and queued together once the batch
// before has gone out whole, so a pass of any length holds no more than
// this (and one item's commands) at once, and the socket gets them in
// large writes.
constexpr size_t kBatchBytes = 64 * 1024;

} // namespace

size_t TKelPOP::RunCommands(size_t Count, const std::function<std::vector<std::string>(size_t)>& Commands,
                            const std::function<void(size_t, size_t)>& Reply,
                            const std::function<bool(size_t)>& Done) {
    const bool ahead = PipeliningOffered();
    const size_t window = std::max<uint16_t>(PipelineWindow, 1);
    // The command count of each item queued or sent whose replies are unread.
    std::deque<size_t> inFlight;
    size_t next = 0; // the next item to queue
    bool stopped = false;
    size_t item = 0;
    // Lock-step commands check before each send; a pipelined pass before its first.
    if (ahead && Count > 0)
        RequireInStep();
    for (; item < Count; ++item) {
        std::vector<std::string> lockStep;
        if (ahead) {
            if (!stopped && FOutSent == FOutgoing.size()) {
                std::vector<std::string> batch;
                size_t bytes = 0;
                while (next < Count && next - item < window && bytes < kBatchBytes) {
                    std::vector<std::string> commands = Commands(next);
                    for (const std::string& c : commands)
                        bytes += c.size();
                    inFlight.push_back(commands.size());
                    std::move(commands.begin(), commands.end(), std::back_inserter(batch));
                    ++next;
                }
                if (!batch.empty())
                    QueueCommands(batch);
            }
            if (inFlight.empty())
                break; // stopped, and every reply on its way is read
        } else {
            if (stopped)
                break;
            lockStep = Commands(item);
        }
        const size_t commands = ahead ? inFlight.front() : lockStep.size();
        for (size_t k = 0; k < commands && FConnected; ++k) {
            if (!ahead)
                SendCommand(lockStep[k]);
            Reply(item, k);
        }
        if (ahead)
            inFlight.pop_front();
        const bool more = Done(item);
        // A refused command has closed the connection (reported as the
        // single commands do); the replies still on their way are dropped
        // with it, the commands not yet sent with them, and no QUIT can
        // follow.
        if (!FConnected)
            return item + 1;
        stopped = stopped || !more;
    }
    // Every reply due has been read: anything more was asked by no command.
    RequireInStep();
    return item;
}

uint16_t TKelPOP::ListMessages(uint16_t First, uint16_t Last, const TOnListed& OnListed) {
    RequireConnected();
    if (First < 1 || Last < First)
        return 0;
    std::vector<uint16_t> numbers(size_t{Last} - First + 1);
    std::iota(numbers.begin(), numbers.end(), First);
    const size_t done = ListMessages(numbers, OnListed);
    return done == 0 ? 0 : static_cast<uint16_t>(First + done - 1);
}

size_t TKelPOP::ListMessages(const std::vector<uint16_t>& Numbers, const TOnListed& OnListed) {
    RequireConnected();
    std::string header, size;
    return RunCommands(
        Numbers.size(),
        [&](size_t i) {
            const std::string n = std::to_string(Numbers[i]);
            return std::vector<std::string>{"TOP " + n + " 0" + kCrLf, "list " + n + kCrLf};
        },
        [&](size_t i, size_t k) {
            if (k == 0)
                header = ReadHeader(Numbers[i]);
            else
                ReadSize(size);
        },
        [&](size_t i) {
            const bool more = OnListed(Numbers[i], header, size);
            header.clear();
            size.clear();
            return more;
        });
}

size_t TKelPOP::DeleteMessages(const std::vector<uint16_t>& Numbers,
                               const std::function<bool(uint16_t)>& OnDeleted) {
    RequireConnected();
    Pump();
    size_t accepted = 0;
    bool lastAccepted = false;
    bool counted = false;
    const size_t dele = Numbers.size();
    // The STAT that proves the pass goes as its last item: pipelined, it
    // travels with the last DELEs and costs no round trip of its own.
    RunCommands(
        dele == 0 ? 0 : dele + 1,
        [&](size_t i) {
            return std::vector<std::string>{i < dele ? "DELE " + std::to_string(Numbers[i]) + kCrLf : "STAT" + kCrLf};
        },
        [&](size_t i, size_t) {
            if (i < dele) {
                lastAccepted = ReadDeleteReply(Numbers[i]);
            } else {
                ConfirmCount(/*Send=*/false);
                counted = true;
            }
        },
        [&](size_t i) {
            if (i == dele || !lastAccepted)
                return false;
            ++accepted;
            return !OnDeleted || OnDeleted(Numbers[i]);
        });
    // Stopped before the STAT went out.
    if (FConnected && dele > 0 && !counted)
        ConfirmCount(/*Send=*/true);
    return accepted;
}

void TKelPOP::ConfirmCount(bool Send) {
    const int64_t expected = FUnmarked;
    try {
        if (Send)
            SendCommand("STAT" + kCrLf);
        ReadStat();
    } catch (const EKelConvertError&) {
        FailOutOfStep("The server's answer to STAT after the deletions is no count (\"" + FReplyLine.substr(0, 80) +
                      "\"): its replies are out of step with the commands.");
    } catch (const EKelProtocolError& e) {
        if (e.Fault == TProtocolFault::OutOfStep)
            throw;
        FailOutOfStep(std::string(e.what()) + ": its replies are out of step with the commands.");
    }
    // A refused STAT has been reported and has closed the connection.
    if (FConnected && expected >= 0 && FStatCount != expected)
        FailOutOfStep("The server counts " + std::to_string(FStatCount) + " messages after the deletions, not " +
                      std::to_string(expected) + ": its replies are out of step with the commands.");
}

std::string TKelPOP::GetUIDL(int32_t MsgIndex) {
    RequireConnected();
    SendCommand("UIDL " + std::to_string(MsgIndex) + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        ReportError(popMailboxRefused);
        return std::string();
    }
    return AfterFirstBlank(FReplyText);
}

namespace {

// A unique id as RFC 1939 allows it: 1 to 70 characters from 0x21 to 0x7E.
bool ValidUidl(std::string_view Text) {
    return !Text.empty() && Text.size() <= 70 &&
           std::all_of(Text.begin(), Text.end(), [](char c) { return c >= 0x21 && c <= 0x7e; });
}

bool ValidSize(std::string_view Text) { return IsDecimal(Text); }

} // namespace

namespace {

// An entry for each message the last STAT counted: messages keep their
// numbers until QUIT, marked ones included.
TMailboxIndex SizedIndex(int64_t StatCount) {
    TMailboxIndex index;
    const size_t count = static_cast<size_t>(std::clamp<int64_t>(StatCount, 0, UINT16_MAX));
    index.Uidls.assign(count, std::string());
    index.Sizes.assign(count, std::string());
    return index;
}

// An id that two messages share names neither: the cache would give one of
// them the other's header.
void ForgetSharedUidls(TMailboxIndex& Index) {
    std::unordered_map<std::string_view, size_t> first;
    first.reserve(Index.Uidls.size());
    std::vector<size_t> shared;
    for (size_t i = 0; i < Index.Uidls.size(); ++i) {
        if (Index.Uidls[i].empty())
            continue;
        const auto [at, added] = first.try_emplace(Index.Uidls[i], i);
        if (!added) {
            shared.push_back(at->second);
            shared.push_back(i);
        }
    }
    for (const size_t i : shared)
        Index.Uidls[i].clear();
}

} // namespace

TMailboxIndex TKelPOP::ReadMailboxIndex() {
    RequireConnected();
    if (FOpenedIndex) {
        TMailboxIndex opened = std::move(*FOpenedIndex);
        FOpenedIndex.reset();
        return opened;
    }
    if (PipeliningOffered()) {
        // Both in one round trip: a LIST after a refused UIDL is read and
        // costs nothing more.
        RequireInStep();
        Pump();
        QueueCommands({"UIDL" + kCrLf, "LIST" + kCrLf});
        return ReadIndexReplies();
    }
    TMailboxIndex index = SizedIndex(FStatCount);
    SendCommand("UIDL" + kCrLf);
    index.UidlsListed = ReadIndexReply(index.Uidls, ValidUidl);
    if (index.UidlsListed) {
        SendCommand("LIST" + kCrLf);
        index.SizesListed = ReadIndexReply(index.Sizes, ValidSize);
    }
    ForgetSharedUidls(index);
    return index;
}

TMailboxIndex TKelPOP::ReadIndexReplies() {
    TMailboxIndex index = SizedIndex(FStatCount);
    index.UidlsListed = ReadIndexReply(index.Uidls, ValidUidl);
    index.SizesListed = ReadIndexReply(index.Sizes, ValidSize);
    ForgetSharedUidls(index);
    return index;
}

bool TKelPOP::ReadIndexReply(std::vector<std::string>& Out, bool (*Valid)(std::string_view)) {
    ReadReply();
    if (FOperationFailed) {
        // An older server without UIDL is no failing one.
        FOperationFailed = false;
        return false;
    }
    // Untrusted: every line is judged, and the whole reply is bounded by
    // the count STAT gave.
    const std::string text = ReadListText((Out.size() + 1) * IndexLineBound);
    // 0: not listed, 1: listed once, 2: listed twice or not as it must be.
    std::vector<char> seen(Out.size(), 0);
    EachLine(text, [&](std::string_view Line) {
        const size_t blank = Line.find(' ');
        uint64_t number = 0;
        if (blank == std::string_view::npos || !ParseDecimal(Line.substr(0, blank), UINT64_MAX, number) ||
            number == 0 || number > Out.size())
            return;
        const size_t i = static_cast<size_t>(number - 1);
        const std::string_view id = Line.substr(blank + 1);
        if (seen[i] == 0 && Valid(id)) {
            Out[i] = id;
            seen[i] = 1;
        } else {
            Out[i].clear();
            seen[i] = 2;
        }
    });
    return true;
}

// ------------------------------------------------------------- retrieval

namespace {

// Reply bytes x 100 / size, rounded to the nearest integer with a half
// going to the even neighbour. 64 bits hold the product for any reply a
// machine can spool.
uint64_t PercentOf(uint64_t replyBytes, uint64_t size) {
    const uint64_t num = replyBytes * 100;
    const uint64_t den = size;
    uint64_t q = num / den;
    const uint64_t r = num % den;
    if (2 * r > den || (2 * r == den && (q & 1)))
        ++q;
    return q;
}

// The spool file's text, mapped rather than read into a string when the
// system allows: the message is then parsed where it lies, not copied.
class TSpoolText {
  public:
    TSpoolText(const TTempFile& Spool, uint64_t Size) {
        if (Size > 0 && Size <= SIZE_MAX) {
            void* map = ::mmap(nullptr, static_cast<size_t>(Size), PROT_READ, MAP_PRIVATE | MAP_POPULATE,
                               Spool.Fd(), 0);
            if (map != MAP_FAILED) {
                FMap = map;
                FSize = static_cast<size_t>(Size);
                return;
            }
        }
        FCopy = Spool.ReadAll();
    }
    ~TSpoolText() {
        if (FMap)
            ::munmap(FMap, FSize);
    }
    TSpoolText(const TSpoolText&) = delete;
    TSpoolText& operator=(const TSpoolText&) = delete;

    std::string_view View() const {
        return FMap ? std::string_view(static_cast<const char*>(FMap), FSize) : std::string_view(FCopy);
    }
    // The whole pages of the mapping between Begin and End leave this
    // process's memory; a later read brings them back from the file. Any
    // other range (a copy, a parse's own buffer) is left alone.
    void Release(const char* Begin, const char* End) const {
        const auto map = reinterpret_cast<uintptr_t>(FMap);
        const auto begin = reinterpret_cast<uintptr_t>(Begin), end = reinterpret_cast<uintptr_t>(End);
        if (!FMap || begin < map || end > map + FSize || begin >= end)
            return;
        const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGE_SIZE));
        const uintptr_t first = (begin + page - 1) / page * page;
        const uintptr_t last = end / page * page;
        if (first < last)
            ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }

  private:
    void* FMap = nullptr;
    size_t FSize = 0;
    std::string FCopy;
};

// Spool writes are gathered into blocks of this size: one write per 1024-byte
// receive would cost more than the receive itself.
constexpr size_t kSpoolBlock = 64 * 1024;

} // namespace

uint64_t TKelPOP::MachineOpenCeiling() {
    constexpr uint64_t kMost = uint64_t{1} << 30;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0)
        return kMost;
    const uint64_t quarter = static_cast<uint64_t>(pages) / 4 * static_cast<uint64_t>(pageSize);
    return std::min(quarter, kMost);
}

void TKelPOP::ListForRetrieval(const std::string& Number) {
    SendCommand("LIST " + Number + kCrLf);
    ReadReply(); // a refused LIST is no failure of the retrieval: only its size is unknown
    FListedSize = -1;
    if (FOperationFailed)
        return;
    // "+OK n size": the size is decimal digits and nothing else.
    const size_t blank = FReplyText.find(' ');
    std::string size = blank == std::string::npos ? std::string() : Trim(FReplyText.substr(blank + 1));
    size = size.substr(0, size.find(' '));
    if (!IsDecimal(size))
        return;
    // A size past what 63 bits hold reads as the largest.
    uint64_t value = INT64_MAX;
    ParseDecimal(size, INT64_MAX, value);
    FListedSize = static_cast<int64_t>(value);
}

uint64_t TKelPOP::ReplyBound() const {
    if (FListedSize < 0)
        return RetrieveReplyCap;
    const uint64_t listed = static_cast<uint64_t>(FListedSize);
    return listed > (UINT64_MAX - RetrieveReplySlack) / 2 ? UINT64_MAX : 2 * listed + RetrieveReplySlack;
}

bool TKelPOP::StreamReply(const std::string& Command, uint64_t Limit,
                          const std::function<void(std::string_view)>& Write) {
    NextProgressMark = RetrieveProgressStep;
    LastPercent = 0;
    const uint64_t statusBytes = FReplyLine.size() + 2;
    std::string pending; // unstuffed message bytes not yet written
    pending.reserve(kSpoolBlock + sizeof FReceived);
    try {
        FReader.BeginData(/*Unstuff=*/true, Limit);
        TReplyReader::TStep step = FReader.TakeData(pending);
        // The receive that brought the status line reports no progress.
        for (bool first = true;; first = false) {
            if (step == TReplyReader::TStep::TooLong)
                FailReply(
                    TSocketFailure::TooLong,
                    "The server's reply to " + Command + " grew past " + std::to_string(Limit) + " bytes" +
                        (FListedSize >= 0 ? ", the message being " + std::to_string(FListedSize) + " bytes." : "."));
            if (pending.size() >= kSpoolBlock) {
                Write(pending);
                pending.clear();
            }
            if (!first) {
                // What has arrived of the reply, as the server sent it: its
                // status line, stuffed dots and terminator count.
                uint64_t replyBytes = statusBytes + FReader.DataBytes();
                if (step != TReplyReader::TStep::Done)
                    replyBytes += FReader.Pending().size();
                // An unknown size (none, or 0) gives no percentage; only the
                // closing report of 100 then follows.
                if (FListedSize > 0)
                    LastPercent = static_cast<uint16_t>(
                        std::min<uint64_t>(PercentOf(replyBytes, static_cast<uint64_t>(FListedSize)), UINT16_MAX));
                if (LastPercent >= NextProgressMark) {
                    if (OnRetrieveProgress)
                        OnRetrieveProgress(this, LastPercent);
                    NextProgressMark = static_cast<uint16_t>(NextProgressMark + RetrieveProgressStep);
                }
            }
            if (step == TReplyReader::TStep::Done)
                break;
            Pump();
            if (FCancelRequested) {
                // The rest of the reply may be large: the connection goes
                // rather than waiting for it.
                CloseSilently();
                FOperationFailed = true;
                return false;
            }
            step = ReceiveData(pending);
        }
        Write(pending);
    } catch (const ESocketError&) {
        throw; // the transport error path has closed the connection already
    } catch (...) {
        // A local failure (a write, a handler's exception) leaves the rest
        // of the reply unread: the connection is of no further use.
        FTransport->Close();
        FConnected = false;
        throw;
    }
    if (LastPercent < 100 && OnRetrieveProgress)
        OnRetrieveProgress(this, 100);
    return true;
}

void TKelPOP::BeginRetrieval(uint16_t MsgIndex) {
    RequireConnected();
    FCancelRequested = false;
    FTooLarge = false;
    FPreviewCut = false;
    if (OnBeforeRetrieve)
        OnBeforeRetrieve(this, MsgIndex);
}

TKelMsg* TKelPOP::RetrieveMsg(uint16_t MsgIndex, bool HeaderOnly) {
    BeginRetrieval(MsgIndex);
    // Without a name from the start: nothing is left behind on any path out
    // of here, a killed process included.
    TTempFile spool = TTempFile::Unnamed();

    const std::string n = std::to_string(MsgIndex);
    ListForRetrieval(n);
    if (!HeaderOnly && FListedSize >= 0 && static_cast<uint64_t>(FListedSize) > OpenCeiling) {
        // Nothing is outstanding: the caller may save it instead.
        FTooLarge = true;
        FOperationFailed = true;
        return nullptr;
    }
    // Whatever LIST claims, or when it claims nothing, the spool and the
    // parse stay within what this machine can open.
    const uint64_t limit = std::min(ReplyBound(), OpenCeiling);
    if (FCancelRequested) {
        // Nothing is outstanding: the session goes on.
        FOperationFailed = true;
        return nullptr;
    }

    const std::string command = HeaderOnly ? "TOP " + n + " 0" : "RETR " + n;
    SendCommand(command + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        spool.Remove();
        ReportError(popRetrieveRefused);
        return nullptr;
    }

    uint64_t spooled = 0;
    if (!StreamReply(command, limit, [&](std::string_view Block) {
            spool.WriteAll(Block);
            spooled += Block.size();
        }))
        return nullptr;

    return AdoptMessage([&](TKelMsg& Msg) {
        {
            const TSpoolText text(spool, spooled);
            // The message's lines are views into the spool text, which holds
            // the message unstuffed, without status and terminator lines.
            std::vector<std::string_view> lines;
            AppendSplitLines(lines, text.View());
            Msg.Size = FListedSize >= 0 ? static_cast<int32_t>(std::min<int64_t>(FListedSize, INT32_MAX)) : 0;
            // The text's copies replace the spool's pages as they are made:
            // a large text is not held twice.
            Msg.OnLinesCopied = [&text](const char* Begin, const char* End) { text.Release(Begin, End); };
            Msg.ParseLines(lines);
            Msg.OnLinesCopied = nullptr;
        }
        // The spool stays with the message: it is the message as received.
        Msg.Original = std::make_shared<const TTempFile>(std::move(spool));
        if (GetUIDLsOnRetrieve)
            Msg.UIDL = GetUIDL(MsgIndex);
    });
}

TKelMsg* TKelPOP::AdoptMessage(const std::function<void(TKelMsg&)>& Fill) {
    FMessages.push_back(std::make_unique<TKelMsg>(this));
    TKelMsg* msg = FMessages.back().get();
    try {
        Fill(*msg);
    } catch (...) {
        // Nobody can reach a message that was not returned.
        ReleaseMsg(msg);
        throw;
    }
    if (OnAfterRetrieve)
        OnAfterRetrieve(this);
    return msg;
}

TKelMsg* TKelPOP::PreviewMsg(uint16_t MsgIndex) {
    BeginRetrieval(MsgIndex);
    FListedSize = -1;
    Pump();
    if (FCancelRequested) {
        // Nothing is outstanding: the session goes on.
        FOperationFailed = true;
        return nullptr;
    }
    const std::string command = "TOP " + std::to_string(MsgIndex) + " " + std::to_string(PreviewLines);
    SendCommand(command + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        ReportError(popRetrieveRefused);
        return nullptr;
    }
    // Untrusted: the server decides how long the lines are, and may ignore
    // the count. Past the limit the bytes are read only to keep in step.
    std::string kept;
    if (!StreamReply(command, RetrieveReplyCap, [&](std::string_view Block) {
            const size_t room = PreviewKeepLimit - std::min(kept.size(), PreviewKeepLimit);
            if (Block.size() > room)
                FPreviewCut = true;
            kept.append(Block.substr(0, room));
        }))
        return nullptr;
    if (FPreviewCut) {
        // A line cut in two would read as a whole one (a base64 line as data
        // that is not there); it goes, unless it is all there is.
        const size_t end = kept.find_last_of("\r\n");
        if (end != std::string::npos)
            kept.resize(end + 1);
    }

    return AdoptMessage([&](TKelMsg& Msg) {
        std::vector<std::string_view> lines;
        AppendSplitLines(lines, kept);
        Msg.ParseLines(lines);
    });
}

bool TKelPOP::SaveMsg(uint16_t MsgIndex, const std::function<void(std::string_view)>& Sink) {
    BeginRetrieval(MsgIndex);
    const std::string n = std::to_string(MsgIndex);
    ListForRetrieval(n);
    if (FCancelRequested) {
        FOperationFailed = true;
        return false;
    }
    const std::string command = "RETR " + n;
    SendCommand(command + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        ReportError(popRetrieveRefused);
        return false;
    }
    if (!StreamReply(command, ReplyBound(), Sink))
        return false;
    if (OnAfterRetrieve)
        OnAfterRetrieve(this);
    return true;
}

void TKelPOP::ReleaseMsg(TKelMsg* Msg) {
    auto it = std::find_if(FMessages.begin(), FMessages.end(),
                           [Msg](const auto& p) { return p.get() == Msg; });
    if (it != FMessages.end())
        FMessages.erase(it);
}

} // namespace kel
