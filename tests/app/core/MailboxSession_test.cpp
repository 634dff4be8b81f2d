// The mailbox session without a window: a recording view stands in for the
// main window, a fake server for the mailbox. What state is the session in,
// what does it show, what reaches the server, and what does it refuse while
// another operation runs?
#include "app/core/MailboxSession.h"

#include "app/core/Settings.h"

#include "mail/message/KelMsg.h"
#include "support/BoundedWaits.h"
#include "support/DovecotServer.h"
#include "support/FakePop3Server.h"
#include "support/ScriptedTransport.h"
#include "support/TlsServer.h"

#include "support/QtCoreTestApp.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <sys/resource.h>
#include <tuple>
#include <vector>

namespace {

using sweepbox::test::FakePop3Server;
using sweepbox::test::MailboxOptions;
using Strings = std::vector<std::string>;
using State = TSessionState;

class RecordingView : public TMailboxView {
  public:
    std::vector<State> States;
    QStringList Status;
    QStringList Rows;
    // The message number of each row added, in step with Rows.
    std::vector<int> RowNumbers;
    std::map<int, QString> Panels;
    std::vector<int> Removed;
    bool Ended = false, Failed = false, LoggedInSeen = false;
    State Current = State::Idle;

    void ClearStatus() override { Status.clear(); }
    void AddStatus(const QString& Line) override { Status << Line; }
    // Called when the status must be on screen before the session goes on.
    std::function<void()> OnShowStatusNow;
    void ShowStatusNow() override {
        if (OnShowStatusNow)
            OnShowStatusNow();
    }
    void SetPanel(int Index, const QString& Text) override { Panels[Index] = Text; }
    void ShowProgress(int, int) override {}
    void ClearRows() override {
        Rows.clear();
        RowNumbers.clear();
    }
    void AddRow(int Number, const QString& Text) override {
        Rows << Text;
        RowNumbers.push_back(Number);
    }
    void RowsListed() override {}
    void RemoveMessages(const std::vector<int>& Numbers) override { Removed = Numbers; }
    void StateChanged(State S) override {
        States.push_back(S);
        Current = S;
    }
    void LoggedIn() override { LoggedInSeen = true; }
    void SessionEnded() override { Ended = true; }
    void ConnectFailed() override { Failed = true; }
};

class RecordingDecisions : public TMailboxDecisions {
  public:
    // The fingerprints asked about, with the host and port.
    std::vector<std::pair<std::string, QString>> Asked;
    bool TrustCertificate(const kel::TCertificateInfo& Certificate, const QString& HostPort) override {
        Asked.emplace_back(Certificate.Fingerprint, HostPort);
        return false;
    }
    // What OfferToSaveLargeMessage was asked (number, size, ceiling) and answers.
    std::vector<std::tuple<int, uint64_t, uint64_t>> Offers;
    QString SavePath;
    QString OfferToSaveLargeMessage(int Number, uint64_t Size, uint64_t Ceiling) override {
        Offers.emplace_back(Number, Size, Ceiling);
        return SavePath;
    }
};

// The host's events, which run inside the session's waits.
struct EventPump {
    explicit EventPump(const RecordingView& V) : View(V) {}
    const RecordingView& View;
    // Runs at each pass with the state the view last saw.
    std::function<void(State)> OnEvents;
    TEventPump Callback() {
        return [this] {
            if (OnEvents)
                OnEvents(View.Current);
        };
    }
};

Strings Mailbox(int count) {
    Strings out;
    for (int i = 1; i <= count; ++i)
        out.push_back("From: Sender " + std::to_string(i) + " <s" + std::to_string(i) +
                      "@example.org>\r\nSubject: Message " + std::to_string(i) +
                      "\r\nDate: Mon, 6 Mar 2000 10:22:33 +0100\r\n\r\n" + std::string(10 * i, 'x') + "\r\n");
    return out;
}

// The test user's login at Server, unencrypted.
TConnectRequest RequestFor(const FakePop3Server& Server, bool CountOnly = false) {
    TConnectRequest r;
    r.Server = QStringLiteral("127.0.0.1:") + QString::fromStdString(Server.PortText());
    r.Security = sweepbox::TSecurity::None;
    r.User = QStringLiteral("test");
    r.Password = QStringLiteral("secret");
    r.CountOnly = CountOnly;
    return r;
}

// A session of its own, for a test that needs a fresh one per case.
struct OwnSession {
    OwnSession() { sweepbox::test::BoundWaits(Pop); }
    std::tuple<RecordingView&, kel::TKelPOP&, TMailboxSession&> Parts() { return {View, Pop, Session}; }
    RecordingView View;
    RecordingDecisions Decisions;
    EventPump Events{View};
    kel::TKelPOP Pop;
    TMailboxSession Session{Pop, View, Decisions, Events.Callback()};
};

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureCoreApp();
        sweepbox::test::BoundWaits(pop);
    }

    void Start(FakePop3Server& Server, bool CountOnly = false) { session.Connect(RequestFor(Server, CountOnly)); }
    // The commands the server saw after the login.
    static Strings After(const FakePop3Server& Server, const std::string& Command) {
        const Strings all = Server.Commands();
        auto at = std::find(all.begin(), all.end(), Command);
        return at == all.end() ? Strings{} : Strings(at + 1, all.end());
    }

    kel::TKelPOP pop;
    RecordingView view;
    RecordingDecisions decisions;
    EventPump events{view};
    TMailboxSession session{pop, view, decisions, events.Callback()};
};

