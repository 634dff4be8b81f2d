// What screen readers see of a TMultiList: a table whose rows are the shown
// data rows (table row r is the list's shownRow(r); the marker row and the
// rows its filter hides never show) and whose columns are the header's
// sections. Its children are one ColumnHeader cell
// per column followed by the cells, row by row; a cell's name is the text the
// list shows in it.
//
// Cells are made when first asked for and registered with Qt's interface
// cache; the table keeps their ids. A cell is only a (row, column) place: it
// reads the list at every call and answers with nothing once the place is
// gone, so rows may be deleted at any time. When a model change is reported,
// the cells whose contents moved (every row from the first one removed) are
// deleted, so that a screen reader asks again rather than keep what it read;
// the table deletes the rest when it goes, which it does with the list.
//
// The list reports its changes through the functions below. While no screen
// reader listens each one returns after asking QAccessible::isActive(); rows
// added, the selection and the caret are reported once per turn of the event
// loop, so a mailbox listed row by row sends one event, not thousands.
#pragma once

class QAccessibleInterface;
class TMultiList;

namespace MultiListAccessible {

// The table interface of a list, for the controls' factory.
QAccessibleInterface* create(TMultiList* list);

// Table row `row` was appended.
void rowAdded(TMultiList* list, int row);
// Table row `row` was deleted.
void rowDeleted(TMultiList* list, int row);
// The rows were cleared or filtered anew, or the columns changed.
void reset(TMultiList* list);
// Rows were selected or deselected.
void selectionChanged(TMultiList* list);
// The caret moved, or the list took the focus: the caret row has it now.
void caretMoved(TMultiList* list);

} // namespace MultiListAccessible
