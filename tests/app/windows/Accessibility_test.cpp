// What a screen reader and a keyboard user get of the windows: a name for
// every control, the fields reachable with Tab in reading order, and Qt's
// own texts in the interface language.
#include "app/windows/MainFixture.h"
#include "app/windows/Preview.h"

#include "app/windows/Certificate.h"
#include "app/windows/Header.h"
#include "ui/MultiLst.h"
#include "app/windows/email.h"
#include "support/AccessibleEventLog.h"
#include "support/FakePop3Server.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

namespace {

using namespace sweepbox::test;

// A widget the user works with: one that takes the focus, a button, or a
// progress or list display; not the inner parts of a compound control.
bool IsControl(QWidget* w) {
    if (qobject_cast<QScrollBar*>(w) || w->objectName().startsWith(QStringLiteral("qt_")))
        return false;
    for (QWidget* p = w->parentWidget(); p; p = p->parentWidget())
        if (qobject_cast<QComboBox*>(p) || qobject_cast<QAbstractScrollArea*>(p))
            return false;
    return w->focusPolicy() != Qt::NoFocus || qobject_cast<QAbstractButton*>(w) != nullptr;
}

// Controls of the window without an accessible name, as "class name".
QStringList Nameless(QWidget* window) {
    QStringList nameless;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!IsControl(w) || w->window() != window)
            continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        if (!a || a->text(QAccessible::Name).trimmed().isEmpty())
            nameless << QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(' ') + w->objectName();
    }
    return nameless;
}

class AccessibilityTest : public MainTest {};

TEST_F(AccessibilityTest, EveryControlHasANameInBothLanguages) {
    for (const bool german : {true, false}) {
        SCOPED_TRACE(german ? "German" : "English");
        TForm1* form = StartIn(german);
        EXPECT_EQ(Nameless(form), QStringList());
        // A field is named by its caption.
        EXPECT_EQ(QAccessible::queryAccessibleInterface(form->Password)->text(QAccessible::Name),
                  german ? Q("Passwort:") : Q("Password:"));
        // The other windows set their texts as they are shown.
        for (QDialog* window : std::initializer_list<QDialog*>{AboutBox, Form2, Form3, PreviewWindow}) {
            window->show();
            EXPECT_EQ(Nameless(window), QStringList()) << window->objectName().toStdString();
            window->hide();
        }
        kel::TCertificateInfo info;
        info.Problems = {kel::TCertProblem::SelfSigned};
        info.Subject = "CN=mail.example.org";
        TCertificateDialog dialog(info, QStringLiteral("mail.example.org:995"), Form1->Language, nullptr);
        EXPECT_EQ(Nameless(&dialog), QStringList());
        sweepbox::DestroyApplicationWindows();
    }
}

// From the server field, Tab walks the login fields in the order they read.
TEST_F(AccessibilityTest, TabWalksTheLoginFieldsInReadingOrder) {
    TForm1* form = StartIn(false);
    form->activateWindow();
    form->servername->setFocus();
    QStringList visited;
    for (int i = 0; i < 6; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* at = QApplication::focusWidget();
        // The editable boxes hand the focus to their line edit.
        while (at && at->objectName().isEmpty() && at->parentWidget())
            at = at->parentWidget();
        visited << (at ? at->objectName() : QString());
    }
    EXPECT_EQ(visited, (QStringList{QStringLiteral("Security"), QStringLiteral("Username"), QStringLiteral("Password"),
                                    QStringLiteral("Header_Nein"), QStringLiteral("SignIn"),
                                    QStringLiteral("RememberPassword")}));
}

