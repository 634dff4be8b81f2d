// TMultiList: row format, marker row, selection by mouse and keyboard, the
// header widths and what the rows look like when painted.
#include "MultiLst.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

QApplication& app()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "MultiLst_test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own globals are gone by the time statics die.
    static QApplication* application = new QApplication(argc, argv);
    return *application;
}

const QColor kHighlight(0, 0, 255);
const QColor kHighlightText(255, 255, 255);

// The settings the main window gives its message list.
void configureAsMessageList(TMultiList& list)
{
    list.setColumnSeperator(u'|');
    list.setHeaderSections({u""_s, u"Größe"_s, u"Datum"_s, u"Absender"_s, u"Betreff"_s});
    const int widths[] = {25, 75, 80, 95, 75};
    for (int n = 0; n < 5; ++n)
        list.setSectionWidth(n, widths[n]);
    list.setColumnAlignment(0, Qt::AlignRight);
    list.setColumnAlignment(1, Qt::AlignRight);
    list.setHeaderHeight(18);
    QFont headerFont = list.font();
    headerFont.setPointSize(8);
    headerFont.setBold(true);
    list.setHeaderFont(headerFont);
    list.setItemHeight(14);
    list.setMultiSelect(true);
    list.setShowColumnLines(true);
    list.setColumnLineColor(Qt::black);
    list.setHighlightColor(kHighlight);
    list.setHighlightText(kHighlightText);
}

class MultiListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        app();
        list = std::make_unique<TMultiList>();
        configureAsMessageList(*list);
        list->resize(449, 257);
        list->show();
        QCoreApplication::processEvents();
    }

    void addRows(int n)
    {
        for (int i = 1; i <= n; ++i)
            list->addItem(u" %1 | 1 KByte | 01.02.2000 | someone@example.org | subject %1 |"_s.arg(i));
    }

    QImage shot() const { return list->viewport()->grab().toImage(); }

    // A point inside row index, right in the subject column, where the short
    // test texts leave only background.
    QPoint emptySpotOf(int index) const
    {
        const QRect r = list->itemRect(index);
        return {list->viewport()->width() - 12, r.center().y()};
    }

    void clickRow(int index, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers,
                          list->itemRect(index).center());
    }

    std::unique_ptr<TMultiList> list;
};

int sumOfSections(const QHeaderView* header)
{
    int sum = 0;
    for (int i = 0; i < header->count(); ++i)
        sum += header->sectionSize(i);
    return sum;
}

// First x in region whose pixel differs from the background, or -1.
int leftmostInk(const QImage& image, const QRect& region, const QColor& background)
{
    for (int x = region.left(); x <= region.right(); ++x)
        for (int y = region.top(); y <= region.bottom(); ++y)
            if (image.pixelColor(x, y) != background)
                return x;
    return -1;
}

