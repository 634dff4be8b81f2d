// TTextView: a read-only view of many lines of text, such as a message body.
//
// The lines stay with their owner. The view asks a TTextViewSource for the
// screen text of a line only when it needs it (to draw the line, to hit-test
// or to copy it), and keeps the text of a bounded number of lines it drew
// last. Only the visible lines are drawn; nothing wraps. Sideways the view
// scrolls by character columns: every line is drawn from the column the
// horizontal scroll bar shows, and only as many characters as can fit the
// viewport are laid out, so a line of megabytes costs no more to draw than a
// short one. Of a long line only the start is converted (ConvertedAtOnce
// units), more as the view scrolls along it; a line is shown up to
// MaxShownLength characters, then an ellipsis. Copying a line still gives
// the whole line.
//
// Keys: the arrows, PgUp/PgDn and Home/End (top) / End (bottom) scroll; with
// Shift they select from the cursor instead (Shift+Home/End: to the start or
// end of the line; with Ctrl to the start or end of the text). Ctrl+A selects
// everything, Ctrl+C copies. The mouse selects by dragging, extends with
// Shift and picks a word with a double click; the context menu copies.
// Colours come from the palette only: Text on Base, selections in Highlight
// and HighlightedText.
#pragma once

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QString>

#include <compare>
#include <memory>
#include <unordered_map>

class QMenu;
class QTextLayout;

// The lines a TTextView shows. Sizes are in the source's own units (the
// bytes of a line, say), which must never be fewer than the UTF-16 units of
// the line's screen text: the view sizes its horizontal scroll range by them
// and cuts overlong lines by them without converting anything.
class TTextViewSource {
  public:
    virtual ~TTextViewSource() = default;
    virtual qsizetype lineCount() const = 0;
    // Cheap: asked for every line when the lines are set.
    virtual qsizetype lineSize(qsizetype line) const = 0;
    // True when lineSize(line) is also the length of the line's screen text
    // (an ASCII line, say), so the view need not convert it to measure it.
    virtual bool lineSizeIsLength(qsizetype /*line*/) const { return false; }
    // The screen text of the line; when lineSize(line) exceeds limit, the
    // text of whole characters within its first limit units.
    virtual QString lineText(qsizetype line, qsizetype limit) const = 0;
};

class TTextView : public QAbstractScrollArea {
    Q_OBJECT

  public:
    // Characters of one line that are shown; the rest is elided.
    static constexpr qsizetype MaxShownLength = qsizetype(1) << 21;
    // Units of a line (see TTextViewSource) converted when it is first
    // needed; twice as many each time the view needs more of it.
    static constexpr qsizetype ConvertedAtOnce = qsizetype(1) << 16;

    // A place between two characters: before column `column` of line `line`
    // (columns count UTF-16 units of the line's screen text).
    struct Position {
        qsizetype line = 0;
        qsizetype column = 0;
        friend auto operator<=>(const Position&, const Position&) = default;
    };

    explicit TTextView(QWidget* parent = nullptr);
    ~TTextView() override;

    // Shows the lines of source from the top left, nothing selected; nullptr
    // shows nothing. The view keeps a share of the source until the next
    // setSource or clear.
    void setSource(std::shared_ptr<const TTextViewSource> source);
    const TTextViewSource* source() const { return source_.get(); }
    // The source has new lines at its end: shows them too, and keeps the
    // scroll position and the selection.
    void linesAppended();
    // Lets go of the source and every converted line.
    void clear() { setSource(nullptr); }

    qsizetype lineCount() const { return lineCount_; }
    // Grows with every setSource and linesAppended, so that a copy of the
    // text can tell whether it is still current.
    quint64 textRevision() const { return textRevision_; }
    // Every line, joined with '\n'. Converts all of them: meant for small
    // texts and tests.
    QString toPlainText() const;

