// What does each cell of a list row show for a header, and in which order do
// rows sort by each column?
#include "app/core/ListRows.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

// Failures show the text, not its code units.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

using namespace std::string_literals;
using namespace Qt::StringLiterals;

TEST(SenderCell, TheFirstMailboxsNameElseItsAddress) {
    const struct {
        const char* name;
        std::string from;
        const char* shown; // UTF-8
    } rows[] = {
        {"plain phrase", "John Doe <john@example.org>", "John Doe"},
        {"quoted name with a comma", "\"Doe, John\" <john@example.org>", "Doe, John"},
        {"quoted name with escapes", R"("John \"JD\" Doe \\ Sr." <jd@example.org>)",
         R"(John "JD" Doe \ Sr.)"},
        {"quoted angle brackets", "\"a <b>\" <c@example.org>", "a <b>"},
        {"encoded-word name", "=?ISO-8859-1?Q?J=FCrgen_M=FCller?= <j@example.org>",
         "Jürgen Müller"},
        {"encoded word beside a plain word", "Ville =?ISO-8859-1?Q?Skytt=E4?= <v@example.fi>",
         "Ville Skyttä"},
        {"encoded name holding a comma",
         "=?iso-8859-1?Q?Last=DFlName=2C_FirstName?= <c@example.com>", "LastßlName, FirstName"},
        {"encoded name, a tab before the address",
         "=?UTF-8?B?0JLRgNC10LzRjyDQv9GA0LjRiNC70L4=?=\t<n@example.com>", "Время пришло"},
        {"encoded name without any address",
         "=?koi8-r?B?8sXL0sXB1MnXzs/FIMHHxc7U09TXzw==?=", "Рекреативное агентство"},
        {"raw UTF-8 name", "J\xC3\xB8ran <j@example.org>", "Jøran"},
        {"raw 8-bit name", "J\xFCrgen <j@example.org>", "Jürgen"},
        {"address with a comment", "john@example.org (John Doe)", "John Doe"},
        {"comment holding an encoded word", "j@example.org (=?ISO-8859-1?Q?J=FCrgen?=)", "Jürgen"},
        {"name and a trailing comment", "John <j@example.org> (work)", "John"},
        {"angle brackets inside a comment", "sales@example.org (Sales <dept>)", "Sales <dept>"},
        {"bare address", "john@example.org", "john@example.org"},
        {"angle address only", "<john@example.org>", "john@example.org"},
        {"empty quoted name", "\"\" <john@example.org>", "john@example.org"},
        {"blank name", "   <john@example.org>", "john@example.org"},
        {"empty comment", "john@example.org ()", "john@example.org"},
        {"list: the first mailbox", "Alice <a@example.org>, Bob <b@example.org>", "Alice"},
        {"list: a quoted comma is no separator",
         "\"Smith, Ann\" <a@example.org>, Bob <b@example.org>", "Smith, Ann"},
        {"list: a comma inside a comment is no separator",
         "a@example.org (Doe, John), b@example.org", "Doe, John"},
        {"list of bare addresses", "a@example.org, b@example.org", "a@example.org"},
        {"group: its first mailbox", "Team: Alice <a@example.org>, Bob <b@example.org>;", "Alice"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(SenderCell(row.from), QString::fromUtf8(row.shown));
    }
}

TEST(CellText, ControlsBecomeBlanksBarsSlashesAndLongTextIsCapped) {
    const QString longText(kMaxCell + 100, QLatin1Char('x'));
    const struct {
        const char* name;
        QString text;
        QString shown;
    } rows[] = {
        {"NUL", QStringLiteral("a") + QChar(0) + QStringLiteral("b"), QStringLiteral("a b")},
        {"CR, LF and TAB", QStringLiteral("a\rb\nc\td"), QStringLiteral("a b c d")},
        {"DEL", QStringLiteral("a") + QChar(0x7F) + QStringLiteral("b"), QStringLiteral("a b")},
        {"C1 controls", QStringLiteral("a") + QChar(0x85) + QChar(0x9F) + QStringLiteral("b"),
         QStringLiteral("a  b")},
        {"line and paragraph separators",
         QStringLiteral("a") + QChar(0x2028) + QChar(0x2029) + QStringLiteral("b"),
         QStringLiteral("a  b")},
        {"bar", QStringLiteral("[list] a | b"), QStringLiteral("[list] a / b")},
        {"printable text stays", QString::fromUtf8("Grüße\u00A0€ 日本"),
         QString::fromUtf8("Grüße\u00A0€ 日本")},
        {"long text capped", longText, longText.left(kMaxCell)},
        {"a bar after the cap is gone with it", longText + QLatin1Char('|'),
         longText.left(kMaxCell)},
        {"empty", QString(), QString()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CellText(row.text), row.shown);
    }
}

