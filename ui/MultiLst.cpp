#include "ui/MultiLst.h"

#include "ui/ControlsAccessible.h"
#include "ui/MultiListAccessible.h"

#include <QBitmap>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QPolygonF>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTextOption>

#include <algorithm>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

// The list's header. Styles draw the sort arrow at the right end of its
// section, and the last section reaches the right edge of the list: sorted
// by it, the arrow stood at the window's edge, far from the title. Here it
// follows the title.
class ListHeader : public QHeaderView {
  public:
    using QHeaderView::QHeaderView;

  protected:
    void initStyleOptionForIndex(QStyleOptionHeader* option, int logical) const override {
        QHeaderView::initStyleOptionForIndex(option, logical);
        option->sortIndicator = QStyleOptionHeader::None;
    }

    void paintSection(QPainter* painter, const QRect& rect, int logical) const override {
        QHeaderView::paintSection(painter, rect, logical);
        if (!isSortIndicatorShown() || logical != sortIndicatorSection() || !rect.isValid())
            return;
        const int margin = style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, this);
        constexpr int kArrow = 7; // wide; half as high
        const QString title = model() ? model()->headerData(logical, orientation()).toString() : QString();
        const int after = rect.left() + margin + (title.isEmpty() ? 0 : fontMetrics().horizontalAdvance(title) + margin);
        // A section too narrow for title and arrow keeps the arrow inside it.
        const int left = std::max(rect.left(), std::min(after, rect.right() + 1 - margin - kArrow));
        const qreal top = rect.top() + (rect.height() - kArrow / 2.0) / 2.0;
        // Pointing as Qt's styles point it: down for an ascending order.
        const bool up = sortIndicatorOrder() == Qt::DescendingOrder;
        const QPolygonF triangle{
            QPointF(left, up ? top + kArrow / 2.0 : top),
            QPointF(left + kArrow, up ? top + kArrow / 2.0 : top),
            QPointF(left + kArrow / 2.0, up ? top : top + kArrow / 2.0),
        };
        painter->save();
        // The section's painting leaves no clip room for more; the arrow
        // stays inside the section.
        painter->setClipRect(rect);
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->setPen(Qt::NoPen);
        painter->setBrush(palette().color(QPalette::ButtonText));
        painter->drawPolygon(triangle);
        painter->restore();
    }
};

// Row 0 of a non-empty list. The program's rows start with a blank, and the
// control character makes a clash with any typed text impossible in practice.
constexpr int kFirstDataRow = 1;

// Row pictures are chosen by these first characters; "0".."9" map to 0..9.
int pictureSlot(QChar c) {
    if (c >= u'0' && c <= u'9')
        return c.unicode() - u'0';
    switch (c.unicode()) {
    case u'*':
        return 10;
    case u'!':
        return 11;
    case u'@':
        return 12;
    case u'#':
        return 13;
    case u'$':
        return 14;
    case u'%':
        return 15;
    default:
        return -1;
    }
}

// Draws one cell's text on one line, cut with an ellipsis when too long.
// Tabs stop every three average character widths.
void drawCellText(QPainter& p, const QFontMetrics& fm, const QRect& r, const QString& text, Qt::Alignment alignment) {
    if (r.width() <= 0 || text.isEmpty())
        return;
    if (!text.contains(u'\t')) {
        const QString shown =
            fm.horizontalAdvance(text) > r.width() ? fm.elidedText(text, Qt::ElideRight, r.width()) : text;
        p.drawText(r, int(alignment | Qt::AlignTop | Qt::TextSingleLine), shown);
        return;
    }
    const int tabStop = std::max(1, 3 * fm.averageCharWidth());
    const auto widthOf = [&](const QString& s) {
        return fm.size(Qt::TextSingleLine | Qt::TextExpandTabs, s, tabStop).width();
    };
    QString shown = text;
    if (widthOf(text) > r.width()) {
        // Longest prefix that still fits together with the ellipsis.
        const QString ellipsis(QChar(0x2026));
        qsizetype lo = 0;
        qsizetype hi = text.size();
        while (lo < hi) {
            const qsizetype mid = (lo + hi + 1) / 2;
            if (widthOf(text.left(mid) + ellipsis) <= r.width())
                lo = mid;
            else
                hi = mid - 1;
        }
        shown = text.left(lo) + ellipsis;
    }
    QTextOption option(alignment | Qt::AlignTop);
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(tabStop);
    p.drawText(QRectF(r), shown, option);
}

} // namespace

