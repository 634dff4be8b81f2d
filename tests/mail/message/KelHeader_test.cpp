#include "mail/TextRows.h"
#include "mail/core/KelLines.h"
#include "mail/message/KelHeader.h"
#include "mail/message/kel_literal.h"

#include <gtest/gtest.h>

#include <random>

using namespace kel;
using kel_test::CheckRows;
using kel_test::TextRow;

namespace {

using L = std::vector<std::string>;

} // namespace

TEST(FindHeader, FindsTheFieldWithItsContinuations) {
    const struct {
        const char* name;
        std::string key;
        L lines;
        bool found;
        std::string field;
    } rows[] = {
        {"key must begin the line", "TO:", {"Reply-To: a", "To: b", "", "To: c"}, true, "To: b"},
        {"not after the empty line", "TO:", {"X: 1", "", "To: b"}, false, "old"},
        {"continuations trimmed", "SUBJECT:", {"Subject: Hello", " World", "\tagain ", "X: y"}, true, "Subject: HelloWorldagain"},
        {"no continuation after the body", "SUBJECT:", {"Subject: a", "", " b"}, true, "Subject: a"},
        {"blank before colon", "TO:", {"To : b"}, false, "old"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::string field = "old";
        EXPECT_EQ(FindHeader(r.key, r.lines, field), r.found);
        EXPECT_EQ(field, r.field);
    }
}

TEST(HeaderHelpers, ValueSkipHeaderBoundary) {
    EXPECT_EQ(GetHeaderValue("SUBJECT:", "Subject:   Re: one; two"), "Re: one");
    EXPECT_EQ(GetHeaderValue("NAME", "Content-Type: x; filename=b.txt"), "=b.txt"); // the first "NAME" anywhere
    EXPECT_EQ(GetHeaderValue("SUBJECT:", "Subject: ;x"), "");

    for (const auto& [lines, expected] : std::vector<std::pair<L, L>>{
             {{"A: 1", " \t", "\r", "body", "", "more"}, {"body", "", "more"}}, {{"A: 1", "B: 2"}, {}}, {{"", " "}, {}}}) {
        L l = lines;
        SkipHeader(l);
        EXPECT_EQ(l, expected);
        EXPECT_EQ(SkipHeaderPos(lines), lines.size() - expected.size());
    }

    const std::string b71(71, 'b'), b80(80, 'b'), ct = "Content-Type: multipart/mixed";
    CheckRows({{"quoted with blank", ct + "; boundary=\"=_a b\"; foo=1", "--=_a b"},
               {"upper case key, blanks", ct + "; BOUNDARY =  XyZ  ", "--XyZ"},
               {"unclosed quote", ct + "; boundary=\"abc", "--abc"},
               {"unquoted cut to 71", ct + "; boundary=" + b80, "--" + b71},
               {"quoted cut to 70", ct + "; boundary=\"" + b80 + "\"", "--" + std::string(70, 'b')},
               {"boundary at the very end", "x; boundary", "--"},
               {"empty", "", "--"}},
              GetBoundary);
}

// ---- encoded words and addresses (each row checked on both versions) ----

TEST(DecodeEncodedWords, DecodesQAndBWords) {
    const std::initializer_list<TextRow> rows = {
        {"Q word", "=?iso-8859-1?Q?Gr=FC=DFe?=", "Gr\xFC\xDF" "e"},
        {"decoded word decoded again", "=?a?Q?=3D=3Fb=3FQ=3Fz=3F=3D?=", "z"},
        {"decoded = joins the following ?", "=?a?Q?x=3D?=?b?Q?y?=", "xy"},
        {"B with NUL kept", "=?a?B?AEE=?=", std::string("\0A", 2)},
        {"stops at the first broken word", "=?a?Q?b?= =?c", "b =?c"},
    };
    CheckRows(rows, DecodeEncodedWords);
    CheckRows(rows, kel_literal::DecodeEncodedWords);
}

TEST(Addresses, ExtractAddressDisplayNameAndFormatList) {
    const struct {
        const char* mailbox;
        bool bracket;
        const char* expected;
    } rows[] = {
        {"Desk <a1@x>", false, "a1@x"}, {"a1@x (Comment)", true, "<a1@x>"}, {"a@x (nested (c) rest)", false, "a@x  rest)"},
        {"x :-) y (c) z", false, "x :-) y (c) z"}, // a ")" before the first "(" ends the removal
        {"a@x (open", false, "a@x (open"}, {"> a <", false, ""}, {"", true, "<>"}, {"<a> <b>", false, "a"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.mailbox);
        EXPECT_EQ(ExtractAddress(r.mailbox, r.bracket), r.expected);
        EXPECT_EQ(kel_literal::ExtractAddress(r.mailbox, r.bracket), r.expected);
    }
    EXPECT_EQ(ExtractDisplayName("c3 (Info)", true), "\"Info\"");
    EXPECT_EQ(ExtractDisplayName("O'Brien <x>", false), "OBrien");
    EXPECT_EQ(ExtractDisplayName("x ) y ( z", false), "");

    const std::initializer_list<TextRow> lists = {
        {"encoded name", "=?x?Q?J=F6rg?= <j@x>", "\"J\xF6rg\" <j@x>"},
        {"empty entries", "a@x,,", "\"a@x\" <a@x>, \"\" <>, \"\" <>"},
    };
    CheckRows(lists, FormatAddressList);
    CheckRows(lists, kel_literal::FormatAddressList);
}

// The one-pass header helpers against the restart-from-the-top rules.
TEST(HeaderText, MatchesTheLiteralRulesOnGeneratedInput) {
    static const char* const pieces[] = {"=?", "?=", "?", "=", "Q", "q", "B", "b", "X", "x", "_", " ", "=3D", "=3F",
                                         "=3d", "=00", "(", ")", "<", ">", "\"", "'", ",", "a@b", "QUJD", "PT8", "Pz0",
                                         "=?a?Q?", "=?a?B?", "?=,", "\r\n", "\t", "=?=", "==", "a"};
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (int i = 0, n = static_cast<int>(rng() % 30); i < n; ++i)
            text += pieces[rng() % std::size(pieces)];
        ASSERT_EQ(DecodeEncodedWords(text), kel_literal::DecodeEncodedWords(text)) << text;
        ASSERT_EQ(ExtractAddress(text, true), kel_literal::ExtractAddress(text, true)) << text;
        ASSERT_EQ(FormatAddressList(text), kel_literal::FormatAddressList(text)) << text;
        L lines = SplitLines(text), literal = lines;
        SkipHeader(lines);
        kel_literal::SkipHeader(literal);
        ASSERT_EQ(lines, literal) << text;
    }
}

