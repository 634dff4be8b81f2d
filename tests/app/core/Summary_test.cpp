// Summary rows: the columns picked out of header texts and the size column.
#include "app/core/Summary.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SummaryFilter, ColumnsFromTheirOwnFields) {
    const std::string date = "Date: Mon, 6 Mar 2000 10:22:33 +0100\r\n";
    const std::string longValue(230, 'x');
    // GetHeader's text ends with the empty line and the terminator line.
    auto h = [](const std::string& lines) { return lines + "\r\n.\r\n"; };
    const std::string dkim = "DKIM-Signature: v=1; a=rsa-sha256; d=example.org; s=s1;\r\n"
                             "\th=From:To:Subject:Date:Message-ID; bh=abc=; b=def\r\n";
    const struct {
        const char* name;
        std::string header;
        std::string columns; // date|sender|subject|
    } rows[] = {
        {"the worked row", h(date + "From: Support Desk\r\nSubject: Meeting\r\n"), "06 Mar 2000|Support Desk|Meeting|"},
        {"two-digit day", h("Date: Mon, 13 Mar 2000 10:22:33 +0100\r\n"), "13 Mar 2000|No sender||"},
        {"no weekday, one-digit day", h("Date: 6 Mar 2000 10:22:33 +0100\r\n"), "06 Mar 2000|No sender||"},
        {"field names inside a signature are no fields",
         h(dkim + "From: a@example.org\r\nSubject: Hello\r\n" + date), "06 Mar 2000|a@example.org|Hello|"},
        {"no Date: line gives the fallback, never another field",
         h("From: Support Desk\r\nSubject: Meeting\r\nMIME-Version: 1.0\r\n"), "No date|Support Desk|Meeting|"},
        {"X-From: is not From:", h(date + "X-From: a\r\nFrom: b\r\nSubject: s\r\n"), "06 Mar 2000|b|s|"},
        {"names in any case", h("DATE: Mon, 6 Mar 2000 10:22:33 +0100\r\nfrom: b\r\nsubject: s\r\n"),
         "06 Mar 2000|b|s|"},
        {"folded values are unfolded", h(date + "From: Support\r\n Desk\r\nSubject: a\r\n\tb\r\n"),
         "06 Mar 2000|Support Desk|a\tb|"},
        {"a subject containing Date: is the subject", h(date + "From: a\r\nSubject: Re: Date: soon\r\n"),
         "06 Mar 2000|a|Re: Date: soon|"},
        {"an empty subject before the Date: line", h("From: a\r\nSubject:\r\n" + date), "06 Mar 2000|a|No subject|"},
        {"an empty subject before another field", h(date + "From: a\r\nSubject:\r\nTo: x\r\n"),
         "06 Mar 2000|a|No subject|"},
        {"an empty sender", h(date + "From:\r\nTo: x\r\n"), "06 Mar 2000|No sender||"},
        {"long values stay whole", h(date + "From: " + longValue + "\r\nSubject: " + longValue + "\r\n"),
         "06 Mar 2000|" + longValue + "|" + longValue + "|"},
        {"fields after the header are not read", h(date + "\r\nFrom: body\r\nSubject: body\r\n"),
         "06 Mar 2000|No sender||"},
        {"an unparsable date shows its first characters", h("Date: sometime next week, promise\r\n"),
         "ime next wee|No sender||"},
        {"a value on the last line without a line end", date + "From: a", "06 Mar 2000|a||"},
        {"the first line of each field counts", h(date + "From: a\r\nSubject: s\r\nFrom: b\r\nSubject: t\r\n" +
                                                  "Date: Tue, 7 Mar 2000 10:00:00 +0000\r\n"),
         "06 Mar 2000|a|s|"},
        {"the fields in reverse order", h("Subject: s\r\nFrom: a\r\n" + date), "06 Mar 2000|a|s|"},
        {"bars inside values do not open new columns", h(date + "From: a|b\r\nSubject: [list] x | y\r\n"),
         "06 Mar 2000|a/b|[list] x / y|"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(summary::filter(row.header, false), row.columns);
    }
}

