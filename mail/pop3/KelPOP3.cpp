#include "pop3/KelPOP3.h"

#include <algorithm>
#include <cerrno>

#if __has_include("message/KelMsg.h")
#include "message/KelMsg.h"
#define KEL_HAVE_MSG 1
#endif

namespace kel {

namespace {

constexpr size_t kReceiveSize = 1024;
const std::string kCrLf = "\r\n";
const std::string kTerminator = "\r\n.\r\n";

// Converts like StrToIntDef but tells whether the text converted at all.
bool TryStrToInt(const std::string& s, int32_t& value) {
    value = StrToIntDef(s, 0);
    return value == StrToIntDef(s, 1);
}

// The part of a reply text after its first blank; all of it without a blank.
std::string AfterFirstBlank(const std::string& s) {
    size_t b = s.find(' ');
    return b == std::string::npos ? s : s.substr(b + 1);
}

} // namespace

EKelConvertError::EKelConvertError(const std::string& Text)
    : std::runtime_error("'" + Text + "' ist kein gültiger Integerwert") {}

void TKelPOP::TMsgDeleter::operator()(TKelMsg* Msg) const noexcept {
#ifdef KEL_HAVE_MSG
    delete Msg;
#else
    (void)Msg;
#endif
}

TKelPOP::TKelPOP() {
    FSocket.OnLookup = [this](TObject* Sender, TObject* Socket) {
        if (OnLookup)
            OnLookup(Sender, Socket);
    };
    FSocket.OnConnecting = [this](TObject* Sender, TObject* Socket) {
        if (OnConnecting)
            OnConnecting(Sender, Socket);
    };
    FSocket.OnConnect = [this](TObject* Sender) {
        FConnected = true;
        if (OnConnect)
            OnConnect(Sender);
    };
    FSocket.OnDisconnect = [this](TObject* Sender) {
        FConnected = false;
        if (OnQuit)
            OnQuit(Sender);
    };
    FSocket.OnError = [this](TObject*, int ErrorCode) { HandleTransportError(ErrorCode); };
    FSocket.Idle = [this] { Pump(); };
}

TKelPOP::~TKelPOP() {
    // Closing here must not reach the owner's handlers: it may be half gone.
    FSocket.OnDisconnect = nullptr;
    FSocket.OnError = nullptr;
    FSocket.Idle = nullptr;
}

void TKelPOP::Pump() {
    if (ProcessMessages)
        ProcessMessages();
}

void TKelPOP::PrepareSocket() { FSocket.StallLimitMs = ReceiveStallLimitMs; }

// ---------------------------------------------------------------- engine

void TKelPOP::SendCommand(const std::string& Text) {
    Pump();
    PrepareSocket();
    FSocket.SendBuf(Text.data(), Text.size());
    if (OnSendTextToSocket)
        OnSendTextToSocket(this, Text);
}

std::string TKelPOP::ReadReply() {
    Pump();
    PrepareSocket();
    char buffer[kReceiveSize];
    size_t n = FSocket.ReceiveBuf(buffer, sizeof buffer);
    // Untrusted bytes from the server: any value, NUL included.
    std::string chunk(buffer, n);
    FOperationFailed = chunk.compare(0, 4, "-ERR") == 0;
    size_t eol = chunk.find(kCrLf);
    FReplyText = (eol == std::string::npos || eol <= 4) ? std::string()
                                                        : Trim(chunk.substr(4, eol - 4));
    if (OnReceiveTextFromSocket)
        OnReceiveTextFromSocket(this, chunk);
    return chunk;
}

void TKelPOP::ReportError(int32_t Code) {
    FOperationFailed = true;
    FSocket.Close();
    FConnected = false;
    if (OnError)
        OnError(this, Code, FReplyText);
}

void TKelPOP::HandleTransportError(int ErrorCode) {
    FOperationFailed = true;
    FSocket.Close();
    FConnected = false;
    if (OnError)
        OnError(&FSocket, ErrorCode, FReplyText);
}

// ------------------------------------------------------------ connection

void TKelPOP::Connect() {
    FMsgCount = 0;
    FSocket.Port = StrToIntDef(Port, 110);
    if (IsDottedAddress(Host)) {
        FSocket.Address = Host;
        FSocket.Host.clear();
    } else {
        FSocket.Host = Host;
        FSocket.Address.clear();
    }
    FOperationFailed = false;
    PrepareSocket();
    try {
        FSocket.Open();
    } catch (const ESocketOpenError&) {
        FOperationFailed = true;
        return;
    }
    if (FConnected)
        ReadReply();
}

bool TKelPOP::Login() {
    if (!FConnected)
        throw EKelPOPError("Invalid Op. Not connected.");
    auto unsafe = [](const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; };
    if (unsafe(UserId) || unsafe(UserPasswd))
        throw EKelPOPError("User name or password contains a line break.");
    SendCommand("USER " + UserId + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        ReportError(2001);
        return false;
    }
    SendCommand("PASS " + UserPasswd + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        ReportError(2001);
        return false;
    }
    return true;
}

void TKelPOP::Quit() {
    if (!FConnected)
        return;
    SendCommand("QUIT" + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        ReportError(2002);
        return;
    }
    FSocket.Close();
    FConnected = false;
    Pump();
    if (Sleep)
        Sleep(10);
}

// --------------------------------------------------------------- mailbox

void TKelPOP::Stat() {
    SendCommand("STAT" + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        ReportError(2006);
        return;
    }
    size_t b = FReplyText.find(' ');
    std::string countText = b == std::string::npos ? std::string() : FReplyText.substr(0, b);
    int32_t count = 0;
    if (!TryStrToInt(countText, count))
        throw EKelConvertError(countText);
    FMsgCount = static_cast<uint16_t>(count);
    FMailboxSizeText = FReplyText.substr(b + 1);
}

void TKelPOP::GetMsgSize(int32_t MsgIndex, std::string& MsgSize) {
    SendCommand("list " + std::to_string(MsgIndex) + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        ReportError(2006);
        return;
    }
    MsgSize = AfterFirstBlank(FReplyText);
}

void TKelPOP::DeleteMsg(uint16_t MsgIndex) {
    if (!FConnected)
        throw EKelPOPError("Not connected.");
    Pump();
    SendCommand("DELE " + std::to_string(MsgIndex) + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        ReportError(2003);
        return;
    }
    // Never wraps below zero: a DELE without a STAT before it leaves 0.
    if (FMsgCount > 0)
        --FMsgCount;
    if (OnDelete)
        OnDelete(this, MsgIndex);
}

void TKelPOP::ReadUntilTerminator(std::string& Text, bool AtLineStart) {
    // When the status line's CR LF came before Text, a "." line at its very
    // start ends the reply too (an empty message: "+OK" CR LF "." CR LF).
    auto emptyReply = [&] { return AtLineStart && Text.compare(0, 3, ".\r\n") == 0; };
    if (emptyReply())
        return;
    size_t searchFrom = 0;
    while (Text.find(kTerminator, searchFrom) == std::string::npos) {
        // Only a terminator that ends in the new chunk can be new.
        searchFrom = Text.size() >= kTerminator.size() - 1 ? Text.size() - (kTerminator.size() - 1) : 0;
        std::string chunk = ReadReply();
        if (chunk.empty())
            FSocket.Fail(ECONNRESET, "recv"); // the server closed inside the reply
        Text += chunk;
        if (Text.size() > HeaderReplyLimit)
            FSocket.Fail(EMSGSIZE, "recv");
        if (emptyReply())
            return;
    }
}

std::string TKelPOP::GetHeader(uint16_t MsgIndex) {
    if (!FConnected)
        throw EKelPOPError("Not connected.");
    SendCommand("TOP " + std::to_string(MsgIndex) + " 0" + kCrLf);
    std::string text = ReadReply();
    if (FOperationFailed) {
        ReportError(2005);
        return std::string();
    }
    size_t eol = text.find(kCrLf);
    if (eol != std::string::npos) {
        text.erase(0, eol + 2);
        ReadUntilTerminator(text, true);
    } else {
        if (!text.empty())
            text.erase(0, 1);
        ReadUntilTerminator(text, false);
    }
    return text;
}

std::string TKelPOP::GetUIDL(int32_t MsgIndex) {
    SendCommand("UIDL " + std::to_string(MsgIndex) + kCrLf);
    ReadReply();
    if (FOperationFailed) {
        ReportError(2006);
        return std::string();
    }
    return AfterFirstBlank(FReplyText);
}

// ------------------------------------------------------------- retrieval

TKelMsg* TKelPOP::RetrieveMsg(uint16_t MsgIndex, bool HeaderOnly) {
    (void)MsgIndex;
    (void)HeaderOnly;
    if (!FConnected)
        throw EKelPOPError("Not connected.");
    throw EKelPOPError("Message retrieval is not available yet.");
}

void TKelPOP::ReleaseMsg(TKelMsg* Msg) {
    auto it = std::find_if(FMessages.begin(), FMessages.end(),
                           [Msg](const auto& p) { return p.get() == Msg; });
    if (it != FMessages.end())
        FMessages.erase(it);
}

} // namespace kel
