// TMultiList: row format, marker row, selection by mouse and keyboard, the
// header widths and the column lines.
#include "ui/MultiLst.h"

#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <QHeaderView>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QColor kHighlight(0, 0, 255);
const int kWidths[] = {25, 75, 80, 95, 75};

// A list with the settings the main window gives its message list.
class MultiListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        list.setColumnSeperator(u'|');
        list.setHeaderSections({u""_s, u"Größe"_s, u"Datum"_s, u"Absender"_s, u"Betreff"_s});
        for (int n = 0; n < 5; ++n)
            list.setSectionWidth(n, kWidths[n]);
        list.setItemHeight(14);
        list.setMultiSelect(true);
        list.setShowColumnLines(true);
        list.setColumnLineColor(Qt::black);
        list.setHighlightColor(kHighlight);
        resize(449);
        list.show();
        QCoreApplication::processEvents();
    }

    void addRows(int n)
    {
        for (int i = 1; i <= n; ++i)
            list.addItem(u" %1 | 1 KByte | 01.02.2000 | someone@example.org | subject %1 |"_s.arg(i));
    }
    void resize(int width)
    {
        list.resize(width, 257);
        QCoreApplication::processEvents();
    }
    QImage shot() { return list.viewport()->grab().toImage(); }
    QColor base() const { return list.palette().color(QPalette::Base); }
    // The colour at the right edge of section n, below the rows.
    QColor lineAt(const QImage& image, int n) const
    {
        return image.pixelColor(list.sectionRight(n) - 1, list.viewport()->height() - 5);
    }
    void clickRow(int index, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::mouseClick(list.viewport(), Qt::LeftButton, modifiers, list.itemRect(index).center());
    }
    void key(Qt::Key k, Qt::KeyboardModifiers modifiers = {}) { QTest::keyClick(&list, k, modifiers); }
    int sumOfSections() const { return list.header()->length(); }

    QApplication& app = sweepbox::test::EnsureApp();
    TMultiList list;
};

