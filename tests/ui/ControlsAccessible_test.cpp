// The painted controls as a screen reader sees them: roles, names and
// values, the press actions of the button and the link, and the text view's
// text interface, which reads no further than its limit however long the
// text.
#include "ui/ControlsAccessible.h"
#include "ui/HyperLink.h"
#include "ui/SpeedButton.h"
#include "ui/StatusBar.h"
#include "ui/StatusLabel.h"
#include "ui/TextView.h"

#include "support/AccessibleEventLog.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QMainWindow>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

QAccessibleInterface* Query(QObject* object) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
    EXPECT_NE(iface, nullptr);
    return iface;
}

bool Offers(QAccessibleInterface* iface, const QString& action) {
    return iface->actionInterface() && iface->actionInterface()->actionNames().contains(action);
}

TEST(SpeedButtonAccessible, IsAButtonNamedByTheWindowThatClicksWhenPressed) {
    sweepbox::test::EnsureApp();
    TSpeedButton button([](QPainter& p) { p.drawEllipse(2, 2, 16, 16); }, nullptr);
    button.setText(u"&Check"_s);
    QAccessibleInterface* iface = Query(&button);
    EXPECT_EQ(iface->role(), QAccessible::Button);
    EXPECT_EQ(iface->text(QAccessible::Name), u"Check"_s); // the caption, mnemonic taken out
    button.setAccessibleName(u"Check for new mail"_s);
    EXPECT_EQ(iface->text(QAccessible::Name), u"Check for new mail"_s);

    ASSERT_TRUE(Offers(iface, QAccessibleActionInterface::pressAction()));
    QSignalSpy clicked(&button, &QAbstractButton::clicked);
    iface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    // Qt shows the button pressed for a moment before it clicks.
    EXPECT_TRUE(clicked.count() == 1 || clicked.wait());
    EXPECT_EQ(clicked.count(), 1);
}

TEST(StatusLabelAccessible, IsStaticTextWithTheShownLinesEvenWhenNamed) {
    sweepbox::test::EnsureApp();
    TStatusLabel label(nullptr);
    label.Append(u"Q&A: connecting"_s);
    label.Append(u"done"_s);
    // The lines, without the empty one the label starts with.
    const QString shown = u"Q&A: connecting\ndone"_s;
    QAccessibleInterface* iface = Query(&label);
    EXPECT_EQ(iface->role(), QAccessible::StaticText);
    EXPECT_EQ(iface->text(QAccessible::Name), shown);
    EXPECT_EQ(iface->text(QAccessible::Value), shown);
    label.setAccessibleName(u"Status"_s);
    EXPECT_EQ(iface->text(QAccessible::Name), u"Status"_s);
    EXPECT_EQ(iface->text(QAccessible::Value), shown);
}

TEST(StatusBarAccessible, NamesTheShownTextTheMessageOrThePanels) {
    sweepbox::test::EnsureApp();
    QMainWindow window;
    auto* bar = new TStatusBar({70, 70, 50}, &window);
    window.setStatusBar(bar);
    QAccessibleInterface* iface = Query(bar);
    EXPECT_EQ(iface->role(), QAccessible::StatusBar);

    const struct {
        const char* name;
        QString panel0, panel2, message, accessibleName;
        QString expectedName, expectedValue;
    } rows[] = {
        {"nothing shown", {}, {}, {}, {}, {}, {}},
        {"panels", u"3 messages"_s, u"a=1&b=2"_s, {}, {}, u"3 messages, a=1&b=2"_s, u"3 messages, a=1&b=2"_s},
        {"a message hides the panels", u"3 messages"_s, {}, u"Connecting"_s, {}, u"Connecting"_s, u"Connecting"_s},
        {"an accessible name", u"3 messages"_s, {}, {}, u"Status"_s, u"Status"_s, u"3 messages"_s},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        bar->SetPanelText(0, row.panel0);
        bar->SetPanelText(2, row.panel2);
        bar->showMessage(row.message);
        bar->setAccessibleName(row.accessibleName);
        EXPECT_EQ(iface->text(QAccessible::Name), row.expectedName);
        EXPECT_EQ(iface->text(QAccessible::Value), row.expectedValue);
    }
    // The panels are children of their own.
    bar->SetPanelText(1, u"panel 1"_s);
    bool found = false;
    for (int i = 0; i < iface->childCount(); ++i)
        found = found || iface->child(i)->text(QAccessible::Name) == u"panel 1"_s;
    EXPECT_TRUE(found);
}