TMultiList::RowParts TMultiList::splitRow(const QString& row, QChar separator) {
    RowParts parts;
    qsizetype start = 0;
    if (!row.isEmpty()) {
        const QChar first = row.front();
        parts.picture = pictureSlot(first);
        if (parts.picture >= 0 || first == u'~')
            start = 1;
    }
    // Only closed columns are shown: text after the last separator is dropped.
    for (;;) {
        const qsizetype end = row.indexOf(separator, start);
        if (end < 0)
            break;
        parts.columns.append(row.mid(start, end - start));
        start = end + 1;
    }
    return parts;
}

const QString& TMultiList::markerText() {
    static const QString marker = u"~\u0001TMultiList marker row\u0001"_s;
    return marker;
}

TMultiList::TMultiList(QWidget* parent) : QAbstractScrollArea(parent) {
    alignment_.fill(Qt::AlignLeft);

    QFont listFont = font();
    listFont.setPointSize(8);
    setFont(listFont);
    headerFont_ = font();
    headerFont_.setPixelSize(12);

    headerModel_ = new QStandardItemModel(this);
    header_ = new ListHeader(Qt::Horizontal, this);
    header_->setObjectName(u"ListHeader"_s);
    header_->setModel(headerModel_);
    header_->setSectionsClickable(false);
    header_->setSectionsMovable(false);
    header_->setHighlightSections(false);
    header_->setStretchLastSection(false);
    header_->setMinimumSectionSize(0);
    header_->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header_->setFont(headerFont_);
    header_->setFocusPolicy(Qt::NoFocus);
    header_->viewport()->installEventFilter(this);
    connect(header_, &QHeaderView::sectionResized, this, &TMultiList::onSectionResized);

    setViewportMargins(0, headerHeight_, 0, 0);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    verticalScrollBar()->setSingleStep(1);
    viewport()->setAutoFillBackground(false);
    scrollWidth_ = width();
    accessible::installControlFactory();
}

TMultiList::~TMultiList() = default;

// ---------------------------------------------------------------------------
// Items

int TMultiList::dataRowCount() const {
    return rows_.empty() ? 0 : int(rows_.size()) - kFirstDataRow;
}

void TMultiList::addItem(const QString& row) {
    appendRow(Row{row, -1, false, false});
}

void TMultiList::addKeyedItem(int key) {
    appendRow(Row{QString(), key < 0 ? -1 : key, key >= 0, false});
}

void TMultiList::setEmphasized(int index, bool on) {
    if (index < kFirstDataRow || index >= count() || rows_[size_t(index)].emphasized == on)
        return;
    rows_[size_t(index)].emphasized = on;
    viewport()->update(itemRect(index));
}

bool TMultiList::isEmphasized(int index) const {
    return index >= kFirstDataRow && index < count() && rows_[size_t(index)].emphasized;
}

const QString& TMultiList::textOf(const Row& row) const {
    if (row.textPending) {
        if (rowSource_)
            row.text = rowSource_(row.key);
        row.textPending = false;
    }
    return row.text;
}

void TMultiList::appendRow(Row row) {
    const bool first = rows_.empty();
    if (first)
        rows_.push_back(Row{markerText(), -1, false, false});
    const int key = row.key;
    rows_.push_back(std::move(row));
    const bool shown = !rowFilter_ || rowFilter_(key);
    if (shown && rowFilter_)
        shown_.push_back(count() - 1);
    if (first)
        setItemIndex(defaultItemSelected_ && shown ? kFirstDataRow : 0);
    if (!shown)
        return; // nothing on the screen changes
    MultiListAccessible::rowAdded(this, shownCount() - 1);
    // A row changes only the vertical range: the horizontal one follows
    // the columns. The scroll area hears of a range change by a queued call
    // that lays out its bars again, which a list filled row by row would
    // post for every row; it needs it only when the bar appears (the range
    // stops being empty), so a bar already shown just takes its new maximum.
    QScrollBar* bar = verticalScrollBar();
    const int maximum = std::max(0, shownCount() - visibleRowCount());
    if (bar->maximum() > 0 && maximum > 0) {
        const QSignalBlocker quiet(bar);
        bar->setMaximum(maximum);
    } else {
        bar->setRange(0, maximum);
    }
    // Rows below the visible area cost nothing to add.
    const QRect r = itemRect(count() - 1);
    if (r.intersects(viewport()->rect()))
        viewport()->update(r);
}