TEST(MultiListRowFormat, SplitsAtTheSeparatorAndReadsThePictureSlot)
{
    const struct {
        const char* name;
        QString text;
        int picture;
        QStringList columns;
    } rows[] = {
        {"last column not closed", u" 12 | - | subject"_s, -1, {u" 12 "_s, u" - "_s}},
        {"no separator shows nothing", u" 12 nothing"_s, -1, {}},
        {"digit picks a picture", u"5abc|def|"_s, 5, {u"abc"_s, u"def"_s}},
        {"tilde is hidden without picture", u"~abc|"_s, -1, {u"abc"_s}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TMultiList::RowParts parts = TMultiList::splitRow(row.text, u'|');
        EXPECT_EQ(parts.picture, row.picture);
        EXPECT_EQ(parts.columns, row.columns);
    }
}

TEST_F(MultiListTest, MarkerRowIsNeverShownNorSelectedAndDeletingKeepsIt)
{
    addRows(4);
    ASSERT_EQ(list.count(), 5);
    EXPECT_EQ(list.item(0), TMultiList::markerText());
    EXPECT_EQ(list.itemIndex(), 1);
    EXPECT_TRUE(list.itemRect(0).isEmpty());
    list.setSelected(0, true);
    EXPECT_FALSE(list.isSelected(0));
    // Caret on the marker (as after a listing) and Shift+Down: only row 1.
    list.setItemIndex(0);
    key(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_FALSE(list.isSelected(0));
    EXPECT_EQ(list.selectedCount(), 1);

    list.setSelected(3, true);
    list.deleteItem(1);
    EXPECT_TRUE(list.item(1).startsWith(u" 2 |"_s));
    EXPECT_EQ(list.selectedCount(), 1);
    EXPECT_TRUE(list.isSelected(2));
    for (const int ignored : {0, 99, -1}) // the marker stays while data rows exist
        list.deleteItem(ignored);
    EXPECT_EQ(list.count(), 4);
    for (int i = list.count() - 1; i >= 0; --i)
        list.deleteItem(i);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.selectedCount(), 0);
}

TEST_F(MultiListTest, CtrlClicksAddRowsAndShiftClicksSelectRanges)
{
    addRows(6);
    clickRow(1);
    clickRow(3, Qt::ControlModifier);
    EXPECT_EQ(list.selectedCount(), 2);
    EXPECT_FALSE(list.isSelected(2));
    const QImage image = shot();
    const auto background = [&](int index) {
        return image.pixelColor(list.viewport()->width() - 12, list.itemRect(index).center().y());
    };
    EXPECT_EQ(background(1), kHighlight);
    EXPECT_EQ(background(2), base());

    clickRow(3, Qt::ControlModifier); // toggles off
    clickRow(5, Qt::ShiftModifier);   // anchor 3 .. 5, others cleared
    EXPECT_FALSE(list.isSelected(1));
    EXPECT_EQ(list.selectedCount(), 3);
    clickRow(6); // a plain click selects only that row
    EXPECT_EQ(list.selectedCount(), 1);
}

TEST_F(MultiListTest, KeyboardMovesCaretAndSelectionAndEveryKeyReachesTheHost)
{
    addRows(100);
    key(Qt::Key_Down);
    key(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(list.selectedCount(), 2);
    key(Qt::Key_Down, Qt::ControlModifier); // caret only
    EXPECT_EQ(list.itemIndex(), 4);
    EXPECT_EQ(list.selectedCount(), 2);
    key(Qt::Key_End);
    EXPECT_TRUE(list.viewport()->rect().contains(list.itemRect(100)));
    key(Qt::Key_Home);
    key(Qt::Key_Up);
    EXPECT_EQ(list.itemIndex(), 1); // never onto the marker

    // The host's key handler runs first and may even empty the list.
    QSignalSpy keys(&list, &TMultiList::keyDown);
    QObject::connect(&list, &TMultiList::keyDown, &list, [this](int k) {
        if (k == Qt::Key_Delete)
            list.clear();
    });
    key(Qt::Key_Delete);
    EXPECT_EQ(keys.last().at(0).toInt(), int(Qt::Key_Delete));
    key(Qt::Key_Down);
    EXPECT_EQ(list.count(), 0);
    shot();
}

TEST_F(MultiListTest, HeaderKeepsFifteenTitlesAndTheLastFillsTheWidth)
{
    EXPECT_EQ(sumOfSections(), list.viewport()->width());
    resize(700);
    EXPECT_EQ(list.header()->sectionSize(4), list.viewport()->width() - 25 - 75 - 80 - 95);
    QStringList many;
    for (int i = 0; i < 20; ++i)
        many << u"T%1"_s.arg(i);
    list.setHeaderSections(many);
    list.addHeaderSection(u"one more"_s);
    EXPECT_EQ(list.header()->count(), 15);
    EXPECT_EQ(list.headerSections().last(), u"T14"_s);

    // Titles added one at a time, as a language switch does: each section
    // that stops being the last gets its own width back.
    list.clearHeaderSections();
    for (const QString& title : {u""_s, u"Size"_s, u"Date"_s, u"From"_s, u"Subject"_s})
        list.addHeaderSection(title);
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(list.header()->sectionSize(n), kWidths[n]) << n;

    list.setScrollWidth(800);
    list.setHorizontalScroll(true);
    QCoreApplication::processEvents();
    EXPECT_EQ(list.horizontalScrollBar()->maximum(), 800 - list.viewport()->width());
    EXPECT_EQ(sumOfSections(), 800);
}

TEST_F(MultiListTest, DraggingADividerCopiesTheWidthsBackWhenReleasedAndZeroWidthDrawsNoLine)
{
    addRows(3);
    QWidget* grip = list.header()->viewport();
    const QPoint from(list.sectionRight(1) - 1, list.header()->height() / 2), to = from + QPoint(30, 0);
    sweepbox::test::SendMouse(grip, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    sweepbox::test::SendMouse(grip, QEvent::MouseMove, from + QPoint(15, 0), Qt::NoButton, Qt::LeftButton);
    sweepbox::test::SendMouse(grip, QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    ASSERT_EQ(list.header()->sectionSize(1), 105);
    EXPECT_EQ(list.sectionWidth(1), 75) << "taken over at the end of the drag";
    sweepbox::test::SendMouse(grip, QEvent::MouseButtonRelease, to, Qt::LeftButton, {});
    EXPECT_EQ(list.sectionWidth(1), 105);
    resize(600);
    EXPECT_EQ(list.header()->sectionSize(1), 105);
    EXPECT_EQ(sumOfSections(), list.viewport()->width());

    list.setSectionWidth(2, 0);
    resize(500);
    EXPECT_EQ(list.header()->sectionSize(2), 80);
    const QImage image = shot();
    EXPECT_EQ(lineAt(image, 1), QColor(Qt::black));
    EXPECT_EQ(lineAt(image, 2), base());
}

// Does a keyed row show and read as the text its source gives, made only
// when the row is first needed, and only once?
TEST_F(MultiListTest, KeyedRowsTakeTheirTextFromTheSourceWhenFirstNeeded)
{
    const auto text = [](int key) { return u" %1 | 1 KByte | 01.02.2000 | someone@example.org | subject %1 |"_s.arg(key); };
    std::vector<int> asked;
    list.setRowSource([&](int key) {
        asked.push_back(key);
        return text(key);
    });
    for (int key = 1; key <= 2000; ++key)
        list.addKeyedItem(key);
    list.addKeyedItem(-5); // no key: an empty row
    ASSERT_EQ(list.count(), 2002);
    EXPECT_TRUE(asked.empty()) << "adding makes no text";

    const QImage keyed = shot();
    const size_t shown = asked.size();
    EXPECT_GT(shown, 0u);
    EXPECT_LE(shown, size_t(list.viewport()->height() / list.itemHeight() + 2)) << "only the rows in view";
    EXPECT_EQ(list.item(1500), text(1500));
    EXPECT_EQ(list.item(1500), text(1500));
    EXPECT_EQ(list.item(2001), QString());
    EXPECT_EQ(std::count(asked.begin(), asked.end(), 1500), 1) << "the text is kept once made";
    EXPECT_EQ(std::count(asked.begin(), asked.end(), -5), 0);
    EXPECT_EQ(asked.size(), shown + 1);
    shot();
    EXPECT_EQ(asked.size(), shown + 1) << "a repaint asks no row again";

    // The same rows added as text look the same.
    list.clear();
    addRows(30);
    EXPECT_EQ(shot(), keyed);
}

// A filter hides rows without renumbering them: what is painted, clicked,
// walked with the keys and marked is the shown rows only, and a row it hides
// never stays marked.
TEST_F(MultiListTest, RowFilterHidesRowsAndNoHiddenRowStaysMarked)
{
    std::vector<int> asked;
    list.setRowSource([&](int key) {
        asked.push_back(key);
        return u" %1 | 1 KByte | 01.02.2000 | someone@example.org | subject %1 |"_s.arg(key);
    });
    for (int key = 1; key <= 100; ++key)
        list.addKeyedItem(key);
    list.setSelected(1, true);
    list.setSelected(4, true);
    int filterCalls = 0;
    // Keys divisible by 4 are shown: rows 4, 8, ..., 100.
    list.setRowFilter([&](int key) {
        ++filterCalls;
        return key % 4 == 0;
    });
    EXPECT_EQ(filterCalls, 100);
    EXPECT_EQ(list.count(), 101) << "indices stay those of all rows";
    EXPECT_EQ(list.shownCount(), 25);
    EXPECT_EQ(list.shownRow(0), 4);
    EXPECT_EQ(list.shownRow(24), 100);
    EXPECT_EQ(list.shownRow(25), -1);
    EXPECT_EQ(list.shownPosition(8), 1);
    EXPECT_EQ(list.shownPosition(7), -1);
    EXPECT_FALSE(list.isShown(1));
    EXPECT_TRUE(list.itemRect(1).isEmpty());
    EXPECT_EQ(list.itemRect(8).top(), list.itemHeight());
    EXPECT_FALSE(list.isSelected(1)) << "hidden: unmarked";
    EXPECT_TRUE(list.isSelected(4)) << "still shown: kept";
    EXPECT_EQ(list.selectedCount(), 1);
    list.setSelected(3, true);
    EXPECT_EQ(list.selectedCount(), 1) << "a hidden row cannot be marked";

    asked.clear();
    shot();
    EXPECT_FALSE(asked.empty());
    EXPECT_TRUE(std::all_of(asked.begin(), asked.end(), [](int key) { return key % 4 == 0; }))
        << "only shown rows are made";

    // Clicks and keys reach shown rows only.
    EXPECT_EQ(list.indexAt(QPoint(5, list.itemHeight() + 2)), 8);
    clickRow(8);
    EXPECT_EQ(list.itemIndex(), 8);
    key(Qt::Key_Down);
    EXPECT_EQ(list.itemIndex(), 12);
    key(Qt::Key_Up, Qt::ShiftModifier);
    key(Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(list.itemIndex(), 4);
    EXPECT_EQ(list.selectedCount(), 3) << "rows 4, 8 and 12, none between";
    key(Qt::Key_End);
    EXPECT_EQ(list.itemIndex(), 100);

    // Rows added later are asked once each; deleting keeps the places right.
    filterCalls = 0;
    list.addKeyedItem(101);
    list.addKeyedItem(104);
    EXPECT_EQ(filterCalls, 2);
    EXPECT_EQ(list.shownCount(), 26);
    EXPECT_EQ(list.shownRow(25), 102);
    list.deleteItem(5); // hidden
    EXPECT_EQ(list.shownRow(1), 7);
    EXPECT_EQ(list.item(7), list.item(list.shownRow(1)));
    list.deleteItem(4); // shown
    EXPECT_EQ(list.shownCount(), 25);
    EXPECT_EQ(list.shownRow(0), 6);
    EXPECT_TRUE(list.item(6).startsWith(u" 8 |"_s));

    // Without a filter every row is back; the marks on them are as left.
    const int marked = list.selectedCount();
    list.setRowFilter(nullptr);
    EXPECT_FALSE(list.hasRowFilter());
    EXPECT_EQ(list.shownCount(), list.count() - 1);
    EXPECT_EQ(list.selectedCount(), marked);
    EXPECT_EQ(list.shownPosition(7), 6);

    // A filter that hides everything leaves nothing to walk or click.
    list.setRowFilter([](int) { return false; });
    EXPECT_EQ(list.selectedCount(), 0);
    EXPECT_EQ(list.indexAt(QPoint(5, 2)), -1);
    key(Qt::Key_Down);
    EXPECT_EQ(list.selectedCount(), 0);
    EXPECT_EQ(list.verticalScrollBar()->maximum(), 0);
}

// Does the scroll bar appear and reach the last row when rows come one by
// one, as a listing adds them, and go when they are cleared?
TEST_F(MultiListTest, ScrollBarFollowsRowsAddedOneByOne)
{
    QScrollBar* bar = list.verticalScrollBar();
    const int visible = list.viewport()->height() / list.itemHeight();
    for (const int rows : {visible - 1, visible + 1, 500}) {
        SCOPED_TRACE(rows);
        list.clear();
        QCoreApplication::processEvents();
        for (int i = 1; i <= rows; ++i) {
            list.addItem(u" %1 |"_s.arg(i));
            if (i % 50 == 0)
                QCoreApplication::processEvents(); // the window's passes during a listing
        }
        QCoreApplication::processEvents();
        EXPECT_EQ(bar->maximum(), std::max(0, rows - visible));
        EXPECT_EQ(bar->isVisible(), rows > visible);
        key(Qt::Key_End);
        EXPECT_EQ(list.itemIndex(), rows);
        EXPECT_TRUE(list.itemRect(rows).intersects(list.viewport()->rect())) << "the last row is in view";
    }
    list.clear();
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->maximum(), 0);
    EXPECT_FALSE(bar->isVisible());
}

TEST(MultiListProperties, OutOfRangeValuesAreClampedOrIgnored)
{
    sweepbox::test::EnsureApp();
    TMultiList list;
    list.setScrollSpeed(99);
    EXPECT_EQ(list.scrollSpeed(), 5);
    list.setSectionWidth(15, 10);
    list.setColumnAlignment(99, Qt::AlignRight);
    list.setListBitmap(16, QPixmap(2, 2));
    list.setItemIndex(3);
    EXPECT_EQ(list.sectionWidth(15), 0);
    EXPECT_EQ(list.itemIndex(), -1);
    // Huge widths from a tampered settings store must not break the layout.
    list.setHeaderSections({u"a"_s, u"b"_s});
    list.setSectionWidth(0, 2'000'000'000);
    list.resize(300, 100);
    list.show();
    QCoreApplication::processEvents();
    EXPECT_GE(list.header()->sectionSize(1), 0);
}

} // namespace

// A new row is bold, but a cell the bold weight would cut while the regular
// one fits keeps the regular weight; a cell with room stays bold.
TEST_F(MultiListTest, ABoldCellThatWouldBeCutKeepsTheRegularWeight) {
    const QString date = u" 08 Dec 2026 "_s; // a cell's text, its blanks included
    QFont bold = list.font();
    bold.setBold(true);
    const int regular = QFontMetrics(list.font()).horizontalAdvance(date);
    ASSERT_LT(regular, QFontMetrics(bold).horizontalAdvance(date)) << "the font has no wider bold";
    list.setSectionWidth(2, regular + 9); // the text area is the section less 9 px
    // Row 1 holds the caret and its frame; rows 2 and 3 are compared.
    for (int n = 1; n <= 3; ++n)
        list.addItem(u" %1 | 1 KByte |%2| Someone | Subject of the message |"_s.arg(n).arg(date));
    list.setEmphasized(3, true);
    QCoreApplication::processEvents();
    const QImage image = shot();
    const auto cell = [&](int index, int section) {
        const QRect row = list.itemRect(index);
        const int left = section == 0 ? 0 : list.sectionRight(section - 1);
        return image.copy(QRect(left, row.top(), list.sectionRight(section) - left, row.height()));
    };
    EXPECT_EQ(cell(3, 2), cell(2, 2)) << "the date is drawn whole, in the regular weight";
    EXPECT_NE(cell(3, 4), cell(2, 4)) << "the subject has room and is bold";
}
