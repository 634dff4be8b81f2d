// Does starting the program make only the main window? Are the about, header
// and message windows made the first time they are reached, once, owned by
// the main window and in its language, and gone with it?
#include "app/windows/MainFixture.h"

#include "app/windows/Header.h"
#include "app/windows/Preview.h"
#include "app/windows/email.h"

#include <QTimer>

#include <functional>

using sweepbox::test::MainTest;
using sweepbox::test::Q;

namespace {

class ApplicationTest : public MainTest {};

// One row per window made on demand: whether it is made, and reaching it.
const struct WindowRow {
    const char* name;
    std::function<bool()> made;
    std::function<QDialog*()> reach;
} kWindows[] = {
    {"AboutBox", [] { return AboutBox.Made(); }, []() -> QDialog* { return AboutBox; }},
    {"Form2", [] { return Form2.Made(); }, []() -> QDialog* { return Form2; }},
    {"Form3", [] { return Form3.Made(); }, []() -> QDialog* { return Form3; }},
    {"Preview", [] { return PreviewWindow.Made(); }, []() -> QDialog* { return PreviewWindow; }},
};

// Closes the first modal window of type T shown from now on; any modal
// window still up after the test's wait is closed too, so a window that
// never shows fails the test instead of holding it up.
template <class T>
class TCloseWhenShown : public QObject {
  public:
    TCloseWhenShown() {
        qApp->installEventFilter(this);
        QTimer::singleShot(sweepbox::test::kClientWaitMs, this, [] {
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
    }
    int Shown = 0;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<T*>(watched)) {
            ++Shown;
            QTimer::singleShot(0, watched, [watched] { static_cast<QWidget*>(watched)->close(); });
        }
        return false;
    }
};

} // namespace

TEST_F(ApplicationTest, StartingMakesOnlyTheMainWindowTheOthersWhenFirstReached) {
    TForm1* form = StartIn(false);
    for (const WindowRow& row : kWindows)
        EXPECT_FALSE(row.made()) << row.name;
    for (const WindowRow& row : kWindows) {
        SCOPED_TRACE(row.name);
        QDialog* window = row.reach();
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(row.made());
        EXPECT_EQ(window->parent(), form);
        EXPECT_FALSE(window->isVisible());
        // Made once: reaching it again finds the same window.
        EXPECT_EQ(row.reach(), window);
        EXPECT_EQ(form->findChildren<QDialog*>(window->objectName()).size(), 1);
    }
    sweepbox::DestroyApplicationWindows();
    // They went with the main window and are not made again without one.
    for (const WindowRow& row : kWindows) {
        EXPECT_FALSE(row.made()) << row.name;
        EXPECT_EQ(row.reach(), nullptr) << row.name;
        EXPECT_FALSE(row.made()) << row.name;
    }
}

TEST_F(ApplicationTest, AWindowClosedForGoodIsMadeAfreshWhenReachedAgain) {
    StartIn(false);
    for (const WindowRow& row : kWindows) {
        SCOPED_TRACE(row.name);
        QPointer<QDialog> first = row.reach();
        ASSERT_TRUE(first);
        delete first.data();
        EXPECT_FALSE(row.made());
        QDialog* second = row.reach();
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(second->parent(), Form1);
    }
}

// A window reached before the language is decided still speaks the decision,
// as does one first reached after it.
TEST_F(ApplicationTest, WindowsMadeBeforeOrAfterTheLanguageDecisionSpeakIt) {
    for (const bool german : {true, false})
        for (const bool early : {true, false}) {
            SCOPED_TRACE(std::string(german ? "German" : "English") + (early ? ", made early" : ", made late"));
            SetLayout(german);
            TForm1* form = Create();
            if (early)
                for (const WindowRow& row : kWindows)
                    ASSERT_NE(row.reach(), nullptr);
            form->show();
            ASSERT_TRUE(QTest::qWaitFor([form] { return form->LanguageSelected(); }));
            AboutBox->FormActivate(AboutBox);
            EXPECT_EQ(AboutBox->Comments->text(), german ? Q("13. Februar 2000") : Q("13 February 2000"));
            Form2->FormActivate(Form2);
            EXPECT_EQ(Form2->windowTitle(),
                      german ? Q("Header der e-mail  - Sweepbox -") : Q("Mail header  - Sweepbox -"));
            Form3->FormActivate(Form3);
            EXPECT_EQ(Form3->windowTitle(),
                      german ? Q("Inhalt der e-mail  - Sweepbox -") : Q("Contents of e-mail  - Sweepbox -"));
            sweepbox::DestroyApplicationWindows();
        }
}

TEST_F(ApplicationTest, TheInformationButtonMakesTheAboutBoxAndShowsItModally) {
    TForm1* form = StartIn(true);
    ASSERT_FALSE(AboutBox.Made());
    TCloseWhenShown<TAboutBox> closer;
    form->BtnInfo->click();
    EXPECT_EQ(closer.Shown, 1);
    ASSERT_TRUE(AboutBox.Made());
    EXPECT_FALSE(AboutBox->isVisible());
    // The second showing uses the same window.
    QDialog* first = AboutBox;
    form->BtnInfo->click();
    EXPECT_EQ(closer.Shown, 2);
    EXPECT_EQ(AboutBox.get(), first);
}
