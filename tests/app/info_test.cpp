// What does the about window show in each language, and do its links open
// their targets from the keyboard?
#include "info.h"

#include "HyperLink.h"
#include "support/QtTestApp.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

class AboutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureApp();
        box = std::make_unique<TAboutBox>();
    }
    void TearDown() override { AboutIsGerman = false; }

    testsupport::UrlSink sink;
    std::unique_ptr<TAboutBox> box;
};

TEST_F(AboutTest, OnlyTheReleaseDateFollowsTheLanguageOnEachShowing) {
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Information"));
    EXPECT_EQ(box->ProductName->text(), QStringLiteral("Sweepbox 2.14"));
    EXPECT_EQ(box->Label1->text(), QStringLiteral("e-mail:"));
    EXPECT_EQ(box->Label2->text(), QStringLiteral("Internet:"));
    struct Row {
        bool german;
        QString date;
    };
    for (const Row& row : {Row{true, QStringLiteral("13. Februar 2000")}, Row{false, QStringLiteral("13 February 2000")},
                           Row{true, QStringLiteral("13. Februar 2000")}}) {
        SCOPED_TRACE(row.date.toStdString());
        AboutIsGerman = row.german;
        box->show();
        EXPECT_EQ(box->Comments->text(), row.date);
        EXPECT_LE(box->Comments->sizeHint().width(), box->Comments->width()) << "the date fits its label";
        EXPECT_EQ(testsupport::Shot(box.get(), row.german ? QStringLiteral("about-de.png") : QStringLiteral("about-en.png"))
                      .size(),
                  QSize(281, 149));
        box->close();
    }
}

TEST_F(AboutTest, LayoutKeepsEveryTextInsideThePanel) {
    EXPECT_EQ(box->minimumSize(), box->maximumSize());
    EXPECT_TRUE(box->OKButton->isDefault());
    EXPECT_FALSE(box->ProgramIcon->toolTip().isEmpty());
    EXPECT_EQ(box->ProductName->palette().color(QPalette::WindowText), QColor(0, 0x80, 0));
    EXPECT_TRUE(box->ProductName->font().bold());
    EXPECT_EQ(box->ProductName->font().pixelSize(), 19);
    const QRect inner = box->Panel1->contentsRect();
    for (const QWidget* w : box->Panel1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        SCOPED_TRACE(w->objectName().toStdString());
        EXPECT_TRUE(inner.contains(w->geometry()));
        const auto* label = qobject_cast<const QLabel*>(w);
        if (label && label->pixmap().isNull()) {
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
        }
    }
    EXPECT_FALSE(box->ProductName->geometry().intersects(box->Label1->geometry()));
    // The size rule leaves a margin below the text that may run under the
    // next link; the text rows themselves must not overlap.
    EXPECT_GE(box->HyperLink2->y() - box->HyperLink1->y(), box->HyperLink1->fontMetrics().height());
}

TEST_F(AboutTest, LinksPointAtTheMakerAndKeepTheirColourWhenHovered) {
    EXPECT_EQ(box->HyperLink1->HREF, QStringLiteral("mailto:") + box->HyperLink1->Caption());
    EXPECT_TRUE(box->HyperLink1->Caption().endsWith(QStringLiteral("@example.org")));
    EXPECT_TRUE(QUrl(box->HyperLink2->HREF).host().endsWith(QStringLiteral("example.org")));
    for (const THyperLink* link : {box->HyperLink1, box->HyperLink2}) {
        SCOPED_TRACE(link->objectName().toStdString());
        EXPECT_EQ((std::vector{link->NotPressedColor, link->OverColor, link->PressedColor}),
                  (std::vector{QColor(0x80, 0, 0), QColor(0x80, 0, 0), QColor(255, 0, 0)}));
        EXPECT_TRUE(link->font().bold());
        EXPECT_TRUE(link->font().underline());
        EXPECT_EQ(link->StatusBar, nullptr);
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

} // namespace

#include "support/moc_QtTestApp.cpp"
