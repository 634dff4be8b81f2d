// What does the link do with the pointer, the keyboard and the focus, and
// when does it hand its target to the desktop?
#include "HyperLink.h"

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

using testsupport::SendMouse;

const QString kTarget = QStringLiteral("https://www.example.org/");

class HyperLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureApp();
        link = std::make_unique<THyperLink>();
        link->HREF = kTarget;
        link->SetCaption(QStringLiteral("www.example.org"));
    }
    void Send(QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons held) {
        SendMouse(link.get(), type, pos, button, held);
    }

    testsupport::UrlSink sink;
    std::unique_ptr<THyperLink> link;
};

TEST_F(HyperLinkTest, StartStateAndSizeFollowingCaptionAndFont) {
    THyperLink fresh;
    EXPECT_EQ(fresh.size(), QSize(55, 14));
    EXPECT_TRUE(fresh.font().underline());
    EXPECT_EQ((std::vector{fresh.FontColor(), fresh.OverColor, fresh.PressedColor, fresh.Color()}),
              (std::vector{QColor(0, 0, 255), QColor(0, 128, 0), QColor(255, 0, 0), QColor(192, 192, 192)}));
    EXPECT_EQ(fresh.focusPolicy() & Qt::TabFocus, Qt::TabFocus);
    EXPECT_EQ(fresh.cursor().shape(), Qt::PointingHandCursor);

    const QFontMetrics fm(link->font());
    EXPECT_EQ(link->size(), QSize(fm.horizontalAdvance(link->text()) + 5, fm.height() + 5));
    QFont italic = link->font();
    italic.setItalic(true);
    link->setFont(italic);
    const QFontMetrics fi(link->font());
    EXPECT_EQ(link->width(), fi.horizontalAdvance(QStringLiteral("www.example.org,")) + 5)
        << "an italic caption gets room for its slanted last letter";
    link->setText(QStringLiteral("x"));
    EXPECT_EQ(link->width(), fi.horizontalAdvance(QStringLiteral("x,")) + 5);
}

TEST_F(HyperLinkTest, OpensOnlyOnLeftReleaseInsideWithATarget) {
    struct Step {
        QEvent::Type type;
        QPoint pos; // (-1,-1): the far corner; (-2,-2): one pixel beyond it
        Qt::MouseButton button;
        Qt::MouseButtons held;
    };
    const QPoint in(3, 3), out(-20, 40), corner(-1, -1), beyond(-2, -2);
    const auto L = Qt::LeftButton, R = Qt::RightButton, M = Qt::MiddleButton, N = Qt::NoButton;
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
        {"right button click", {{P, in, R, R}, {U, in, R, {}}}, false},
        {"middle button click", {{P, in, M, M}, {U, in, M, {}}}, false},
        {"release on the far corner counts as inside", {{P, in, L, L}, {U, corner, L, {}}}, true},
        {"release one pixel beyond the corner", {{P, in, L, L}, {U, beyond, L, {}}}, false},
        {"empty target", click, false, QString()},
        {"scheme nobody handles is ignored", click, false, QStringLiteral("nosuchscheme-sweepbox:whatever")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sink.opened.clear();
        link->HREF = row.href;
        for (Step s : row.steps) {
            if (s.pos == corner || s.pos == beyond)
                s.pos = QPoint(link->width(), link->height()) + (s.pos == beyond ? QPoint(1, 1) : QPoint());
            Send(s.type, s.pos, s.button, s.held);
        }
        EXPECT_EQ(sink.opened, row.opens ? std::vector{QUrl(kTarget)} : std::vector<QUrl>{});
        EXPECT_EQ(link->State(), THyperLink::TLinkState::Rest);
        EXPECT_EQ(link->FontColor(), link->NotPressedColor);
    }
}

