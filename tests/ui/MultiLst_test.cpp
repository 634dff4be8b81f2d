// TMultiList: row format, marker row, selection by mouse and keyboard, the
// header widths and what the rows look like when painted.
#include "MultiLst.h"

#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QColor kHighlight(0, 0, 255);
const QColor kBlack(Qt::black);
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
        list.setColumnAlignment(0, Qt::AlignRight);
        list.setColumnAlignment(1, Qt::AlignRight);
        list.setItemHeight(14);
        list.setMultiSelect(true);
        list.setShowColumnLines(true);
        list.setColumnLineColor(Qt::black);
        list.setHighlightColor(kHighlight);
        list.setHighlightText(Qt::white);
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
    // The colour of row index right in the subject column, where the short
    // test texts leave only background.
    QColor backgroundOf(const QImage& image, int index) const
    {
        return image.pixelColor(list.viewport()->width() - 12, list.itemRect(index).center().y());
    }
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
    int sumOfSections() const
    {
        int sum = 0;
        for (int i = 0; i < list.header()->count(); ++i)
            sum += list.header()->sectionSize(i);
        return sum;
    }
    // Presses on the right divider of section and drags it by pixels; returns
    // where the drag ended.
    QPoint dragDivider(int section, int by)
    {
        QWidget* grip = list.header()->viewport();
        const QPoint from(list.sectionRight(section) - 1, list.header()->height() / 2);
        testsupport::SendMouse(grip, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
        testsupport::SendMouse(grip, QEvent::MouseMove, from + QPoint(by / 2, 0), Qt::NoButton, Qt::LeftButton);
        testsupport::SendMouse(grip, QEvent::MouseMove, from + QPoint(by, 0), Qt::NoButton, Qt::LeftButton);
        return from + QPoint(by, 0);
    }
    void releaseDivider(QPoint at)
    {
        testsupport::SendMouse(list.header()->viewport(), QEvent::MouseButtonRelease, at, Qt::LeftButton, {});
    }

    QApplication& app = testsupport::EnsureApp();
    TMultiList list;
};

// First x in region whose pixel differs from the background, or -1.
int leftmostInk(const QImage& image, const QRect& region, const QColor& background)
{
    for (int x = region.left(); x <= region.right(); ++x)
        for (int y = region.top(); y <= region.bottom(); ++y)
            if (image.pixelColor(x, y) != background)
                return x;
    return -1;
}

