// Small controls of the main window that Qt has no direct equivalent for:
// the flat speed button with a glyph above its caption, the bevel lines,
// the busy animation, the multi-line status label and the status bar with
// fixed panels.
#pragma once

#include <QAbstractButton>
#include <QBasicTimer>
#include <QLabel>
#include <QPixmap>
#include <QStatusBar>
#include <QWidget>

#include <initializer_list>
#include <vector>

// The pictures drawn on the speed buttons.
enum class TGlyph { Connect, Cancel, Disconnect, Delete, Mark, Header, Mail, Info, Close };

// Paints a glyph into a square pixmap of the given logical size. The disabled
// form is the classic greyed, embossed outline of the same shape.
QPixmap DrawGlyph(TGlyph glyph, int size, qreal dpr, bool enabled);

// A flat button with a glyph centred above its caption. It shows a raised
// frame only while the pointer is over it and a sunken one while it is held,
// and draws the greyed glyph and caption when disabled.
class TSpeedButton : public QAbstractButton {
    Q_OBJECT
  public:
    TSpeedButton(TGlyph glyph, QWidget* parent);

    TGlyph Glyph() const { return glyph_; }
    // Narrowest width that shows the whole caption, and the height that fits
    // the glyph above one caption line.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    TGlyph glyph_;
    bool hovered_ = false;
};

// A sunken line: along the top edge of its rectangle, or vertically through
// its middle.
class TBevel : public QWidget {
    Q_OBJECT
  public:
    enum class TShape { TopLine, VerticalLine };
    TBevel(TShape shape, QWidget* parent);
    TShape Shape() const { return shape_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    TShape shape_;
};

// A small animation shown while the program waits for the server: a ring of
// dots with one bright dot running round. It only runs while playing, so a
// hidden, stopped animation costs nothing.
class TBusyAnimation : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kFrames = 12;
    static constexpr int kFrameMs = 80;
    // The frame shown while stopped.
    static constexpr int kStopFrame = 8;

    explicit TBusyAnimation(QWidget* parent);
    void Play();
    void Stop();
    bool IsPlaying() const { return timer_.isActive(); }
    int Frame() const { return frame_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    QBasicTimer timer_;
    int frame_ = kStopFrame;
};

// The status label. Its text is a list of messages, each preceded by a
// carriage return, so the first line is empty; the label shows each message
// on a line of its own. Use these members rather than QLabel::setText so the
// stored text keeps its carriage returns.
class TStatusLabel : public QLabel {
    Q_OBJECT
  public:
    explicit TStatusLabel(QWidget* parent);
    QString Text() const { return raw_; }
    void SetText(const QString& text);
    // Appends a carriage return and the message.
    void Append(const QString& message);
    void Clear() { SetText(QString()); }

  private:
    QString raw_;
};

// A status bar divided into panels of fixed width; the last panel takes the
// rest of the bar. A panel grows when its text needs more room than its width.
class TStatusBar : public QStatusBar {
    Q_OBJECT
  public:
    TStatusBar(std::initializer_list<int> widths, QWidget* parent);
    int PanelCount() const { return static_cast<int>(panels_.size()); }
    // An index outside the panels reads as empty text and ignores writes.
    QString PanelText(int index) const;
    void SetPanelText(int index, const QString& text);
    QLabel* Panel(int index) const;

  private:
    std::vector<QLabel*> panels_;
};
