// The mailbox workflow driven through the real main window with clicks and keys:
// what does the user see, and what reaches the server, from connect to disconnect?
#include "app/windows/MainFixture.h"

#include "app/windows/Header.h"
#include "app/windows/Preview.h"
#include "ui/MultiLst.h"
#include "app/core/TextCodec.h"
#include "app/windows/email.h"
#include "mail/message/KelMsg.h"
#include "support/DovecotServer.h"
#include "support/FakePop3Server.h"
#include "support/TestPki.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <gmock/gmock.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using sweepbox::test::Items;
using sweepbox::test::Pairs;
using sweepbox::test::Q;
using sweepbox::test::Values;
using sweepbox::test::DovecotServer;
using sweepbox::test::FakePop3Server;
using sweepbox::test::MailboxOptions;
using Strings = std::vector<std::string>;
using testing::AllOf;
using testing::EndsWith;
using testing::Matcher;
using testing::StartsWith;
using testing::StrEq;

// Five messages with the header lines real mail carries.
Strings FiveMessages() {
    return {
        "Return-Path: <support@example.org>\r\nDate: Mon, 6 Mar 2000 10:22:33 +0100\r\n"
        "From: Support Desk <support@example.org>\r\nTo: test@example.com\r\n"
        "Subject: Meeting\r\nMessage-ID: <1@example.org>\r\n\r\nSee you at ten.\r\n",
        "Date: Tue, 14 Mar 2000 08:00:00 +0000\r\nFrom: news@example.net\r\n"
        "Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n\r\nBody\r\n",
        "From: Anna <anna@example.com>\r\nSubject:\r\nDate: Wed, 1 Mar 2000 23:59:59 -0500\r\n\r\n"
        "No subject here.\r\n",
        "Received: from mx.example.org by mail.example.com\r\nDate: Thu, 30 Mar 2000 12:00:00 +0200\r\n"
        "From: J\xc3\xbcrgen <j@example.de>\r\nSubject: Gr\xc3\xb6\xc3\x9f" "e aus K\xc3\xb6ln\r\n\r\nHallo.\r\n",
        "Date: Fri, 31 Mar 2000 07:07:07 +0000\r\nFrom: M\xfcller <m@example.de>\r\nSubject: Rechnung\r\n\r\n" +
            std::string(15000, 'x') + "\r\n",
    };
}

// The rows the list shows for FiveMessages (English fallbacks): the sender's
// name where it has one, encoded words decoded.
QStringList FiveRows(const Strings& msgs) {
    auto size = [&](int n) { return std::to_string(msgs[n - 1].size()); };
    return {
        Q((" 1 |" + size(1) + " Byte |06 Mar 2000|Support Desk|Meeting|").c_str()),
        Q((" 2 |" + size(2) + " Byte |14 Mar 2000|news@example.net|Grüße|").c_str()),
        Q((" 3 |" + size(3) + " Byte |01 Mar 2000|Anna|No subject|").c_str()),
        Q((" 4 |" + size(4) + " Byte |30 Mar 2000|Jürgen|Größe aus Köln|").c_str()),
        // Not UTF-8: the row shows as Windows-1252.
        Q(" 5 |15 KByte |31 Mar 2000|Müller|Rechnung|"),
    };
}

// The header lines of a message as TOP n 0 returns them (with the empty line).
std::string HeaderOf(const std::string& message) { return message.substr(0, message.find("\r\n\r\n") + 4); }

// A message with a text part and two attachments, the second name sorting first.
std::string TwoAttachments() {
    return "From: Anna <anna@example.com>\r\nSubject: Two files\r\nDate: Mon, 6 Mar 2000 10:22:33 +0100\r\n"
           "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XYZ\"\r\n\r\n"
           "--XYZ\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nHere are the files.\r\n"
           "--XYZ\r\nContent-Type: application/zip; name=\"zeta.zip\"\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"zeta.zip\"\r\n\r\nUEsFBgAAAAAAAAAAAAAAAAAAAAAAAA==\r\n"
           "--XYZ\r\nContent-Type: application/octet-stream; name=\"alpha.txt\"\r\n"
           "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"alpha.txt\"\r\n\r\n"
           "YWxwaGEK\r\n--XYZ--\r\n";
}

// What a full listing of FiveMessages sends.
const Strings kListFive = {"CAPA", "USER test", "PASS secret", "CAPA", "STAT",    "TOP 1 0", "list 1", "TOP 2 0", "list 2",
                           "TOP 3 0",   "list 3",      "TOP 4 0", "list 4",  "TOP 5 0", "list 5"};

class WorkflowTest : public sweepbox::test::MainTest {
  protected:
    void TearDown() override {
        EXPECT_TRUE(messages.empty()) << "message box: " << (messages.empty() ? "" : messages.front().toStdString());
        sweepbox::test::MainTest::TearDown();
    }

    TForm1* Open(bool german = false) {
        form = StartIn(german);
        // Posted clicks land at the next send or receive (the cancel test keeps the pace).
        programPace = std::exchange(form->Session.PumpIntervalMs, 0);
        // These tests count every command: the header cache's own are told apart in CachedRowsTest.
        form->Session.CacheFolder.clear();
        form->pop3.OnSendTextToSocket = [this](kel::TObject*, const std::string& s) {
            sent.push_back(s.substr(0, s.size() - 2));
            if (onSend)
                onSend(sent.back());
        };
        return form;
    }

    // Types the credentials, chooses the security ("tls", "starttls", "none";
    // empty: as the server field sets it) and clicks Connect; the listing runs
    // inside the click.
    void ConnectTo(const std::string& port, const QString& password = QStringLiteral("secret"),
                   const QString& security = QString(), const QString& host = QStringLiteral("127.0.0.1")) {
        for (auto [edit, text] : {std::pair{form->servername->lineEdit(), host + Q((":" + port).c_str())},
                                  std::pair{form->Username->lineEdit(), QStringLiteral("test")},
                                  std::pair{static_cast<QLineEdit*>(form->Password), password}}) {
            edit->clear();
            QTest::keyClicks(edit, text);
        }
        if (!security.isEmpty()) {
            form->Security->setCurrentIndex(form->Security->findData(security));
            ASSERT_EQ(form->SecurityValue(), security);
        }
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
    // Clicks the first row, the others with Ctrl, and forgets what was sent so far.
    void Mark(const std::vector<int>& rows) {
        for (size_t i = 0; i < rows.size(); ++i)
            ClickRow(rows[i], i ? Qt::ControlModifier : Qt::NoModifier);
        sent.clear();
    }

    QStringList Rows() const {
        QStringList rows;
        for (int i = 1; i < form->mail_list->count(); ++i)
            rows << form->mail_list->item(i);
        return rows;
    }
    // The number column of a list row as shown.
    int NumberShown(int Row) const {
        return form->mail_list->item(Row).section(QLatin1Char('|'), 0, 0).trimmed().toInt();
    }
    QString StatusText() const { return form->Status->Text(); }
    QString Panel(int n) const { return form->Status_leiste->PanelText(n); }

    // The command table's controls in the given mode (0 idle, 1 busy, 2 connected).
    void ExpectMode(int mode) const {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const bool idle = mode == 0, busy = mode == 1, conn = mode == 2;
        const struct {
            QObject* control;
            bool enabled, expected;
        } rows[] = {
            {form->BtnConnect, form->BtnConnect->isEnabled(), idle},
            {form->BtnDisconnect, form->BtnDisconnect->isEnabled(), conn},
            {form->BtnDelete, form->BtnDelete->isEnabled(), conn},
            {form->BtnInfo, form->BtnInfo->isEnabled(), !busy},
            {form->Datei_L, form->Datei_L->isEnabled(), conn},
            {form->Status_avi, form->Status_avi->isVisible() && form->Status_avi->IsPlaying(), busy},
            {form->Password, form->Password->isEnabled(), idle},
            {form->Security, form->Security->isEnabled(), idle},
            {form->men_email_anzeigen, form->men_email_anzeigen->isEnabled(), conn},
        };
        for (const auto& row : rows)
            EXPECT_EQ(row.enabled, row.expected) << row.control->objectName().toStdString();
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

    // What Form2 or Form3 shows when open() brings it up modally; also runs
    // while it is open, then its button closes it.
    struct Shown {
        QString text;
        QStringList attachments;
    };
    Shown ShownIn(QDialog* dialog, const std::function<void()>& open, const std::function<void()>& also = {}) {
        Shown shown;
        new ShowWatcher(dialog, [&, dialog] {
            EXPECT_EQ(QApplication::activeModalWidget(), dialog);
            if (dialog == Form2) {
                shown.text = Form2->memo_header_anzeigen->toPlainText();
                Form2->btn_close->click();
                return;
            }
            shown.text = Form3->memo_email_anzeigen->toPlainText();
            for (int i = 0; i < Form3->attachment_list->count(); ++i)
                shown.attachments << Form3->attachment_list->item(i)->text();
            if (also)
                also();
            Form3->btn_close->click();
        });
        open();
        return shown;
    }

    // Calls back once, from the event loop that the shown window runs; a child
    // of the window, so it goes with it.
    class ShowWatcher : public QObject {
      public:
        ShowWatcher(QObject* target, std::function<void()> fn) : QObject(target), fn_(std::move(fn)) {
            target->installEventFilter(this);
        }

      protected:
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::Show && fn_) {
                QTimer::singleShot(0, o, std::exchange(fn_, nullptr));
                deleteLater();
            }
            return false;
        }

      private:
        std::function<void()> fn_;
    };

