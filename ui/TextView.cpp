#include "ui/TextView.h"

#include "ui/ControlsAccessible.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <climits>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

// Converted characters kept beyond the lines in view; the lines in view are
// kept whatever their size.
constexpr qsizetype kCacheBudget = qsizetype(1) << 21;
// Characters converted to measure the horizontal extent when lines are set;
// lines past that count by their size.
constexpr qsizetype kMeasureBudget = qsizetype(1) << 22;
// At most this many characters of one line are laid out per paint, however
// wide the viewport.
constexpr qsizetype kMaxLaidOut = 8192;
constexpr int kLeftMargin = 3;
constexpr qsizetype kEndOfLine = std::numeric_limits<qsizetype>::max();
const QChar kEllipsis(0x2026);

int ToInt(qsizetype v) {
    return static_cast<int>(std::clamp<qsizetype>(v, 0, INT_MAX));
}

} // namespace

TTextView::TTextView(QWidget* parent)
    : QAbstractScrollArea(parent), copyText_(u"&Copy"_s), selectAllText_(u"Select &All"_s) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(false);
    horizontalScrollBar()->setSingleStep(1);
    verticalScrollBar()->setSingleStep(1);
    updateScrollBars();
    accessible::installControlFactory();
}

TTextView::~TTextView() = default;

// ---- lines --------------------------------------------------------------

void TTextView::setSource(std::shared_ptr<const TTextViewSource> source) {
    source_ = std::move(source);
    ++textRevision_;
    cache_.clear();
    cachedChars_ = 0;
    lineCount_ = source_ ? std::max<qsizetype>(0, source_->lineCount()) : 0;
    extent_ = 0;
    widestKnown_ = false;
    anchor_ = cursor_ = Position{};
    dragging_ = false;
    dragTimer_.stop();
    measureLines(0);
    updateScrollBars();
    scrollToTopLeft();
    viewport()->update();
    emit selectionChanged();
}

void TTextView::linesAppended() {
    const qsizetype before = lineCount_;
    const qsizetype now = source_ ? std::max<qsizetype>(0, source_->lineCount()) : 0;
    if (now < before) { // not an append: start over
        setSource(source_);
        return;
    }
    lineCount_ = now;
    ++textRevision_;
    widestKnown_ = false;
    measureLines(before);
    updateScrollBars();
    viewport()->update();
}

const TTextView::Shown& TTextView::shown(qsizetype line, qsizetype columns) const {
    static const Shown kNone{QString(), 0, true, false};
    if (!source_ || line < 0 || line >= lineCount_)
        return kNone;
    Shown& s = cache_[line];
    // Each pass converts at least twice as much as the one before, so the
    // conversions of a line add up to less than twice its last one.
    while (s.limit == 0 || (!s.known() && s.text.size() < columns)) {
        const qsizetype size = std::max<qsizetype>(0, source_->lineSize(line));
        qsizetype limit = std::max(ConvertedAtOnce, s.limit * 2);
        if (columns > limit)
            limit = columns > MaxShownLength / 2 ? MaxShownLength : columns * 2;
        limit = std::min(limit, MaxShownLength);
        cachedChars_ -= s.text.size();
        s.text = source_->lineText(line, std::min(limit, size));
        s.limit = limit;
        s.complete = size <= limit;
        s.elided = !s.complete && limit >= MaxShownLength;
        if (s.text.size() > MaxShownLength) { // a source that ignored the limit
            s.text.truncate(MaxShownLength);
            s.complete = false;
            s.elided = true;
        }
        cachedChars_ += s.text.size();
    }
    return s;
}

qsizetype TTextView::shownLength(qsizetype line) const {
    return shown(line, kEndOfLine).text.size();
}

QString TTextView::wholeLine(qsizetype line) const {
    if (!source_ || line < 0 || line >= lineCount_)
        return QString();
    if (const auto it = cache_.find(line); it != cache_.end() && it->second.complete)
        return it->second.text;
    return source_->lineText(line, source_->lineSize(line));
}

