#include "app/core/MailboxSession.h"

#include "app/core/SaveFile.h"
#include "app/core/ServerAddress.h"
#include "app/core/Summary.h"
#include "app/core/TextCodec.h"

#include "mail/message/KelMsg.h"

#include <QDir>
#include <QLocale>
#include <QThread>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <exception>
#include <limits>
#include <memory>
#include <utility>

namespace {

// Thrown from the pump once the window has been closed during an operation.
// Not a std::exception, so nothing on the way treats it as an error to show.
struct EOperationAbandoned {};

// Thrown from the pump when a cancelled listing or deletion has heard
// nothing from the server for kCancelStallMs.
struct EServerStalled {};

// How long a cancelled operation waits for a server that sends nothing.
constexpr int64_t kCancelStallMs = 1000;

// The component numbers messages in 16 bits.
constexpr int32_t kMaxListed = 65535;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

TMailboxSession::TMailboxSession(kel::TKelPOP& Pop, TMailboxView& View, TMailboxDecisions& Decisions,
                                 TEventPump PumpEvents)
    : Pop_(Pop), View_(View), Decisions_(Decisions), PumpEvents_(std::move(PumpEvents)) {
    Pop_.ProcessMessages = [this] { PumpWhileWaiting(); };
    if (!Pop_.Sleep)
        Pop_.Sleep = [](int Ms) { QThread::msleep(static_cast<unsigned long>(std::max(Ms, 0))); };
}

TMailboxSession::~TMailboxSession() { Pop_.ProcessMessages = nullptr; }

const std::string* TMailboxSession::Header(int Number) const {
    if (Number < 1 || static_cast<size_t>(Number) > Headers_.size())
        return nullptr;
    return &Headers_[static_cast<size_t>(Number - 1)];
}

const TListRow* TMailboxSession::Row(int Number) const {
    // The listing adds the rows in number order, so a row is found where its
    // number says or, after a gap, by halving.
    if (Number >= 1 && static_cast<size_t>(Number) <= Rows_.size() &&
        Rows_[static_cast<size_t>(Number - 1)].Number == Number)
        return &Rows_[static_cast<size_t>(Number - 1)];
    const auto it = std::lower_bound(Rows_.begin(), Rows_.end(), Number,
                                     [](const TListRow& Row, int N) { return Row.Number < N; });
    return it != Rows_.end() && it->Number == Number ? &*it : nullptr;
}

QString TMailboxSession::Say(const char* German_, const char* English) const {
    return Language.Say(German_, English);
}

void TMailboxSession::SetState(TSessionState State) {
    State_ = State;
    View_.StateChanged(State);
}

void TMailboxSession::StatusConnectionEnded() {
    Status(Say("Ihre Verbindung zum Server wurde getrennt.", "Your connection has been terminated."));
}

void TMailboxSession::PumpWhileWaiting() {
    // Called before every send and receive, four times a message while
    // listing. Each pass that lets the window run repaints what the rows and
    // the progress changed, which costs more than the exchanges with a
    // nearby server; twenty passes a second keep the window answering and
    // its progress moving. A slow reply is waited for in 50 ms slices that
    // call this, so the window always runs then.
    if (SteadyMs() - LastPumpMs_ >= PumpIntervalMs) {
        if (PumpEvents_)
            PumpEvents_();
        LastPumpMs_ = SteadyMs();
    }
    if (CloseRequested_ && Busy())
        throw EOperationAbandoned{};
    if (CancelRequested_ && (State_ == TSessionState::Listing || State_ == TSessionState::Deleting)) {
        // The replies on their way are still read after a cancel, but a
        // server that has stopped sending them is not waited for.
        if (Pop_.BytesReceived() != CancelBytes_) {
            CancelBytes_ = Pop_.BytesReceived();
            CancelAtMs_ = SteadyMs();
        } else if (SteadyMs() - CancelAtMs_ >= kCancelStallMs) {
            throw EServerStalled{};
        }
    }
}

QString TMailboxSession::OutOfStepText() const {
    return Say("Die Antworten des Servers passen nicht zu den Befehlen; es wurde nichts gelöscht.",
               "The server's replies are out of step with the commands; nothing was deleted.");
}

QString TMailboxSession::ErrorText(const std::exception& e) const {
    // The component's own conversion text is German whatever the interface speaks.
    if (const auto* convert = dynamic_cast<const kel::EKelConvertError*>(&e))
        return Say("Die Antwort des Servers nennt keine Anzahl von Nachrichten: „",
                   "The server's answer gives no number of messages: \"") +
               DisplayText(convert->Value.substr(0, 40)) + Say("“", "\"");
    if (const auto* protocol = dynamic_cast<const kel::EKelProtocolError*>(&e);
        protocol && protocol->Fault == kel::TProtocolFault::OutOfStep)
        return OutOfStepText();
    const QString english = DisplayText(e.what());
    if (!Language.German)
        return english;
    // The component speaks English; the common failures are said in German
    // by their reason, the rest stays in the component's words.
    if (const auto* socket = dynamic_cast<const kel::ESocketError*>(&e)) {
        switch (socket->Reason) {
        case kel::TSocketFailure::ClosedEarly:
            return QStringLiteral("Der Server hat die Verbindung beendet, bevor seine Antwort vollständig war.");
        case kel::TSocketFailure::Stalled:
            return QStringLiteral("Der Server antwortet nicht mehr (Zeitüberschreitung).");
        case kel::TSocketFailure::TooLong:
            return QStringLiteral("Die Antwort des Servers ist länger als erlaubt (") + english + QLatin1Char(')');
        case kel::TSocketFailure::System:
        case kel::TSocketFailure::Tls:
            break;
        }
        return english;
    }
    if (dynamic_cast<const kel::EKelProtocolError*>(&e))
        return QStringLiteral("Die Antwort des Servers ergibt keinen Sinn (") + english + QLatin1Char(')');
    if (const auto* misuse = dynamic_cast<const kel::EKelPOPError*>(&e)) {
        switch (misuse->Reason) {
        case kel::TPopMisuse::UnsafeCredentials:
            return QStringLiteral("Benutzername oder Passwort enthält einen Zeilenumbruch.");
        case kel::TPopMisuse::NotSecured:
            return QStringLiteral(
                "Die Verbindung ist nicht gesichert: Benutzername und Passwort werden nicht gesendet.");
        case kel::TPopMisuse::NotConnected:
            break;
        }
    }
    return english;
}

void TMailboxSession::ComponentError(kel::TObject* Sender, const std::string& Text) {
    // A transport failure carries the text of the last good reply, which
    // would read like the cause; the exception that follows names the real one.
    if (Sender == Pop_.Transport())
        return;
    View_.ClearStatus();
    Status(Say("Fehler: ", "Error: ") + DisplayText(Text));
}

// ------------------------------------------------------ connect and list

void TMailboxSession::Connect(const TConnectRequest& Request) {
    // A connection is open already, or an operation runs: not a second one.
    if (State_ != TSessionState::Idle || Pop_.Connected())
        return;
    LoginFailure_ = kel::TLoginFailure::None;
    Headers_.clear();
    Rows_.clear();
    NewCount_ = 0;
    View_.ClearStatus();
    View_.ClearRows();
    if (Request.Server.isEmpty()) {
        Status(Say("Fehler: POP3 Server fehlt", "Error: No POP server specified"));
        return;
    }
    if (Request.User.isEmpty()) {
        Status(Say("Fehler: Username fehlt", "Error: You will need an username"));
        return;
    }
    const bool oauth2 = Request.SignIn == sweepbox::TSignIn::OAuth2;
    if (!oauth2 && Request.Password.isEmpty()) {
        Status(Say("Fehler: Passwort fehlt", "Error: You will also need a password"));
        return;
    }
    if (oauth2 && Request.AccessToken.isEmpty()) {
        Status(Say("Fehler: Es gibt kein OAuth2-Token für die Anmeldung.", "Error: there is no OAuth2 token to sign in with."));
        return;
    }
    const sweepbox::TServerAddress address = sweepbox::ParseServerField(Request.Server);
    if (!address.Valid) {
        Status(Say("Fehler: Server ungültig (Server, Server:Port oder [IPv6-Adresse]:Port)",
                   "Error: invalid server (server, server:port or [IPv6 address]:port)"));
        return;
    }
    Pop_.Security = sweepbox::PopSecurity(Request.Security);
    const uint16_t port = sweepbox::ConnectPort(address, Request.Security);
    const QString hostPort = sweepbox::HostPortKey(address.Host, port);
    Pop_.Host = address.Host.toStdString();
    Pop_.Port = std::to_string(port);
    Pop_.TrustFile = Request.TrustFile;
    Pop_.PinnedFingerprint = Request.Pinned ? Request.Pinned(hostPort).toStdString() : std::string();
    Pop_.UserId = Request.User.toStdString();
    CacheRows_.reset();
    // Read while the server signs the user in; only a listing needs it.
    if (!CacheFolder.isEmpty() && !Request.CountOnly)
        PrepareCacheRows(address.Host, port, Request.User);
    Pop_.SignIn = oauth2 ? kel::TPopSignIn::OAuth2 : kel::TPopSignIn::Password;
    Pop_.UserPasswd = oauth2 ? std::string() : Request.Password.toStdString();
    Pop_.AccessToken = oauth2 ? Request.AccessToken.toStdString() : std::string();

    SetState(TSessionState::Connecting);
    // The counts of the previous mailbox would stand beside this attempt's
    // empty list and errors as if they were its own.
    View_.SetPanel(0, QString());
    View_.SetPanel(1, QString());
    View_.ClearStatus();
    Status(Say("Verbindung wird aufgebaut, bitte warten ....", "Connecting to server, please wait ...."));
    try {
        if (!OpenConnection(hostPort)) {
            EndSession();
            View_.ConnectFailed();
            return;
        }
        if (WarnUnencrypted())
            View_.ShowStatusNow();
        const bool loggedIn = Pop_.Login();
        // The secret has done its work: it stays with the component no
        // longer than it must.
        for (std::string* secret : {&Pop_.UserPasswd, &Pop_.AccessToken}) {
            secret->assign(secret->size(), '\0');
            secret->clear();
        }
        if (!loggedIn) {
            LoginFailure_ = Pop_.LoginFailure();
            ReportLoginFailure();
            StatusConnectionEnded();
            EndSession();
            return;
        }
        View_.LoggedIn();
        // What the server can do (PIPELINING for the listing), header
        // fields as UTF-8 where it can (rather than 8-bit bytes it would
        // refuse to send or mangle), and the count: in one round trip where
        // the server pipelines, with UIDL and LIST of the whole mailbox
        // where the listing will want them for the cache. A server without
        // CAPA is simply asked one command at a time.
        Pop_.OpenMailbox(/*WithIndex=*/!CacheFolder.isEmpty() && !Request.CountOnly);
        if (!Pop_.Connected()) {
            // A refused STAT is no empty mailbox: keep the server's words.
            StatusConnectionEnded();
            EndSession();
            return;
        }
        // The component's MsgCount keeps the low 16 bits of the count: a
        // huge count must not be taken for another.
        const bool tooMany = Pop_.StatCount() > kMaxListed;
        MailCount = static_cast<int32_t>(std::clamp<int64_t>(Pop_.StatCount(), 0, kMaxListed));
        MailboxSize = Pop_.MailboxSizeText();
        if (MailCount <= 0)
            MailboxSize = "0";

        View_.ClearStatus();
        if (SentInTheClear())
            WarnUnencrypted();
        View_.SetPanel(0, QString::number(MailCount) + QStringLiteral(" Mails"));
        ShowMailboxSize();
        View_.ShowProgress(0, 0);

        if (MailCount <= 0) {
            Status(Say("Es sind keine e-mails zum Löschen vorhanden.", "There is no need to delete e-mails."));
            StatusConnectionEnded();
            EndSession();
            return;
        }
        if (tooMany)
            Status(Say("Es werden nur die ersten 65535 e-mails angezeigt.", "Only the first 65535 e-mails are listed."));

        if (Request.CountOnly)
            ListCountOnly();
        else
            ListHeaders();
    } catch (const EOperationAbandoned&) {
        Abandon(QString());
    } catch (const EServerStalled&) {
        // The rows listed so far stay; the user asked for the end, so it is
        // no error.
        Pop_.Abort();
        View_.ShowProgress(0, 0);
        ShowListedCount();
        View_.RowsListed();
        View_.ClearStatus();
        Status(StalledText());
        StatusConnectionEnded();
        EndSession();
    } catch (const std::exception& e) {
        Abandon(ErrorText(e));
    }
}

void TMailboxSession::ShowListedCount() {
    // The count panel tells how many rows there are, not how many the server has.
    QString count = QString::number(MailCount) + QStringLiteral(" Mails");
    if (static_cast<int32_t>(Rows_.size()) < MailCount)
        count = QString::number(Rows_.size()) + QStringLiteral(" / ") + count;
    if (NewCount_ > 0)
        count += Say(", %1 neu", ", %1 new").arg(NewCount_);
    View_.SetPanel(0, count);
}

void TMailboxSession::ShowMailboxSize() { View_.SetPanel(1, DisplayText(summary::DisplaySize(MailboxSize))); }

void TMailboxSession::SubtractDeleted(const std::vector<int>& Numbers) {
    // The listed sizes of the messages that went; a count-only listing, or a
    // LIST reply that gave none, leaves the size unknown rather than wrong.
    constexpr uint64_t kMaxSize = std::numeric_limits<uint64_t>::max();
    uint64_t gone = 0;
    bool known = true;
    for (const int n : Numbers) {
        const TListRow* row = Row(n);
        known = known && row != nullptr && row->HasSize;
        if (known)
            gone = row->Size > kMaxSize - gone ? kMaxSize : gone + row->Size;
    }
    MailCount = std::max<int32_t>(MailCount - static_cast<int32_t>(Numbers.size()), 0);
    MailboxSize = known ? summary::SizeLess(MailboxSize, gone) : std::string();
    ShowMailboxSize();
}

QString TMailboxSession::StalledText() const {
    return Say("Abgebrochen: Der Server antwortet nicht mehr; die Verbindung wurde getrennt.",
               "Cancelled: the server stopped answering; the connection was dropped.");
}

void TMailboxSession::ListCountOnly() {
    Status(Say("Es wird lediglich die Anzahl der e-mails angezeigt", "Only the number of e-mails will be displayed."));
    Headers_.reserve(static_cast<size_t>(MailCount));
    for (int n = 1; n <= MailCount; ++n) {
        View_.AddRow(n, DisplayText(summary::PlaceholderRow(n)));
        Headers_.push_back(" ");
    }
    SetState(TSessionState::Connected);
    View_.RowsListed();
}

namespace {

// The LIST size of a message, or -1 when it gives none.
int64_t ListedSize(const std::string& Text) {
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
    return ec == std::errc() && end == Text.data() + Text.size() && !Text.empty() ? value : -1;
}

// A header as the session keeps it: exactly as long as it is, no spare room.
std::string KeptHeader(std::string_view Header) {
    std::string kept;
    kept.reserve(Header.size() + 1);
    kept.append(Header).push_back('|');
    return kept;
}

} // namespace

struct TMailboxSession::TCacheRows {
    sweepbox::THeaderCache Cache;
    bool Loaded = false;
    // By the place of their entry in Cache.Entries(): its row (number and
    // size still to be set) and its header as Headers_ keeps it.
    std::vector<TListRow> Rows;
    std::vector<std::string> Headers;
};

void TMailboxSession::PrepareCacheRows(const QString& Host, uint16_t Port, const QString& User) {
    // A job of an earlier connect may still hold its own rows; these are
    // this connect's.
    auto rows = std::make_shared<TCacheRows>(TCacheRows{sweepbox::THeaderCache(CacheFolder, Host, Port, User)});
    CacheRows_ = rows;
    CacheWorker_.Start([rows, german = Language.German] {
        rows->Loaded = rows->Cache.Load();
        const std::vector<sweepbox::TCachedHeader>& entries = rows->Cache.Entries();
        rows->Rows.reserve(entries.size());
        rows->Headers.reserve(entries.size());
        for (const sweepbox::TCachedHeader& e : entries) {
            rows->Rows.push_back(MakeListRow(0, std::string(), e.Header, german));
            rows->Headers.push_back(KeptHeader(e.Header));
        }
    });
}

void TMailboxSession::AddListed(int Number, const std::string& SizeText, std::string_view Header, bool New) {
    AddListed(MakeListRow(Number, SizeText, Header, Language.German), KeptHeader(Header), New);
}

void TMailboxSession::AddListed(TListRow&& Row, std::string&& Kept, bool New) {
    Rows_.push_back(std::move(Row));
    Rows_.back().New = New;
    NewCount_ += New ? 1 : 0;
    Headers_.push_back(std::move(Kept));
    View_.AddListedRow(Rows_.back());
    if (!CancelRequested_)
        View_.ShowProgress(Rows_.back().Number, MailCount);
}

void TMailboxSession::ListHeaders() {
    CancelRequested_ = false;
    SetState(TSessionState::Listing);
    View_.ShowProgress(0, MailCount);
    Status(Say("Absender, Betreff, Datum und Größe werden angezeigt ...",
               "Sender, Subject, Size, and Date are displayed ..."));
    Headers_.reserve(static_cast<size_t>(MailCount));
    Rows_.reserve(static_cast<size_t>(MailCount));

    // What the cache knows: the header of each message whose UIDL it holds,
    // where LIST gives the size it had then (a size that differs means the
    // id now names another message). A UIDL the server gave twice, or not
    // as it must be, is no UIDL, so that message is asked for with TOP.
    const auto count = static_cast<size_t>(MailCount);
    std::shared_ptr<TCacheRows> cache;
    kel::TMailboxIndex index;
    std::vector<const sweepbox::TCachedHeader*> cached(count, nullptr);
    std::vector<char> fresh(count, 0);
    std::vector<uint16_t> ask;
    size_t reused = 0;
    if (!CacheFolder.isEmpty()) {
        index = Pop_.ReadMailboxIndex();
        if (index.UidlsListed && CacheRows_) {
            // Read, and its rows made, while the server signed the user in.
            CacheWorker_.Wait();
            cache = std::move(CacheRows_);
            // Only a cache read whole tells what is new: the first listing
            // of an account, or one after a damaged file, marks nothing.
            const bool markNew = cache->Loaded;
            for (size_t i = 0; i < count && i < index.Uidls.size(); ++i) {
                const std::string& uidl = index.Uidls[i];
                const sweepbox::TCachedHeader* entry = uidl.empty() ? nullptr : cache->Cache.Find(uidl);
                fresh[i] = markNew && !uidl.empty() && entry == nullptr;
                if (entry && ListedSize(index.Sizes[i]) == static_cast<int64_t>(entry->Size))
                    cached[i] = entry;
            }
        }
    }
    for (size_t i = 0; i < count; ++i)
        if (!cached[i])
            ask.push_back(static_cast<uint16_t>(i + 1));

    // The rows come in number order: the cached ones before a message
    // asked for are added when its reply is there.
    int next = 1;
    const auto addCached = [&](int Before, bool StopOnCancel) {
        for (; next < Before; ++next) {
            if (StopOnCancel && CancelRequested_)
                return;
            const auto i = static_cast<size_t>(next - 1);
            // Each entry is one message's at most: the server's UIDLs and
            // the file's are each unique, so its row is taken, not copied.
            const auto at = static_cast<size_t>(cached[i] - cache->Cache.Entries().data());
            TListRow& row = cache->Rows[at];
            row.Number = next;
            SetListSize(row, index.Sizes[i]);
            AddListed(std::move(row), std::move(cache->Headers[at]), false);
            ++reused;
            // No server wait lets the window run here.
            if (SteadyMs() - LastPumpMs_ >= PumpIntervalMs) {
                if (PumpEvents_)
                    PumpEvents_();
                LastPumpMs_ = SteadyMs();
                if (CloseRequested_)
                    throw EOperationAbandoned{};
            }
        }
    };
    // A refused TOP or LIST closes the connection: nothing more is sent,
    // and that message's row shows what is known of it. The size starts
    // empty for every message, so a refused LIST never shows the size of
    // the message before. Cancel sends nothing more; the replies already on
    // their way still become rows.
    if (!ask.empty())
        Pop_.ListMessages(ask, [&](uint16_t n, std::string& Header, const std::string& Size) {
            addCached(n, false);
            AddListed(n, Size, Header, fresh[n - 1u] != 0);
            ++next;
            return !CancelRequested_;
        });
    if (Pop_.Connected() && !CancelRequested_)
        addCached(MailCount + 1, true);
    const bool dropped = !Pop_.Connected();
    View_.ShowProgress(0, 0);
    ShowListedCount();
    if (dropped) {
        View_.RowsListed();
        StatusConnectionEnded();
        EndSession();
        return;
    }
    SetState(TSessionState::Connected);
    View_.RowsListed();
    // A listing cut short keeps the file as it was: it still names the
    // messages not reached.
    if (cache && static_cast<int32_t>(Rows_.size()) == MailCount)
        SaveCache(std::move(cache->Cache), index.Uidls, reused);
    // What is left of the file (its buffer, the rows of messages gone) is
    // given back on the worker.
    if (cache)
        CacheWorker_.Start([cache = std::move(cache)] {});
}

void TMailboxSession::SaveCache(sweepbox::THeaderCache&& Cache, const std::vector<std::string>& Uidls,
                                size_t Reused) {
    // Unchanged: every row came from the cache, and the cache holds no
    // message the server has no more.
    if (Cache.Loaded() && Reused == Rows_.size() && Cache.Count() == Reused)
        return;
    std::vector<sweepbox::THeaderCacheEntry> entries;
    entries.reserve(Rows_.size());
    for (size_t i = 0; i < Rows_.size() && i < Uidls.size(); ++i) {
        if (Uidls[i].empty() || !Rows_[i].HasSize)
            continue;
        const std::string& kept = Headers_[i];
        entries.push_back({Uidls[i], std::string_view(kept).substr(0, kept.size() - 1), Rows_[i].Size});
    }
    // The cache only spares the server questions: a file that cannot be
    // written costs the next listing time, nothing else.
    QByteArray packed = Cache.Pack(entries);
    CacheWorker_.Start([cache = std::move(Cache), packed = std::move(packed)]() mutable {
        cache.Write(std::move(packed));
    });
}

// ------------------------------------------------------ secure connect

bool TMailboxSession::OpenConnection(const QString& HostPort) {
    Pop_.Connect();
    if (Pop_.ConnectFailure() == kel::TConnectFailure::Certificate) {
        if (!Decisions_.TrustCertificate(Pop_.RejectedCertificate(), HostPort)) {
            View_.ClearStatus();
            Status(Say("Fehler: Dem Zertifikat des Servers wurde nicht vertraut. Es wurde nichts gesendet.",
                       "Error: the server's certificate was not trusted. Nothing was sent."));
            return false;
        }
        Pop_.PinnedFingerprint = Pop_.RejectedCertificate().Fingerprint;
        Pop_.Connect();
    }
    if (Pop_.Connected() && !Pop_.OperationFailed())
        return true;
    ReportConnectFailure();
    return false;
}

void TMailboxSession::ReportConnectFailure() {
    using kel::TConnectFailure;
    View_.ClearStatus();
    const QString detail = QStringLiteral("     - ") + DisplayText(Pop_.ConnectError());
    switch (Pop_.ConnectFailure()) {
    case TConnectFailure::Tls:
        Status(Say("Fehler: Die sichere Verbindung (TLS) kam nicht zustande.",
                   "Error: the secure connection (TLS) could not be established."));
        Status(detail);
        return;
    case TConnectFailure::Certificate:
        Status(Say("Fehler: Das Zertifikat des Servers wird nicht akzeptiert.",
                   "Error: the server's certificate is not accepted."));
        Status(detail);
        return;
    case TConnectFailure::PlainServer:
        Status(Say("Fehler: Der Server antwortet unverschlüsselt, nicht mit TLS.",
                   "Error: the server answers in plain text, not with TLS."));
        Status(Say("     - Wählen Sie STARTTLS oder „Unverschlüsselt“, oder den TLS-Port (Server:995).",
                   "     - Choose STARTTLS or Unencrypted, or the TLS port (server:995)."));
        return;
    case TConnectFailure::NoGreeting:
        Status(Say("Fehler: Der Server hat sich nicht gemeldet.", "Error: the server sent no greeting."));
        if (Pop_.Security != kel::TPopSecurity::Tls)
            Status(Say("     - Er erwartet vermutlich TLS von Anfang an: wählen Sie TLS.",
                       "     - It probably expects TLS from the start: choose TLS."));
        return;
    case TConnectFailure::NoStls:
        Status(Say("Fehler: Der Server bietet kein STARTTLS an. Benutzer und Passwort wurden nicht gesendet.",
                   "Error: the server does not offer STARTTLS. User name and password were not sent."));
        Status(Say("     - Wählen Sie TLS, wenn der Server es anbietet (Port 995).",
                   "     - Choose TLS if the server offers it (port 995)."));
        return;
    case TConnectFailure::StlsRefused:
        Status(Say("Fehler: Der Server lehnt STARTTLS ab. Benutzer und Passwort wurden nicht gesendet.",
                   "Error: the server refused STARTTLS. User name and password were not sent."));
        Status(detail);
        return;
    case TConnectFailure::None:
    case TConnectFailure::Unreachable:
        break;
    }
    Status(Say("Fehler: Keine Verbindung zum Server möglich !!!!",
               "Error: a connection to the server cannot be established !!!!"));
    Status(Say("     - Sind Sie mit dem Internet verbunden?", "     - Are you connected to the Internet?"));
    Status(Say("     - Haben Sie den korrekten Server eingetragen?", "     - Do you use the correct server namen?"));
    Status(Say("     - Eventuell ist der Server gerade nicht erreichbar!",
               "     - Maybe the server is temporarily not available!"));
}

bool TMailboxSession::WarnUnencrypted() {
    if (Pop_.Security != kel::TPopSecurity::None || sweepbox::IsLoopbackHost(QString::fromStdString(Pop_.Host)))
        return false;
    if (Pop_.SignIn == kel::TPopSignIn::OAuth2)
        Status(Say("Warnung: Das Anmelde-Token wird unverschlüsselt gesendet.",
                   "Warning: the sign-in token is sent unencrypted."));
    else
        Status(Say("Warnung: Das Passwort wird unverschlüsselt gesendet.", "Warning: the password is sent unencrypted."));
    return true;
}

bool TMailboxSession::SentInTheClear() const {
    // SCRAM proves the password without sending it.
    return Pop_.Mechanism().rfind("SCRAM-", 0) != 0;
}

void TMailboxSession::ReportLoginFailure() {
    const QString mechanism = Pop_.Mechanism() == "USER" ? QStringLiteral("USER/PASS") : DisplayText(Pop_.Mechanism());
    switch (Pop_.LoginFailure()) {
    case kel::TLoginFailure::Refused:
        // USER/PASS keeps its old words: the server's, then the hint.
        if (Pop_.Mechanism() == "USER")
            HintSecureLogin();
        else
            Status(Say("Die Anmeldung mit %1 wurde abgelehnt.", "The sign-in with %1 was refused.").arg(mechanism));
        break;
    case kel::TLoginFailure::TokenRefused:
        Status(Say("Der Server lehnt das OAuth2-Token ab (%1, %2).", "The server refused the OAuth2 token (%1, %2).")
                   .arg(mechanism,
                        Pop_.TokenStatus().empty() ? Say("ohne Angabe", "no status") : DisplayText(Pop_.TokenStatus())));
        break;
    case kel::TLoginFailure::NoMechanism:
        Status(Say("Fehler: Der Server bietet keine Anmeldung mit OAuth2 an (OAUTHBEARER oder XOAUTH2).",
                   "Error: the server offers no OAuth2 sign-in (OAUTHBEARER or XOAUTH2)."));
        break;
    case kel::TLoginFailure::ServerNotProven:
        Status(Say("Fehler: Der Server konnte nicht beweisen, dass er Ihr Passwort kennt (%1). Die Verbindung wurde "
                   "getrennt.",
                   "Error: the server could not prove that it knows your password (%1). The connection was dropped.")
                   .arg(mechanism));
        break;
    case kel::TLoginFailure::None:
        break;
    }
}

void TMailboxSession::HintSecureLogin() {
    if (Pop_.Security != kel::TPopSecurity::None)
        return;
    const QString reply = DisplayText(Pop_.ReplyText()).toLower();
    bool wantsTls = reply.contains(QLatin1String("[privacy]"));
    for (const char* word : {"plaintext", "plain text", "ssl", "tls", "secure", "encrypt"})
        wantsTls = wantsTls || reply.contains(QLatin1String(word));
    if (wantsTls) {
        Status(Say("Hinweis: Der Server verlangt eine sichere Verbindung: wählen Sie TLS oder STARTTLS.",
                   "Hint: the server requires a secure connection: choose TLS or STARTTLS."));
    } else if (reply.contains(QLatin1String("[auth]")) &&
               !sweepbox::IsLoopbackHost(QString::fromStdString(Pop_.Host))) {
        Status(Say("Hinweis: Stimmt das Passwort, verlangt der Server wohl eine sichere Verbindung: "
                   "wählen Sie TLS oder STARTTLS.",
                   "Hint: if the password is right, the server probably wants a secure connection: "
                   "choose TLS or STARTTLS."));
    }
}

// ------------------------------------------------------------ disconnect

bool TMailboxSession::Quit() {
    if (!Pop_.Connected())
        return false;
    // Only "+OK" proves the deletions; an answer that is merely not "-ERR"
    // does not.
    try {
        Pop_.Quit();
        return !Pop_.OperationFailed() && Pop_.ReplyLine().compare(0, 3, "+OK") == 0;
    } catch (const EOperationAbandoned&) {
        throw;
    } catch (const std::exception& e) {
        View_.ClearStatus();
        Status(Say("Fehler: ", "Error: ") + ErrorText(e));
        return false;
    }
}

bool TMailboxSession::Disconnect() {
    // Not into the middle of another operation's reply.
    if (Busy())
        return false;
    return EndSession();
}

bool TMailboxSession::EndSession() {
    View_.ShowProgress(0, 0);
    SetState(TSessionState::Closing);
    bool accepted = false;
    try {
        accepted = Quit();
    } catch (const EOperationAbandoned&) {
        Pop_.Abort();
    }
    Headers_.clear();
    Headers_.shrink_to_fit();
    CloseRequested_ = false;
    SetState(TSessionState::Idle);
    View_.SessionEnded();
    return accepted;
}

void TMailboxSession::Abandon(const QString& Reason) {
    Pop_.Abort();
    View_.ShowProgress(0, 0);
    if (!Reason.isEmpty()) {
        View_.ClearStatus();
        Status(Say("Fehler: ", "Error: ") + Reason);
        StatusConnectionEnded();
    }
    CloseRequested_ = false;
    EndSession();
}

// ------------------------------------------------------ delete and cancel

void TMailboxSession::Delete(std::vector<int> Numbers) {
    if (State_ != TSessionState::Connected)
        return;
    CancelRequested_ = false;
    SetState(TSessionState::Deleting);
    // The highest number first, whatever order the list shows: a server that
    // renumbered after each DELE would still delete the right ones.
    std::sort(Numbers.rbegin(), Numbers.rend());
    Numbers.erase(std::unique(Numbers.begin(), Numbers.end()), Numbers.end());
    std::vector<int> marked;
    // A number the mailbox does not have fails the whole pass before any
    // DELE: the QUIT that ends a failed pass must not make others final.
    bool failed = std::any_of(Numbers.begin(), Numbers.end(), [this](int n) { return n < 1 || n > MailCount; });
    try {
        failed = failed || !Pop_.Connected();
        if (!failed) {
            // DELEs go out ahead of their replies where the server offers
            // pipelining; each row counts once its DELE is accepted.
            const std::vector<uint16_t> numbers(Numbers.begin(), Numbers.end());
            const size_t accepted = Pop_.DeleteMessages(numbers, [&](uint16_t n) {
                marked.push_back(n);
                View_.SetPanel(2, Say("Lösche Mail Nr.: ", "Deleting mail # ") + QString::number(n));
                return !CancelRequested_;
            });
            // A cancelled pass ends without QUIT: nothing of it becomes final.
            failed = accepted != numbers.size() || CancelRequested_;
            if (CancelRequested_) {
                View_.ClearStatus();
                Status(Say("Abgebrochen.", "Cancelled."));
            }
        }
    } catch (const EOperationAbandoned&) {
        Abandon(QString());
        return;
    } catch (const EServerStalled&) {
        View_.ClearStatus();
        Status(StalledText());
        Pop_.Abort();
        failed = true;
    } catch (const std::exception& e) {
        View_.ClearStatus();
        Status(Say("Fehler: ", "Error: ") + ErrorText(e));
        Pop_.Abort();
        failed = true;
    }
    if (!failed) {
        StatusConnectionEnded();
        failed = !EndSession();
    } else {
        // No QUIT after a failed pass: it would make the DELEs sent so far final.
        Pop_.Abort();
        EndSession();
    }
    if (failed) {
        Status(Say("Die markierten e-mails wurden nicht gelöscht.", "The marked mails were not deleted."));
        StatusConnectionEnded();
        return;
    }
    // Rows leave only once QUIT has made the deletions final.
    View_.RemoveMessages(marked);
    SubtractDeleted(marked);
    View_.ClearStatus();
    Status(Say("Alle gewünschten e-mail(s) wurden erfolgreich gelöscht.", "All marked mails were deleted."));
    StatusConnectionEnded();
}

void TMailboxSession::Cancel() {
    // A listing or deletion is waiting for a reply right now; it sends
    // nothing more, so no command can go into the reply on its way, and
    // reads what is still coming, unless the server has stopped sending.
    if (State_ == TSessionState::Listing || State_ == TSessionState::Deleting) {
        if (!CancelRequested_) {
            CancelRequested_ = true;
            CancelBytes_ = Pop_.BytesReceived();
            CancelAtMs_ = SteadyMs();
        }
    } else if (State_ == TSessionState::Retrieving)
        Pop_.Cancel();
}

// --------------------------------------------------------------- viewing

bool TMailboxSession::BeginRetrieval(int Number) {
    if (State_ != TSessionState::Connected || !Pop_.Connected() || Number < 1 || Number > MailCount)
        return false;
    SetState(TSessionState::Retrieving);
    return true;
}

bool TMailboxSession::Fetch(const std::function<kel::TKelMsg*()>& Ask, kel::TKelMsg*& Msg) {
    Msg = nullptr;
    try {
        Msg = Ask();
    } catch (const EOperationAbandoned&) {
        Abandon(QString());
        return false;
    } catch (const std::exception& e) {
        Abandon(ErrorText(e));
        return false;
    }
    return true;
}

kel::TKelMsg* TMailboxSession::Retrieve(int Number) {
    if (!BeginRetrieval(Number))
        return nullptr;
    View_.ShowProgress(0, 100);
    kel::TKelMsg* msg = nullptr;
    if (!Fetch([&] { return Pop_.RetrieveMsg(static_cast<uint16_t>(Number)); }, msg))
        return nullptr;
    View_.ShowProgress(0, 0);
    if (msg == nullptr && Pop_.TooLarge()) {
        SaveLargeMessage(Number);
        return nullptr;
    }
    return EndRetrieval(msg);
}

kel::TKelMsg* TMailboxSession::Preview(int Number) {
    if (!BeginRetrieval(Number))
        return nullptr;
    View_.SetPanel(2, Say("Vorschau der Mail Nr.: ", "Preview of mail # ") + QString::number(Number));
    kel::TKelMsg* msg = nullptr;
    const bool fetched = Fetch([&] { return Pop_.PreviewMsg(static_cast<uint16_t>(Number)); }, msg);
    View_.SetPanel(2, QString());
    return fetched ? EndRetrieval(msg) : nullptr;
}

kel::TKelMsg* TMailboxSession::EndRetrieval(kel::TKelMsg* Msg) {
    if (Msg == nullptr) {
        EndEmptyRetrieval();
        return nullptr;
    }
    SetState(TSessionState::Connected);
    return Msg;
}

void TMailboxSession::Release(kel::TKelMsg* Msg) { Pop_.ReleaseMsg(Msg); }

void TMailboxSession::EndEmptyRetrieval() {
    if (Pop_.Connected()) {
        // Cancelled before the reply began: the session goes on.
        SetState(TSessionState::Connected);
        return;
    }
    // Refused (the component has shown why), or cancelled inside the reply.
    if (Pop_.OperationFailed() && Pop_.ReplyLine().compare(0, 4, "-ERR") != 0)
        Status(Say("Abgebrochen.", "Cancelled."));
    StatusConnectionEnded();
    EndSession();
}

namespace {

// The file could not take a block (it tells why).
struct ESaveWriteFailed {};

} // namespace

void TMailboxSession::SaveLargeMessage(int Number) {
    const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(Pop_.ListedSize(), 0));
    const QString path = Decisions_.OfferToSaveLargeMessage(Number, size, Pop_.OpenCeiling);
    const QString number = QString::number(Number);
    const auto notSaved = [&] {
        Status(Say("Die e-mail %1 wurde nicht gespeichert.", "Message %1 was not saved.").arg(number));
    };
    if (path.isEmpty()) {
        notSaved();
        SetState(TSessionState::Connected);
        return;
    }
    const QString shown = QDir::toNativeSeparators(path);
    const auto failed = [&](const QString& Reason) {
        Status(Say("Fehler: Die e-mail %1 konnte nicht in %2 gespeichert werden: %3",
                   "Error: message %1 could not be saved to %2: %3")
                   .arg(number, shown, Reason));
    };
    // A failed or cancelled save leaves no part of the message, and an old file stays.
    sweepbox::TAtomicFile file(path);
    if (!file.Open()) {
        // Nothing was asked of the server yet.
        failed(file.Reason());
        SetState(TSessionState::Connected);
        return;
    }
    View_.ShowProgress(0, 100);
    uint64_t written = 0;
    bool complete = false;
    try {
        complete = Pop_.SaveMsg(static_cast<uint16_t>(Number), [&](std::string_view Block) {
            if (!file.Write(Block))
                throw ESaveWriteFailed{};
            written += Block.size();
        });
    } catch (const ESaveWriteFailed&) {
        // The component has dropped the connection: the rest of the reply is unread.
        const QString reason = file.Reason();
        file.Cancel();
        View_.ShowProgress(0, 0);
        failed(reason);
        StatusConnectionEnded();
        EndSession();
        return;
    } catch (const EOperationAbandoned&) {
        file.Cancel();
        Abandon(QString());
        return;
    } catch (const std::exception& e) {
        file.Cancel();
        Abandon(ErrorText(e));
        notSaved();
        return;
    }
    View_.ShowProgress(0, 0);
    if (!complete) {
        file.Cancel();
        if (Pop_.Connected())
            notSaved();
        EndEmptyRetrieval();
        return;
    }
    if (!file.Commit()) {
        failed(file.Reason());
    } else {
        const QLocale locale(Language.German ? QLocale::German : QLocale::English);
        Status(Say("Die e-mail %1 wurde in %2 gespeichert (%3 Bytes).", "Message %1 was saved to %2 (%3 bytes).")
                   .arg(number, shown, locale.toString(static_cast<qulonglong>(written))));
    }
    SetState(TSessionState::Connected);
}

// ----------------------------------------------------------------- close

void TMailboxSession::Close() {
    if (Busy()) {
        // A reply is on its way: no QUIT now. The operation notices at its
        // next wait and drops the connection, so nothing marked is deleted.
        CloseRequested_ = true;
    } else if (Pop_.Connected()) {
        try {
            EndSession();
        } catch (...) {
            // Closing goes on whatever the server does.
        }
    }
    // The program may end next: the cache's file is on disk before it does.
    CacheWorker_.Wait();
}