TEST_F(SessionTest, ListingGoesThroughItsStatesAndShowsEveryRow) {
    FakePop3Server srv(Mailbox(3));
    session.PumpIntervalMs = 0;
    Start(srv);
    EXPECT_EQ(view.States, (std::vector<State>{State::Connecting, State::Listing, State::Connected}));
    ASSERT_EQ(view.Rows.size(), 3);
    EXPECT_EQ(view.Rows[1], QStringLiteral(" 2 |115 Byte |06 Mar 2000|Sender 2|Message 2|"));
    EXPECT_EQ(view.Panels[0], QStringLiteral("3 Mails"));
    EXPECT_TRUE(view.LoggedInSeen);
    EXPECT_NE(session.Header(3), nullptr);
    EXPECT_EQ(session.Header(4), nullptr);
    EXPECT_EQ(session.Rows().size(), 3u);

    session.Delete({1, 3, 3, 2});
    EXPECT_EQ(After(srv, "list 3"), (Strings{"DELE 3", "DELE 2", "DELE 1", "STAT", "QUIT"}));
    EXPECT_EQ(view.Removed, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(session.State(), State::Idle);
    EXPECT_TRUE(srv.Remaining().empty());
    EXPECT_EQ(session.Header(1), nullptr) << "the headers go with the connection";
}

TEST_F(SessionTest, EveryRowCarriesItsMessageNumberAndHeader) {
    const Strings box = Mailbox(4);
    for (const bool countOnly : {false, true}) {
        SCOPED_TRACE(countOnly ? "count only" : "full listing");
        FakePop3Server srv(box);
        session.PumpIntervalMs = 0;
        Start(srv, countOnly);
        ASSERT_EQ(session.State(), State::Connected);
        EXPECT_EQ(view.RowNumbers, (std::vector<int>{1, 2, 3, 4}));
        EXPECT_EQ(view.Rows.size(), 4);
        EXPECT_EQ(session.Rows().size(), countOnly ? 0u : 4u);
        for (size_t i = 0; i < session.Rows().size(); ++i) {
            EXPECT_EQ(session.Rows()[i].Number, static_cast<int>(i + 1));
            // The row a view finds by number is the one it was shown.
            const TListRow* row = session.Row(static_cast<int>(i + 1));
            ASSERT_EQ(row, &session.Rows()[i]);
            EXPECT_EQ(row->Text(), view.Rows[static_cast<qsizetype>(i)]);
        }
        for (const int n : {0, -1, 5, 65536}) {
            EXPECT_EQ(session.Header(n), nullptr) << n;
            EXPECT_EQ(session.Row(n), nullptr) << n;
        }
        for (int n = 1; n <= 4; ++n) {
            ASSERT_NE(session.Header(n), nullptr) << n;
            const std::string& header = *session.Header(n);
            if (countOnly) {
                EXPECT_EQ(header, " ") << "no TOP was asked";
            } else {
                EXPECT_NE(header.find("Subject: Message " + std::to_string(n) + "\r\n"), std::string::npos) << header;
                EXPECT_EQ(header.back(), '|');
            }
        }
        EXPECT_TRUE(session.Disconnect());
        EXPECT_EQ(session.Header(1), nullptr);
        EXPECT_FALSE(session.Connected());
    }
}

TEST_F(SessionTest, ARetrievedMessageIsReleasedThroughTheSession) {
    FakePop3Server srv(Mailbox(2));
    session.PumpIntervalMs = 0;
    Start(srv);
    ASSERT_TRUE(session.Connected());
    kel::TKelMsg* first = session.Retrieve(2);
    ASSERT_NE(first, nullptr);
    kel::TKelMsg* second = session.Retrieve(1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(pop.OwnedMessages(), 2u);
    session.Release(first);
    EXPECT_EQ(pop.OwnedMessages(), 1u);
    session.Release(second);
    EXPECT_EQ(pop.OwnedMessages(), 0u);
    EXPECT_EQ(session.State(), State::Connected) << "releasing asks nothing of the server";
}

TEST_F(SessionTest, MissingInputIsRefusedBeforeAnythingHappens) {
    const struct {
        const char* server;
        const char* user;
        const char* password;
        const char* status;
    } rows[] = {
        {"", "u", "p", "Error: No POP server specified"},
        {"h", "", "p", "Error: You will need an username"},
        {"h", "u", "", "Error: You will also need a password"},
        {"h:99999", "u", "p", "Error: invalid server (server, server:port or [IPv6 address]:port)"},
    };
    for (const auto& row : rows) {
        TConnectRequest r;
        r.Server = QString::fromUtf8(row.server);
        r.User = QString::fromUtf8(row.user);
        r.Password = QString::fromUtf8(row.password);
        session.Connect(r);
        EXPECT_EQ(view.Status, QStringList{QString::fromUtf8(row.status)}) << row.status;
        EXPECT_TRUE(view.States.empty());
    }
}

// A server that offers UTF8 is asked for it once, right after the login and
// its CAPA (the one before the login tells the mechanisms); one that does
// not (Dovecot's case) is never asked.
TEST_F(SessionTest, Utf8IsAskedForOnceWhereItIsOffered) {
    for (const bool offered : {true, false}) {
        SCOPED_TRACE(offered ? "offered" : "not offered");
        MailboxOptions opt;
        opt.Utf8 = offered;
        FakePop3Server srv(Mailbox(1), opt);
        OwnSession own;
        auto [v, p, s] = own.Parts();
        s.Connect(RequestFor(srv));
        EXPECT_EQ(s.State(), State::Connected);
        const Strings sent = srv.Commands();
        const Strings start(sent.begin(), sent.begin() + std::min<size_t>(sent.size(), 6));
        EXPECT_EQ(start, offered ? (Strings{"CAPA", "USER test", "PASS secret", "CAPA", "UTF8", "STAT"})
                                 : (Strings{"CAPA", "USER test", "PASS secret", "CAPA", "STAT", "TOP 1 0"}));
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "UTF8"), offered ? 1 : 0);
    }
}

TEST_F(SessionTest, CountOnlyAsksNothingAfterStat) {
    FakePop3Server srv(Mailbox(2));
    Start(srv, true);
    EXPECT_EQ(view.States, (std::vector<State>{State::Connecting, State::Connected}));
    EXPECT_EQ(view.Rows, (QStringList{QStringLiteral(" 1 | - | - | - | - |"), QStringLiteral(" 2 | - | - | - | - |")}));
    EXPECT_EQ(After(srv, "STAT"), Strings{});
}

// Cancel stops after the message under way; the count panel tells the rows
// that were listed.
TEST_F(SessionTest, CancelledListingKeepsItsRowsAndSaysHowMany) {
    FakePop3Server srv(Mailbox(6));
    session.PumpIntervalMs = 0;
    events.OnEvents = [&](State s) {
        if (s == State::Listing && view.Rows.size() == 2)
            session.Cancel();
    };
    Start(srv);
    EXPECT_EQ(session.State(), State::Connected);
    EXPECT_EQ(view.Rows.size(), 3);
    EXPECT_EQ(view.Panels[0], QStringLiteral("3 / 6 Mails"));
    EXPECT_EQ(After(srv, "STAT").back(), "list 3");
}

// Pipelined, a cancel stops sending and reads the messages already asked
// for: their rows come too, and the session is in step for the deletion
// that follows, whose DELEs go ahead of their replies as well.
TEST_F(SessionTest, PipelinedCancelReadsWhatIsInFlightAndStaysInStep) {
    MailboxOptions opt;
    opt.Pipelining = true;
    FakePop3Server srv(Mailbox(40), opt);
    session.PumpIntervalMs = 0;
    pop.PipelineWindow = 4;
    events.OnEvents = [&](State s) {
        if (s == State::Listing && view.Rows.size() == 2)
            session.Cancel();
    };
    Start(srv);
    EXPECT_EQ(session.State(), State::Connected);
    EXPECT_EQ(view.Rows.size(), 6);
    EXPECT_EQ(view.Panels[0], QStringLiteral("6 / 40 Mails"));
    EXPECT_EQ(After(srv, "STAT").back(), "list 6");
    events.OnEvents = nullptr;
    session.Delete({6, 5, 2});
    EXPECT_EQ(After(srv, "list 6"), (Strings{"DELE 6", "DELE 5", "DELE 2", "STAT", "QUIT"}));
    EXPECT_EQ(view.Removed, (std::vector<int>{6, 5, 2}));
    EXPECT_EQ(srv.Remaining().size(), 37u);
}

