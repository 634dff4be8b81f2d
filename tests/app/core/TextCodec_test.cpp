// How do message bytes and encoded header words show on screen in their declared
// charsets, and how does a text split into lines?
#include "app/core/TextCodec.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

// Failures show the text, not its code units.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

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

TEST(SplitTextLines, EndsLinesAtCrLfLoneCrLoneLfKeepsNulThenEachLineShowsOnItsOwn) {
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
        {"NUL is a byte like any other", "a\r\nb\0c\r\nd"s, {"a", "b\0c"s, "d"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(SplitTextLines(row.text), row.lines);
    }
}

// One text in each charset. The bytes are what `printf '%s' TEXT | iconv -t
// CHARSET` writes (Python's codecs agree); B and Q are those bytes as the
// payload of an encoded word.
struct CharsetText {
    const char* charset;
    std::string bytes;
    const char* b;
    const char* q;
    const char* text; // UTF-8
};

const std::vector<CharsetText>& CharsetTexts() {
    static const std::vector<CharsetText> rows = {
        {"UTF-8", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln", "R3LDvMOfZSBhdXMgS8O2bG4=",
         "Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln", "Grüße aus Köln"},
        {"ISO-8859-1", "J\xFCrgen M\xFCller", "SvxyZ2VuIE38bGxlcg==", "J=FCrgen_M=FCller", "Jürgen Müller"},
        {"ISO-8859-2", "\xA3\xF3" "d\xBC, \xAElu\xBBou\xE8k\xFD k\xF9\xF2", "o/NkvCwgrmx1u2916Gv9IGv58g==",
         "=A3=F3d=BC=2C_=AElu=BBou=E8k=FD_k=F9=F2", "Łódź, Žluťoučký kůň"},
        {"ISO-8859-15", "Preis \xA4 5, \xBCuvre", "UHJlaXMgpCA1LCC8dXZyZQ==", "Preis_=A4_5=2C_=BCuvre",
         "Preis € 5, Œuvre"},
        {"windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0", "z/Do4uXyLCDs6PA=",
         "=CF=F0=E8=E2=E5=F2=2C_=EC=E8=F0", "Привет, мир"},
        {"windows-1252", "\x93Zitat\x94 \x96 \x80 5", "k1ppdGF0lCCWIIAgNQ==", "=93Zitat=94_=96_=80_5",
         "“Zitat” – € 5"},
        {"KOI8-R", "\xFA\xC4\xD2\xC1\xD7\xD3\xD4\xD7\xD5\xCA\xD4\xC5", "+sTSwdfT1NfVytTF",
         "=FA=C4=D2=C1=D7=D3=D4=D7=D5=CA=D4=C5", "Здравствуйте"},
        {"Shift_JIS", "\x93\xFA\x96{\x8C\xEA\x82\xCC\x83" "e\x83X\x83g", "k/qWe4zqgsyDZYNYg2c=",
         "=93=FA=96=7B=8C=EA=82=CC=83e=83X=83g", "日本語のテスト"},
        {"GB2312", "\xD6\xD0\xCE\xC4\xD3\xCA\xBC\xFE", "1tDOxNPKvP4=", "=D6=D0=CE=C4=D3=CA=BC=FE", "中文邮件"},
        {"Big5", "\xC1" "c\xC5\xE9\xA4\xA4\xA4\xE5", "wWPF6aSkpOU=", "=C1c=C5=E9=A4=A4=A4=E5", "繁體中文"},
        {"EUC-KR", "\xC7\xD1\xB1\xB9\xBE\xEE \xB8\xDE\xC0\xCF", "x9Gxub7uILjewM8=",
         "=C7=D1=B1=B9=BE=EE_=B8=DE=C0=CF", "한국어 메일"},
        {"ISO-2022-JP", "\x1B$BF|K\\8l%F%-%9%H\x1B(B", "GyRCRnxLXDhsJUYlLSU5JUgbKEI=",
         "=1B=24BF=7CK=5C8l=25F=25=2D=259=25H=1B=28B", "日本語テキスト"},
    };
    return rows;
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(DecodeCharset, BodyTextInEachCharsetShowsItsCharactersWhateverTheNameIsSpelt) {
    for (const CharsetText& row : CharsetTexts()) {
        SCOPED_TRACE(row.charset);
        const QString text = QString::fromUtf8(row.text);
        EXPECT_EQ(DecodeCharset(row.bytes, row.charset), text);
        EXPECT_EQ(DecodeCharset(row.bytes, Lower(row.charset)), text);
        EXPECT_EQ(DecodeCharset(row.bytes, "\"" + std::string(row.charset) + "\""), text) << "quoted parameter";
        TCharsetDecoder decoder(row.charset);
        EXPECT_EQ(decoder.Decode(row.bytes), text);
        EXPECT_EQ(decoder.Decode(row.bytes), text) << "the same decoder a second time";
    }
}

TEST(DecodeHeaderText, OneEncodedWordInEachCharsetBAndQInAnyCase) {
    for (const CharsetText& row : CharsetTexts()) {
        SCOPED_TRACE(row.charset);
        const QString text = QString::fromUtf8(row.text);
        const std::string cs = row.charset;
        EXPECT_EQ(DecodeHeaderText("=?" + cs + "?B?" + row.b + "?="), text);
        EXPECT_EQ(DecodeHeaderText("=?" + cs + "?Q?" + row.q + "?="), text);
        EXPECT_EQ(DecodeHeaderText("=?" + Lower(cs) + "?b?" + row.b + "?="), text);
        EXPECT_EQ(DecodeHeaderText("=?" + Lower(cs) + "?q?" + row.q + "?="), text);
        EXPECT_EQ(DecodeHeaderText("Re: =?" + cs + "?B?" + row.b + "?= [3]"),
                  QStringLiteral("Re: ") + text + QStringLiteral(" [3]"));
    }
}

struct HeaderRow {
    const char* name;
    std::string value;
    const char* shown; // UTF-8
};

void ExpectHeaderTexts(const std::vector<HeaderRow>& rows) {
    for (const HeaderRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DecodeHeaderText(row.value), QString::fromUtf8(row.shown));
    }
}

TEST(DecodeHeaderText, BlanksBetweenWordsGoAndBlanksBesideTextStay) {
    ExpectHeaderTexts({
        {"plain text untouched", "Hello  world", "Hello  world"},
        {"plain UTF-8 bytes", "Gr\xC3\xBC\xC3\x9F" "e", "Grüße"},
        {"plain 8-bit bytes as Windows-1252", "\xA3" "100 \x80", "£100 €"},
        {"one blank between words", "=?ISO-8859-1?Q?J=FCr?= =?ISO-8859-1?Q?gen?=", "Jürgen"},
        {"blanks and tabs between words", "=?UTF-8?Q?a?= \t  =?UTF-8?Q?b?=", "ab"},
        {"a fold between words", "=?UTF-8?Q?a?=\r\n =?UTF-8?Q?b?=", "ab"},
        {"underscore is the blank that stays", "=?UTF-8?Q?a_?= =?UTF-8?Q?b?=", "a b"},
        {"words in two charsets", "=?ISO-8859-1?Q?=E9?= =?UTF-8?Q?=C3=A9?= =?KOI8-R?B?+g==?=", "ééЗ"},
        {"word then text", "=?ISO-8859-1?Q?Caf=E9?= au lait", "Café au lait"},
        {"text then word", "Re: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=", "Re: Grüße"},
        {"text between two words", "=?UTF-8?Q?a?= - =?UTF-8?Q?b?=", "a - b"},
        {"blanks before the first word stay", "  =?UTF-8?Q?a?=", "  a"},
        {"RFC 2231 language after the charset", "=?UTF-8*de?Q?Gr=C3=BC=C3=9Fe?=", "Grüße"},
        {"ISO-8859-1 read as Windows-1252", "=?iso-8859-1?q?=80_=93x=94?=", "€ “x”"},
        {"US-ASCII word", "=?US-ASCII?Q?Keith_Moore?=", "Keith Moore"},
        {"empty payload", "a =?UTF-8?Q?" "?= b", "a  b"},
        {"UTF-8 character split over two B words", "=?UTF-8?B?4oI=?= =?UTF-8?B?rA==?=", "€"},
        {"four-byte character split over two B words", "=?utf-8?b?8J8=?=\r\n\t=?utf-8?b?mIA=?=", "😀"},
        {"Shift_JIS character split over two Q words", "=?Shift_JIS?Q?=93?= =?shift_jis?Q?=FA?=", "日"},
        {"base64 tail bits that are not zero", "=?utf-8?B?RGVsaXZlcnkgZmFpbHVyZSBub3RpZmljYXRpb25=?=",
         "Delivery failure notification"},
    });
}

TEST(DecodeHeaderText, BrokenWordsStayAsTheyAreAndUnknownCharsetsShowByTheDisplayRule) {
    ExpectHeaderTexts({
        {"character outside base64", "=?UTF-8?B?R3J@?=", "=?UTF-8?B?R3J@?="},
        {"data after base64 padding", "=?UTF-8?B?YQ==YQ==?=", "=?UTF-8?B?YQ==YQ==?="},
        {"bad hex in Q", "=?ISO-8859-1?Q?J=ZZrgen?=", "=?ISO-8859-1?Q?J=ZZrgen?="},
        {"Q escape cut short", "=?ISO-8859-1?Q?J=F?=", "=?ISO-8859-1?Q?J=F?="},
        {"no closing ?=", "=?UTF-8?Q?abc", "=?UTF-8?Q?abc"},
        {"no encoding letter", "=?UTF-8?abc?=", "=?UTF-8?abc?="},
        {"unknown encoding letter", "=?UTF-8?X?abc?=", "=?UTF-8?X?abc?="},
        {"blank inside the payload", "=?UTF-8?Q?a b?=", "=?UTF-8?Q?a b?="},
        {"empty charset", "=?" "?Q?abc?=", "=?" "?Q?abc?="},
        {"charset with a slash", "=?UTF-8//IGNORE?Q?abc?=", "=?UTF-8//IGNORE?Q?abc?="},
        {"charset with a blank", "=?UTF 8?Q?abc?=", "=?UTF 8?Q?abc?="},
        {"broken word keeps its neighbours decoded", "=?UTF-8?Q?a?= =?UTF-8?Q?=XX?= =?UTF-8?Q?b?=",
         "a =?UTF-8?Q?=XX?= b"},
        {"unknown charset, UTF-8 bytes", "=?x-no-such-charset?Q?=C3=A9t=C3=A9?=", "été"},
        {"unknown charset, 8-bit bytes", "=?x-no-such-charset?Q?=E9t=E9?=", "été"},
        {"UTF-8 declared, Latin-1 bytes", "=?UTF-8?B?/w==?=", "ÿ"},
        {"EUC-KR declared, a lead byte alone", "=?EUC-KR?B?sA==?=", "°"},
        {"word inside a word", "David H=?ISO-8859-1?B?9g==?=hn", "David Höhn"},
    });
}

TEST(DecodeCharset, UnknownMissingOrMisfitCharsetsFallBackToTheDisplayRule) {
    const struct {
        const char* name;
        std::string bytes;
        std::string charset;
        const char* shown; // UTF-8
    } rows[] = {
        {"no charset, UTF-8", "caf\xC3\xA9", "", "café"},
        {"no charset, 8-bit", "caf\xE9 \x80", "", "café €"},
        {"unknown charset, UTF-8", "caf\xC3\xA9", "x-no-such-charset", "café"},
        {"unknown charset, 8-bit", "caf\xE9", "x-no-such-charset", "café"},
        {"charset with odd characters", "caf\xC3\xA9", "utf-8//TRANSLIT", "café"},
        {"UTF-8 declared, 8-bit", "caf\xE9", "UTF-8", "café"},
        {"ISO-8859-1 declared, 1252 bytes", "\x93x\x94 \x80", "ISO-8859-1", "“x” €"},
        {"ISO-8859-1 declared, UTF-8 bytes shown as declared", "caf\xC3\xA9", "iso-8859-1", "cafÃ©"},
        {"US-ASCII declared, 8-bit", "caf\xE9", "us-ascii", "café"},
        {"Shift_JIS declared, a lead byte at the end", "caf\xE9", "Shift_JIS", "café"},
        {"EUC-KR declared, a lead byte alone", "\xB0", "EUC-KR", "°"},
        {"empty text", "", "KOI8-R", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DecodeCharset(row.bytes, row.charset), QString::fromUtf8(row.shown));
    }
}

// Mail writers label text in a superset with the older charset's name: GBK
// as GB2312 (the WHATWG encoding standard reads the label as GBK), and
// Korean text as ks_c_5601-1987 (read as its superset, code page 949).
TEST(DecodeCharset, LabelsOfASubsetReadAsTheSupersetMailIsWrittenIn) {
    const struct {
        const char* name;
        std::string bytes;
        std::string charset;
        std::string word; // the bytes as an encoded word
        const char* shown; // UTF-8
    } rows[] = {
        {"GB2312 label, a GBK-only character", "\xCA\xB2\xFC\x4E", "gb2312", "=?gb2312?B?yrL8Tg==?=", "什麼"},
        {"ks_c_5601-1987 label", "\xC7\xD1\xB1\xB9\xBE\xEE", "ks_c_5601-1987", "=?ks_c_5601-1987?B?x9Gxub7u?=",
         "한국어"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DecodeCharset(row.bytes, row.charset), QString::fromUtf8(row.shown));
        EXPECT_EQ(DecodeHeaderText(row.word), QString::fromUtf8(row.shown));
    }
}

TEST(DisplayLines, EachLineFromTheDeclaredCharsetAndAMisfitLineFallsBackAlone) {
    const struct {
        const char* name;
        std::vector<std::string> lines;
        std::string charset;
        const char* shown; // UTF-8
    } rows[] = {
        {"KOI8-R lines", {"\xFA\xC4\xD2\xC1\xD7\xD3\xD4\xD7\xD5\xCA\xD4\xC5", "", "\xED\xC9\xD2"}, "koi8-r",
         "Здравствуйте\n\nМир"},
        {"one Shift_JIS line that does not fit", {"\x93\xFA\x96{", "caf\xE9", "\x82\xCC"}, "Shift_JIS",
         "日本\ncafé\nの"},
        // A line left inside a JIS X 0208 run does not carry it to the next.
        {"each line starts in the initial state", {"\x1B$BF|K\\", "F|"}, "ISO-2022-JP", "日本\nF|"},
        {"no charset: the display rule per line", {"caf\xC3\xA9", "caf\xE9"}, "", "café\ncafé"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DisplayLines(row.lines, row.charset), QString::fromUtf8(row.shown));
    }
}

} // namespace

// One broken word in a run keeps its neighbours readable; the ISO-8859-1
// labels all read as Windows-1252.
TEST(DecodeHeaderText, ABrokenWordSpoilsOnlyItself) {
    EXPECT_EQ(DecodeHeaderText("=?UTF-8?B?w6nDqQ==?= =?UTF-8?B?w6nD?="), QString::fromUtf8("éé") + FromWindows1252("\xc3\xa9\xc3"));
    for (const char* label : {"l1", "ISO_8859-1", "iso_8859-1:1987", "latin-1", "CP819"})
        EXPECT_EQ(DecodeCharset("\x80", label), QString::fromUtf8("€")) << label;
}