TEST(MultiListRowFormat, SplitsAtTheSeparatorAndReadsThePictureSlot)
{
    struct Row {
        const char* name;
        QString text;
        int picture;
        QStringList columns;
        QChar separator = u'|';
    };
    const Row rows[] = {
        {"number and dashes", u" 12 | - | - | - | -|"_s, -1, {u" 12 "_s, u" - "_s, u" - "_s, u" - "_s, u" -"_s}},
        {"last column not closed", u" 12 | - | subject"_s, -1, {u" 12 "_s, u" - "_s}},
        {"no separator shows nothing", u" 12 nothing"_s, -1, {}},
        {"empty row", u""_s, -1, {}},
        {"digit picks a picture", u"5abc|def|"_s, 5, {u"abc"_s, u"def"_s}},
        {"star is picture 10", u"*x|"_s, 10, {u"x"_s}},
        {"at sign is picture 12", u"@x|"_s, 12, {u"x"_s}},
        {"percent is picture 15", u"%x|"_s, 15, {u"x"_s}},
        {"tilde is hidden without picture", u"~abc|"_s, -1, {u"abc"_s}},
        {"tilde alone", u"~"_s, -1, {}},
        {"empty columns kept", u"a||b|"_s, -1, {u"a"_s, u""_s, u"b"_s}},
        {"other separator", u" 1 ; x ;"_s, -1, {u" 1 "_s, u" x "_s}, u';'},
        {"letter is text", u"A|"_s, -1, {u"A"_s}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TMultiList::RowParts parts = TMultiList::splitRow(row.text, row.separator);
        EXPECT_EQ(parts.picture, row.picture);
        EXPECT_EQ(parts.columns, row.columns);
    }
}

TEST_F(MultiListTest, MarkerRowIsNeverShownNorSelectedAndTheCaretStartsOnRowOne)
{
    addRows(3);
    ASSERT_EQ(list.count(), 4);
    EXPECT_EQ(list.item(0), TMultiList::markerText());
    EXPECT_TRUE(list.item(1).startsWith(u" 1 |"_s));
    EXPECT_EQ(list.itemIndex(), 1);
    EXPECT_EQ(list.selectedCount(), 0);
    EXPECT_EQ(list.indexAt({5, 1}), 1);
    EXPECT_TRUE(list.itemRect(0).isEmpty());
    list.setSelected(0, true);
    EXPECT_FALSE(list.isSelected(0));
    // Caret on the marker (as after a listing) and Shift+Down: only row 1.
    list.setItemIndex(0);
    key(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_FALSE(list.isSelected(0));
    EXPECT_TRUE(list.isSelected(1));
    EXPECT_EQ(list.selectedCount(), 1);

    list.clear();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.itemIndex(), -1);
    list.setDefaultItemSelected(false);
    list.addItem(u" 1 |"_s);
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(list.item(0), TMultiList::markerText());
    EXPECT_EQ(list.itemIndex(), 0);
}

TEST_F(MultiListTest, DeletingRowsKeepsTheMarkerAndTheSelectionCount)
{
    addRows(4);
    list.setSelected(2, true);
    list.setSelected(3, true);
    list.deleteItem(2);
    EXPECT_EQ(list.count(), 4);
    EXPECT_TRUE(list.item(2).startsWith(u" 3 |"_s));
    EXPECT_EQ(list.selectedCount(), 1);
    EXPECT_TRUE(list.isSelected(2));
    for (const int ignored : {0, 99, -1}) // the marker stays while data rows exist
        list.deleteItem(ignored);
    EXPECT_EQ(list.item(0), TMultiList::markerText());
    EXPECT_EQ(list.count(), 4);
    EXPECT_EQ(list.item(99), QString());

    for (int i = list.count() - 1; i >= 1; --i) // highest first, as the delete command does
        list.deleteItem(i);
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(list.selectedCount(), 0);
    list.deleteItem(0);
    EXPECT_EQ(list.count(), 0);
}

TEST_F(MultiListTest, CtrlClicksAddRowsAndShiftClicksSelectRanges)
{
    addRows(6);
    QSignalSpy clicks(&list, &TMultiList::clicked);
    clickRow(1);
    clickRow(3, Qt::ControlModifier);
    EXPECT_TRUE(list.isSelected(1));
    EXPECT_FALSE(list.isSelected(2));
    EXPECT_TRUE(list.isSelected(3));
    EXPECT_EQ(list.itemIndex(), 3);
    EXPECT_EQ(clicks.count(), 2);
    const QImage image = shot();
    EXPECT_EQ(backgroundOf(image, 1), kHighlight);
    EXPECT_EQ(backgroundOf(image, 2), base());

    clickRow(3, Qt::ControlModifier); // toggles off
    EXPECT_FALSE(list.isSelected(3));
    clickRow(5, Qt::ShiftModifier); // anchor 3 .. 5, others cleared
    EXPECT_FALSE(list.isSelected(1));
    for (int i = 3; i <= 5; ++i)
        EXPECT_TRUE(list.isSelected(i)) << i;
    EXPECT_EQ(list.selectedCount(), 3);
    clickRow(1, Qt::ControlModifier);
    clickRow(2, Qt::ControlModifier | Qt::ShiftModifier); // adds anchor 1 .. 2
    EXPECT_EQ(list.selectedCount(), 5);
    clickRow(6); // a plain click selects only that row
    EXPECT_EQ(list.selectedCount(), 1);
    EXPECT_TRUE(list.isSelected(6));

    const auto before = clicks.count();
    list.setSelected(2, true);
    EXPECT_EQ(clicks.count(), before) << "programmatic selection is silent";
}

TEST_F(MultiListTest, SingleChoiceListKeepsOneSelectedRow)
{
    list.setMultiSelect(false);
    addRows(4);
    EXPECT_TRUE(list.isSelected(1)); // the caret selects in a single-choice list
    clickRow(2);
    clickRow(4, Qt::ControlModifier);
    EXPECT_EQ(list.selectedCount(), 1);
    EXPECT_TRUE(list.isSelected(4));
    key(Qt::Key_Up);
    EXPECT_TRUE(list.isSelected(3));
    EXPECT_EQ(list.selectedCount(), 1);
}

TEST_F(MultiListTest, KeyboardMovesCaretAndSelectionAndEveryKeyReachesTheHost)
{
    addRows(100);
    key(Qt::Key_Down);
    EXPECT_EQ(list.itemIndex(), 2);
    EXPECT_TRUE(list.isSelected(2));
    key(Qt::Key_Down, Qt::ShiftModifier);
    key(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(list.selectedCount(), 3);
    key(Qt::Key_Down, Qt::ControlModifier); // caret only
    EXPECT_EQ(list.itemIndex(), 5);
    EXPECT_EQ(list.selectedCount(), 3);
    key(Qt::Key_Space, Qt::ControlModifier);
    EXPECT_EQ(list.selectedCount(), 4);

    key(Qt::Key_End);
    EXPECT_EQ(list.itemIndex(), 100);
    EXPECT_TRUE(list.viewport()->rect().contains(list.itemRect(100)));
    key(Qt::Key_Home);
    EXPECT_EQ(list.itemIndex(), 1);
    EXPECT_EQ(list.verticalScrollBar()->value(), 0);
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
    ASSERT_EQ(list.findChild<QHeaderView*>(u"ListHeader"_s), list.header());
    EXPECT_EQ(sumOfSections(), list.viewport()->width());
    resize(700);
    EXPECT_EQ(list.header()->sectionSize(4), list.viewport()->width() - 25 - 75 - 80 - 95);

    QStringList many;
    for (int i = 0; i < 20; ++i)
        many << u"T%1"_s.arg(i);
    list.setHeaderSections(many);
    EXPECT_EQ(list.headerSections().size(), 15);
    list.addHeaderSection(u"one more"_s);
    EXPECT_EQ(list.header()->count(), 15);
    EXPECT_EQ(list.headerSections().last(), u"T14"_s);
    list.clearHeaderSections();
    EXPECT_EQ(list.header()->count(), 0);

    // Titles added one at a time, as a language switch does: each section
    // that stops being the last gets its own width back.
    for (const QString& title : {u""_s, u"Size"_s, u"Date"_s, u"From"_s, u"Subject"_s})
        list.addHeaderSection(title);
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(list.header()->sectionSize(n), kWidths[n]) << n;
    EXPECT_EQ(sumOfSections(), list.viewport()->width());
}

TEST_F(MultiListTest, HorizontalScrollCoversTheScrollWidth)
{
    QScrollBar* bar = list.horizontalScrollBar();
    EXPECT_EQ(bar->maximum(), 0); // off: no sideways range
    list.setScrollWidth(800);
    list.setHorizontalScroll(true);
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->maximum(), 800 - list.viewport()->width());
    EXPECT_EQ(sumOfSections(), 800);
    bar->setValue(bar->maximum());
    EXPECT_EQ(list.header()->offset(), bar->maximum());
    addRows(1);
    EXPECT_EQ(list.itemRect(1).left(), -bar->maximum());
}

TEST_F(MultiListTest, ZeroWidthLeavesTheSectionAndDrawsNoLine)
{
    list.setSectionWidth(2, 0);
    resize(500);
    EXPECT_EQ(list.header()->sectionSize(2), 80);
    EXPECT_EQ(list.sectionWidth(2), 0);
    addRows(2);
    const QImage image = shot();
    const std::pair<int, QColor> lines[] = {{0, kBlack}, {1, kBlack}, {2, base()}, {3, kBlack}};
    for (const auto& [n, colour] : lines)
        EXPECT_EQ(lineAt(image, n), colour) << n;
    list.setShowColumnLines(false);
    EXPECT_EQ(lineAt(shot(), 0), base());
}

TEST_F(MultiListTest, DraggingADividerCopiesTheWidthsBackWhenReleased)
{
    addRows(3);
    const QPoint end = dragDivider(1, 30); // between size and date
    ASSERT_EQ(list.header()->sectionSize(1), 105);
    EXPECT_EQ(list.sectionWidth(1), 75) << "not yet: taken over at the end of the drag";
    EXPECT_EQ(sumOfSections(), list.viewport()->width());
    releaseDivider(end);
    EXPECT_EQ(list.sectionWidth(1), 105);
    EXPECT_EQ(list.sectionWidth(4), list.header()->sectionSize(4));

    // The window grows: the dragged width stays, the subject column follows,
    // and the column line moved with the divider.
    resize(600);
    EXPECT_EQ(list.header()->sectionSize(1), 105);
    EXPECT_EQ(list.sectionWidth(1), 105);
    EXPECT_EQ(sumOfSections(), list.viewport()->width());
    EXPECT_EQ(lineAt(shot(), 1), kBlack);

    list.setSmoothScroll(true); // widths taken over during the drag
    const QPoint smoothEnd = dragDivider(0, 20);
    EXPECT_EQ(list.sectionWidth(0), 45);
    releaseDivider(smoothEnd);
    list.setSmoothScroll(false);
    list.header()->resizeSection(2, 60);
    EXPECT_EQ(list.sectionWidth(2), 60) << "a resize from outside a drag is taken over at once";
}

TEST_F(MultiListTest, PictureSlotShiftsTheFirstColumn)
{
    list.setColumnAlignment(0, Qt::AlignLeft);
    list.setSectionWidth(0, 60);
    for (const QString& row : {u"5X|"_s, u"~X|"_s, u"%X|"_s})
        list.addItem(row);
    QPixmap picture(4, 4);
    picture.fill(QColor(128, 0, 128)); // the default mask colour: transparent
    QPainter(&picture).fillRect(0, 0, 2, 4, Qt::red);
    list.setListBitmap(15, picture);

    const QImage image = shot();
    const auto column0 = [&](int index) {
        const QRect r = list.itemRect(index);
        return QRect(1, r.top() + 1, 54, r.height() - 2); // inside the focus frame
    };
    EXPECT_GE(leftmostInk(image, column0(1), base()), 10); // empty picture slot
    const int tilde = leftmostInk(image, column0(2), base());
    EXPECT_GE(tilde, 0);
    EXPECT_LT(tilde, 6);
    const QRect r3 = list.itemRect(3);
    const int py = r3.top() + (r3.height() - 4) / 2 + 1;
    EXPECT_EQ(image.pixelColor(6, py), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(9, py), base()); // masked out
    EXPECT_GE(leftmostInk(image, column0(3).adjusted(10, 0, 0, 0), base()), 14);
}

TEST_F(MultiListTest, LongTextStaysInsideItsColumn)
{
    list.addItem(u" 1 | 123456789012345678901234567890 | 03.01.2000 | Erika Muster <erika@example.org> | Treffen |"_s);
    list.addItem(u" 2 | tab\tstops\tin\ta\tvery\tlong\ttext | x | news@example.com | Ihr wöchentlicher Überblick "
                 u"mit sehr langem Betreff, der abgeschnitten wird |"_s);
    for (int i = 3; i <= 20; ++i)
        list.addItem(u" %1 | - | - | - | - |"_s.arg(i));
    list.setSelected(3, true);
    list.setSelected(4, true);
    list.setItemIndex(4);
    QCoreApplication::processEvents(); // the scroll bar appears through a queued call
    testsupport::Shot(&list, u"multilist.png"_s);
    const QImage image = shot();
    for (int index = 1; index <= 2; ++index) {
        SCOPED_TRACE(index);
        const QRect r = list.itemRect(index);
        // From the column line of size to the start of the date text: empty.
        const QRect gap(list.sectionRight(1), r.top() + 1, 5, r.height() - 2);
        EXPECT_EQ(leftmostInk(image, gap, base()), -1);
        const QRect sizeColumn(list.sectionRight(0) + 1, r.top() + 1, 70, r.height() - 2);
        EXPECT_GE(leftmostInk(image, sizeColumn, base()), 0);
    }
}

TEST_F(MultiListTest, FocusRectangleMarksTheCaretRow)
{
    addRows(3);
    list.setItemIndex(2);
    const QRect r = list.itemRect(2);
    const QRect topBorder(list.viewport()->width() - 40, r.top(), 30, 1);
    list.clearFocus();
    EXPECT_EQ(leftmostInk(shot(), topBorder, base()), -1);
    list.activateWindow();
    list.setFocus();
    if (!list.hasFocus())
        GTEST_SKIP() << "the platform gives no keyboard focus";
    EXPECT_GE(leftmostInk(shot(), topBorder, base()), 0);
}

TEST_F(MultiListTest, RightClickOpensThePopupWithoutChangingTheSelection)
{
    addRows(3);
    list.setSelected(2, true);
    QMenu menu;
    menu.addAction(u"Header"_s);
    list.setPopupMenu(&menu);
    const QPoint at = list.itemRect(3).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, list.viewport()->mapToGlobal(at));
    QApplication::sendEvent(list.viewport(), &event);
    EXPECT_TRUE(menu.isVisible());
    EXPECT_TRUE(list.isSelected(2));
    EXPECT_FALSE(list.isSelected(3));
    menu.hide();
}

