#include "ui/MultiListAccessible.h"

#include "ui/ControlsAccessible.h"
#include "ui/MultiLst.h"

#include <QAccessibleWidget>
#include <QHeaderView>
#include <QMetaObject>

#include <algorithm>
#include <climits>
#include <unordered_map>

namespace {

// The header cells' row.
constexpr int kHeaderRow = -1;

class ListTable;

// A cell, or with row kHeaderRow a column's header cell. Only its table
// creates and deletes it; the table outlives it.
class ListCell : public QAccessibleInterface, public QAccessibleTableCellInterface {
  public:
    ListCell(const ListTable* table, int row, int column) : table_(table), row_(row), column_(column) {}

    bool isValid() const override;
    QObject* object() const override { return nullptr; }
    QWindow* window() const override;
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override;
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text t) const override;
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override;
    QAccessible::Role role() const override {
        return row_ == kHeaderRow ? QAccessible::ColumnHeader : QAccessible::Cell;
    }
    QAccessible::State state() const override;
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TableCellInterface && row_ != kHeaderRow)
            return static_cast<QAccessibleTableCellInterface*>(this);
        return nullptr;
    }

    // QAccessibleTableCellInterface
    bool isSelected() const override;
    QList<QAccessibleInterface*> columnHeaderCells() const override;
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return column_; }
    int rowIndex() const override { return row_; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

    const ListTable* owner() const { return table_; }
    int row() const { return row_; }
    int column() const { return column_; }

  private:
    // The list while the cell's place exists, else nullptr.
    TMultiList* list() const;

    const ListTable* table_;
    const int row_;
    const int column_;
};

class ListTable : public QAccessibleWidget, public QAccessibleTableInterface {
  public:
    explicit ListTable(TMultiList* list) : QAccessibleWidget(list, QAccessible::Table) {}
    ~ListTable() override { dropCells(kHeaderRow); }

    // The list, or nullptr while it is being destroyed.
    TMultiList* list() const { return isValid() ? static_cast<TMultiList*>(widget()) : nullptr; }
    bool hasCell(int row, int column) const {
        return column >= 0 && column < columnCount() && row >= kHeaderRow && row < rowCount();
    }
    int childIndexOf(int row, int column) const { return (row + 1) * columnCount() + column; }

    // QAccessibleInterface
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QAccessible::State state() const override {
        QAccessible::State st = QAccessibleWidget::state();
        if (const TMultiList* l = list()) {
            st.multiSelectable = l->multiSelect();
            st.extSelectable = l->multiSelect();
        }
        return st;
    }
    int childCount() const override { return int(std::min<qint64>(qint64(columnCount()) * (rowCount() + 1), INT_MAX)); }
    QAccessibleInterface* child(int index) const override {
        const int columns = columnCount();
        if (index < 0 || columns == 0)
            return nullptr;
        return cell(index / columns - 1, index % columns);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const auto* c = dynamic_cast<const ListCell*>(child);
        if (!c || c->owner() != this || !hasCell(c->row(), c->column()))
            return -1;
        return childIndexOf(c->row(), c->column());
    }
    QAccessibleInterface* childAt(int x, int y) const override;
    QAccessibleInterface* focusChild() const override {
        const TMultiList* l = list();
        if (l && l->hasFocus() && columnCount() > 0)
            if (QAccessibleInterface* caret = cellAt(l->shownPosition(l->itemIndex()), 0))
                return caret;
        return QAccessibleWidget::focusChild();
    }

