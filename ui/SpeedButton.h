// A flat button with a picture (a glyph) centred above its caption, and the
// drawing of such glyphs in their normal and greyed forms.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QPixmap>
#include <functional>

class QPainter;

// Draws a glyph on a square grid of kGlyphGrid units; the painter arrives
// scaled to the size asked for.
using TGlyphPainter = std::function<void(QPainter&)>;
inline constexpr int kGlyphGrid = 20;

// Paints a glyph into a square pixmap of the given logical size. The disabled
// form is the classic greyed, embossed outline of the same shape. The glyph
// finds the colour it will be shown on as its painter's background.
QPixmap DrawGlyph(const TGlyphPainter& glyph, int size, qreal dpr, bool enabled,
                  const QColor& background = QColor(Qt::white));

// It shows a raised frame only while the pointer is over it and a sunken one
// while it is held, draws the greyed glyph and caption when disabled, and
// never takes the keyboard focus.
class TSpeedButton : public QAbstractButton {
    Q_OBJECT
  public:
    TSpeedButton(TGlyphPainter glyph, QWidget* parent);

    // Narrowest width that shows the whole caption, and the height that fits
    // the glyph above one caption line.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    TGlyphPainter glyph_;
    bool hovered_ = false;
};
