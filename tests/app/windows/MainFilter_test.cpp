// The quick filter above the message list, driven through the real main
// window: which rows does typing leave, what do Mark all and Delete act on,
// what does the count panel say, and what does a screen reader see?
#include "app/windows/MainFixture.h"

#include "ui/MultiLst.h"
#include "support/DovecotServer.h"
#include "support/FakePop3Server.h"

#include <QAccessible>
#include <QLineEdit>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

namespace {

using sweepbox::test::DovecotServer;
using sweepbox::test::FakePop3Server;
using sweepbox::test::Q;
using Strings = std::vector<std::string>;

// Senders and subjects to tell apart by case and accents only.
Strings SixMessages() {
    auto message = [](const std::string& from, const std::string& subject) {
        return "From: " + from + "\r\nSubject: " + subject + "\r\nDate: Mon, 6 Mar 2000 10:22:33 +0100\r\n\r\nBody\r\n";
    };
    return {
        message("Support Desk <support@example.org>", "Meeting"),
        message("news@example.net", "=?ISO-8859-1?Q?Gr=FC=DFe?="),
        message("Anna <anna@example.com>", "Invoice"),
        message("J\xc3\xbcrgen <j@example.de>", "Gr\xc3\xb6\xc3\x9f" "e aus K\xc3\xb6ln"),
        message("=?UTF-8?Q?Ren=C3=A9e?= <r@example.fr>", "CAF\xc3\x89 ANNAPOLIS"),
        message("ANNA <anna@example.com>", "Re: Invoice"),
    };
}

class QuickFilterTest : public sweepbox::test::MainTest {
  protected:
    void TearDown() override {
        EXPECT_TRUE(messages.empty()) << "message box: " << (messages.empty() ? "" : messages.front().toStdString());
        sweepbox::test::MainTest::TearDown();
    }

    void Open(bool german = false) {
        form = StartIn(german);
        // The window's events are seen at every command, so a key typed while
        // the listing runs lands between two replies.
        form->Session.PumpIntervalMs = 0;
        form->pop3.OnSendTextToSocket = [this](kel::TObject*, const std::string& s) {
            sent.push_back(s.substr(0, s.size() - 2));
            if (sent.back() == typeAt)
                QTimer::singleShot(0, form, [this] { Type(typeThen); });
        };
    }
    void Connect(const std::string& port) {
        form->servername->setEditText(Q(("127.0.0.1:" + port).c_str()));
        form->Username->setEditText(QStringLiteral("test"));
        form->Password->setText(QString::fromLatin1(DovecotServer::Password));
        form->SetSecurityValue(sweepbox::TSecurity::None);
        QTest::mouseClick(form->BtnConnect, Qt::LeftButton);
        ASSERT_EQ(form->Session.State(), TSessionState::Connected) << form->Status->Text().toStdString();
    }
    // Replaces the filter's text as typed keys would.
    void Type(const QString& text) {
        form->QuickFilter->clear();
        QTest::keyClicks(form->QuickFilter, text);
    }
    // The message numbers of the shown rows, top to bottom.
    std::vector<int> Shown() const {
        std::vector<int> numbers;
        const TMultiList* list = form->mail_list;
        for (int position = 0; position < list->shownCount(); ++position)
            numbers.push_back(list->item(list->shownRow(position)).section(QLatin1Char('|'), 0, 0).trimmed().toInt());
        return numbers;
    }
    std::vector<int> Marked() const {
        std::vector<int> numbers;
        for (int i = 1; i < form->mail_list->count(); ++i)
            if (form->mail_list->isSelected(i))
                numbers.push_back(form->mail_list->item(i).section(QLatin1Char('|'), 0, 0).trimmed().toInt());
        return numbers;
    }
    QString Count() const { return form->Status_leiste->PanelText(0); }

