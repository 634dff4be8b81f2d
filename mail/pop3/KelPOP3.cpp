#include "pop3/KelPOP3.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <sys/mman.h>

#include "message/KelMsg.h"

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
    : Exception("'" + Text + "' ist kein gültiger Integerwert") {}

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
    } catch (...) {
        // A handler's exception (the pump's, while the connect is pending)
        // belongs to the caller; the attempt has failed all the same.
        FOperationFailed = true;
        throw;
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
    if (!FConnected) {
        // Called from the pump while the connect is pending (the window
        // closes): the open is abandoned and ends as a failed open once
        // control is back in Connect. Nothing is sent.
        if (FSocket.IsOpening())
            FSocket.Close();
        return;
    }
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

void TKelPOP::FailInsideReply() {
    // The server closed inside the reply, or a handler running in the pump
    // closed the connection while the receive waited.
    FSocket.Fail(FSocket.IsOpen() ? ECONNRESET : ENOTCONN, "recv");
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
            FailInsideReply();
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

namespace {

// Spooled bytes x 100 / size, rounded to the nearest integer with a half
// going to the even neighbour. 64 bits hold the product for any reply a
// machine can spool.
uint64_t PercentOf(uint64_t spooled, int32_t size) {
    const uint64_t num = spooled * 100;
    const uint64_t den = static_cast<uint64_t>(size);
    uint64_t q = num / den;
    const uint64_t r = num % den;
    if (2 * r > den || (2 * r == den && (q & 1)))
        ++q;
    return q;
}

// True when CR LF "." CR LF lies in Tail followed by Chunk: a terminator
// split across two receives is found as well as one inside the chunk.
bool HasTerminator(const char* Tail, size_t TailLen, const std::string& Chunk) {
    if (Chunk.find(kTerminator) != std::string::npos)
        return true;
    // A match that starts in the tail ends within the chunk's first 4 bytes.
    char seam[8];
    size_t n = 0;
    for (size_t i = 0; i < TailLen; ++i)
        seam[n++] = Tail[i];
    for (size_t i = 0; i < Chunk.size() && i < 4; ++i)
        seam[n++] = Chunk[i];
    return std::string_view(seam, n).find(kTerminator) != std::string_view::npos;
}

// The lines of Reply after its first (the status line), by the text list
// rules: what splitting the whole reply and erasing the first line gives,
// without moving every other line down by one.
void AppendLinesAfterStatus(std::vector<std::string_view>& Lines, std::string_view Reply) {
    const size_t end = Reply.find_first_of(std::string_view("\r\n\0", 3));
    if (end == std::string_view::npos || Reply[end] == '\0')
        return; // the status line is all there is
    size_t next = end + 1;
    if (Reply[end] == '\r' && next < Reply.size() && Reply[next] == '\n')
        ++next;
    AppendSplitLines(Lines, Reply.substr(next));
}

// The spool file's text, mapped rather than read into a string when the
// system allows: the message is then parsed where it lies, not copied. The
// mapping outlives the file's removal and goes with this object.
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

  private:
    void* FMap = nullptr;
    size_t FSize = 0;
    std::string FCopy;
};

// Watches the received bytes for a line that begins with "." and has more
// after it: only then has the reply dot-stuffed lines to undo, and the loop
// over every line (which reads each line's bytes once more) is needed. A dot
// at the end of a receive counts (what follows is not known yet); the
// terminator line "." alone does not.
class TDotStuffWatch {
  public:
    void See(const std::string& Chunk) {
        if (FSeen)
            return;
        for (size_t i = Chunk.find('.'); i != std::string::npos; i = Chunk.find('.', i + 1)) {
            const char before = i > 0 ? Chunk[i - 1] : FLast;
            if (before != '\r' && before != '\n')
                continue;
            if (i + 1 >= Chunk.size() || (Chunk[i + 1] != '\r' && Chunk[i + 1] != '\n')) {
                FSeen = true;
                return;
            }
        }
        if (!Chunk.empty())
            FLast = Chunk.back();
    }
    bool Seen() const { return FSeen; }

  private:
    bool FSeen = false;
    char FLast = '\0'; // the status line is not a line the reply's data begins with
};

// Spool writes are gathered into blocks of this size: one write per 1024-byte
// receive would cost more than the receive itself.
constexpr size_t kSpoolBlock = 64 * 1024;

} // namespace

TKelMsg* TKelPOP::RetrieveMsg(uint16_t MsgIndex, bool HeaderOnly) {
    if (!FConnected)
        throw EKelPOPError("Not connected.");
    if (OnBeforeRetrieve)
        OnBeforeRetrieve(this, MsgIndex);
    // Created exclusively (no name is reserved and re-created) and removed on
    // every path out of here, exceptions included.
    TTempFile spool;

    const std::string n = std::to_string(MsgIndex);
    SendCommand("LIST " + n + kCrLf);
    ReadReply(); // a refused LIST goes unnoticed: its text rarely has a size
    const int32_t size = NthWordAsInt(FReplyText, 2, 100);

    SendCommand((HeaderOnly ? "TOP " + n + " 0" : "RETR " + n) + kCrLf);
    std::string chunk = ReadReply();
    if (FOperationFailed) {
        spool.Remove();
        ReportError(2004);
        return nullptr;
    }

    NextProgressMark = RetrieveProgressStep;
    LastPercent = 0;
    std::string pending; // spool bytes not yet written
    pending.reserve(kSpoolBlock + kReceiveSize);
    uint64_t spooled = chunk.size();
    TDotStuffWatch dots;
    try {
        pending += chunk;
        dots.See(chunk);
        char tail[4];
        size_t tailLen = 0;
        // The first chunk is searched as a whole.
        bool done = HasTerminator(tail, 0, chunk);
        while (!done) {
            Pump();
            // The last 4 bytes received, so a terminator split across two
            // receives is still found.
            if (chunk.size() >= 4) {
                std::copy(chunk.end() - 4, chunk.end(), tail);
                tailLen = 4;
            } else {
                char joined[8];
                size_t len = 0;
                for (size_t i = 0; i < tailLen; ++i)
                    joined[len++] = tail[i];
                for (char c : chunk)
                    joined[len++] = c;
                tailLen = std::min<size_t>(4, len);
                std::copy(joined + len - tailLen, joined + len, tail);
            }
            chunk = ReadReply();
            if (chunk.empty())
                FailInsideReply();
            done = HasTerminator(tail, tailLen, chunk);
            pending += chunk;
            dots.See(chunk);
            if (pending.size() >= kSpoolBlock) {
                spool.WriteAll(pending);
                pending.clear();
            }
            spooled += chunk.size();
            // An unknown size (0 or less) gives no percentage; only the
            // closing report of 100 then follows.
            if (size > 0)
                LastPercent = static_cast<uint16_t>(PercentOf(spooled, size));
            if (LastPercent >= NextProgressMark) {
                if (OnRetrieveProgress)
                    OnRetrieveProgress(this, LastPercent);
                NextProgressMark = static_cast<uint16_t>(NextProgressMark + RetrieveProgressStep);
            }
        }
        spool.WriteAll(pending);
        pending = std::string();
    } catch (const ESocketError&) {
        throw; // the transport error path has closed the connection already
    } catch (...) {
        // A local failure (spool write, a handler's exception) leaves the
        // rest of the reply unread: the connection is of no further use.
        FSocket.Close();
        FConnected = false;
        throw;
    }
    if (LastPercent < 100 && OnRetrieveProgress)
        OnRetrieveProgress(this, 100);

    FMessages.push_back(std::make_unique<TKelMsg>(this));
    TKelMsg* msg = FMessages.back().get();
    try {
        {
            const TSpoolText text(spool, spooled);
            spool.Remove();
            // The message's lines are views into the spool text: undoing the
            // dot-stuffing only moves a view's start.
            std::vector<std::string_view> lines;
            AppendLinesAfterStatus(lines, text.View());
            // The terminator line (the status line was left out when loading).
            // A NUL in the reply ends the loaded text early; the last line is
            // then message data, not the terminator, and stays.
            if (!lines.empty() && lines.back() == ".")
                lines.pop_back();
            if (dots.Seen()) {
                for (std::string_view& line : lines)
                    if (line.size() >= 2 && line[0] == '.')
                        line.remove_prefix(1);
            }
            msg->Size = size;
            msg->ParseLines(lines);
        }
        if (GetUIDLsOnRetrieve)
            msg->UIDL = GetUIDL(MsgIndex);
    } catch (...) {
        // Nobody can reach a message that was not returned.
        ReleaseMsg(msg);
        throw;
    }
    if (OnAfterRetrieve)
        OnAfterRetrieve(this);
    return msg;
}

void TKelPOP::ReleaseMsg(TKelMsg* Msg) {
    auto it = std::find_if(FMessages.begin(), FMessages.end(),
                           [Msg](const auto& p) { return p.get() == Msg; });
    if (it != FMessages.end())
        FMessages.erase(it);
}

} // namespace kel
