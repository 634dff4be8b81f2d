// TTextView: does it convert only what it draws, open huge texts and lines at
// once, scroll and select by keyboard and mouse, copy exactly what was
// selected, and paint in the palette's colours?
#include "ui/TextView.h"

#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QMenu>
#include <QScrollBar>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// Lines of UTF-8 bytes that count what the view has them convert.
class CountingLines : public TTextViewSource {
  public:
    explicit CountingLines(std::vector<std::string> lines) : lines_(std::move(lines)) {}
    qsizetype lineCount() const override { return static_cast<qsizetype>(lines_.size()); }
    qsizetype lineSize(qsizetype line) const override { return static_cast<qsizetype>(at(line).size()); }
    bool lineSizeIsLength(qsizetype line) const override {
        for (const char c : at(line))
            if (static_cast<unsigned char>(c) >= 0x80)
                return false;
        return true;
    }
    QString lineText(qsizetype line, qsizetype limit) const override {
        const std::string& bytes = at(line);
        const qsizetype size = std::min(static_cast<qsizetype>(bytes.size()), limit);
        ++conversions;
        converted += size;
        return QString::fromUtf8(bytes.data(), size);
    }
    mutable int conversions = 0;
    mutable qsizetype converted = 0;

  private:
    const std::string& at(qsizetype line) const { return lines_.at(static_cast<std::size_t>(line)); }
    std::vector<std::string> lines_;
};

std::vector<std::string> ManyLines(std::size_t count) {
    std::vector<std::string> lines;
    lines.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        lines.push_back("Line " + std::to_string(i) +
                        " of a long plain text message, with some words in it, and more.");
    return lines;
}

class TextViewTest : public ::testing::Test {
  protected:
    void SetUp() override { view.resize(400, 300); }
    std::shared_ptr<CountingLines> Show(std::vector<std::string> lines) {
        auto source = std::make_shared<CountingLines>(std::move(lines));
        view.setSource(source);
        view.show();
        view.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&view));
        return source;
    }
    // Paints the viewport now, as a person would see it.
    QImage Shot() { return view.viewport()->grab().toImage(); }
    void Key(int key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(&view, static_cast<Qt::Key>(key), modifiers);
    }
    QRect Cell(qsizetype line, qsizetype column) {
        const QRect r = view.characterRect({line, column});
        EXPECT_FALSE(r.isNull()) << "character " << line << ":" << column << " not in view";
        return r;
    }
    // Points nearest to the place before or after a character.
    QPoint Before(qsizetype line, qsizetype column) {
        const QRect r = Cell(line, column);
        return QPoint(r.left() + 1, r.center().y());
    }
    QPoint After(qsizetype line, qsizetype column) {
        const QRect r = Cell(line, column);
        return QPoint(r.right() - 1, r.center().y());
    }
    int Rows() const { return view.viewport()->height() / view.lineHeight(); }

    QApplication& app = sweepbox::test::EnsureApp();
    TTextView view;
};

