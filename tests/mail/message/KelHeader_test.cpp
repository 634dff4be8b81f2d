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
