// The mailbox workflow driven through the real main window, with mouse clicks
// and keys, against the fake POP3 server: what does the user see, and what
// reaches the server, in each path from connect to disconnect?
#include "MainFixture.h"

#include "Header.h"
#include "MultiLst.h"
#include "email.h"
#include "message/KelMsg.h"
#include "TextCodec.h"
#include "support/DovecotServer.h"
#include "support/FakePop3Server.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <utility>
#include <string>
#include <vector>

namespace {

using sweepbox::test::DovecotServer;
using sweepbox::test::FakePop3Server;
using sweepbox::test::MailboxOptions;
using Strings = std::vector<std::string>;

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// Five messages with the header lines real mail carries.
Strings FiveMessages() {
    return {
        "Return-Path: <support@example.org>\r\n"
        "Date: Mon, 6 Mar 2000 10:22:33 +0100\r\n"
        "From: Support Desk <support@example.org>\r\n"
        "To: test@example.com\r\n"
        "Subject: Meeting\r\n"
        "Message-ID: <1@example.org>\r\n"
        "\r\n"
        "See you at ten.\r\n",
        "Date: Tue, 14 Mar 2000 08:00:00 +0000\r\n"
        "From: news@example.net\r\n"
        "Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "\r\n"
        "Body\r\n",
        "From: Anna <anna@example.com>\r\n"
        "Subject:\r\n"
        "Date: Wed, 1 Mar 2000 23:59:59 -0500\r\n"
        "\r\n"
        "No subject here.\r\n",
        "Received: from mx.example.org by mail.example.com\r\n"
        "Date: Thu, 30 Mar 2000 12:00:00 +0200\r\n"
        "From: J\xc3\xbcrgen <j@example.de>\r\n"
        "Subject: Gr\xc3\xb6\xc3\x9f" "e aus K\xc3\xb6ln\r\n"
        "\r\n"
        "Hallo.\r\n",
        "Date: Fri, 31 Mar 2000 07:07:07 +0000\r\n"
        "From: M\xfcller <m@example.de>\r\n"
        "Subject: Rechnung\r\n"
        "\r\n" + std::string(15000, 'x') + "\r\n",
    };
}

// The rows the list shows for FiveMessages (English fallbacks).
QStringList FiveRows(const Strings& msgs) {
    auto size = [&](int n) { return std::to_string(msgs[n - 1].size()); };
    return {
        Q((" 1 |" + size(1) + " Byte |06 Mar 2000|Support Desk <support@example.org>|Meeting|").c_str()),
        Q((" 2 |" + size(2) + " Byte |14 Mar 2000|news@example.net|=?ISO-8859-1?Q?Gr=FC=DFe?=|").c_str()),
        Q((" 3 |" + size(3) + " Byte |01 Mar 2000|Anna <anna@example.com>|No subject|").c_str()),
        Q((" 4 |" + size(4) + " Byte |30 Mar 2000|Jürgen <j@example.de>|Größe aus Köln|").c_str()),
        // Not UTF-8: the row shows as Windows-1252.
        Q(" 5 |15 KByte |31 Mar 2000|Müller <m@example.de>|Rechnung|"),
    };
}

// The header lines of a message as TOP n 0 returns them (with the empty line).
std::string HeaderOf(const std::string& message) { return message.substr(0, message.find("\r\n\r\n") + 4); }

// A message with a text part and two attachments, the second name sorting first.
std::string TwoAttachments() {
    return "From: Anna <anna@example.com>\r\n"
           "Subject: Two files\r\n"
           "Date: Mon, 6 Mar 2000 10:22:33 +0100\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"XYZ\"\r\n"
           "\r\n"
           "--XYZ\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n"
           "\r\n"
           "Here are the files.\r\n"
           "--XYZ\r\n"
           "Content-Type: application/zip; name=\"zeta.zip\"\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"zeta.zip\"\r\n"
           "\r\n"
           "UEsFBgAAAAAAAAAAAAAAAAAAAAAAAA==\r\n"
           "--XYZ\r\n"
           "Content-Type: application/octet-stream; name=\"alpha.txt\"\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"alpha.txt\"\r\n"
           "\r\n"
           "YWxwaGEK\r\n"
           "--XYZ--\r\n";
}

// A loopback port with nothing listening on it.
std::string ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return std::to_string(ntohs(a.sin_port));
}

class WorkflowTest : public maintest::MainTest {
  protected:
    void TearDown() override {
        EXPECT_TRUE(messages.empty()) << "message box: " << (messages.empty() ? "" : messages.front().toStdString());
        maintest::MainTest::TearDown();
    }

    TForm1* Open(bool german = false) {
        if (german)
            SetLayout(QStringLiteral("00000407"));
        form = Start();
        EXPECT_EQ(form->IsGerman, german);
        // Clicks posted from a command below reach the window at the very
        // next send or receive (the cancel test keeps the program's pace).
        programPace = std::exchange(form->PumpIntervalMs, 0);
        // What the component sends, in order, as the user's session made it.
        form->pop3.OnSendTextToSocket = [this](kel::TObject*, const std::string& s) {
            sent.push_back(s.substr(0, s.size() - 2));
            if (onSend)
                onSend(sent.back());
        };
        return form;
    }

    void Fill(const QString& server, const QString& user, const QString& password) {
        for (auto [combo, text] : {std::pair{form->servername, server}, std::pair{form->Username, user}}) {
            combo->lineEdit()->clear();
            QTest::keyClicks(combo->lineEdit(), text);
        }
        form->Password->clear();
        QTest::keyClicks(form->Password, password);
    }

