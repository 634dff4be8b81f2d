// What does the about window show in each language, where does the keyboard
// focus start, and do its links open their targets from the keyboard?
#include "app/windows/info.h"

#include "ui/HyperLink.h"
#include "support/QtTestApp.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

class AboutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureApp();
        box = std::make_unique<TAboutBox>(language);
    }

    sweepbox::test::UrlSink sink;
    sweepbox::TLanguage language;
    std::unique_ptr<TAboutBox> box;
};

TEST_F(AboutTest, OnlyTheReleaseDateFollowsTheLanguageOnEachShowing) {
    EXPECT_EQ(box->ProductName->text(), QStringLiteral("Sweepbox 2.14"));
    for (const bool german : {true, false, true}) {
        SCOPED_TRACE(german ? "German" : "English");
        language.German = german;
        box->show();
        EXPECT_EQ(box->Comments->text(),
                  german ? QStringLiteral("13. Februar 2000") : QStringLiteral("13 February 2000"));
        EXPECT_EQ(box->grab().size(), QSize(281, 149));
        box->close();
    }
}

TEST_F(AboutTest, TabReachesTheLinksInOrderAndEnterOpensThem) {
    box->show();
    QApplication::setActiveWindow(box.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(box.get()));
    box->HyperLink1->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTest::keyClick(box->HyperLink1, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), box->HyperLink2);
    QTest::keyClick(box->HyperLink2, Qt::Key_Return);
    EXPECT_EQ(sink.opened, (std::vector{QUrl(box->HyperLink1->HREF), QUrl(box->HyperLink2->HREF)}));
    EXPECT_TRUE(box->isVisible()) << "Enter on a link does not close the window";

    QTest::keyClick(box->HyperLink2, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), box->OKButton);
    QTest::keyClick(box->OKButton, Qt::Key_Return);
    EXPECT_FALSE(box->isVisible());
    EXPECT_EQ(box->result(), QDialog::Accepted);
}

TEST_F(AboutTest, EachShowingStartsOnOkSoEnterClosesIt) {
    for (const int showing : {1, 2}) {
        SCOPED_TRACE(showing);
        box->show();
        QApplication::setActiveWindow(box.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(box.get()));
        EXPECT_EQ(QApplication::focusWidget(), box->OKButton);
        if (showing == 1) {
            // The focus left on a link does not carry over to the next showing.
            QTest::keyClick(box->OKButton, Qt::Key_Tab);
            ASSERT_EQ(QApplication::focusWidget(), box->HyperLink1);
            box->reject();
            continue;
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        EXPECT_FALSE(box->isVisible());
        EXPECT_EQ(box->result(), QDialog::Accepted);
        EXPECT_TRUE(sink.opened.empty());
    }
}

} // namespace

#include "support/moc_QtTestApp.cpp"