    TForm1* form = nullptr;
    int programPace = 0;
    std::vector<std::string> sent;
    std::function<void(const std::string&)> onSend;
};

const QStringList kTwoAttachments = {QStringLiteral("alpha.txt"), QStringLiteral("zeta.zip")};

TEST_F(WorkflowTest, FullListingShowsOneRowPerMessageAsTheHeadersSay) {
    const Strings msgs = FiveMessages();
    FakePop3Server srv(msgs);
    Open();
    bool busySeen = false;
    OnCommand("TOP 3 0", [&] {
        busySeen = true;
        ExpectMode(1);
        EXPECT_EQ(form->ProgressBar->value(), 2);
        // Rows appear while the listing runs.
        EXPECT_EQ(Rows().size(), 2);
        // Nothing of this may send a command into the reply on its way.
        ClickRow(1);
        QTest::keyClick(form->mail_list, Qt::Key_Delete);
        EXPECT_FALSE(form->btnmail->isEnabled());
        form->men_email_anzeigenClick(form);
        form->BtnConnectClick(form);
    });
    ConnectTo(srv.PortText());
    EXPECT_TRUE(busySeen);
    EXPECT_EQ(sent, kListFive);
    const QStringList expected = FiveRows(msgs);
    EXPECT_EQ(Rows(), expected);
    EXPECT_EQ(Panel(0), QStringLiteral("5 Mails"));
    EXPECT_EQ(StatusText(), QStringLiteral("\rSender, Subject, Size, and Date are displayed ..."));
    ExpectMode(2);

    // The header viewer shows the cached header without asking the server.
    Mark({4});
    QString header = DisplayText(HeaderOf(msgs[3]));
    header.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_EQ(ShownIn(Form2, [&] { Click(form->btnheader); }).text, header + QStringLiteral(".\n|"));
    EXPECT_TRUE(sent.empty());
    ExpectMode(2);

    Click(form->BtnDisconnect);
    EXPECT_EQ(sent, Strings{"QUIT"});
    ExpectMode(0);
    EXPECT_EQ(Rows(), expected);
    EXPECT_EQ(form->Session.Header(1), nullptr);
}

TEST_F(WorkflowTest, CountOnlyListsPlaceholdersWithoutAskingTheServer) {
    FakePop3Server srv({"a\r\n", "b\r\n", "c\r\n"});
    Open();
    form->servername->setEditText(Q(("127.0.0.1:" + srv.PortText()).c_str()));
    form->Username->setEditText(QStringLiteral("test"));
    form->Password->setText(QStringLiteral("secret"));
    Click(form->Header_Nein);
    // Enter in the password field connects as the button does.
    QTest::keyClick(form->Password, Qt::Key_Return);
    const QString placeholder = QStringLiteral(" %1 | - | - | - | - |");
    EXPECT_EQ(Rows(), (QStringList{placeholder.arg(1), placeholder.arg(2), placeholder.arg(3)}));
    EXPECT_EQ(sent, (Strings{"CAPA", "USER test", "PASS secret", "CAPA", "STAT"}));
    EXPECT_EQ(StatusText(), QStringLiteral("\rOnly the number of e-mails will be displayed."));
    ExpectMode(2);
    // The header viewer has nothing but a blank to show.
    Mark({2});
    EXPECT_EQ(ShownIn(Form2, [&] { Click(form->btnheader); }).text, QStringLiteral(" "));
    Click(form->BtnDisconnect);

    // A count beyond what the list can hold is capped.
    MailboxOptions opt;
    opt.Overrides["STAT"] = "+OK 70000 1\r\n";
    FakePop3Server huge(Strings{}, opt);
    ConnectTo(huge.PortText());
    EXPECT_EQ(form->Session.MailCount, 65535);
    EXPECT_EQ(StatusText(), QStringLiteral("\rOnly the first 65535 e-mails are listed."
                                           "\rOnly the number of e-mails will be displayed."));
}