void TMultiList::deleteItem(int index) {
    if (index < 0 || index >= count())
        return;
    if (index == 0) {
        if (count() == 1) {
            clear();
        } else {
            // The marker cannot leave while data rows remain: it would be put
            // straight back, with the caret reset as on a first insertion.
            setItemIndex(defaultItemSelected_ ? kFirstDataRow : 0);
        }
        return;
    }
    if (rows_[size_t(index)].selected)
        --selectedCount_;
    const int position = shownPosition(index);
    if (rowFilter_) {
        const auto at = std::lower_bound(shown_.begin(), shown_.end(), index);
        for (auto it = position >= 0 ? shown_.erase(at) : at; it != shown_.end(); ++it)
            --*it;
    }
    rows_.erase(rows_.begin() + index);
    const int last = count() - 1;
    if (caret_ > index || caret_ > last)
        --caret_;
    if (anchor_ > index || anchor_ > last)
        --anchor_;
    if (position >= 0)
        MultiListAccessible::rowDeleted(this, position);
    updateScrollBars();
    viewport()->update();
}

QString TMultiList::item(int index) const {
    if (index < 0 || index >= count())
        return {};
    return textOf(rows_[size_t(index)]);
}

int TMultiList::count() const {
    return int(rows_.size());
}

void TMultiList::clear() {
    rows_.clear();
    shown_.clear();
    selectedCount_ = 0;
    caret_ = -1;
    anchor_ = -1;
    MultiListAccessible::reset(this);
    updateScrollBars();
    viewport()->update();
}

// ---------------------------------------------------------------------------
// Row filter

void TMultiList::setRowFilter(RowFilter filter) {
    rowFilter_ = std::move(filter);
    shown_.clear();
    if (rowFilter_) {
        for (int i = kFirstDataRow; i < count(); ++i) {
            Row& row = rows_[size_t(i)];
            if (rowFilter_(row.key))
                shown_.push_back(i);
            else
                setSel(row, false);
        }
    }
    // The caret stays where it is while its row is shown; else it goes to
    // the top, without marking anything.
    if (caret_ >= kFirstDataRow && !isShown(caret_))
        caret_ = shownCount() > 0 ? shownRow(0) : 0;
    if (anchor_ >= kFirstDataRow && !isShown(anchor_))
        anchor_ = caret_;
    MultiListAccessible::reset(this);
    updateScrollBars();
    if (caret_ >= kFirstDataRow)
        ensureVisible(caret_);
    viewport()->update();
}

bool TMultiList::isShown(int index) const {
    if (index < kFirstDataRow || index >= count())
        return false;
    return !rowFilter_ || std::binary_search(shown_.begin(), shown_.end(), index);
}

int TMultiList::shownCount() const {
    return rowFilter_ ? int(shown_.size()) : dataRowCount();
}

int TMultiList::shownRow(int position) const {
    if (position < 0 || position >= shownCount())
        return -1;
    return rowFilter_ ? shown_[size_t(position)] : position + kFirstDataRow;
}

int TMultiList::shownPosition(int index) const {
    if (index < kFirstDataRow || index >= count())
        return -1;
    if (!rowFilter_)
        return index - kFirstDataRow;
    const auto it = std::lower_bound(shown_.begin(), shown_.end(), index);
    return it != shown_.end() && *it == index ? int(it - shown_.begin()) : -1;
}

// ---------------------------------------------------------------------------
// Selection

bool TMultiList::isSelected(int index) const {
    return index >= 0 && index < count() && rows_[size_t(index)].selected;
}

void TMultiList::setSel(Row& row, bool selected) {
    if (row.selected == selected)
        return;
    row.selected = selected;
    selectedCount_ += selected ? 1 : -1;
    MultiListAccessible::selectionChanged(this);
}

void TMultiList::setSelected(int index, bool selected) {
    // The marker row and hidden rows are invisible; a selection there would
    // be counted by callers without the user being able to see or undo it.
    if (index < kFirstDataRow || index >= count() || (selected && !isShown(index)))
        return;
    if (!multiSelect_ && selected)
        clearSelection();
    setSel(rows_[size_t(index)], selected);
    viewport()->update(itemRect(index));
}

int TMultiList::selectedCount() const {
    return selectedCount_;
}