    // Types the credentials of srv's mailbox and clicks Connect; the listing
    // runs inside the click.
    void ConnectTo(const FakePop3Server& srv, const QString& password = QStringLiteral("secret")) {
        ConnectToPort(srv.PortText(), password);
    }
    void ConnectToPort(const std::string& port, const QString& password) {
        form->pop3.Port = port;
        Fill(QStringLiteral("127.0.0.1"), QStringLiteral("test"), password);
        Click(form->BtnConnect);
    }

    static void Click(QWidget* w) {
        ASSERT_TRUE(w->isVisible() && w->isEnabled()) << w->objectName().toStdString();
        QTest::mouseClick(w, Qt::LeftButton);
    }

    void ClickRow(int row, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        const QRect r = form->mail_list->itemRect(row);
        ASSERT_FALSE(r.isEmpty()) << "row " << row;
        QTest::mouseClick(form->mail_list->viewport(), Qt::LeftButton, mods, r.center());
    }

    QStringList Rows() const {
        QStringList rows;
        for (int i = 1; i < form->mail_list->count(); ++i)
            rows << form->mail_list->item(i);
        return rows;
    }

    QString StatusText() const { return form->Status->Text(); }
    // The window's focus widget, whether or not the window is active.
    QWidget* Focused() const { return form->focusWidget(); }

    // Every control of the command table in the given mode (0 idle, 1 busy,
    // 2 connected).
    void ExpectMode(int mode) const {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const bool idle = mode == 0, busy = mode == 1, conn = mode == 2;
        const struct {
            const char* name;
            bool enabled, expected;
        } rows[] = {
            {"BtnConnect", form->BtnConnect->isEnabled(), idle},
            {"BtnDisconnect", form->BtnDisconnect->isEnabled(), conn},
            {"BtnDelete", form->BtnDelete->isEnabled(), conn},
            {"BtnInfo", form->BtnInfo->isEnabled(), !busy},
            {"BtnClose", form->BtnClose->isEnabled(), !busy},
            {"BtnMark", form->BtnMark->isEnabled(), conn},
            {"Datei_C", form->Datei_C->isEnabled(), idle},
            {"Datei_L", form->Datei_L->isEnabled(), conn},
            {"Datei_D", form->Datei_D->isEnabled(), conn},
            {"Datei_M", form->Datei_M->isEnabled(), conn},
            {"Datei_Close", form->Datei_Close->isEnabled(), !busy},
            {"help_I", form->help_I->isEnabled(), !busy},
            {"Status_avi shown", form->Status_avi->isVisible(), busy},
            {"Status_avi playing", form->Status_avi->IsPlaying(), busy},
            {"servername", form->servername->isEnabled(), idle},
            {"Username", form->Username->isEnabled(), idle},
            {"Password", form->Password->isEnabled(), idle},
            {"Header_Nein", form->Header_Nein->isEnabled(), idle},
            {"men_header_anzeigen", form->men_header_anzeigen->isEnabled(), conn},
            {"men_email_anzeigen", form->men_email_anzeigen->isEnabled(), conn},
        };
        for (const auto& row : rows)
            EXPECT_EQ(row.enabled, row.expected) << row.name;
    }

    // Runs action once, from the window's pump, right after the client sent
    // the command line `when`: the server has not answered it yet.
    void OnCommand(const std::string& when, std::function<void()> action) {
        onSend = [this, when, action](const std::string& line) {
            if (line != when)
                return;
            QTimer::singleShot(0, form, action);
            onSend = nullptr; // destroys this lambda: nothing of it may be used after
        };
    }

    // Runs check inside the next showing of dialog (the header or the message
    // window), then closes it with its button.
    void WhenModalOpens(QDialog* dialog, std::function<void()> check) {
        watcher = std::make_unique<ShowWatcher>(dialog, [dialog, check] {
            EXPECT_EQ(QApplication::activeModalWidget(), dialog);
            check();
            if (auto* header = qobject_cast<TForm2*>(dialog))
                header->btn_close->click();
            else if (auto* mail = qobject_cast<TForm3*>(dialog))
                mail->btn_close->click();
        });
    }

    // Calls back once, from the event loop that the shown window runs.
    class ShowWatcher : public QObject {
      public:
        ShowWatcher(QObject* target, std::function<void()> fn) : target_(target), fn_(std::move(fn)) {
            target_->installEventFilter(this);
        }
        ~ShowWatcher() override {
            if (target_)
                target_->removeEventFilter(this);
        }

      protected:
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::Show && fn_) {
                QTimer::singleShot(0, o, std::exchange(fn_, nullptr));
            }
            return false;
        }

      private:
        QPointer<QObject> target_;
        std::function<void()> fn_;
    };

    TForm1* form = nullptr;
    int programPace = 0;
    std::vector<std::string> sent;
    std::function<void(const std::string&)> onSend;
    std::unique_ptr<ShowWatcher> watcher;
};

// ------------------------------------------------------------------ listing