TEST_F(TextViewTest, HugeTextsOpenAtOnceAndOnlyTheLinesInViewAreConverted) {
    const struct {
        const char* name;
        std::vector<std::string> lines;
    } rows[] = {
        {"one 1 MiB line without blanks", {std::string(1 << 20, 'x')}},
        {"a 2 MiB line between short ones", {"a", std::string(2 << 20, 'y'), "b"}},
        {"a 3 MiB line is elided", {std::string(3 << 20, 'z')}},
        {"20 MB in 240,000 lines", ManyLines(240000)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // In columns; an elided line shows an ellipsis after its start.
        qsizetype widest = 0;
        for (const std::string& line : row.lines) {
            const auto size = static_cast<qsizetype>(line.size());
            widest = std::max(widest, size > TTextView::MaxShownLength ? TTextView::MaxShownLength + 1 : size);
        }
        const auto source = Show(row.lines);
        const QImage first = Shot();
        EXPECT_EQ(view.lineCount(), static_cast<qsizetype>(row.lines.size()));
        EXPECT_LE(source->conversions, Rows() + 2) << "converts the lines in view, no more";
        EXPECT_LE(source->converted, (Rows() + 2) * TTextView::ConvertedAtOnce) << "and of long lines the start";
        const QScrollBar* h = view.horizontalScrollBar();
        EXPECT_LE(h->maximum(), widest);
        EXPECT_GT(h->maximum(), widest - 100);
        EXPECT_EQ(view.verticalScrollBar()->maximum(), std::max<int>(0, int(row.lines.size()) - Rows()));

        // At the far end the rest of the lines there is converted, once:
        // painting again and going back converts nothing.
        Key(Qt::Key_End);
        view.horizontalScrollBar()->setValue(h->maximum());
        const QImage end = Shot();
        const int before = source->conversions;
        EXPECT_EQ(Shot(), end);
        view.horizontalScrollBar()->setValue(0);
        Key(Qt::Key_Home);
        EXPECT_EQ(Shot(), first);
        EXPECT_EQ(source->conversions, before);
    }
}

// Lines that fit offer nothing to scroll sideways, whatever their letters;
// one wider than the view, or a tab reaching past it, does.
TEST_F(TextViewTest, ScrollsSidewaysOnlyWhenALineIsWiderThanTheView) {
    const QFontMetrics fm = view.fontMetrics();
    const int room = 400 - 10; // about the viewport, less its margin
    auto fitting = [&](const std::string& unit) {
        std::string line;
        while (fm.horizontalAdvance(QString::fromStdString(line + unit)) < room * 8 / 10)
            line += unit;
        return line;
    };
    const struct {
        const char* name;
        std::vector<std::string> lines;
        bool scrolls;
    } rows[] = {
        {"short lines", {"Hi,", "", "here is a picture of the lake."}, false},
        {"narrow letters filling most of the view", {fitting("il")}, false},
        {"wide letters filling most of the view", {fitting("W")}, false},
        {"twice the view", {fitting("W") + fitting("W") + fitting("W")}, true},
        {"tabs past the view", {fitting("i") + "\t\t\t\t\t\t\tend"}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Show(row.lines);
        EXPECT_EQ(view.horizontalScrollBar()->maximum() > 0, row.scrolls);
    }
}

TEST_F(TextViewTest, KeysAndWheelScroll) {
    std::vector<std::string> lines = ManyLines(1000);
    lines[3] = std::string(500, 'w');
    Show(lines);
    const int rows = Rows();
    const int last = 1000 - rows;
    const struct {
        const char* name;
        int key;
        Qt::KeyboardModifiers modifiers;
        qsizetype line, column; // where the view is afterwards
    } steps[] = {
        {"Down", Qt::Key_Down, {}, 1, 0},
        {"Page Down", Qt::Key_PageDown, {}, 1 + rows, 0},
        {"Up", Qt::Key_Up, {}, rows, 0},
        {"Page Up", Qt::Key_PageUp, {}, 0, 0},
        {"Right", Qt::Key_Right, {}, 0, 1},
        {"Right again", Qt::Key_Right, {}, 0, 2},
        {"Left", Qt::Key_Left, {}, 0, 1},
        {"End goes to the bottom", Qt::Key_End, {}, last, 0},
        {"Up from the bottom", Qt::Key_Up, {}, last - 1, 0},
        {"Ctrl+Home goes to the top", Qt::Key_Home, Qt::ControlModifier, 0, 0},
        {"Up at the top stays", Qt::Key_Up, {}, 0, 0},
        {"Left at the start stays", Qt::Key_Left, {}, 0, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        Key(step.key, step.modifiers);
        EXPECT_EQ(view.firstVisibleLine(), step.line);
        EXPECT_EQ(view.firstVisibleColumn(), step.column);
    }
    EXPECT_FALSE(view.hasSelection()) << "keys without Shift only scroll";

    // One notch of the wheel scrolls the system's number of lines.
    const QPoint middle = view.viewport()->rect().center();
    QWheelEvent wheel(middle, view.viewport()->mapToGlobal(middle), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view.viewport(), &wheel);
    EXPECT_EQ(view.firstVisibleLine(), QApplication::wheelScrollLines());
}

TEST_F(TextViewTest, MouseAndKeyboardSelectionsCopyExactlyTheSelectedText) {
    const std::string elided(TTextView::MaxShownLength + 5000, 'e');
    Show({"Hello world", "Grüße aus Köln", "", "tab\there", "last line", elided + "END"});
    view.setFocus();
    QClipboard* clipboard = QGuiApplication::clipboard();
    const auto copied = [&] {
        clipboard->setText(u"<nothing>"_s);
        Key(Qt::Key_C, Qt::ControlModifier);
        return clipboard->text();
    };

    // A drag from "world" into the second line.
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, Before(0, 6));
    QTest::mouseMove(view.viewport(), Before(1, 5));
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, Before(1, 5));
    EXPECT_EQ(view.selectedText(), u"world\nGrüße"_s);
    EXPECT_EQ(copied(), u"world\nGrüße"_s);

    // Shift+click extends; a double click takes a word.
    QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ShiftModifier, After(3, 2));
    EXPECT_EQ(view.selectedText(), u"world\nGrüße aus Köln\n\ntab"_s);
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, Cell(1, 11).center());
    EXPECT_EQ(view.selectedText(), u"Köln"_s);

    using Keys = std::vector<std::pair<int, Qt::KeyboardModifiers>>;
    const struct {
        const char* name;
        TTextView::Position from;
        Keys keys;
        QString selected;
    } rows[] = {
        {"Shift+Right over a tab",
         {3, 3},
         Keys{{Qt::Key_Right, Qt::ShiftModifier}, {Qt::Key_Right, Qt::ShiftModifier}},
         u"\th"_s},
        {"Shift+Down keeps the column", {3, 3}, Keys{{Qt::Key_Down, Qt::ShiftModifier}}, u"\there\nlas"_s},
        {"Shift+Left across the line start", {3, 0}, Keys{{Qt::Key_Left, Qt::ShiftModifier}}, u"\n"_s},
        {"Shift+Right across the line end", {2, 0}, Keys{{Qt::Key_Right, Qt::ShiftModifier}}, u"\n"_s},
        {"Shift+End to the line's end", {3, 3}, Keys{{Qt::Key_End, Qt::ShiftModifier}}, u"\there"_s},
        {"Shift+Home to the line's start", {1, 5}, Keys{{Qt::Key_Home, Qt::ShiftModifier}}, u"Grüße"_s},
        {"Ctrl+Shift+Home to the start",
         {3, 3},
         Keys{{Qt::Key_Home, Qt::ShiftModifier | Qt::ControlModifier}},
         u"Hello world\nGrüße aus Köln\n\ntab"_s},
        {"Shift+Up and back down selects nothing",
         {4, 2},
         Keys{{Qt::Key_Up, Qt::ShiftModifier}, {Qt::Key_Down, Qt::ShiftModifier}},
         QString()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        view.setSelection(row.from, row.from);
        for (const auto& [key, modifiers] : row.keys)
            Key(key, modifiers);
        EXPECT_EQ(view.selectedText(), row.selected);
        if (!row.selected.isEmpty()) {
            EXPECT_EQ(copied(), row.selected);
        }
    }

    // Everything, the whole elided line included.
    Key(Qt::Key_A, Qt::ControlModifier);
    const QString all =
        u"Hello world\nGrüße aus Köln\n\ntab\there\nlast line\n"_s + QString::fromStdString(elided) + u"END"_s;
    EXPECT_EQ(copied(), all);
    EXPECT_EQ(view.toPlainText(), all);
    // The end of what an elided line shows stands for its end.
    view.setSelection({5, TTextView::MaxShownLength - 2}, {5, TTextView::MaxShownLength});
    EXPECT_EQ(view.selectedText(), QString(5002, u'e') + u"END"_s);

    // The context menu copies too, and only with something selected.
    view.setSelection({4, 0}, {4, 4});
    const std::unique_ptr<QMenu> menu(view.createContextMenu());
    QAction* copy = menu->findChild<QAction*>(u"copy"_s);
    ASSERT_NE(copy, nullptr);
    ASSERT_TRUE(copy->isEnabled());
    clipboard->setText(u"<nothing>"_s);
    copy->trigger();
    EXPECT_EQ(clipboard->text(), u"last"_s);
    view.clearSelection();
    const std::unique_ptr<QMenu> none(view.createContextMenu());
    EXPECT_FALSE(none->findChild<QAction*>(u"copy"_s)->isEnabled());
}

