// TKelPOP: the POP3 client component. One command at a time over a
// transport (a TCP socket unless a caller sets another); the host's message
// pump runs before every send and receive and while a receive waits, so a
// window stays responsive. Every reply is read from the byte stream by one
// reader: a reply ends where the protocol says, never where a receive does.
#pragma once

#include "mail/core/KelBase.h"
#include "mail/pop3/KelReplyReader.h"
#include "mail/pop3/KelTransport.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

class TKelMsg;
class TSaslMechanism;

// Why the component refused a call before sending anything.
enum class TPopMisuse {
    NotConnected,      // "Not connected.", "Invalid Op. Not connected."
    NotSecured,        // a login over a connection that should be inside TLS and is not
    UnsafeCredentials, // a user name or password holding CR, LF or NUL, a token
                       // holding anything but printable ASCII
};

// Misuse of the component: the call is refused before anything is sent.
class EKelPOPError : public Exception {
  public:
    explicit EKelPOPError(const std::string& Text, TPopMisuse Reason = TPopMisuse::NotConnected)
        : Exception(Text), Reason(Reason) {}
    TPopMisuse Reason;
};

// A server number that does not convert: "'<text>' ist kein gültiger Integerwert".
class EKelConvertError : public Exception {
  public:
    explicit EKelConvertError(const std::string& Text);
    std::string Value; // the text that did not convert
};

// Why the server's replies cannot be taken as they are.
enum class TProtocolFault {
    Impossible, // a reply that is well formed but cannot be true (a negative count)
    OutOfStep,  // replies no command asked for, or a count that betrays them
};

// The server's replies cannot be taken as they are.
class EKelProtocolError : public Exception {
  public:
    explicit EKelProtocolError(const std::string& Text, TProtocolFault Fault = TProtocolFault::Impossible)
        : Exception(Text), Fault(Fault) {}
    TProtocolFault Fault;
};

// The codes of OnError for a command the server refused ("-ERR"). A
// transport failure reports the system's error number instead.
enum TPopErrorCode : int32_t {
    popLoginRefused = 2001,    // USER, PASS or AUTH
    popQuitRefused = 2002,     // QUIT: nothing marked is deleted
    popDeleteRefused = 2003,   // DELE
    popRetrieveRefused = 2004, // RETR, or TOP in RetrieveMsg and PreviewMsg
    popHeaderRefused = 2005,   // TOP in GetHeader
    popMailboxRefused = 2006,  // STAT, LIST, UIDL
};

// How the connection is secured.
enum class TPopSecurity {
    None,     // plain text throughout
    Tls,      // TLS from the first byte (port 995)
    StartTls, // plain greeting, then STLS and TLS before anything else
};

// Why Connect failed; ConnectError() gives the details in English.
enum class TConnectFailure {
    None,
    Unreachable,   // lookup or connect failed
    Tls,           // the TLS handshake failed (ConnectError says why)
    Certificate,   // the certificate was not accepted (RejectedCertificate)
    PlainServer,   // TLS chosen, but the server answered in plain text
    NoGreeting,    // no greeting within GreetingLimitMs (a TLS-only port?)
    NoStls,        // STARTTLS chosen, the server does not offer STLS
    StlsRefused,   // STARTTLS chosen, the server refused STLS
};

// What Login signs in with.
enum class TPopSignIn {
    Password, // UserPasswd: SCRAM, PLAIN or USER/PASS, the strongest the server offers
    OAuth2,   // AccessToken: OAUTHBEARER or XOAUTH2
};

// Why the last Login returned false.
enum class TLoginFailure {
    None,
    Refused,         // the server refused, or the dialogue could not go on (2001)
    NoMechanism,     // OAuth2: the server offers no bearer mechanism; nothing was sent
    TokenRefused,    // OAuth2: the server refused the token (TokenStatus says why)
    ServerNotProven, // SCRAM: the server did not prove it knows the password
};