void sendMouse(QWidget* target, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, QPointF(pos), QPointF(target->mapToGlobal(pos)),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// ---------------------------------------------------------------------------

TEST(MultiListRowFormat, SplitsAtTheSeparatorAndReadsThePictureSlot)
{
    struct Row {
        const char* name;
        QString text;
        QChar separator;
        int picture;
        QStringList columns;
    };
    const Row rows[] = {
        {"number and dashes", u" 12 | - | - | - | -|"_s, u'|', -1,
         {u" 12 "_s, u" - "_s, u" - "_s, u" - "_s, u" -"_s}},
        {"last column not closed", u" 12 | - | subject"_s, u'|', -1, {u" 12 "_s, u" - "_s}},
        {"no separator shows nothing", u" 12 nothing"_s, u'|', -1, {}},
        {"empty row", u""_s, u'|', -1, {}},
        {"digit picks a picture", u"5abc|def|"_s, u'|', 5, {u"abc"_s, u"def"_s}},
        {"star is picture 10", u"*x|"_s, u'|', 10, {u"x"_s}},
        {"at sign is picture 12", u"@x|"_s, u'|', 12, {u"x"_s}},
        {"percent is picture 15", u"%x|"_s, u'|', 15, {u"x"_s}},
        {"tilde is hidden without picture", u"~abc|"_s, u'|', -1, {u"abc"_s}},
        {"tilde alone", u"~"_s, u'|', -1, {}},
        {"empty columns kept", u"a||b|"_s, u'|', -1, {u"a"_s, u""_s, u"b"_s}},
        {"other separator", u" 1 ; x ;"_s, u';', -1, {u" 1 "_s, u" x "_s}},
        {"letter is text", u"A|"_s, u'|', -1, {u"A"_s}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TMultiList::RowParts parts = TMultiList::splitRow(row.text, row.separator);
        EXPECT_EQ(parts.picture, row.picture);
        EXPECT_EQ(parts.columns, row.columns);
    }
}

TEST_F(MultiListTest, MarkerRowPrecedesTheDataRowsAndTheCaretStartsOnRowOne)
{
    addRows(3);
    shot();  // draw it
    ASSERT_EQ(list->count(), 4);
    EXPECT_EQ(list->item(0), TMultiList::markerText());
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(list->item(i).startsWith(u" %1 |"_s.arg(i))) << i;
    EXPECT_EQ(list->itemIndex(), 1);
    EXPECT_EQ(list->selectedCount(), 0);
    // The marker is never shown: the first visible row is data row 1.
    EXPECT_EQ(list->indexAt({5, 1}), 1);
    EXPECT_TRUE(list->itemRect(0).isEmpty());

    list->clear();
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(list->itemIndex(), -1);
    list->setDefaultItemSelected(false);
    list->addItem(u" 1 |"_s);
    EXPECT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(0), TMultiList::markerText());
    EXPECT_EQ(list->itemIndex(), 0);
}

TEST_F(MultiListTest, DeletingRowsKeepsTheMarkerAndTheSelectionCount)
{
    addRows(4);
    list->setSelected(2, true);
    list->setSelected(3, true);
    list->deleteItem(2);
    EXPECT_EQ(list->count(), 4);
    EXPECT_TRUE(list->item(2).startsWith(u" 3 |"_s));
    EXPECT_EQ(list->selectedCount(), 1);
    EXPECT_TRUE(list->isSelected(2));

    list->deleteItem(0);  // the marker stays while data rows exist
    EXPECT_EQ(list->item(0), TMultiList::markerText());
    EXPECT_EQ(list->count(), 4);

    list->deleteItem(99);
    list->deleteItem(-1);
    EXPECT_EQ(list->count(), 4);
    EXPECT_EQ(list->item(99), QString());

    // Highest first, as the delete command does.
    for (int i = list->count() - 1; i >= 1; --i)
        list->deleteItem(i);
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(list->selectedCount(), 0);
    list->deleteItem(0);
    EXPECT_EQ(list->count(), 0);
}

TEST_F(MultiListTest, MarkerRowCannotBeSelected)
{
    addRows(3);
    list->setSelected(0, true);
    EXPECT_FALSE(list->isSelected(0));
    for (int i = 1; i <= 3; ++i)
        list->setSelected(i, true);
    EXPECT_EQ(list->selectedCount(), 3);

    // Caret on the marker (as after a listing) and Shift+Down: only row 1.
    list->setSelected(1, false);
    list->setSelected(2, false);
    list->setSelected(3, false);
    list->setItemIndex(0);
    QTest::keyClick(list.get(), Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_FALSE(list->isSelected(0));
    EXPECT_TRUE(list->isSelected(1));
    EXPECT_EQ(list->selectedCount(), 1);
}

TEST_F(MultiListTest, CtrlClicksAddRowsAndShiftClicksSelectRanges)
{
    addRows(6);
    QSignalSpy clicks(list.get(), &TMultiList::clicked);
    clickRow(1);
    clickRow(3, Qt::ControlModifier);
    EXPECT_TRUE(list->isSelected(1));
    EXPECT_FALSE(list->isSelected(2));
    EXPECT_TRUE(list->isSelected(3));
    EXPECT_EQ(list->itemIndex(), 3);
    EXPECT_EQ(clicks.count(), 2);

    const QImage image = shot();
    EXPECT_EQ(image.pixelColor(emptySpotOf(1)), kHighlight);
    EXPECT_EQ(image.pixelColor(emptySpotOf(2)), list->palette().color(QPalette::Base));
    EXPECT_EQ(image.pixelColor(emptySpotOf(3)), kHighlight);

    clickRow(3, Qt::ControlModifier);  // toggles off
    EXPECT_FALSE(list->isSelected(3));

    clickRow(5, Qt::ShiftModifier);  // anchor 3 .. 5, others cleared
    EXPECT_FALSE(list->isSelected(1));
    for (int i = 3; i <= 5; ++i)
        EXPECT_TRUE(list->isSelected(i)) << i;
    EXPECT_EQ(list->selectedCount(), 3);

    clickRow(1, Qt::ControlModifier);
    clickRow(2, Qt::ControlModifier | Qt::ShiftModifier);  // adds anchor 1 .. 2
    EXPECT_EQ(list->selectedCount(), 5);

    clickRow(6);  // a plain click selects only that row
    EXPECT_EQ(list->selectedCount(), 1);
    EXPECT_TRUE(list->isSelected(6));

    // Programmatic selection is silent.
    const auto before = clicks.count();
    list->setSelected(2, true);
    EXPECT_EQ(clicks.count(), before);
}

TEST_F(MultiListTest, SingleChoiceListKeepsOneSelectedRow)
{
    list->setMultiSelect(false);
    addRows(4);
    EXPECT_TRUE(list->isSelected(1));  // the caret selects in a single-choice list
    clickRow(2);
    clickRow(4, Qt::ControlModifier);
    EXPECT_EQ(list->selectedCount(), 1);
    EXPECT_TRUE(list->isSelected(4));
    QTest::keyClick(list.get(), Qt::Key_Up);
    EXPECT_TRUE(list->isSelected(3));
    EXPECT_EQ(list->selectedCount(), 1);
}

TEST_F(MultiListTest, KeyboardMovesCaretAndSelection)
{
    addRows(100);
    QSignalSpy keys(list.get(), &TMultiList::keyDown);
    QTest::keyClick(list.get(), Qt::Key_Down);
    EXPECT_EQ(list->itemIndex(), 2);
    EXPECT_TRUE(list->isSelected(2));
    QTest::keyClick(list.get(), Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(list.get(), Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(list->selectedCount(), 3);
    QTest::keyClick(list.get(), Qt::Key_Down, Qt::ControlModifier);  // caret only
    EXPECT_EQ(list->itemIndex(), 5);
    EXPECT_EQ(list->selectedCount(), 3);
    QTest::keyClick(list.get(), Qt::Key_Space, Qt::ControlModifier);
    EXPECT_EQ(list->selectedCount(), 4);

    QTest::keyClick(list.get(), Qt::Key_End);
    EXPECT_EQ(list->itemIndex(), 100);
    EXPECT_EQ(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum());
    EXPECT_TRUE(list->viewport()->rect().contains(list->itemRect(100)));
    QTest::keyClick(list.get(), Qt::Key_Home);
    EXPECT_EQ(list->itemIndex(), 1);
    EXPECT_EQ(list->verticalScrollBar()->value(), 0);
    QTest::keyClick(list.get(), Qt::Key_Up);
    EXPECT_EQ(list->itemIndex(), 1);  // never onto the marker

    // Every key reaches the host first, modifier keys included.
    QTest::keyClick(list.get(), Qt::Key_Delete);
    EXPECT_EQ(keys.last().at(0).toInt(), int(Qt::Key_Delete));
}

TEST_F(MultiListTest, KeyHandlerMayEmptyTheList)
{
    addRows(5);
    QObject::connect(list.get(), &TMultiList::keyDown, list.get(), [this](int key) {
        if (key == Qt::Key_Delete)
            list->clear();
    });
    QTest::keyClick(list.get(), Qt::Key_Delete);
    QTest::keyClick(list.get(), Qt::Key_Down);
    EXPECT_EQ(list->count(), 0);
    shot();
}

TEST_F(MultiListTest, HeaderKeepsFifteenTitlesAndTheLastFillsTheWidth)
{
    ASSERT_NE(list->findChild<QHeaderView*>(u"ListHeader"_s), nullptr);
    QHeaderView* header = list->header();
    EXPECT_EQ(header->sectionSize(0), 25);
    EXPECT_EQ(header->sectionSize(3), 95);
    EXPECT_EQ(sumOfSections(header), list->viewport()->width());

    list->resize(700, 257);
    QCoreApplication::processEvents();
    EXPECT_EQ(sumOfSections(header), list->viewport()->width());
    EXPECT_EQ(header->sectionSize(4), list->viewport()->width() - 25 - 75 - 80 - 95);

    QStringList many;
    for (int i = 0; i < 20; ++i)
        many << u"T%1"_s.arg(i);
    list->setHeaderSections(many);
    EXPECT_EQ(list->headerSections().size(), 15);
    EXPECT_EQ(header->count(), 15);
    list->addHeaderSection(u"one more"_s);
    EXPECT_EQ(header->count(), 15);
    EXPECT_EQ(list->headerSections().last(), u"T14"_s);

    list->clearHeaderSections();
    EXPECT_EQ(header->count(), 0);

    // Titles added one at a time, as a language switch does: each section
    // that stops being the last gets its own width back.
    for (const QString& title : {u""_s, u"Size"_s, u"Date"_s, u"From"_s, u"Subject"_s})
        list->addHeaderSection(title);
    const int widths[] = {25, 75, 80, 95};
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(header->sectionSize(n), widths[n]) << n;
    EXPECT_EQ(sumOfSections(header), list->viewport()->width());
}

TEST_F(MultiListTest, HorizontalScrollCoversTheScrollWidth)
{
    QScrollBar* bar = list->horizontalScrollBar();
    EXPECT_EQ(bar->maximum(), 0);  // off: no sideways range
    list->setScrollWidth(800);
    list->setHorizontalScroll(true);
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->maximum(), 800 - list->viewport()->width());
    EXPECT_EQ(sumOfSections(list->header()), 800);
    bar->setValue(bar->maximum());
    EXPECT_EQ(list->header()->offset(), bar->maximum());
    addRows(1);
    EXPECT_EQ(list->itemRect(1).left(), -bar->maximum());
}

TEST_F(MultiListTest, ZeroWidthLeavesTheSectionAndDrawsNoLine)
{
    list->setSectionWidth(2, 0);
    list->resize(500, 257);
    QCoreApplication::processEvents();
    QHeaderView* header = list->header();
    EXPECT_EQ(header->sectionSize(2), 80);
    EXPECT_EQ(list->sectionWidth(2), 0);
    addRows(2);

    const QImage image = shot();
    const int below = list->viewport()->height() - 5;  // under the rows
    const QColor base = list->palette().color(QPalette::Base);
    EXPECT_EQ(image.pixelColor(list->sectionRight(0) - 1, below), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(list->sectionRight(1) - 1, below), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(list->sectionRight(2) - 1, below), base);
    EXPECT_EQ(image.pixelColor(list->sectionRight(3) - 1, below), QColor(Qt::black));

    list->setShowColumnLines(false);
    EXPECT_EQ(shot().pixelColor(list->sectionRight(0) - 1, below), base);
}

TEST_F(MultiListTest, DraggingADividerCopiesTheWidthsBackWhenReleased)
{
    addRows(3);
    QHeaderView* header = list->header();
    QWidget* grip = header->viewport();
    const int edge = list->sectionRight(1) - 1;  // divider between size and date
    const int y = header->height() / 2;

    sendMouse(grip, QEvent::MouseButtonPress, {edge, y}, Qt::LeftButton);
    sendMouse(grip, QEvent::MouseMove, {edge + 10, y}, Qt::LeftButton);
    sendMouse(grip, QEvent::MouseMove, {edge + 30, y}, Qt::LeftButton);
    ASSERT_EQ(header->sectionSize(1), 105);
    EXPECT_EQ(list->sectionWidth(1), 75);  // not yet: taken over at the end of the drag
    EXPECT_EQ(sumOfSections(header), list->viewport()->width());
    sendMouse(grip, QEvent::MouseButtonRelease, {edge + 30, y}, Qt::NoButton);

    EXPECT_EQ(list->sectionWidth(1), 105);
    EXPECT_EQ(list->sectionWidth(0), 25);
    EXPECT_EQ(list->sectionWidth(4), header->sectionSize(4));
    EXPECT_EQ(list->sectionWidth(5), 0);

    // The window grows: the dragged width stays, the subject column follows.
    list->resize(600, 257);
    QCoreApplication::processEvents();
    EXPECT_EQ(header->sectionSize(1), 105);
    EXPECT_EQ(list->sectionWidth(1), 105);
    EXPECT_EQ(sumOfSections(header), list->viewport()->width());

    // The column line moved with the divider.
    const QImage image = shot();
    EXPECT_EQ(image.pixelColor(list->sectionRight(1) - 1, list->viewport()->height() - 5),
              QColor(Qt::black));
}

TEST_F(MultiListTest, SmoothScrollTakesWidthsOverDuringTheDrag)
{
    list->setSmoothScroll(true);
    QWidget* grip = list->header()->viewport();
    const int edge = list->sectionRight(0) - 1;
    sendMouse(grip, QEvent::MouseButtonPress, {edge, 5}, Qt::LeftButton);
    sendMouse(grip, QEvent::MouseMove, {edge + 20, 5}, Qt::LeftButton);
    EXPECT_EQ(list->sectionWidth(0), 45);
    sendMouse(grip, QEvent::MouseButtonRelease, {edge + 20, 5}, Qt::NoButton);

    // A resize from outside a drag is taken over at once.
    list->setSmoothScroll(false);
    list->header()->resizeSection(2, 60);
    EXPECT_EQ(list->sectionWidth(2), 60);
}

TEST_F(MultiListTest, PictureSlotShiftsTheFirstColumn)
{
    list->setColumnAlignment(0, Qt::AlignLeft);
    list->setSectionWidth(0, 60);
    list->addItem(u"5X|"_s);
    list->addItem(u"~X|"_s);
    list->addItem(u"%X|"_s);
    QPixmap picture(4, 4);
    picture.fill(QColor(128, 0, 128));  // the default mask colour: transparent
    {
        QPainter p(&picture);
        p.fillRect(0, 0, 2, 4, Qt::red);
    }
    list->setListBitmap(15, picture);

    const QImage image = shot();
    const QColor base = list->palette().color(QPalette::Base);
    const auto column0 = [&](int index) {
        const QRect r = list->itemRect(index);
        return QRect(1, r.top() + 1, 54, r.height() - 2);  // inside the focus frame
    };
    EXPECT_GE(leftmostInk(image, column0(1), base), 10);  // empty picture slot
    const int tilde = leftmostInk(image, column0(2), base);
    EXPECT_GE(tilde, 0);
    EXPECT_LT(tilde, 6);

    const QRect r3 = list->itemRect(3);
    const int py = r3.top() + (r3.height() - 4) / 2 + 1;
    EXPECT_EQ(image.pixelColor(6, py), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(9, py), base);  // masked out
    EXPECT_GE(leftmostInk(image, column0(3).adjusted(10, 0, 0, 0), base), 14);
}

TEST_F(MultiListTest, LongTextStaysInsideItsColumn)
{
    list->addItem(u" 1 | 123456789012345678901234567890 | x |"_s);
    list->addItem(u" 2 | tab\tstops\tin\ta\tvery\tlong\ttext | x |"_s);
    const QImage image = shot();
    const QColor base = list->palette().color(QPalette::Base);
    for (int index = 1; index <= 2; ++index) {
        SCOPED_TRACE(index);
        const QRect r = list->itemRect(index);
        // From the column line of size to the start of the date text: empty.
        const QRect gap(list->sectionRight(1), r.top() + 1, 5, r.height() - 2);
        EXPECT_EQ(leftmostInk(image, gap, base), -1);
        const QRect sizeColumn(list->sectionRight(0) + 1, r.top() + 1, 70, r.height() - 2);
        EXPECT_GE(leftmostInk(image, sizeColumn, base), 0);
    }
}

TEST_F(MultiListTest, FocusRectangleMarksTheCaretRow)
{
    addRows(3);
    list->setItemIndex(2);
    const QColor base = list->palette().color(QPalette::Base);
    const QRect r = list->itemRect(2);
    const QRect topBorder(list->viewport()->width() - 40, r.top(), 30, 1);
    list->clearFocus();
    EXPECT_EQ(leftmostInk(shot(), topBorder, base), -1);
    list->activateWindow();
    list->setFocus();
    if (!list->hasFocus())
        GTEST_SKIP() << "the platform gives no keyboard focus";
    EXPECT_GE(leftmostInk(shot(), topBorder, base), 0);
}

TEST_F(MultiListTest, RightClickOpensThePopupWithoutChangingTheSelection)
{
    addRows(3);
    list->setSelected(2, true);
    QMenu menu;
    menu.addAction(u"Header"_s);
    list->setPopupMenu(&menu);
    QContextMenuEvent event(QContextMenuEvent::Mouse, list->itemRect(3).center(),
                            list->viewport()->mapToGlobal(list->itemRect(3).center()));
    QApplication::sendEvent(list->viewport(), &event);
    EXPECT_TRUE(menu.isVisible());
    EXPECT_TRUE(list->isSelected(2));
    EXPECT_FALSE(list->isSelected(3));
    menu.hide();
}

TEST(MultiListProperties, ScrollSpeedIsClamped)
{
    app();
    TMultiList list;
    EXPECT_EQ(list.scrollSpeed(), 5);
    const std::pair<int, int> cases[] = {{0, 1}, {-7, 1}, {1, 1}, {3, 3}, {5, 5}, {6, 5}, {99, 5}};
    for (const auto& [in, out] : cases) {
        SCOPED_TRACE(in);
        list.setScrollSpeed(in);
        EXPECT_EQ(list.scrollSpeed(), out);
    }
}

TEST(MultiListProperties, OutOfRangeIndicesAreIgnored)
{
    app();
    TMultiList list;
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

TEST_F(MultiListTest, RendersWithTheMessageListSettings)
{
    list->addItem(u" 1 | 2 KByte | 03.01.2000 | Erika Muster <erika@example.org> | Treffen am Montag |"_s);
    list->addItem(u" 2 | 154 KByte | 04.01.2000 | news@example.com | Ihr wöchentlicher Überblick mit sehr langem Betreff, der abgeschnitten wird |"_s);
    list->addItem(u" 3 | 1,2 MByte | 05.01.2000 | bob@example.net | Fotos |"_s);
    for (int i = 4; i <= 20; ++i)
        list->addItem(u" %1 | - | - | - | - |"_s.arg(i));
    list->setSelected(2, true);
    list->setSelected(3, true);
    list->setItemIndex(3);
    list->setFocus();
    QCoreApplication::processEvents();  // the scroll bar appears through a queued call
    const QImage image = list->grab().toImage();
    const QByteArray dir = qgetenv("SWEEPBOX_SHOTS_DIR");
    if (!dir.isEmpty())
        image.save(QString::fromLocal8Bit(dir) + u"/multilist.png"_s);
    EXPECT_EQ(image.size(), list->size());
}

}  // namespace