// A DELE refused in the middle of a pipelined pass: the ones sent after it
// went out too, but without QUIT none of them is carried out.
TEST_F(SessionTest, PipelinedRefusedDeleteKeepsEverything) {
    MailboxOptions opt;
    opt.Pipelining = true;
    opt.Overrides["DELE 3"] = "-ERR no\r\n";
    FakePop3Server srv(Mailbox(5), opt);
    Start(srv);
    session.Delete({5, 3, 1});
    // The server may still be reading the last DELE as the session ends.
    const size_t listed = srv.Commands().size() - After(srv, "list 5").size();
    ASSERT_TRUE(srv.WaitForCommands(listed + 3));
    // The STAT that proves the pass in step goes out with the last DELE, so
    // it may have reached the server as well; QUIT never does.
    const Strings after = After(srv, "list 5");
    ASSERT_GE(after.size(), 3u);
    EXPECT_EQ(Strings(after.begin(), after.begin() + 3), (Strings{"DELE 5", "DELE 3", "DELE 1"}));
    EXPECT_EQ(std::count(after.begin(), after.end(), "QUIT"), 0);
    EXPECT_TRUE(view.Removed.empty());
    EXPECT_TRUE(view.Status.contains(QStringLiteral("The marked mails were not deleted.")));
    EXPECT_EQ(srv.Remaining().size(), 5u);
    EXPECT_EQ(session.State(), State::Idle);
}

// While an operation waits for the server, every other one is refused; only
// Cancel and Close are heard.
TEST_F(SessionTest, NothingElseStartsWhileAnOperationWaits) {
    FakePop3Server srv(Mailbox(3));
    session.PumpIntervalMs = 0;
    std::vector<State> tried;
    events.OnEvents = [&](State s) {
        if (std::find(tried.begin(), tried.end(), s) != tried.end())
            return;
        tried.push_back(s);
        const size_t before = srv.Commands().size();
        TConnectRequest again;
        again.Server = QStringLiteral("127.0.0.1:1");
        again.User = again.Password = QStringLiteral("x");
        session.Connect(again);
        session.Delete({1});
        EXPECT_EQ(session.Retrieve(1), nullptr);
        EXPECT_EQ(session.Preview(1), nullptr);
        EXPECT_FALSE(session.Disconnect());
        EXPECT_EQ(srv.Commands().size(), before) << "state " << static_cast<int>(s);
    };
    Start(srv);
    EXPECT_EQ(session.State(), State::Connected);
    ASSERT_NE(session.Retrieve(2), nullptr);
    EXPECT_EQ(session.State(), State::Connected);
    session.Delete({3});
    events.OnEvents = nullptr;
    EXPECT_EQ(session.State(), State::Idle);
    // Every busy state was tried, and the operations themselves went through.
    for (State busy : {State::Connecting, State::Listing, State::Retrieving, State::Deleting, State::Closing})
        EXPECT_NE(std::find(tried.begin(), tried.end(), busy), tried.end()) << static_cast<int>(busy);
    EXPECT_EQ(srv.Remaining().size(), 2u);
}

TEST_F(SessionTest, RetrievalReturnsTheMessageAndCancelStopsIt) {
    FakePop3Server srv(Mailbox(2));
    session.PumpIntervalMs = 0;
    Start(srv);
    kel::TKelMsg* msg = session.Retrieve(2);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->Subject, "Message 2");
    EXPECT_EQ(session.State(), State::Connected);

    // Cancelled before the reply began: nothing is returned and the session
    // goes on (a cancel inside the reply drops the connection; the
    // component's tests cover that).
    events.OnEvents = [&](State s) {
        if (s == State::Retrieving)
            session.Cancel();
    };
    EXPECT_EQ(session.Retrieve(1), nullptr);
    EXPECT_EQ(session.State(), State::Connected);
    events.OnEvents = nullptr;
    ASSERT_NE(session.Retrieve(1), nullptr);
    // Out of range: nothing is asked.
    const size_t before = srv.Commands().size();
    EXPECT_EQ(session.Retrieve(7), nullptr);
    EXPECT_EQ(srv.Commands().size(), before);
}

// The preview asks TOP n 40 of one message and nothing else, runs as a
// retrieval does, and a refusal or a cancel ends as one would.
TEST_F(SessionTest, PreviewAsksForTheStartAndEndsAsARetrieval) {
    MailboxOptions options;
    options.Overrides["TOP 3 40"] = "-ERR Message is locked.\r\n";
    FakePop3Server srv(Mailbox(3), options);
    session.PumpIntervalMs = 0;
    Start(srv);
    QString hint;
    events.OnEvents = [&](State s) {
        if (s == State::Retrieving)
            hint = view.Panels[2];
    };
    view.States.clear();
    kel::TKelMsg* msg = session.Preview(2);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->Subject, "Message 2");
    EXPECT_EQ(After(srv, "TOP 3 0").back(), "TOP 2 40");
    EXPECT_EQ(view.States, (std::vector<State>{State::Retrieving, State::Connected}));
    EXPECT_EQ(hint, QStringLiteral("Preview of mail # 2"));
    EXPECT_EQ(view.Panels[2], QString());
    session.Release(msg);
    EXPECT_EQ(pop.OwnedMessages(), 0u);

    // Cancelled before TOP went out: nothing is asked, the session goes on.
    const size_t before = srv.Commands().size();
    events.OnEvents = [&](State s) {
        if (s == State::Retrieving)
            session.Cancel();
    };
    EXPECT_EQ(session.Preview(1), nullptr);
    EXPECT_EQ(srv.Commands().size(), before);
    EXPECT_EQ(session.State(), State::Connected);
    events.OnEvents = nullptr;
    // Out of range: nothing is asked either.
    EXPECT_EQ(session.Preview(4), nullptr);
    EXPECT_EQ(srv.Commands().size(), before);

    // Refused: the reason in the status (as the window binds the event), the
    // connection ended.
    pop.OnError = [&](kel::TObject* Sender, int32_t, const std::string& Text) { session.ComponentError(Sender, Text); };
    EXPECT_EQ(session.Preview(3), nullptr);
    EXPECT_EQ(session.State(), State::Idle);
    EXPECT_TRUE(view.Status.join(QLatin1Char('|')).contains(QStringLiteral("Message is locked.")))
        << view.Status.join(QLatin1Char('|')).toStdString();
}

