// TKelPOP: the POP3 client component. One command at a time over a blocking
// TCP connection; the host's message pump runs before every send and receive
// and while a receive waits, so a window stays responsive.
#pragma once

#include "message/kel_util.h"
#include "pop3/KelSocket.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kel {

class TKelMsg;

// Misuse of the component: "Not connected.", "Invalid Op. Not connected.".
class EKelPOPError : public Exception {
  public:
    using Exception::Exception;
};

// A server number that does not convert: "'<text>' ist kein gültiger Integerwert".
class EKelConvertError : public Exception {
  public:
    explicit EKelConvertError(const std::string& Text);
};

using TOnBeforeRetrieve = std::function<void(TObject* Sender, uint16_t MsgIndex)>;
using TOnDeleteEvent = std::function<void(TObject* Sender, uint16_t MsgIndex)>;
using TToFromSocketEvent = std::function<void(TObject* Sender, const std::string& s)>;

class TKelPOP : public TObject {
  public:
    TKelPOP();
    // Sends nothing to the server; releases the messages RetrieveMsg created.
    ~TKelPOP() override;
    TKelPOP(const TKelPOP&) = delete;
    TKelPOP& operator=(const TKelPOP&) = delete;

    // ---- published properties ----
    std::string UserId;
    std::string UserPasswd;
    std::string Port = "110"; // a text that does not convert means 110
    std::string Host;         // host name or dotted IPv4 address
    std::string StrErrorInFormatOfMsg = "Error en el formato del mensaje.";
    uint16_t RetrieveProgressStep = 10;
    bool GetUIDLsOnRetrieve = false;

    // ---- published events (empty = unbound) ----
    TNotifyEvent OnConnect;                   // Sender = transport
    TNotifyEvent OnQuit;                      // Sender = transport
    TOnError OnError;                         // component (2001..2006) or transport (errno)
    TOnBeforeRetrieve OnBeforeRetrieve;       // Sender = component
    TNotifyEvent OnAfterRetrieve;             // Sender = component
    TOnCodeProgressEvent OnRetrieveProgress;  // Sender = component
    TOnDeleteEvent OnDelete;                  // Sender = component
    TSocketNotifyEvent OnLookup;              // Sender = transport
    TSocketNotifyEvent OnConnecting;          // Sender = transport
    TToFromSocketEvent OnSendTextToSocket;    // Sender = component, text as sent
    TToFromSocketEvent OnReceiveTextFromSocket; // Sender = component, chunk as received

    // ---- host callbacks (empty in the library's own tests) ----
    std::function<void()> ProcessMessages; // the window's message pump
    std::function<void(int ms)> Sleep;     // a short sleep (Quit waits 10 ms)

    // ---- limits that keep a hostile or stalled server from holding us ----
    // A receive that gets no byte for this long ends through the transport
    // error path (ETIMEDOUT); a connect to one address that gets no answer
    // for this long is given up (a failed open). Tests lower it.
    int ReceiveStallLimitMs = 180000;
    // A TOP reply in GetHeader that grows past this without its terminator
    // ends through the transport error path (EMSGSIZE).
    size_t HeaderReplyLimit = 4u << 20;

    // ---- public state ----
    bool Connected() const { return FConnected; }
    bool OperationFailed() const { return FOperationFailed; }
    const std::string& ReplyText() const { return FReplyText; }
    uint16_t MsgCount() const { return FMsgCount; }
    const std::string& MailboxSizeText() const { return FMailboxSizeText; }
    // The transport: the Sender of OnConnect, OnQuit, OnLookup, OnConnecting
    // and of OnError for transport errors.
    TObject* Transport() { return &FSocket; }

    // ---- connection ----
    // Opens Host:Port and reads the greeting. Never throws for a failed open;
    // test OperationFailed afterwards. The pump runs while the connect is
    // pending; a connect unanswered for ReceiveStallLimitMs fails.
    void Connect();
    // USER and PASS; true when both were accepted. Throws EKelPOPError
    // "Invalid Op. Not connected." when not connected. A user name or
    // password holding CR, LF or NUL is refused with EKelPOPError before
    // anything is sent, so stored settings cannot inject commands.
    bool Login();
    // QUIT and close; nothing when not connected. While Connect waits for
    // the connection (Quit from a handler the pump runs), the open is
    // abandoned instead: Connect ends as a failed open.
    void Quit();

    // ---- mailbox ----
    void Stat(); // sets MsgCount and MailboxSizeText; EKelConvertError on a bad count
    // Writes MsgSize only when the server accepted "list n".
    void GetMsgSize(int32_t MsgIndex, std::string& MsgSize);
    void DeleteMsg(uint16_t MsgIndex);
    // The TOP n 0 reply after its status line, terminator line included.
    std::string GetHeader(uint16_t MsgIndex);
    std::string GetUIDL(int32_t MsgIndex);

    // ---- retrieval ----
    // LIST n, then RETR n (or TOP n 0 when HeaderOnly), spooled to a
    // temporary file, unstuffed and parsed into a new message owned by this
    // component; nullptr when the server refused. The spool file is removed
    // on every path. A message that is not returned (an exception) is released.
    // A failure other than the transport's while the reply is read (spool
    // write, a handler's exception) closes the connection before it leaves.
    TKelMsg* RetrieveMsg(uint16_t MsgIndex, bool HeaderOnly = false);
    // Destroys a message RetrieveMsg returned, before the component does (a
    // caller that keeps only the latest message releases the one before).
    // A pointer this component does not own is ignored.
    void ReleaseMsg(TKelMsg* Msg);
    // How many messages the component holds.
    size_t OwnedMessages() const { return FMessages.size(); }

    // ---- engine ----
    void SendCommand(const std::string& Text);
    std::string ReadReply(); // one receive of at most 1024 bytes, judged
    void ReportError(int32_t Code);
    void HandleTransportError(int ErrorCode);

  private:
    void Pump();
    void PrepareSocket();
    // Appends receives to Text (the reply after its status line) until it
    // holds the terminator. AtLineStart: Text begins right after a CR LF.
    // End of stream or an oversized reply ends through the transport error path.
    void ReadUntilTerminator(std::string& Text, bool AtLineStart);
    // A multi-line reply got an empty receive: ends through the transport
    // error path, never returns.
    [[noreturn]] void FailInsideReply();

    TKelSocket FSocket;
    bool FConnected = false;
    bool FOperationFailed = false;
    std::string FReplyText;
    uint16_t FMsgCount = 0;
    std::string FMailboxSizeText;
    uint16_t NextProgressMark = 0;
    uint16_t LastPercent = 0;
    std::vector<std::unique_ptr<TKelMsg>> FMessages;
};

} // namespace kel