TEST(MultiListProperties, ScrollSpeedIsClampedAndOutOfRangeIndicesAreIgnored)
{
    testsupport::EnsureApp();
    TMultiList list;
    EXPECT_EQ(list.scrollSpeed(), 5);
    const std::pair<int, int> speeds[] = {{0, 1}, {-7, 1}, {1, 1}, {3, 3}, {5, 5}, {6, 5}, {99, 5}};
    for (const auto& [in, out] : speeds) {
        list.setScrollSpeed(in);
        EXPECT_EQ(list.scrollSpeed(), out) << in;
    }

    list.setSectionWidth(15, 10);
    list.setSectionWidth(-1, 10);
    list.setColumnAlignment(99, Qt::AlignRight);
    list.setListBitmap(16, QPixmap(2, 2));
    list.setItemIndex(3);
    EXPECT_EQ(list.sectionWidth(15), 0);
    EXPECT_EQ(list.itemIndex(), -1);
    EXPECT_FALSE(list.isSelected(0));
    // Huge widths from a tampered settings store must not break the layout.
    list.setHeaderSections({u"a"_s, u"b"_s});
    list.setSectionWidth(0, 2'000'000'000);
    list.resize(300, 100);
    list.show();
    QCoreApplication::processEvents();
    EXPECT_GE(list.header()->sectionSize(1), 0);
}

} // namespace