TEST_F(WorkflowTest, EachFailureShowsWhyAndLeavesTheWindowReadyForTheNextAttempt) {
    using Mailbox = std::function<std::unique_ptr<FakePop3Server>()>;
    auto mailbox = [](Strings msgs, const char* command = nullptr, const char* reply = nullptr) -> Mailbox {
        return [=] {
            MailboxOptions opt;
            if (command)
                opt.Overrides[command] = reply;
            return std::make_unique<FakePop3Server>(msgs, opt);
        };
    };
    auto goneMidListing = [] {
        auto srv = std::make_unique<FakePop3Server>();
        srv->Send("+OK ready\r\n")
            .Expect("CAPA").Send("-ERR no capabilities here\r\n")
            .Expect("USER test").Send("+OK\r\n")
            .Expect("PASS secret").Send("+OK\r\n")
            .Expect("CAPA").Send("-ERR no capabilities here\r\n")
            .Expect("STAT").Send("+OK 3 300\r\n")
            .Expect("TOP 1 0").Send("+OK\r\nFrom: a\r\nSubject: one\r\nDate: Mon, 6 Mar 2000 10:22:33 +0100\r\n\r\n.\r\n")
            .Expect("list 1").Send("+OK 1 100\r\n")
            .Expect("TOP 2 0").Send("+OK\r\nSubject: tw")
            .Close();
        return srv;
    };
    auto flooded = [] {
        auto srv = std::make_unique<FakePop3Server>();
        srv->SendUntilClosed("+OK " + std::string(10u << 20, 'x'));
        return srv;
    };
    const Strings five = FiveMessages();
    const QStringList fiveRows = FiveRows(five);
    const auto ended = [](const char* why) {
        return StrEq(std::string("\rError: ") + why + "\rYour connection has been terminated.");
    };
    const Matcher<std::string> nothingToDelete =
        StrEq("\rThere is no need to delete e-mails.\rYour connection has been terminated.");
    // In one window: each row starts where the one before left it (count, pairs).
    const struct {
        const char* name;
        Mailbox mailbox; // none: nothing listens on the port
        const char* server;
        const char* user;
        const char* password;
        Matcher<std::string> status;
        Strings sent;
        QStringList rows;
        const char* count; // the first panel
        int pairs;         // remembered server/user pairs
        const char* focus;
    } rows[] = {
        {"no server", {}, "", "", "", StrEq("\rError: No POP server specified"), {}, {}, "", 0, "mail_list"},
        {"nothing listens", {}, "127.0.0.1", "test", "secret",
         StrEq("\rError: a connection to the server cannot be established !!!!"
            "\r     - Are you connected to the Internet?"
            "\r     - Do you use the correct server namen?"
            "\r     - Maybe the server is temporarily not available!"),
         {}, {}, "", 0, "mail_list"},
        // Typed text cannot hold a line break; settings edited outside the program can.
        // The password never goes to a server whose greeting does not end.
        {"flooded greeting", flooded, "127.0.0.1", "test", "secret",
         ended("The server's reply has no line end within its first 65536 bytes."), {}, {}, "", 0, "Password"},
        {"line break in the user name", mailbox(five), "127.0.0.1", "test\r\nDELE 1", "secret",
         ended("User name or password contains a line break."), {}, {}, "", 0, "Password"},
        {"refused login", mailbox(five), "127.0.0.1", "test", "wrong", ended("[AUTH] Authentication failed."),
         {"CAPA", "USER test", "PASS wrong"}, {}, "", 0, "Password"},
        {"empty mailbox", mailbox({}), "127.0.0.1", "test", "secret", nothingToDelete,
         {"CAPA", "USER test", "PASS secret", "CAPA", "STAT", "QUIT"}, {}, "0 Mails", 1, "Password"},
        {"refused count", mailbox(five, "STAT", "-ERR Mailbox is locked.\r\n"), "127.0.0.1", "test", "secret",
         ended("Mailbox is locked."), {"CAPA", "USER test", "PASS secret", "CAPA", "STAT"}, {}, "", 1, "Password"},
        {"negative count", mailbox(five, "STAT", "+OK -5 1\r\n"), "127.0.0.1", "test", "secret",
         ended("The server's answer to STAT is not a message count and a mailbox size: \"+OK -5 1\""),
         {"CAPA", "USER test", "PASS secret", "CAPA", "STAT"}, {}, "", 1, "Password"},
        // The refused message still gets its row, with what is known of it.
        {"refused header", mailbox(five, "TOP 3 0", "-ERR Message is gone.\r\n"), "127.0.0.1", "test", "secret",
         ended("Message is gone."), Strings(kListFive.begin(), kListFive.begin() + 10),
         {fiveRows[0], fiveRows[1], QStringLiteral(" 3 | |No date|No sender||")}, "3 / 5 Mails", 1, "Password"},
        {"server gone mid-listing", goneMidListing, "127.0.0.1", "test", "secret",
         ended("The server closed the connection before its reply was complete."),
         {"CAPA", "USER test", "PASS secret", "CAPA", "STAT", "TOP 1 0", "list 1", "TOP 2 0"},
         {QStringLiteral(" 1 |100 Byte |06 Mar 2000|a|one|")}, "3 Mails", 1, "Password"},
    };
    Open();
    EXPECT_TRUE(form->info_fenster_eng->isVisible());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::unique_ptr<FakePop3Server> srv = row.mailbox ? row.mailbox() : nullptr;
        // Without a mailbox: the port of a server that has gone again.
        const std::string port = srv ? srv->PortText() : FakePop3Server(Strings{}).PortText();
        // Each mailbox has its own port, so each login remembers its own pair.
        form->servername->clear();
        form->Username->clear();
        form->servername->setEditText(Q(row.server) + (*row.server ? Q(":") + Q(port.c_str()) : QString()));
        form->Username->setEditText(Q(row.user));
        form->Password->setText(Q(row.password));
        sent.clear();
        Click(form->BtnConnect);
        EXPECT_THAT(StatusText().toStdString(), row.status);
        EXPECT_EQ(sent, row.sent);
        EXPECT_EQ(Rows(), row.rows);
        EXPECT_EQ(Panel(0), Q(row.count));
        EXPECT_EQ(form->servername->count(), row.pairs);
        ASSERT_NE(form->focusWidget(), nullptr);
        EXPECT_EQ(form->focusWidget()->objectName(), Q(row.focus));
        EXPECT_FALSE(form->info_fenster_eng->isVisible() || form->btn_cancel->isVisible() || form->pop3.Connected());
        if (*row.server && *row.user && *row.password)
            ExpectMode(0);
        else // a field check changes no command
            EXPECT_TRUE(form->BtnConnect->isEnabled() && !form->BtnDelete->isEnabled());
    }
}

TEST_F(WorkflowTest, CancelDuringASlowListingKeepsTheRowsFetched) {
    Strings twenty;
    for (int i = 1; i <= 20; ++i)
        twenty.push_back("Subject: m" + std::to_string(i) + "\r\n\r\nx\r\n");
    // Slower than the window's pace: the click is seen while its reply is on its way.
    MailboxOptions opt;
    opt.ReplyDelay = std::chrono::milliseconds(100);
    FakePop3Server srv(twenty, opt);
    Open();
    form->Session.PumpIntervalMs = programPace;
    // Pressed while message 5's header is on its way.
    OnCommand("TOP 5 0", [&] {
        Click(form->btn_cancel);
        EXPECT_FALSE(form->btn_cancel->isVisible() || form->ProgressBar->isVisible());
        EXPECT_FALSE(form->BtnDelete->isEnabled()); // its reply is still on its way
    });
    ConnectTo(srv.PortText());

    EXPECT_EQ(Rows().size(), 5);
    EXPECT_EQ(sent.back(), "list 5");
    EXPECT_TRUE(form->pop3.Connected());
    ExpectMode(2);
    Click(form->BtnMark);
    EXPECT_EQ(form->mail_list->selectedCount(), 5);
    Click(form->BtnDisconnect);
    EXPECT_EQ(sent.back(), "QUIT");
}

// A server that stops in the middle of a header: Cancel drops the
// connection after a second without a byte, not at the stall limit; the
// rows so far stay and the window is ready for the next connection.
TEST_F(WorkflowTest, CancelOverAStalledServerReturnsTheWindowToIdle) {
    MailboxOptions opt;
    opt.Overrides["TOP 3 0"] = "+OK\r\nSubject: ha";
    FakePop3Server srv(FiveMessages(), opt);
    Open();
    form->pop3.ReceiveStallLimitMs = 30000;
    OnCommand("TOP 3 0", [&] { Click(form->btn_cancel); });
    ConnectTo(srv.PortText());
    EXPECT_EQ(Rows().size(), 2);
    EXPECT_EQ(Panel(0), Q("2 / 5 Mails"));
    EXPECT_FALSE(form->pop3.Connected());
    EXPECT_TRUE(StatusText().contains(Q("Cancelled: the server stopped answering; the connection was dropped.")))
        << StatusText().toStdString();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "QUIT"), 0);
    ExpectMode(0);
}

