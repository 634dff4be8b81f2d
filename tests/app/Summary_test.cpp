// Summary rows: the columns picked out of header texts and the size column.
#include "Summary.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SummaryFilter, ColumnsFromHeaderTexts) {
    const std::string date = "Date: Mon, 6 Mar 2000 10:22:33 +0100\r\n";
    const std::string longValue(230, 'x');
    // GetHeader's text ends with the empty line and the terminator line.
    auto h = [](const std::string& lines) { return lines + "\r\n.\r\n"; };
    const struct {
        const char* name;
        std::string header;
        std::string columns; // date|sender|subject|
    } rows[] = {
        {"no Date: line measures the first 30 characters",
         h("From: Support Desk\r\nSubject: Meeting\r\n"), "rt Desk\r\nSub|Support Desk|Meeting|"},
        {"first match is inside X-From:",
         h(date + "X-From: a\r\nFrom: b\r\nSubject: s\r\n"), "06 Mar 2000|a|s|"},
        {"subject containing Date: and a blank",
         h(date + "From: a\r\nSubject: Re: Date: soon\r\n"), "06 Mar 2000|a|No subject|"},
        {"value longer than the window gives the fallback and an empty subject",
         h(date + "From: " + longValue + "\r\nSubject: " + longValue + "\r\n"),
         "06 Mar 2000|No sender||"},
        {"value on the last line without a line end is empty; no Subject: reads from 8",
         date + "From: a", "06 Mar 2000|No sender|on, 6 Mar 2000 10:22:33 +0100|"},
        {"bars inside values do not open new columns",
         h(date + "From: a|b\r\nSubject: [list] x | y\r\n"), "06 Mar 2000|a/b|[list] x / y|"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(summary::filter(row.header, false), row.columns);
    }
}

TEST(SummaryFilter, GermanFallbacks) {
    EXPECT_EQ(summary::Row(12, "", summary::filter("", true)), " 12 | |Kein Datum|Kein Absender||");
    // Without From: the sender is read from position 6, here inside "Subject:".
    EXPECT_EQ(summary::filter("Subject:\r\nDate: Mon, 6 Mar 2000 10:22:33\r\n\r\n.\r\n", true),
              "06 Mar 2000|ct:|Die Betreff-Zeile ist leer|");
}

TEST(SummarySize, ColumnFromSizeText) {
    const struct {
        const char* size;
        const char* column;
    } rows[] = {
        {"", ""}, {"0", "0 Byte"}, {"999", "999 Byte"}, {"1000", "1 KByte"}, {"1499", "1 KByte"},
        {"1500", "2 KByte"}, {"999499", "999 KByte"}, {"999500", "1000 KByte"},
        {"1000000", "1.0 MByte"}, {"1049999", "1.0 MByte"}, {"1050000", "1.1 MByte"},
        // Leading zeros count as digits when choosing the unit.
        {"0999", "1 KByte"}, {"0000049999", "0.0 MByte"}, {"0000050000", "0.1 MByte"},
        // Far beyond any integer type: still exact.
        {"99999999999999999999999", "100000000000000000.0 MByte"},
        // Words after the number, as some STAT replies carry them.
        {"4500 octets", "5 KByte"}, {"12|x", "12 Byte"}, {"octets", ""}, {"-5", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        EXPECT_EQ(summary::DisplaySize(row.size), row.column);
    }
}

} // namespace