TEST(HeaderText, HostileSizes) {
    std::string list; // many encoded words: see KelMsgHostile.HugeFieldsAndLines
    for (int i = 0; i < 100000; ++i)
        list += "(c)\"q,q\"a@b,";
    EXPECT_EQ(FormatAddressList(list).substr(0, 18), "\"c\" <a@b>, \"c\" <a@");
    const std::string parens = std::string(1 << 20, '(') + std::string(1 << 20, ')');
    EXPECT_EQ(ExtractAddress(parens, false), std::string((1 << 20) - 1, ')'));
}

// Each row: a whole field line, the parameter asked for, and what is read
// (absent: false). "å" is C3 A5 in UTF-8 and E5 in ISO-8859-1.
TEST(GetHeaderParameter, ReadsTheParameterFormsMailersWrite) {
    const struct {
        const char* name;
        std::string field, param;
        bool found;
        std::string value;
    } rows[] = {
        {"token", "Content-Type: a/b; name=x.gif", "name", true, "x.gif"},
        {"blanks around =", "Content-Type: a/b; name = \"x.gif\" ; y=1", "name", true, "x.gif"},
        {"attribute in any case", "Content-Type: a/b; NAME=x", "name", true, "x"},
        {"name is not filename", "Content-Disposition: attachment; filename=f.txt", "name", false, ""},
        {"filename is not name", "Content-Type: a/b; name=n.txt", "filename", false, ""},
        {"quoted with escapes and ;", "Content-Type: a/b; name=\"a\\\"b;c\\\\.txt\"; x=1", "name", true, "a\"b;c\\.txt"},
        {"quoted string in the type is skipped", "Content-Type: a/b \"; name=no\"; name=yes", "name", true, "yes"},
        {"empty quoted", "Content-Type: a/b; name=\"\"", "name", true, ""},
        {"unterminated quote runs to the end", "Content-Type: a/b; name=\"abc", "name", true, "abc"},
        {"single quotes around a token go", "Content-Type: a/b; name='x.pdf'", "name", true, "x.pdf"},
        {"no value", "Content-Type: a/b; name; x=1", "name", false, ""},
        {"extended with charset", "Content-Disposition: attachment; filename*=utf-8''%C3%A5.diff", "filename", true,
         "\xC3\xA5.diff"},
        {"extended ISO-8859-1", "Content-Disposition: attachment; filename*=iso-8859-1'en'%E5.txt", "filename", true,
         "\xC3\xA5.txt"},
        {"extended wins over plain", "Content-Type: a/b; name=plain; name*=''ext", "name", true, "ext"},
        {"continuations", "Content-Type: a/b; name*0=\"long \"; name*1=name.txt", "name", true, "long name.txt"},
        {"encoded continuations, escape split across pieces",
         "Content-Disposition: attachment; filename*0*=utf-8''%6D%61il%C3; filename*1*=%A5.txt", "filename", true,
         "mail\xC3\xA5.txt"},
        {"continuations in reverse order", "Content-Type: a/b; name*2=c; name*1=b; name*0=a", "name", true, "abc"},
        {"numeric, not text, order", "Content-Type: a/b; name*10=k; name*9=j; name*0=a", "name", true, "ajk"},
        {"a gap is skipped", "Content-Type: a/b; name*0=a; name*2=c", "name", true, "ac"},
        {"the first of a repeated number stays", "Content-Type: a/b; name*0=a; name*0=z; name*1=b", "name", true, "ab"},
        {"charset only from the first piece", "Content-Type: a/b; name*0*=iso-8859-1''%E5; name*1*=x'y'%E5", "name",
         true, "\xC3\xA5x'y'\xC3\xA5"},
        {"unknown charset keeps bytes", "Content-Type: a/b; name*=koi8-r''%F3", "name", true, "\xF3"},
        {"bad escape stays", "Content-Type: a/b; name*=utf-8''%zz%4", "name", true, "%zz%4"},
        {"encoded words in a quoted name", "Content-Type: a/b; name=\"=?utf-8?B?w6U=?= =?iso-8859-1?Q?=E5?=.txt\"",
         "name", true, "\xC3\xA5\xC3\xA5.txt"},
        {"malformed encoded word stays", "Content-Type: a/b; name=\"=?utf-8?X?abc?=.txt\"", "name", true,
         "=?utf-8?X?abc?=.txt"},
        {"NUL in a quoted name stays", std::string("Content-Type: a/b; name=\"a\0b\"; x=1", 34), "name", true,
         std::string("a\0b", 3)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::string value = "untouched";
        EXPECT_EQ(GetHeaderParameter(r.field, r.param, value), r.found);
        EXPECT_EQ(value, r.found ? r.value : "untouched");
    }
}

// A field of a million pieces is read in one pass into a bounded name.
TEST(GetHeaderParameter, ManyPiecesStayBounded) {
    std::string field = "Content-Type: a/b";
    for (int k = 999999; k >= 0; --k)
        field += "; name*" + std::to_string(k) + "=x";
    std::string value;
    ASSERT_TRUE(GetHeaderParameter(field, "name", value));
    EXPECT_LE(value.size(), kMaxParameterBytes);
    EXPECT_FALSE(value.empty());
    std::string quoted = "Content-Type: a/b; name=\"" + std::string(10u << 20, 'q') + "\"";
    ASSERT_TRUE(GetHeaderParameter(quoted, "name", value));
    EXPECT_EQ(value.size(), kMaxParameterBytes);
}

TEST(CharsetToUtf8, ConvertsTheSingleByteCharsetsAndKeepsTheRest) {
    const struct {
        const char* charset;
        std::string in, out;
    } rows[] = {
        {"utf-8", "\xC3\xA5", "\xC3\xA5"},
        {"ISO-8859-1", "\xE5\xFF", "\xC3\xA5\xC3\xBF"},
        {"windows-1252", "\x80\x9F\x81", "\xE2\x82\xAC\xC5\xB8\xC2\x81"},
        {"us-ascii", "a\x80", "a\xE2\x82\xAC"},
        {"koi8-r", "\xF3", "\xF3"},
        {"", "\xE5", "\xE5"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.charset);
        EXPECT_EQ(CharsetToUtf8(r.in, r.charset), r.out);
    }
}