TEST_F(WorkflowTest, ClosingDuringAServerOperationSendsNothingIntoItsReply) {
    // The spool file of an abandoned retrieval must not be left behind.
    QTemporaryDir spool;
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", spool.path().toLocal8Bit());
    const Strings msgs = FiveMessages();
    const struct {
        const char* name;
        std::vector<int> marked;
        TSpeedButton* TForm1::*button; // none: the listing of the connect
        const char* command;           // the window closes right after sending it,
        bool held;                     // while the server holds its reply back
        size_t received;               // all the server ever receives
        int rows;
    } rows[] = {
        {"listing", {}, nullptr, "TOP 3 0", true, 10, 2},
        {"deletion", {2, 4}, &TForm1::BtnDelete, "DELE 4", false, kListFive.size() + 1, 5},
        {"retrieval", {5}, &TForm1::btnmail, "RETR 5", true, kListFive.size() + 2, 5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MailboxOptions opt;
        opt.ChunkSize = 512;
        FakePop3Server srv(msgs, opt);
        Open();
        auto close = [&] {
            srv.HoldReplies(row.held);
            form->close();
        };
        if (row.button) {
            ConnectTo(srv.PortText());
            Mark(row.marked);
            OnCommand(row.command, close);
            Click(form->*row.button);
        } else {
            OnCommand(row.command, close);
            ConnectTo(srv.PortText());
        }
        // The click returned while the reply was still held: the close did not wait for it.
        EXPECT_FALSE(form->isVisible() || form->pop3.Connected() || form->Session.Busy());
        EXPECT_EQ(Rows().size(), row.rows);
        EXPECT_EQ(form->CurrentMsg, nullptr);
        srv.HoldReplies(false);
        EXPECT_TRUE(srv.WaitForCommands(row.received));
        EXPECT_EQ(srv.Commands().size(), row.received);
        EXPECT_EQ(srv.Remaining(), msgs);
        EXPECT_TRUE(QDir(spool.path()).isEmpty());
        sweepbox::DestroyApplicationWindows();
    }
    qputenv("TMPDIR", oldTmp);
    // With no reply outstanding, the window says goodbye.
    FakePop3Server srv(msgs);
    Open();
    ConnectTo(srv.PortText());
    form->close();
    EXPECT_EQ(sent.back(), "QUIT");
    EXPECT_FALSE(form->pop3.Connected());
}

TEST_F(WorkflowTest, DeletingTwoAndFourStartsAtTheHighestAndOnlyAFullSuccessCounts) {
    const Strings msgs = FiveMessages();
    // In German, and with the Delete key: it deletes while connected, and only then.
    const QString gone = Q("\rIhre Verbindung zum Server wurde getrennt.");
    const QString notDeleted =
        Q("\rFehler: Mailbox is read-only.\rDie markierten e-mails wurden nicht gelöscht.") + gone;
    const std::map<std::string, std::string> readOnly = {{"QUIT", "-ERR Mailbox is read-only.\r\n"}};
    const struct {
        const char* name;
        std::map<std::string, std::string> overrides;
        Strings sent;
        std::vector<int> left; // the messages the server keeps, and their rows
        QString status;
        const char* progress; // the third panel
    } rows[] = {
        {"all accepted", {}, {"DELE 4", "DELE 2", "STAT", "QUIT"}, {1, 3, 5},
         Q("\rAlle gewünschten e-mail(s) wurden erfolgreich gelöscht.") + gone,
         "Lösche Mail Nr.: 2"},
        {"DELE refused", {{"DELE 2", "-ERR Mailbox is read-only.\r\n"}}, {"DELE 4", "DELE 2"}, {1, 2, 3, 4, 5},
         notDeleted, "Lösche Mail Nr.: 4"},
        {"QUIT refused", readOnly, {"DELE 4", "DELE 2", "STAT", "QUIT"}, {1, 2, 3, 4, 5}, notDeleted,
         "Lösche Mail Nr.: 2"},
        // The rest of a long "+OK" is no answer to the next command, so the
        // refused QUIT is seen for what it is.
        {"long DELE reply, then QUIT refused",
         {{"DELE 4", "+OK " + std::string(1500, 'd') + "\r\n"}, *readOnly.begin()},
         {"DELE 4", "DELE 2", "STAT", "QUIT"}, {1, 2, 3, 4, 5}, notDeleted, "Lösche Mail Nr.: 2"},
        // Neither "+OK" nor "-ERR" proves nothing.
        {"QUIT answered neither", {{"QUIT", "OK bye\r\n"}}, {"DELE 4", "DELE 2", "STAT", "QUIT"}, {1, 2, 3, 4, 5},
         Q("\rFehler: OK bye\rDie markierten e-mails wurden nicht gelöscht.") + gone, "Lösche Mail Nr.: 2"},
    };
    Open(true);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MailboxOptions opt;
        opt.Overrides = row.overrides;
        FakePop3Server srv(msgs, opt);
        ConnectTo(srv.PortText());
        const QStringList before = Rows();
        Mark({2, 4});
        QTest::keyClick(form->mail_list, Qt::Key_Delete);
        EXPECT_EQ(sent, row.sent);
        EXPECT_EQ(StatusText(), row.status);
        EXPECT_EQ(Panel(2), Q(row.progress));
        Strings kept;
        QStringList shown;
        for (int n : row.left) {
            kept.push_back(msgs[n - 1]);
            shown << before[n - 1];
        }
        EXPECT_EQ(Rows(), shown);
        // The count panel counts the rows left.
        EXPECT_EQ(Panel(0), QString::number(row.left.size()) + Q(" Mails"));
        EXPECT_TRUE(srv.WaitForCommands(kListFive.size() + row.sent.size()));
        EXPECT_EQ(srv.Remaining(), kept);
        ExpectMode(0);
        Mark({1});
        QTest::keyClick(form->mail_list, Qt::Key_Delete);
        EXPECT_TRUE(sent.empty());
    }
}

// A server whose replies are shifted by lines nobody asked for (a broken
// proxy, an injection) would have a refused DELE or QUIT taken for accepted.
// Whatever the shift, no QUIT goes out, every row stays and the server
// keeps every message; lock-step and pipelined alike.
TEST_F(WorkflowTest, RepliesOutOfStepWithTheCommandsDeleteNothing) {
    const Strings msgs = FiveMessages();
    const struct {
        const char* name;
        std::map<std::string, std::string> overrides;
        std::vector<int> marked;
    } rows[] = {
        {"two lines more after DELE 5, then DELE 1 refused",
         {{"DELE 5", "+OK\r\n+OK\r\n+OK\r\n"}, {"DELE 1", "-ERR no\r\n"}},
         {1, 2, 3, 4, 5}},
        {"a line more after the last DELE, then QUIT refused",
         {{"DELE 1", "+OK\r\n+OK\r\n"}, {"QUIT", "-ERR no\r\n"}},
         {1}},
    };
    Open();
    for (const auto& row : rows) {
        for (const bool pipelining : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (pipelining ? ", pipelined" : ", lock-step"));
            MailboxOptions opt;
            opt.Overrides = row.overrides;
            opt.Pipelining = pipelining;
            FakePop3Server srv(msgs, opt);
            ConnectTo(srv.PortText());
            const QStringList before = Rows();
            ASSERT_EQ(before.size(), 5);
            Mark(row.marked);
            Click(form->BtnDelete);
            EXPECT_EQ(std::count(sent.begin(), sent.end(), "QUIT"), 0) << testing::PrintToString(sent);
            EXPECT_TRUE(StatusText().contains(Q("The server's replies are out of step with the commands; "
                                                "nothing was deleted.")))
                << StatusText().toStdString();
            EXPECT_TRUE(StatusText().contains(Q("The marked mails were not deleted.")));
            EXPECT_EQ(Rows(), before);
            EXPECT_EQ(Panel(0), Q("5 Mails"));
            EXPECT_EQ(srv.Remaining(), msgs);
            ExpectMode(0);
        }
    }
}