QByteArray ReadFile(const QString& Path) {
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

// A message above the ceiling is not fetched: the view is asked, and the
// message goes to the chosen file as the server has it, dots unstuffed.
TEST_F(SessionTest, LargeMessageIsOfferedAndSavedExactly) {
    const std::string big = FakePop3Server::DottedMessage(300000);
    FakePop3Server srv({Mailbox(1)[0], big});
    session.PumpIntervalMs = 0;
    Start(srv);
    pop.OpenCeiling = 100000;
    QTemporaryDir dir;
    decisions.SavePath = dir.filePath(QStringLiteral("message-2.eml"));
    EXPECT_EQ(session.Retrieve(2), nullptr);
    const std::string served = FakePop3Server::NormalizeCrLf(big);
    ASSERT_EQ(decisions.Offers.size(), 1u);
    EXPECT_EQ(decisions.Offers[0], std::make_tuple(2, uint64_t{served.size()}, uint64_t{100000}));
    EXPECT_EQ(ReadFile(decisions.SavePath), QByteArray::fromStdString(served));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{QStringLiteral("message-2.eml")});
    EXPECT_EQ(After(srv, "list 2"), (Strings{"LIST 2", "LIST 2", "RETR 2"}));
    EXPECT_TRUE(view.Status.contains(
        QStringLiteral("Message 2 was saved to %1 (%2 bytes).")
            .arg(decisions.SavePath, QLocale(QLocale::English).toString(static_cast<qulonglong>(served.size())))))
        << view.Status.join(QLatin1Char(0x0a)).toStdString();
    EXPECT_EQ(session.State(), State::Connected);
    // The session goes on: a small message still opens.
    ASSERT_NE(session.Retrieve(1), nullptr);
}

// Every way a save ends without the message: nothing half written stays,
// a file of that name keeps its bytes, and the status says why.
TEST_F(SessionTest, UnsavedLargeMessageLeavesNoFile) {
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("kept.eml"));
    struct Row {
        const char* name;
        QString path;
        bool cancelInReply, fileTooLarge;
        QString status; // a line of the status begins with it
        Strings sent;   // after the listing
        State state;
    };
    const Row rows[] = {
        {"declined", QString(), false, false, QStringLiteral("Message 2 was not saved."), {"LIST 2"}, State::Connected},
        {"folder missing",
         dir.filePath(QStringLiteral("missing/m.eml")),
         false,
         false,
         QStringLiteral("Error: message 2 could not be saved to %1: ")
             .arg(dir.filePath(QStringLiteral("missing/m.eml"))),
         {"LIST 2"},
         State::Connected},
        {"write fails",
         target,
         false,
         true,
         QStringLiteral("Error: message 2 could not be saved to %1: File too large").arg(target),
         {"LIST 2", "LIST 2", "RETR 2"},
         State::Idle},
        {"cancelled in the reply",
         target,
         true,
         false,
         QStringLiteral("Cancelled."),
         {"LIST 2", "LIST 2", "RETR 2"},
         State::Idle},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        {
            QFile old(target);
            ASSERT_TRUE(old.open(QIODevice::WriteOnly | QIODevice::Truncate));
            old.write("old bytes");
        }
        FakePop3Server srv({Mailbox(1)[0], FakePop3Server::DottedMessage(300000)});
        RecordingView v;
        RecordingDecisions d;
        EventPump e{v};
        kel::TKelPOP p;
        TMailboxSession s(p, v, d, e.Callback());
        s.PumpIntervalMs = 0;
        s.Connect(RequestFor(srv));
        p.OpenCeiling = 100000;
        d.SavePath = row.path;
        int pumps = 0;
        if (row.cancelInReply)
            e.OnEvents = [&](State) {
                if (!d.Offers.empty() && ++pumps == 20)
                    s.Cancel();
            };
        // Files may grow to 64 KiB: the save's second block fails with EFBIG.
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        auto* const oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (row.fileTooLarge) {
            rlimit small = saved;
            small.rlim_cur = 64 * 1024;
            ::setrlimit(RLIMIT_FSIZE, &small);
        }
        EXPECT_EQ(s.Retrieve(2), nullptr);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        EXPECT_EQ(After(srv, "list 2"), row.sent);
        EXPECT_EQ(s.State(), row.state);
        EXPECT_EQ(p.Connected(), row.state == State::Connected);
        EXPECT_TRUE(std::any_of(v.Status.begin(), v.Status.end(), [&](const QString& l) {
            return l.startsWith(row.status);
        })) << v.Status.join(QLatin1Char(0x0a)).toStdString();
        EXPECT_EQ(ReadFile(target), QByteArray("old bytes"));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::Files),
                  QStringList{QStringLiteral("kept.eml")});
    }
}

// A close during an operation abandons it at its next wait: no QUIT goes
// into a reply, and nothing marked is deleted.
TEST_F(SessionTest, CloseDuringAnOperationSendsNothingMore) {
    FakePop3Server srv(Mailbox(4));
    session.PumpIntervalMs = 0;
    events.OnEvents = [&](State s) {
        if (s == State::Listing && view.Rows.size() == 1)
            session.Close();
    };
    Start(srv);
    EXPECT_EQ(session.State(), State::Idle);
    const Strings sent = After(srv, "STAT");
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "QUIT"), 0);
    EXPECT_LE(sent.size(), 4u);
    EXPECT_EQ(srv.Remaining().size(), 4u);
}

// A number the mailbox does not have fails the pass before anything is
// deleted, wherever it sorts.
TEST_F(SessionTest, AnUnknownNumberDeletesNothing) {
    for (const std::vector<int>& chosen : {std::vector<int>{3, 0}, std::vector<int>{9, 1}, std::vector<int>{4, 1}}) {
        FakePop3Server srv(Mailbox(3));
        OwnSession own;
        auto [v, p, s] = own.Parts();
        s.Connect(RequestFor(srv));
        s.Delete(chosen);
        EXPECT_EQ(After(srv, "list 3"), Strings{});
        EXPECT_EQ(srv.Remaining().size(), 3u);
        EXPECT_TRUE(v.Status.contains(QStringLiteral("The marked mails were not deleted.")));
    }
}

// A refused DELE deletes nothing: no QUIT, the rows stay.
TEST_F(SessionTest, ARefusedDeleteKeepsEverything) {
    MailboxOptions opt;
    opt.Overrides["DELE 2"] = "-ERR no\r\n";
    FakePop3Server srv(Mailbox(3), opt);
    Start(srv);
    session.Delete({2, 3});
    EXPECT_EQ(After(srv, "list 3"), (Strings{"DELE 3", "DELE 2"}));
    EXPECT_TRUE(view.Removed.empty());
    EXPECT_TRUE(view.Status.contains(QStringLiteral("The marked mails were not deleted.")));
    EXPECT_EQ(srv.Remaining().size(), 3u);
    EXPECT_EQ(session.State(), State::Idle);
}