void TMultiList::clearSelection() {
    if (selectedCount_ == 0)
        return;
    for (Row& row : rows_)
        setSel(row, false);
    viewport()->update();
}

void TMultiList::selectRange(int from, int to, bool clearOthers) {
    if (clearOthers)
        clearSelection();
    if (from > to)
        std::swap(from, to);
    from = std::max(from, kFirstDataRow);
    to = std::min(to, count() - 1);
    for (int i = from; i <= to; ++i)
        if (!rowFilter_ || isShown(i))
            setSel(rows_[size_t(i)], true);
    viewport()->update();
}

int TMultiList::itemIndex() const {
    return caret_;
}

void TMultiList::setItemIndex(int index) {
    if (index < -1 || index >= count() || (index >= kFirstDataRow && !isShown(index)))
        return;
    const int old = caret_;
    caret_ = index;
    anchor_ = index;
    MultiListAccessible::caretMoved(this);
    if (!multiSelect_) {
        clearSelection();
        if (index >= kFirstDataRow)
            setSel(rows_[size_t(index)], true);
    }
    if (index >= 0)
        ensureVisible(index);
    viewport()->update(itemRect(old));
    viewport()->update(itemRect(index));
}

// ---------------------------------------------------------------------------
// Properties

void TMultiList::setColumnSeperator(QChar separator) {
    columnSeperator_ = separator;
    viewport()->update();
}

void TMultiList::setHeaderSections(const QStringList& titles) {
    headerSections_ = titles.mid(0, MaxSections);
    syncHeader(false);
}

void TMultiList::clearHeaderSections() {
    headerSections_.clear();
    syncHeader(false);
}

void TMultiList::addHeaderSection(const QString& title) {
    if (headerSections_.size() >= MaxSections)
        return;
    headerSections_.append(title);
    syncHeader(false);
}

QString TMultiList::sectionAccessibleName(int n) const {
    if (n < 0 || n >= MaxSections)
        return {};
    return sectionNames_[size_t(n)].isEmpty() ? headerSections_.value(n) : sectionNames_[size_t(n)];
}

void TMultiList::setSectionAccessibleName(int n, const QString& name) {
    if (n >= 0 && n < MaxSections)
        sectionNames_[size_t(n)] = name;
}

int TMultiList::sectionWidth(int n) const {
    return n >= 0 && n < MaxSections ? sectionWidth_[size_t(n)] : 0;
}

void TMultiList::setSectionWidth(int n, int width) {
    if (n < 0 || n >= MaxSections)
        return;
    sectionWidth_[size_t(n)] = width;
    if (width > 0 && n < header_->count() && !headerPressed_) {
        applyingLayout_ = true;
        header_->resizeSection(n, std::min(width, header_->maximumSectionSize()));
        fillLastSection();
        applyingLayout_ = false;
    }
    viewport()->update();
}

Qt::Alignment TMultiList::columnAlignment(int n) const {
    return n >= 0 && n < MaxSections ? alignment_[size_t(n)] : Qt::AlignLeft;
}

void TMultiList::setColumnAlignment(int n, Qt::Alignment alignment) {
    if (n < 0 || n >= MaxSections)
        return;
    alignment_[size_t(n)] = alignment & Qt::AlignHorizontal_Mask;
    viewport()->update();
}

void TMultiList::setHeaderHeight(int height) {
    headerHeight_ = std::max(0, height);
    setViewportMargins(0, headerHeight_, 0, 0);
    syncHeader(false);
}

void TMultiList::setHeaderFont(const QFont& font) {
    headerFont_ = font;
    header_->setFont(font);
}

void TMultiList::setItemHeight(int height) {
    itemHeight_ = std::max(1, height);
    updateScrollBars();
    viewport()->update();
}

int TMultiList::listWidth() const {
    return header_->width();
}

void TMultiList::setListWidth(int width) {
    header_->resize(std::max(0, width), headerHeight_);
}

void TMultiList::setMultiSelect(bool on) {
    multiSelect_ = on;
    if (!on && selectedCount_ > 1) {
        // Keep the caret row's state only, as a single-choice list has one.
        const bool keep = isSelected(caret_);
        clearSelection();
        if (keep)
            setSel(rows_[size_t(caret_)], true);
    }
}

void TMultiList::setShowColumnLines(bool on) {
    showColumnLines_ = on;
    viewport()->update();
}

void TMultiList::setColumnLineColor(const QColor& color) {
    columnLineColor_ = color;
    viewport()->update();
}

