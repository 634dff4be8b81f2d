#include "MainWidgets.h"

#include <QEnterEvent>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QStyleOption>
#include <QTimerEvent>

#include <cmath>

namespace {

constexpr int kGlyphSize = 20;

// All glyphs are drawn on a 20 x 20 grid; the painter is scaled to the
// requested size.
void PaintGlyph(QPainter& p, TGlyph glyph) {
    const QColor outline(40, 40, 40);
    p.setRenderHint(QPainter::Antialiasing, true);
    switch (glyph) {
    case TGlyph::Connect: {
        // Two plug halves pushed together, with a green cable between them.
        p.setPen(QPen(QColor(0, 120, 0), 2.2, Qt::SolidLine, Qt::RoundCap));
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
        p.setPen(QPen(QColor(0, 120, 0), 2.2, Qt::SolidLine, Qt::RoundCap));
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
        p.setPen(QPen(QColor(200, 0, 0), 1.6, Qt::SolidLine, Qt::RoundCap));
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
        p.setPen(QPen(QColor(110, 0, 0), 1.0));
        p.setBrush(QColor(210, 30, 30));
        p.drawPolygon(octagon);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(5, 8.5, 10, 3));
        break;
    }
    case TGlyph::Delete: {
        // A bold red cross.
        p.setPen(QPen(QColor(110, 0, 0), 5.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4, 4), QPointF(16, 16));
        p.drawLine(QPointF(16, 4), QPointF(4, 16));
        p.setPen(QPen(QColor(225, 40, 40), 3.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4, 4), QPointF(16, 16));
        p.drawLine(QPointF(16, 4), QPointF(4, 16));
        break;
    }
    case TGlyph::Mark: {
        // Three list lines, each with a tick in front.
        for (int i = 0; i < 3; ++i) {
            const double y = 4.5 + i * 5.5;
            p.setPen(QPen(QColor(0, 70, 170), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
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
        p.setPen(QPen(QColor(0, 50, 140), 1.0));
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
        p.setPen(QPen(QColor(0, 120, 0), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(11, 10), QPointF(18, 10));
        p.drawLine(QPointF(15, 7), QPointF(18, 10));
        p.drawLine(QPointF(15, 13), QPointF(18, 10));
        break;
    }
    }
}

// Greys a glyph the way flat buttons traditionally do: the shape's outline
// embossed, a white copy one pixel down and right under a grey one.
QPixmap Greyed(const QPixmap& source) {
    QImage alpha = source.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QImage grey(alpha.size(), QImage::Format_ARGB32_Premultiplied);
    QImage white(alpha.size(), QImage::Format_ARGB32_Premultiplied);
    grey.fill(Qt::transparent);
    white.fill(Qt::transparent);
    for (int y = 0; y < alpha.height(); ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(alpha.constScanLine(y));
        QRgb* g = reinterpret_cast<QRgb*>(grey.scanLine(y));
        QRgb* w = reinterpret_cast<QRgb*>(white.scanLine(y));
        for (int x = 0; x < alpha.width(); ++x) {
            const QRgb px = in[x];
            const int a = qAlpha(px);
            // Dark parts of the glyph turn grey, light parts stay open.
            const int lum = (qRed(px) * 11 + qGreen(px) * 16 + qBlue(px) * 5) / 32;
            const int coverage = a == 0 ? 0 : a * (255 - qMin(255, lum * 255 / qMax(1, a))) / 255;
            const int ga = qMax(coverage, a / 3);
            g[x] = qPremultiply(qRgba(128, 128, 128, ga));
            w[x] = qPremultiply(qRgba(255, 255, 255, ga));
        }
    }
    grey.setDevicePixelRatio(source.devicePixelRatio());
    white.setDevicePixelRatio(source.devicePixelRatio());
    QPixmap result(source.size());
    result.setDevicePixelRatio(source.devicePixelRatio());
    result.fill(Qt::transparent);
    QPainter p(&result);
    const qreal step = 1.0;
    p.drawImage(QPointF(step, step), white);
    p.drawImage(QPointF(0, 0), grey);
    return result;
}

} // namespace

QPixmap DrawGlyph(TGlyph glyph, int size, qreal dpr, bool enabled) {
    const int device = qMax(1, qRound(size * dpr));
    QPixmap pixmap(device, device);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    {
        QPainter p(&pixmap);
        p.scale(qreal(size) / kGlyphSize, qreal(size) / kGlyphSize);
        PaintGlyph(p, glyph);
    }
    return enabled ? pixmap : Greyed(pixmap);
}

// ---------------------------------------------------------------------------

TSpeedButton::TSpeedButton(TGlyph glyph, QWidget* parent) : QAbstractButton(parent), glyph_(glyph) {
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover, true);
    setMouseTracking(true);
}

QSize TSpeedButton::sizeHint() const {
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text()) + 14, 3 + kGlyphSize + 2 + fm.height() + 4};
}

void TSpeedButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void TSpeedButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void TSpeedButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = rect();
    const bool enabled = isEnabled();
    const bool sunken = enabled && isDown();
    const bool raised = enabled && hovered_ && !sunken;
    if (sunken || raised) {
        const QColor light = palette().color(QPalette::Light);
        const QColor dark = palette().color(QPalette::Dark);
        p.setPen(sunken ? dark : light);
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(sunken ? light : dark);
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
    }
    const int shift = sunken ? 1 : 0;
    const QFontMetrics fm(font());
    // Glyph and caption are centred together in the button.
    const int block = kGlyphSize + 2 + fm.height();
    const int top = qMax(2, (r.height() - block) / 2) + shift;
    const QPixmap glyph = DrawGlyph(glyph_, kGlyphSize, devicePixelRatioF(), enabled);
    p.drawPixmap(QPoint((r.width() - kGlyphSize) / 2 + shift, top), glyph);

    const QRect textRect(shift, top + kGlyphSize + 2, r.width(), fm.height());
    if (enabled) {
        p.setPen(palette().color(QPalette::ButtonText));
        p.drawText(textRect, Qt::AlignHCenter | Qt::AlignTop | Qt::TextShowMnemonic, text());
    } else {
        p.setPen(palette().color(QPalette::Light));
        p.drawText(textRect.translated(1, 1), Qt::AlignHCenter | Qt::AlignTop, text());
        p.setPen(palette().color(QPalette::Disabled, QPalette::ButtonText));
        p.drawText(textRect, Qt::AlignHCenter | Qt::AlignTop, text());
    }
}

// ---------------------------------------------------------------------------

TBevel::TBevel(TShape shape, QWidget* parent) : QWidget(parent), shape_(shape) {
    setAttribute(Qt::WA_TransparentForMouseEvents, true);
}

void TBevel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QColor dark = palette().color(QPalette::Dark);
    const QColor light = palette().color(QPalette::Light);
    if (shape_ == TShape::TopLine) {
        p.setPen(dark);
        p.drawLine(0, 0, width() - 1, 0);
        p.setPen(light);
        p.drawLine(0, 1, width() - 1, 1);
    } else {
        const int x = width() / 2 - 1;
        p.setPen(dark);
        p.drawLine(x, 0, x, height() - 1);
        p.setPen(light);
        p.drawLine(x + 1, 0, x + 1, height() - 1);
    }
}

// ---------------------------------------------------------------------------

TBusyAnimation::TBusyAnimation(QWidget* parent) : QWidget(parent) {}

void TBusyAnimation::Play() {
    if (!timer_.isActive())
        timer_.start(kFrameMs, this);
}

void TBusyAnimation::Stop() {
    timer_.stop();
    frame_ = kStopFrame;
    update();
}

void TBusyAnimation::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timer_.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    frame_ = (frame_ + 1) % kFrames;
    update();
}

void TBusyAnimation::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    const QPointF centre(width() / 2.0, height() / 2.0);
    const double ring = qMin(width(), height()) / 2.0 - 2.5;
    const QColor lead(0, 70, 170);
    for (int i = 0; i < kFrames; ++i) {
        // Dots behind the lead fade out, so the ring seems to turn.
        const int age = (frame_ - i + kFrames) % kFrames;
        QColor c = lead;
        c.setAlphaF(age == 0 ? 1.0 : qMax(0.15, 0.8 - age * 0.13));
        const double angle = 2 * M_PI * i / kFrames - M_PI / 2;
        const QPointF at = centre + QPointF(ring * std::cos(angle), ring * std::sin(angle));
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        p.drawEllipse(at, 1.8, 1.8);
    }
}

// ---------------------------------------------------------------------------

TStatusLabel::TStatusLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
}

void TStatusLabel::SetText(const QString& text) {
    raw_ = text;
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QLabel::setText(shown);
}

void TStatusLabel::Append(const QString& message) {
    SetText(raw_ + QLatin1Char('\r') + message);
}

// ---------------------------------------------------------------------------

TStatusBar::TStatusBar(std::initializer_list<int> widths, QWidget* parent) : QStatusBar(parent) {
    int index = 0;
    const int last = static_cast<int>(widths.size()) - 1;
    for (const int width : widths) {
        auto* panel = new QLabel(this);
        panel->setObjectName(QStringLiteral("Panel%1").arg(index));
        panel->setTextFormat(Qt::PlainText);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setMinimumWidth(width);
        if (index == last) {
            // A long hover text is cut rather than widening the window.
            panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
            addWidget(panel, 1);
        } else {
            addWidget(panel, 0);
        }
        panels_.push_back(panel);
        ++index;
    }
}

QString TStatusBar::PanelText(int index) const {
    const QLabel* panel = Panel(index);
    return panel ? panel->text() : QString();
}

void TStatusBar::SetPanelText(int index, const QString& text) {
    if (QLabel* panel = Panel(index))
        panel->setText(text);
}

QLabel* TStatusBar::Panel(int index) const {
    if (index < 0 || index >= PanelCount())
        return nullptr;
    return panels_[static_cast<size_t>(index)];
}