using TOnBeforeRetrieve = std::function<void(TObject* Sender, uint16_t MsgIndex)>;
using TOnDeleteEvent = std::function<void(TObject* Sender, uint16_t MsgIndex)>;
using TToFromSocketEvent = std::function<void(TObject* Sender, const std::string& s)>;
// One message of ListMessages: its TOP n 0 text (as GetHeader returns it;
// the handler may take it) and its LIST size text (empty when refused);
// false stops the listing.
using TOnListed = std::function<bool(uint16_t MsgIndex, std::string& Header, const std::string& Size)>;

// What UIDL and LIST without an argument tell of the whole mailbox
// (ReadMailboxIndex), indexed by message number - 1: one entry for each
// message the last STAT counted (at most 65535).
struct TMailboxIndex {
    // The server answered UIDL, or LIST; false when it refused.
    bool UidlsListed = false;
    bool SizesListed = false;
    // A message's unique id; empty where the server gave none to trust:
    // its line not as RFC 1939 writes it (the number, one blank, 1 to 70
    // characters 0x21 to 0x7E), its number listed twice, or its id listed
    // for another number too.
    std::vector<std::string> Uidls;
    // A message's LIST size (decimal digits); empty where the server gave
    // none, or gave its number twice.
    std::vector<std::string> Sizes;
};