    Position cursorPosition() const { return cursor_; }
    // Where the selection started; the cursor is its other end.
    Position anchorPosition() const { return anchor_; }
    bool hasSelection() const { return anchor_ != cursor_; }
    // The selected text, lines joined with '\n', whole overlong lines
    // included.
    QString selectedText() const;
    // Selects from anchor to cursor (each clamped into the text) and shows
    // the cursor.
    void setSelection(Position anchor, Position cursor);
    void selectAll();
    void clearSelection();
    // Puts the selected text on the clipboard; nothing when none is selected.
    void copy() const;

    // The first line and column drawn (the scroll bars' values).
    qsizetype firstVisibleLine() const;
    qsizetype firstVisibleColumn() const;
    // Scrolls to the first column of the first line.
    void scrollToTopLeft();
    // Scrolls so that the place is in view.
    void ensureVisible(Position position);

    // The place under a viewport point (outside the text: the nearest one).
    Position positionAt(QPoint viewportPoint) const;
    // The character cell at the place, in viewport coordinates; empty when it
    // is not in view.
    QRect characterRect(Position position) const;
    int lineHeight() const;

    // The context menu: Copy and Select All. The caller owns it.
    QMenu* createContextMenu();
    // The menu's captions (with & for the mnemonic), for the interface
    // language.
    void setMenuTexts(const QString& copy, const QString& selectAll);

  signals:
    void selectionChanged();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

  private:
    // The converted start of a line: all of it once complete; elided when
    // the line is longer than is ever shown.
    struct Shown {
        QString text;
        qsizetype limit = 0; // the units converted
        bool complete = false;
        bool elided = false;
        bool known() const { return complete || elided; } // text ends where the shown line ends
    };
    // At least the first `columns` characters of a line, converting more of
    // it when needed, unless the shown line is shorter.
    const Shown& shown(qsizetype line, qsizetype columns) const;
    // The length of the shown line (converts it up to MaxShownLength).
    qsizetype shownLength(qsizetype line) const;
    // The whole screen text of a line, however long.
    QString wholeLine(qsizetype line) const;
    // Drops converted lines outside [first, last] once over the budget.
    void trimCache(qsizetype first, qsizetype last) const;
    // Widens the horizontal extent by the lines from `from` on.
    void measureLines(qsizetype from);
    void updateScrollBars();
    int fullRows() const;
    int textLeft() const;
    // What of a line is laid out at the current column: the layout of the
    // characters from *start, or false when the line ends before the column.
    // atEnd (when given) tells whether the laid out characters reach the end
    // of the shown line.
    bool layoutLine(qsizetype line, QTextLayout& layout, qsizetype* start, qsizetype* end, bool* atEnd = nullptr) const;
    Position clamp(Position position) const;
    void moveCursor(Position to, bool extend);
    Position stepped(int key, Qt::KeyboardModifiers modifiers) const;
    void selectWordAt(Position position);
    void dragTo(QPoint viewportPoint);

    std::shared_ptr<const TTextViewSource> source_;
    qsizetype lineCount_ = 0;
    quint64 textRevision_ = 0;
    qsizetype extent_ = 0; // longest shown line, in columns
    // Whether every line fits in room pixels, where the text is small enough
    // to look at every line (most messages); false where it is not. A line
    // is shaped and measured only where the sum of its letters' advances
    // (never less than the shaped width) passes room, and the first line
    // that really does ends the look.
    bool allLinesFit(int room) const;
    mutable int fitRoom_ = -1; // the room allLinesFit last answered for
    mutable bool fits_ = false;
    mutable bool widestKnown_ = false; // fitRoom_ and fits_ hold for this text and font
    // Advances of single characters in the current font.
    mutable std::unordered_map<char16_t, int> advances_;
    mutable std::unordered_map<qsizetype, Shown> cache_;
    mutable qsizetype cachedChars_ = 0;
    Position anchor_;
    Position cursor_;
    bool dragging_ = false;
    QPoint dragPoint_;
    QBasicTimer dragTimer_;
    QString copyText_;
    QString selectAllText_;
};