void TTextView::trimCache(qsizetype first, qsizetype last) const {
    if (cachedChars_ <= kCacheBudget)
        return;
    for (auto it = cache_.begin(); it != cache_.end();) {
        if (it->first < first || it->first > last) {
            cachedChars_ -= it->second.text.size();
            it = cache_.erase(it);
        } else {
            ++it;
        }
    }
}

void TTextView::measureLines(qsizetype from) {
    // A line can only widen the extent when its size exceeds it, and sizes
    // are never below the lengths: most lines are settled without being
    // converted. An elided line counts its ellipsis.
    qsizetype converted = 0;
    for (qsizetype line = from; line < lineCount_; ++line) {
        const qsizetype size = source_->lineSize(line);
        const bool elided = size > MaxShownLength;
        const qsizetype bound = std::min(size, MaxShownLength) + (elided ? 1 : 0);
        if (bound <= extent_)
            continue;
        // Long lines count by their size: converting one whole to measure it
        // would cost what showing its start saves.
        if (size > ConvertedAtOnce || converted > kMeasureBudget || source_->lineSizeIsLength(line)) {
            extent_ = bound;
            continue;
        }
        const qsizetype length = std::min(source_->lineText(line, size).size(), size);
        converted += length;
        extent_ = std::max(extent_, length);
    }
}

QString TTextView::toPlainText() const {
    QString out;
    for (qsizetype line = 0; line < lineCount_; ++line) {
        if (line > 0)
            out += u'\n';
        out += wholeLine(line);
    }
    return out;
}

// ---- geometry and scrolling ---------------------------------------------

int TTextView::lineHeight() const {
    return std::max(1, fontMetrics().lineSpacing());
}

int TTextView::fullRows() const {
    return std::max(1, viewport()->height() / lineHeight());
}

int TTextView::textLeft() const {
    return kLeftMargin;
}

void TTextView::updateScrollBars() {
    const int rows = fullRows();
    verticalScrollBar()->setRange(0, ToInt(lineCount_ - rows));
    verticalScrollBar()->setPageStep(rows);
    const QFontMetrics fm = fontMetrics();
    const int room = std::max(1, viewport()->width() - textLeft());
    // Scrolled to the end, the longest line's last characters still show,
    // even in the widest letters.
    const int keep = std::max(1, room / std::max(1, fm.horizontalAdvance(u'W')));
    // Where every line was looked at and fits, there is nothing to scroll
    // to, however the widest letters would count.
    horizontalScrollBar()->setRange(0, allLinesFit(room) ? 0 : ToInt(extent_ - keep));
    horizontalScrollBar()->setPageStep(std::max(1, room / std::max(1, fm.averageCharWidth())));
}

bool TTextView::allLinesFit(int room) const {
    if (widestKnown_ && fitRoom_ == room)
        return fits_;
    widestKnown_ = true;
    fitRoom_ = room;
    fits_ = false;
    constexpr qsizetype kMeasuredLines = 10000, kMeasuredChars = qsizetype(1) << 18;
    if (!source_ || lineCount_ > kMeasuredLines)
        return false;
    qsizetype total = 0;
    for (qsizetype line = 0; line < lineCount_; ++line)
        if ((total += source_->lineSize(line)) > kMeasuredChars)
            return false;
    const QFontMetrics fm = fontMetrics();
    // A tab may reach as far as a whole tab stop (eight spaces).
    const int tab = 8 * std::max(1, fm.horizontalAdvance(u' '));
    for (qsizetype line = 0; line < lineCount_; ++line) {
        const QString text = wholeLine(line);
        long long bound = 0;
        for (const QChar c : text) {
            auto [at, added] = advances_.try_emplace(c.unicode(), 0);
            if (added)
                at->second = std::max(0, fm.horizontalAdvance(c));
            bound += at->second;
        }
        const int tabs = int(text.count(u'\t'));
        if (bound + (long long)tabs * tab <= room)
            continue;
        if (fm.horizontalAdvance(text) + tabs * tab > room)
            return false;
    }
    fits_ = true;
    return true;
}