// How failures reach a caller, for every operation below:
// - a refused command: OperationFailed, the connection closed (OnQuit), then
//   OnError(the component, its code, ReplyText); no exception;
// - a transport failure, a stall, the server closing inside a reply, or a
//   reply past its bound: OperationFailed, the connection closed (OnQuit),
//   OnError(the transport, the error number, ReplyText), then ESocketError
//   leaves the operation.
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
    TPopSignIn SignIn = TPopSignIn::Password;
    std::string AccessToken; // the OAuth 2.0 bearer token, with TPopSignIn::OAuth2
    // A text that does not convert means the default: 995 with
    // TPopSecurity::Tls, else 110.
    std::string Port = "110";
    std::string Host; // host name, dotted IPv4 or IPv6 address (no brackets)
    TPopSecurity Security = TPopSecurity::None;
    // A PEM file of authorities trusted besides the system's store.
    std::string TrustFile;
    // "sha256:<hex>" of a certificate the user trusts for this server
    // although it does not verify.
    std::string PinnedFingerprint;
    std::string StrErrorInFormatOfMsg = "Error en el formato del mensaje.";
    uint16_t RetrieveProgressStep = 10;
    bool GetUIDLsOnRetrieve = false;

    // ---- published events (empty = unbound) ----
    TNotifyEvent OnConnect;                   // Sender = transport
    TNotifyEvent OnQuit;                      // Sender = transport
    TOnError OnError;                         // component (TPopErrorCode) or transport (errno)
    TOnBeforeRetrieve OnBeforeRetrieve;       // Sender = component
    TNotifyEvent OnAfterRetrieve;             // Sender = component
    TOnCodeProgressEvent OnRetrieveProgress;  // Sender = component
    TOnDeleteEvent OnDelete;                  // Sender = component
    TSocketNotifyEvent OnLookup;              // Sender = transport
    TSocketNotifyEvent OnConnecting;          // Sender = transport
    TToFromSocketEvent OnSendTextToSocket;    // Sender = component, text as sent
    TToFromSocketEvent OnReceiveTextFromSocket; // Sender = component, each receive as received

    // ---- host callbacks (empty in the library's own tests) ----
    std::function<void()> ProcessMessages; // the window's message pump
    std::function<void(int ms)> Sleep;     // a short sleep (Quit waits 10 ms)

    // ---- limits that keep a hostile or stalled server from holding us ----
    // A receive that gets no byte for this long ends through the transport
    // error path (ETIMEDOUT); a connect to one address that gets no answer
    // for this long is given up (a failed open). Tests lower it.
    int ReceiveStallLimitMs = 180000;
    // The greeting must begin within this long (at most ReceiveStallLimitMs):
    // a TLS-only port waits silently for a handshake that a plain client
    // never starts, and the user hears why in seconds, not minutes. The TLS
    // handshake may stall no longer either.
    int GreetingLimitMs = 8000;
    // A TOP reply in GetHeader whose lines grow past this ends through the
    // transport error path (EMSGSIZE).
    size_t HeaderReplyLimit = 4u << 20;
    // A RETR (or TOP) reply in RetrieveMsg and SaveMsg may grow to twice
    // the size LIST gave plus RetrieveReplySlack, or to RetrieveReplyCap when
    // LIST gave no size; in RetrieveMsg never past OpenCeiling either. Past
    // that it ends through the transport error path (EMSGSIZE). A
    // single-line reply may be TReplyReader::kMaxLine bytes long.
    uint64_t RetrieveReplySlack = 16u << 20;
    uint64_t RetrieveReplyCap = uint64_t{1} << 30;
    // The most a message may be to be opened in memory (RetrieveMsg): a
    // parsed message costs up to three times its size, so the default is a
    // quarter of this machine's memory, at most 1 GiB. A larger one can
    // still be saved to a file (SaveMsg).
    uint64_t OpenCeiling = MachineOpenCeiling();
    static uint64_t MachineOpenCeiling();

    // ---- public state ----
    bool Connected() const { return FConnected; }
    bool OperationFailed() const { return FOperationFailed; }
    // The last reply's status line without its first four bytes, trimmed.
    const std::string& ReplyText() const { return FReplyText; }
    // The last reply's status line as received, without its CR LF. Only a
    // QUIT answered "+OK" proves that the marked messages are deleted.
    const std::string& ReplyLine() const { return FReplyLine; }
    uint16_t MsgCount() const { return FMsgCount; }
    // Why the last Connect failed (TConnectFailure::None when it did not or
    // has not run), and the details in English.
    TConnectFailure ConnectFailure() const { return FConnectFailure; }
    const std::string& ConnectError() const { return FConnectError; }
    // The certificate of a Connect that failed with Certificate.
    const TCertificateInfo& RejectedCertificate() const { return FRejected; }
    // The capabilities the last CAPA listed (after STLS, or ReadCapabilities), one per line.
    const std::vector<std::string>& Capabilities() const { return FCapabilities; }
    // The connection is inside TLS.
    bool Secured() const { return FConnected && FTransport->Secured(); }
    const std::string& MailboxSizeText() const { return FMailboxSizeText; }
    // The whole count the last STAT gave (MsgCount keeps its low 16 bits),
    // -1 before any.
    int64_t StatCount() const { return FStatCount; }
    // Bytes received on this component's connections so far: a caller that
    // watches it can tell a server that has stopped sending.
    uint64_t BytesReceived() const { return FBytesReceived; }
    // The size the last RetrieveMsg's or SaveMsg's LIST gave; -1 when it
    // gave none (refused, or not a decimal number). A size past 64 bits
    // reads as the largest value.
    int64_t ListedSize() const { return FListedSize; }
    // The last RetrieveMsg declined the message without asking for it: its
    // ListedSize is above OpenCeiling.
    bool TooLarge() const { return FTooLarge; }
    // The transport: the Sender of OnConnect, OnQuit, OnLookup, OnConnecting
    // and of OnError for transport errors.
    TKelTransport* Transport() { return FTransport.get(); }
    // Puts another transport in place of the TCP socket (tests, other
    // transports). Only while not connected; the old one goes silently.
    void SetTransport(std::unique_ptr<TKelTransport> Transport);

    // ---- connection ----
    // Opens Host:Port, secured as Security says, and reads the greeting.
    // Never throws for a failed open (OperationFailed, OnQuit, no OnError,
    // ConnectFailure says why); test OperationFailed afterwards. A failed
    // open includes a refused or failed TLS handshake, a certificate that is
    // neither verified nor pinned, no greeting within GreetingLimitMs, and
    // with StartTls a server that does not offer or refuses STLS: nothing
    // else is sent then, never a login in plain text. With StartTls, the
    // bytes after the "+OK" to STLS are dropped unread, and CAPA is asked
    // again inside TLS. A greeting "-ERR" leaves the connection open with
    // OperationFailed set. A transport failure while the greeting is read (a
    // greeting longer than TReplyReader::kMaxLine included) throws
    // ESocketError. The pump runs while the connect is pending; a connect
    // unanswered for ReceiveStallLimitMs fails.
    void Connect();
    // Signs in; true when the server accepted. Asks CAPA first when this
    // connection has not (a refusal is no failure), and takes the strongest
    // mechanism its SASL line offers (RFC 5034 AUTH):
    // - Password: SCRAM-SHA-256-PLUS (inside TLS, bound to it),
    //   SCRAM-SHA-256, SCRAM-SHA-1, PLAIN, then USER and PASS; a server
    //   without a SASL line, or with none of these, gets USER and PASS.
    //   PLAIN and USER/PASS only inside TLS or with Security None.
    // - OAuth2: OAUTHBEARER, then XOAUTH2; with neither offered, false with
    //   NoMechanism and OperationFailed, nothing sent, the connection open.
    // Refused: 2001 as for every refused command (the connection closed),
    // LoginFailure Refused, or TokenRefused for a bearer token (TokenStatus
    // keeps the server's reason); a challenge that cannot be answered (not
    // base64, past 16 KiB, more than 10 rounds, one the mechanism rejects)
    // is cancelled ("*") and reported the same way. A SCRAM server that
    // says "+OK" without proving it knows the password (its final
    // signature missing or wrong) is dropped at once without an event:
    // false with ServerNotProven. Throws EKelPOPError "Invalid Op. Not
    // connected." when not connected. A user name or password holding CR,
    // LF or NUL, or a token holding anything but printable ASCII, is refused
    // with EKelPOPError before anything is sent, so stored settings cannot
    // inject commands. With a Security other than None, a connection that
    // is not inside TLS is refused the same way.
    bool Login();
    // The mechanism the last Login used or tried ("SCRAM-SHA-256",
    // "PLAIN", "OAUTHBEARER", ..., "USER" for USER and PASS); empty before
    // and when it chose none.
    const std::string& Mechanism() const { return FMechanism; }
    TLoginFailure LoginFailure() const { return FLoginFailure; }
    // The "status" of the server's error for a refused bearer token
    // (RFC 7628: "invalid_token", "401", ...); empty otherwise.
    const std::string& TokenStatus() const { return FTokenStatus; }
    // QUIT and close; nothing when not connected. Refused (any answer but
    // "+OK", which alone proves the deletions): 2002. While
    // Connect waits for the connection (Quit from a handler the pump runs),
    // the open is abandoned instead: Connect ends as a failed open.
    void Quit();
    // Drops the connection at once: nothing is sent, no event fires, bytes
    // not yet read are forgotten. An operation waiting on the connection
    // (Abort from a handler the pump runs) ends with ESocketError(ENOTCONN)
    // and no event. Nothing when not connected; while Connect waits, the
    // open is abandoned as with Quit.
    void Abort();

    // ---- mailbox ----
    // Each throws EKelPOPError "Not connected." when not connected, before
    // anything is sent.
    // Sets MsgCount, StatCount and MailboxSizeText. Refused: 2006. A count
    // that is not decimal digits throws EKelConvertError; a negative count,
    // or a size that is not a number of 0 or more, throws EKelProtocolError;
    // either way nothing is stored.
    void Stat();
    // Writes MsgSize only when the server accepted "list n". Refused: 2006.
    void GetMsgSize(int32_t MsgIndex, std::string& MsgSize);
    // Refused (any answer but "+OK"): 2003; MsgCount is lowered and
    // OnDelete fires only on "+OK".
    void DeleteMsg(uint16_t MsgIndex);
    // The TOP n 0 reply after its status line, terminator line included,
    // dot-stuffing as sent. Refused: 2005 and an empty result.
    std::string GetHeader(uint16_t MsgIndex);
    // Refused: 2006 and an empty result.
    std::string GetUIDL(int32_t MsgIndex);
    // UIDL and LIST without an argument, pipelined where the last CAPA
    // offered PIPELINING, else one after the other (no LIST after a refused
    // UIDL). A refusal of either is no failure: OperationFailed stays
    // false, the connection open, and that half of the index is not
    // listed. Lines that name no message the last STAT counted are left
    // out. Each
    // reply may hold (MsgCount + 1) x IndexLineBound bytes; past that it
    // ends through the transport error path (EMSGSIZE).
    TMailboxIndex ReadMailboxIndex();
    static constexpr size_t IndexLineBound = 128;

    // CAPA: the server's capabilities into Capabilities(); false (and no
    // failure) when the server refused CAPA.
    bool ReadCapabilities();
    // The last CAPA listed PIPELINING (RFC 2449).
    bool PipeliningOffered() const;
    // The last CAPA listed UTF8 (RFC 6856), with or without arguments.
    bool Utf8Offered() const { return Offered("UTF8"); }
    // UTF8: the server may then send header fields as UTF-8 rather than
    // refusing or mangling 8-bit ones. True when accepted; a refusal is no
    // failure (OperationFailed stays false, the connection open).
    bool EnableUtf8();
    // What a session asks once signed in: CAPA, UTF8 where offered, STAT.
    // Where the last CAPA (the one Login read before signing in) listed
    // PIPELINING, they go out in one send and their replies are read in
    // order, UTF8 among them when that CAPA offered it. Otherwise one at a
    // time, exactly ReadCapabilities, EnableUtf8 when the new CAPA offers
    // UTF8, and Stat. Each reply is judged as those calls judge it: a
    // refused CAPA or UTF8 is no failure, STAT reports and throws as Stat
    // does. Returns whether UTF8 was accepted.
    // WithIndex, when pipelining: UIDL and LIST go out in the same send,
    // after STAT, and their replies are read after its reply, so the next
    // ReadMailboxIndex returns them without a round trip of its own.
    bool OpenMailbox(bool WithIndex = false);
    // Messages in flight at most while ListMessages and DeleteMessages
    // pipeline. Their commands go out in batches of about 64 KiB, each
    // once the one before has gone whole; replies are read while a batch
    // waits to go, so a server that waits for its replies to be read never
    // waits on us while we wait on it, and a whole pass may be in flight.
    uint16_t PipelineWindow = UINT16_MAX;
    // TOP n 0 and "list n" for messages First to Last, in that order, with
    // OnListed after each message's two replies. With PIPELINING the
    // commands go out ahead of their replies (within PipelineWindow);
    // without it, lock-step exactly as GetHeader and GetMsgSize. A refused
    // command is reported as those do (the connection closes; the message's
    // OnListed still comes, with what is known of it) and ends the listing.
    // OnListed returning false sends nothing more; the replies already on
    // their way are read (OnListed for each, its answer ignored). Returns
    // the last message listed, 0 for none.
    uint16_t ListMessages(uint16_t First, uint16_t Last, const TOnListed& OnListed);
    // The same for the messages Numbers names (each 1 or more), in that
    // order. Returns how many were listed.
    size_t ListMessages(const std::vector<uint16_t>& Numbers, const TOnListed& OnListed);
    // DELE for each number, in the order given, each as DeleteMsg does
    // (MsgCount lowered and OnDelete for an accepted one). With PIPELINING
    // the DELEs go out ahead of their replies as in ListMessages; without
    // it, lock-step. A refused DELE is reported as DeleteMsg reports it and
    // ends the pass: the connection closes, and with it go the DELEs sent
    // after it, unanswered and never made final. OnDeleted after each
    // accepted DELE; false sends nothing more, and the replies already on
    // their way are read (OnDeleted for each accepted one, its answer
    // ignored). Returns how many DELEs were accepted.
    // Before it returns with the connection open, the pass is proven in
    // step: no bytes arrived that no command asked for, and a STAT (sent
    // with the last DELEs where they are pipelined; it leaves marked
    // messages out) counts the messages of the last STAT less the DELEs
    // accepted since. Otherwise a reply was taken for another
    // command's and an accepted DELE may be a refused one: the connection
    // is dropped without QUIT, so nothing becomes final, and
    // EKelProtocolError(OutOfStep) leaves.
    size_t DeleteMessages(const std::vector<uint16_t>& Numbers,
                          const std::function<bool(uint16_t MsgIndex)>& OnDeleted = {});

    // ---- retrieval ----
    // LIST n, then RETR n (or TOP n 0 when HeaderOnly), spooled to an
    // unnamed temporary file, unstuffed and parsed into a new message owned
    // by this component; nullptr when the server refused (2004) or Cancel
    // stopped it. The spool file has no name from the start, so nothing is
    // left behind on any path, a killed process included. The message keeps
    // the spool as its Original until the last holder lets go of it. A message that is
    // not returned (an exception) is released. A failure other than the
    // transport's while the reply is read (spool write, a handler's
    // exception) closes the connection before it leaves. With
    // GetUIDLsOnRetrieve a refused UIDL reports 2006 and the message is
    // still returned.
    // A message whose LIST size is above OpenCeiling (HeaderOnly aside) is
    // not asked for: nullptr with OperationFailed and TooLarge set, no event
    // after OnBeforeRetrieve, and the connection stays as it was.
    TKelMsg* RetrieveMsg(uint16_t MsgIndex, bool HeaderOnly = false);
    // LIST n and RETR n, the message handed to Sink as it arrives: unstuffed,
    // line ends as served, without status and terminator lines, in blocks of
    // about 64 KiB; nothing of it is held, so OpenCeiling does not apply.
    // Progress, Cancel, the reply's bound and the failures are as in
    // RetrieveMsg; an exception from Sink closes the connection and leaves
    // (the blocks already handed over stay with the caller). True once the
    // whole message has reached Sink; false when the server refused (2004)
    // or Cancel stopped it.
    bool SaveMsg(uint16_t MsgIndex, const std::function<void(std::string_view Block)>& Sink);
    // The lines of the body PreviewMsg asks for (TOP n PreviewLines), and the
    // most of its reply it keeps: a header or lines of enormous length are
    // cut there, whole lines kept.
    uint16_t PreviewLines = 40;
    size_t PreviewKeepLimit = 1u << 20;
    // TOP n PreviewLines: the header and the first lines of the body, parsed
    // into a new message owned by this component (ReleaseMsg, as for
    // RetrieveMsg); no LIST, no spool file, and OpenCeiling does not apply
    // since the server sends only the start of the message. Of the reply,
    // PreviewKeepLimit bytes are kept and parsed (a multipart or encoded
    // body cut short parses as far as it goes); the rest is read and
    // dropped, so the connection stays in step for the next command, and
    // PreviewCut tells. The whole reply may grow to RetrieveReplyCap, past
    // that it ends as a RETR's reply does (EMSGSIZE). nullptr when the
    // server refused (2004) or Cancel stopped it (before TOP the connection
    // stays, inside the reply it goes), as in RetrieveMsg;
    // progress, events and the other failures as there too.
    TKelMsg* PreviewMsg(uint16_t MsgIndex);
    // The last PreviewMsg's reply was longer than PreviewKeepLimit: the
    // message shows only what was kept.
    bool PreviewCut() const { return FPreviewCut; }
    // Asks a running RetrieveMsg to stop (from a handler the pump runs). It
    // stops before its next command, or between two receives of the reply;
    // in the reply it drops the connection as Abort does. It returns nullptr
    // with OperationFailed set, fires no event and removes its spool file.
    // The request ends with the retrieval; one made while none runs is
    // forgotten when the next begins.
    void Cancel() { FCancelRequested = true; }
    // Destroys a message RetrieveMsg returned, before the component does (a
    // caller that keeps only the latest message releases the one before).
    // A pointer this component does not own is ignored.
    void ReleaseMsg(TKelMsg* Msg);
    // How many messages the component holds.
    size_t OwnedMessages() const { return FMessages.size(); }

  private:
    // The last CAPA listed this word (upper case) first on a line.
    bool Offered(std::string_view Capability) const;
    // The mechanisms the last CAPA's SASL line lists, upper case.
    std::vector<std::string> SaslOffered() const;
    // The mechanism Login takes from those offered; empty for none.
    std::string ChooseMechanism() const;
    bool LoginUserPass();
    // The AUTH dialogue of FMechanism.
    bool Authenticate(TSaslMechanism& Sasl);
    // Cancels the AUTH dialogue ("*") and reports it as refused; false.
    bool CancelAuth();
    // Drops a server that did not prove itself, silently; false.
    bool DropUnproven();
    void Pump();
    // No reply is due: bytes that are there all the same (in the reader, or
    // ready on the connection at once) mean the server is out of step with
    // our commands. They drop the connection without a word sent, then
    // EKelProtocolError(OutOfStep) leaves.
    void RequireInStep();
    [[noreturn]] void FailOutOfStep(const std::string& Text);
    void WireTransport();
    void UnwireTransport();
    // Pump, send every byte, OnSendTextToSocket.
    void SendCommand(const std::string& Text);
    // The commands go behind those waiting to be sent, which go out as
    // the next receives wait (one write for as much as the connection
    // takes); OnSendTextToSocket for each.
    void QueueCommands(const std::vector<std::string>& Texts);
    // Items 0..Count-1 of commands (item i's from Commands(i)), sent and
    // read in order. Lock-step, each command waits for the reply before it;
    // with PIPELINING whole items go out ahead of their replies, within
    // PipelineWindow items, in batches (kBatchBytes). Reply(i, k) reads the
    // reply to item i's command k; Done(i) after its replies returns false
    // to send nothing more (the items in flight are still read). A closed
    // connection ends the run after that item's Done. Returns how many
    // items were done.
    size_t RunCommands(size_t Count, const std::function<std::vector<std::string>(size_t Item)>& Commands,
                       const std::function<void(size_t Item, size_t Command)>& Reply,
                       const std::function<bool(size_t Item)>& Done);
    // The STAT after a deletion pass (sent here unless Send is false): its
    // count must be the messages not marked.
    void ConfirmCount(bool Send);
    // The reply to STAT, judged and stored as Stat describes.
    void ReadStat();
    // The replies to CAPA and UTF8, judged as ReadCapabilities and
    // EnableUtf8 describe.
    bool ReadCapabilityReply();
    bool ReadUtf8Reply();
    // The lines of the multi-line reply to UIDL or LIST without an
    // argument, each "number text" with number in 1..MsgCount, into Out
    // (indexed by number - 1); Valid judges the text. A number given twice,
    // or with a text Valid refuses, leaves its entry empty. False when
    // refused (no failure).
    bool ReadIndexReply(std::vector<std::string>& Out, bool (*Valid)(std::string_view));
    // The UIDL and LIST replies, their commands sent pipelined.
    TMailboxIndex ReadIndexReplies();
    // The reply to DELE, judged; OnDelete on "+OK". False when refused.
    bool ReadDeleteReply(uint16_t MsgIndex);
    // Pump, then one receive of at most 1024 bytes, sending queued
    // commands while it waits; the bytes stay valid until the next
    // receive. End of stream fails.
    std::string_view Receive();
    // OnReceiveTextFromSocket with the bytes of one receive.
    void Announce(std::string_view Chunk);
    // One receive of multi-line data: fed to the reader, taken into Out,
    // then announced.
    TReplyReader::TStep ReceiveData(std::string& Out);
    // EKelPOPError "Not connected." when not connected.
    void RequireConnected() const;
    // Reads one line reply and judges it: OperationFailed, ReplyText, ReplyLine.
    void ReadReply();
    // The replies of GetHeader and GetMsgSize, their commands already sent.
    std::string ReadHeader(uint16_t MsgIndex);
    void ReadSize(std::string& MsgSize);
    // The lines of a multi-line reply after its status line, unstuffed.
    std::vector<std::string> ReadLines(size_t Limit);
    // The same lines as one text, each ended by CR LF (the last may not
    // be): a long list is then read without a string for each line.
    std::string ReadListText(size_t Limit);
    // Pump, then one receive of at most 1024 bytes within Limit ms.
    std::string_view ReceiveWithin(int LimitMs);
    // Ends Connect as a failed open.
    void FailConnect(TConnectFailure Why, const std::string& Text);
    // The TLS settings go to the transport that can use them.
    void ConfigureTls();
    // STLS, the handshake and CAPA again; false after FailConnect.
    bool StartTls();
    void TakeTlsFailure(const ESocketOpenError& e);
    void Judge(const std::string& Line);
    // Where only "+OK" may count (DELE, QUIT: an answer that is merely not
    // "-ERR" proves no deletion): false and OperationFailed otherwise.
    bool RequireOk();
    // The transport error path for what the received bytes tell.
    // ClosedEarly (ECONNRESET) or TooLong (EMSGSIZE).
    [[noreturn]] void FailReply(TSocketFailure Reason, const std::string& Text);
    void ReportError(int32_t Code);
    void HandleTransportError(int ErrorCode);
    // Closes without any event (Abort, Cancel).
    void CloseSilently();
    // The start of RetrieveMsg, SaveMsg and PreviewMsg: connected, no
    // request or verdict of the last one left, OnBeforeRetrieve.
    void BeginRetrieval(uint16_t MsgIndex);
    // A new message owned by this component, given its content by Fill;
    // released again when Fill throws. OnAfterRetrieve follows.
    TKelMsg* AdoptMessage(const std::function<void(TKelMsg&)>& Fill);
    // LIST n of a retrieval: FListedSize from an accepted reply.
    void ListForRetrieval(const std::string& Number);
    // The bound of a RETR reply whose LIST gave FListedSize.
    uint64_t ReplyBound() const;
    // The data of the multi-line reply to Command (its status line read and
    // accepted), unstuffed, handed to Write in blocks, with progress reports
    // against FListedSize. False when Cancel dropped the connection.
    bool StreamReply(const std::string& Command, uint64_t Limit, const std::function<void(std::string_view)>& Write);

    std::unique_ptr<TKelTransport> FTransport;
    char FReceived[1024];
    TReplyReader FReader;
    // Commands queued for the server; those before FOutSent have gone.
    std::string FOutgoing;
    size_t FOutSent = 0;
    bool FConnected = false;
    bool FOperationFailed = false;
    bool FQuiet = false; // the transport closes without OnQuit
    bool FCancelRequested = false;
    std::string FReplyText;
    std::string FReplyLine;
    uint16_t FMsgCount = 0;
    int64_t FStatCount = -1;
    // The messages the server should count now: the last STAT's count less
    // the DELEs accepted since; -1 before any STAT.
    int64_t FUnmarked = -1;
    uint64_t FBytesReceived = 0;
    std::string FMailboxSizeText;
    TConnectFailure FConnectFailure = TConnectFailure::None;
    std::string FConnectError;
    TCertificateInfo FRejected;
    std::vector<std::string> FCapabilities;
    // The index OpenMailbox read along with STAT, until ReadMailboxIndex
    // takes it; none after a Connect.
    std::optional<TMailboxIndex> FOpenedIndex;
    bool FCapabilitiesAsked = false; // CAPA was asked on this connection
    std::string FMechanism;
    TLoginFailure FLoginFailure = TLoginFailure::None;
    std::string FTokenStatus;
    int FReceiveLimitMs = 0; // the stall limit of the current receive, 0 = ReceiveStallLimitMs
    int64_t FListedSize = -1;
    bool FTooLarge = false;
    bool FPreviewCut = false;
    uint16_t NextProgressMark = 0;
    uint16_t LastPercent = 0;
    std::vector<std::unique_ptr<TKelMsg>> FMessages;
};

} // namespace kel
