#include "mail/message/kel_literal.h"
#include "message/kel_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace kel;

namespace {

using L = std::vector<std::string>;

// Text/expected rows checked through one function of the text.
struct TextRow {
    const char* name;
    std::string text;
    std::string expected;
};

template <typename F> void CheckRows(std::initializer_list<TextRow> Rows, F Fn) {
    for (const TextRow& r : Rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(Fn(r.text), r.expected);
    }
}

} // namespace

TEST(StrToIntDef, AcceptsOnlyTheDocumentedForms) {
    const struct {
        std::string text;
        int32_t expected;
    } rows[] = {
        {"110", 110}, {"   42", 42}, {"+7", 7}, {"-7", -7}, {"$1F", 31}, {"XfF", 255}, {"0x10", 16},
        {"", -99}, {"12 ", -99}, {"\t12", -99}, {"-", -99}, {"0x", -99}, {"-$10", -99}, {"2147483648", -99},
        {std::string("1\0" "2", 3), -99},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(StrToIntDef(r.text, -99), r.expected);
    }
}

TEST(SmallHelpers, DottedAddressNthWordTrimRemoveCharStripQuotes) {
    for (const char* yes : {"10.0.0.1", "1.2.3.x10", " 1.2.3.4"})
        EXPECT_TRUE(IsDottedAddress(yes)) << yes;
    for (const char* no : {"10.0.0.1.5", "256.1.1.1", "1..2.3", "", "1.2.3.4 "})
        EXPECT_FALSE(IsDottedAddress(no)) << no;
    EXPECT_EQ(NthWordAsInt("  3    1200  ", 2, 100), 1200);
    EXPECT_EQ(NthWordAsInt("\t3\t1200", 2, 100), 100);
    EXPECT_EQ(Trim("\r\n\t a b \x01\x1f"), "a b");
    EXPECT_EQ(Trim(std::string("\0x\0", 3)), "x");
    EXPECT_EQ(RemoveChar(std::string("a\0b", 3), '\0'), "ab");
    CheckRows({{"both", "\"a\"", "a"}, {"mixed", "'a\"", "a"}, {"front", "'a", "a"}, {"back", "a'", "a"},
               {"lone", "\"", ""}, {"three", "'''", "'"}},
              StripQuotes);
}

// ---- text lists ----

// The block-wise split (into strings and views) against the byte loop, on texts
// that cross the 16- and 32-byte steps and the counters' flush, with NULs.
TEST(TextLists, SplitMatchesTheByteLoopOnGeneratedText) {
    std::mt19937 rng(5);
    for (int round = 0; round < 1500; ++round) {
        const size_t len = round < 1000 ? rng() % 80 : rng() % 9000;
        const unsigned nulOdds = round % 3 == 0 ? 2000 : 0, crOdds = round % 4 == 0 ? 0 : 10;
        std::string text;
        for (size_t i = 0; i < len; ++i) {
            const unsigned r = static_cast<unsigned>(rng() % 4000);
            text += nulOdds && r == 0 ? std::string(1, '\0')
                    : r < 40          ? "\r\n"
                    : r < 40 + crOdds ? "\r"
                    : r < 60 + crOdds ? "\n"
                                      : std::string(1, "ab"[r % 2]);
        }
        ASSERT_EQ(SplitLines(text), kel_literal::SplitLines(text)) << round;
        L appended{"x"};
        AppendSplitLines(appended, text);
        appended.erase(appended.begin());
        ASSERT_EQ(appended, kel_literal::SplitLines(text)) << round;
        std::vector<std::string_view> views{"x"}; // one pass over 32-byte blocks, or the general way
        AppendSplitLines(views, text);
        ASSERT_EQ(L(views.begin() + 1, views.end()), appended) << round;
    }
    EXPECT_EQ(JoinLines(L{"a", "", "b"}), "a\r\n\r\nb\r\n");
}

// ---- header helpers ----

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

// ---- temporary files ----

namespace {

// Points TMPDIR at Dir (or a fresh directory of its own) for the life of the object.
struct ScopedTmpDir {
    explicit ScopedTmpDir(const char* Fixed = nullptr) {
        char templ[] = "/tmp/keltestXXXXXX";
        Dir = Fixed ? Fixed : ::mkdtemp(templ);
        if (const char* old = std::getenv("TMPDIR"))
            Old = old;
        ::setenv("TMPDIR", (Dir + "/").c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (Old)
            ::setenv("TMPDIR", Old->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        ::rmdir(Dir.c_str()); // fails, as it should, when something was left behind
    }
    std::string Dir;
    std::optional<std::string> Old;
};

bool Exists(const std::string& Name) { return ::access(Name.c_str(), F_OK) == 0; }

} // namespace

TEST(TempFiles, CreatedExclusivelyPrivateAndRemovedOnEveryPath) {
    ScopedTmpDir dir;
    EXPECT_EQ(TempDirectory(), dir.Dir);
    const std::string a = MakeTempFileName(), b = MakeTempFileName();
    EXPECT_NE(a, b);
    for (const std::string& name : {a, b}) {
        EXPECT_EQ(name.rfind(dir.Dir + "/kel", 0), 0u);
        struct stat st {};
        ASSERT_EQ(::stat(name.c_str(), &st), 0) << "the created file is the one handed out";
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ::unlink(name.c_str());
    }

    std::string name;
    {
        TTempFile t;
        name = t.Name();
        t.WriteAll(std::string(100000, 'x'));
        t.Truncate();
        t.WriteAll("z");
        EXPECT_EQ(t.ReadAll(), "z");
    }
    EXPECT_FALSE(Exists(name));

    TTempFile moved;
    {
        TTempFile t;
        name = t.Name();
        moved = std::move(t);
    }
    EXPECT_TRUE(Exists(name)) << "the moved-to object owns the file";
    moved.Remove();
    EXPECT_FALSE(Exists(name));
    EXPECT_THROW(moved.WriteAll("x"), EStreamError);
}

TEST(TempFiles, UnusableDirectoryIsAFileError) {
    ScopedTmpDir dir("/nonexistent-kel-dir");
    EXPECT_THROW(MakeTempFileName(), EFileError);
    EXPECT_THROW(TTempFile(), EFileError);
}
