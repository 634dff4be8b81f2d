// What a screen reader and a keyboard user get of the windows: a name for
// every control, the fields reachable with Tab in reading order, and Qt's
// own texts in the interface language.
#include "app/windows/MainFixture.h"

#include "app/windows/Certificate.h"
#include "app/windows/Header.h"
#include "ui/MultiLst.h"
#include "app/windows/email.h"
#include "support/FakePop3Server.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QFile>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
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
        for (QDialog* window : std::initializer_list<QDialog*>{AboutBox, Form2, Form3}) {
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

} // namespace