// Connect, pick a message, reach its commands and delete it, all from the
// keyboard: Enter connects, the arrows select, the menu key opens the
// list's menu at the row, Delete deletes.
TEST_F(AccessibilityTest, TheWorkflowRunsFromTheKeyboardAlone) {
    sweepbox::test::FakePop3Server server(
        {"From: a@example.org\r\nSubject: one\r\n\r\nx\r\n", "From: b@example.org\r\nSubject: two\r\n\r\ny\r\n"});
    TForm1* form = StartIn(false);
    form->activateWindow();
    form->servername->setFocus();
    QTest::keyClicks(QApplication::focusWidget(),
                     QStringLiteral("127.0.0.1:") + QString::fromStdString(server.PortText()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("test"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("secret"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    ASSERT_EQ(form->mail_list->count(), 3) << form->Status->Text().toStdString();

    form->mail_list->setFocus();
    QTest::keyClick(form->mail_list, Qt::Key_Home);
    QTest::keyClick(form->mail_list, Qt::Key_Down);
    EXPECT_TRUE(form->mail_list->isSelected(2));
    EXPECT_TRUE(form->men_email_anzeigen->isEnabled());
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint());
    QApplication::sendEvent(form->mail_list, &menuKey);
    EXPECT_EQ(QApplication::activePopupWidget(), form->popmen_header);
    form->popmen_header->hide();

    QTest::keyClick(form->mail_list, Qt::Key_Delete);
    EXPECT_FALSE(form->pop3.Connected());
    EXPECT_EQ(server.Remaining().size(), 1u);
}

// Qt's own buttons and dialogs speak the interface language where Qt's
// translations are installed.
TEST_F(AccessibilityTest, QtsOwnTextsFollowTheInterfaceLanguage) {
    const QString translations = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!QFile::exists(translations + QStringLiteral("/qtbase_de.qm")))
        GTEST_SKIP() << "Qt's German translations are not installed in " << translations.toStdString();
    auto cancelText = [] {
        QDialogButtonBox box(QDialogButtonBox::Cancel);
        return box.button(QDialogButtonBox::Cancel)->text().remove(QLatin1Char('&'));
    };
    StartIn(true);
    EXPECT_EQ(cancelText(), Q("Abbrechen"));
    sweepbox::DestroyApplicationWindows();
    StartIn(false);
    EXPECT_EQ(cancelText(), Q("Cancel"));
}

// A screen reader reads the status line through its text and hears each
// new line as it comes, in either language.
TEST_F(AccessibilityTest, TheStatusLineIsReadAndAnnounced) {
    TForm1* form = StartIn(false);
    AccessibleEventLog events;
    form->Status->Clear();
    form->Status->Append(Q("Connecting to server, please wait ...."));
    form->Status->Append(Q("Warning: the password is sent unencrypted."));
    QAccessibleInterface* status = QAccessible::queryAccessibleInterface(form->Status);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->text(QAccessible::Name), Q("Status"));
    QAccessibleTextInterface* text = status->textInterface();
    ASSERT_NE(text, nullptr);
    const QString lines = Q("Connecting to server, please wait ....\nWarning: the password is sent unencrypted.");
    EXPECT_EQ(text->text(0, text->characterCount()), lines);
    EXPECT_EQ(status->text(QAccessible::Value), lines);
    // Each appended line is announced as inserted text, and as the new value.
    const auto inserted = events.ofType(QAccessible::TextInserted);
    ASSERT_EQ(inserted.size(), 2u);
    EXPECT_EQ(inserted[1].object, form->Status);
    EXPECT_EQ(inserted[1].inserted, Q("\nWarning: the password is sent unencrypted."));
    const auto values = events.ofType(QAccessible::ValueChanged);
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back().inserted, lines);
    // A cleared status and a new first line.
    events.entries.clear();
    form->Status->Clear();
    form->Status->Append(Q("All marked mails were deleted."));
    EXPECT_EQ(text->text(0, text->characterCount()), Q("All marked mails were deleted."));
    ASSERT_EQ(events.ofType(QAccessible::TextRemoved).size(), 1u);
    EXPECT_EQ(events.ofType(QAccessible::TextRemoved)[0].removed, lines);
    EXPECT_EQ(events.ofType(QAccessible::TextInserted).size(), 1u);
    ASSERT_FALSE(events.ofType(QAccessible::ValueChanged).empty());
    EXPECT_EQ(events.ofType(QAccessible::ValueChanged).back().inserted, Q("All marked mails were deleted."));
}

