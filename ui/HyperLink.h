// A label that opens its target (a web or mail address) through the desktop
// when clicked, or when Enter is pressed while it has the keyboard focus.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPointer>
#include <QStatusBar>
#include <QString>

class THyperLink : public QLabel {
    Q_OBJECT

  public:
    enum class TLinkState { Rest, Over, Pressed };

    explicit THyperLink(QWidget* parent = nullptr);

    // Target handed to the desktop's open action; empty: clicks do nothing.
    QString HREF;
    // Optional: while the pointer is over the link or it has the focus, the
    // panel StatusPanelNo of this bar shows HREF. A panel is the n-th label
    // added to the bar; a bar without such a label uses its message area.
    QPointer<QStatusBar> StatusBar;
    int StatusPanelNo = 0;

    QColor NotPressedColor{0x00, 0x00, 0xFF}; // blue
    QColor OverColor{0x00, 0x80, 0x00};       // green
    QColor PressedColor{0xFF, 0x00, 0x00};    // red

    // Caption: setting it resizes the control to fit the text.
    QString Caption() const { return text(); }
    void SetCaption(const QString& caption);
    void setText(const QString& caption) { SetCaption(caption); }

    // The colour the text is drawn in. Assigning a colour other than
    // NotPressedColor while the link is at rest makes it the new rest colour.
    QColor FontColor() const;
    void SetFontColor(const QColor& color);

    // Background colour (silver until set).
    QColor Color() const { return Color_; }
    void SetColor(const QColor& color);

    TLinkState State() const { return State_; }

    // Measures the caption in the current font and resizes to it.
    void AdjustBounds();

    // Opens HREF as a click or Enter does (a screen reader's press action).
    void Click();

  protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void SetState(TLinkState state, const QColor& color);
    // Shared by a real left-button release and by Enter.
    void Release(Qt::MouseButton button, QPoint pos);
    bool Inside(QPoint pos) const;
    QLabel* StatusPanel() const;
    QString StatusText() const;
    void SetStatusText(const QString& text);

    TLinkState State_ = TLinkState::Rest;
    QColor FontColor_ = NotPressedColor;
    QColor Color_{0xC0, 0xC0, 0xC0};
    QString SavedStatusText_;
};