    // QAccessibleTableInterface
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override {
        return row == kHeaderRow ? nullptr : cell(row, column);
    }
    int selectedCellCount() const override { return selectedRowCount() * columnCount(); }
    QList<QAccessibleInterface*> selectedCells() const override {
        QList<QAccessibleInterface*> cells;
        const int columns = columnCount();
        for (const int row : selectedRows())
            for (int column = 0; column < columns; ++column)
                cells.append(cell(row, column));
        return cells;
    }
    QString columnDescription(int column) const override {
        const TMultiList* l = list();
        return l && column < columnCount() ? l->sectionAccessibleName(column) : QString();
    }
    QString rowDescription(int row) const override {
        const TMultiList* l = list();
        return l && l->isEmphasized(l->shownRow(row)) ? l->emphasisDescription() : QString();
    }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override {
        const TMultiList* l = list();
        return l ? l->selectedCount() : 0;
    }
    int columnCount() const override {
        const TMultiList* l = list();
        return l ? l->header()->count() : 0;
    }
    int rowCount() const override {
        const TMultiList* l = list();
        return l ? l->shownCount() : 0;
    }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override {
        QList<int> rows;
        const TMultiList* l = list();
        if (!l || l->selectedCount() == 0)
            return rows;
        for (int row = 0; row < l->shownCount(); ++row)
            if (l->isSelected(l->shownRow(row)))
                rows.append(row);
        return rows;
    }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override {
        const TMultiList* l = list();
        return l && l->isSelected(l->shownRow(row));
    }
    bool selectRow(int row) override { return setRowSelected(row, true); }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override { return setRowSelected(row, false); }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent* event) override {
        switch (event->modelChangeType()) {
        case QAccessibleTableModelChangeEvent::DataChanged:
        case QAccessibleTableModelChangeEvent::RowsInserted: // rows are only appended
            break;
        case QAccessibleTableModelChangeEvent::RowsRemoved:
            dropCells(std::max(0, event->firstRow()));
            break;
        default:
            dropCells(kHeaderRow);
            break;
        }
    }

    // What the list reports, sent on as events.
    void rowAdded(int row) {
        if (addedFrom_ < 0)
            addedFrom_ = row;
        addedTo_ = row;
        queueFlush();
    }
    void rowDeleted(int row) {
        // Rows added before are announced first, as they were then.
        sendAddedRows();
        QAccessibleTableModelChangeEvent removed(widget(), QAccessibleTableModelChangeEvent::RowsRemoved);
        removed.setFirstRow(row);
        removed.setLastRow(row);
        accessible::send(removed);
        caretMoved();
    }
    void reset() {
        addedFrom_ = -1;
        QAccessibleTableModelChangeEvent reset(widget(), QAccessibleTableModelChangeEvent::ModelReset);
        accessible::send(reset);
        caretMoved();
    }
    void selectionChanged() {
        selectionChanged_ = true;
        queueFlush();
    }
    // Also where the index stays: the list may just have taken the focus,
    // or another row may be under the caret now.
    void caretMoved() {
        caretMoved_ = true;
        queueFlush();
    }
    void flush();

  private:
    // The cached cell at a place, made when first asked for.
    QAccessibleInterface* cell(int row, int column) const;
    // Deletes the cells from row `from` on (kHeaderRow: all of them).
    void dropCells(int from);
    bool setRowSelected(int row, bool selected) {
        TMultiList* l = list();
        if (!l || row < 0 || row >= rowCount())
            return false;
        l->setSelected(l->shownRow(row), selected);
        return true;
    }
    void queueFlush();
    void sendAddedRows();

    static quint64 keyOf(int row, int column) { return quint64(quint32(row - kHeaderRow)) << 32 | quint32(column); }
    static int rowOf(quint64 key) { return int(key >> 32) + kHeaderRow; }

    mutable std::unordered_map<quint64, QAccessible::Id> cells_;
    int addedFrom_ = -1; // table rows added since the last flush
    int addedTo_ = -1;
    bool selectionChanged_ = false;
    bool caretMoved_ = false;
    bool flushQueued_ = false;
};

ListTable* tableOf(TMultiList* list) {
    return dynamic_cast<ListTable*>(QAccessible::queryAccessibleInterface(list));
}

// ---- ListTable ------------------------------------------------------------

QAccessibleInterface* ListTable::cell(int row, int column) const {
    if (!hasCell(row, column))
        return nullptr;
    const quint64 key = keyOf(row, column);
    if (const auto it = cells_.find(key); it != cells_.end()) {
        // Only this table deletes its cells; the check guards the id anyway.
        QAccessibleInterface* iface = QAccessible::accessibleInterface(it->second);
        if (const auto* c = dynamic_cast<const ListCell*>(iface); c && c->owner() == this)
            return iface;
        cells_.erase(it);
    }
    auto* made = new ListCell(this, row, column);
    cells_.emplace(key, QAccessible::registerAccessibleInterface(made));
    return made;
}

void ListTable::dropCells(int from) {
    for (auto it = cells_.begin(); it != cells_.end();) {
        if (rowOf(it->first) >= from) {
            QAccessible::deleteAccessibleInterface(it->second);
            it = cells_.erase(it);
        } else {
            ++it;
        }
    }
}

QAccessibleInterface* ListTable::childAt(int x, int y) const {
    const TMultiList* l = list();
    if (!l)
        return nullptr;
    const QHeaderView* header = l->header();
    const QPoint onHeader = header->viewport()->mapFromGlobal(QPoint(x, y));
    if (header->isVisible() && header->viewport()->rect().contains(onHeader))
        return cell(kHeaderRow, header->logicalIndexAt(onHeader.x()));
    // The rows are drawn under the header's sections, scrolled alike.
    const QPoint onRows = l->viewport()->mapFromGlobal(QPoint(x, y));
    if (!l->viewport()->rect().contains(onRows))
        return nullptr;
    return cellAt(l->shownPosition(l->indexAt(onRows)), header->logicalIndexAt(onRows.x()));
}

void ListTable::queueFlush() {
    if (flushQueued_)
        return;
    flushQueued_ = true;
    TMultiList* l = list();
    if (!l)
        return;
    // Flushed even if the screen reader has gone meanwhile, so that the next
    // report queues again.
    QMetaObject::invokeMethod(
        l,
        [l] {
            if (ListTable* table = tableOf(l))
                table->flush();
        },
        Qt::QueuedConnection);
}

