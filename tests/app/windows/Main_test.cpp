// Does the main window start with its controls in place and in the keyboard's
// language? Where does the focus go, what does hovering explain, what does Enter do?
#include "app/windows/MainFixture.h"

#include "app/windows/Header.h"
#include "ui/MultiLst.h"
#include "app/windows/email.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>

#include <vector>

using sweepbox::test::MainTest;
using sweepbox::test::Q;

namespace {

// Texts the language decision writes: object name, the property that shows it,
// German, English.
const struct TextRow {
    const char* name;
    const char* property;
    const char* german;
    const char* english;
} kTexts[] = {
    {"Header_Nein", "text", "Kein Absender / Betreff / Größe / Datum anzeigen",
     "Don't show Sender / Subject / Date / Size of Mail"},
    {"BtnConnect", "toolTip", "Verbindung zum Server", "Connect to Server"},
    {"BtnInfo", "toolTip", "Über diese Programm", "About this program"},
    {"Label3", "text", "Passwort:", "Password:"},
    {"Label4", "text", "Sicherheit:", "Security:"},
    {"Security", "currentText", "TLS", "TLS"},
    {"Datei_L", "text", "&Lösche e-mails", "D&elete e-mails"},
    {"help_men", "title", "Hilfe", "Help"},
    {"BtnDelete", "text", "Löschen", "Delete"},
    {"btn_cancel", "text", "Abbrechen", "Cancel"},
};

// True when the control is the window's focus widget or holds it (an
// editable combo box passes the focus to its line edit).
bool HoldsFocus(TForm1* form, QWidget* control) {
    QWidget* focus = form->focusWidget();
    return focus && (focus == control || control->isAncestorOf(focus));
}

} // namespace

TEST_F(MainTest, EachLanguageStartsWithItsTextsAndEveryControlInPlace) {
  for (const bool german : {true, false}) {
    SCOPED_TRACE(german ? "German" : "English");
    TForm1* form = StartIn(german);
    ASSERT_TRUE(AboutBox && Form2 && Form3);
    // The other windows are made as they are first reached, here after the
    // decision, and speak it (Application_test: also when made before it).
    AboutBox->FormActivate(AboutBox);
    EXPECT_EQ(AboutBox->Comments->text(), german ? Q("13. Februar 2000") : Q("13 February 2000"));
    Form2->FormActivate(Form2);
    EXPECT_EQ(Form2->windowTitle(), german ? Q("Header der e-mail  - Sweepbox -") : Q("Mail header  - Sweepbox -"));
    Form3->FormActivate(Form3);
    EXPECT_EQ(Form3->windowTitle(),
              german ? Q("Inhalt der e-mail  - Sweepbox -") : Q("Contents of e-mail  - Sweepbox -"));

    const struct {
        QWidget* control;
        bool shown, enabled;
    } controls[] = {
        {form->BtnConnect, true, true},   {form->btn_cancel, false, true}, {form->BtnDisconnect, true, false},
        {form->BtnDelete, true, false},   {form->btnmail, true, false},    {form->Password, true, true},
        {form->Status_avi, false, true},  {form->mail_list, false, true},  {form->ProgressBar, false, true},
    };
    for (const auto& row : controls) {
        SCOPED_TRACE(row.control->objectName().toStdString());
        EXPECT_EQ(row.control->isVisible(), row.shown);
        EXPECT_EQ(row.control->isEnabled(), row.enabled);
    }
    for (QAction* a : {form->Datei_D, form->Datei_L, form->Datei_M})
        EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
    EXPECT_EQ(form->mail_list->popupMenu(), form->popmen_header);
    EXPECT_EQ(form->btn_cancel->geometry(), form->BtnDisconnect->geometry());
    EXPECT_GE(form->minimumWidth(), 553);
    for (QWidget* w : form->Panel1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (qobject_cast<TBevel*>(w) && w != form->Bevel1)
            continue;
        EXPECT_LE(w->geometry().right(), form->minimumWidth()) << w->objectName().toStdString();
    }

    for (const TextRow& row : kTexts) {
        QObject* o = form->findChild<QObject*>(QString::fromLatin1(row.name));
        ASSERT_NE(o, nullptr) << row.name;
        EXPECT_EQ(o->property(row.property).toString(), Q(german ? row.german : row.english))
            << row.name << " " << row.property;
    }
    EXPECT_EQ(form->mail_list->headerSections(),
              german ? (QStringList{Q(""), Q("Größe"), Q("Datum"), Q("Absender"), Q("Betreff")})
                     : (QStringList{Q(""), Q("Size"), Q("Date"), Q("From"), Q("Subject")}));
    EXPECT_EQ(form->info_fenster->isVisible(), german);
    EXPECT_EQ(form->info_fenster_eng->isVisible(), !german);

    // The third choice speaks the language; hovering explains the box.
    EXPECT_EQ(form->Security->itemText(2), german ? Q("Unverschlüsselt") : Q("Unencrypted"));
    EXPECT_FALSE(form->Security->toolTip().isEmpty());
    form->SecurityMouseMove(form->Security);
    EXPECT_TRUE(form->Status_leiste->PanelText(2).contains(QStringLiteral("STARTTLS")));

    // Tab order: server, security, user, password, the options, the sign-in.
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    form->servername->setFocus();
    for (QWidget* next : std::initializer_list<QWidget*>{form->Security, form->Username, form->Password,
                                                                    form->Header_Nein, form->SignIn,
                                                                    form->RememberPassword}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_TRUE(HoldsFocus(form, next)) << next->objectName().toStdString();
    }
    sweepbox::DestroyApplicationWindows();
  }
}

