// How does the speed button scale and grey its glyph, which frame does it
// draw in each state, how large does it want to be, and does it leave the
// keyboard focus where it is?
#include "ui/SpeedButton.h"

#include "support/QtTestApp.h"

#include <QEnterEvent>
#include <QLineEdit>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Fills the left half of the grid with red.
void LeftHalfRed(QPainter& p) {
    p.fillRect(QRectF(0, 0, kGlyphGrid / 2.0, kGlyphGrid), Qt::red);
}

bool IsGrey(QRgb px) {
    return qRed(px) == qGreen(px) && qGreen(px) == qBlue(px);
}

TEST(DrawGlyph, ScalesTheGridToTheSizeAndDevicePixels) {
    sweepbox::test::EnsureApp();
    const struct {
        const char* name;
        int size;
        qreal dpr;
    } rows[] = {{"grid size", 20, 1.0}, {"larger", 32, 1.0}, {"smaller", 16, 1.0}, {"double density", 24, 2.0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QImage image = DrawGlyph(LeftHalfRed, row.size, row.dpr, true).toImage();
        const int device = qRound(row.size * row.dpr);
        ASSERT_EQ(image.size(), QSize(device, device));
        const int half = device / 2, y = device / 2;
        EXPECT_EQ(image.pixelColor(0, y), QColor(Qt::red));
        EXPECT_EQ(image.pixelColor(half - 1, y), QColor(Qt::red));
        EXPECT_EQ(image.pixelColor(half + 1, y).alpha(), 0);
        EXPECT_EQ(image.pixelColor(device - 1, y).alpha(), 0);
    }
}

TEST(DrawGlyph, DisabledIsAGreyShapeOverAWhiteCopyOnePixelDownRight) {
    sweepbox::test::EnsureApp();
    const QImage image = DrawGlyph(LeftHalfRed, 20, 1.0, false).toImage();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ASSERT_TRUE(IsGrey(image.pixel(x, y))) << x << "," << y;
    // The top row holds only the grey shape; below it the white copy shows
    // through, and just right of the shape's edge only the white copy is left.
    EXPECT_EQ(image.pixelColor(5, 0).red(), 128);
    const QColor inside = image.pixelColor(5, 10), edge = image.pixelColor(10, 10);
    EXPECT_GT(inside.alpha(), 0);
    EXPECT_GT(inside.red(), 128);
    EXPECT_LT(inside.red(), 255);
    EXPECT_GT(edge.alpha(), 0);
    EXPECT_EQ(edge.red(), 255);
    EXPECT_EQ(image.pixelColor(12, 10).alpha(), 0);
}

TEST(DrawGlyph, NoPainterGivesAnEmptyPicture) {
    sweepbox::test::EnsureApp();
    const QImage image = DrawGlyph(TGlyphPainter(), 20, 1.0, true).toImage();
    EXPECT_EQ(image.pixelColor(10, 10).alpha(), 0);
}

class SpeedButtonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureApp();
        button = std::make_unique<TSpeedButton>(LeftHalfRed, nullptr);
        button->setText(QStringLiteral("Connect"));
        QPalette palette = button->palette();
        palette.setColor(QPalette::Window, Qt::white);
        palette.setColor(QPalette::Light, Qt::yellow);
        palette.setColor(QPalette::Dark, Qt::blue);
        button->setPalette(palette);
        button->resize(65, 41);
    }
    void Hover(bool inside) {
        if (inside) {
            QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
            QApplication::sendEvent(button.get(), &enter);
        } else {
            QEvent leave(QEvent::Leave);
            QApplication::sendEvent(button.get(), &leave);
        }
    }

    std::unique_ptr<TSpeedButton> button;
};

TEST_F(SpeedButtonTest, FrameShowsOnlyWhileHoveredOrHeld) {
    const QColor none = Qt::white, light = Qt::yellow, dark = Qt::blue;
    const struct {
        const char* name;
        bool enabled, hovered, held;
        QColor topLeft, bottomRight;
    } rows[] = {
        {"at rest", true, false, false, none, none},
        {"hovered: raised", true, true, false, light, dark},
        {"held: sunken", true, true, true, dark, light},
        {"left again", true, false, false, none, none},
        {"disabled and hovered", false, true, false, none, none},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        button->setEnabled(row.enabled);
        Hover(row.hovered);
        button->setDown(row.held);
        const QImage image = button->grab().toImage();
        const int w = image.width(), h = image.height();
        EXPECT_EQ(image.pixelColor(w / 2, 0), row.topLeft);
        EXPECT_EQ(image.pixelColor(0, h / 2), row.topLeft);
        EXPECT_EQ(image.pixelColor(w / 2, h - 1), row.bottomRight);
        EXPECT_EQ(image.pixelColor(w - 1, h / 2), row.bottomRight);
    }
}

TEST_F(SpeedButtonTest, GlyphIsInColourOnlyWhileEnabled) {
    for (const bool enabled : {true, false}) {
        SCOPED_TRACE(enabled ? "enabled" : "disabled");
        button->setEnabled(enabled);
        const QImage image = button->grab().toImage();
        // The glyph is centred above the caption.
        const QColor glyph = image.pixelColor(image.width() / 2 - 5, 12);
        EXPECT_EQ(glyph == QColor(Qt::red), enabled) << glyph.name().toStdString();
        EXPECT_EQ(IsGrey(glyph.rgb()), !enabled) << glyph.name().toStdString();
    }
}

TEST_F(SpeedButtonTest, SizeHintFitsCaptionAndGlyphInTheFont) {
    for (const int points : {8, 12, 24}) {
        for (const char* caption : {"", "OK", "Disconnect from the server"}) {
            SCOPED_TRACE(std::to_string(points) + " pt \"" + caption + "\"");
            QFont font = button->font();
            font.setPointSize(points);
            button->setFont(font);
            button->setText(QString::fromUtf8(caption));
            const QFontMetrics fm(font);
            const QSize hint = button->sizeHint();
            EXPECT_GT(hint.width(), fm.horizontalAdvance(button->text()));
            EXPECT_GE(hint.height(), 20 + fm.height());
            EXPECT_EQ(button->minimumSizeHint(), hint);
        }
    }
}

TEST_F(SpeedButtonTest, AClickLeavesTheFocusInTheField) {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* field = new QLineEdit(&window);
    auto* speed = new TSpeedButton(LeftHalfRed, &window);
    speed->setText(QStringLiteral("Go"));
    layout->addWidget(field);
    layout->addWidget(speed);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    field->setFocus();
    QSignalSpy clicked(speed, &QAbstractButton::clicked);
    QTest::mouseClick(speed, Qt::LeftButton);
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_EQ(QApplication::focusWidget(), field);
    // Tab passes over the button.
    QTest::keyClick(field, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), speed);
}

} // namespace