// A character outside the Basic Multilingual Plane at the cap is kept whole
// or left out whole: half of it shows as a broken glyph.
TEST(CellText, TheCapDoesNotSplitACharacter) {
    const QString text = QString(kMaxCell - 1, QLatin1Char('a')) + QString::fromUtf8("😀b");
    const QString cell = CellText(text);
    EXPECT_LE(cell.size(), kMaxCell + 1);
    ASSERT_FALSE(cell.isEmpty());
    EXPECT_FALSE(cell.back().isHighSurrogate()) << "the cell ends in half a character";
}

// The cells of a row's text, split where the list splits it.
QStringList Columns(const TListRow& Row) {
    return Row.Text().split(QLatin1Char('|'));
}

TEST(MakeListRow, FiveColumnsWhateverTheHeaderHolds) {
    const std::string date = "Date: Mon, 6 Mar 2000 10:22:33 +0100\r\n";
    const std::string longSubject(kMaxCell + 50, 's');
    const struct {
        const char* name;
        std::string size;
        std::string header;
        bool german;
        QStringList columns; // number, size, date, sender, subject
    } rows[] = {
        {"a NUL inside the From line",
         "1500",
         date + "From: Jo\0hn <j@example.org>\r\nSubject: Hi there\r\n\r\n"s,
         false,
         {u" 1 "_s, u"2 KByte "_s, u"06 Mar 2000"_s, u"Jo hn"_s, u"Hi there"_s}},
        {"a NUL inside a bare address",
         "10",
         date + "From: a\0b@example.org\r\nSubject: s\r\n\r\n"s,
         false,
         {u" 1 "_s, u"10 Byte "_s, u"06 Mar 2000"_s, u"a b@example.org"_s, u"s"_s}},
        {"a NUL and a lone CR in the subject",
         "10",
         date + "From: a\r\nSubject: x\0y\rz\r\n\r\n"s,
         false,
         {u" 1 "_s, u"10 Byte "_s, u"06 Mar 2000"_s, u"a"_s, u"x y z"_s}},
        {"encoded bar, line end and NUL",
         "10",
         date + "From: =?UTF-8?Q?x=7Cy?= <a@example.org>\r\nSubject: "
                "=?UTF-8?Q?a=7Cb=0D=0Ac=00d?=\r\n\r\n",
         false,
         {u" 1 "_s, u"10 Byte "_s, u"06 Mar 2000"_s, u"x/y"_s, u"a/b  c d"_s}},
        {"raw bars",
         "10",
         date + "From: a|b <c@example.org>\r\nSubject: [x] | y\r\n\r\n",
         false,
         {u" 1 "_s, u"10 Byte "_s, u"06 Mar 2000"_s, u"a/b"_s, u"[x] / y"_s}},
        {"a line separator in a UTF-8 subject",
         "10",
         date + "From: a\r\nSubject: a\xE2\x80\xA8"
                "b\r\n\r\n",
         false,
         {u" 1 "_s, u"10 Byte "_s, u"06 Mar 2000"_s, u"a"_s, u"a b"_s}},
        {"folded encoded subject",
         "10",
         date + "From: a\r\nSubject: =?ISO-8859-1?Q?Gr=FC?=\r\n =?ISO-8859-1?Q?=DFe?=\r\n\r\n",
         false,
         {u" 1 "_s, u"10 Byte "_s, u"06 Mar 2000"_s, u"a"_s, u"Grüße"_s}},
        {"a long subject is capped",
         "10",
         date + "From: a\r\nSubject: " + longSubject + "\r\n\r\n",
         false,
         {u" 1 "_s, u"10 Byte "_s, u"06 Mar 2000"_s, u"a"_s, QString(kMaxCell, QLatin1Char('s'))}},
        {"no fields",
         "",
         "\r\n",
         false,
         {u" 1 "_s, u" "_s, u"No date"_s, u"No sender"_s, QString()}},
        {"no fields, German",
         "",
         "\r\n",
         true,
         {u" 1 "_s, u" "_s, u"Kein Datum"_s, u"Kein Absender"_s, QString()}},
        {"a date that is none",
         "10",
         "Date: 6|Mar|2000\r\nFrom: a\r\nSubject: s\r\n\r\n",
         false,
         {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TListRow r = MakeListRow(1, row.size, row.header, row.german);
        const QStringList columns = Columns(r);
        ASSERT_EQ(columns.size(), 6) << r.Text().toStdString();
        EXPECT_EQ(columns.back(), QString()) << "the row ends with a bar";
        if (!row.columns.isEmpty()) {
            EXPECT_EQ(columns.mid(0, 5), row.columns);
            EXPECT_EQ(r.Sender(), row.columns[3]);
            EXPECT_EQ(r.Subject(), row.columns[4]);
        }
        EXPECT_FALSE(r.Text().contains(QChar(0)));
    }
}

TEST(MakeListRow, SortKeysFromTheSizeAndDate) {
    const TListRow r =
        MakeListRow(7, "4500 octets", "Date: Mon, 6 Mar 2000 10:22:33 +0100\r\n\r\n", false);
    EXPECT_EQ(r.Number, 7);
    EXPECT_TRUE(r.HasSize);
    EXPECT_EQ(r.Size, 4500u);
    EXPECT_TRUE(r.DateParsed);
    EXPECT_EQ(r.Date, 952334553);
    const TListRow none = MakeListRow(8, "octets", "Date: soon\r\n\r\n", false);
    EXPECT_FALSE(none.HasSize);
    EXPECT_FALSE(none.DateParsed);
}

// The day, month and year are the date as written; a zone the reader cannot
// use costs the time of day at most, never the date.
TEST(MakeListRow, DateColumnKeepsADateWhoseZoneIsOdd) {
    const struct {
        const char* date;
        const char* column;
    } rows[] = {
        {"Mon, 21 Aug 1995 13:30:57 -0600", "21 Aug 1995"},
        {"Mon, 21 Aug 1995 13:30:57 MEST", "21 Aug 1995"},
        {"Mon, 21 Aug 1995 13:30:57", "21 Aug 1995"},
        {"Mon, 21 Aug 95 13:30:57 -600", "21 Aug 1995"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.date);
        const TListRow r = MakeListRow(1, "1", "Date: "s + row.date + "\r\n\r\n", false);
        EXPECT_EQ(Columns(r).value(2), QString::fromUtf8(row.column));
        EXPECT_TRUE(r.DateParsed) << "sorted among the dated rows";
    }
}

std::vector<int> Numbers(const std::vector<TListRow>& Rows) {
    std::vector<int> out;
    for (const TListRow& r : Rows)
        out.push_back(r.Number);
    return out;
}

TEST(SortRows, EachColumnBothWaysUnknownsLastTiesByNumber) {
    const struct {
        int number;
        const char* size;
        const char* date; // nullptr: no Date field
        const char* from;
        const char* subject;
    } messages[] = {
        {1, "300", "Mon, 6 Mar 2000 10:00:00 +0000", "bob", "beta"},
        {2, "", "garbage", "Alice", "Alpha"},
        {3, "1200", "Tue, 7 Mar 2000 09:00:00 +0000", "carol", "alpha"},
        {4, "300", "Mon, 6 Mar 2000 10:00:00 +0100", "BOB", "Gamma"},
        {5, "x", nullptr, "alice", "beta"},
        {6, "300", "Mon, 6 Mar 2000 05:00:00 -0500", "Dave", "delta"}, // the same instant as 1
    };
    std::vector<TListRow> rows;
    for (const int pick : {5, 3, 1, 6, 2, 4}) { // not in number order, so ties must be broken
        const auto& m = messages[pick - 1];
        std::string header = "From: "s + m.from + "\r\nSubject: " + m.subject + "\r\n";
        if (m.date)
            header += "Date: "s + m.date + "\r\n";
        rows.push_back(MakeListRow(m.number, m.size, header + "\r\n", false));
    }
    const struct {
        TSortColumn column;
        bool descending;
        std::vector<int> order;
    } cases[] = {
        {TSortColumn::Number, false, {1, 2, 3, 4, 5, 6}},
        {TSortColumn::Number, true, {6, 5, 4, 3, 2, 1}},
        {TSortColumn::Size, false, {1, 4, 6, 3, 2, 5}},
        {TSortColumn::Size, true, {3, 1, 4, 6, 2, 5}},
        {TSortColumn::Date, false, {4, 1, 6, 3, 2, 5}},
        {TSortColumn::Date, true, {3, 1, 6, 4, 2, 5}},
        {TSortColumn::Sender, false, {2, 5, 1, 4, 3, 6}},
        {TSortColumn::Sender, true, {6, 3, 1, 4, 2, 5}},
        {TSortColumn::Subject, false, {2, 3, 1, 5, 6, 4}},
        {TSortColumn::Subject, true, {4, 6, 1, 5, 2, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("column " + std::to_string(static_cast<int>(c.column)) +
                     (c.descending ? " descending" : ""));
        std::vector<TListRow> sorted = rows;
        SortRows(sorted, c.column, c.descending);
        EXPECT_EQ(Numbers(sorted), c.order);
        std::vector<TListRow> reversed(rows.rbegin(), rows.rend());
        SortRows(reversed, c.column, c.descending);
        EXPECT_EQ(Numbers(reversed), c.order) << "from another starting order";
    }
}

} // namespace

// A sender cannot reorder how its cell reads.
TEST(CellText, BidiControlsBecomeBlanks) {
    EXPECT_EQ(CellText(QString::fromUtf8("a\u202Eb\u2066c\u200Fd")), QString::fromUtf8("a b c d"));
}

// Raw 8-bit bytes in the sender and subject cells: UTF-8 when valid, else
// the charset the message declares, else Windows-1252.
TEST(MakeListRow, RawHeaderBytesFollowUtf8ThenTheDeclaredCharsetThenWindows1252) {
    const struct {
        const char* name;
        std::string header;
        QString sender, subject;
    } rows[] = {
        {"valid UTF-8 wins over a declared charset",
         "From: J\xC3\xBCrgen <j@example.org>\r\nSubject: Gr\xC3\xBC\xC3\x9F"
         "e\r\n"
         "Content-Type: text/plain; charset=iso-8859-2\r\n",
         QString::fromUtf8("Jürgen"), QString::fromUtf8("Grüße")},
        {"ISO-8859-2 as declared, folded and quoted",
         "From: \xA3ukasz <l@example.org>\r\nSubject: Za\xBF\xF3\xB3\xE6\r\nContent-Type: text/plain;\r\n"
         "\tformat=flowed; charset=\"ISO-8859-2\"\r\n",
         QString::fromUtf8("Łukasz"), QString::fromUtf8("Zażółć")},
        {"undeclared: Windows-1252",
         "From: J\xFCrgen <j@example.org>\r\nSubject: \x80 5 \x93"
         "x\x94\r\n",
         QString::fromUtf8("Jürgen"), QString::fromUtf8("€ 5 “x”")},
        {"a charset in another parameter's value is none",
         "Subject: \xE9t\xE9\r\nContent-Type: text/plain; name=\"xcharset=koi8-r\"\r\n", QString(),
         QString::fromUtf8("été")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TListRow r = MakeListRow(1, "10", row.header + "\r\n", false);
        if (!row.sender.isEmpty()) {
            EXPECT_EQ(r.Sender(), row.sender);
        }
        EXPECT_EQ(r.Subject(), row.subject);
    }
}