// A server that stops in the middle of a reply: Cancel does not wait for
// the stall limit. A second without a byte after it, the connection is
// dropped (no QUIT: nothing becomes final), the rows listed so far stay,
// and the status says why.
TEST_F(SessionTest, CancelWinsOverAServerThatStoppedAnswering) {
    const struct {
        const char* name;
        bool pipelining;
        std::map<std::string, std::string> overrides; // the last reply: cut short
        std::string stalled; // its command
        int rows;
    } rows[] = {
        {"listing, lock-step", false, {{"TOP 2 0", "+OK\r\nSubject: half"}}, "TOP 2 0", 1},
        {"listing, pipelined", true, {{"list 4", "+OK 4"}}, "list 4", 3},
        {"deletion, lock-step", false, {{"DELE 1", "+OK mar"}}, "DELE 1", 4},
        {"deletion, pipelined", true, {{"DELE 1", "+OK mar"}}, "DELE 1", 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MailboxOptions opt;
        opt.Pipelining = row.pipelining;
        opt.Overrides = row.overrides;
        FakePop3Server srv(Mailbox(4), opt);
        RecordingView v;
        RecordingDecisions d;
        EventPump e{v};
        kel::TKelPOP p;
        // Only the cancel can end the wait within this test's time.
        p.ReceiveStallLimitMs = 20000;
        p.PipelineWindow = 4;
        TMailboxSession s(p, v, d, e.Callback());
        s.PumpIntervalMs = 0;
        e.OnEvents = [&](State) {
            const Strings seen = srv.Commands();
            if (std::find(seen.begin(), seen.end(), row.stalled) != seen.end())
                s.Cancel();
        };
        s.Connect(RequestFor(srv));
        if (row.stalled.rfind("DELE", 0) == 0)
            s.Delete({4, 3, 2, 1});
        EXPECT_EQ(s.State(), State::Idle);
        EXPECT_FALSE(p.Connected());
        EXPECT_EQ(v.Rows.size(), row.rows);
        EXPECT_TRUE(v.Status.contains(
            QStringLiteral("Cancelled: the server stopped answering; the connection was dropped.")))
            << v.Status.join(QLatin1Char('|')).toStdString();
        EXPECT_TRUE(v.Removed.empty());
        const Strings sent = srv.Commands();
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "QUIT"), 0);
        EXPECT_EQ(srv.Remaining().size(), 4u);
    }
}

// Cancelled while the server answers, a deletion pass sends nothing more and
// ends without QUIT: nothing of it is deleted.
TEST_F(SessionTest, ACancelledDeletionDeletesNothing) {
    MailboxOptions opt;
    opt.Pipelining = true;
    FakePop3Server srv(Mailbox(5), opt);
    Start(srv);
    session.PumpIntervalMs = 0;
    events.OnEvents = [&](State s) {
        if (s == State::Deleting)
            session.Cancel();
    };
    session.Delete({5, 4, 3});
    EXPECT_EQ(session.State(), State::Idle);
    EXPECT_TRUE(view.Removed.empty());
    EXPECT_TRUE(view.Status.contains(QStringLiteral("Cancelled.")));
    EXPECT_TRUE(view.Status.contains(QStringLiteral("The marked mails were not deleted.")));
    const Strings after = After(srv, "list 5");
    EXPECT_EQ(std::count(after.begin(), after.end(), "QUIT"), 0);
    EXPECT_EQ(srv.Remaining().size(), 5u);
}

// A message count that is no decimal number is no count of messages; said
// in the interface's language, not in the component's.
TEST_F(SessionTest, AStatCountThatIsNoNumberIsSaidPlainly) {
    for (const bool german : {false, true}) {
        MailboxOptions opt;
        opt.Overrides["STAT"] = "+OK 0x10 5\r\n";
        FakePop3Server srv(Mailbox(2), opt);
        RecordingView v;
        RecordingDecisions d;
        EventPump e{v};
        kel::TKelPOP p;
        TMailboxSession s(p, v, d, e.Callback());
        s.Language.German = german;
        s.Connect(RequestFor(srv));
        EXPECT_EQ(s.State(), State::Idle);
        EXPECT_TRUE(v.Rows.isEmpty());
        const QString expected = german ? QString::fromUtf8("Fehler: Die Antwort des Servers nennt keine Anzahl von "
                                                            "Nachrichten: „0x10“")
                                        : QStringLiteral("Error: The server's answer gives no number of messages: "
                                                         "\"0x10\"");
        EXPECT_TRUE(v.Status.contains(expected)) << v.Status.join(QLatin1Char('|')).toStdString();
    }
}

// An OAuth2 sign-in: a token the server refuses is told with the server's
// status and leaves LoginFailure for the host to fetch a fresh one; a server
// without a bearer mechanism hears nothing of the token. Either way no
// password warning, since none is sent.
TEST_F(SessionTest, OAuth2FailuresAreToldApart) {
    const std::string xoauth2 = QByteArray("user=test\x01" "auth=Bearer tok-1\x01\x01").toBase64().toStdString();
    const struct {
        const char* name;
        std::string capa;
        kel::TLoginFailure failure;
        const char* status;
    } rows[] = {
        {"refused token", "+OK\r\nSASL XOAUTH2\r\n.\r\n", kel::TLoginFailure::TokenRefused,
         "The server refused the OAuth2 token (XOAUTH2, 401)."},
        {"no bearer mechanism", "+OK\r\nSASL SCRAM-SHA-256 PLAIN\r\n.\r\n", kel::TLoginFailure::NoMechanism,
         "Error: the server offers no OAuth2 sign-in (OAUTHBEARER or XOAUTH2)."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MailboxOptions opt;
        opt.Overrides["CAPA"] = row.capa;
        opt.Overrides["AUTH XOAUTH2 " + xoauth2] =
            "+ " + QByteArray(R"({"status":"401","schemes":"bearer"})").toBase64().toStdString() + "\r\n";
        opt.Overrides[""] = "-ERR [AUTH] Authentication failed.\r\n";
        FakePop3Server srv(Mailbox(1), opt);
        OwnSession own;
        auto [v, p, s] = own.Parts();
        TConnectRequest request = RequestFor(srv);
        request.SignIn = sweepbox::TSignIn::OAuth2;
        request.Password.clear();
        request.AccessToken = QStringLiteral("tok-1");
        s.Connect(request);
        EXPECT_EQ(s.State(), State::Idle);
        EXPECT_EQ(s.LoginFailure(), row.failure);
        EXPECT_TRUE(v.Status.contains(QString::fromLatin1(row.status))) << v.Status.join(QLatin1Char('|')).toStdString();
        EXPECT_FALSE(v.Status.join(QLatin1Char('|')).contains(QStringLiteral("password")));
        const Strings sent = srv.Commands();
        EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const std::string& c) { return c.rfind("AUTH", 0) == 0; }),
                  row.failure == kel::TLoginFailure::TokenRefused ? 1 : 0);
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "PASS secret"), 0);
    }
}

