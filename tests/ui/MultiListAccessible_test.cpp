// TMultiList as a screen reader sees it: a table of the data rows by the
// header's columns, its cells and their selection, what stays of cells whose
// rows are gone, and the events the list sends when rows, the selection and
// the caret change.
#include "ui/MultiLst.h"

#include "support/AccessibleEventLog.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QHeaderView>
#include <QTest>

#include <climits>
#include <functional>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QStringList kTitles = {u"No."_s, u"Size"_s, u"From"_s, u"Subject"_s};

class MultiListAccessibleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureApp();
        list = std::make_unique<TMultiList>();
        list->setHeaderSections(kTitles);
        for (int n = 0; n < 3; ++n)
            list->setSectionWidth(n, 40 + 40 * n); // the last section fills the rest
        list->setMultiSelect(true);
        list->setDefaultItemSelected(false);
        list->resize(400, 200);
        for (int row = 1; row <= 3; ++row)
            list->addItem(u" %1 | %2 KB | sender%1@example.org | subject %1 |"_s.arg(row).arg(row * 10));
        iface = QAccessible::queryAccessibleInterface(list.get());
        ASSERT_NE(iface, nullptr);
        table = iface->tableInterface();
        ASSERT_NE(table, nullptr);
    }
    void ShowFocused() {
        list->show();
        list->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(list.get()));
        list->setFocus();
        ASSERT_TRUE(list->hasFocus());
    }
    QString CellText(int row, int column) const {
        QAccessibleInterface* cell = table->cellAt(row, column);
        return cell ? cell->text(QAccessible::Name) : u"<none>"_s;
    }

    std::unique_ptr<TMultiList> list;
    QAccessibleInterface* iface = nullptr;
    QAccessibleTableInterface* table = nullptr;
};

TEST_F(MultiListAccessibleTest, IsATableOfTheDataRowsByTheHeaderColumns) {
    EXPECT_EQ(iface->role(), QAccessible::Table);
    EXPECT_EQ(table->rowCount(), 3);
    EXPECT_EQ(table->columnCount(), 4);
    for (int column = -1; column <= 4; ++column)
        EXPECT_EQ(table->columnDescription(column), kTitles.value(column));

    const struct {
        int row, column;
        QString text;
    } cells[] = {
        // Read without the blanks that align them on screen.
        {0, 0, u"1"_s},         {0, 3, u"subject 1"_s}, {1, 1, u"20 KB"_s}, {2, 2, u"sender3@example.org"_s},
        {2, 3, u"subject 3"_s},
    };
    for (const auto& c : cells) {
        SCOPED_TRACE(testing::Message() << c.row << "," << c.column);
        QAccessibleInterface* cell = table->cellAt(c.row, c.column);
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(cell->role(), QAccessible::Cell);
        EXPECT_EQ(cell->text(QAccessible::Name), c.text);
        EXPECT_EQ(table->cellAt(c.row, c.column), cell); // kept
        QAccessibleTableCellInterface* place = cell->tableCellInterface();
        ASSERT_NE(place, nullptr);
        EXPECT_EQ(std::pair(place->rowIndex(), place->columnIndex()), std::pair(c.row, c.column));
        EXPECT_EQ(place->table(), iface);
        const QList<QAccessibleInterface*> headers = place->columnHeaderCells();
        ASSERT_EQ(headers.size(), 1);
        EXPECT_EQ(headers[0]->text(QAccessible::Name), kTitles[c.column]);
    }
}

// A title left blank on screen still has a name for screen readers; a
// named section keeps its name when the titles change.
TEST_F(MultiListAccessibleTest, ABlankTitleIsNamedForScreenReaders) {
    list->setHeaderSections({QString(), u"Size"_s});
    EXPECT_EQ(iface->child(0)->text(QAccessible::Name), QString());
    list->setSectionAccessibleName(0, u"No."_s);
    list->setSectionAccessibleName(TMultiList::MaxSections, u"ignored"_s);
    EXPECT_EQ(iface->child(0)->text(QAccessible::Name), u"No."_s);
    EXPECT_EQ(table->columnDescription(0), u"No."_s);
    EXPECT_EQ(iface->child(1)->text(QAccessible::Name), u"Size"_s);
    EXPECT_EQ(list->headerSections().value(0), QString()) << "blank on screen";
    list->clearHeaderSections();
    list->addHeaderSection(QString());
    EXPECT_EQ(list->sectionAccessibleName(0), u"No."_s);
}