TEST_F(WorkflowTest, FullListingShowsOneRowPerMessageAsTheHeadersSay) {
    const Strings msgs = FiveMessages();
    FakePop3Server srv(msgs);
    Open();
    ConnectTo(srv);

    const QStringList expected = FiveRows(msgs);
    EXPECT_EQ(Rows(), expected);

    const Strings commands = {"USER test", "PASS secret", "STAT",   "TOP 1 0", "list 1", "TOP 2 0", "list 2",
                              "TOP 3 0",   "list 3",      "TOP 4 0", "list 4", "TOP 5 0", "list 5"};
    EXPECT_EQ(sent, commands);
    ASSERT_EQ(form->HeaderCache.size(), 5u);
    EXPECT_EQ(form->HeaderCache[3], HeaderOf(msgs[3]) + ".\r\n|");
    EXPECT_EQ(form->MailCount, 5);

    size_t total = 0;
    for (const auto& m : msgs)
        total += m.size();
    EXPECT_EQ(form->Status_leiste->PanelText(0), QStringLiteral("5 Mails"));
    EXPECT_EQ(form->Status_leiste->PanelText(1), Q((std::to_string((total + 500) / 1000) + " KByte").c_str()));
    EXPECT_EQ(StatusText(), QStringLiteral("\rSender, Subject, Size, and Date are displayed ..."));
    ExpectMode(2);
    EXPECT_FALSE(form->ProgressBar->isVisible());
    EXPECT_TRUE(form->BtnDisconnect->isVisible());
    EXPECT_FALSE(form->btn_cancel->isVisible());
    EXPECT_FALSE(form->info_fenster->isVisible() || form->info_fenster_eng->isVisible());
    EXPECT_EQ(form->mail_list->itemIndex(), 0);
    EXPECT_EQ(form->mail_list->selectedCount(), 0);
    EXPECT_TRUE(form->pop3.Connected());

    Click(form->BtnDisconnect);
    EXPECT_EQ(sent.back(), "QUIT");
    ExpectMode(0);
    EXPECT_TRUE(form->Password->text().isEmpty());
    EXPECT_TRUE(Focused() == form->Password);
    // What the user saw stays: rows, status and the counts.
    EXPECT_EQ(Rows(), expected);
    EXPECT_EQ(form->Status_leiste->PanelText(0), QStringLiteral("5 Mails"));
    EXPECT_TRUE(form->HeaderCache.empty());
}

TEST_F(WorkflowTest, BusyWhileListingWithOnlyCancelUsable) {
    FakePop3Server srv(FiveMessages());
    Open();
    bool seen = false;
    OnCommand("TOP 3 0", [&] {
        seen = true;
        ExpectMode(1);
        EXPECT_TRUE(form->btn_cancel->isVisible() && form->btn_cancel->isEnabled());
        EXPECT_FALSE(form->BtnDisconnect->isVisible());
        EXPECT_TRUE(form->ProgressBar->isVisible());
        EXPECT_EQ(form->ProgressBar->maximum(), 5);
        EXPECT_EQ(form->ProgressBar->value(), 2);
        // Rows appear while the listing runs.
        EXPECT_EQ(Rows().size(), 2);
    });
    ConnectTo(srv);
    EXPECT_TRUE(seen);
    form->btn_aktivieren(3); // no such mode: nothing changes
    ExpectMode(2);
}

TEST_F(WorkflowTest, GermanTextsOfAListingAndItsFallbacks) {
    const std::string msg = "From: a\r\nSubject:\r\nDate: Mon, 6 Mar 2000 10:22:33 +0100\r\n\r\nx\r\n";
    FakePop3Server srv({msg, "Subject: x\r\n\r\nbody\r\n"});
    Open(true);
    ConnectTo(srv);
    EXPECT_EQ(StatusText(), Q("\rAbsender, Betreff, Datum und Größe werden angezeigt ..."));
    ASSERT_EQ(Rows().size(), 2);
    EXPECT_EQ(Rows()[0], Q((" 1 |" + std::to_string(msg.size()) + " Byte |06 Mar 2000|a|Die Betreff-Zeile ist leer|").c_str()));
    // Without Date: and From: the search starts near the top of the header.
    EXPECT_EQ(Rows()[1], Q(" 2 |20 Byte |.|ct: x|x|"));
    EXPECT_EQ(form->Status_leiste->PanelText(0), QStringLiteral("2 Mails"));
}

TEST_F(WorkflowTest, CountOnlyListsPlaceholdersWithoutAskingTheServer) {
    FakePop3Server srv({"a\r\n", "b\r\n", "c\r\n"});
    Open();
    form->pop3.Port = srv.PortText();
    Fill(QStringLiteral("127.0.0.1"), QStringLiteral("test"), QStringLiteral("secret"));
    Click(form->Header_Nein);
    ASSERT_TRUE(form->Header_Nein->isChecked());
    // Enter in the password field connects as the button does.
    QTest::keyClick(form->Password, Qt::Key_Return);

    EXPECT_EQ(Rows(), (QStringList{QStringLiteral(" 1 | - | - | - | - |"), QStringLiteral(" 2 | - | - | - | - |"),
                                   QStringLiteral(" 3 | - | - | - | - |")}));
    EXPECT_EQ(form->HeaderCache, (Strings{" ", " ", " "}));
    EXPECT_EQ(sent, (Strings{"USER test", "PASS secret", "STAT"}));
    EXPECT_EQ(StatusText(), QStringLiteral("\rOnly the number of e-mails will be displayed."));
    ExpectMode(2);
    EXPECT_FALSE(form->ProgressBar->isVisible());
    EXPECT_EQ(form->Status_leiste->PanelText(1), QStringLiteral("9 Byte"));
}

// ----------------------------------------------------------------- failures

TEST_F(WorkflowTest, FieldChecksStopAtTheFirstEmptyField) {
    const struct {
        const char* name;
        const char* server;
        const char* user;
        const char* password;
        const char* status;
    } rows[] = {
        {"all empty", "", "", "", "\rError: No POP server specified"},
        {"no user", "host", "", "pw", "\rError: You will need an username"},
        {"no password", "host", "u", "", "\rError: You will also need a password"},
    };
    Open();
    EXPECT_TRUE(form->info_fenster_eng->isVisible());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Fill(Q(row.server), Q(row.user), Q(row.password));
        Click(form->BtnConnect);
        EXPECT_EQ(StatusText(), Q(row.status));
        EXPECT_TRUE(form->Status->isVisible());
        // The welcome text has given way to the (empty) list all the same.
        EXPECT_FALSE(form->info_fenster_eng->isVisible());
        EXPECT_TRUE(form->mail_list->isVisible());
        // No command changes its state.
        EXPECT_TRUE(form->BtnConnect->isEnabled() && form->servername->isEnabled());
        EXPECT_FALSE(form->BtnDelete->isEnabled() || form->Status_avi->isVisible());
        EXPECT_TRUE(sent.empty());
    }
}