QColor TMultiList::highlightColor() const {
    return highlightColor_.isValid() ? highlightColor_ : palette().color(QPalette::Highlight);
}

void TMultiList::setHighlightColor(const QColor& color) {
    highlightColor_ = color;
    viewport()->update();
}

QColor TMultiList::highlightText() const {
    return highlightText_.isValid() ? highlightText_ : palette().color(QPalette::HighlightedText);
}

void TMultiList::setHighlightText(const QColor& color) {
    highlightText_ = color;
    viewport()->update();
}

void TMultiList::setScrollSpeed(int speed) {
    scrollSpeed_ = std::clamp(speed, 1, 5);
}

void TMultiList::setHorizontalScroll(bool on) {
    horizontalScroll_ = on;
    setHorizontalScrollBarPolicy(on ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    syncHeader(true);
    updateScrollBars();
}

void TMultiList::setScrollWidth(int width) {
    scrollWidth_ = std::max(0, width);
    syncHeader(true);
    updateScrollBars();
}

QPixmap TMultiList::listBitmap(int n) const {
    return n >= 0 && n < BitmapCount ? bitmaps_[size_t(n)] : QPixmap();
}

void TMultiList::setListBitmap(int n, const QPixmap& picture) {
    if (n < 0 || n >= BitmapCount)
        return;
    bitmaps_[size_t(n)] = picture;
    QPixmap masked = picture;
    if (!masked.isNull())
        masked.setMask(picture.createMaskFromColor(bitmapMaskColor_, Qt::MaskInColor));
    maskedBitmaps_[size_t(n)] = masked;
    viewport()->update();
}

void TMultiList::setBitmapMaskColor(const QColor& color) {
    bitmapMaskColor_ = color;
    for (int n = 0; n < BitmapCount; ++n)
        if (!bitmaps_[size_t(n)].isNull())
            setListBitmap(n, bitmaps_[size_t(n)]);
}

QColor TMultiList::childHighlightTextColor() const {
    return childHighlightTextColor_.isValid() ? childHighlightTextColor_ : highlightColor();
}

QMenu* TMultiList::popupMenu() const {
    return popupMenu_;
}

void TMultiList::setPopupMenu(QMenu* menu) {
    popupMenu_ = menu;
}

// ---------------------------------------------------------------------------
// Geometry and header

int TMultiList::contentWidth() const {
    const int visible = viewport()->width();
    return horizontalScroll_ ? std::max(visible, scrollWidth_) : visible;
}

int TMultiList::visibleRowCount() const {
    return std::max(1, viewport()->height() / itemHeight_);
}

int TMultiList::sectionRight(int n) const {
    int right = 0;
    const int last = std::min(n, header_->count() - 1);
    for (int i = 0; i <= last; ++i)
        right += header_->sectionSize(i);
    return right;
}

int TMultiList::indexAt(const QPoint& viewportPos) const {
    if (viewportPos.y() < 0 || viewportPos.y() >= viewport()->height())
        return -1;
    return shownRow(verticalScrollBar()->value() + viewportPos.y() / itemHeight_);
}

QRect TMultiList::itemRect(int index) const {
    const int position = shownPosition(index);
    if (position < 0)
        return {};
    const int visual = position - verticalScrollBar()->value();
    return QRect(-horizontalScrollBar()->value(), visual * itemHeight_, contentWidth(), itemHeight_);
}

void TMultiList::ensureVisible(int index) {
    QScrollBar* bar = verticalScrollBar();
    const int visual = std::max(0, shownPosition(index));
    if (visual < bar->value())
        bar->setValue(visual);
    else if (visual >= bar->value() + visibleRowCount())
        bar->setValue(visual - visibleRowCount() + 1);
}

void TMultiList::updateScrollBars() {
    QScrollBar* v = verticalScrollBar();
    const int visible = visibleRowCount();
    v->setPageStep(visible);
    v->setRange(0, std::max(0, shownCount() - visible));

    QScrollBar* h = horizontalScrollBar();
    const int extra = horizontalScroll_ ? contentWidth() - viewport()->width() : 0;
    h->setPageStep(std::max(1, viewport()->width()));
    h->setSingleStep(scrollSpeed_ * 4);
    h->setRange(0, std::max(0, extra));
}

// Titles come from HeaderSections; SectionWidthN above 0 is applied to new
// sections, and to all of them when applyAll (the width changed). The last
// section always reaches the right edge.
void TMultiList::syncHeader(bool applyAll) {
    applyingLayout_ = true;
    const int want = int(headerSections_.size());
    const int had = headerModel_->columnCount();
    if (had != want) {
        headerModel_->setColumnCount(want);
        MultiListAccessible::reset(this);
    }
    for (int n = 0; n < want; ++n) {
        const QString& title = headerSections_[n];
        if (headerModel_->headerData(n, Qt::Horizontal).toString() != title || n >= had)
            headerModel_->setHeaderData(n, Qt::Horizontal, title);
        header_->setSectionResizeMode(n, n == want - 1 ? QHeaderView::Fixed : QHeaderView::Interactive);
        // The former last section had been stretched to the right edge; once
        // another follows it goes back to its own width.
        const bool wasFilling = n == had - 1 && want > had;
        const int w = sectionWidth_[size_t(n)];
        if (headerPressed_)
            continue;
        if ((applyAll || n >= had || wasFilling) && w > 0)
            header_->resizeSection(n, std::min(w, header_->maximumSectionSize()));
        else if (wasFilling)
            header_->resizeSection(n, header_->defaultSectionSize());
    }
    const QRect vg = viewport()->geometry();
    header_->setGeometry(vg.left(), vg.top() - headerHeight_, vg.width(), headerHeight_);
    header_->setOffset(horizontalScrollBar()->value());
    fillLastSection();
    applyingLayout_ = false;
    viewport()->update();
}

void TMultiList::fillLastSection() {
    const int n = header_->count();
    if (n == 0)
        return;
    int before = 0;
    for (int i = 0; i < n - 1; ++i)
        before += header_->sectionSize(i);
    const int w = std::clamp(contentWidth() - before, 0, header_->maximumSectionSize());
    if (header_->sectionSize(n - 1) != w) {
        const bool wasApplying = applyingLayout_;
        applyingLayout_ = true;
        header_->resizeSection(n - 1, w);
        applyingLayout_ = wasApplying;
    }
}

void TMultiList::onSectionResized(int logical, int /*oldSize*/, int /*newSize*/) {
    if (applyingLayout_)
        return;
    fillLastSection();
    const int left = sectionRight(logical - 1) - horizontalScrollBar()->value();
    changedFrom_ = widthsPending_ ? std::min(changedFrom_, left) : left;
    if (headerPressed_ && !smoothScroll_) {
        widthsPending_ = true;
        return;
    }
    widthsPending_ = true;
    copyWidthsBack();
}

void TMultiList::copyWidthsBack() {
    widthsPending_ = false;
    const int n = header_->count();
    for (int i = 0; i < MaxSections; ++i)
        sectionWidth_[size_t(i)] = i < n ? header_->sectionSize(i) : 0;
    if (updateAlways_) {
        viewport()->update();
    } else {
        const QRect vr = viewport()->rect();
        viewport()->update(QRect(QPoint(std::max(0, changedFrom_), 0), vr.bottomRight()));
    }
}

bool TMultiList::eventFilter(QObject* watched, QEvent* event) {
    if (header_ && watched == header_->viewport()) {
        if (event->type() == QEvent::MouseButtonPress) {
            headerPressed_ = true;
        } else if (event->type() == QEvent::MouseButtonRelease) {
            headerPressed_ = false;
            if (widthsPending_)
                copyWidthsBack();
        }
    }
    return QAbstractScrollArea::eventFilter(watched, event);
}

void TMultiList::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    const int width = contentWidth();
    const bool changed = width != lastLayoutWidth_;
    lastLayoutWidth_ = width;
    syncHeader(changed);
    updateScrollBars();
}

