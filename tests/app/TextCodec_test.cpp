// How do message bytes show on screen, and how does a text split into lines?
#include "TextCodec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

TEST(DisplayText, ValidUtf8ShowsAsUtf8AndAnythingElseAsWindows1252WithOneCharacterEachByte) {
    struct Row {
        const char* name;
        std::string bytes;
        QString shown;
    };
    const std::vector<Row> rows = {
        {"1252 euro and quotes", "\x80 \x93x\x94", QString::fromUtf8("€ “x”")},
        {"1252 unassigned bytes keep their code", "\x81\x8D\x8F\x90\x9D",
         QString(QChar(0x81)) + QChar(0x8D) + QChar(0x8F) + QChar(0x90) + QChar(0x9D)},
        {"cut UTF-8 sequence", "ab\xC3", QStringLiteral("ab") + QChar(0xC3)},
        {"overlong UTF-8 is not UTF-8", "\xC0\xAF", QString(QChar(0xC0)) + QChar(0xAF)},
        {"UTF-8 surrogate is not UTF-8", "\xED\xA0\x80", QString(QChar(0xED)) + QChar(0xA0) + QChar(0x20AC)},
        {"NUL byte kept", "a\0b"s, QStringLiteral("a") + QChar(0) + QStringLiteral("b")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DisplayText(row.bytes), row.shown);
    }
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const QString shown = FromWindows1252(all);
    ASSERT_EQ(shown.size(), 256) << "every byte is one character";
    EXPECT_EQ(shown[0x9F], QChar(0x0178));
    EXPECT_EQ(shown[0xFF], QChar(0x00FF));
}

TEST(SplitTextLines, EndsLinesAtCrLfLoneCrLoneLfAndStopsAtNulThenEachLineShowsOnItsOwn) {
    struct Row {
        const char* name;
        std::string text;
        std::vector<std::string> lines;
    };
    const std::vector<Row> rows = {
        {"empty", "", {}},
        {"CR LF, the final one adding no line", "a\r\nb\r\n", {"a", "b"}},
        {"lone CR and lone LF", "a\rb\nc", {"a", "b", "c"}},
        {"LF CR is two ends", "a\n\rb", {"a", "", "b"}},
        {"NUL ends the text", "a\r\nb\0c\r\nd"s, {"a", "b"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(SplitTextLines(row.text), row.lines);
    }
}

} // namespace
