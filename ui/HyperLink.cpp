#include "ui/HyperLink.h"

#include "ui/Colours.h"
#include "ui/ControlsAccessible.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QUrl>

namespace {

// The control has no border of its own; these play the part of the system's
// border metrics in the size rule, so the text keeps a small margin.
constexpr int kBorderWidth = 1;
constexpr int kBorderHeight = 1;
constexpr int kTextInset = 2;

} // namespace

THyperLink::THyperLink(QWidget* parent) : QLabel(parent) {
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    FontColor_ = NotPressedColor;
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    // Moves without a button held must arrive too, for the "over" colour.
    setMouseTracking(true);
    resize(55, 14);
    accessible::installControlFactory();
}

void THyperLink::SetCaption(const QString& caption) {
    QLabel::setText(caption);
    AdjustBounds();
}

QColor THyperLink::FontColor() const {
    // A focused link shows the hover colour unless it is being pressed.
    if (hasFocus() && State_ != TLinkState::Pressed)
        return OverColor;
    return FontColor_;
}

void THyperLink::SetFontColor(const QColor& color) {
    if (color != NotPressedColor && State_ == TLinkState::Rest)
        NotPressedColor = color;
    FontColor_ = color;
    update();
}

void THyperLink::SetColor(const QColor& color) {
    Color_ = color;
    update();
}

void THyperLink::AdjustBounds() {
    QString measured = text();
    // An italic last letter leans out of its advance; a comma buys the room.
    if (font().italic() && font().family() != QStringLiteral("MS Sans Serif"))
        measured += QLatin1Char(',');
    const QFontMetrics fm(font());
    const int w = fm.horizontalAdvance(measured) + 4 * kBorderWidth + kBorderWidth;
    const int h = fm.height() + 4 * kBorderHeight + kBorderHeight;
    resize(w, h);
}

void THyperLink::SetState(TLinkState state, const QColor& color) {
    State_ = state;
    FontColor_ = color;
    update();
}

bool THyperLink::Inside(QPoint pos) const {
    return pos.x() >= 0 && pos.x() <= width() && pos.y() >= 0 && pos.y() <= height();
}

void THyperLink::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (event->buttons() & (Qt::LeftButton | Qt::MiddleButton)) {
        if (Inside(pos))
            SetState(TLinkState::Pressed, PressedColor);
        else
            SetState(TLinkState::Rest, NotPressedColor);
    } else {
        SetState(TLinkState::Over, OverColor);
    }
    if (StatusBar && Inside(pos))
        SetStatusText(HREF);
    QLabel::mouseMoveEvent(event);
}

void THyperLink::leaveEvent(QEvent* event) {
    if (State_ == TLinkState::Over && isEnabled())
        SetState(TLinkState::Rest, NotPressedColor);
    QLabel::leaveEvent(event);
}

void THyperLink::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        SetState(TLinkState::Pressed, PressedColor);
    QLabel::mousePressEvent(event);
}

void THyperLink::mouseReleaseEvent(QMouseEvent* event) {
    Release(event->button(), event->position().toPoint());
    event->accept();
}

void THyperLink::Release(Qt::MouseButton button, QPoint pos) {
    SetState(TLinkState::Rest, NotPressedColor);
    // Show the rest colour before the desktop takes its time to start a
    // program. No event loop is run here: a nested loop inside a mouse
    // handler could delete this control under our feet.
    repaint();
    if (button == Qt::LeftButton && Inside(pos) && !HREF.isEmpty()) {
        // A missing handler for the scheme makes this return false; that is
        // not an error worth telling the user about.
        QDesktopServices::openUrl(QUrl(HREF, QUrl::TolerantMode));
    }
}

void THyperLink::Click() {
    Release(Qt::LeftButton, QPoint(1, 1));
}

void THyperLink::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        Click();
        // Accepted, so a dialog's default button does not fire as well.
        event->accept();
        return;
    }
    QLabel::keyPressEvent(event);
}

void THyperLink::focusInEvent(QFocusEvent* event) {
    if (StatusBar) {
        SavedStatusText_ = StatusText();
        SetStatusText(HREF);
    }
    update();
    QLabel::focusInEvent(event);
}

void THyperLink::focusOutEvent(QFocusEvent* event) {
    FontColor_ = NotPressedColor;
    if (StatusBar && StatusText() == HREF)
        SetStatusText(SavedStatusText_);
    update();
    QLabel::focusOutEvent(event);
}

void THyperLink::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        AdjustBounds();
}

QLabel* THyperLink::StatusPanel() const {
    if (!StatusBar || StatusPanelNo < 0)
        return nullptr;
    const QList<QLabel*> panels = StatusBar->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    return StatusPanelNo < panels.size() ? panels[StatusPanelNo] : nullptr;
}

QString THyperLink::StatusText() const {
    if (QLabel* panel = StatusPanel())
        return panel->text();
    return StatusBar ? StatusBar->currentMessage() : QString();
}

void THyperLink::SetStatusText(const QString& text) {
    if (QLabel* panel = StatusPanel())
        panel->setText(text);
    else if (StatusBar)
        StatusBar->showMessage(text);
}

void THyperLink::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    p.fillRect(rect(), Color_);
    p.setFont(font());
    // Any of the three colours stays readable on the background it is given.
    p.setPen(colours::Readable(FontColor(), Color_));
    // Top left, so the text lines up with a label placed at the same y; the
    // margins the size rule adds stay at the right and the bottom.
    p.drawText(rect().adjusted(kTextInset, kTextInset / 2, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
               text());
    // The frame in the background colour keeps a focus rectangle of an
    // earlier paint from lingering at the edge.
    p.setPen(Color_);
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    if (hasFocus()) {
        QStyleOptionFocusRect opt;
        opt.initFrom(this);
        opt.backgroundColor = Color_;
        p.drawPrimitive(QStyle::PE_FrameFocusRect, opt);
    }
}