void TMultiList::showEvent(QShowEvent* event) {
    QAbstractScrollArea::showEvent(event);
    lastLayoutWidth_ = contentWidth();
    syncHeader(true);
    updateScrollBars();
}

void TMultiList::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    MultiListAccessible::caretMoved(this); // the caret row has the focus now
}

void TMultiList::scrollContentsBy(int dx, int dy) {
    if (dx != 0)
        header_->setOffset(horizontalScrollBar()->value());
    // A few rows of wheel or arrow scrolling: move the pixels, paint the gap.
    if (dx == 0 && std::abs(dy) < visibleRowCount())
        viewport()->scroll(0, dy * itemHeight_);
    else
        viewport()->update();
}

// ---------------------------------------------------------------------------
// Painting

void TMultiList::paintEvent(QPaintEvent* event) {
    QPainter p(viewport());
    const QRect area = event->rect();
    p.fillRect(area, palette().color(QPalette::Base));
    p.setFont(font());

    const int n = header_->count();
    edges_.resize(size_t(n));
    int right = 0;
    for (int i = 0; i < n; ++i) {
        right += header_->sectionSize(i);
        edges_[size_t(i)] = right;
    }

    const int height = viewport()->height();
    const int shown = shownCount();
    for (int position = verticalScrollBar()->value(), y = 0; position < shown && y < height;
         ++position, y += itemHeight_) {
        const int i = shownRow(position);
        const QRect r = itemRect(i);
        if (r.intersects(area))
            drawRow(p, i, r);
    }

    if (showColumnLines_) {
        p.setPen(columnLineColor_);
        const int dx = -horizontalScrollBar()->value();
        for (int i = 0; i < n && i < MaxSections; ++i) {
            if (sectionWidth_[size_t(i)] <= 0)
                continue;
            const int x = dx + edges_[size_t(i)] - 1;
            p.drawLine(x, 0, x, height - 1);
        }
    }
}