// The component's common failures are said in the interface's language,
// chosen by their reason: the same words with another reason stay as they are.
TEST_F(SessionTest, FailuresAreSaidInGerman) {
    using kel::TSocketFailure;
    session.Language.German = true;
    const struct {
        std::function<void()> raise;
        const char* german; // nullptr: the component's own words
    } rows[] = {
        {[] { throw kel::ESocketError(ECONNRESET, "recv", "closed early", TSocketFailure::ClosedEarly); },
         "Der Server hat die Verbindung beendet, bevor seine Antwort vollständig war."},
        {[] { throw kel::ESocketError(ETIMEDOUT, "recv", TSocketFailure::Stalled); },
         "Der Server antwortet nicht mehr (Zeitüberschreitung)."},
        {[] { throw kel::ESocketError(EMSGSIZE, "recv", "x", TSocketFailure::TooLong); },
         "Die Antwort des Servers ist länger als erlaubt (x)"},
        // A system failure with the same number keeps the system's words.
        {[] { throw kel::ESocketError(ETIMEDOUT, "recv"); }, nullptr},
        {[] { throw kel::ESocketError(ECONNRESET, "recv", "The server closed the connection"); }, nullptr},
        {[] { throw kel::EKelPOPError("x", kel::TPopMisuse::UnsafeCredentials); },
         "Benutzername oder Passwort enthält einen Zeilenumbruch."},
        {[] { throw kel::EKelPOPError("x", kel::TPopMisuse::NotSecured); },
         "Die Verbindung ist nicht gesichert: Benutzername und Passwort werden nicht gesendet."},
        {[] { throw kel::EKelPOPError("User name or password contains a line break."); }, nullptr},
    };
    for (const auto& row : rows) {
        try {
            row.raise();
        } catch (const std::exception& e) {
            SCOPED_TRACE(e.what());
            EXPECT_EQ(session.ErrorText(e),
                      row.german ? QString::fromUtf8(row.german) : QString::fromUtf8(e.what()));
        }
    }
    session.Language.German = false;
    EXPECT_EQ(session.ErrorText(kel::ESocketError(ETIMEDOUT, "recv", "x", TSocketFailure::Stalled)),
              QStringLiteral("x"));
}

// A message of exactly Size bytes as the server serves it.
std::string MessageOfSize(size_t Size) {
    const std::string head = "Subject: sized\r\n\r\n";
    return head + std::string(Size - head.size() - 2, 'x') + "\r\n";
}

// What does the size panel say once messages are deleted: the size at
// connect less the listed sizes of the messages that went, in the same
// form; unknown (empty) where their sizes were never listed.
TEST_F(SessionTest, TheSizePanelFollowsDeletions) {
    const struct {
        const char* name;
        bool countOnly;
        std::vector<int> deleted;
        const char* before;
        const char* after;
    } rows[] = {
        {"the two smaller", false, {2, 3}, "10 KByte", "4 KByte"},
        {"the largest", false, {1}, "10 KByte", "6 KByte"}, // 5500 bytes, rounded half up
        {"all", false, {3, 1, 2}, "10 KByte", "0 Byte"},
        {"count only: no sizes listed", true, {1}, "10 KByte", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3Server srv({MessageOfSize(4000), MessageOfSize(3000), MessageOfSize(2500)});
        OwnSession own;
        auto [view, pop, session] = own.Parts();
        session.PumpIntervalMs = 0;
        session.Connect(RequestFor(srv, row.countOnly));
        ASSERT_EQ(session.State(), State::Connected);
        EXPECT_EQ(view.Panels[1], QString::fromUtf8(row.before));
        session.Delete(row.deleted);
        ASSERT_EQ(view.Removed.size(), row.deleted.size()) << view.Status.join(u'\n').toStdString();
        EXPECT_EQ(view.Panels[1], QString::fromUtf8(row.after));
        EXPECT_EQ(session.MailCount, 3 - static_cast<int>(row.deleted.size()));
    }
}

// Is the warning about a password sent in the clear on the screen before
// the USER command goes out?
TEST_F(SessionTest, TheUnencryptedWarningIsShownBeforeTheLogin) {
    const struct {
        const char* name;
        const char* host;
        bool warned;
    } rows[] = {
        {"a server elsewhere", "pop.example.net", true},
        {"this machine", "127.0.0.1", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        OwnSession own;
        auto [view, pop, session] = own.Parts();
        auto owned = std::make_unique<sweepbox::test::ScriptedTransport>();
        sweepbox::test::ScriptedTransport& server = *owned;
        server.LineAtATime = true;
        server.Serve("+OK ready\r\n-ERR no capabilities\r\n+OK\r\n-ERR [AUTH] Authentication failed.\r\n");
        pop.SetTransport(std::move(owned));
        QStringList shown;
        std::string sentWhenShown = "nothing shown";
        view.OnShowStatusNow = [&] {
            shown = view.Status;
            sentWhenShown = server.Written;
        };
        TConnectRequest request;
        request.Server = QString::fromLatin1(row.host);
        request.User = QStringLiteral("test");
        request.Password = QStringLiteral("secret");
        session.Connect(request);
        EXPECT_EQ(server.Written, "[open]CAPA\r\nUSER test\r\nPASS secret\r\n[close]");
        if (!row.warned) {
            EXPECT_EQ(sentWhenShown, "nothing shown");
            continue;
        }
        EXPECT_TRUE(shown.contains(QStringLiteral("Warning: the password is sent unencrypted.")))
            << shown.join(u'\n').toStdString();
        EXPECT_EQ(sentWhenShown, "[open]") << "nothing sent after the greeting";
    }
}

// A certificate the user trusted on one port of a host: is it trusted on the
// host's other ports, and only that certificate?
TEST(SessionPins, ACertificateTrustedOnOnePortIsTrustedOnTheHostsOthers) {
    using sweepbox::test::TestCert;
    using sweepbox::test::TestPki;
    const std::string valid = TestPki::Shared().Fingerprint(TestCert::Valid);
    const std::string other = TestPki::Shared().Fingerprint(TestCert::OtherKey);
    const struct {
        const char* name;
        std::vector<std::pair<const char*, std::string>> pins;
        bool asked;
    } rows[] = {
        {"the same fingerprint on port 995", {{"127.0.0.1:995", valid}}, false},
        {"another fingerprint on port 995", {{"127.0.0.1:995", other}}, true},
        {"the ports disagree", {{"127.0.0.1:995", valid}, {"127.0.0.1:2995", other}}, true},
        {"the same fingerprint on another host", {{"127.0.0.2:995", valid}}, true},
        {"none", {}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        sweepbox::test::ScratchSettings scratch;
        sweepbox::TSettings settings;
        for (const auto& [hostPort, pin] : row.pins)
            settings.SetCertificatePin(QString::fromLatin1(hostPort), QString::fromStdString(pin));
        sweepbox::test::TlsServer server;
        OwnSession own;
        auto [view, pop, session] = own.Parts();
        session.PumpIntervalMs = 0;
        TConnectRequest request;
        request.Server = QStringLiteral("127.0.0.1:%1").arg(server.Port);
        request.Security = sweepbox::TSecurity::Tls;
        request.User = QStringLiteral("test");
        request.Password = QStringLiteral("secret");
        request.Pinned = [&settings](const QString& HostPort) { return settings.HostCertificatePin(HostPort); };
        session.Connect(request);
        session.Close();
        const int handshake = server.Finish();
        if (row.asked) {
            ASSERT_EQ(own.Decisions.Asked.size(), 1u);
            EXPECT_EQ(own.Decisions.Asked[0].first, valid);
            EXPECT_EQ(own.Decisions.Asked[0].second, QStringLiteral("127.0.0.1:%1").arg(server.Port));
        } else {
            EXPECT_TRUE(own.Decisions.Asked.empty());
            EXPECT_NE(handshake, 0);
            EXPECT_FALSE(view.Status.join(u'\n').contains(QStringLiteral("certificate")))
                << view.Status.join(u'\n').toStdString();
        }
    }
}

} // namespace

// ------------------------------------------------------------ header cache

namespace {

using sweepbox::test::DovecotServer;

// Sessions against a Dovecot mailbox of their own, with the header cache in
// a scratch folder: what is asked of the server, and what rows result?
class CacheTest : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        ASSERT_TRUE(folder.isValid());
        session.CacheFolder = folder.path();
        session.PumpIntervalMs = 0;
        pop.OnSendTextToSocket = [this](kel::TObject*, const std::string& s) {
            sent.push_back(s.substr(0, s.size() - 2));
        };
    }
    // One connect: the rows' subjects and sizes (numbers aside), the
    // commands after STAT, then QUIT.
    QStringList Connect(DovecotServer& Server, bool CountOnly = false) {
        sent.clear();
        session.Connect(RequestTo(Server, CountOnly));
        EXPECT_EQ(session.State(), State::Connected) << view.Status.join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(session.Disconnect());
        // The file this listing changed is written on the session's worker.
        session.FinishCacheSave();
        QStringList rows;
        for (const TListRow& row : session.Rows())
            rows << row.Subject() + QLatin1Char('|') + QString::number(row.Size) + QLatin1Char('|') +
                        QString::fromStdString(row.SenderBytes);
        return rows;
    }
    static TConnectRequest RequestTo(DovecotServer& Server, bool CountOnly = false) {
        TConnectRequest r;
        r.Server = QStringLiteral("127.0.0.1:") + QString::fromStdString(Server.PortText());
        r.User = QString::fromLatin1(DovecotServer::User);
        r.Password = QString::fromLatin1(DovecotServer::Password);
        r.CountOnly = CountOnly;
        return r;
    }
    Strings AfterStat() const {
        auto at = std::find(sent.begin(), sent.end(), "STAT");
        return at == sent.end() ? Strings{} : Strings(at + 1, sent.end());
    }
    size_t Tops() const {
        return static_cast<size_t>(
            std::count_if(sent.begin(), sent.end(), [](const std::string& c) { return c.rfind("TOP ", 0) == 0; }));
    }
    std::vector<int> NewRows() const {
        std::vector<int> out;
        for (const TListRow& row : session.Rows())
            if (row.New)
                out.push_back(row.Number);
        return out;
    }
    sweepbox::THeaderCache Cache(DovecotServer& Server, const char* User = DovecotServer::User) const {
        return sweepbox::THeaderCache(folder.path(), QStringLiteral("127.0.0.1"), Server.Port(),
                                      QString::fromLatin1(User));
    }
    // Another client, signed in to Server.
    static void SignIn(kel::TKelPOP& Other, DovecotServer& Server) {
        sweepbox::test::BoundWaits(Other);
        Other.Host = "127.0.0.1";
        Other.Port = Server.PortText();
        Other.UserId = DovecotServer::User;
        Other.UserPasswd = DovecotServer::Password;
        Other.Connect();
        EXPECT_TRUE(Other.Login());
    }
    // The UIDLs and sizes the server gives now, by a client of its own.
    static kel::TMailboxIndex IndexOf(DovecotServer& Server) {
        kel::TKelPOP other;
        SignIn(other, Server);
        other.Stat();
        kel::TMailboxIndex index = other.ReadMailboxIndex();
        other.Quit();
        return index;
    }

    QTemporaryDir folder;
    Strings sent;
};

QStringList Without(QStringList Rows, int Number) {
    Rows.removeAt(Number - 1);
    return Rows;
}

} // namespace