TEST(HyperLinkAccessible, IsALinkToItsTargetThatOpensItWhenPressed) {
    sweepbox::test::UrlSink sink;
    THyperLink link;
    link.HREF = u"https://www.example.org/?a=1&b=2"_s;
    link.SetCaption(u"Q&A pages"_s);
    QAccessibleInterface* iface = Query(&link);
    EXPECT_EQ(iface->role(), QAccessible::Link);
    EXPECT_EQ(iface->text(QAccessible::Name), u"Q&A pages"_s);
    EXPECT_EQ(iface->text(QAccessible::Value), link.HREF);
    EXPECT_TRUE(iface->state().linked);
    EXPECT_TRUE(iface->state().focusable);
    link.setAccessibleName(u"Questions"_s);
    EXPECT_EQ(iface->text(QAccessible::Name), u"Questions"_s);

    ASSERT_TRUE(Offers(iface, QAccessibleActionInterface::pressAction()));
    const auto press = [&] { iface->actionInterface()->doAction(QAccessibleActionInterface::pressAction()); };
    press();
    ASSERT_EQ(sink.opened.size(), 1u);
    EXPECT_EQ(sink.opened[0], QUrl(link.HREF));
    link.setEnabled(false);
    press();
    EXPECT_EQ(sink.opened.size(), 1u);
}

// ---- TTextView ------------------------------------------------------------

// Lines given as strings.
class TextLines : public TTextViewSource {
  public:
    explicit TextLines(QStringList lines) : lines_(std::move(lines)) {}
    qsizetype lineCount() const override { return lines_.size(); }
    qsizetype lineSize(qsizetype line) const override { return lines_.at(line).size(); }
    QString lineText(qsizetype line, qsizetype limit) const override { return lines_.at(line).left(limit); }

  private:
    QStringList lines_;
};

// Lines made when asked for, each `width` copies of a letter, so a text of
// many megabytes takes no memory; keeps the largest limit asked for.
class MadeLines : public TTextViewSource {
  public:
    MadeLines(qsizetype lines, qsizetype width) : lines_(lines), width_(width) {}
    qsizetype lineCount() const override { return lines_; }
    qsizetype lineSize(qsizetype) const override { return width_; }
    bool lineSizeIsLength(qsizetype) const override { return true; }
    QString lineText(qsizetype line, qsizetype limit) const override {
        largest = std::max(largest, limit);
        return QString(std::min(limit, width_), QChar(char16_t(u'a' + line % 26)));
    }
    mutable qsizetype largest = 0;

  private:
    qsizetype lines_, width_;
};

class TextViewAccessibleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureApp();
        view.resize(400, 300);
        iface = Query(&view);
        text = iface->textInterface();
        ASSERT_NE(text, nullptr);
    }
    void Show(QStringList lines) { view.setSource(std::make_shared<TextLines>(std::move(lines))); }
    std::pair<int, int> Selection() const {
        int start = -1, end = -1;
        text->selection(0, &start, &end);
        return {start, end};
    }

    TTextView view;
    QAccessibleInterface* iface = nullptr;
    QAccessibleTextInterface* text = nullptr;
};

TEST_F(TextViewAccessibleTest, IsReadOnlyMultiLineTextWithTheWholeShortText) {
    EXPECT_EQ(iface->role(), QAccessible::EditableText);
    EXPECT_TRUE(iface->state().readOnly);
    EXPECT_EQ(text->characterCount(), 0);

    Show({u"From: someone"_s, QString(), u"Hello \u00e9t\u00e9"_s});
    const QString whole = u"From: someone\n\nHello \u00e9t\u00e9"_s;
    EXPECT_EQ(text->characterCount(), whole.size());
    EXPECT_EQ(text->text(0, text->characterCount()), whole);
    EXPECT_EQ(iface->text(QAccessible::Value), whole);
    EXPECT_EQ(text->text(-5, 4), u"From"_s);
    EXPECT_EQ(text->text(21, 999), u"\u00e9t\u00e9"_s);
    int start = 0, end = 0;
    EXPECT_EQ(text->textAtOffset(16, QAccessible::LineBoundary, &start, &end), u"Hello \u00e9t\u00e9"_s);
    EXPECT_EQ(start, 15);

    // Another text replaces it.
    Show({u"new"_s});
    EXPECT_EQ(text->text(0, 99), u"new"_s);
}

