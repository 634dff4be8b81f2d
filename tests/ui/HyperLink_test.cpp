// What does the link do with the pointer, the keyboard and the focus, and
// when does it hand its target to the desktop?
#include "HyperLink.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QUrl>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

QApplication& App() {
    static int argc = 1;
    static char arg0[] = "HyperLink_test";
    static char* argv[] = {arg0, nullptr};
    // Never destroyed: Qt's own statics are gone by the time static
    // destructors run, and tearing the application down then crashes.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

} // namespace

void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

// Receives what the link hands to the desktop, instead of a browser.
class UrlSink : public QObject {
    Q_OBJECT
  public:
    std::vector<QUrl> opened;
  public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

namespace {

class HyperLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        for (const char* scheme : {"https", "http", "mailto"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &sink, "open");
        link = std::make_unique<THyperLink>();
        link->HREF = QStringLiteral("https://www.example.org/");
        link->SetCaption(QStringLiteral("www.example.org"));
    }
    void TearDown() override {
        for (const char* scheme : {"https", "http", "mailto"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    void Send(QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent ev(type, QPointF(pos), QPointF(link->mapToGlobal(pos)), button, held, Qt::NoModifier);
        QApplication::sendEvent(link.get(), &ev);
    }

    UrlSink sink;
    std::unique_ptr<THyperLink> link;
};

TEST_F(HyperLinkTest, StartsUnderlinedBlueFocusableWithHandCursor) {
    THyperLink fresh;
    EXPECT_EQ(fresh.size(), QSize(55, 14));
    EXPECT_TRUE(fresh.font().underline());
    EXPECT_EQ(fresh.FontColor(), QColor(0, 0, 255));
    EXPECT_EQ(fresh.OverColor, QColor(0, 128, 0));
    EXPECT_EQ(fresh.PressedColor, QColor(255, 0, 0));
    EXPECT_EQ(fresh.Color(), QColor(192, 192, 192));
    EXPECT_EQ(fresh.focusPolicy() & Qt::TabFocus, Qt::TabFocus);
    EXPECT_EQ(fresh.cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(HyperLinkTest, SizeFollowsCaptionAndFont) {
    const QFontMetrics fm(link->font());
    EXPECT_EQ(link->width(), fm.horizontalAdvance(QStringLiteral("www.example.org")) + 5);
    EXPECT_EQ(link->height(), fm.height() + 5);

    QFont italic = link->font();
    italic.setItalic(true);
    link->setFont(italic);
    const QFontMetrics fi(link->font());
    EXPECT_EQ(link->width(), fi.horizontalAdvance(QStringLiteral("www.example.org,")) + 5)
        << "an italic caption gets room for its slanted last letter";

    link->setText(QStringLiteral("x"));
    EXPECT_EQ(link->width(), fi.horizontalAdvance(QStringLiteral("x,")) + 5);
}

TEST_F(HyperLinkTest, PointerSequencesOpenOnlyOnLeftReleaseInside) {
    struct Step {
        QEvent::Type type;
        QPoint pos;
        Qt::MouseButton button;
        Qt::MouseButtons held;
    };
    const QPoint in(3, 3);
    const QPoint out(-20, 40);
    const auto L = Qt::LeftButton;
    const auto R = Qt::RightButton;
    const auto M = Qt::MiddleButton;
    const auto P = QEvent::MouseButtonPress;
    const auto V = QEvent::MouseMove;
    const auto U = QEvent::MouseButtonRelease;
    struct Row {
        const char* name;
        std::vector<Step> steps;
        bool opens;
    };
    const std::vector<Row> rows = {
        {"click inside", {{P, in, L, L}, {U, in, L, {}}}, true},
        {"press, move off, release outside", {{P, in, L, L}, {V, out, Qt::NoButton, L}, {U, out, L, {}}}, false},
        {"press, move off and back, release inside",
         {{P, in, L, L}, {V, out, Qt::NoButton, L}, {V, in, Qt::NoButton, L}, {U, in, L, {}}},
         true},
        {"right button click", {{P, in, R, R}, {U, in, R, {}}}, false},
        {"middle button click", {{P, in, M, M}, {U, in, M, {}}}, false},
        {"release on the far corner counts as inside", {{P, in, L, L}, {U, QPoint(-1, -1), L, {}}}, true},
        {"release one pixel beyond the corner", {{P, in, L, L}, {U, QPoint(-2, -2), L, {}}}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sink.opened.clear();
        for (Step s : row.steps) {
            // Negative points stand for "relative to the far corner".
            if (s.pos == QPoint(-1, -1))
                s.pos = QPoint(link->width(), link->height());
            if (s.pos == QPoint(-2, -2))
                s.pos = QPoint(link->width() + 1, link->height() + 1);
            Send(s.type, s.pos, s.button, s.held);
        }
        ASSERT_EQ(sink.opened.size(), row.opens ? 1u : 0u);
        if (row.opens) {
            EXPECT_EQ(sink.opened[0], QUrl(QStringLiteral("https://www.example.org/")));
        }
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
}

TEST_F(HyperLinkTest, NewFontColourBecomesRestColourOnlyAtRest) {
    link->SetFontColor(QColor(0x80, 0, 0));
    EXPECT_EQ(link->NotPressedColor, QColor(0x80, 0, 0));

    Send(QEvent::MouseMove, QPoint(2, 2), Qt::NoButton, {});
    link->SetFontColor(QColor(0, 0, 0x80));
    EXPECT_EQ(link->NotPressedColor, QColor(0x80, 0, 0)) << "while hovered the rest colour stays";
}

TEST_F(HyperLinkTest, EmptyTargetOpensNothing) {
    link->HREF.clear();
    Send(QEvent::MouseButtonPress, QPoint(2, 2), Qt::LeftButton, Qt::LeftButton);
    Send(QEvent::MouseButtonRelease, QPoint(2, 2), Qt::LeftButton, {});
    EXPECT_TRUE(sink.opened.empty());
}

TEST_F(HyperLinkTest, UnhandledSchemeIsIgnoredSilently) {
    link->HREF = QStringLiteral("nosuchscheme-sweepbox:whatever");
    Send(QEvent::MouseButtonPress, QPoint(2, 2), Qt::LeftButton, Qt::LeftButton);
    Send(QEvent::MouseButtonRelease, QPoint(2, 2), Qt::LeftButton, {});
    EXPECT_TRUE(sink.opened.empty());
    EXPECT_EQ(link->State(), THyperLink::TLinkState::Rest);
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
        bar = new QStatusBar(dialog.get());
        layout->addWidget(bar);
        dialog->show();
        QApplication::setActiveWindow(dialog.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
        // Tests give the focus to the link themselves.
        ok->setFocus();
        okClicks = 0;
        QObject::connect(ok, &QPushButton::clicked, [this] { ++okClicks; });
    }
    void TearDown() override {
        link->setParent(nullptr);
        dialog.reset();
        HyperLinkTest::TearDown();
    }
    std::unique_ptr<QDialog> dialog;
    QPushButton* ok = nullptr;
    QStatusBar* bar = nullptr;
    int okClicks = 0;
};

TEST_F(HyperLinkFocusTest, EnterWithFocusOpensTheLinkAndNotTheDefaultButton) {
    link->setFocus();
    ASSERT_TRUE(link->hasFocus());
    EXPECT_EQ(link->FontColor(), link->OverColor) << "a focused link shows the hover colour";
    QTest::keyClick(link.get(), Qt::Key_Return);
    ASSERT_EQ(sink.opened.size(), 1u);
    EXPECT_EQ(sink.opened[0], QUrl(QStringLiteral("https://www.example.org/")));
    QTest::keyClick(link.get(), Qt::Key_Enter);
    EXPECT_EQ(sink.opened.size(), 2u);
    EXPECT_EQ(okClicks, 0);
}

TEST_F(HyperLinkFocusTest, StatusPanelShowsTargetWhileFocusedThenGetsItsTextBack) {
    auto* panel0 = new QLabel(QStringLiteral("first"), bar);
    auto* panel1 = new QLabel(QStringLiteral("ready"), bar);
    bar->addWidget(panel0);
    bar->addWidget(panel1);
    link->StatusBar = bar;
    link->StatusPanelNo = 1;

    link->setFocus();
    EXPECT_EQ(panel1->text(), link->HREF);
    EXPECT_EQ(panel0->text(), QStringLiteral("first"));
    ok->setFocus();
    EXPECT_EQ(panel1->text(), QStringLiteral("ready"));
    EXPECT_EQ(link->FontColor(), link->NotPressedColor);

    // Hovering shows the target without the focus too.
    Send(QEvent::MouseMove, QPoint(2, 2), Qt::NoButton, {});
    EXPECT_EQ(panel1->text(), link->HREF);
}

TEST_F(HyperLinkFocusTest, StatusBarWithoutPanelsUsesItsMessage) {
    link->StatusBar = bar;
    link->StatusPanelNo = 3;
    bar->showMessage(QStringLiteral("idle"));
    link->setFocus();
    EXPECT_EQ(bar->currentMessage(), link->HREF);
    ok->setFocus();
    EXPECT_EQ(bar->currentMessage(), QStringLiteral("idle"));
}

} // namespace

#include "HyperLink_test.moc"