// Does a second connect to an unchanged mailbox ask UIDL and no TOP, and
// show the same rows? The first connect to an account marks nothing new.
TEST_F(CacheTest, TheSecondConnectAsksNoTopAndTheFirstMarksNothingNew) {
    DovecotServer server(Mailbox(5));
    SWEEPBOX_REQUIRE_DOVECOT(server);
    const QStringList first = Connect(server);
    ASSERT_EQ(first.size(), 5);
    EXPECT_EQ(Tops(), 5u);
    EXPECT_EQ(NewRows(), std::vector<int>{});
    EXPECT_EQ(session.NewCount(), 0);
    EXPECT_EQ(view.Panels[0], QStringLiteral("5 Mails"));
    EXPECT_TRUE(QFile::exists(Cache(server).FilePath()));

    EXPECT_EQ(Connect(server), first);
    EXPECT_EQ(AfterStat(), (Strings{"UIDL", "LIST", "QUIT"}));
    EXPECT_EQ(NewRows(), std::vector<int>{});
    EXPECT_EQ(view.Panels[0], QStringLiteral("5 Mails"));

    // Counting only asks nothing after STAT, the cache least of all.
    Connect(server, /*CountOnly=*/true);
    EXPECT_EQ(AfterStat(), (Strings{"QUIT"}));
}

// One message delivered between two connects: exactly one TOP, and that
// row alone is new, in the count panel in either language; the connect
// after that marks nothing.
TEST_F(CacheTest, AMessageAddedBetweenConnectsIsTheOneNewRow) {
    DovecotServer server(Mailbox(4));
    SWEEPBOX_REQUIRE_DOVECOT(server);
    const QStringList first = Connect(server);
    server.AddMessage(Mailbox(6).back());
    const QStringList second = Connect(server);
    EXPECT_EQ(AfterStat(), (Strings{"UIDL", "LIST", "TOP 5 0", "list 5", "QUIT"}));
    ASSERT_EQ(second.size(), 5);
    EXPECT_EQ(second.mid(0, 4), first);
    EXPECT_TRUE(second[4].startsWith(QStringLiteral("Message 6|"))) << second[4].toStdString();
    EXPECT_EQ(NewRows(), std::vector<int>{5});
    EXPECT_EQ(session.NewCount(), 1);
    EXPECT_EQ(view.Panels[0], QStringLiteral("5 Mails, 1 new"));

    server.AddMessage(Mailbox(7).back());
    session.Language.German = true;
    Connect(server);
    EXPECT_EQ(NewRows(), std::vector<int>{6});
    EXPECT_EQ(view.Panels[0], QStringLiteral("6 Mails, 1 neu"));

    EXPECT_EQ(Connect(server).size(), 6);
    EXPECT_EQ(Tops(), 0u);
    EXPECT_EQ(NewRows(), std::vector<int>{});
    EXPECT_EQ(view.Panels[0], QStringLiteral("6 Mails"));
}

