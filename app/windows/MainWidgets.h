// The pictures on the main window's speed buttons. The button itself and the
// other small controls of the window are in ui/.
#pragma once

#include "ui/SpeedButton.h"

enum class TGlyph { Connect, Cancel, Disconnect, Delete, Mark, Header, Mail, Info, Close };

// Draws the picture on the glyph grid of TSpeedButton.
TGlyphPainter GlyphPainter(TGlyph glyph);