TEST_F(MultiListAccessibleTest, ColumnsTheRowDoesNotCloseAreEmptyAndPlacesOutsideAreNone) {
    list->addItem(u"~only one|and an open one"_s);
    EXPECT_EQ(CellText(3, 0), u"only one"_s);
    EXPECT_EQ(CellText(3, 1), QString());
    EXPECT_EQ(CellText(3, 3), QString());
    const struct { int row, column; } outside[] = {{-1, 0}, {0, -1}, {4, 0}, {0, 4}, {INT_MAX, 0}, {-2, -2}};
    for (const auto& o : outside) {
        SCOPED_TRACE(testing::Message() << o.row << "," << o.column);
        EXPECT_EQ(table->cellAt(o.row, o.column), nullptr);
    }
    for (const int row : {-1, 4, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(row);
        EXPECT_FALSE(table->isRowSelected(row));
        EXPECT_FALSE(table->selectRow(row));
        EXPECT_FALSE(table->unselectRow(row));
    }
    EXPECT_EQ(list->selectedCount(), 0);
}

TEST_F(MultiListAccessibleTest, ChildrenAreTheHeaderCellsThenTheCellsRowByRow) {
    ASSERT_EQ(iface->childCount(), 4 * (1 + 3));
    for (int i = 0; i < iface->childCount(); ++i) {
        SCOPED_TRACE(i);
        QAccessibleInterface* child = iface->child(i);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(iface->indexOfChild(child), i);
        EXPECT_EQ(child->role(), i < 4 ? QAccessible::ColumnHeader : QAccessible::Cell);
    }
    EXPECT_EQ(iface->child(4 + 4 * 2 + 1), table->cellAt(2, 1));
    EXPECT_EQ(iface->child(-1), nullptr);
    EXPECT_EQ(iface->child(16), nullptr);
    EXPECT_EQ(iface->indexOfChild(iface), -1);

    // Columns follow the header.
    list->addHeaderSection(u"Extra"_s);
    EXPECT_EQ(iface->childCount(), 5 * (1 + 3));
    EXPECT_EQ(table->columnDescription(4), u"Extra"_s);
    list->clearHeaderSections();
    EXPECT_EQ(iface->childCount(), 0);
    EXPECT_EQ(table->cellAt(0, 0), nullptr);
}

TEST_F(MultiListAccessibleTest, SelectionReadsAndWritesThroughTheList) {
    list->setSelected(2, true);
    EXPECT_TRUE(table->isRowSelected(1));
    EXPECT_FALSE(table->isRowSelected(0));
    EXPECT_EQ(table->selectedRows(), QList<int>{1});
    EXPECT_EQ(table->selectedRowCount(), 1);
    EXPECT_EQ(table->selectedCellCount(), 4);
    const QList<QAccessibleInterface*> cells = table->selectedCells();
    ASSERT_EQ(cells.size(), 4);
    EXPECT_EQ(cells[3]->text(QAccessible::Name), u"subject 2"_s);
    EXPECT_TRUE(cells[0]->tableCellInterface()->isSelected());
    EXPECT_TRUE(cells[0]->state().selected);
    EXPECT_FALSE(table->cellAt(0, 0)->state().selected);

    EXPECT_TRUE(table->selectRow(2));
    EXPECT_TRUE(list->isSelected(3));
    EXPECT_EQ(table->selectedRows(), (QList<int>{1, 2}));
    EXPECT_TRUE(table->unselectRow(1));
    EXPECT_FALSE(list->isSelected(2));
    EXPECT_EQ(table->selectedRows(), QList<int>{2});
    EXPECT_TRUE(iface->state().multiSelectable);

    // A single-choice list keeps one row selected.
    list->setMultiSelect(false);
    EXPECT_FALSE(iface->state().multiSelectable);
    EXPECT_TRUE(table->selectRow(0));
    EXPECT_EQ(table->selectedRows(), QList<int>{0});
}

TEST_F(MultiListAccessibleTest, CellsOfDeletedRowsAnswerWithNothing) {
    QAccessibleInterface* last = table->cellAt(2, 1);
    QAccessibleInterface* first = table->cellAt(0, 1);
    ASSERT_NE(last, nullptr);
    list->setSelected(3, true);

    list->deleteItem(3);
    EXPECT_EQ(table->rowCount(), 2);
    EXPECT_EQ(iface->childCount(), 4 * 3);
    EXPECT_EQ(table->cellAt(2, 1), nullptr);
    EXPECT_EQ(table->selectedRowCount(), 0);
    EXPECT_FALSE(last->isValid());
    EXPECT_EQ(last->text(QAccessible::Name), QString());
    EXPECT_TRUE(last->rect().isNull());
    EXPECT_FALSE(last->tableCellInterface()->isSelected());
    EXPECT_EQ(iface->indexOfChild(last), -1);
    EXPECT_EQ(first->text(QAccessible::Name), u"10 KB"_s);

    list->clear();
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_EQ(iface->childCount(), 4); // the header cells
    EXPECT_EQ(table->cellAt(0, 0), nullptr);
    EXPECT_EQ(first->text(QAccessible::Name), QString());
    EXPECT_TRUE(table->selectedCells().isEmpty());

    // A new row at an old place reads as the new row.
    list->addItem(u"a|b|c|d|"_s);
    EXPECT_EQ(first->text(QAccessible::Name), u"b"_s);
}

TEST_F(MultiListAccessibleTest, CellsLieUnderTheirHeaderSections) {
    list->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list.get()));
    const struct {
        int row, column; // row -1: the header
    } places[] = {{-1, 0}, {-1, 3}, {0, 0}, {1, 2}, {2, 3}};
    for (const auto& [row, column] : places) {
        SCOPED_TRACE(testing::Message() << row << "," << column);
        QAccessibleInterface* cell = row < 0 ? iface->child(column) : table->cellAt(row, column);
        ASSERT_NE(cell, nullptr);
        const QRect r = cell->rect();
        ASSERT_FALSE(r.isEmpty());
        const QPoint onHeader = list->header()->viewport()->mapFromGlobal(r.center());
        EXPECT_EQ(list->header()->logicalIndexAt(onHeader.x()), column);
        EXPECT_EQ(iface->childAt(r.center().x(), r.center().y()), cell);
        EXPECT_FALSE(cell->state().offscreen);
    }
    const QPoint outside = list->mapToGlobal(QPoint(-10, -10));
    EXPECT_EQ(iface->childAt(outside.x(), outside.y()), nullptr);
}