TEST_F(WorkflowTest, RefusedLoginShowsTheServersWordsAndDisconnects) {
    FakePop3Server srv(FiveMessages());
    Open(true);
    ConnectTo(srv);
    Click(form->BtnDisconnect);
    sent.clear();
    ConnectTo(srv, QStringLiteral("wrong"));
    // The counts of the earlier session are not this attempt's.
    EXPECT_EQ(form->Status_leiste->PanelText(0), QString());
    EXPECT_EQ(form->Status_leiste->PanelText(1), QString());
    EXPECT_EQ(StatusText(), Q("\rFehler: [AUTH] Authentication failed.\rIhre Verbindung zum Server wurde getrennt."));
    EXPECT_EQ(sent, (Strings{"USER test", "PASS wrong"}));
    ExpectMode(0);
    EXPECT_FALSE(form->pop3.Connected());
    EXPECT_TRUE(form->Password->text().isEmpty());
    EXPECT_TRUE(Focused() == form->Password);
    // Only a successful login is remembered.
    EXPECT_EQ(form->servername->count(), 1);
}

TEST_F(WorkflowTest, NoConnectionPossibleShowsTheFourLines) {
    Open();
    form->pop3.Port = ClosedPort();
    Fill(QStringLiteral("127.0.0.1"), QStringLiteral("test"), QStringLiteral("secret"));
    Click(form->BtnConnect);
    EXPECT_EQ(StatusText(), QStringLiteral("\rError: a connection to the server cannot be established !!!!"
                                           "\r     - Are you connected to the Internet?"
                                           "\r     - Do you use the correct server namen?"
                                           "\r     - Maybe the server is temporarily not available!"));
    ExpectMode(0);
    EXPECT_TRUE(Focused() == form->mail_list);
    EXPECT_EQ(form->mail_list->count(), 0);
}

TEST_F(WorkflowTest, EmptyMailboxReportsAndDisconnects) {
    FakePop3Server srv(Strings{});
    Open();
    ConnectTo(srv);
    EXPECT_EQ(StatusText(), QStringLiteral("\rThere is no need to delete e-mails.\rYour connection has been terminated."));
    EXPECT_EQ(form->Status_leiste->PanelText(0), QStringLiteral("0 Mails"));
    EXPECT_EQ(form->Status_leiste->PanelText(1), QStringLiteral("0 Byte"));
    EXPECT_EQ(sent, (Strings{"USER test", "PASS secret", "STAT", "QUIT"}));
    ExpectMode(0);
}

TEST_F(WorkflowTest, RefusedStatIsNotTakenForAnEmptyMailbox) {
    MailboxOptions opt;
    opt.Overrides["STAT"] = "-ERR Mailbox is locked.\r\n";
    FakePop3Server srv(FiveMessages(), opt);
    Open();
    ConnectTo(srv);
    EXPECT_EQ(StatusText(), QStringLiteral("\rError: Mailbox is locked.\rYour connection has been terminated."));
    EXPECT_EQ(sent, (Strings{"USER test", "PASS secret", "STAT"}));
    ExpectMode(0);
}

TEST_F(WorkflowTest, ListingStopsWhenTheServerRefusesAHeader) {
    MailboxOptions opt;
    opt.Overrides["TOP 3 0"] = "-ERR Message is gone.\r\n";
    FakePop3Server srv(FiveMessages(), opt);
    Open();
    ConnectTo(srv);
    // The refused message still gets its row, with what is known of it.
    ASSERT_EQ(Rows().size(), 3);
    EXPECT_EQ(Rows()[2], QStringLiteral(" 3 | |No date|No sender||"));
    EXPECT_EQ(sent.back(), "TOP 3 0");
    EXPECT_EQ(StatusText(), QStringLiteral("\rError: Message is gone.\rYour connection has been terminated."));
    // Nothing stays locked.
    ExpectMode(0);
    EXPECT_TRUE(form->BtnDisconnect->isVisible());
    EXPECT_FALSE(form->btn_cancel->isVisible());
    EXPECT_FALSE(form->ProgressBar->isVisible());
}

TEST_F(WorkflowTest, ServerVanishingMidListingUnlocksTheWindow) {
    FakePop3Server srv;
    srv.Send("+OK ready\r\n")
        .Expect("USER test").Send("+OK\r\n")
        .Expect("PASS secret").Send("+OK\r\n")
        .Expect("STAT").Send("+OK 3 300\r\n")
        .Expect("TOP 1 0").Send("+OK\r\nSubject: one\r\n\r\n.\r\n")
        .Expect("list 1").Send("+OK 1 100\r\n")
        .Expect("TOP 2 0").Send("+OK\r\nSubject: tw")
        .Close();
    Open();
    ConnectTo(srv);
    EXPECT_TRUE(srv.Finished());
    EXPECT_EQ(Rows().size(), 1);
    const QString status = StatusText();
    EXPECT_TRUE(status.startsWith(QStringLiteral("\rError: Windows-Socket-Fehler: "))) << status.toStdString();
    EXPECT_TRUE(status.endsWith(QStringLiteral("\rYour connection has been terminated."))) << status.toStdString();
    ExpectMode(0);
    EXPECT_FALSE(form->btn_cancel->isVisible());
}