TEST_F(HyperLinkTest, ColoursFollowTheState) {
    Send(QEvent::MouseMove, QPoint(2, 2), Qt::NoButton, {});
    EXPECT_EQ(link->State(), THyperLink::TLinkState::Over);
    EXPECT_EQ(link->FontColor(), link->OverColor);
    Send(QEvent::MouseButtonPress, QPoint(2, 2), Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(link->State(), THyperLink::TLinkState::Pressed);
    EXPECT_EQ(link->FontColor(), link->PressedColor);
    Send(QEvent::MouseMove, QPoint(-5, 2), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(link->FontColor(), link->NotPressedColor) << "dragged off the link";
    Send(QEvent::MouseMove, QPoint(2, 2), Qt::NoButton, Qt::MiddleButton);
    EXPECT_EQ(link->FontColor(), link->PressedColor) << "middle button held counts as pressed";
    Send(QEvent::MouseButtonRelease, QPoint(2, 2), Qt::MiddleButton, {});
    EXPECT_TRUE(sink.opened.empty());

    Send(QEvent::MouseMove, QPoint(2, 2), Qt::NoButton, {});
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(link.get(), &leave);
    EXPECT_EQ(link->State(), THyperLink::TLinkState::Rest);
    EXPECT_EQ(link->FontColor(), link->NotPressedColor);

    link->SetFontColor(QColor(0x80, 0, 0));
    EXPECT_EQ(link->NotPressedColor, QColor(0x80, 0, 0)) << "a new colour at rest becomes the rest colour";
    Send(QEvent::MouseMove, QPoint(2, 2), Qt::NoButton, {});
    link->SetFontColor(QColor(0, 0, 0x80));
    EXPECT_EQ(link->NotPressedColor, QColor(0x80, 0, 0)) << "while hovered the rest colour stays";
}

// Focus needs a shown, active window.
class HyperLinkFocusTest : public HyperLinkTest {
  protected:
    void SetUp() override {
        HyperLinkTest::SetUp();
        dialog = std::make_unique<QDialog>();
        auto* layout = new QVBoxLayout(dialog.get());
        link->setParent(dialog.get());
        layout->addWidget(link.get());
        ok = new QPushButton(QStringLiteral("OK"), dialog.get());
        ok->setDefault(true);
        layout->addWidget(ok);
        QObject::connect(ok, &QPushButton::clicked, [this] { ++okClicks; });
        dialog->show();
        QApplication::setActiveWindow(dialog.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
        ok->setFocus(); // tests give the focus to the link themselves
    }
    void TearDown() override {
        link->setParent(nullptr);
        dialog.reset();
    }
    std::unique_ptr<QDialog> dialog;
    QPushButton* ok = nullptr;
    int okClicks = 0;
};

TEST_F(HyperLinkFocusTest, EnterWithFocusOpensTheLinkAndNotTheDefaultButton) {
    link->setFocus();
    ASSERT_TRUE(link->hasFocus());
    EXPECT_EQ(link->FontColor(), link->OverColor) << "a focused link shows the hover colour";
    QTest::keyClick(link.get(), Qt::Key_Return);
    QTest::keyClick(link.get(), Qt::Key_Enter);
    EXPECT_EQ(sink.opened, (std::vector{QUrl(kTarget), QUrl(kTarget)}));
    EXPECT_EQ(okClicks, 0);
    ok->setFocus();
    EXPECT_EQ(link->FontColor(), link->NotPressedColor);
}

TEST_F(HyperLinkFocusTest, StatusBarShowsTheTargetWhileFocusedOrHoveredThenGetsItsTextBack) {
    struct Row {
        const char* name;
        bool panels;
        int panelNo;
    };
    for (const Row& row : {Row{"second of two panels", true, 1}, Row{"no such panel: the message area", false, 3}}) {
        SCOPED_TRACE(row.name);
        QStatusBar bar;
        QLabel* first = nullptr;
        QLabel* panel = nullptr;
        if (row.panels) {
            bar.addWidget(first = new QLabel(QStringLiteral("first")));
            bar.addWidget(panel = new QLabel(QStringLiteral("ready")));
        } else {
            bar.showMessage(QStringLiteral("ready"));
        }
        const auto shown = [&] { return panel ? panel->text() : bar.currentMessage(); };
        link->StatusBar = &bar;
        link->StatusPanelNo = row.panelNo;

        link->setFocus();
        EXPECT_EQ(shown(), kTarget);
        if (first) {
            EXPECT_EQ(first->text(), QStringLiteral("first"));
        }
        ok->setFocus();
        EXPECT_EQ(shown(), QStringLiteral("ready"));
        Send(QEvent::MouseMove, QPoint(2, 2), Qt::NoButton, {});
        EXPECT_EQ(shown(), kTarget) << "hovering shows the target without the focus too";
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(link.get(), &leave);
    }
}

} // namespace

#include "support/moc_QtTestApp.cpp"