TEST_F(MultiListAccessibleTest, CellsGoWithTheList) {
    const QAccessible::Id cell = QAccessible::uniqueId(table->cellAt(1, 1));
    const QAccessible::Id header = QAccessible::uniqueId(iface->child(1));
    ASSERT_NE(QAccessible::accessibleInterface(cell), nullptr);
    list.reset();
    EXPECT_EQ(QAccessible::accessibleInterface(cell), nullptr);
    EXPECT_EQ(QAccessible::accessibleInterface(header), nullptr);
}

// ---- events -----------------------------------------------------------------

class MultiListEventsTest : public MultiListAccessibleTest {
  protected:
    void SetUp() override {
        MultiListAccessibleTest::SetUp();
        QCoreApplication::processEvents(); // what setting up queued
        log = std::make_unique<sweepbox::test::AccessibleEventLog>();
    }
    void TearDown() override { log.reset(); }

    std::unique_ptr<sweepbox::test::AccessibleEventLog> log;
};

TEST_F(MultiListEventsTest, RowsAddedInOneTurnAreOneInsertion) {
    for (int i = 0; i < 500; ++i)
        list->addItem(u"x|y|"_s);
    EXPECT_TRUE(log->entries.empty());
    QCoreApplication::processEvents();
    const auto inserted = log->ofType(QAccessible::TableModelChanged);
    ASSERT_EQ(inserted.size(), 1u);
    EXPECT_EQ(inserted[0].change, QAccessibleTableModelChangeEvent::RowsInserted);
    EXPECT_EQ(inserted[0].first, 3);
    EXPECT_EQ(inserted[0].last, 502);

    // Rows added while nobody listened are not announced later, and the
    // next ones are.
    list->addItem(u"x|y|"_s);
    log.reset();
    QCoreApplication::processEvents();
    log = std::make_unique<sweepbox::test::AccessibleEventLog>();
    list->addItem(u"x|y|"_s);
    QCoreApplication::processEvents();
    const auto later = log->ofType(QAccessible::TableModelChanged);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(std::pair(later[0].first, later[0].last), std::pair(504, 504));
}

TEST_F(MultiListEventsTest, ADeletionFollowsTheRowsAddedBeforeIt) {
    list->addItem(u"x|"_s);
    list->addItem(u"y|"_s);
    list->deleteItem(2); // table row 1
    const auto changes = log->ofType(QAccessible::TableModelChanged);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].change, QAccessibleTableModelChangeEvent::RowsInserted);
    EXPECT_EQ(changes[0].first, 3);
    EXPECT_EQ(changes[0].last, 4);
    EXPECT_EQ(changes[1].change, QAccessibleTableModelChangeEvent::RowsRemoved);
    EXPECT_EQ(changes[1].first, 1);
    EXPECT_EQ(changes[1].last, 1);
}