TEST_F(WorkflowTest, ALineBreakInTheUserNameSendsNoCommand) {
    FakePop3Server srv(FiveMessages());
    Open();
    form->pop3.Port = srv.PortText();
    // Typed text cannot hold one; settings edited outside the program can.
    form->servername->setEditText(QStringLiteral("127.0.0.1"));
    form->Username->setEditText(QStringLiteral("test\r\nDELE 1"));
    form->Password->setText(QStringLiteral("secret"));
    Click(form->BtnConnect);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(StatusText(), QStringLiteral("\rError: User name or password contains a line break."
                                           "\rYour connection has been terminated."));
    ExpectMode(0);
    EXPECT_EQ(form->servername->count(), 0);
}

TEST_F(WorkflowTest, HugeStatCountIsCappedAndNegativeIsEmpty) {
    for (const char* stat : {"+OK 70000 1\r\n", "+OK -5 1\r\n"}) {
        SCOPED_TRACE(stat);
        MailboxOptions opt;
        opt.Overrides["STAT"] = stat;
        FakePop3Server srv(Strings{}, opt);
        sent.clear();
        if (!form)
            Open();
        form->Header_Nein->setChecked(true);
        ConnectTo(srv);
        const bool huge = stat[4] == '7';
        EXPECT_EQ(form->MailCount, huge ? 65535 : 0);
        EXPECT_EQ(Rows().size(), huge ? 65535 : 0);
        if (huge) {
            EXPECT_TRUE(StatusText().contains(QStringLiteral("Only the first 65535 e-mails are listed.")));
            Click(form->BtnDisconnect);
        }
        ExpectMode(0);
    }
}

// ----------------------------------------------------------- cancel, close

TEST_F(WorkflowTest, CancelDuringASlowListingKeepsTheRowsFetched) {
    Strings twenty;
    for (int i = 1; i <= 20; ++i)
        twenty.push_back("Subject: m" + std::to_string(i) + "\r\n\r\nx\r\n");
    // Slower to answer than the window's pace, so the click is seen while
    // the reply it was posted behind is still on its way.
    MailboxOptions opt;
    opt.ReplyDelay = std::chrono::milliseconds(100);
    FakePop3Server srv(twenty, opt);
    Open();
    form->PumpIntervalMs = programPace;
    ASSERT_GT(programPace, 0);
    // Pressed while message 5's header is on its way.
    OnCommand("TOP 5 0", [&] {
        Click(form->btn_cancel);
        EXPECT_FALSE(form->btn_cancel->isVisible());
        EXPECT_TRUE(form->BtnDisconnect->isVisible());
        EXPECT_FALSE(form->ProgressBar->isVisible());
        // Still waiting for that reply: nothing may send into it.
        EXPECT_FALSE(form->BtnDelete->isEnabled());
    });
    ConnectTo(srv);

    EXPECT_EQ(Rows().size(), 5);
    EXPECT_EQ(form->HeaderCache.size(), 5u);
    EXPECT_EQ(sent.back(), "list 5");
    EXPECT_TRUE(form->pop3.Connected());
    ExpectMode(2);
    EXPECT_EQ(form->ProgressBar->maximum(), 100);

    // Mark all selects the rows that exist, and stops there.
    Click(form->BtnMark);
    EXPECT_EQ(form->mail_list->selectedCount(), 5);
    EXPECT_TRUE(messages.empty());

    Click(form->BtnDisconnect);
    EXPECT_EQ(sent.back(), "QUIT");
}

TEST_F(WorkflowTest, ClosingDuringAListingDropsTheConnectionWithoutQuit) {
    FakePop3Server srv(FiveMessages());
    Open();
    OnCommand("TOP 3 0", [&] {
        // The server takes its time with this reply; the window is closed meanwhile.
        srv.HoldReplies(true);
        form->close();
    });
    ConnectTo(srv);
    // The click returned while the reply was still held: the close did not wait for it.
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->pop3.Connected());
    EXPECT_EQ(sent.back(), "TOP 3 0");
    EXPECT_FALSE(form->ServerBusy);
    srv.HoldReplies(false);
    EXPECT_TRUE(srv.WaitForCommands(8));
    EXPECT_EQ(srv.Commands().size(), 8u);
    EXPECT_EQ(srv.Remaining().size(), 5u);
}

TEST_F(WorkflowTest, ClosingDuringADeletionMakesNoDeletionFinal) {
    const Strings msgs = FiveMessages();
    FakePop3Server srv(msgs);
    Open();
    ConnectTo(srv);
    ClickRow(2);
    ClickRow(4, Qt::ControlModifier);
    sent.clear();
    OnCommand("DELE 4", [&] { form->close(); });
    Click(form->BtnDelete);
    EXPECT_EQ(sent, (Strings{"DELE 4"}));
    EXPECT_FALSE(form->pop3.Connected());
    EXPECT_EQ(Rows().size(), 5);
    EXPECT_EQ(srv.Remaining(), msgs);
}

TEST_F(WorkflowTest, ClosingWhileConnectedSendsQuit) {
    FakePop3Server srv(FiveMessages());
    Open();
    ConnectTo(srv);
    form->close();
    EXPECT_EQ(sent.back(), "QUIT");
    EXPECT_FALSE(form->pop3.Connected());
}

// ---------------------------------------------------------- mark and delete

TEST_F(WorkflowTest, DeleteMessagesTwoAndFourFromTheHighestDown) {
    const Strings msgs = FiveMessages();
    FakePop3Server srv(msgs);
    Open();
    ConnectTo(srv);
    ClickRow(2);
    ClickRow(4, Qt::ControlModifier);
    ASSERT_EQ(form->mail_list->selectedCount(), 2);
    const QStringList before = Rows();
    sent.clear();
    Click(form->BtnDelete);

    EXPECT_EQ(sent, (Strings{"DELE 4", "DELE 2", "QUIT"}));
    EXPECT_EQ(srv.Remaining(), (Strings{msgs[0], msgs[2], msgs[4]}));
    EXPECT_EQ(Rows(), (QStringList{before[0], before[2], before[4]}));
    EXPECT_EQ(form->Status_leiste->PanelText(2), QStringLiteral("Deleting mail # 2"));
    EXPECT_EQ(StatusText(), QStringLiteral("\rAll marked mails were deleted.\rYour connection has been terminated."));
    ExpectMode(0);
    EXPECT_TRUE(form->Password->text().isEmpty());
}