void TMultiList::drawRow(QPainter& p, int index, const QRect& r) {
    const Row& row = rows_[size_t(index)];
    const QColor bg = row.selected ? highlightColor() : palette().color(QPalette::Base);
    const QColor fg = row.selected ? highlightText() : palette().color(QPalette::Text);
    const RowParts parts = splitRow(textOf(row), columnSeperator_);
    QFont rowFont = font();
    rowFont.setBold(row.emphasized);
    const QFontMetrics fm(rowFont);
    const QFontMetrics plainFm(font());

    p.setFont(rowFont);
    p.setPen(fg);
    int previous = r.left();
    for (size_t k = 0; k < edges_.size(); ++k) {
        const int edge = r.left() + edges_[k];
        const QRect cell(previous, r.top(), edge - previous, r.height());
        if (cell.width() > 0) {
            p.fillRect(cell, bg);
            if (qsizetype(k) < parts.columns.size()) {
                int textLeft = k == 0 ? r.left() + 1 : previous + 6;
                if (k == 0 && parts.picture >= 0) {
                    const QPixmap& pm = maskedBitmaps_[size_t(parts.picture)];
                    if (!pm.isNull())
                        p.drawPixmap(r.left() + 6, r.top() + (r.height() - pm.height()) / 2, pm);
                    textLeft = r.left() + 10 + pm.width();
                }
                // Keep clear of the column line at the cell's right edge.
                const QRect textRect(textLeft, r.top() + 1, edge - 3 - textLeft, r.height() - 1);
                p.setClipRect(cell);
                const QString& text = parts.columns[qsizetype(k)];
                // A bold cell that would lose its end to the ellipsis, where
                // the regular weight still shows all of it, keeps the regular
                // weight: a cut date says less than an unbolded one.
                const bool plainFits = row.emphasized && fm.horizontalAdvance(text) > textRect.width() &&
                                       plainFm.horizontalAdvance(text) <= textRect.width();
                if (plainFits)
                    p.setFont(font());
                drawCellText(p, plainFits ? plainFm : fm, textRect, text,
                             alignment_[std::min(k, size_t(MaxSections - 1))]);
                if (plainFits)
                    p.setFont(rowFont);
                p.setClipping(false);
            }
        }
        previous = edge;
    }

    if (index == caret_ && hasFocus()) {
        p.setPen(QPen(fg, 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        const int w = std::min(r.width(), r.left() + (edges_.empty() ? 0 : edges_.back()));
        p.drawRect(QRect(r.left(), r.top(), std::max(1, w), r.height()).adjusted(0, 0, -1, -1));
    }
}

// ---------------------------------------------------------------------------
// Input

void TMultiList::moveCaret(int index, Qt::KeyboardModifiers modifiers, bool byMouse) {
    const bool ctrl = modifiers & Qt::ControlModifier;
    const bool shift = modifiers & Qt::ShiftModifier;
    const int before = selectedCount_;
    bool changed = false;
    const int oldCaret = caret_;
    caret_ = index;
    MultiListAccessible::caretMoved(this);

    if (!multiSelect_) {
        changed = !isSelected(index) || selectedCount_ != 1;
        clearSelection();
        setSel(rows_[size_t(index)], true);
        anchor_ = index;
    } else if (shift) {
        if (anchor_ < kFirstDataRow)
            anchor_ = oldCaret >= kFirstDataRow ? oldCaret : index;
        selectRange(anchor_, index, !ctrl);
        changed = true;
    } else if (ctrl) {
        anchor_ = index;
        if (byMouse) {
            Row& row = rows_[size_t(index)];
            setSel(row, !row.selected);
            changed = true;
        }
    } else {
        changed = !(selectedCount_ == 1 && isSelected(index));
        clearSelection();
        setSel(rows_[size_t(index)], true);
        anchor_ = index;
    }
    changed = changed || before != selectedCount_;
    ensureVisible(index);
    viewport()->update();
    if (changed)
        emit clicked();
}

void TMultiList::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const int index = indexAt(event->position().toPoint());
    mouseSelecting_ = index >= 0;
    dragChangedSelection_ = false;
    pressModifiers_ = event->modifiers();
    if (index >= 0)
        moveCaret(index, event->modifiers(), true);
}

void TMultiList::mouseMoveEvent(QMouseEvent* event) {
    if (!mouseSelecting_ || !(event->buttons() & Qt::LeftButton) || rows_.empty())
        return;
    QPoint pos = event->position().toPoint();
    pos.setY(std::clamp(pos.y(), 0, viewport()->height() - 1));
    int index = indexAt(pos);
    if (index < 0)
        index = shownRow(shownCount() - 1);
    if (index < 0 || index == caret_)
        return;
    // Dragging extends from the anchor like a Shift click; with a single
    // choice list it simply moves the selected row.
    caret_ = index;
    MultiListAccessible::caretMoved(this);
    if (multiSelect_) {
        selectRange(anchor_, index, !(pressModifiers_ & Qt::ControlModifier));
    } else {
        clearSelection();
        setSel(rows_[size_t(index)], true);
        anchor_ = index;
    }
    dragChangedSelection_ = true;
    ensureVisible(index);
    viewport()->update();
}

void TMultiList::mouseReleaseEvent(QMouseEvent* event) {
    const bool notify = mouseSelecting_ && dragChangedSelection_;
    mouseSelecting_ = false;
    dragChangedSelection_ = false;
    event->accept();
    if (notify)
        emit clicked();
}

void TMultiList::keyPressEvent(QKeyEvent* event) {
    // The host's handler runs first and may clear the list or more.
    const QPointer<TMultiList> alive(this);
    emit keyDown(event->key(), event->modifiers());
    if (!alive)
        return;

    // The keys move over the shown rows, by their places among them.
    const int last = shownCount() - 1;
    if (last < 0) {
        event->ignore();
        return;
    }
    const int caret = shownPosition(caret_); // -1 above the first row
    const int page = std::max(1, visibleRowCount() - 1);
    int target = -1;
    switch (event->key()) {
    case Qt::Key_Up:
        target = caret - 1;
        break;
    case Qt::Key_Down:
        target = caret + 1;
        break;
    case Qt::Key_PageUp:
        target = caret - page;
        break;
    case Qt::Key_PageDown:
        target = caret + page;
        break;
    case Qt::Key_Home:
        target = 0;
        break;
    case Qt::Key_End:
        target = last;
        break;
    case Qt::Key_Space:
        if (caret < 0) {
            target = 0;
        } else if (multiSelect_ && (event->modifiers() & Qt::ControlModifier)) {
            Row& row = rows_[size_t(caret_)];
            setSel(row, !row.selected);
            viewport()->update(itemRect(caret_));
            emit clicked();
            return;
        } else {
            moveCaret(caret_, event->modifiers() & Qt::ShiftModifier, false);
            return;
        }
        break;
    default:
        event->ignore();
        return;
    }
    moveCaret(shownRow(std::clamp(target, 0, last)), event->modifiers(), false);
}

void TMultiList::contextMenuEvent(QContextMenuEvent* event) {
    if (!popupMenu_) {
        event->ignore();
        return;
    }
    // From the keyboard (the menu key, Shift+F10) the menu opens at the
    // caret's row, where the user's attention is, not at the list's centre.
    QPoint at = event->globalPos();
    const QRect caretRow = itemRect(caret_);
    if (event->reason() == QContextMenuEvent::Keyboard && caretRow.intersects(viewport()->rect()))
        at = viewport()->mapToGlobal(caretRow.bottomLeft() + QPoint(itemHeight_, 0));
    popupMenu_->popup(at);
    event->accept();
}