TEST_F(WorkflowTest, ALoginIsRememberedLastAndTheOldestOfElevenIsDropped) {
    Store(Pairs(10), true);
    FakePop3Server srv(Strings{});
    Open();
    ConnectTo(srv.PortText());
    QStringList servers = Items(form->servername), users = Items(form->Username);
    ASSERT_EQ(servers.size(), 10);
    EXPECT_EQ(servers.front(), QStringLiteral("pop2.example"));
    EXPECT_EQ(servers.back(), Q(("127.0.0.1:" + srv.PortText()).c_str()));
    EXPECT_EQ(users.back(), QStringLiteral("test"));
    // The same pair again moves to the end instead of being added twice.
    ConnectTo(srv.PortText());
    EXPECT_EQ(Items(form->servername), servers);
    EXPECT_EQ(Items(form->Username), users);
    // Closing stores the pairs as they now stand.
    form->close();
    EXPECT_EQ(Stored(QStringLiteral("Server1")).toString(), QStringLiteral("pop2.example"));
    EXPECT_EQ(Stored(QStringLiteral("User10")).toString(), QStringLiteral("test"));
}

TEST_F(WorkflowTest, MessageViewerShowsTheTextAndBothAttachmentsAndARefusalNoStaleMessage) {
    Strings msgs = FiveMessages();
    msgs[1] = TwoAttachments();
    MailboxOptions opt;
    opt.Overrides["RETR 3"] = "-ERR Message is locked.\r\n";
    FakePop3Server srv(msgs, opt);
    Open();
    ConnectTo(srv.PortText());
    Mark({2});
    bool barHidden = false;
    const Shown shown = ShownIn(Form3, [&] { Click(form->btnmail); }, [&] {
        barHidden = !form->ProgressBar->isVisible();
        // Locked while the message arrived, usable again once it is shown.
        EXPECT_TRUE(form->BtnDelete->isEnabled());
    });
    EXPECT_EQ(sent, (Strings{"LIST 2", "RETR 2"}));
    EXPECT_TRUE(shown.text.contains(QStringLiteral("Here are the files."))) << shown.text.toStdString();
    EXPECT_EQ(shown.attachments, kTwoAttachments);
    EXPECT_TRUE(barHidden);
    ExpectMode(2);
    // Closing the window released the message.
    EXPECT_EQ(form->CurrentMsg, nullptr);
    EXPECT_EQ(form->pop3.OwnedMessages(), 0u);

    // No window may open now: a modal one would block this click.
    Mark({3});
    Click(form->btnmail);
    EXPECT_EQ(sent, (Strings{"LIST 3", "RETR 3"}));
    EXPECT_EQ(form->CurrentMsg, nullptr);
    EXPECT_EQ(StatusText(), QStringLiteral("\rError: Message is locked.\rYour connection has been terminated."));
    EXPECT_FALSE(form->ProgressBar->isVisible() || form->btnmail->isEnabled());
    ExpectMode(0);
}

} // namespace

