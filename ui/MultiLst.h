// TMultiList: a multi-column, multi-select list of text rows under a header
// with titled, user-resizable sections.
//
// Row format: columns are separated by ColumnSeperator and every column, the
// last one included, is closed by it; text after the last separator is not
// shown. A first character "0".."9", "*", "!", "@", "#", "$", "%" selects the
// row picture ListBitmap0..15 (drawn 6 px from the left, the character is not
// shown); a first "~" is hidden without a picture.
//
// The marker row: index 0 of a non-empty list always holds markerText() and is
// never shown, so data rows sit at 1..n in the order they were added. The
// marker is inserted together with the first row added to an empty list
// (rather than at the first repaint), so the indices do not depend on whether
// the list has been painted yet: after three addItem() calls count() is 4.
// clear() removes the marker as well.
//
// Rows live in a std::vector and only the visible ones are painted, so adding
// a row is O(1) amortised and scrolling costs O(visible rows). A row added by
// key (addKeyedItem) gets its text from the row source when it is first
// needed (painted, read by item() or by an assistive tool), so a list of
// thousands converts only the rows someone looks at.
//
// A row filter hides data rows without removing them: indices stay those of
// all rows, and painting, scrolling, the keyboard, the mouse and assistive
// tools see only the shown rows. A hidden row is never selected: the filter
// deselects the rows it hides and setSelected() refuses them, so whatever
// the user sees marked is all that is marked.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QPointer>
#include <QStringList>

#include <array>
#include <functional>
#include <vector>

class QHeaderView;
class QMenu;
class QStandardItemModel;

class TMultiList : public QAbstractScrollArea {
    Q_OBJECT

  public:
    static constexpr int MaxSections = 15; // SectionWidth0 .. SectionWidth_14
    static constexpr int BitmapCount = 16; // ListBitmap0 .. ListBitmap_15

    // A row as it is displayed: picture slot (-1 for none) and the columns
    // that are closed by a separator.
    struct RowParts {
        int picture = -1;
        QStringList columns;
    };
    static RowParts splitRow(const QString& row, QChar separator);

    // Fixed text of row 0; cannot occur as a data row.
    static const QString& markerText();

    explicit TMultiList(QWidget* parent = nullptr);
    ~TMultiList() override;

    // --- Items ------------------------------------------------------------
    void addItem(const QString& row); // appends; inserts the marker first if empty
    // The text of the row added with Key; asked once per row, when the row
    // is first needed. Set it before adding keyed rows.
    using RowSource = std::function<QString(int key)>;
    void setRowSource(RowSource source) { rowSource_ = std::move(source); }
    void addKeyedItem(int key); // appends like addItem, its text made later; key >= 0
    // Emphasis: a row drawn in bold, whose cells tell an assistive tool
    // emphasisDescription() as their description ("new").
    void setEmphasized(int index, bool on); // out of range or the marker: ignored
    bool isEmphasized(int index) const;
    QString emphasisDescription() const { return emphasisDescription_; }
    void setEmphasisDescription(const QString& text) { emphasisDescription_ = text; }
    void deleteItem(int index);       // out of range: ignored; the marker stays while data rows exist
    QString item(int index) const;    // out of range: empty text
    int count() const;                // marker row included
    void clear();                     // the row source and the row filter stay

    // --- Row filter -------------------------------------------------------
    // Whether a data row is shown, asked with the row's key (-1 for a row
    // added by text): for every row when the filter is set, then once for
    // each row added, never while painting. An empty filter shows every row.
    using RowFilter = std::function<bool(int key)>;
    // Asks the filter of every row again. The rows it hides are deselected;
    // a caret on one of them moves to the first shown row.
    void setRowFilter(RowFilter filter);
    bool hasRowFilter() const { return bool(rowFilter_); }
    bool isShown(int index) const;   // a data row the filter lets through
    int shownCount() const;          // data rows shown
    // The shown rows in order, counted from 0: the list index of shown row
    // `position` (-1 out of range), and the place of list row `index`
    // among them (-1 for the marker, a hidden row or out of range).
    int shownRow(int position) const;
    int shownPosition(int index) const;

