// Does a message read the same in the preview as in the message window:
// charsets, a NUL, HTML as text, and only as many lines as asked for?
#include "app/core/MessageText.h"

#include "mail/message/KelMsg.h"
#include "support/QtCoreTestApp.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using namespace Qt::StringLiterals;
using namespace std::string_literals;

std::unique_ptr<kel::TKelMsg> Parsed(const std::string& Raw) {
    auto msg = std::make_unique<kel::TKelMsg>();
    std::vector<std::string_view> lines;
    kel::AppendSplitLines(lines, Raw);
    msg->ParseLines(lines);
    return msg;
}

// An HTML-only message whose paragraphs make many lines of text.
std::string HtmlOnly(int Paragraphs) {
    std::string m = "Subject: news\r\nContent-Type: text/html; charset=iso-8859-1\r\n\r\n<html><body>\r\n";
    for (int i = 0; i < Paragraphs; ++i)
        m += "<p>Absatz " + std::to_string(i) + " f\xfcr <b>alle</b> &amp; jeden</p>\r\n";
    return m + "</body></html>\r\n";
}

TEST(ReadableLines, ReadsAsTheMessageWindowDoes) {
    sweepbox::test::EnsureCoreApp();
    struct Row {
        const char* name;
        std::string raw;
        qsizetype max;
        QStringList lines;
    };
    const Row rows[] = {
        {"latin-1 text", "Content-Type: text/plain; charset=iso-8859-1\r\n\r\nGr\xfc\xdf" "e\r\nzwei\r\n", -1,
         {u"Grüße"_s, u"zwei"_s}},
        {"utf-8 text", "Content-Type: text/plain; charset=utf-8\r\n\r\nK\xc3\xb6ln\r\n", -1, {u"Köln"_s}},
        {"a NUL shows as its symbol", "Subject: x\r\n\r\na"s + '\0' + "b\r\n", -1, {u"a\u2400b"_s}},
        {"as many lines as asked", "Subject: x\r\n\r\n1\r\n2\r\n3\r\n", 2, {u"1"_s, u"2"_s}},
        {"an alternative's plain part, not its markup",
         "Content-Type: multipart/alternative; boundary=\"A\"\r\n\r\n--A\r\nContent-Type: text/plain\r\n\r\n"
         "plain\r\n--A\r\nContent-Type: text/html\r\n\r\n<p>rich</p>\r\n--A--\r\n",
         1, {u"plain"_s}},
        {"HTML-only as text", "Content-Type: text/html\r\n\r\n<p>One &amp; <i>two</i></p><p>Three</p>\r\n", -1,
         {u"One & two"_s, u""_s, u"Three"_s}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ReadableLines(*Parsed(row.raw), row.max), row.lines);
    }
}

// A long HTML message: the first lines are those of the whole conversion,
// made without converting it all.
TEST(ReadableLines, HtmlStartIsTheWholeConversionsStart) {
    sweepbox::test::EnsureCoreApp();
    const auto msg = Parsed(HtmlOnly(5000));
    const QStringList whole = ReadableLines(*msg);
    ASSERT_GT(whole.size(), 5000);
    EXPECT_EQ(whole.first(), u"Absatz 0 für alle & jeden"_s);
    const QStringList start = ReadableLines(*msg, 40);
    EXPECT_EQ(start, whole.mid(0, 40));
}

// Bytes that do not fit the declared charset fall back line by line, so one
// bad line does not change how the others read.
TEST(DecodeMarkup, FallsBackLineByLine) {
    sweepbox::test::EnsureCoreApp();
    EXPECT_EQ(DecodeMarkup("<p>K\xc3\xb6ln</p>\n<p>M\xfcller</p>", "utf-8"), u"<p>Köln</p>\n<p>Müller</p>\n"_s);
    EXPECT_EQ(DecodeMarkup("<p>K\xc3\xb6ln</p>", "utf-8"), u"<p>Köln</p>"_s);
}

} // namespace