qsizetype TTextView::firstVisibleLine() const {
    return verticalScrollBar()->value();
}

qsizetype TTextView::firstVisibleColumn() const {
    return horizontalScrollBar()->value();
}

void TTextView::scrollToTopLeft() {
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
}

void TTextView::ensureVisible(Position position) {
    position = clamp(position);
    const qsizetype first = firstVisibleLine();
    const int rows = fullRows();
    if (position.line < first)
        verticalScrollBar()->setValue(ToInt(position.line));
    else if (position.line >= first + rows)
        verticalScrollBar()->setValue(ToInt(position.line - rows + 1));

    const qsizetype column = firstVisibleColumn();
    const int room = std::max(1, viewport()->width() - textLeft());
    const int pageColumns = std::max(1, room / std::max(1, fontMetrics().averageCharWidth()));
    bool inView = position.column >= column;
    if (inView) {
        QTextLayout layout;
        qsizetype start = 0, end = 0;
        inView = layoutLine(position.line, layout, &start, &end) && position.column <= end &&
                 layout.lineAt(0).cursorToX(static_cast<int>(position.column - start)) < room - 2;
    }
    if (!inView) // some context on the left of the place
        horizontalScrollBar()->setValue(ToInt(position.column - pageColumns * 3 / 4));
}

void TTextView::scrollContentsBy(int, int) {
    viewport()->update();
}

void TTextView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void TTextView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        widestKnown_ = false;
        advances_.clear();
        updateScrollBars();
    }
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange ||
        event->type() == QEvent::EnabledChange || event->type() == QEvent::ActivationChange)
        viewport()->update();
}

// ---- drawing ------------------------------------------------------------

bool TTextView::layoutLine(qsizetype line, QTextLayout& layout, qsizetype* start, qsizetype* end, bool* atEnd) const {
    qsizetype from = firstVisibleColumn();
    // One pixel per character at least: enough to fill the viewport.
    const qsizetype room = std::min<qsizetype>(kMaxLaidOut, std::max(1, viewport()->width()) + 16);
    const Shown& s = shown(line, from + room + 2);
    const qsizetype length = s.text.size();
    if (from > length)
        return false;
    // Never start on the second half of a surrogate pair.
    if (from > 0 && from < length && s.text.at(from).isLowSurrogate() && s.text.at(from - 1).isHighSurrogate())
        ++from;
    qsizetype count = std::min(length - from, room);
    if (count > 0 && count < length - from && s.text.at(from + count - 1).isHighSurrogate())
        ++count;
    const bool reachesEnd = s.known() && from + count == length;
    if (atEnd)
        *atEnd = reachesEnd;
    QString piece = s.text.mid(from, count);
    if (s.elided && reachesEnd)
        piece += kEllipsis;
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setTextDirection(Qt::LeftToRight);
    option.setTabStopDistance(8.0 * std::max(1, fontMetrics().horizontalAdvance(u' ')));
    layout.setFont(font());
    layout.setText(piece);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    QTextLine textLine = layout.createLine();
    if (textLine.isValid()) {
        textLine.setLineWidth(std::numeric_limits<int>::max() / 4);
        textLine.setPosition(QPointF(0, 0));
    }
    layout.endLayout();
    *start = from;
    *end = from + count;
    return textLine.isValid();
}