    // Selection. The marker row and hidden rows can never be selected.
    bool isSelected(int index) const;
    void setSelected(int index, bool selected); // no clicked() signal
    int selectedCount() const;
    // Caret (focus row); -1 for an empty list. With MultiSelect it moves only
    // the caret; without, it also selects that single row.
    int itemIndex() const;
    void setItemIndex(int index);

    // --- Properties -------------------------------------------------------
    QChar columnSeperator() const { return columnSeperator_; }
    void setColumnSeperator(QChar separator);

    // Only the first MaxSections titles are kept.
    QStringList headerSections() const { return headerSections_; }
    void setHeaderSections(const QStringList& titles);
    void clearHeaderSections();
    void addHeaderSection(const QString& title);
    // What screen readers call section n (0 .. MaxSections - 1): the name
    // set here, for a title left blank on screen; else the title. Names
    // stay when the titles change.
    QString sectionAccessibleName(int n) const;
    void setSectionAccessibleName(int n, const QString& name);

    // SectionWidthN (N = 0..14). A width above 0 is applied to header section
    // N; 0 or less leaves the section as it is and draws no column line.
    // Dragging a divider copies all fifteen header widths back here.
    int sectionWidth(int n) const;
    void setSectionWidth(int n, int width);

    // AlignmentN: Qt::AlignLeft, Qt::AlignRight or Qt::AlignHCenter.
    Qt::Alignment columnAlignment(int n) const;
    void setColumnAlignment(int n, Qt::Alignment alignment);

    int headerHeight() const { return headerHeight_; }
    void setHeaderHeight(int height);
    QFont headerFont() const { return headerFont_; }
    void setHeaderFont(const QFont& font);
    int itemHeight() const { return itemHeight_; }
    void setItemHeight(int height);

    // ListWidth: the header's width. Layout sets it back to the control's
    // width (or ScrollWidth) whenever the control is resized.
    int listWidth() const;
    void setListWidth(int width);

    bool multiSelect() const { return multiSelect_; }
    void setMultiSelect(bool on);
    bool showColumnLines() const { return showColumnLines_; }
    void setShowColumnLines(bool on);
    QColor columnLineColor() const { return columnLineColor_; }
    void setColumnLineColor(const QColor& color);
    // An invalid colour means the palette's highlight colours.
    QColor highlightColor() const;
    void setHighlightColor(const QColor& color);
    QColor highlightText() const;
    void setHighlightText(const QColor& color);
    bool defaultItemSelected() const { return defaultItemSelected_; }
    void setDefaultItemSelected(bool on) { defaultItemSelected_ = on; }
    bool updateAlways() const { return updateAlways_; }
    void setUpdateAlways(bool on) { updateAlways_ = on; }
    // SmoothScroll: take over new widths while a divider is dragged (true)
    // or when the drag ends (false).
    bool smoothScroll() const { return smoothScroll_; }
    void setSmoothScroll(bool on) { smoothScroll_ = on; }
    int scrollSpeed() const { return scrollSpeed_; }
    void setScrollSpeed(int speed); // clamped to 1..5
    // SetHorizontalScroll / ScrollWidth: scroll sideways over ScrollWidth.
    bool horizontalScroll() const { return horizontalScroll_; }
    void setHorizontalScroll(bool on);
    int scrollWidth() const { return scrollWidth_; }
    void setScrollWidth(int width);

    QPixmap listBitmap(int n) const;
    void setListBitmap(int n, const QPixmap& picture);
    QColor bitmapMaskColor() const { return bitmapMaskColor_; }
    void setBitmapMaskColor(const QColor& color);
    // Stored for completeness; they do not change the drawing.
    bool showParentHighlight() const { return showParentHighlight_; }
    void setShowParentHighlight(bool on) { showParentHighlight_ = on; }
    QColor childHighlightTextColor() const;
    void setChildHighlightTextColor(const QColor& color) { childHighlightTextColor_ = color; }
    bool ignoreBitmap() const { return ignoreBitmap_; }
    void setIgnoreBitmap(bool on) { ignoreBitmap_ = on; }

