#include "ui/SpeedButton.h"

#include <QEnterEvent>
#include <QImage>
#include <QPainter>
#include <utility>

namespace {

// The glyph's size on the button, in logical pixels.
constexpr int kGlyphSize = 20;

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

QPixmap DrawGlyph(const TGlyphPainter& glyph, int size, qreal dpr, bool enabled, const QColor& background) {
    const int device = qMax(1, qRound(size * dpr));
    QPixmap pixmap(device, device);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    if (glyph) {
        QPainter p(&pixmap);
        p.setBackground(background);
        p.scale(qreal(size) / kGlyphGrid, qreal(size) / kGlyphGrid);
        glyph(p);
    }
    return enabled ? pixmap : Greyed(pixmap);
}

TSpeedButton::TSpeedButton(TGlyphPainter glyph, QWidget* parent) : QAbstractButton(parent), glyph_(std::move(glyph)) {
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
    // The button is drawn on its parent's background: the glyph is drawn for that.
    const QWidget* under = parentWidget() ? parentWidget() : this;
    const QPixmap glyph = DrawGlyph(glyph_, kGlyphSize, devicePixelRatioF(), enabled,
                                    under->palette().color(under->backgroundRole()));
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