TEST_F(MainTest, LanguageIsDecidedAtTheFirstActivationOnly) {
    SetLayout(true);
    TForm1* form = Create();
    EXPECT_FALSE(form->LanguageSelected() || form->IsGerman());
    form->show();
    ASSERT_TRUE(QTest::qWaitFor([form] { return form->LanguageSelected(); }));
    ASSERT_TRUE(form->IsGerman());
    // A changed layout and a new activation (a modal window closing) leave
    // the window as it was.
    SetLayout(false);
    form->LayoutReg->sync();
    form->Password->setFocus();
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(form, &activate);
    form->LanguageSelect(form);
    EXPECT_TRUE(form->IsGerman());
    EXPECT_EQ(form->BtnConnect->text(), QStringLiteral("Verbinden"));
    EXPECT_TRUE(HoldsFocus(form, form->Password));
}

TEST_F(MainTest, FocusGoesToTheFirstEmptyField) {
    const struct {
        const char* name;
        sweepbox::test::Values stored;
        const char* server;
        const char* user;
        const char* expected;
    } rows[] = {
        {"nothing remembered", {}, "", "", "servername"},
        {"a remembered pair", sweepbox::test::Pairs(1), nullptr, nullptr, "Password"},
        {"server only", {}, "pop.a", "", "Username"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Store(row.stored, true);
        TForm1* form = Create();
        if (row.server) {
            form->servername->setEditText(Q(row.server));
            form->Username->setEditText(Q(row.user));
        }
        form->show();
        ASSERT_TRUE(QTest::qWaitFor([form] { return form->LanguageSelected(); }));
        EXPECT_TRUE(HoldsFocus(form, form->findChild<QWidget*>(Q(row.expected))));
        sweepbox::DestroyApplicationWindows();
    }
}

TEST_F(MainTest, HoverExplainsEnabledButtonsInTheThirdPanel) {
    for (const bool german : {true, false}) {
        SCOPED_TRACE(german ? "German" : "English");
        TForm1* form = StartIn(german);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
        auto hover = [](QWidget* w) { QTest::mouseMove(w, w->rect().center()); };
        auto hint = [form] { return form->Status_leiste->PanelText(2); };

        // Disabled buttons and other controls leave the standing text alone.
        hover(form->BtnInfo);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !hint().isEmpty(); }));
        const QString standing = hint();
        for (QWidget* w : std::initializer_list<QWidget*>{form->BtnDelete, form->servername, form->Header_Nein}) {
            hover(w);
            QCoreApplication::processEvents();
            EXPECT_EQ(hint(), standing) << w->objectName().toStdString();
        }
        // The window's own surface clears it.
        form->FormMouseMove(form);
        EXPECT_TRUE(hint().isEmpty());

        form->btnmail->setEnabled(true); // as in connected mode
        hover(form->btnmail);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !hint().isEmpty(); }));
        EXPECT_EQ(hint(), german ? Q("Markierte email wird angezeigt ...") : Q("Show marked email ..."));
        sweepbox::DestroyApplicationWindows();
    }
}

TEST_F(MainTest, EnterInTheInputRowConnects) {
    Store(sweepbox::test::Pairs(2));
    TForm1* form = Start();
    std::vector<QObject*> senders;
    form->EnterShortcut = [&](QObject* sender) { senders.push_back(sender); };
    // A typed user stays, though the server is a remembered one with another partner.
    form->servername->setEditText(QStringLiteral("pop1.example"));
    form->Username->setEditText(QStringLiteral("carl"));
    QTest::keyClick(form->servername, Qt::Key_Return);
    QTest::keyClick(form->Password, Qt::Key_A);
    QTest::keyClick(form->info_fenster_eng, Qt::Key_Return);
    EXPECT_EQ(senders.size(), 1u);
    EXPECT_EQ(form->Username->currentText(), QStringLiteral("carl"));

    // An exception in a handler is shown instead of ending the program.
    form->EnterShortcut = [](QObject*) { throw std::runtime_error("Invalid op."); };
    QTest::keyClick(form->Password, Qt::Key_Return);
    EXPECT_EQ(messages, std::vector<QString>{QStringLiteral("Invalid op.")});
}