TEST_F(TextViewTest, KeyboardSelectionStartsInViewAndScrollsAlong) {
    Show(ManyLines(500));
    view.setFocus();
    Key(Qt::Key_PageDown);
    Key(Qt::Key_PageDown);
    const qsizetype top = view.firstVisibleLine();
    // The cursor (0,0) is out of view: the selection starts at the top left.
    Key(Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(view.selectedText(), u"L"_s);
    EXPECT_EQ(view.cursorPosition().line, top);
    for (int i = 0; i < Rows() + 3; ++i)
        Key(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(view.cursorPosition().line, top + Rows() + 3);
    EXPECT_FALSE(view.characterRect(view.cursorPosition()).isNull()) << "the cursor stays in view";
    EXPECT_EQ(view.firstVisibleLine(), top + 4);
}

TEST_F(TextViewTest, PaintsInThePaletteColoursOnly) {
    QPalette palette = view.palette();
    const QColor base(10, 20, 30), text(240, 230, 220), highlight(0, 128, 0), highlighted(255, 0, 255);
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Base, base);
        palette.setColor(group, QPalette::Text, text);
        palette.setColor(group, QPalette::Highlight, highlight);
        palette.setColor(group, QPalette::HighlightedText, highlighted);
    }
    view.setPalette(palette);
    QFont font = view.font();
    font.setPixelSize(20);
    view.setFont(font);
    // Full blocks cover their cells, so their colour shows unblended.
    const std::string block = "\xE2\x96\x88";
    Show({block + block, block + "  " + block + block});
    view.setSelection({1, 1}, {1, 4}); // two blanks and a block
    const QImage image = Shot();
    const auto colourAt = [&](qsizetype line, qsizetype column) {
        return image.pixelColor(Cell(line, column).center());
    };
    EXPECT_EQ(image.pixelColor(image.width() - 5, image.height() - 5), base);
    EXPECT_EQ(colourAt(0, 1), text);
    EXPECT_EQ(colourAt(1, 0), text);
    EXPECT_EQ(colourAt(1, 1), highlight);
    EXPECT_EQ(colourAt(1, 2), highlight);
    EXPECT_EQ(colourAt(1, 3), highlighted);
    EXPECT_EQ(colourAt(1, 4), text);

    // The focus frame, in the highlight colour, inside the edge.
    view.clearFocus();
    EXPECT_EQ(Shot().pixelColor(0, image.height() / 2), base);
    view.setFocus();
    EXPECT_EQ(Shot().pixelColor(0, image.height() / 2), highlight);
}

} // namespace
