// What does the link do with the pointer, the keyboard and the focus, and
// when does it hand its target to the desktop?
#include "ui/HyperLink.h"

#include "support/QtTestApp.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using sweepbox::test::SendMouse;

const QString kTarget = QStringLiteral("https://www.example.org/");

class HyperLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureApp();
        link = std::make_unique<THyperLink>();
        link->HREF = kTarget;
        link->SetCaption(QStringLiteral("www.example.org"));
    }

    sweepbox::test::UrlSink sink;
    std::unique_ptr<THyperLink> link;
};

TEST_F(HyperLinkTest, OpensOnlyOnLeftReleaseInsideWithATarget) {
    struct Step {
        QEvent::Type type;
        QPoint pos; // (-2,-2): one pixel beyond the far corner
        Qt::MouseButton button;
        Qt::MouseButtons held;
    };
    const QPoint in(3, 3), out(-20, 40), beyond(-2, -2);
    const auto L = Qt::LeftButton, N = Qt::NoButton;
    const auto P = QEvent::MouseButtonPress, V = QEvent::MouseMove, U = QEvent::MouseButtonRelease;
    const std::vector<Step> click = {{P, in, L, L}, {U, in, L, {}}};
    struct Row {
        const char* name;
        std::vector<Step> steps;
        bool opens;
        QString href = kTarget;
    };
    const std::vector<Row> rows = {
        {"click inside", click, true},
        {"press, move off, release outside", {{P, in, L, L}, {V, out, N, L}, {U, out, L, {}}}, false},
        {"press, move off and back, release inside", {{P, in, L, L}, {V, out, N, L}, {V, in, N, L}, {U, in, L, {}}}, true},
        {"release one pixel beyond the corner", {{P, in, L, L}, {U, beyond, L, {}}}, false},
        {"empty target", click, false, QString()},
        {"scheme nobody handles is ignored", click, false, QStringLiteral("nosuchscheme-sweepbox:whatever")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sink.opened.clear();
        link->HREF = row.href;
        for (Step s : row.steps) {
            if (s.pos == beyond)
                s.pos = QPoint(link->width(), link->height()) + QPoint(1, 1);
            SendMouse(link.get(), s.type, s.pos, s.button, s.held);
        }
        EXPECT_EQ(sink.opened, row.opens ? std::vector{QUrl(kTarget)} : std::vector<QUrl>{});
        EXPECT_EQ(link->State(), THyperLink::TLinkState::Rest);
        EXPECT_EQ(link->FontColor(), link->NotPressedColor);
    }
}

TEST_F(HyperLinkTest, StatusBarShowsTheTargetWhileFocusedOrHoveredThenGetsItsTextBack) {
    // Focus needs a shown, active window; the dialog takes the link over.
    QDialog dialog;
    auto* layout = new QVBoxLayout(&dialog);
    THyperLink* shownLink = link.release();
    shownLink->setParent(&dialog);
    layout->addWidget(shownLink);
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    layout->addWidget(ok);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    ok->setFocus();
    for (const bool panels : {true, false}) { // panel 1 of two; no panel 3: the message area
        SCOPED_TRACE(panels);
        QStatusBar bar;
        QLabel* panel = nullptr;
        if (panels) {
            bar.addWidget(new QLabel(QStringLiteral("first")));
            bar.addWidget(panel = new QLabel(QStringLiteral("ready")));
        } else {
            bar.showMessage(QStringLiteral("ready"));
        }
        const auto shown = [&] { return panel ? panel->text() : bar.currentMessage(); };
        shownLink->StatusBar = &bar;
        shownLink->StatusPanelNo = panels ? 1 : 3;

        shownLink->setFocus();
        EXPECT_EQ(shown(), kTarget);
        ok->setFocus();
        EXPECT_EQ(shown(), QStringLiteral("ready"));
        SendMouse(shownLink, QEvent::MouseMove, QPoint(2, 2), Qt::NoButton, {});
        EXPECT_EQ(shown(), kTarget) << "hovering shows the target without the focus too";
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(shownLink, &leave);
    }
}

} // namespace

#include "support/moc_QtTestApp.cpp"
