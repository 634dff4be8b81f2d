// The mailbox workflow without a window: connect, log in, count and list,
// delete, cancel, fetch one message, disconnect, and close. It drives the
// POP3 component, tells a view what to show and asks the user's decisions of
// its host. The host is the main window in the program and recording fakes
// in the tests.
//
// Every server command blocks while the component pumps the view's events,
// so a handler can run nested inside a waiting one. Two rules keep that
// safe: an operation refuses to start while another is busy, and a close
// during an operation abandons it at its next wait instead of sending QUIT
// into the middle of a reply.
#pragma once

#include "app/core/HeaderCache.h"
#include "app/core/Language.h"
#include "app/core/ListRows.h"
#include "app/core/Security.h"
#include "app/core/SignIn.h"
#include "mail/pop3/KelPOP3.h"

#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class TSessionState {
    Idle,       // no connection
    Connecting, // connect, login, count
    Listing,    // a row for each message
    Connected,  // listed; waiting for the user
    Deleting,   // DELE for each chosen message, then QUIT
    Retrieving, // one message for the message window
    Closing,    // QUIT
};

// What the session shows.
class TMailboxView {
  public:
    virtual ~TMailboxView() = default;
    virtual void ClearStatus() = 0;
    virtual void AddStatus(const QString& Line) = 0;
    // The status lines added so far reach the screen before the session
    // goes on: the next command sends what they warn about.
    virtual void ShowStatusNow() {}
    // The status bar's panels: 0 the count, 1 the mailbox size, 2 hints.
    virtual void SetPanel(int Index, const QString& Text) = 0;
    // The progress bar at Value of Maximum; Maximum <= 0 hides it.
    virtual void ShowProgress(int Value, int Maximum) = 0;
    virtual void ClearRows() = 0;
    // The row of message Number, after those added before.
    virtual void AddRow(int Number, const QString& Text) = 0;
    // The listed row of a message, after those added before; it stays in the
    // session's Rows() (see TMailboxSession::Row). A view that shows only
    // some rows makes the text of those alone; by default every row's text
    // is made at once.
    virtual void AddListedRow(const TListRow& Row) { AddRow(Row.Number, Row.Text()); }
    // The listing is over: complete, cancelled or broken off.
    virtual void RowsListed() = 0;
    // The messages are gone from the server: their rows go.
    virtual void RemoveMessages(const std::vector<int>& Numbers) = 0;
    virtual void StateChanged(TSessionState State) = 0;
    // The login succeeded: the server/user pair is worth remembering.
    virtual void LoggedIn() = 0;
    // The connection has ended; the view readies its input for the next one.
    virtual void SessionEnded() = 0;
    // The connection could not be opened (the reason is in the status).
    virtual void ConnectFailed() = 0;
};

// What the session leaves to the user.
class TMailboxDecisions {
  public:
    virtual ~TMailboxDecisions() = default;
    // A certificate that did not verify: true when the user trusts it for
    // HostPort (the host keeps the pin).
    virtual bool TrustCertificate(const kel::TCertificateInfo& Certificate, const QString& HostPort) = 0;
    // Message Number is Size bytes, more than Ceiling, the most this
    // computer opens: the file to save it to, or empty when the user
    // declines.
    virtual QString OfferToSaveLargeMessage(int Number, uint64_t Size, uint64_t Ceiling) = 0;
};

// Lets the host's events run while the server is waited for.
using TEventPump = std::function<void()>;

// What the user typed and chose for one connection.
struct TConnectRequest {
    QString Server;   // "host", "host:port" or "[IPv6]:port"
    // None where nobody chose: only what the user picked may cost a TLS
    // handshake.
    sweepbox::TSecurity Security = sweepbox::TSecurity::None;
    QString User;
    sweepbox::TSignIn SignIn = sweepbox::TSignIn::Password;
    QString Password;    // with a password sign-in
    QString AccessToken; // with OAuth2
    bool CountOnly = false;
    std::string TrustFile;
    // Looks up the pinned fingerprint for "host:port"; may be empty.
    std::function<QString(const QString& HostPort)> Pinned;
};