TEST_F(MultiListEventsTest, RemovedAndMovedCellsAreDeletedTheOthersKept) {
    const QAccessible::Id above = QAccessible::uniqueId(table->cellAt(0, 2));
    const QAccessible::Id removed = QAccessible::uniqueId(table->cellAt(1, 2));
    const QAccessible::Id below = QAccessible::uniqueId(table->cellAt(2, 2));
    const QAccessible::Id header = QAccessible::uniqueId(iface->child(2));
    list->deleteItem(2);
    EXPECT_EQ(QAccessible::accessibleInterface(above), table->cellAt(0, 2));
    EXPECT_EQ(QAccessible::accessibleInterface(removed), nullptr);
    EXPECT_EQ(QAccessible::accessibleInterface(below), nullptr);
    EXPECT_NE(QAccessible::accessibleInterface(header), nullptr);
    EXPECT_EQ(table->cellAt(1, 2)->text(QAccessible::Name), u"sender3@example.org"_s);

    list->clear();
    const auto changes = log->ofType(QAccessible::TableModelChanged);
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back().change, QAccessibleTableModelChangeEvent::ModelReset);
    EXPECT_EQ(QAccessible::accessibleInterface(above), nullptr);
    EXPECT_EQ(QAccessible::accessibleInterface(header), nullptr);
}

// With a filter the table is the shown rows: reading, selecting and the
// events all count them alone.
TEST_F(MultiListEventsTest, AFilteredListIsATableOfTheShownRows) {
    const QAccessible::Id first = QAccessible::uniqueId(table->cellAt(0, 2));
    list->setRowFilter([](int) { return false; });
    const auto reset = log->ofType(QAccessible::TableModelChanged);
    ASSERT_EQ(reset.size(), 1u);
    EXPECT_EQ(reset[0].change, QAccessibleTableModelChangeEvent::ModelReset);
    EXPECT_EQ(QAccessible::accessibleInterface(first), nullptr) << "cells read before go";
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_EQ(table->cellAt(0, 2), nullptr);

    // Rows added while a filter is set are asked as they come.
    bool show = false;
    list->setRowFilter([&show](int) { return show; });
    log->entries.clear();
    list->addItem(u" 4 | 1 KB | sender4@example.org | subject 4 |"_s); // hidden
    show = true;
    list->addItem(u" 5 | 1 KB | sender5@example.org | subject 5 |"_s); // shown
    QCoreApplication::processEvents();
    const auto added = log->ofType(QAccessible::TableModelChanged);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(std::pair(added[0].first, added[0].last), std::pair(0, 0));
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(table->cellAt(0, 2)->text(QAccessible::Name), u"sender5@example.org"_s);
    table->selectRow(0);
    EXPECT_TRUE(list->isSelected(5));
    EXPECT_EQ(table->selectedRows(), QList<int>{0});
    EXPECT_TRUE(table->isRowSelected(0));
    EXPECT_FALSE(table->selectRow(1));
    list->deleteItem(4);
    EXPECT_EQ(log->ofType(QAccessible::TableModelChanged).size(), 1u) << "a hidden row goes unannounced";
    EXPECT_EQ(table->cellAt(0, 2)->text(QAccessible::Name), u"sender5@example.org"_s);
}

TEST_F(MultiListEventsTest, SelectionChangesInOneTurnAreOneEvent) {
    for (int index = 1; index <= 3; ++index)
        list->setSelected(index, true);
    list->setSelected(2, false);
    list->setSelected(2, false); // no change
    QCoreApplication::processEvents();
    EXPECT_EQ(log->ofType(QAccessible::SelectionWithin).size(), 1u);
    log->entries.clear();
    list->setSelected(1, true); // already selected
    QCoreApplication::processEvents();
    EXPECT_TRUE(log->entries.empty());
}

TEST_F(MultiListEventsTest, TheFocusedCaretRowIsAnnounced) {
    list->setItemIndex(1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(log->ofType(QAccessible::Focus).empty()) << "the list has no focus";

    ShowFocused();
    QCoreApplication::processEvents();
    log->entries.clear();
    const struct {
        const char* name;
        std::function<void()> act;
        QString announced;
    } steps[] = {
        {"caret set", [&] { list->setItemIndex(3); }, u"3"_s},
        {"key up", [&] { QTest::keyClick(list.get(), Qt::Key_Up); }, u"2"_s},
        {"click", [&] { QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->itemRect(1).center()); },
         u"1"_s},
        {"caret row deleted", [&] { list->deleteItem(1); }, u"2"_s},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        QCoreApplication::processEvents();
        const auto focus = log->ofType(QAccessible::Focus);
        ASSERT_EQ(focus.size(), 1u);
        EXPECT_EQ(focus[0].object, list.get());
        EXPECT_EQ(focus[0].name, step.announced);
        QAccessibleInterface* caret = iface->focusChild();
        EXPECT_EQ(iface->child(focus[0].child), caret);
        EXPECT_TRUE(caret->state().focused);
        log->entries.clear();
    }
}

} // namespace
