// Does the main window come up with every control in its start state and
// with the texts of the language the user's keyboard asks for? Where does
// the focus go, what does hovering explain, what do Enter and Delete do?
#include "MainFixture.h"

#include "Header.h"
#include "MultiLst.h"
#include "email.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTest>
#include <QTimer>

#include <vector>

using maintest::MainTest;

namespace {

struct TextRow {
    const char* what;
    std::function<QString(TForm1*)> read;
    const char* german;
    const char* english;
};

// Every text the language decision writes, read back from the window.
std::vector<TextRow> LanguageTexts() {
    auto tip = [](TSpeedButton* TForm1::*b) { return [b](TForm1* f) { return (f->*b)->toolTip(); }; };
    auto caption = [](TSpeedButton* TForm1::*b) { return [b](TForm1* f) { return (f->*b)->text(); }; };
    auto action = [](QAction* TForm1::*a) { return [a](TForm1* f) { return (f->*a)->text(); }; };
    auto column = [](int n) { return [n](TForm1* f) { return f->mail_list->headerSections().value(n); }; };
    return {
        {"Header_Nein", [](TForm1* f) { return f->Header_Nein->text(); },
         "Kein Absender / Betreff / Größe / Datum anzeigen", "Don't show Sender / Subject / Date / Size of Mail"},
        {"BtnConnect tip", tip(&TForm1::BtnConnect), "Verbindung zum Server", "Connect to Server"},
        {"BtnDisconnect tip", tip(&TForm1::BtnDisconnect), "Verbindung trennen", "Disconnect from Server"},
        {"BtnDelete tip", tip(&TForm1::BtnDelete), "Markierte Mails löschen", "Delete marked e-mails"},
        {"BtnMark tip", tip(&TForm1::BtnMark), "Alle Mails markieren", "Mark all e-mails"},
        {"BtnInfo tip", tip(&TForm1::BtnInfo), "Über diese Programm", "About this program"},
        {"BtnClose tip", tip(&TForm1::BtnClose), "Programm beenden", "Close programm"},
        {"btnheader tip", tip(&TForm1::btnheader), "Header anzeigen", "Show header"},
        {"btnmail tip", tip(&TForm1::btnmail), "eMail anzeigen", "Show email"},
        {"btn_cancel tip", tip(&TForm1::btn_cancel), "Disconnect from Server", "Disconnect from Server"},
        {"Label3", [](TForm1* f) { return f->Label3->text(); }, "Passwort:", "Password:"},
        {"Label1", [](TForm1* f) { return f->Label1->text(); }, "Server:", "Server:"},
        {"label2", [](TForm1* f) { return f->label2->text(); }, "User:", "User:"},
        {"men_header_anzeigen", action(&TForm1::men_header_anzeigen), "Header anzeigen", "Show header"},
        {"men_email_anzeigen", action(&TForm1::men_email_anzeigen), "e-mail anzeigen", "Show e-mail"},
        {"Datei", [](TForm1* f) { return f->Datei->title(); }, "&Server", "&Server"},
        {"Datei_C", action(&TForm1::Datei_C), "&Verbinde", "Co&nnect"},
        {"Datei_D", action(&TForm1::Datei_D), "&Trenne Verbindung", "&Disconnect"},
        {"Datei_L", action(&TForm1::Datei_L), "&Lösche e-mails", "D&elete e-mails"},
        {"Datei_M", action(&TForm1::Datei_M), "&Markiere alle e-mails", "&Mark all e-mails"},
        {"Datei_Close", action(&TForm1::Datei_Close), "&Programm beenden", "&Close"},
        {"help_men", [](TForm1* f) { return f->help_men->title(); }, "Hilfe", "Help"},
        {"help_I", action(&TForm1::help_I), "&Über", "&About"},
        {"BtnConnect", caption(&TForm1::BtnConnect), "Verbinden", "Connect"},
        {"BtnDisconnect", caption(&TForm1::BtnDisconnect), "Trennen", "Disconnect"},
        {"BtnDelete", caption(&TForm1::BtnDelete), "Löschen", "Delete"},
        {"BtnMark", caption(&TForm1::BtnMark), "Alle markieren", "Mark all"},
        {"BtnClose", caption(&TForm1::BtnClose), "Verlassen", "Close"},
        {"btn_cancel", caption(&TForm1::btn_cancel), "Abbrechen", "Cancel"},
        {"btnheader", caption(&TForm1::btnheader), "Header", "Header"},
        {"btnmail", caption(&TForm1::btnmail), "eMail", "eMail"},
        {"BtnInfo", caption(&TForm1::BtnInfo), "Information", "Information"},
        {"window", [](TForm1* f) { return f->windowTitle(); }, "Sweepbox", "Sweepbox"},
        {"column 0", column(0), "", ""},
        {"column 1", column(1), "Größe", "Size"},
        {"column 2", column(2), "Datum", "Date"},
        {"column 3", column(3), "Absender", "From"},
        {"column 4", column(4), "Betreff", "Subject"},
        {"column count", [](TForm1* f) { return QString::number(f->mail_list->headerSections().size()); }, "5", "5"},
    };
}

using Control = std::function<QWidget*(TForm1*)>;

// True when the control is the window's focus widget or holds it (an
// editable combo box passes the focus to its line edit).
bool HoldsFocus(TForm1* form, QWidget* control) {
    QWidget* focus = form->focusWidget();
    return focus && (focus == control || control->isAncestorOf(focus));
}

} // namespace

