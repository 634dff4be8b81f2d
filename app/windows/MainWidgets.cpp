// The pictures on the main window's buttons; the program's icon is the mail
// picture.
#include "app/windows/MainWidgets.h"

#include "ui/Colours.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

// Coordinates are on the 20 x 20 glyph grid. Outlines and the strokes that
// stand on their own keep 3:1 against what the glyph is drawn on (the
// painter's background: the toolbar), so every picture keeps its shape on a
// dark toolbar too; fills inside an outline keep their colours.
void PaintGlyph(QPainter& p, TGlyph glyph) {
    const QColor ground = p.background().color();
    const auto ink = [&ground](const QColor& Want) { return colours::Readable(Want, ground, 3.0); };
    const QColor outline = ink(QColor(40, 40, 40));
    p.setRenderHint(QPainter::Antialiasing, true);
    switch (glyph) {
    case TGlyph::Connect: {
        // Two plug halves pushed together, with a green cable between them.
        p.setPen(QPen(ink(QColor(0, 120, 0)), 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(1.5, 14.5), QPointF(5.5, 10.5));
        p.drawLine(QPointF(14.5, 5.5), QPointF(18.5, 1.5));
        p.setPen(QPen(outline, 1.0));
        p.setBrush(QColor(90, 190, 90));
        p.save();
        p.translate(10, 10);
        p.rotate(45);
        p.translate(-10, -10);
        p.drawRoundedRect(QRectF(4, 7, 5.5, 6), 1.2, 1.2);
        p.drawRoundedRect(QRectF(10.5, 7, 5.5, 6), 1.2, 1.2);
        p.setPen(QPen(outline, 1.2));
        p.drawLine(QPointF(9.5, 8.5), QPointF(10.5, 8.5));
        p.drawLine(QPointF(9.5, 11.5), QPointF(10.5, 11.5));
        p.restore();
        break;
    }
    case TGlyph::Disconnect: {
        // The same plug halves pulled apart, a red spark in the gap.
        p.setPen(QPen(ink(QColor(0, 120, 0)), 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(1.5, 18.5), QPointF(4.0, 16.0));
        p.drawLine(QPointF(16.0, 4.0), QPointF(18.5, 1.5));
        p.save();
        p.translate(10, 10);
        p.rotate(-45);
        p.translate(-10, -10);
        p.setPen(QPen(outline, 1.0));
        p.setBrush(QColor(200, 200, 200));
        p.drawRoundedRect(QRectF(1.5, 7, 5.5, 6), 1.2, 1.2);
        p.drawRoundedRect(QRectF(13, 7, 5.5, 6), 1.2, 1.2);
        p.restore();
        p.setPen(QPen(ink(QColor(200, 0, 0)), 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 8), QPointF(12, 12));
        p.drawLine(QPointF(12, 8), QPointF(8, 12));
        p.drawLine(QPointF(10, 6.5), QPointF(10, 13.5));
        break;
    }
    case TGlyph::Cancel: {
        // A red stop sign.
        QPolygonF octagon;
        for (int i = 0; i < 8; ++i) {
            const double angle = (22.5 + 45.0 * i) * M_PI / 180.0;
            octagon << QPointF(10 + 8.8 * std::cos(angle), 10 + 8.8 * std::sin(angle));
        }
        // The sign itself is its shape: its red keeps the contrast too.
        p.setPen(QPen(ink(QColor(110, 0, 0)), 1.0));
        p.setBrush(ink(QColor(210, 30, 30)));
        p.drawPolygon(octagon);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(5, 8.5, 10, 3));
        break;
    }
    case TGlyph::Delete: {
        // A bold red cross.
        p.setPen(QPen(ink(QColor(110, 0, 0)), 5.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4, 4), QPointF(16, 16));
        p.drawLine(QPointF(16, 4), QPointF(4, 16));
        p.setPen(QPen(ink(QColor(225, 40, 40)), 3.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4, 4), QPointF(16, 16));
        p.drawLine(QPointF(16, 4), QPointF(4, 16));
        break;
    }
    case TGlyph::Mark: {
        // Three list lines, each with a tick in front.
        for (int i = 0; i < 3; ++i) {
            const double y = 4.5 + i * 5.5;
            p.setPen(QPen(ink(QColor(0, 70, 170)), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            QPainterPath tick;
            tick.moveTo(1.5, y);
            tick.lineTo(3.5, y + 2.2);
            tick.lineTo(7.0, y - 2.0);
            p.setBrush(Qt::NoBrush);
            p.drawPath(tick);
            p.setPen(QPen(outline, 1.6, Qt::SolidLine, Qt::FlatCap));
            p.drawLine(QPointF(9, y), QPointF(18.5, y));
        }
        break;
    }
    case TGlyph::Header: {
        // A page whose top lines are highlighted: the header of a message.
        QPainterPath page;
        page.moveTo(3.5, 1.5);
        page.lineTo(13, 1.5);
        page.lineTo(16.5, 5);
        page.lineTo(16.5, 18.5);
        page.lineTo(3.5, 18.5);
        page.closeSubpath();
        p.setPen(QPen(outline, 1.0));
        p.setBrush(Qt::white);
        p.drawPath(page);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 215, 60));
        p.drawRect(QRectF(5, 4, 8.5, 5.5));
        p.setPen(QPen(QColor(0, 70, 170), 1.2));
        p.drawLine(QPointF(5.5, 5.5), QPointF(12.5, 5.5));
        p.drawLine(QPointF(5.5, 8), QPointF(11, 8));
        p.setPen(QPen(QColor(150, 150, 150), 1.0));
        for (double y = 11.5; y < 18; y += 2.5)
            p.drawLine(QPointF(5.5, y), QPointF(14.5, y));
        break;
    }
    case TGlyph::Mail: {
        // An envelope.
        p.setPen(QPen(outline, 1.0));
        p.setBrush(QColor(250, 245, 225));
        p.drawRect(QRectF(1.5, 4.5, 17, 11));
        QPainterPath flap;
        flap.moveTo(1.5, 4.5);
        flap.lineTo(10, 11);
        flap.lineTo(18.5, 4.5);
        p.setBrush(Qt::NoBrush);
        p.drawPath(flap);
        p.drawLine(QPointF(1.5, 15.5), QPointF(8, 10));
        p.drawLine(QPointF(18.5, 15.5), QPointF(12, 10));
        break;
    }
    case TGlyph::Info: {
        // A blue disc with a white "i".
        p.setPen(QPen(ink(QColor(0, 50, 140)), 1.0));
        p.setBrush(QColor(40, 110, 210));
        p.drawEllipse(QRectF(1.5, 1.5, 17, 17));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(8.6, 4.2, 2.8, 2.8));
        p.drawRoundedRect(QRectF(8.7, 8.2, 2.6, 7.8), 0.8, 0.8);
        break;
    }
    case TGlyph::Close: {
        // An open door with an arrow leaving through it.
        p.setPen(QPen(outline, 1.0));
        p.setBrush(QColor(170, 110, 50));
        p.drawRect(QRectF(2.5, 1.5, 9, 17));
        p.setBrush(QColor(120, 70, 30));
        QPolygonF door;
        door << QPointF(2.5, 1.5) << QPointF(8.5, 3.5) << QPointF(8.5, 20) << QPointF(2.5, 18.5);
        p.drawPolygon(door);
        p.setPen(QPen(ink(QColor(0, 120, 0)), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(11, 10), QPointF(18, 10));
        p.drawLine(QPointF(15, 7), QPointF(18, 10));
        p.drawLine(QPointF(15, 13), QPointF(18, 10));
        break;
    }
    }
}

} // namespace

TGlyphPainter GlyphPainter(TGlyph glyph) {
    return [glyph](QPainter& p) { PaintGlyph(p, glyph); };
}