// A message deleted by another client: its row is gone, the others keep
// theirs under their new numbers, and the cache forgets it.
TEST_F(CacheTest, AMessageDeletedElsewhereLeavesNoRow) {
    DovecotServer server(Mailbox(4));
    SWEEPBOX_REQUIRE_DOVECOT(server);
    const QStringList first = Connect(server);
    {
        kel::TKelPOP other;
        SignIn(other, server);
        other.DeleteMsg(2);
        other.Quit();
        ASSERT_FALSE(other.OperationFailed());
    }
    EXPECT_EQ(Connect(server), Without(first, 2));
    EXPECT_EQ(Tops(), 0u);
    EXPECT_EQ(NewRows(), std::vector<int>{});
    sweepbox::THeaderCache cache = Cache(server);
    ASSERT_TRUE(cache.Load());
    EXPECT_EQ(cache.Count(), 3u);
}

// A cache file that cannot be trusted, or whose entry does not fit the
// message the server names, never puts a header on the wrong row: those
// messages are asked for with TOP, and nothing is taken for new.
TEST_F(CacheTest, AnUntrustedCacheNeverShowsAnotherMessagesHeader) {
    DovecotServer server(Mailbox(4));
    SWEEPBOX_REQUIRE_DOVECOT(server);
    const kel::TMailboxIndex index = IndexOf(server);
    ASSERT_TRUE(index.UidlsListed);
    ASSERT_EQ(index.Uidls.size(), 4u);
    Strings heads;
    for (const std::string& m : Mailbox(4))
        heads.push_back(m.substr(0, m.find("\r\n\r\n") + 4) + ".\r\n");
    // A header of message Source under message Target's UIDL and size.
    const auto swapped = [&](size_t Target, size_t Source) {
        return sweepbox::THeaderCacheEntry{index.Uidls[Target], heads[Source], std::stoull(index.Sizes[Target])};
    };
    const struct {
        const char* name;
        std::function<void(const QString& Path)> spoil;
        size_t tops;
    } rows[] = {
        {"truncated", [](const QString& Path) { QFile(Path).resize(QFileInfo(Path).size() / 2); }, 4},
        {"another account's",
         [&](const QString& Path) {
             sweepbox::THeaderCache other = Cache(server, "other");
             ASSERT_TRUE(other.Save({swapped(0, 1), swapped(1, 0), swapped(2, 3), swapped(3, 2)}));
             QFile::remove(Path);
             ASSERT_TRUE(QFile::rename(other.FilePath(), Path));
         },
         4},
        {"edited by hand",
         [](const QString& Path) {
             QFile f(Path);
             ASSERT_TRUE(f.open(QIODevice::ReadWrite));
             QByteArray bytes = f.readAll();
             const qsizetype at = bytes.indexOf("Subject: Message 1");
             ASSERT_GE(at, 0);
             bytes[at + 17] = '2';
             f.seek(0);
             f.write(bytes);
         },
         4},
        {"whole, but a UIDL with another message's header and size",
         [&](const QString&) {
             sweepbox::THeaderCache own = Cache(server);
             ASSERT_TRUE(own.Save({{index.Uidls[0], heads[1], std::stoull(index.Sizes[1])}, swapped(1, 1),
                                   swapped(2, 2), swapped(3, 3)}));
         },
         1},
    };
    const QStringList first = Connect(server);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.spoil(Cache(server).FilePath());
        EXPECT_EQ(Connect(server), first);
        EXPECT_EQ(Tops(), row.tops);
        EXPECT_EQ(NewRows(), std::vector<int>{});
        // Rebuilt: the next connect needs no TOP.
        EXPECT_EQ(Connect(server), first);
        EXPECT_EQ(Tops(), 0u);
    }
}

// The file is written on the session's worker after the listing: is it
// whole on disk when the next connect reads it, when the window closes and
// when the session ends, however soon after the listing each comes?
TEST_F(CacheTest, TheWriteAfterAListingEndsBeforeTheNextReadAndTheSessionsEnd) {
    DovecotServer server(Mailbox(300));
    SWEEPBOX_REQUIRE_DOVECOT(server);
    const auto cached = [&] {
        sweepbox::THeaderCache cache = Cache(server);
        return cache.Load() ? cache.Count() : size_t{0};
    };
    // Straight on, nothing waited for between the two.
    session.Connect(RequestTo(server));
    ASSERT_EQ(session.State(), State::Connected);
    ASSERT_TRUE(session.Disconnect());
    sent.clear();
    session.Connect(RequestTo(server));
    ASSERT_EQ(session.State(), State::Connected);
    EXPECT_EQ(Tops(), 0u);
    EXPECT_EQ(session.Rows().size(), 300u);
    ASSERT_TRUE(session.Disconnect());

    // A new message makes the listing write; the window closes at once.
    server.AddMessage(Mailbox(301).back());
    session.Connect(RequestTo(server));
    ASSERT_EQ(session.State(), State::Connected);
    session.Close();
    EXPECT_EQ(cached(), 301u);

    // A session that ends at once (the program closing).
    server.AddMessage(Mailbox(302).back());
    {
        kel::TKelPOP otherPop;
        sweepbox::test::BoundWaits(otherPop);
        RecordingView otherView;
        RecordingDecisions otherDecisions;
        EventPump otherEvents{otherView};
        TMailboxSession other{otherPop, otherView, otherDecisions, otherEvents.Callback()};
        other.CacheFolder = folder.path();
        other.PumpIntervalMs = 0;
        other.Connect(RequestTo(server));
        ASSERT_EQ(other.State(), State::Connected);
        EXPECT_EQ(other.NewCount(), 1);
    }
    EXPECT_EQ(cached(), 302u);
}

// A server that refuses UIDL lists as before: every message by TOP, no
// LIST of the whole mailbox, no cache file, nothing new.
TEST_F(CacheTest, AServerWithoutUidlListsAsBefore) {
    MailboxOptions options;
    options.Overrides["UIDL"] = "-ERR Unknown command.\r\n";
    FakePop3Server srv(Mailbox(3), options);
    QStringList rows[2];
    for (QStringList& listed : rows) {
        session.Connect(RequestFor(srv));
        ASSERT_EQ(session.State(), State::Connected);
        listed = view.Rows;
        EXPECT_EQ(NewRows(), std::vector<int>{});
        EXPECT_TRUE(session.Disconnect());
    }
    EXPECT_EQ(rows[0], rows[1]);
    EXPECT_EQ(rows[0].size(), 3);
    const Strings commands = srv.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "UIDL"), 2);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "LIST"), 0);
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const std::string& c) { return c.rfind("TOP ", 0) == 0; }),
              6);
    EXPECT_TRUE(QDir(folder.path()).isEmpty());
}