TEST(SummaryFilter, GermanFallbacks) {
    EXPECT_EQ(summary::Row(12, "", summary::filter("", true)), " 12 | |Kein Datum|Kein Absender||");
    EXPECT_EQ(summary::filter("Subject:\r\nDate: Mon, 6 Mar 2000 10:22:33\r\n\r\n.\r\n", true),
              "06 Mar 2000|Kein Absender|Die Betreff-Zeile ist leer|");
}

TEST(SummaryDate, FormsOfRfc5322) {
    const struct {
        const char* value;
        const char* text; // nullptr: not a date
        int64_t utc;
    } rows[] = {
        {"Mon, 6 Mar 2000 10:22:33 +0100", "06 Mar 2000", 952334553},
        {"6 Mar 2000 09:22:33 +0000", "06 Mar 2000", 952334553},
        {"Mon,6 Mar 2000 09:22:33 GMT", "06 Mar 2000", 952334553},
        {"Mon, 06 Mar 00 04:22:33 EST", "06 Mar 2000", 952334553},           // two-digit year, zone name
        {"Mon, 6 Mar 100 09:22:33 -0000 (UTC)", "06 Mar 2000", 952334553},   // three-digit year, comment
        {"Sun, 5 Mar 2000 23:22:33 -1000", "05 Mar 2000", 952334553},        // the date as written
        {"(comment) Mon, 6 mar 2000 09:22 UT", "06 Mar 2000", 952334520},    // no seconds
        {"6-Mar-1999 09:22:33 +0000", "06 Mar 1999", 920712153},
        {"29 Feb 2024 00:00:00 +0000", "29 Feb 2024", 1709164800},
        {"29 Feb 2023 00:00:00 +0000", nullptr, 0},
        {"32 Mar 2000 00:00:00 +0000", nullptr, 0},
        {"6 Foo 2000 00:00:00 +0000", nullptr, 0},
        {"6 Mar 2000 25:00:00 +0000", nullptr, 0},
        {"6 Mar 2000 10:00:00 +01", "06 Mar 2000", 952333200},   // a short zone, read as hours
        {"yesterday", nullptr, 0},
        {"", nullptr, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        summary::TDate d;
        const bool ok = summary::ParseDate(row.value, d);
        EXPECT_EQ(ok, row.text != nullptr);
        if (ok && row.text) {
            EXPECT_EQ(summary::DateText(d), row.text);
            EXPECT_EQ(d.Utc, row.utc);
        }
    }
}

TEST(SummaryDate, TextPadsTheDayAndYear) {
    const struct {
        summary::TDate date;
        const char* text;
    } rows[] = {
        {{2024, 1, 31, 0}, "31 Jan 2024"},
        {{987, 12, 1, 0}, "01 Dec 0987"},
        {{1900, 6, 9, 0}, "09 Jun 1900"},
        {{12345, 6, 9, 0}, "09 Jun 12345"}, // no year is cut
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(summary::DateText(row.date), row.text);
    }
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
        // Decimal only: another base or a unit glued on is no size.
        {"0x10", ""}, {"12k", ""}, {"$10", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        EXPECT_EQ(summary::DisplaySize(row.size), row.column);
    }
}

// What is left of a mailbox size once some bytes went?
TEST(SizeLess, SubtractsFromTheServersTextExactly) {
    const struct {
        const char* size;
        uint64_t bytes;
        const char* left;
    } rows[] = {
        {"9500", 5500, "4000"},
        {"9500 octets", 9500, "0"},
        {"100", 101, "0"}, // LIST and STAT disagree: never below nothing
        {"00120", 20, "100"},
        {"123456789012345678901234567890", 1, "123456789012345678901234567889"},
        {"100000000000000000000", 18446744073709551615ull, "81553255926290448385"},
        {"x12", 1, ""},
        {"", 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        EXPECT_EQ(summary::SizeLess(row.size, row.bytes), row.left);
    }
}

} // namespace