TEST_F(TextViewAccessibleTest, SelectionAndCursorAreOffsetsBothWays) {
    Show({u"first line"_s, u"second line"_s, u"third"_s});
    EXPECT_EQ(text->selectionCount(), 0);
    EXPECT_EQ(text->cursorPosition(), 0);

    // Offsets: "first line" 0..10, '\n' 10, "second line" 11..22, '\n' 22, "third" 23..28.
    view.setSelection({1, 7}, {0, 6});
    EXPECT_EQ(text->selectionCount(), 1);
    EXPECT_EQ(Selection(), std::pair(6, 18));
    EXPECT_EQ(text->cursorPosition(), 6);

    const struct {
        const char* name;
        int start, end;
        QString selected;
        int cursor;
    } rows[] = {
        {"across lines", 6, 16, u"line\nsecon"_s, 16},
        {"backwards", 28, 23, u"third"_s, 23},
        {"clamped into the text", -4, 99, u"first line\nsecond line\nthird"_s, 28},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        text->setSelection(0, row.start, row.end);
        EXPECT_EQ(view.selectedText(), row.selected);
        EXPECT_EQ(text->cursorPosition(), row.cursor);
    }
    text->removeSelection(0);
    EXPECT_FALSE(view.hasSelection());
    text->setCursorPosition(24);
    EXPECT_EQ(view.cursorPosition(), (TTextView::Position{2, 1}));
    text->setSelection(1, 0, 5); // only selection 0 exists
    EXPECT_FALSE(view.hasSelection());
}

TEST_F(TextViewAccessibleTest, CharacterRectsAndPointsAgree) {
    Show({u"alpha beta"_s, u"gamma"_s});
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    for (const int offset : {0, 4, 9, 11, 15}) {
        SCOPED_TRACE(offset);
        const QRect r = text->characterRect(offset);
        ASSERT_FALSE(r.isEmpty());
        EXPECT_EQ(text->offsetAtPoint(r.center()), offset);
    }
    EXPECT_TRUE(text->characterRect(-1).isNull());
    EXPECT_TRUE(text->characterRect(99).isNull());
    EXPECT_EQ(text->offsetAtPoint(view.viewport()->mapToGlobal(QPoint(-5, -5))), -1);
}

TEST_F(TextViewAccessibleTest, AHugeTextIsReadUpToTheLimitWithoutConvertingMore) {
    const struct {
        const char* name;
        qsizetype lines, width;
    } rows[] = {
        {"one line of 20 MB", 1, qsizetype(20) << 20},
        {"20 MB in lines of 1000", 20 << 10, 1000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto source = std::make_shared<MadeLines>(row.lines, row.width);
        view.setSource(source);
        view.setSelection({0, 10}, {row.lines - 1, row.width - 5});
        source->largest = 0; // what the view itself converted does not count
        ASSERT_EQ(text->characterCount(), accessible::TextViewReadLimit);
        EXPECT_EQ(iface->text(QAccessible::Value).size(), accessible::TextViewReadLimit);
        EXPECT_EQ(text->text(0, 3), u"aaa"_s);
        // A place past the window reads as its end.
        EXPECT_EQ(Selection(), std::pair(10, accessible::TextViewReadLimit));
        EXPECT_EQ(text->cursorPosition(), accessible::TextViewReadLimit);
        EXPECT_LE(source->largest, accessible::TextViewReadLimit);
    }
}

TEST_F(TextViewAccessibleTest, ReportsSelectionCursorAndNewText) {
    Show({u"first line"_s, u"second line"_s});
    EXPECT_EQ(text->characterCount(), 22); // read once, as a screen reader would
    sweepbox::test::AccessibleEventLog log;

    view.setSelection({0, 6}, {1, 6});
    auto selections = log.ofType(QAccessible::TextSelectionChanged);
    ASSERT_EQ(selections.size(), 1u);
    EXPECT_EQ(selections[0].first, 6);
    EXPECT_EQ(selections[0].last, 17);
    EXPECT_EQ(selections[0].cursor, 17);
    auto moves = log.ofType(QAccessible::TextCaretMoved);
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0].cursor, 17);

    log.entries.clear();
    view.setSelection({0, 2}, {1, 6}); // the cursor stays
    EXPECT_EQ(log.ofType(QAccessible::TextSelectionChanged).size(), 1u);
    EXPECT_TRUE(log.ofType(QAccessible::TextCaretMoved).empty());

    log.entries.clear();
    Show({u"other"_s});
    const auto updates = log.ofType(QAccessible::TextUpdated);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].removed, u"first line\nsecond line"_s);
    EXPECT_EQ(updates[0].inserted, u"other"_s);
}

} // namespace

#include "support/moc_QtTestApp.cpp"