// The list's cells are read without the blanks that align them, and the
// number column, blank on screen, has a name.
TEST_F(AccessibilityTest, CellsReadTrimmedAndTheNumberColumnHasAName) {
    for (const bool german : {true, false}) {
        SCOPED_TRACE(german ? "German" : "English");
        TForm1* form = StartIn(german);
        form->info_fenster->hide();
        form->mail_list->show();
        form->mail_list->addItem(Q(" 1 |223 KByte |06 Mar 2000|Jürgen Müller|Grüße|"));
        QAccessibleInterface* list = QAccessible::queryAccessibleInterface(form->mail_list);
        ASSERT_NE(list, nullptr);
        QAccessibleTableInterface* table = list->tableInterface();
        ASSERT_NE(table, nullptr);
        QStringList cells, headers;
        for (int column = 0; column < table->columnCount(); ++column) {
            cells << table->cellAt(0, column)->text(QAccessible::Name);
            headers << list->child(column)->text(QAccessible::Name);
        }
        EXPECT_EQ(cells, (QStringList{Q("1"), Q("223 KByte"), Q("06 Mar 2000"), Q("Jürgen Müller"), Q("Grüße")}));
        EXPECT_EQ(headers, (german ? QStringList{Q("Nr."), Q("Größe"), Q("Datum"), Q("Absender"), Q("Betreff")}
                                   : QStringList{Q("No."), Q("Size"), Q("Date"), Q("From"), Q("Subject")}));
        EXPECT_EQ(table->columnDescription(0), headers[0]);
        // On screen the number column's title stays blank.
        EXPECT_EQ(form->mail_list->headerSections().value(0), QString());
        sweepbox::DestroyApplicationWindows();
    }
}

// In the certificate window each caption comes before its value and labels it.
TEST_F(AccessibilityTest, CertificateCaptionsLabelTheirValuesInReadingOrder) {
    kel::TCertificateInfo info;
    info.Problems = {kel::TCertProblem::SelfSigned};
    info.Subject = "CN=mail.example.org";
    info.Issuer = "CN=mail.example.org";
    info.NotBefore = "2024-01-01 00:00 UTC";
    info.NotAfter = "2034-01-01 00:00 UTC";
    info.Fingerprint = "sha256:00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
    sweepbox::TLanguage language;
    TCertificateDialog dialog(info, QStringLiteral("mail.example.org:995"), language, nullptr);
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&dialog);
    ASSERT_NE(window, nullptr);
    QList<QObject*> order;
    for (int i = 0; i < window->childCount(); ++i)
        order << window->child(i)->object();
    const std::pair<QLabel*, const char*> rows[] = {
        {dialog.Subject, "Subject:"},      {dialog.Issuer, "Issuer:"},
        {dialog.ValidFrom, "Valid from:"}, {dialog.ValidUntil, "Valid until:"},
        {dialog.Fingerprint, "SHA-256 fingerprint:"},
    };
    qsizetype previous = -1;
    for (const auto& [value, caption] : rows) {
        SCOPED_TRACE(caption);
        auto* label = dialog.findChild<QLabel*>(value->objectName() + Q("Caption"));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), Q(caption));
        EXPECT_EQ(label->buddy(), value);
        const qsizetype at = order.indexOf(label);
        EXPECT_GT(at, previous);
        EXPECT_EQ(order.indexOf(value), at + 1) << "the value right after its caption";
        previous = order.indexOf(value);
        QAccessibleInterface* read = QAccessible::queryAccessibleInterface(value);
        EXPECT_EQ(read->text(QAccessible::Name), Q(caption));
        EXPECT_EQ(read->text(QAccessible::Description), value->text());
        EXPECT_FALSE(value->text().isEmpty());
        // The caption is the value's label to a screen reader.
        const auto labelled = read->relations(QAccessible::Label);
        ASSERT_EQ(labelled.size(), 1);
        EXPECT_EQ(labelled[0].first->object(), label);
    }
}

} // namespace