// The same path against a real server: rows, two attachments, DELE 4 and 2 really done.
// Against Dovecot in plain text, over implicit TLS and over STARTTLS the
// whole workflow runs alike: list, view a message with attachments, delete two.
TEST_F(WorkflowTest, DovecotListsShowsTwoAttachmentsAndDeletesTwoAndFour) {
    DovecotServer& plain = DovecotServer::Shared();
    DovecotServer& secure = DovecotServer::SharedTls();
    SWEEPBOX_REQUIRE_DOVECOT(plain);
    SWEEPBOX_REQUIRE_DOVECOT(secure);
    const struct {
        const char* security;
        DovecotServer& dovecot;
        std::string port;
        Strings handshake;
    } rows[] = {
        {"none", plain, plain.PortText(), {}},
        {"tls", secure, secure.TlsPortText(), {}},
        {"starttls", secure, secure.PortText(), {"CAPA", "STLS", "CAPA"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.security);
        Strings msgs = FiveMessages();
        msgs.push_back(TwoAttachments());
        row.dovecot.SetMessages(msgs);
        sent.clear();
        Open();
        form->TrustFile = QString::fromStdString(sweepbox::test::TestPki::Shared().CaFile());
        ConnectTo(row.port, QString::fromLatin1(DovecotServer::Password), Q(row.security));
        const QStringList expected =
            FiveRows(msgs) << Q((" 6 |" + std::to_string(msgs[5].size()) +
                                 " Byte |06 Mar 2000|Anna|Two files|").c_str());
        EXPECT_EQ(Rows(), expected) << StatusText().toStdString() << row.dovecot.Log();
        // Dovecot offers SASL PLAIN; the CAPA that tells so comes with the
        // handshake where STARTTLS asked it already.
        Strings start = row.handshake;
        if (start.empty())
            start.push_back("CAPA");
        start.push_back("AUTH PLAIN AHRlc3QAc2VjcmV0");
        EXPECT_EQ(Strings(sent.begin(), sent.begin() + std::min(sent.size(), start.size())), start);
        EXPECT_EQ(form->pop3.Secured(), row.dovecot.TlsPort() != 0);

        Mark({6});
        const Shown shown = ShownIn(Form3, [&] { Click(form->btnmail); });
        EXPECT_TRUE(shown.text.contains(QStringLiteral("Here are the files."))) << shown.text.toStdString();
        EXPECT_EQ(shown.attachments, kTwoAttachments);
        Mark({2, 4});
        Click(form->BtnDelete);
        EXPECT_EQ(sent, (Strings{"DELE 4", "DELE 2", "STAT", "QUIT"}));
        EXPECT_EQ(row.dovecot.Messages(), (Strings{msgs[0], msgs[2], msgs[4], msgs[5]}));
        // The pair is remembered with its security.
        EXPECT_EQ(form->servername->itemData(form->servername->count() - 1).toString(), Q(row.security));
        sweepbox::DestroyApplicationWindows();
    }
}

// ------------------------------------------------------------ secure connections

// A certificate nobody vouches for: the window shows it; Cancel sends
// nothing, Trust pins it and the connection goes on, and the next connection
// asks nothing. Another certificate behind the pin is shown as changed.
TEST_F(WorkflowTest, UnverifiedCertificateIsShownTrustedOnceAndAChangedOneAskedAgain) {
    const sweepbox::test::TestPki& pki = sweepbox::test::TestPki::Shared();
    DovecotServer dovecot(FiveMessages(), {true, sweepbox::test::TestCert::Valid});
    SWEEPBOX_REQUIRE_DOVECOT(dovecot);
    const QString key = QStringLiteral("Certificates/127.0.0.1:") + Q(dovecot.TlsPortText().c_str());
    int asked = 0;
    bool trust = false;
    QStringList seen;
    const sweepbox::TModalHook before = sweepbox::SetModalHook([&](QDialog& dialog) {
        ++asked;
        for (const char* name : {"Headline", "Reason", "Subject", "Issuer", "ValidUntil", "Fingerprint"})
            seen << dialog.findChild<QLabel*>(Q(name))->text();
        QTest::mouseClick(dialog.findChild<QPushButton*>(trust ? Q("BtnTrust") : Q("BtnCancel")), Qt::LeftButton);
    });
    Open();
    ConnectTo(dovecot.TlsPortText(), QStringLiteral("secret"), QStringLiteral("tls"));
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(StatusText(), Q("\rError: the server's certificate was not trusted. Nothing was sent."));
    EXPECT_FALSE(Stored(key).isValid());
    ExpectMode(0);
    ASSERT_EQ(seen.size(), 6);
    EXPECT_TRUE(seen[0].contains(Q("127.0.0.1:") + Q(dovecot.TlsPortText().c_str())));
    EXPECT_TRUE(seen[1].contains(Q("untrusted issuer"))) << seen[1].toStdString();
    EXPECT_EQ(seen[2], Q("CN=localhost"));
    EXPECT_EQ(seen[3], Q("CN=Sweepbox Test CA"));
    EXPECT_TRUE(seen[4].endsWith(Q("UTC")));
    EXPECT_EQ(seen[5].remove(QLatin1Char(':')).remove(QLatin1Char('\n')),
              Q(pki.Fingerprint(sweepbox::test::TestCert::Valid).substr(7).c_str()));

    trust = true;
    ConnectTo(dovecot.TlsPortText(), QStringLiteral("secret"), QStringLiteral("tls"));
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(Stored(key).toString(), Q(pki.Fingerprint(sweepbox::test::TestCert::Valid).c_str()));
    EXPECT_EQ(Rows().size(), 5) << StatusText().toStdString();
    Click(form->BtnDisconnect);

    ConnectTo(dovecot.TlsPortText(), QStringLiteral("secret"), QStringLiteral("tls"));
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(Rows().size(), 5) << StatusText().toStdString();
    Click(form->BtnDisconnect);

    // The server now shows another certificate: asked again, as changed.
    ASSERT_TRUE(dovecot.Restart(sweepbox::test::TestCert::OtherKey)) << dovecot.SkipReason();
    seen.clear();
    trust = false;
    sent.clear();
    ConnectTo(dovecot.TlsPortText(), QStringLiteral("secret"), QStringLiteral("tls"));
    EXPECT_EQ(asked, 3);
    ASSERT_FALSE(seen.isEmpty());
    EXPECT_TRUE(seen[0].contains(Q("has changed"))) << seen[0].toStdString();
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(Stored(key).toString(), Q(pki.Fingerprint(sweepbox::test::TestCert::Valid).c_str()));
    sweepbox::SetModalHook(before);
}

// The same certificate on the host's STARTTLS port once it is trusted on its
// TLS port: not asked about again. Another one there is asked about as new
// to that port, not as changed.
TEST_F(WorkflowTest, ACertificateTrustedOnTheTlsPortIsTrustedForStartTls) {
    const sweepbox::test::TestPki& pki = sweepbox::test::TestPki::Shared();
    DovecotServer dovecot(FiveMessages(), {true, sweepbox::test::TestCert::Valid});
    SWEEPBOX_REQUIRE_DOVECOT(dovecot);
    const QString tlsKey = QStringLiteral("Certificates/127.0.0.1:") + Q(dovecot.TlsPortText().c_str());
    int asked = 0;
    QString headline;
    const sweepbox::TModalHook before = sweepbox::SetModalHook([&](QDialog& dialog) {
        ++asked;
        headline = dialog.findChild<QLabel*>(Q("Headline"))->text();
        QTest::mouseClick(dialog.findChild<QPushButton*>(Q("BtnCancel")), Qt::LeftButton);
    });
    Store({{tlsKey, Q(pki.Fingerprint(sweepbox::test::TestCert::Valid).c_str())}});
    Open();
    ConnectTo(dovecot.PortText(), QStringLiteral("secret"), QStringLiteral("starttls"));
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(Rows().size(), 5) << StatusText().toStdString();
    Click(form->BtnDisconnect);
    // The pin stays where the user set it.
    EXPECT_FALSE(Stored(QStringLiteral("Certificates/127.0.0.1:") + Q(dovecot.PortText().c_str())).isValid());

    Store({{tlsKey, Q(pki.Fingerprint(sweepbox::test::TestCert::OtherKey).c_str())}});
    sent.clear();
    ConnectTo(dovecot.PortText(), QStringLiteral("secret"), QStringLiteral("starttls"));
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(headline.contains(Q("cannot be verified"))) << headline.toStdString();
    for (const std::string& line : sent)
        EXPECT_TRUE(line.rfind("USER", 0) != 0 && line.rfind("AUTH", 0) != 0) << line;
    sweepbox::SetModalHook(before);
}

// Each common mistake ends at once with what to do, and no password leaves.
TEST_F(WorkflowTest, SecurityMistakesEndWithAClearErrorAndNoLogin) {
    DovecotServer& dovecot = DovecotServer::SharedTls();
    FakePop3Server plain(FiveMessages());
    MailboxOptions wantsTls;
    wantsTls.Overrides["USER test"] =
        "-ERR [PRIVACY] Plaintext authentication disallowed on non-secure (SSL/TLS) connections.\r\n";
    FakePop3Server privacy(FiveMessages(), wantsTls);
    const struct {
        const char* name;
        FakePop3Server* fake; // else the TLS Dovecot: its implicit port, or with Dovecot's STARTTLS port
        bool startTlsPort;
        const char* security;
        const char* host;
        QString status;
        Strings sent;
    } rows[] = {
        {"TLS against a plain server", &plain, false, "tls", "127.0.0.1",
         Q("\rError: the server answers in plain text, not with TLS."
           "\r     - Choose STARTTLS or Unencrypted, or the TLS port (server:995)."),
         {}},
        {"STARTTLS without STLS", &plain, false, "starttls", "127.0.0.1",
         Q("\rError: the server does not offer STARTTLS. User name and password were not sent."
           "\r     - Choose TLS if the server offers it (port 995)."),
         {"CAPA"}},
        {"a server that wants TLS", &privacy, false, "none", "127.0.0.1",
         Q("\rError: [PRIVACY] Plaintext authentication disallowed on non-secure (SSL/TLS) connections."
           "\rHint: the server requires a secure connection: choose TLS or STARTTLS."
           "\rYour connection has been terminated."),
         {"CAPA", "USER test"}},
        {"plain text against a TLS port", nullptr, false, "none", "127.0.0.1",
         Q("\rError: the server sent no greeting.\r     - It probably expects TLS from the start: choose TLS."), {}},
        {"STARTTLS against a TLS port", nullptr, false, "starttls", "127.0.0.1",
         Q("\rError: the server sent no greeting.\r     - It probably expects TLS from the start: choose TLS."), {}},
        // Dovecot counts a client on its own address as secured; 127.0.0.2 is not.
        {"Dovecot refusing a plain login", nullptr, true, "none", "127.0.0.2",
         Q("\rError: [AUTH] Plaintext authentication disallowed on non-secure (SSL/TLS) connections."
           "\rHint: the server requires a secure connection: choose TLS or STARTTLS."
           "\rYour connection has been terminated."),
         {"CAPA", "USER test"}},
    };
    Open();
    form->pop3.GreetingLimitMs = 1500;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.fake && !dovecot.Running())
            continue;
        sent.clear();
        ConnectTo(row.fake ? row.fake->PortText() : row.startTlsPort ? dovecot.PortText() : dovecot.TlsPortText(),
                  QStringLiteral("secret"),
                  Q(row.security), Q(row.host));
        EXPECT_EQ(StatusText(), row.status);
        EXPECT_EQ(sent, row.sent);
        EXPECT_TRUE(Rows().isEmpty());
        ExpectMode(0);
    }
}