void ListTable::sendAddedRows() {
    if (addedFrom_ < 0)
        return;
    QAccessibleTableModelChangeEvent added(widget(), QAccessibleTableModelChangeEvent::RowsInserted);
    added.setFirstRow(addedFrom_);
    added.setLastRow(addedTo_);
    addedFrom_ = addedTo_ = -1;
    accessible::send(added);
}

void ListTable::flush() {
    flushQueued_ = false;
    TMultiList* l = list();
    if (!l || !accessible::listening()) {
        addedFrom_ = addedTo_ = -1;
        selectionChanged_ = caretMoved_ = false;
        return;
    }
    sendAddedRows();
    if (std::exchange(selectionChanged_, false)) {
        QAccessibleEvent event(l, QAccessible::SelectionWithin);
        accessible::send(event);
    }
    const int caret = l->shownPosition(l->itemIndex());
    if (std::exchange(caretMoved_, false) && l->hasFocus() && caret >= 0 && hasCell(caret, 0)) {
        QAccessibleEvent event(l, QAccessible::Focus);
        event.setChild(childIndexOf(caret, 0));
        accessible::send(event);
    }
}

// ---- ListCell -------------------------------------------------------------

TMultiList* ListCell::list() const {
    return table_->hasCell(row_, column_) ? table_->list() : nullptr;
}

bool ListCell::isValid() const {
    return list() != nullptr;
}

QWindow* ListCell::window() const {
    const TMultiList* l = table_->list();
    return l ? l->window()->windowHandle() : nullptr;
}

QAccessibleInterface* ListCell::parent() const {
    return const_cast<ListTable*>(table_);
}

QString ListCell::text(QAccessible::Text t) const {
    const TMultiList* l = list();
    if (l && t == QAccessible::Description)
        return row_ != kHeaderRow && l->isEmphasized(l->shownRow(row_)) ? l->emphasisDescription() : QString();
    if (!l || t != QAccessible::Name)
        return {};
    if (row_ == kHeaderRow)
        return l->sectionAccessibleName(column_);
    // The blanks that align a cell on screen are not read out.
    return TMultiList::splitRow(l->item(l->shownRow(row_)), l->columnSeperator()).columns.value(column_).trimmed();
}

QRect ListCell::rect() const {
    const TMultiList* l = list();
    if (!l)
        return {};
    const QHeaderView* header = l->header();
    const int x = header->sectionViewportPosition(column_);
    const int width = header->sectionSize(column_);
    if (row_ == kHeaderRow)
        return {header->viewport()->mapToGlobal(QPoint(x, 0)), QSize(width, header->viewport()->height())};
    const QRect row = l->itemRect(l->shownRow(row_));
    return {l->viewport()->mapToGlobal(QPoint(x, row.top())), QSize(width, row.height())};
}

QAccessible::State ListCell::state() const {
    QAccessible::State st;
    const TMultiList* l = list();
    if (!l) {
        st.invalid = true;
        return st;
    }
    if (!l->isVisible())
        st.invisible = true;
    if (row_ == kHeaderRow)
        return st;
    const int index = l->shownRow(row_);
    const QHeaderView* header = l->header();
    const QRect onRows(header->sectionViewportPosition(column_), l->itemRect(index).top(),
                       header->sectionSize(column_), l->itemHeight());
    if (!l->viewport()->rect().intersects(onRows))
        st.offscreen = true;
    st.selectable = true;
    st.selected = l->isSelected(index);
    st.focusable = true;
    st.focused = l->hasFocus() && l->itemIndex() == index;
    return st;
}

bool ListCell::isSelected() const {
    const TMultiList* l = list();
    return l && row_ != kHeaderRow && l->isSelected(l->shownRow(row_));
}

QList<QAccessibleInterface*> ListCell::columnHeaderCells() const {
    if (!list() || row_ == kHeaderRow)
        return {};
    return {table_->child(column_)};
}

// Hands the list's table to `report` while a screen reader listens.
template <typename Report> void withTable(TMultiList* list, Report report) {
    if (!accessible::listening())
        return;
    if (ListTable* table = tableOf(list))
        report(*table);
}

} // namespace

QAccessibleInterface* MultiListAccessible::create(TMultiList* list) {
    return new ListTable(list);
}

void MultiListAccessible::rowAdded(TMultiList* list, int row) {
    withTable(list, [row](ListTable& table) { table.rowAdded(row); });
}

void MultiListAccessible::rowDeleted(TMultiList* list, int row) {
    withTable(list, [row](ListTable& table) { table.rowDeleted(row); });
}

void MultiListAccessible::reset(TMultiList* list) {
    withTable(list, [](ListTable& table) { table.reset(); });
}

void MultiListAccessible::selectionChanged(TMultiList* list) {
    withTable(list, [](ListTable& table) { table.selectionChanged(); });
}

void MultiListAccessible::caretMoved(TMultiList* list) {
    withTable(list, [](ListTable& table) { table.caretMoved(); });
}
