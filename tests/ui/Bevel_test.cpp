// Where does each bevel shape draw its dark and light lines, and do clicks
// reach the controls it is laid over?
#include "ui/Bevel.h"

#include "support/QtTestApp.h"

#include <QPushButton>

#include <gtest/gtest.h>

namespace {

TEST(Bevel, EachShapeDrawsADarkLineWithALightOneBesideIt) {
    sweepbox::test::EnsureApp();
    const QColor dark = Qt::blue, light = Qt::yellow, none = Qt::white;
    const struct {
        const char* name;
        TBevel::TShape shape;
        QSize size;
        // Sample points across the line, and the colour expected at each.
        std::vector<std::pair<QPoint, QColor>> samples;
    } rows[] = {
        {"top line",
         TBevel::TShape::TopLine,
         {50, 10},
         {{{0, 0}, dark}, {{49, 0}, dark}, {{25, 1}, light}, {{25, 2}, none}, {{25, 9}, none}}},
        {"vertical line, odd width",
         TBevel::TShape::VerticalLine,
         {7, 29},
         {{{1, 10}, none}, {{2, 0}, dark}, {{2, 28}, dark}, {{3, 14}, light}, {{4, 14}, none}}},
        {"vertical line, even width",
         TBevel::TShape::VerticalLine,
         {8, 20},
         {{{3, 10}, dark}, {{4, 10}, light}, {{5, 10}, none}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TBevel bevel(row.shape, nullptr);
        QPalette palette = bevel.palette();
        palette.setColor(QPalette::Window, none);
        palette.setColor(QPalette::Dark, dark);
        palette.setColor(QPalette::Light, light);
        bevel.setPalette(palette);
        bevel.resize(row.size);
        const QImage image = bevel.grab().toImage();
        for (const auto& [at, colour] : row.samples)
            EXPECT_EQ(image.pixelColor(at), colour) << at.x() << "," << at.y();
    }
}

TEST(Bevel, ClicksGoToTheControlUnderIt) {
    sweepbox::test::EnsureApp();
    QWidget panel;
    panel.resize(200, 60);
    auto* button = new QPushButton(QStringLiteral("Below"), &panel);
    button->setGeometry(10, 10, 100, 30);
    auto* bevel = new TBevel(TBevel::TShape::TopLine, &panel);
    bevel->setGeometry(0, 5, 200, 50);
    bevel->raise();
    EXPECT_EQ(panel.childAt(50, 20), button);
    EXPECT_EQ(panel.childAt(150, 20), nullptr);
}

} // namespace
