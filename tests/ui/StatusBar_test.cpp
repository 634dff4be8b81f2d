// How are the status bar's panels laid out, which grow with their text, and
// what happens to reads and writes of a panel that does not exist?
#include "ui/StatusBar.h"

#include "support/QtTestApp.h"

#include <QLayout>
#include <QMainWindow>

#include <gtest/gtest.h>

#include <memory>

namespace {

class StatusBarTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureApp();
        window = std::make_unique<QMainWindow>();
        bar = new TStatusBar({70, 70, 50}, window.get());
        window->setStatusBar(bar);
        window->resize(400, 100);
        window->show();
        QCoreApplication::processEvents();
    }
    void Settle() {
        window->layout()->activate();
        bar->layout()->activate();
    }

    std::unique_ptr<QMainWindow> window;
    TStatusBar* bar = nullptr;
};

TEST_F(StatusBarTest, PanelsByIndexAndNothingOutside) {
    ASSERT_EQ(bar->PanelCount(), 3);
    const struct {
        int index;
        bool exists;
    } rows[] = {{-1, false}, {0, true}, {2, true}, {3, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.index);
        const QString text = QStringLiteral("text %1").arg(row.index);
        bar->SetPanelText(row.index, text);
        EXPECT_EQ(bar->PanelText(row.index), row.exists ? text : QString());
        EXPECT_EQ(bar->Panel(row.index) != nullptr, row.exists);
        if (row.exists) {
            EXPECT_EQ(bar->Panel(row.index)->objectName(), QStringLiteral("Panel%1").arg(row.index));
        }
    }
}

TEST_F(StatusBarTest, FixedPanelsGrowForTheirTextTheLastOnlyFillsTheBar) {
    Settle();
    EXPECT_GE(bar->Panel(0)->width(), 70);
    EXPECT_GE(bar->Panel(1)->width(), 70);
    EXPECT_LT(bar->Panel(0)->width(), 100);
    // The last panel reaches the end of the bar, whatever its own width.
    EXPECT_GT(bar->Panel(2)->geometry().right(), bar->width() - 30);

    const QString count = QStringLiteral("65535 Mails, 999 MByte");
    const int needed = bar->Panel(0)->fontMetrics().horizontalAdvance(count);
    ASSERT_GT(needed, 100);
    bar->SetPanelText(0, count);
    Settle();
    EXPECT_GE(bar->Panel(0)->width(), needed);

    // A long hover text in the last panel is cut: it neither squeezes the
    // panels before it nor widens the window.
    const QSize wanted = bar->sizeHint(), needs = bar->minimumSizeHint();
    bar->SetPanelText(2, QStringLiteral("A hover text far longer than the whole window is wide, ").repeated(3));
    Settle();
    EXPECT_GE(bar->Panel(0)->width(), needed);
    EXPECT_EQ(bar->sizeHint().width(), wanted.width());
    EXPECT_EQ(bar->minimumSizeHint().width(), needs.width());
}

} // namespace
