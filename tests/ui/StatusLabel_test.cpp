// What does the status label keep and what does it show, for texts with
// carriage returns, appended messages and markup?
#include "ui/StatusLabel.h"

#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

TEST(StatusLabel, KeepsTheCarriageReturnsAndShowsLines) {
    sweepbox::test::EnsureApp();
    const struct {
        const char* name;
        std::function<void(TStatusLabel&)> act;
        const char* kept;
        const char* shown;
    } rows[] = {
        {"empty", [](TStatusLabel&) {}, "", ""},
        {"one message", [](TStatusLabel& l) { l.Append(QStringLiteral("Connecting")); }, "\rConnecting",
         "\nConnecting"},
        {"two messages",
         [](TStatusLabel& l) {
             l.Append(QStringLiteral("a"));
             l.Append(QStringLiteral("b"));
         },
         "\ra\rb", "\na\nb"},
        {"CR LF is one line break", [](TStatusLabel& l) { l.SetText(QStringLiteral("x\r\ny\rz")); }, "x\r\ny\rz",
         "x\ny\nz"},
        {"cleared",
         [](TStatusLabel& l) {
             l.Append(QStringLiteral("a"));
             l.Clear();
         },
         "", ""},
        {"markup stays text", [](TStatusLabel& l) { l.Append(QStringLiteral("<b>bold</b>")); }, "\r<b>bold</b>",
         "\n<b>bold</b>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TStatusLabel label(nullptr);
        row.act(label);
        EXPECT_EQ(label.Text(), QString::fromUtf8(row.kept));
        EXPECT_EQ(label.text(), QString::fromUtf8(row.shown));
        EXPECT_EQ(label.textFormat(), Qt::PlainText);
    }
}

} // namespace