// ------------------------------------------------------------ sorting

// A click on a column header sorts, a second reverses; marking and deleting
// then act on the messages the chosen rows show, never on row positions.
TEST_F(WorkflowTest, SortedListDeletesTheMessagesItsRowsShow) {
    DovecotServer& dovecot = DovecotServer::Shared();
    SWEEPBOX_REQUIRE_DOVECOT(dovecot);
    Strings all = FiveMessages();
    all.push_back(TwoAttachments());
    const struct {
        const char* name;
        int column;
        int clicks;
        std::vector<int> order; // message numbers top to bottom
    } rows[] = {
        {"size, biggest first", 1, 2, {5, 6, 1, 2, 4, 3}},
        // 3 was written in New York an hour before midnight: the next day in UTC.
        {"date, oldest first", 2, 1, {3, 1, 6, 2, 4, 5}},
        {"sender, A to Z", 3, 1, {3, 6, 4, 5, 2, 1}},
        {"subject, Z to A", 4, 2, {6, 5, 3, 1, 2, 4}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        dovecot.SetMessages(all);
        sent.clear();
        Open();
        ConnectTo(dovecot.PortText(), QString::fromLatin1(DovecotServer::Password));
        ASSERT_EQ(Rows().size(), 6) << StatusText().toStdString();
        QHeaderView* header = form->mail_list->header();
        for (int i = 0; i < row.clicks; ++i) {
            const QPoint at(header->sectionViewportPosition(row.column) + header->sectionSize(row.column) / 2,
                            header->height() / 2);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        }
        std::vector<int> order;
        for (int i = 1; i < form->mail_list->count(); ++i)
            order.push_back(NumberShown(i));
        EXPECT_EQ(order, row.order);
        EXPECT_TRUE(header->isSortIndicatorShown());
        EXPECT_EQ(header->sortIndicatorSection(), row.column);
        EXPECT_EQ(header->sortIndicatorOrder(), row.clicks == 2 ? Qt::DescendingOrder : Qt::AscendingOrder);
        // The message window shows the message of the row, not of its position.
        const char* bodies[] = {"See you at ten.", "Body", "No subject here.", "Hallo.", "xxxxxxxx", "Here are the files."};
        Mark({1});
        const Shown viewed = ShownIn(Form3, [&] { Click(form->btnmail); });
        EXPECT_TRUE(viewed.text.contains(Q(bodies[row.order[0] - 1]))) << viewed.text.left(200).toStdString();

        Mark({1, 2});
        Click(form->BtnDelete);
        const int first = std::max(row.order[0], row.order[1]), second = std::min(row.order[0], row.order[1]);
        EXPECT_EQ(sent,
                  (Strings{"DELE " + std::to_string(first), "DELE " + std::to_string(second), "STAT", "QUIT"}));
        Strings left;
        for (int n = 1; n <= 6; ++n)
            if (n != first && n != second)
                left.push_back(all[static_cast<size_t>(n - 1)]);
        EXPECT_EQ(dovecot.Messages(), left);
        // The rows left keep their order.
        EXPECT_EQ(Rows().size(), 4);
        EXPECT_EQ(NumberShown(1), row.order[2]);

        // The choice is remembered: the next window starts sorted the same way.
        sweepbox::DestroyApplicationWindows();
        Open();
        EXPECT_EQ(form->SortColumn, row.column);
        EXPECT_EQ(form->SortDescending, row.clicks == 2);
        EXPECT_EQ(form->mail_list->header()->sortIndicatorSection(), row.column);
        sweepbox::DestroyApplicationWindows();
        Store({{Q("SortColumn"), Q("-1")}});
    }
}

// ------------------------------------------------------ cancel and close

// A retrieval offers Cancel; pressed while the message arrives, no message
// window opens and the session ends without a command sent into the reply.
// A close while a message arrives ends the program's work at once as well.
TEST_F(WorkflowTest, ARetrievalCanBeCancelledOrClosedWhileItArrives) {
    const std::string big = "From: a@example.org\r\nSubject: big\r\n\r\n" + std::string(4 << 20, 'x') + "\r\n";
    for (const bool close : {false, true}) {
        SCOPED_TRACE(close ? "close" : "cancel");
        MailboxOptions opt;
        opt.ChunkSize = 4096;
        FakePop3Server srv({big, "From: b\r\nSubject: small\r\n\r\nx\r\n"}, opt);
        Open();
        ConnectTo(srv.PortText());
        ASSERT_EQ(Rows().size(), 2);
        Mark({1});
        bool shown = false;
        new ShowWatcher(Form3, [&] {
            shown = true;
            Form3->btn_close->click();
        });
        OnCommand("RETR 1", [&] {
            EXPECT_TRUE(form->btn_cancel->isVisible());
            if (close)
                form->close();
            else
                Click(form->btn_cancel);
        });
        Click(form->btnmail);
        EXPECT_FALSE(shown);
        EXPECT_FALSE(form->pop3.Connected());
        EXPECT_EQ(form->Session.State(), TSessionState::Idle);
        EXPECT_EQ(sent.back(), "RETR 1");
        if (!close)
            ExpectMode(0);
        sweepbox::DestroyApplicationWindows();
    }
}

// A message above the ceiling: the box tells its size and the limit in
// words; Save asks for a file in the last save folder with a proposed name
// and writes the message there, Cancel sends nothing more. Either way the
// window stays connected.
TEST_F(WorkflowTest, TooLargeMessageIsOfferedForSavingInstead) {
    const std::string big = "From: a@example.org\r\nSubject: big\r\n\r\n" + std::string(3 << 20, 'x') + "\r\n.\r\n";
    for (const bool accept : {true, false}) {
        SCOPED_TRACE(accept ? "save" : "cancel");
        FakePop3Server srv({"From: b\r\nSubject: small\r\n\r\nx\r\n", big});
        Open();
        form->pop3.OpenCeiling = 1 << 20;
        ConnectTo(srv.PortText());
        ASSERT_EQ(Rows().size(), 2);
        Mark({2});
        QString text, proposed, folder;
        const sweepbox::TModalHook before = sweepbox::SetModalHook([&](QDialog& dialog) {
            ASSERT_EQ(dialog.objectName(), Q("large_message_box"));
            text = dialog.findChild<QLabel*>(Q("qt_msgbox_label"))->text();
            QTest::mouseClick(dialog.findChild<QPushButton*>(accept ? Q("BtnSave") : Q("BtnCancel")), Qt::LeftButton);
        });
        const QString target = scratch.filePath(accept ? Q("saved.eml") : Q("declined.eml"));
        Form3->ExecuteSaveDialog = [&](TSaveDialog& d) {
            proposed = d.FileName;
            folder = d.Folder;
            d.FileName = target;
            return true;
        };
        Click(form->btnmail);
        sweepbox::SetModalHook(before);
        EXPECT_EQ(text, Q("Message 2 is 3 MB, too large to open on this computer (at most 1 MB).\n\n"
                          "Save it to a file instead?"));
        EXPECT_EQ(form->Session.State(), TSessionState::Connected);
        ExpectMode(2);
        if (accept) {
            EXPECT_EQ(proposed, Q("message-2.eml"));
            EXPECT_EQ(folder, QDir::homePath());
            EXPECT_EQ(sent, (Strings{"LIST 2", "LIST 2", "RETR 2"}));
            QFile saved(target);
            ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
            EXPECT_EQ(saved.readAll().toStdString(), big);
            EXPECT_THAT(StatusText().toStdString(),
                        EndsWith("Message 2 was saved to " + target.toStdString() + " (3,145,770 bytes)."));
        } else {
            EXPECT_TRUE(proposed.isEmpty());
            EXPECT_EQ(sent, Strings{"LIST 2"});
            EXPECT_FALSE(QFile::exists(target));
            EXPECT_THAT(StatusText().toStdString(), EndsWith("Message 2 was not saved."));
        }
        sweepbox::DestroyApplicationWindows();
    }
}

// The preview from the context menu and with Space: the start of a 200 MB
// message for a few kilobytes from the server, an HTML-only message as text,
// one window reused, closed with Escape; Ctrl+Space still only marks.
TEST_F(WorkflowTest, PreviewShowsTheStartOfAHugeAndOfAnHtmlOnlyMessage) {
    Strings msgs = FiveMessages();
    msgs[2] = "From: Anna <anna@example.com>\r\nSubject: Newsletter\r\nDate: Wed, 1 Mar 2000 23:59:59 -0500\r\n"
              "Content-Type: text/html; charset=utf-8\r\n\r\n<html><body><h1>Hallo</h1>\r\n"
              "<p>Erste &amp; <b>zweite</b> Zeile</p></body></html>\r\n";
    msgs[4] = "From: big@example.org\r\nSubject: Huge\r\nDate: Fri, 31 Mar 2000 07:07:07 +0000\r\n\r\n"
              "The first line.\r\n";
    MailboxOptions opt;
    opt.GrowLastTo = uint64_t{200} << 20;
    FakePop3Server srv(msgs, opt);
    Open();
    ConnectTo(srv.PortText());
    Mark({3, 5});
    EXPECT_FALSE(form->men_preview->isEnabled()) << "two rows marked";
    Mark({5});
    ASSERT_TRUE(form->men_preview->isEnabled());
    const QList<QAction*> entries = form->popmen_header->actions();
    EXPECT_EQ(entries.indexOf(form->men_preview), entries.indexOf(form->men_header_anzeigen) + 1);

    const uint64_t before = srv.BytesSent();
    form->men_preview->trigger();
    EXPECT_EQ(sent, (Strings{"TOP 5 40"}));
    EXPECT_LT(srv.BytesSent() - before, 8192u);
    ASSERT_TRUE(PreviewWindow.Made());
    TPreviewWindow* const window = PreviewWindow;
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isModal());
    EXPECT_EQ(window->objectName(), QStringLiteral("Preview"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Preview: Huge"));
    const QStringList lines = window->memo_preview->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), TPreviewWindow::kLines);
    EXPECT_EQ(lines.front(), QStringLiteral("The first line."));
    EXPECT_TRUE(window->memo_preview->isReadOnly());
    EXPECT_EQ(form->pop3.OwnedMessages(), 0u);
    ExpectMode(2);

    // Space on another row: it becomes the one selected, as before, and its
    // preview replaces the first in the same window.
    ClickRow(3);
    sent.clear();
    QTest::keyClick(form->mail_list, Qt::Key_Space);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sent.empty(); }));
    EXPECT_EQ(sent, (Strings{"TOP 3 40"}));
    EXPECT_EQ(PreviewWindow.get(), window);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Preview: Newsletter"));
    EXPECT_EQ(window->memo_preview->toPlainText(), QStringLiteral("Hallo\n=====\n\nErste & zweite Zeile"));

    // Ctrl+Space toggles the mark and asks nothing.
    sent.clear();
    QTest::keyClick(form->mail_list, Qt::Key_Space, Qt::ControlModifier);
    QCoreApplication::processEvents();
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(form->mail_list->isSelected(3));

    QTest::keyClick(window->memo_preview, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
}