void TTextView::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    const QPalette pal = palette();
    const QPalette::ColorGroup group = !isEnabled()       ? QPalette::Disabled
                                       : isActiveWindow() ? QPalette::Active
                                                          : QPalette::Inactive;
    p.fillRect(viewport()->rect(), pal.brush(group, QPalette::Base));
    p.setPen(pal.color(group, QPalette::Text));
    p.setFont(font());

    QTextCharFormat selectedFormat;
    selectedFormat.setBackground(pal.brush(group, QPalette::Highlight));
    selectedFormat.setForeground(pal.brush(group, QPalette::HighlightedText));
    const Position from = std::min(anchor_, cursor_);
    const Position to = std::max(anchor_, cursor_);
    const bool selecting = hasSelection();

    const int height = lineHeight();
    const qsizetype first = firstVisibleLine();
    const int rows = viewport()->height() / height + 1;
    const int newlineWidth = std::max(2, fontMetrics().horizontalAdvance(u' '));
    for (int row = 0; row < rows; ++row) {
        const qsizetype line = first + row;
        if (line >= lineCount_)
            break;
        const int y = row * height;
        QTextLayout layout;
        qsizetype start = 0, end = 0;
        bool atEnd = false;
        if (!layoutLine(line, layout, &start, &end, &atEnd))
            continue; // the line ends left of the view
        const QTextLine textLine = layout.lineAt(0);
        QList<QTextLayout::FormatRange> ranges;
        if (selecting && line >= from.line && line <= to.line) {
            const qsizetype a = std::max(line == from.line ? from.column : 0, start);
            const qsizetype b = std::min(line == to.line ? to.column : kEndOfLine, end);
            if (a < b)
                ranges.append({static_cast<int>(a - start), static_cast<int>(b - a), selectedFormat});
            if (line < to.line && atEnd) // the line break is selected too
                p.fillRect(QRectF(textLeft() + textLine.naturalTextWidth(), y, newlineWidth, height),
                           selectedFormat.background());
        }
        layout.draw(&p, QPointF(textLeft(), y), ranges);
        if (hasFocus() && line == cursor_.line && cursor_.column >= start && cursor_.column <= end) {
            const qreal x = textLeft() + textLine.cursorToX(static_cast<int>(cursor_.column - start));
            p.fillRect(QRectF(x, y, 1, height), pal.brush(group, QPalette::Text));
        }
    }
    if (hasFocus()) { // a frame inside the border, however the focus came
        p.setPen(QPen(pal.brush(group, QPalette::Highlight), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(viewport()->rect().adjusted(0, 0, -1, -1));
    }
    trimCache(first, first + rows);
}

QRect TTextView::characterRect(Position position) const {
    const qsizetype first = firstVisibleLine();
    if (position.line < first || position.line >= std::min(lineCount_, first + fullRows() + 1))
        return QRect();
    QTextLayout layout;
    qsizetype start = 0, end = 0;
    if (!layoutLine(position.line, layout, &start, &end) || position.column < start || position.column > end)
        return QRect();
    const QTextLine textLine = layout.lineAt(0);
    const int index = static_cast<int>(position.column - start);
    const qreal x = textLine.cursorToX(index);
    const qreal right = position.column < end ? textLine.cursorToX(index + 1) : x + fontMetrics().averageCharWidth();
    const int height = lineHeight();
    return QRect(QPoint(textLeft() + qRound(x), static_cast<int>(position.line - first) * height),
                 QSize(std::max(1, qRound(right - x)), height));
}

TTextView::Position TTextView::positionAt(QPoint point) const {
    if (lineCount_ == 0)
        return Position{};
    const int height = lineHeight();
    const int row = point.y() >= 0 ? point.y() / height : -1 - (-point.y() - 1) / height;
    const qsizetype line = std::clamp<qsizetype>(firstVisibleLine() + row, 0, lineCount_ - 1);
    QTextLayout layout;
    qsizetype start = 0, end = 0;
    if (!layoutLine(line, layout, &start, &end))
        return Position{line, shownLength(line)};
    const int x = point.x() - textLeft();
    if (x <= 0)
        return Position{line, start};
    const int index = layout.lineAt(0).xToCursor(x, QTextLine::CursorBetweenCharacters);
    return Position{line, std::min(start + index, end)};
}

// ---- selection ----------------------------------------------------------

TTextView::Position TTextView::clamp(Position position) const {
    if (lineCount_ == 0)
        return Position{};
    position.line = std::clamp<qsizetype>(position.line, 0, lineCount_ - 1);
    position.column = std::clamp<qsizetype>(position.column, 0, shown(position.line, position.column).text.size());
    return position;
}

QString TTextView::selectedText() const {
    if (!hasSelection())
        return QString();
    const Position from = std::min(anchor_, cursor_);
    const Position to = std::max(anchor_, cursor_);
    QString out;
    for (qsizetype line = from.line; line <= to.line; ++line) {
        if (line > from.line)
            out += u'\n';
        const qsizetype a = line == from.line ? from.column : 0;
        const qsizetype b = line == to.line ? to.column : kEndOfLine;
        if (b == kEndOfLine) { // converted here, not kept
            out += a == 0 ? wholeLine(line) : wholeLine(line).mid(a);
            continue;
        }
        const Shown& s = shown(line, b);
        // On an elided line the end of what is shown stands for the end of
        // the whole line.
        if (s.elided && b >= s.text.size())
            out += wholeLine(line).mid(a);
        else
            out += s.text.mid(a, b - a);
    }
    return out;
}

void TTextView::setSelection(Position anchor, Position cursor) {
    anchor_ = clamp(anchor);
    cursor_ = clamp(cursor);
    ensureVisible(cursor_);
    viewport()->update();
    emit selectionChanged();
}

void TTextView::selectAll() {
    if (lineCount_ == 0)
        return;
    anchor_ = Position{};
    cursor_ = Position{lineCount_ - 1, shownLength(lineCount_ - 1)};
    viewport()->update();
    emit selectionChanged();
}

void TTextView::clearSelection() {
    if (!hasSelection())
        return;
    anchor_ = cursor_;
    viewport()->update();
    emit selectionChanged();
}

void TTextView::copy() const {
    if (hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

void TTextView::moveCursor(Position to, bool extend) {
    const Position anchorBefore = anchor_, cursorBefore = cursor_;
    cursor_ = clamp(to);
    if (!extend)
        anchor_ = cursor_;
    ensureVisible(cursor_);
    viewport()->update();
    if (anchor_ != anchorBefore || cursor_ != cursorBefore)
        emit selectionChanged();
}

TTextView::Position TTextView::stepped(int key, Qt::KeyboardModifiers modifiers) const {
    Position p = clamp(cursor_);
    const bool control = modifiers & Qt::ControlModifier;
    const qsizetype last = lineCount_ - 1;
    switch (key) {
    case Qt::Key_Left:
        if (p.column > 0) {
            const QString& text = shown(p.line, p.column).text;
            --p.column;
            if (p.column > 0 && text.at(p.column).isLowSurrogate() && text.at(p.column - 1).isHighSurrogate())
                --p.column;
        } else if (p.line > 0) {
            p = Position{p.line - 1, shownLength(p.line - 1)};
        }
        return p;
    case Qt::Key_Right: {
        const QString& text = shown(p.line, p.column + 2).text;
        if (p.column < text.size()) {
            ++p.column;
            if (p.column < text.size() && text.at(p.column).isLowSurrogate() && text.at(p.column - 1).isHighSurrogate())
                ++p.column;
        } else if (p.line < last) {
            p = Position{p.line + 1, 0};
        }
        return p;
    }
    case Qt::Key_Up:
        return clamp(Position{p.line - 1, p.column});
    case Qt::Key_Down:
        return clamp(Position{p.line + 1, p.column});
    case Qt::Key_PageUp:
        return clamp(Position{p.line - fullRows(), p.column});
    case Qt::Key_PageDown:
        return clamp(Position{p.line + fullRows(), p.column});
    case Qt::Key_Home:
        return control ? Position{} : Position{p.line, 0};
    case Qt::Key_End:
        return control ? Position{last, shownLength(last)} : Position{p.line, shownLength(p.line)};
    default:
        return p;
    }
}

void TTextView::selectWordAt(Position position) {
    position = clamp(position);
    const QString& text = shown(position.line, kEndOfLine).text;
    const auto inWord = [&](qsizetype i) {
        const QChar c = text.at(i);
        return c.isLetterOrNumber() || c.isMark() || c == u'_';
    };
    qsizetype a = position.column, b = position.column;
    while (a > 0 && inWord(a - 1))
        --a;
    while (b < text.size() && inWord(b))
        ++b;
    if (a == b && b < text.size()) // not in a word: the character itself
        ++b;
    anchor_ = Position{position.line, a};
    moveCursor(Position{position.line, b}, true);
}

// ---- keyboard and mouse -------------------------------------------------

void TTextView::keyPressEvent(QKeyEvent* event) {
    if (event == QKeySequence::Copy) {
        copy();
        event->accept();
        return;
    }
    if (event == QKeySequence::SelectAll) {
        selectAll();
        event->accept();
        return;
    }
    const int key = event->key();
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
        break;
    default:
        event->ignore(); // Escape, Enter and the rest belong to the window
        return;
    }
    event->accept();
    if (event->modifiers() & Qt::ShiftModifier) {
        // A selection by keyboard starts at the cursor, or at the top left
        // when the cursor was scrolled out of view.
        if (!hasSelection() && characterRect(cursor_).isNull()) {
            anchor_ = cursor_ = clamp(Position{firstVisibleLine(), firstVisibleColumn()});
        }
        moveCursor(stepped(key, event->modifiers()), true);
        return;
    }
    QScrollBar* v = verticalScrollBar();
    QScrollBar* h = horizontalScrollBar();
    switch (key) {
    case Qt::Key_Up:
        v->triggerAction(QAbstractSlider::SliderSingleStepSub);
        break;
    case Qt::Key_Down:
        v->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        break;
    case Qt::Key_PageUp:
        v->triggerAction(QAbstractSlider::SliderPageStepSub);
        break;
    case Qt::Key_PageDown:
        v->triggerAction(QAbstractSlider::SliderPageStepAdd);
        break;
    case Qt::Key_Left:
        h->triggerAction(QAbstractSlider::SliderSingleStepSub);
        break;
    case Qt::Key_Right:
        h->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        break;
    case Qt::Key_Home:
        v->setValue(v->minimum());
        h->setValue(h->minimum());
        break;
    case Qt::Key_End:
        v->setValue(v->maximum());
        h->setValue(h->minimum());
        break;
    default:
        break;
    }
}

void TTextView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    dragging_ = true;
    moveCursor(positionAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void TTextView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_ || !(event->buttons() & Qt::LeftButton))
        return;
    dragTo(event->position().toPoint());
}

void TTextView::dragTo(QPoint point) {
    dragPoint_ = point;
    // Outside the viewport the view scrolls on by itself while the button
    // is held.
    if (viewport()->rect().contains(point))
        dragTimer_.stop();
    else if (!dragTimer_.isActive())
        dragTimer_.start(50, this);
    moveCursor(positionAt(point), true);
}

void TTextView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseReleaseEvent(event);
        return;
    }
    dragging_ = false;
    dragTimer_.stop();
}