TEST_F(MainTest, StartStateOfEveryControl) {
  for (const bool german : {true, false}) {
    SCOPED_TRACE(german ? "German" : "English");
    SetLayout(german ? QStringLiteral("00000407") : QStringLiteral("00000409"));
    messages.clear();
    TForm1* form = Start();
    ASSERT_TRUE(form->LanguageSelected());

    // Every control carries its name, so the window can be inspected.
    for (const char* name :
         {"Panel1", "BtnConnect", "btn_cancel", "BtnDisconnect", "BtnDelete", "BtnMark", "btnheader", "btnmail",
          "Bevel1", "BtnInfo", "BtnClose", "Bevel3", "Bevel2", "Label1", "servername", "label2", "Username",
          "Label3", "Password", "Status_avi", "Header_Nein", "info_fenster", "info_fenster_eng", "mail_list",
          "ProgressBar", "Status", "Status_leiste", "Datei", "Datei_C", "Datei_D", "Datei_L", "Datei_M", "Datei_E",
          "Datei_Close", "help_men", "help_I", "popmen_header", "men_header_anzeigen", "men_email_anzeigen"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(form->findChild<QObject*>(QString::fromLatin1(name)), nullptr);
    }

    struct Row {
        const char* name;
        QWidget* control;
        bool shown;
        bool enabled;
    };
    const Row rows[] = {
        {"BtnConnect", form->BtnConnect, true, true},       {"btn_cancel", form->btn_cancel, false, true},
        {"BtnDisconnect", form->BtnDisconnect, true, false}, {"BtnDelete", form->BtnDelete, true, false},
        {"BtnMark", form->BtnMark, true, false},             {"btnheader", form->btnheader, true, false},
        {"btnmail", form->btnmail, true, false},             {"BtnInfo", form->BtnInfo, true, true},
        {"BtnClose", form->BtnClose, true, true},            {"servername", form->servername, true, true},
        {"Username", form->Username, true, true},           {"Password", form->Password, true, true},
        {"Header_Nein", form->Header_Nein, true, true},      {"Status_avi", form->Status_avi, false, true},
        {"mail_list", form->mail_list, false, true},         {"ProgressBar", form->ProgressBar, false, true},
        {"Status", form->Status, false, true},               {"Status_leiste", form->Status_leiste, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.control->isVisible(), row.shown);
        EXPECT_EQ(row.control->isEnabled(), row.enabled);
    }
    EXPECT_FALSE(form->Status_avi->IsPlaying());
    EXPECT_FALSE(form->Header_Nein->isChecked());
    EXPECT_TRUE(form->servername->isEditable());
    EXPECT_TRUE(form->Username->isEditable());
    EXPECT_EQ(form->Password->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(form->Password->toolTip().isEmpty());
    EXPECT_TRUE(form->Password->text().isEmpty());
    EXPECT_TRUE(form->Status->Text().isEmpty());
    EXPECT_EQ(form->ProgressBar->minimum(), 0);
    EXPECT_EQ(form->ProgressBar->maximum(), 100);
    EXPECT_EQ(form->ProgressBar->height(), 12);
    EXPECT_EQ(form->Status->palette().color(QPalette::WindowText), QColor(128, 0, 0));

    ASSERT_EQ(form->Status_leiste->PanelCount(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(form->Status_leiste->PanelText(i).isEmpty()) << i;
    EXPECT_GE(form->Status_leiste->Panel(0)->width(), 70);
    EXPECT_GE(form->Status_leiste->Panel(1)->width(), 70);
    EXPECT_GE(form->Status_leiste->Panel(2)->width(), 50);

    struct MenuRow {
        const char* name;
        QAction* action;
        bool enabled;
    };
    const MenuRow menus[] = {
        {"Datei_C", form->Datei_C, true},       {"Datei_D", form->Datei_D, false},
        {"Datei_L", form->Datei_L, false},      {"Datei_M", form->Datei_M, false},
        {"Datei_Close", form->Datei_Close, true}, {"help_I", form->help_I, true},
        {"men_header_anzeigen", form->men_header_anzeigen, true},
        {"men_email_anzeigen", form->men_email_anzeigen, true},
    };
    for (const MenuRow& row : menus) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.action->isEnabled(), row.enabled);
    }
    EXPECT_TRUE(form->Datei_E->isSeparator());
    const QList<QAction*> serverItems = form->Datei->actions();
    const QList<QAction*> expected = {form->Datei_C, form->Datei_D, form->Datei_L,
                                      form->Datei_M, form->Datei_E, form->Datei_Close};
    EXPECT_EQ(serverItems, expected);
    EXPECT_EQ(form->mail_list->popupMenu(), form->popmen_header);

    // The list as the window configures it.
    EXPECT_EQ(form->mail_list->columnSeperator(), QLatin1Char('|'));
    EXPECT_TRUE(form->mail_list->multiSelect());
    EXPECT_TRUE(form->mail_list->showColumnLines());
    EXPECT_EQ(form->mail_list->columnLineColor(), QColor(Qt::black));
    EXPECT_EQ(form->mail_list->columnAlignment(0), Qt::AlignRight);
    EXPECT_EQ(form->mail_list->columnAlignment(1), Qt::AlignRight);
    EXPECT_EQ(form->mail_list->columnAlignment(2), Qt::AlignLeft);

    // The top panel keeps the form's places as minimums, in their order,
    // without overlaps between neighbours.
    const std::vector<QWidget*> row = {form->BtnConnect, form->BtnDisconnect, form->BtnDelete, form->BtnMark,
                                       form->btnheader,  form->btnmail,       form->Bevel1,    form->BtnInfo,
                                       form->BtnClose};
    const int formX[] = {0, 64, 128, 192, 264, 328, 403, 416, 480};
    for (size_t i = 0; i < row.size(); ++i) {
        SCOPED_TRACE(row[i]->objectName().toStdString());
        EXPECT_GE(row[i]->x(), formX[i]);
        if (i > 0) {
            EXPECT_GE(row[i]->x(), row[i - 1]->geometry().right());
        }
    }
    EXPECT_EQ(form->btn_cancel->geometry(), form->BtnDisconnect->geometry());
    EXPECT_GE(form->Panel1->height(), 92);
    EXPECT_EQ(form->Panel1->y(), 0);
    EXPECT_GE(form->Header_Nein->y(), form->servername->geometry().bottom());

    EXPECT_GE(form->minimumWidth(), 553);
    EXPECT_EQ(form->minimumHeight(), 452);
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);

    // The program entry's other windows exist, hidden.
    ASSERT_NE(AboutBox, nullptr);
    ASSERT_NE(Form2, nullptr);
    ASSERT_NE(Form3, nullptr);
    EXPECT_FALSE(AboutBox->isVisible());
    EXPECT_FALSE(Form2->isVisible());
    EXPECT_FALSE(Form3->isVisible());
    EXPECT_TRUE(messages.empty());

    // Sizes: the form's, or wider where a caption needs it.
    for (TSpeedButton* b : {form->BtnConnect, form->btn_cancel, form->BtnDisconnect, form->BtnDelete,
                            form->btnheader, form->btnmail, form->BtnInfo, form->BtnClose}) {
        SCOPED_TRACE(b->objectName().toStdString());
        EXPECT_GE(b->width(), 65);
        EXPECT_GE(b->height(), 41);
        EXPECT_EQ(b->y(), 2);
    }
    EXPECT_GE(form->BtnMark->width(), 73);
    EXPECT_EQ(form->Status_avi->size(), QSize(21, 21));
    EXPECT_EQ(form->servername->width(), 116);
    EXPECT_EQ(form->Username->width(), 97);
    EXPECT_EQ(form->Password->width(), 73);
    EXPECT_GE(form->Header_Nein->width(), 316);
    EXPECT_GE(form->Header_Nein->width(), form->Header_Nein->sizeHint().width());
    EXPECT_EQ(form->Header_Nein->x(), 21);
    EXPECT_TRUE(form->Label1->font().bold());
    EXPECT_EQ(form->Label1->x(), 0);
    EXPECT_GE(form->servername->x(), 45);
    EXPECT_GE(form->Username->x(), 208);
    EXPECT_GE(form->Password->x(), 385);
    EXPECT_GE(form->Status_avi->x(), 488);
    // Nothing in the panel reaches past the window's minimum width.
    for (QWidget* w : form->Panel1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (qobject_cast<TBevel*>(w) && w != form->Bevel1)
            continue;
        SCOPED_TRACE(w->objectName().toStdString());
        EXPECT_LE(w->geometry().right(), form->minimumWidth());
    }
    // Tab order: server, user, password, the option.
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    form->servername->setFocus();
    for (QWidget* next : std::initializer_list<QWidget*>{form->Username, form->Password, form->Header_Nein}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_TRUE(HoldsFocus(form, next)) << next->objectName().toStdString();
    }
    sweepbox::DestroyApplicationWindows();
  }
}

TEST_F(MainTest, InformationOpensTheAboutWindowModally) {
    SetLayout(QStringLiteral("00000407"));
    TForm1* form = Start();
    for (const char* way : {"button", "menu"}) {
        SCOPED_TRACE(way);
        bool shownModally = false;
        QTimer::singleShot(0, form, [&] {
            shownModally = AboutBox->isVisible() && AboutBox->isModal();
            AboutBox->accept();
        });
        if (std::string(way) == "button")
            QTest::mouseClick(form->BtnInfo, Qt::LeftButton);
        else
            form->help_I->trigger();
        EXPECT_TRUE(shownModally);
        EXPECT_FALSE(AboutBox->isVisible());
    }
    EXPECT_TRUE(AboutIsGerman);
    EXPECT_EQ(form->BtnClose->text(), QStringLiteral("Verlassen"));
}

TEST_F(MainTest, TheCloseCommandEndsTheWindowAndKeepsThePairs) {
    Store({{QStringLiteral("User1"), QStringLiteral("anna")}, {QStringLiteral("Server1"), QStringLiteral("pop.a")},
           {QStringLiteral("User2"), QStringLiteral("old")}});
    TForm1* form = Start();
    form->Datei_Close->trigger();
    EXPECT_FALSE(form->isVisible());
    QSettings s = Settings();
    EXPECT_EQ(s.value(QStringLiteral("User1")).toString(), QStringLiteral("anna"));
    EXPECT_FALSE(s.contains(QStringLiteral("User2")));
}

TEST_F(MainTest, BeforeTheFirstActivationTheFormTextsStand) {
    TForm1* form = Create();
    EXPECT_FALSE(form->LanguageSelected());
    EXPECT_FALSE(form->IsGerman);
    EXPECT_FALSE(AboutIsGerman);
    EXPECT_EQ(form->mail_list->headerSections(),
              QStringList(5, QStringLiteral("xxx")));
    EXPECT_FALSE(form->info_fenster->isHidden());
    EXPECT_FALSE(form->info_fenster_eng->isHidden());
}

TEST_F(MainTest, EveryTextFollowsTheLanguage) {
    for (const bool german : {true, false}) {
        SCOPED_TRACE(german ? "German" : "English");
        SetLayout(german ? QStringLiteral("00000407") : QStringLiteral("00000409"));
        TForm1* form = Start();
        EXPECT_EQ(form->IsGerman, german);
        EXPECT_EQ(AboutIsGerman, german);
        for (const TextRow& row : LanguageTexts()) {
            SCOPED_TRACE(row.what);
            EXPECT_EQ(row.read(form), QString::fromUtf8(german ? row.german : row.english));
        }
        // The welcome text of the language fills the place; the other one is gone.
        EXPECT_EQ(form->info_fenster->isVisible(), german);
        EXPECT_EQ(form->info_fenster_eng->isVisible(), !german);
        QPlainTextEdit* shown = german ? form->info_fenster : form->info_fenster_eng;
        form->centralWidget()->layout()->activate();
        EXPECT_TRUE(shown->isReadOnly());
        EXPECT_TRUE(shown->toPlainText().endsWith(german ? QStringLiteral("Deutschland, Januar 2000")
                                                         : QStringLiteral("Germany, January 2000")));
        EXPECT_EQ(shown->geometry().top(), form->Panel1->geometry().bottom() + 1);
        EXPECT_EQ(shown->geometry().bottom() + 1, form->centralWidget()->height());
        sweepbox::DestroyApplicationWindows();
    }
}

TEST_F(MainTest, LanguageIsDecidedOnceOnly) {
    SetLayout(QStringLiteral("00000407"));
    TForm1* form = Start();
    ASSERT_TRUE(form->IsGerman);
    // A changed layout and a new activation (a modal window closing) leave
    // the window as it was.
    SetLayout(QStringLiteral("00000409"));
    form->LayoutReg->sync();
    form->Password->setFocus();
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(form, &activate);
    form->LanguageSelect(form);
    EXPECT_TRUE(form->IsGerman);
    EXPECT_EQ(form->BtnConnect->text(), QStringLiteral("Verbinden"));
    EXPECT_TRUE(HoldsFocus(form, form->Password));
}

TEST_F(MainTest, FocusGoesToTheFirstEmptyField) {
    struct Row {
        const char* name;
        std::map<QString, QString> stored;
        Control expected;
    };
    const Row rows[] = {
        {"nothing remembered", {}, [](TForm1* f) -> QWidget* { return f->servername; }},
        {"a remembered pair",
         {{QStringLiteral("User1"), QStringLiteral("anna")}, {QStringLiteral("Server1"), QStringLiteral("pop.a")}},
         [](TForm1* f) -> QWidget* { return f->Password; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Store(row.stored);
        TForm1* form = Start();
        EXPECT_TRUE(HoldsFocus(form, row.expected(form)));
        sweepbox::DestroyApplicationWindows();
    }
}

TEST_F(MainTest, FocusRulesReadTheTypedTexts) {
    struct Row {
        const char* name;
        const char* server;
        const char* user;
        Control expected;
    };
    const Row rows[] = {
        {"both", "pop.a", "anna", [](TForm1* f) -> QWidget* { return f->Password; }},
        {"user only", "", "anna", [](TForm1* f) -> QWidget* { return f->servername; }},
        {"server only", "pop.a", "", [](TForm1* f) -> QWidget* { return f->Username; }},
        {"neither", "", "", [](TForm1* f) -> QWidget* { return f->servername; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TForm1* form = Create();
        form->servername->setEditText(QString::fromLatin1(row.server));
        form->Username->setEditText(QString::fromLatin1(row.user));
        form->show();
        ASSERT_TRUE(QTest::qWaitFor([form] { return form->LanguageSelected(); }));
        EXPECT_TRUE(HoldsFocus(form, row.expected(form)));
        sweepbox::DestroyApplicationWindows();
    }
}

TEST_F(MainTest, HoverExplainsEnabledButtonsInTheThirdPanel) {
    struct Row {
        Control control;
        const char* german;
        const char* english;
    };
    auto member = [](auto m) -> Control { return [m](TForm1* f) -> QWidget* { return f->*m; }; };
    const Row rows[] = {
        {member(&TForm1::BtnConnect), "Verbindung zum Server aufbauen ...", "Establish connection to server ..."},
        {member(&TForm1::btn_cancel), "Bricht die laufende Übertragung ab ...", "Stop current transmition ..."},
        {member(&TForm1::BtnDisconnect), "Verbindung vom Server trennen ...", "Terminate connection ..."},
        {member(&TForm1::BtnDelete), "Markierte e-mails vom Server löschen ...",
         "Delete marked e-mails from Server ..."},
        {member(&TForm1::BtnMark), "Alle e-mails markieren ...", "Mark all e-mails ..."},
        {member(&TForm1::btnheader), "Header der Mail wird angezeigt ...", "Show email's header ..."},
        {member(&TForm1::btnmail), "Markierte email wird angezeigt ...", "Show marked email ..."},
        {member(&TForm1::BtnInfo), "Information zu Sweepbox - Release: 13. Februar 2000",
         "About Sweepbox - Release: 13 February 2000"},
        {member(&TForm1::BtnClose), "Sweepbox beenden ...", "End Sweepbox ..."},
        {member(&TForm1::Password), "Eigenes Passwort ...", "Your own password ..."},
    };
    for (const bool german : {true, false}) {
        SCOPED_TRACE(german ? "German" : "English");
        SetLayout(german ? QStringLiteral("00000407") : QStringLiteral("00000409"));
        TForm1* form = Start();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
        // The disabled buttons take part, as in connected mode.
        for (QWidget* w : std::initializer_list<QWidget*>{form->BtnDisconnect, form->BtnDelete, form->BtnMark,
                                                          form->btnheader, form->btnmail})
            w->setEnabled(true);
        for (const Row& row : rows) {
            QWidget* control = row.control(form);
            SCOPED_TRACE(control->objectName().toStdString());
            // Cancel takes the place of disconnect while a listing runs.
            const bool cancel = control == form->btn_cancel;
            form->BtnDisconnect->setVisible(!cancel);
            form->btn_cancel->setVisible(cancel);
            // From somewhere without hover help onto the control.
            QTest::mouseMove(form->Header_Nein, form->Header_Nein->rect().center());
            form->Status_leiste->SetPanelText(2, QString());
            QTest::mouseMove(control, control->rect().center());
            EXPECT_TRUE(QTest::qWaitFor([&] { return !form->Status_leiste->PanelText(2).isEmpty(); }));
            EXPECT_EQ(form->Status_leiste->PanelText(2), QString::fromUtf8(german ? row.german : row.english));
        }
        // The other panels are not touched.
        EXPECT_TRUE(form->Status_leiste->PanelText(0).isEmpty());
        EXPECT_TRUE(form->Status_leiste->PanelText(1).isEmpty());
        sweepbox::DestroyApplicationWindows();
    }
}

TEST_F(MainTest, DisabledButtonsAndOtherControlsLeaveTheHoverText) {
    TForm1* form = Start();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
    QTest::mouseMove(form->BtnInfo, form->BtnInfo->rect().center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Status_leiste->PanelText(2).isEmpty(); }));
    const QString standing = form->Status_leiste->PanelText(2);
    for (QWidget* w : std::initializer_list<QWidget*>{form->BtnDelete, form->btnmail, form->servername,
                                                      form->Header_Nein, form->info_fenster_eng}) {
        SCOPED_TRACE(w->objectName().toStdString());
        QTest::mouseMove(w, w->rect().center());
        QCoreApplication::processEvents();
        EXPECT_EQ(form->Status_leiste->PanelText(2), standing);
    }
    // The window's own surface clears it.
    form->FormMouseMove(form);
    EXPECT_TRUE(form->Status_leiste->PanelText(2).isEmpty());
}

TEST_F(MainTest, EnterInTheInputRowConnects) {
    TForm1* form = Start();
    std::vector<QObject*> senders;
    form->EnterShortcut = [&](QObject* sender) { senders.push_back(sender); };
    struct Row {
        const char* name;
        QWidget* target;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        size_t calls;
    };
    const Row rows[] = {
        {"servername", form->servername, Qt::Key_Return, Qt::NoModifier, 1},
        {"Username", form->Username, Qt::Key_Return, Qt::NoModifier, 1},
        {"Password", form->Password, Qt::Key_Return, Qt::NoModifier, 1},
        {"Header_Nein", form->Header_Nein, Qt::Key_Return, Qt::NoModifier, 1},
        {"keypad Enter", form->Password, Qt::Key_Enter, Qt::KeypadModifier, 1},
        {"with Shift and Ctrl", form->Username, Qt::Key_Return, Qt::ShiftModifier | Qt::ControlModifier, 1},
        {"another key", form->Password, Qt::Key_A, Qt::NoModifier, 0},
        {"Enter elsewhere", form->info_fenster_eng, Qt::Key_Return, Qt::NoModifier, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        senders.clear();
        QTest::keyClick(row.target, row.key, row.modifiers);
        ASSERT_EQ(senders.size(), row.calls);
        if (row.calls) {
            EXPECT_EQ(senders.front(), form);
        }
    }
}

TEST_F(MainTest, EnterInTheServerFieldDoesNotRepairTheUser) {
    Store({{QStringLiteral("User1"), QStringLiteral("anna")},
           {QStringLiteral("Server1"), QStringLiteral("pop.a")},
           {QStringLiteral("User2"), QStringLiteral("bert")},
           {QStringLiteral("Server2"), QStringLiteral("pop.b")}});
    TForm1* form = Start();
    form->EnterShortcut = [](QObject*) {};
    form->servername->setEditText(QStringLiteral("pop.a"));
    form->Username->setEditText(QStringLiteral("carl"));
    QTest::keyClick(form->servername, Qt::Key_Return);
    EXPECT_EQ(form->Username->currentText(), QStringLiteral("carl"));
    EXPECT_EQ(form->servername->count(), 2);
}

TEST_F(MainTest, EnterWithAnEmptyServerReportsIt) {
    TForm1* form = Start();
    QTest::keyClick(form->servername, Qt::Key_Return);
    EXPECT_TRUE(form->Status->isVisible());
    EXPECT_EQ(form->Status->Text(), QStringLiteral("\rError: No POP server specified"));
    EXPECT_TRUE(messages.empty());
}

TEST_F(MainTest, DeleteInTheListWhileDisconnectedDoesNothing) {
    TForm1* form = Start();
    form->mail_list->show();
    form->mail_list->addItem(QStringLiteral(" 1 | - | - | - | - |"));
    form->mail_list->addItem(QStringLiteral(" 2 | - | - | - | - |"));
    form->mail_list->setSelected(1, true);
    QTest::keyClick(form->mail_list, Qt::Key_Delete);
    EXPECT_EQ(form->mail_list->count(), 3);
    EXPECT_TRUE(form->mail_list->isSelected(1));
    EXPECT_FALSE(form->pop3.Connected());
    EXPECT_TRUE(messages.empty());
}

TEST_F(MainTest, AnExceptionInAHandlerIsShownAndTheProgramGoesOn) {
    TForm1* form = Start();
    form->EnterShortcut = [](QObject*) { throw std::runtime_error("Invalid op."); };
    QTest::keyClick(form->Password, Qt::Key_Return);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front(), QStringLiteral("Invalid op."));
    // Still working afterwards.
    int calls = 0;
    form->EnterShortcut = [&](QObject*) { ++calls; };
    QTest::keyClick(form->Password, Qt::Key_Return);
    EXPECT_EQ(calls, 1);
}

TEST_F(MainTest, SpeedButtonsLookRightInBothStates) {
    TForm1* form = Start();
    for (TSpeedButton* b : {form->BtnConnect, form->BtnDelete}) {
        SCOPED_TRACE(b->objectName().toStdString());
        EXPECT_EQ(b->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_EQ(b->focusPolicy(), Qt::NoFocus);
        // The caption fits: widened rather than cut.
        EXPECT_GE(b->width(), QFontMetrics(b->font()).horizontalAdvance(b->text()));
    }
    // The greyed glyph differs from the enabled one and has no colour.
    const QImage on = DrawGlyph(TGlyph::Delete, 20, 1.0, true).toImage();
    const QImage off = DrawGlyph(TGlyph::Delete, 20, 1.0, false).toImage();
    EXPECT_NE(on, off);
    bool anyInk = false;
    for (int y = 0; y < off.height(); ++y)
        for (int x = 0; x < off.width(); ++x) {
            const QRgb px = off.pixel(x, y);
            if (qAlpha(px) == 0)
                continue;
            anyInk = true;
            EXPECT_EQ(qRed(px), qGreen(px));
            EXPECT_EQ(qGreen(px), qBlue(px));
        }
    EXPECT_TRUE(anyInk);
}

TEST_F(MainTest, BusyAnimationRunsOnlyWhilePlaying) {
    TForm1* form = Start();
    TBusyAnimation* avi = form->Status_avi;
    EXPECT_FALSE(avi->IsPlaying());
    avi->Play();
    avi->show();
    const int first = avi->Frame();
    EXPECT_TRUE(QTest::qWaitFor([&] { return avi->Frame() != first; }));
    avi->Stop();
    avi->hide();
    EXPECT_FALSE(avi->IsPlaying());
    EXPECT_EQ(avi->Frame(), TBusyAnimation::kStopFrame);
}

// The pictures go to SWEEPBOX_SHOTS_DIR when it is set, for a person to look at.
TEST_F(MainTest, RenderBothLanguages) {
    const QString shots = qEnvironmentVariable("SWEEPBOX_SHOTS_DIR");
    for (const bool german : {true, false}) {
        SCOPED_TRACE(german ? "German" : "English");
        SetLayout(german ? QStringLiteral("00000407") : QStringLiteral("00000409"));
        TForm1* form = Start();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
        form->Status_leiste->SetPanelText(0, QStringLiteral("12 Mails"));
        form->Status_leiste->SetPanelText(1, QStringLiteral("1.2 MByte"));
        QTest::mouseMove(form->BtnInfo, form->BtnInfo->rect().center());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !form->Status_leiste->PanelText(2).isEmpty(); }));
        const QPixmap shot = form->grab();
        EXPECT_EQ(shot.size(), form->size());
        if (!shots.isEmpty() && QDir().mkpath(shots)) {
            EXPECT_TRUE(shot.save(shots + (german ? QStringLiteral("/main-de.png") : QStringLiteral("/main-en.png"))));
        }

        // As a listing leaves it: rows, two status lines, the progress bar.
        (german ? form->info_fenster : form->info_fenster_eng)->hide();
        form->mail_list->show();
        for (int n = 1; n <= 30; ++n)
            form->mail_list->addItem(QStringLiteral(" %1 | %2 KByte | 07.12.2026 08:%3 | Sender %1 <s%1@example.org> | "
                                                    "Subject number %1 with a longer text than fits |")
                                         .arg(n)
                                         .arg(n * 3)
                                         .arg(n, 2, 10, QLatin1Char('0')));
        form->mail_list->setSelected(3, true);
        form->Status->show();
        form->Status->Append(QStringLiteral("Fehler: -ERR mailbox locked"));
        form->Status->Append(QStringLiteral("Ihre Verbindung zum Server wurde getrennt."));
        form->ProgressBar->show();
        form->ProgressBar->setValue(40);
        form->Status_avi->show();
        form->Status_avi->Play();
        form->centralWidget()->layout()->activate();
        const QPixmap listed = form->grab();
        EXPECT_FALSE(listed.isNull());
        if (!shots.isEmpty() && german) {
            EXPECT_TRUE(listed.save(shots + QStringLiteral("/main-list.png")));
        }
        sweepbox::DestroyApplicationWindows();
    }
}