class TMailboxSession {
  public:
    TMailboxSession(kel::TKelPOP& Pop, TMailboxView& View, TMailboxDecisions& Decisions, TEventPump PumpEvents);
    ~TMailboxSession();
    TMailboxSession(const TMailboxSession&) = delete;
    TMailboxSession& operator=(const TMailboxSession&) = delete;

    // Handed over by the window once it has decided.
    sweepbox::TLanguage Language;
    // The view's events run at most this often while the server is asked (a
    // slow reply lets them run every 50 ms in any case, so Cancel and Close
    // are heard within that). Tests set 0.
    int PumpIntervalMs = 50;

    TSessionState State() const { return State_; }
    // An operation is under way: nothing else may talk to the server.
    bool Busy() const { return State_ != TSessionState::Idle && State_ != TSessionState::Connected; }
    bool Connected() const { return Pop_.Connected(); }

    // The rows of the last full listing, in the server's order; none for a
    // count only.
    const std::vector<TListRow>& Rows() const { return Rows_; }
    // The row of message Number in Rows(); nullptr when there is none.
    const TListRow* Row(int Number) const;
    // The header text TOP gave for message Number while connected; nullptr
    // when there is none.
    const std::string* Header(int Number) const;
    // How many of Rows() are new since the account was last listed; none
    // at the first listing, without a header cache, or from a server
    // without UIDL.
    int NewCount() const { return NewCount_; }
    // Where the listing keeps each account's headers between sessions
    // (THeaderCache): rows of messages whose UIDL it knows come from there,
    // and only the others are asked for with TOP. Empty: no cache, every
    // message is asked for.
    QString CacheFolder;
    // The cache's file is read, and its rows made, on a worker thread
    // (THeaderCacheWorker) while the server signs the user in; a listing
    // that changed what the cache knows writes the file there too, after
    // its last row. This returns once that write is over; the next
    // Connect's listing, Close and the session's end wait for it too. A
    // write that failed costs the next listing TOP commands, nothing more.
    void FinishCacheSave() { CacheWorker_.Wait(); }
    // The count STAT gave (at most 65535), and the mailbox size as it said;
    // a deletion subtracts its messages (their listed sizes). The size is
    // empty once it is unknown.
    int32_t MailCount = 0;
    std::string MailboxSize;
    // Why the last Connect's login failed (None when it did not, or never
    // got that far): the host asks for a fresh token after TokenRefused.
    kel::TLoginFailure LoginFailure() const { return LoginFailure_; }

    // Connect, log in, count and list. Ends Connected with rows, or Idle
    // with the reason in the status.
    void Connect(const TConnectRequest& Request);
    // QUIT and close; true when QUIT was answered "+OK". Refused (false)
    // while an operation runs.
    bool Disconnect();
    // DELE for each message (the highest number first), then QUIT; the rows
    // go only when QUIT made the deletions final.
    void Delete(std::vector<int> Numbers);
    // Stops a listing after the replies on their way, a deletion pass
    // without QUIT (nothing of it is deleted), or a retrieval at once. A
    // listing or deletion whose server sends nothing for a second is
    // dropped, keeping the rows listed so far.
    void Cancel();
    // RETR of one message for the message window; nullptr when it failed
    // (the reason shown, the session idle) or was cancelled (still connected).
    // A message too large to open is offered for saving instead (nullptr
    // too): written to the chosen file whole or not at all, the outcome in
    // the status.
    kel::TKelMsg* Retrieve(int Number);
    // TOP n with the component's PreviewLines: the start of one message for
    // the preview window, however large the message is. Runs, refuses,
    // cancels and closes as Retrieve does (state Retrieving), the number
    // in the hints panel while it runs; nullptr when it failed or was
    // cancelled. The message goes with Release as Retrieve's does.
    kel::TKelMsg* Preview(int Number);
    // The message Retrieve returned is no longer shown: its memory goes.
    void Release(kel::TKelMsg* Msg);
    // The window closes: a busy operation is abandoned at its next wait
    // without sending anything more; a connected session says QUIT.
    void Close();
    // The component's error event: the server's refusal in the status.
    void ComponentError(kel::TObject* Sender, const std::string& Text);