void TTextView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    selectWordAt(positionAt(event->position().toPoint()));
}

void TTextView::timerEvent(QTimerEvent* event) {
    if (event->timerId() != dragTimer_.timerId()) {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    const QRect area = viewport()->rect();
    if (dragPoint_.y() < area.top())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (dragPoint_.y() > area.bottom())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    if (dragPoint_.x() < area.left())
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (dragPoint_.x() > area.right())
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    moveCursor(positionAt(dragPoint_), true);
}

void TTextView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TTextView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

// ---- context menu -------------------------------------------------------

void TTextView::setMenuTexts(const QString& copy, const QString& selectAll) {
    copyText_ = copy;
    selectAllText_ = selectAll;
}

QMenu* TTextView::createContextMenu() {
    auto* menu = new QMenu(this);
    QAction* copyAction = menu->addAction(copyText_, this, [this] { copy(); });
    copyAction->setObjectName(u"copy"_s);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(hasSelection());
    QAction* allAction = menu->addAction(selectAllText_, this, [this] { selectAll(); });
    allAction->setObjectName(u"selectAll"_s);
    allAction->setShortcut(QKeySequence::SelectAll);
    allAction->setEnabled(lineCount_ > 0);
    return menu;
}

void TTextView::contextMenuEvent(QContextMenuEvent* event) {
    const std::unique_ptr<QMenu> menu(createContextMenu());
    menu->exec(event->globalPos());
}