    TForm1* form = nullptr;
    Strings sent;
    std::string typeAt; // the command after which typeThen is typed
    QString typeThen;
};

TEST_F(QuickFilterTest, TypingShowsTheRowsWhoseSenderOrSubjectHoldsItAsideFromCaseAndAccents) {
    FakePop3Server server(SixMessages());
    const struct {
        const char* typed; // UTF-8
        std::vector<int> shown;
    } rows[] = {
        {"MEETING", {1}},
        {"grusse", {2}},            // "Grüße", encoded in Latin-1
        {"  KÖLN ", {4}},           // blanks around do not count
        {"jurgen", {4}},            // "Jürgen", raw UTF-8
        {"renee", {5}},             // "Renée", an encoded word
        {"cafe", {5}},
        {"anna", {3, 5, 6}},        // the sender of 3 and 6, the subject of 5
        {"example", {2}},           // the address shows only where there is no name
        {"zzz", {}},
        {"", {1, 2, 3, 4, 5, 6}},
    };
    for (const bool german : {false, true}) {
        SCOPED_TRACE(german ? "German" : "English");
        Open(german);
        Connect(server.PortText());
        EXPECT_EQ(Count(), QStringLiteral("6 Mails"));
        EXPECT_TRUE(form->QuickFilter->isVisible());
        EXPECT_FALSE(form->QuickFilter->placeholderText().isEmpty());
        for (const auto& row : rows) {
            SCOPED_TRACE(row.typed);
            Type(Q(row.typed));
            EXPECT_EQ(Shown(), row.shown);
            if (Q(row.typed).trimmed().isEmpty())
                EXPECT_EQ(Count(), QStringLiteral("6 Mails"));
            else
                EXPECT_EQ(Count(), Q(german ? "%1 von 6 Mails" : "%1 of 6 Mails").arg(row.shown.size()));
        }
        sweepbox::DestroyApplicationWindows();
    }
}

// A screen reader reads the rows shown, no more, and hears of each change.
TEST_F(QuickFilterTest, AScreenReaderSeesOnlyTheShownRows) {
    FakePop3Server server(SixMessages());
    Open();
    Connect(server.PortText());
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(form->mail_list);
    ASSERT_NE(iface, nullptr);
    QAccessibleTableInterface* table = iface->tableInterface();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rowCount(), 6);
    Type(QStringLiteral("anna"));
    ASSERT_EQ(table->rowCount(), 3);
    const QStringList senders = {table->cellAt(0, 3)->text(QAccessible::Name),
                                 table->cellAt(1, 3)->text(QAccessible::Name),
                                 table->cellAt(2, 3)->text(QAccessible::Name)};
    EXPECT_EQ(senders, (QStringList{QStringLiteral("Anna"), Q("Renée"), QStringLiteral("ANNA")}));
    EXPECT_EQ(table->cellAt(3, 3), nullptr);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(form->QuickFilter)->text(QAccessible::Name),
              QStringLiteral("Filter by sender or subject"));
}

// Ctrl+F reaches the field from anywhere in the window; Escape there clears it
// and goes back to the list, with every row shown again.
TEST_F(QuickFilterTest, CtrlFFocusesTheFieldAndEscapeClearsItAndReturnsToTheList) {
    FakePop3Server server(SixMessages());
    Open();
    Connect(server.PortText());
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    form->mail_list->setFocus();
    QTest::keyClick(form->mail_list, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(form->QuickFilter->hasFocus());
    QTest::keyClicks(form->QuickFilter, QStringLiteral("invoice"));
    EXPECT_EQ(Shown(), (std::vector<int>{3, 6}));
    QTest::keyClick(form->QuickFilter, Qt::Key_Escape);
    EXPECT_TRUE(form->QuickFilter->text().isEmpty());
    EXPECT_TRUE(form->mail_list->hasFocus());
    EXPECT_EQ(Shown().size(), 6u);
    EXPECT_EQ(Count(), QStringLiteral("6 Mails"));
}

// Rows that arrive while a filter is typed are filtered as they come; those
// it hides are never marked, so Mark all and Delete act on the rows in
// sight, and Dovecot loses exactly their messages.
TEST_F(QuickFilterTest, MarkAllAndDeleteActOnTheShownRowsOnlyAgainstDovecot) {
    DovecotServer& dovecot = DovecotServer::Shared();
    SWEEPBOX_REQUIRE_DOVECOT(dovecot);
    const Strings all = SixMessages();
    dovecot.SetMessages(all);
    Open();
    typeAt = "TOP 4 0"; // rows 1 to 3 are there, 4 to 6 still to come
    typeThen = QStringLiteral("ANNA");
    Connect(dovecot.PortText());
    EXPECT_EQ(form->QuickFilter->text(), QStringLiteral("ANNA"));
    EXPECT_EQ(Shown(), (std::vector<int>{3, 5, 6}));
    EXPECT_EQ(Count(), QStringLiteral("3 of 6 Mails"));

    // A marked row the filter then hides loses its mark, in plain sight.
    Type(QString());
    QTest::mouseClick(form->mail_list->viewport(), Qt::LeftButton, Qt::NoModifier,
                      form->mail_list->itemRect(1).center());
    EXPECT_EQ(Marked(), (std::vector<int>{1}));
    Type(QStringLiteral("invoice"));
    EXPECT_EQ(Marked(), std::vector<int>{});
    EXPECT_EQ(form->mail_list->selectedCount(), 0);

    QTest::mouseClick(form->BtnMark, Qt::LeftButton);
    EXPECT_EQ(Marked(), (std::vector<int>{3, 6}));
    sent.clear();
    QTest::mouseClick(form->BtnDelete, Qt::LeftButton);
    EXPECT_EQ(sent, (Strings{"DELE 6", "DELE 3", "STAT", "QUIT"}));
    EXPECT_EQ(dovecot.Messages(), (Strings{all[0], all[1], all[3], all[4]}));
    EXPECT_EQ(Count(), QStringLiteral("0 of 4 Mails"));
    Type(QString());
    EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 4, 5}));
    EXPECT_EQ(Count(), QStringLiteral("4 Mails"));

    // The next listing numbers the messages anew (3 is Jürgen's now): what
    // the filter kept of the last one's senders and subjects is not used.
    typeAt.clear();
    Type(QStringLiteral("invoice"));
    Connect(dovecot.PortText());
    EXPECT_EQ(Shown(), std::vector<int>{});
    EXPECT_EQ(Count(), QStringLiteral("0 of 4 Mails"));
    Type(QStringLiteral("jurgen"));
    EXPECT_EQ(Shown(), std::vector<int>{3});
}

} // namespace