TEST_F(WorkflowTest, DeleteKeyDeletesOnlyWhileConnected) {
    FakePop3Server srv(FiveMessages());
    Open(true);
    ConnectTo(srv);
    ClickRow(3);
    sent.clear();
    QTest::keyClick(form->mail_list, Qt::Key_Delete);
    EXPECT_EQ(sent, (Strings{"DELE 3", "QUIT"}));
    EXPECT_EQ(StatusText(),
              Q("\rAlle gewünschten e-mail(s) wurden erfolgreich gelöscht.\rIhre Verbindung zum Server wurde getrennt."));
    EXPECT_EQ(form->Status_leiste->PanelText(2), Q("Lösche Mail Nr.: 3"));
    ClickRow(1);
    QTest::keyClick(form->mail_list, Qt::Key_Delete);
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(srv.Remaining().size(), 4u);
}

TEST_F(WorkflowTest, NoCommandIsSentIntoAnotherReply) {
    FakePop3Server srv(FiveMessages());
    Open();
    // Delete key, header and mail buttons from inside the listing's wait.
    OnCommand("TOP 3 0", [&] {
        ClickRow(1);
        QTest::keyClick(form->mail_list, Qt::Key_Delete);
        EXPECT_FALSE(form->btnmail->isEnabled());
        form->men_email_anzeigenClick(form);
        form->BtnDeleteClick(form);
        form->BtnDisconnectClick(form);
        form->BtnConnectClick(form);
    });
    ConnectTo(srv);
    EXPECT_EQ(sent, (Strings{"USER test", "PASS secret", "STAT", "TOP 1 0", "list 1", "TOP 2 0", "list 2", "TOP 3 0",
                             "list 3", "TOP 4 0", "list 4", "TOP 5 0", "list 5"}));
    ExpectMode(2);
}