    // Shown on a right click (the list does not own it).
    QMenu* popupMenu() const;
    void setPopupMenu(QMenu* menu);

    // The header child, objectName "ListHeader".
    QHeaderView* header() const { return header_; }

    // Right edge of header section n in content coordinates (running sum of
    // the displayed widths; sections beyond the existing ones add 0).
    int sectionRight(int n) const;
    // Shown row under a viewport position, or -1.
    int indexAt(const QPoint& viewportPos) const;
    // Rectangle of row index in viewport coordinates (empty for the marker
    // and hidden rows).
    QRect itemRect(int index) const;

  signals:
    // The user changed the selection with the mouse or the keyboard.
    void clicked();
    // Every key press, before the list handles it.
    void keyDown(int key, Qt::KeyboardModifiers modifiers);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct Row {
        // A keyed row's text is made on first use: text stays null until then.
        mutable QString text;
        int key = -1; // -1 for a row added by text; the filter asks by it
        mutable bool textPending = false;
        bool selected = false;
        bool emphasized = false;
    };

    void appendRow(Row row);
    const QString& textOf(const Row& row) const;

    int dataRowCount() const;
    int contentWidth() const;
    int visibleRowCount() const; // fully visible rows
    void setSel(Row& row, bool selected);
    void clearSelection();
    void selectRange(int from, int to, bool clearOthers);
    void moveCaret(int index, Qt::KeyboardModifiers modifiers, bool byMouse);
    void ensureVisible(int index);
    void syncHeader(bool applyWidths);
    void fillLastSection();
    void updateScrollBars();
    void copyWidthsBack();
    void onSectionResized(int logical, int oldSize, int newSize);
    void drawRow(QPainter& p, int index, const QRect& rect);

    std::vector<Row> rows_;
    RowSource rowSource_;
    RowFilter rowFilter_;
    std::vector<int> shown_; // with a filter: the shown rows' indices, ascending
    int selectedCount_ = 0;
    QString emphasisDescription_;
    int caret_ = -1;
    int anchor_ = -1;

    QChar columnSeperator_ = u'|';
    QStringList headerSections_;
    std::array<QString, MaxSections> sectionNames_;
    std::array<int, MaxSections> sectionWidth_{};
    std::array<Qt::Alignment, MaxSections> alignment_{};
    int headerHeight_ = 18;
    QFont headerFont_;
    int itemHeight_ = 18;
    bool multiSelect_ = false;
    bool showColumnLines_ = false;
    QColor columnLineColor_{128, 128, 128};
    QColor highlightColor_;
    QColor highlightText_;
    bool defaultItemSelected_ = true;
    bool updateAlways_ = true;
    bool smoothScroll_ = false;
    int scrollSpeed_ = 5;
    bool horizontalScroll_ = false;
    int scrollWidth_ = 0;
    std::array<QPixmap, BitmapCount> bitmaps_;
    std::array<QPixmap, BitmapCount> maskedBitmaps_;
    QColor bitmapMaskColor_{128, 0, 128};
    bool showParentHighlight_ = false;
    QColor childHighlightTextColor_;
    bool ignoreBitmap_ = false;
    QPointer<QMenu> popupMenu_;

    QHeaderView* header_ = nullptr;
    QStandardItemModel* headerModel_ = nullptr;
    int lastLayoutWidth_ = -1;
    bool applyingLayout_ = false;
    bool headerPressed_ = false;
    bool widthsPending_ = false;
    bool mouseSelecting_ = false;
    bool dragChangedSelection_ = false;
    Qt::KeyboardModifiers pressModifiers_;
    int changedFrom_ = 0;    // leftmost x touched by a pending divider drag
    std::vector<int> edges_; // section right edges, refreshed per paint
};