    QString Say(const char* German, const char* English) const;
    // The text of a failure the component reported by an exception, in the
    // interface's language where it is a common one.
    QString ErrorText(const std::exception& e) const;
    QString OutOfStepText() const;
    QString StalledText() const;

  private:
    class TOperation;
    void SetState(TSessionState State);
    void Status(const QString& Line) { View_.AddStatus(Line); }
    void StatusConnectionEnded();
    void PumpWhileWaiting();
    bool OpenConnection(const QString& HostPort);
    void ReportConnectFailure();
    // Before the login: the password (or token) may leave this machine
    // unencrypted. After it: only where it did (the mechanism sent it as it is).
    // True when it warned.
    bool WarnUnencrypted();
    bool SentInTheClear() const;
    void HintSecureLogin();
    // What the failed login's mechanism and the server's words tell.
    void ReportLoginFailure();
    void ListCountOnly();
    void ListHeaders();
    // The row of message Number, added after those before it.
    void AddListed(int Number, const std::string& SizeText, std::string_view Header, bool New);
    // The same with the row made already and its header as Header() keeps it.
    void AddListed(TListRow&& Row, std::string&& Kept, bool New);
    // What the worker makes of the cache's file for one connect.
    struct TCacheRows;
    // Reads the account's cache file and makes its rows on CacheWorker_.
    void PrepareCacheRows(const QString& Host, uint16_t Port, const QString& User);
    // Keeps the listed rows' headers under their UIDLs (Uidls indexed by
    // number - 1) for the next session, unless the cache holds them already:
    // packed here, written on CacheWorker_.
    void SaveCache(sweepbox::THeaderCache&& Cache, const std::vector<std::string>& Uidls, size_t Reused);
    void ShowListedCount();
    // The size panel: the mailbox size as it stands now, as STAT wrote it.
    void ShowMailboxSize();
    // The messages Numbers were deleted: the count and size less theirs
    // (their listed sizes), and the size panel shows that.
    void SubtractDeleted(const std::vector<int>& Numbers);
    // After an operation left by an exception: no command may follow, so the
    // connection is dropped (Abort); then idle with Reason shown.
    void Abandon(const QString& Reason);
    bool Quit();
    // Retrieve and Preview: connected and idle with Number in the mailbox,
    // then Retrieving; false (nothing changed) otherwise.
    bool BeginRetrieval(int Number);
    // Msg from Ask; false after an exception, which ended the session
    // (Abandon) with its reason shown.
    bool Fetch(const std::function<kel::TKelMsg*()>& Ask, kel::TKelMsg*& Msg);
    // Retrieve's path for a message above the component's ceiling.
    void SaveLargeMessage(int Number);
    // The end of a retrieval that ran: Msg back Connected, or as
    // EndEmptyRetrieval for none.
    kel::TKelMsg* EndRetrieval(kel::TKelMsg* Msg);
    // The end of a retrieval that returned nothing: cancelled (connected
    // still, or dropped) or refused.
    void EndEmptyRetrieval();
    // Disconnect from inside an operation.
    bool EndSession();

    kel::TKelPOP& Pop_;
    TMailboxView& View_;
    TMailboxDecisions& Decisions_;
    TEventPump PumpEvents_;
    // Indexed by message number - 1, whatever order the view shows.
    std::vector<std::string> Headers_;
    std::vector<TListRow> Rows_;
    TSessionState State_ = TSessionState::Idle;
    bool CancelRequested_ = false;
    // What the server had sent when last seen sending, after a cancel.
    uint64_t CancelBytes_ = 0;
    int64_t CancelAtMs_ = 0;
    bool CloseRequested_ = false;
    kel::TLoginFailure LoginFailure_ = kel::TLoginFailure::None;
    int64_t LastPumpMs_ = 0;
    int NewCount_ = 0;
    // What the worker makes of the cache for this connect; read only after
    // CacheWorker_.Wait().
    std::shared_ptr<TCacheRows> CacheRows_;
    // Last, so that the session's end waits for its jobs before anything
    // else of it goes.
    sweepbox::THeaderCacheWorker CacheWorker_;
};