TEST_F(WorkflowTest, RefusedDeleteCarriesOutNoDeletion) {
    const struct {
        const char* name;
        const char* command;
        Strings sent;
    } rows[] = {
        {"DELE refused", "DELE 2", {"DELE 4", "DELE 2"}},
        {"QUIT refused", "QUIT", {"DELE 4", "DELE 2", "QUIT"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MailboxOptions opt;
        opt.Overrides[row.command] = "-ERR Mailbox is read-only.\r\n";
        const Strings msgs = FiveMessages();
        FakePop3Server srv(msgs, opt);
        if (!form)
            Open();
        ConnectTo(srv);
        ClickRow(2);
        ClickRow(4, Qt::ControlModifier);
        sent.clear();
        Click(form->BtnDelete);
        EXPECT_EQ(sent, row.sent);
        EXPECT_EQ(StatusText(), QStringLiteral("\rError: Mailbox is read-only.\rThe marked mails were not deleted."
                                               "\rYour connection has been terminated."));
        // Nothing was deleted, so every row stays.
        EXPECT_EQ(Rows().size(), 5);
        EXPECT_TRUE(srv.WaitForCommands(3 + 10 + row.sent.size()));
        EXPECT_EQ(srv.Remaining(), msgs);
        ExpectMode(0);
    }
}

TEST_F(WorkflowTest, MarkAllSelectsEveryMessageButNotTheMarker) {
    FakePop3Server srv(FiveMessages());
    Open();
    ConnectTo(srv);
    ClickRow(2);
    ASSERT_TRUE(form->btnheader->isEnabled());
    Click(form->BtnMark);
    EXPECT_EQ(form->mail_list->selectedCount(), 5);
    EXPECT_FALSE(form->mail_list->isSelected(0));
    // No click follows a mark: the viewer buttons keep their state.
    EXPECT_TRUE(form->btnheader->isEnabled());
    form->Datei_M->trigger();
    EXPECT_EQ(form->mail_list->selectedCount(), 5);
}

// ------------------------------------------------------- remembered pairs

TEST_F(WorkflowTest, AnEleventhLoginDropsTheOldestPair) {
    std::map<QString, QString> stored;
    for (int i = 1; i <= 10; ++i) {
        stored[QStringLiteral("Server%1").arg(i)] = QStringLiteral("host%1.example").arg(i);
        stored[QStringLiteral("User%1").arg(i)] = QStringLiteral("user%1").arg(i);
    }
    Store(stored);
    FakePop3Server srv(Strings{});
    Open();
    ConnectTo(srv);
    ASSERT_EQ(form->servername->count(), 10);
    ASSERT_EQ(form->Username->count(), 10);
    EXPECT_EQ(form->servername->itemText(0), QStringLiteral("host2.example"));
    EXPECT_EQ(form->Username->itemText(0), QStringLiteral("user2"));
    EXPECT_EQ(form->servername->itemText(9), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(form->Username->itemText(9), QStringLiteral("test"));
    EXPECT_EQ(form->servername->currentText(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(form->Username->currentText(), QStringLiteral("test"));
}

TEST_F(WorkflowTest, ARememberedPairMovesToTheEnd) {
    Store({{QStringLiteral("Server1"), QStringLiteral("127.0.0.1")},
           {QStringLiteral("User1"), QStringLiteral("test")},
           {QStringLiteral("Server2"), QStringLiteral("127.0.0.1")},
           {QStringLiteral("User2"), QStringLiteral("other")},
           {QStringLiteral("Server3"), QStringLiteral("host.example")},
           {QStringLiteral("User3"), QStringLiteral("test")}});
    FakePop3Server srv(Strings{});
    Open();
    ConnectTo(srv);
    const QStringList servers = {QStringLiteral("127.0.0.1"), QStringLiteral("host.example"), QStringLiteral("127.0.0.1")};
    const QStringList users = {QStringLiteral("other"), QStringLiteral("test"), QStringLiteral("test")};
    QStringList s, u;
    for (int i = 0; i < form->servername->count(); ++i)
        s << form->servername->itemText(i);
    for (int i = 0; i < form->Username->count(); ++i)
        u << form->Username->itemText(i);
    EXPECT_EQ(s, servers);
    EXPECT_EQ(u, users);
}

// ----------------------------------------------------------------- viewers

TEST_F(WorkflowTest, HeaderViewerShowsTheCachedHeaderWithoutAskingTheServer) {
    const Strings msgs = FiveMessages();
    FakePop3Server srv(msgs);
    Open();
    ConnectTo(srv);
    ClickRow(4);
    ASSERT_TRUE(form->btnheader->isEnabled() && form->btnmail->isEnabled());
    const size_t before = sent.size();
    QString shown;
    WhenModalOpens(Form2, [&] { shown = Form2->memo_header_anzeigen->toPlainText(); });
    Click(form->btnheader);
    QString expected = DisplayText(HeaderOf(msgs[3]));
    expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_EQ(shown, expected + QStringLiteral(".\n|"));
    EXPECT_EQ(sent.size(), before);
    EXPECT_TRUE(Form2->memo_header_anzeigen->toPlainText().isEmpty());
    ExpectMode(2);
}

TEST_F(WorkflowTest, HeaderViewerAfterACountOnlyListingShowsOneBlank) {
    FakePop3Server srv(FiveMessages());
    Open();
    form->Header_Nein->setChecked(true);
    ConnectTo(srv);
    ClickRow(2);
    QString shown;
    WhenModalOpens(Form2, [&] { shown = Form2->memo_header_anzeigen->toPlainText(); });
    Click(form->btnheader);
    EXPECT_EQ(shown, QStringLiteral(" "));
}

TEST_F(WorkflowTest, ViewerCommandsFollowTheSelectionAndTheConnection) {
    FakePop3Server srv(FiveMessages());
    Open();
    ConnectTo(srv);
    // Popup entries on after the listing, before any click: with no row the
    // commands say what is missing instead of opening an empty window.
    ASSERT_TRUE(form->men_header_anzeigen->isEnabled());
    form->men_header_anzeigen->trigger();
    EXPECT_EQ(StatusText().section(QLatin1Char('\r'), -1), QStringLiteral("Please select an e-mail first."));
    form->men_email_anzeigen->trigger();
    EXPECT_EQ(StatusText().section(QLatin1Char('\r'), -1), QStringLiteral("Please select exactly one e-mail."));

    ClickRow(1);
    EXPECT_TRUE(form->btnheader->isEnabled());
    ClickRow(3, Qt::ControlModifier);
    EXPECT_FALSE(form->btnheader->isEnabled());
    EXPECT_FALSE(form->men_email_anzeigen->isEnabled());
    ClickRow(3, Qt::ControlModifier);
    EXPECT_TRUE(form->btnmail->isEnabled());
    EXPECT_TRUE(form->men_email_anzeigen->isEnabled());

    Click(form->BtnDisconnect);
    EXPECT_FALSE(form->btnheader->isEnabled());
    EXPECT_FALSE(form->btnmail->isEnabled());
    // The rows stay; a click on one keeps the commands off, and a direct call
    // sends nothing to the closed connection.
    ClickRow(2);
    EXPECT_FALSE(form->btnmail->isEnabled());
    const size_t before = sent.size();
    form->men_email_anzeigenClick(form);
    form->men_header_anzeigenClick(form);
    EXPECT_EQ(sent.size(), before);
    EXPECT_EQ(StatusText().section(QLatin1Char('\r'), -1),
              QStringLiteral("Not connected to the server: please connect again."));
}

TEST_F(WorkflowTest, MessageViewerShowsTheTextAndBothAttachments) {
    Strings msgs = FiveMessages();
    msgs[1] = TwoAttachments();
    FakePop3Server srv(msgs);
    Open();
    ConnectTo(srv);
    ClickRow(2);
    sent.clear();
    QString text;
    QStringList names;
    bool barHidden = false;
    WhenModalOpens(Form3, [&] {
        text = Form3->memo_email_anzeigen->toPlainText();
        for (int i = 0; i < Form3->attachment_list->count(); ++i)
            names << Form3->attachment_list->item(i)->text();
        barHidden = !form->ProgressBar->isVisible();
        // Locked while the message arrived, usable again once it is shown.
        EXPECT_TRUE(form->BtnDelete->isEnabled());
    });
    Click(form->btnmail);
    EXPECT_EQ(sent, (Strings{"LIST 2", "RETR 2"}));
    EXPECT_TRUE(text.contains(QStringLiteral("Here are the files."))) << text.toStdString();
    EXPECT_EQ(names, (QStringList{QStringLiteral("alpha.txt"), QStringLiteral("zeta.zip")}));
    EXPECT_TRUE(barHidden);
    ASSERT_NE(form->CurrentMsg, nullptr);
    EXPECT_EQ(form->CurrentMsg->AttachedFiles.Count(), 2);
    ExpectMode(2);

    // The next message replaces the current one; the connection stays open.
    ClickRow(1);
    WhenModalOpens(Form3, [&] { text = Form3->memo_email_anzeigen->toPlainText(); });
    form->men_email_anzeigen->trigger();
    EXPECT_TRUE(text.contains(QStringLiteral("See you at ten."))) << text.toStdString();
    EXPECT_EQ(form->CurrentMsg->AttachedFiles.Count(), 0);
    EXPECT_TRUE(form->pop3.Connected());
}

TEST_F(WorkflowTest, RefusedRetrieveShowsNoStaleMessage) {
    MailboxOptions opt;
    opt.Overrides["RETR 3"] = "-ERR Message is locked.\r\n";
    FakePop3Server srv(FiveMessages(), opt);
    Open();
    ConnectTo(srv);
    ClickRow(2);
    WhenModalOpens(Form3, [] {});
    Click(form->btnmail);
    kel::TKelMsg* shown = form->CurrentMsg;
    ASSERT_NE(shown, nullptr);

    ClickRow(3);
    sent.clear();
    // No window may open now: a modal one would block this call.
    Click(form->btnmail);
    EXPECT_EQ(sent, (Strings{"LIST 3", "RETR 3"}));
    EXPECT_EQ(form->CurrentMsg, shown);
    EXPECT_EQ(StatusText(), QStringLiteral("\rError: Message is locked.\rYour connection has been terminated."));
    EXPECT_FALSE(form->ProgressBar->isVisible());
    ExpectMode(0);
    EXPECT_FALSE(form->btnmail->isEnabled());
}

TEST_F(WorkflowTest, ClosingDuringARetrievalDropsTheConnection) {
    Strings msgs = FiveMessages();
    MailboxOptions opt;
    opt.ChunkSize = 512;
    FakePop3Server srv(msgs, opt);
    Open();
    ConnectTo(srv);
    ClickRow(5);
    // The spool file of the abandoned retrieval must not be left behind.
    QTemporaryDir spool;
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", spool.path().toLocal8Bit());
    OnCommand("RETR 5", [&] {
        srv.HoldReplies(true);
        form->close();
    });
    Click(form->btnmail);
    EXPECT_EQ(sent.back(), "RETR 5");
    EXPECT_FALSE(form->pop3.Connected());
    EXPECT_EQ(form->CurrentMsg, nullptr);
    srv.HoldReplies(false);
    EXPECT_EQ(srv.Remaining().size(), 5u);
    EXPECT_TRUE(QDir(spool.path()).isEmpty());
    qputenv("TMPDIR", oldTmp);
}

// ------------------------------------------------------- a real server

class WorkflowDovecotTest : public WorkflowTest {
  protected:
    void SetUp() override {
        WorkflowTest::SetUp();
        if (!Dovecot().Running())
            GTEST_SKIP() << Dovecot().SkipReason();
    }
    static DovecotServer& Dovecot() { return DovecotServer::Shared(); }
    void Login(const char* password = DovecotServer::Password) {
        Open();
        ConnectToPort(Dovecot().PortText(), QString::fromLatin1(password));
    }
};

TEST_F(WorkflowDovecotTest, ListsTheMailboxWithTheRowsTheHeadersGive) {
    const Strings msgs = FiveMessages();
    Dovecot().SetMessages(msgs);
    Login();
    EXPECT_EQ(Rows(), FiveRows(msgs)) << StatusText().toStdString() << Dovecot().Log();
    EXPECT_EQ(form->HeaderCache[0], HeaderOf(msgs[0]) + ".\r\n|");
    ExpectMode(2);
    Click(form->BtnDisconnect);
    EXPECT_EQ(sent.back(), "QUIT");
    EXPECT_FALSE(form->pop3.Connected());
    EXPECT_EQ(Dovecot().Messages(), msgs);
}

TEST_F(WorkflowDovecotTest, DeletingTwoAndFourLeavesOneThreeAndFive) {
    const Strings msgs = FiveMessages();
    Dovecot().SetMessages(msgs);
    Login();
    ASSERT_EQ(Rows().size(), 5) << StatusText().toStdString();
    ClickRow(2);
    ClickRow(4, Qt::ControlModifier);
    sent.clear();
    Click(form->BtnDelete);
    EXPECT_EQ(sent, (Strings{"DELE 4", "DELE 2", "QUIT"}));
    EXPECT_EQ(StatusText(), QStringLiteral("\rAll marked mails were deleted.\rYour connection has been terminated."));
    EXPECT_EQ(Dovecot().Messages(), (Strings{msgs[0], msgs[2], msgs[4]}));
}

TEST_F(WorkflowDovecotTest, RefusedLoginLeavesTheMailboxAlone) {
    Dovecot().SetMessages(FiveMessages());
    Login("wrong");
    EXPECT_EQ(StatusText(), QStringLiteral("\rError: [AUTH] Authentication failed.\rYour connection has been terminated."));
    ExpectMode(0);
    EXPECT_EQ(Dovecot().Messages().size(), 5u);
}

TEST_F(WorkflowDovecotTest, MessageViewerShowsAMessageWithTwoAttachments) {
    Strings msgs = FiveMessages();
    msgs[2] = TwoAttachments();
    Dovecot().SetMessages(msgs);
    Login();
    ClickRow(3);
    QString text;
    QStringList names;
    WhenModalOpens(Form3, [&] {
        text = Form3->memo_email_anzeigen->toPlainText();
        for (int i = 0; i < Form3->attachment_list->count(); ++i)
            names << Form3->attachment_list->item(i)->text();
    });
    Click(form->btnmail);
    EXPECT_TRUE(text.contains(QStringLiteral("Here are the files."))) << text.toStdString();
    EXPECT_EQ(names, (QStringList{QStringLiteral("alpha.txt"), QStringLiteral("zeta.zip")}));
    ASSERT_NE(form->CurrentMsg, nullptr);
    EXPECT_EQ(form->CurrentMsg->AttachedFiles.Count(), 2);
    Click(form->BtnDisconnect);
    EXPECT_EQ(Dovecot().Messages(), msgs);
}

} // namespace