// In German: the entry, the title and the hint while the start arrives; a
// refused TOP ends the connection with the server's reason.
TEST_F(WorkflowTest, PreviewInGermanAndARefusal) {
    MailboxOptions opt;
    opt.Overrides["TOP 2 40"] = "-ERR Message is locked.\r\n";
    FakePop3Server srv(FiveMessages(), opt);
    Open(/*german=*/true);
    ConnectTo(srv.PortText());
    EXPECT_EQ(form->men_preview->text(), QStringLiteral("Vorschau"));
    Mark({1});
    QString hint;
    OnCommand("TOP 1 40", [&] { hint = Panel(2); });
    form->men_preview->trigger();
    EXPECT_EQ(hint, QStringLiteral("Vorschau der Mail Nr.: 1"));
    EXPECT_EQ(PreviewWindow->windowTitle(), QStringLiteral("Vorschau: Meeting"));
    EXPECT_EQ(PreviewWindow->memo_preview->toPlainText(), QStringLiteral("See you at ten."));
    PreviewWindow->close();

    Mark({2});
    form->men_preview->trigger();
    EXPECT_EQ(sent, (Strings{"TOP 2 40"}));
    EXPECT_TRUE(StatusText().contains(QStringLiteral("Message is locked."))) << StatusText().toStdString();
    ExpectMode(0);
}

// ------------------------------------------------------------ header cache

// A message that arrived since the last connect: its row alone is bold, the
// count panel says so, and a screen reader hears "new" with its cells; the
// first connect marks nothing.
TEST_F(WorkflowTest, NewRowsAreBoldCountedAndNamedNew) {
    DovecotServer dovecot(FiveMessages());
    SWEEPBOX_REQUIRE_DOVECOT(dovecot);
    Open();
    form->Session.CacheFolder = scratch.filePath(QStringLiteral("cache"));
    form->resize(900, 400);
    form->show();
    ConnectTo(dovecot.PortText());
    ASSERT_EQ(Rows().size(), 5);
    for (int row = 1; row <= 5; ++row)
        EXPECT_FALSE(form->mail_list->isEmphasized(row)) << row;
    EXPECT_EQ(Panel(0), QStringLiteral("5 Mails"));
    Click(form->BtnDisconnect);

    dovecot.AddMessage(TwoAttachments());
    sent.clear();
    ConnectTo(dovecot.PortText());
    ASSERT_EQ(Rows().size(), 6);
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const std::string& c) { return c.rfind("TOP ", 0) == 0; }),
              1);
    for (int row = 1; row <= 6; ++row)
        EXPECT_EQ(form->mail_list->isEmphasized(row), row == 6) << row;
    EXPECT_EQ(Panel(0), QStringLiteral("6 Mails, 1 new"));
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(form->mail_list);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->tableInterface(), nullptr);
    for (int column = 0; column < 5; ++column) {
        EXPECT_EQ(list->tableInterface()->cellAt(5, column)->text(QAccessible::Description), QStringLiteral("new"));
        EXPECT_EQ(list->tableInterface()->cellAt(4, column)->text(QAccessible::Description), QString());
    }
    EXPECT_EQ(list->tableInterface()->rowDescription(5), QStringLiteral("new"));
    // Sorting keeps the mark with its message.
    emit form->mail_list->header()->sectionClicked(1);
    QApplication::processEvents();
    for (int row = 1; row <= 6; ++row)
        EXPECT_EQ(form->mail_list->isEmphasized(row), form->mail_list->item(row).startsWith(QStringLiteral(" 6 |"))) << row;
    if (const QByteArray shot = qgetenv("SWEEPBOX_SHOT"); !shot.isEmpty())
        form->grab().save(QString::fromLocal8Bit(shot));
    Click(form->BtnDisconnect);
}
