// Colours that stay readable on whatever palette the desktop uses: a colour
// the windows were designed with (maroon status text, a navy label) is kept
// where it reads well, and moved towards light or dark where it would not.
#pragma once

#include <QColor>

namespace colours {

// Relative luminance and contrast ratio as the web's accessibility
// guidelines define them (1.0 to 21.0).
double Luminance(const QColor& Colour);
double Contrast(const QColor& A, const QColor& B);

// Want itself when it has at least MinContrast against Background; else the
// same hue made lighter (on a dark background) or darker (on a light one)
// until it has a little more (15%), so that thin anti-aliased strokes
// still read. Text wants 4.5, lines and pictures 3.0.
QColor Readable(const QColor& Want, const QColor& Background, double MinContrast = 4.5);

} // namespace colours
