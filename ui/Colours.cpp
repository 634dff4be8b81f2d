#include "ui/Colours.h"

#include <algorithm>
#include <cmath>

namespace colours {

namespace {

double Linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

} // namespace

double Luminance(const QColor& Colour) {
    const QColor c = Colour.toRgb();
    return 0.2126 * Linear(c.redF()) + 0.7152 * Linear(c.greenF()) + 0.0722 * Linear(c.blueF());
}

double Contrast(const QColor& A, const QColor& B) {
    const double a = Luminance(A), b = Luminance(B);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor Readable(const QColor& Want, const QColor& Background, double MinContrast) {
    if (Contrast(Want, Background) >= MinContrast)
        return Want;
    // A moved colour aims a little higher: thin anti-aliased strokes never
    // show the full colour on screen.
    const double aim = MinContrast * 1.15;
    // Towards white on a dark background, towards black on a light one: the
    // end with the better contrast always reaches any ratio up to 4.5.
    const bool lighten = Contrast(Qt::white, Background) >= Contrast(Qt::black, Background);
    const QColor end = lighten ? QColor(Qt::white) : QColor(Qt::black);
    const QColor from = Want.toRgb();
    auto mix = [&](double t) {
        return QColor::fromRgbF(static_cast<float>(from.redF() + (end.redF() - from.redF()) * t),
                                static_cast<float>(from.greenF() + (end.greenF() - from.greenF()) * t),
                                static_cast<float>(from.blueF() + (end.blueF() - from.blueF()) * t));
    };
    // The least mix that reads: contrast grows steadily along the way.
    double lo = 0, hi = 1;
    for (int i = 0; i < 20; ++i) {
        const double mid = (lo + hi) / 2;
        (Contrast(mix(mid), Background) >= aim ? hi : lo) = mid;
    }
    return mix(hi);
}

} // namespace colours
