#include "mail/message/kel_literal.h"
#include "message/kel_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace kel;

TEST(StrToIntDef, AcceptsOnlyTheDocumentedForms) {
    struct Row {
        const char* name;
        std::string text;
        int32_t expected;
    };
    const Row rows[] = {
        {"decimal", "110", 110},
        {"leading spaces", "   42", 42},
        {"plus sign", "+7", 7},
        {"minus sign", "-7", -7},
        {"dollar hex", "$1F", 31},
        {"x hex", "xff", 255},
        {"X hex", "XfF", 255},
        {"0x hex", "0x10", 16},
        {"0X hex", "0X10", 16},
        {"int max", "2147483647", 2147483647},
        {"int min", "-2147483648", INT32_MIN},
        {"hex max", "$7FFFFFFF", 2147483647},
        {"empty", "", -99},
        {"blanks only", "   ", -99},
        {"trailing blank", "12 ", -99},
        {"tab before", "\t12", -99},
        {"letters", "abc", -99},
        {"sign alone", "-", -99},
        {"prefix alone", "$", -99},
        {"0x alone", "0x", -99},
        {"signed hex", "-$10", -99},
        {"overflow", "2147483648", -99},
        {"underflow", "-2147483649", -99},
        {"hex overflow", "$80000000", -99},
        {"long digits", std::string(1000, '9'), -99},
        {"digits then letter", "12a", -99},
        {"NUL inside", std::string("1\0" "2", 3), -99},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(StrToIntDef(r.text, -99), r.expected);
    }
}

TEST(IsDottedAddress, TellsAddressesFromHostNames) {
    struct Row {
        const char* text;
        bool expected;
    };
    const Row rows[] = {
        {"10.0.0.1", true},         {"127.0.0.1", true},   {"255.255.255.255", true},
        {"0.0.0.0", true},          {"10.0.0", false},     {"10.0.0.1.5", false},
        {"256.1.1.1", false},       {"1..2.3", false},     {"", false},
        {"mail.example.org", false}, {"1.2.3.-1", false},  {"1.2.3.x10", true},
        {" 1.2.3.4", true},         {"1.2.3.4 ", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(IsDottedAddress(r.text), r.expected);
    }
}

TEST(NthWordAsInt, PicksTheWordAfterBlanks) {
    struct Row {
        std::string text;
        int n;
        int32_t expected;
    };
    const Row rows[] = {
        {"3 1200", 2, 1200},     {"3 1200", 1, 3},         {"  3    1200  ", 2, 1200},
        {"3", 2, 100},           {"", 1, 100},             {"3 12x", 2, 100},
        {"3 1200 extra", 2, 1200}, {"5 1647", 3, 100},     {"\t3\t1200", 2, 100},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(NthWordAsInt(r.text, r.n, 100), r.expected);
    }
}

TEST(Trim, RemovesControlCharactersAndBlanks) {
    EXPECT_EQ(Trim("\r\n\t a b \x01\x1f"), "a b");
    EXPECT_EQ(Trim(std::string("\0x\0", 3)), "x");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(Trim("\x7f"), "\x7f");
}

// ---- text lists ----

TEST(TextLists, SplitAtEveryKindOfLineEnd) {
    using L = std::vector<std::string>;
    struct Row {
        const char* name;
        std::string text;
        L expected;
    };
    const Row rows[] = {
        {"CR LF", "a\r\nb\r\n", {"a", "b"}},
        {"no final line end", "a\r\nb", {"a", "b"}},
        {"lone LF", "a\nb\n", {"a", "b"}},
        {"lone CR", "a\rb\r", {"a", "b"}},
        {"LF CR is two line ends", "a\n\rb", {"a", "", "b"}},
        {"empty lines kept", "a\r\n\r\n\r\nb", {"a", "", "", "b"}},
        {"only a line end", "\r\n", {""}},
        {"empty text", "", {}},
        {"NUL ends the text", std::string("a\r\nb\0c\r\nd", 9), {"a", "b"}},
        {"NUL first", std::string("\0a", 2), {}},
        {"CR CR LF", "a\r\r\nb", {"a", "", "b"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(SplitLines(r.text), r.expected);
    }
}

// The counted, block-wise split against the byte loop, on texts long enough
// to cross the 16-byte steps and the counters' flush, with line ends of every
// kind (a CR LF pair cut at a step's edge among them) and NULs.
TEST(TextLists, SplitMatchesTheByteLoopOnGeneratedText) {
    std::mt19937 rng(5);
    const char pieces[] = {'a', 'b', '\r', '\n', '\0'};
    for (int round = 0; round < 3000; ++round) {
        const size_t len = round < 2000 ? rng() % 80 : rng() % 9000;
        const unsigned nulOdds = round % 3 == 0 ? 2000 : 0; // some texts without NUL
        const unsigned crOdds = round % 4 == 0 ? 0 : 10;    // some with CR only in CR LF
        std::string text;
        for (size_t i = 0; i < len; ++i) {
            const unsigned r = static_cast<unsigned>(rng() % 4000);
            if (nulOdds && r == 0)
                text += pieces[4];
            else if (r < 40)
                text += "\r\n";
            else if (r < 40 + crOdds)
                text += pieces[2];
            else if (r < 60 + crOdds)
                text += pieces[3];
            else
                text += pieces[r % 2];
        }
        ASSERT_EQ(SplitLines(text), kel_literal::SplitLines(text)) << round;
        std::vector<std::string> appended{"x"};
        AppendSplitLines(appended, text);
        appended.erase(appended.begin());
        ASSERT_EQ(appended, kel_literal::SplitLines(text)) << round;
    }
}

TEST(TextLists, JoinEndsEveryLineWithCrLf) {
    EXPECT_EQ(JoinLines(std::vector<std::string>{}), "");
    EXPECT_EQ(JoinLines(std::vector<std::string>{""}), "\r\n");
    EXPECT_EQ(JoinLines(std::vector<std::string>{"a", "", "b"}), "a\r\n\r\nb\r\n");
    std::vector<std::string> lines{"x", "y", "z"};
    EXPECT_EQ(JoinLines(std::span<const std::string>(lines).subspan(1)), "y\r\nz\r\n");
    std::vector<std::string> out{"keep"};
    AppendSplitLines(out, "p\r\nq");
    EXPECT_EQ(out, (std::vector<std::string>{"keep", "p", "q"}));
}

// ---- header helpers ----

TEST(FindHeader, FindsTheFieldWithItsContinuations) {
    using L = std::vector<std::string>;
    struct Row {
        const char* name;
        std::string key;
        L lines;
        bool found;
        std::string field;
    };
    const Row rows[] = {
        {"key must begin the line", "TO:", {"Reply-To: a", "To: b", "", "To: c"}, true, "To: b"},
        {"not after the empty line", "TO:", {"X: 1", "", "To: b"}, false, "old"},
        {"empty lines at the top skipped", "TO:", {"", "", "to: b"}, true, "to: b"},
        {"continuations trimmed and appended", "SUBJECT:", {"Subject: Hello", " World", "\tagain ", "X: y"}, true,
         "Subject: HelloWorldagain"},
        {"continuation stops at a non-blank start", "SUBJECT:", {"Subject: a", "B: c", " d"}, true, "Subject: a"},
        {"blank-only continuation adds nothing", "SUBJECT:", {"Subject: a", "   ", " b"}, true, "Subject: ab"},
        {"first match wins", "SUBJECT:", {"Subject: 1", "Subject: 2"}, true, "Subject: 1"},
        {"blank before colon not found", "TO:", {"To : b"}, false, "old"},
        {"empty list", "TO:", {}, false, "old"},
        {"only empty lines", "TO:", {"", ""}, false, "old"},
        {"continuation after the body starts not taken", "SUBJECT:", {"Subject: a", "", " b"}, true, "Subject: a"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string field = "old";
        EXPECT_EQ(FindHeader(r.key, r.lines, field), r.found);
        EXPECT_EQ(field, r.field);
    }
}

TEST(GetHeaderValue, TakesTheTextAfterTheKey) {
    struct Row {
        const char* key;
        const char* line;
        const char* expected;
    };
    const Row rows[] = {
        {"CONTENT-TYPE:", "Content-Type: text/plain; charset=us-ascii", "text/plain"},
        {"SUBJECT:", "Subject:   Re: one; two", "Re: one"},
        {"SUBJECT:", "Subject:", ""},
        {"NAME", "Content-Type: application/pdf; name=\"a.pdf\"", "=\"a.pdf\""},
        {"NAME", "Content-Type: x; filename=b.txt", "=b.txt"}, // the first "NAME" anywhere
        {"BOUNDARY", "no such thing", ""},
        {"", "anything", ""},
        {"SUBJECT:", "Subject: ;x", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.key) + " in " + r.line);
        EXPECT_EQ(GetHeaderValue(r.key, r.line), r.expected);
    }
}

TEST(SkipHeader, LeavesTheBody) {
    using L = std::vector<std::string>;
    struct Row {
        const char* name;
        L lines;
        L expected;
    };
    const Row rows[] = {
        {"header, blanks, body", {"A: 1", "B: 2", "", "", "body"}, {"body"}},
        {"starts blank", {"", "body"}, {"body"}},
        {"blank lines of blanks", {"A: 1", " \t", "\r", "body", "", "more"}, {"body", "", "more"}},
        {"no blank line", {"A: 1", "B: 2"}, {}},
        {"empty", {}, {}},
        {"only blanks", {"", " "}, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        L lines = r.lines;
        SkipHeader(lines);
        EXPECT_EQ(lines, r.expected);
        EXPECT_EQ(SkipHeaderPos(r.lines), r.lines.size() - r.expected.size());
    }
}

TEST(GetBoundary, GivesTheDelimiterLine) {
    struct Row {
        const char* name;
        std::string line;
        std::string expected;
    };
    const std::string b71(71, 'b');
    const std::string b80(80, 'b');
    const Row rows[] = {
        {"plain", "Content-Type: multipart/mixed; boundary=xyz; foo=1", "--xyz"},
        {"quoted with blank", "Content-Type: multipart/mixed; boundary=\"=_a b\"; foo=1", "--=_a b"},
        {"upper case key", "Content-Type: multipart/mixed; BOUNDARY=XyZ", "--XyZ"},
        {"blanks around", "Content-Type: multipart/mixed; boundary =  abc  ", "--abc"},
        {"unclosed quote", "Content-Type: multipart/mixed; boundary=\"abc", "--abc"},
        {"71 unquoted complete", "Content-Type: multipart/mixed; boundary=" + b71, "--" + b71},
        {"longer unquoted cut to 71", "Content-Type: multipart/mixed; boundary=" + b80, "--" + b71},
        {"70 quoted complete", "Content-Type: multipart/mixed; boundary=\"" + b80 + "\"", "--" + std::string(70, 'b')},
        {"missing boundary reads from the 8th character", "Content-Type: multipart/mixed", "--Type: multipart/mixed"},
        {"short line without boundary", "abc", "--"},
        {"boundary at the very end", "x; boundary", "--"},
        {"empty", "", "--"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(GetBoundary(r.line), r.expected);
    }
}

// ---- encoded words ----

TEST(DecodeEncodedWords, DecodesQAndBWords) {
    struct Row {
        const char* name;
        std::string text;
        std::string expected;
    };
    const Row rows[] = {
        {"Q word", "=?iso-8859-1?Q?Gr=FC=DFe?=", "Gr\xFC\xDF" "e"},
        {"lower-case b", "=?x?b?QUJD?=", "ABC"},
        {"unknown letter vanishes", "=?x?X?abc?= tail", " tail"},
        {"blanks between words stay", "a =?x?Q?b?= =?x?Q?c?=", "a b c"},
        {"broken stays", "=?broken", "=?broken"},
        {"no end stays", "x =?a?Q?abc", "x =?a?Q?abc"},
        {"underscore is blank", "=?a?q?a_b?=", "a b"},
        {"decoded word decoded again", "=?a?Q?=3D=3Fb=3FQ=3Fz=3F=3D?=", "z"},
        {"decoded = joins the following ?", "=?a?Q?x=3D?=?b?Q?y?=", "xy"},
        {"text ending in = before a word", "a==?b?Q?c?=", "a=c"},
        {"letter missing", "=?abc?", "=?abc?"},
        {"nothing after letter", "=?abc?Q", "=?abc?Q"},
        {"empty encoded", "=?a?Q?" "?=rest", "rest"},
        {"B with NUL kept", "=?a?B?AEE=?=", std::string("\0A", 2)},
        {"Q with =00 cut", "=?a?Q?x=00y?=!", "x!"},
        {"character after letter not checked", "=?a?QQxy?=", "xy"},
        {"stops at the first broken word", "=?a?Q?b?= =?c", "b =?c"},
        {"empty", "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(DecodeEncodedWords(r.text), r.expected);
        EXPECT_EQ(kel_literal::DecodeEncodedWords(r.text), r.expected);
    }
}

namespace {

// Random text from pieces that make encoded words, broken ones and words
// hidden in Q and B encodings, so that the re-decoding paths are reached.
std::string RandomHeaderText(std::mt19937& rng, int Pieces) {
    static const char* const pieces[] = {"=?",  "?=",     "?",      "=",   "Q",    "q",   "B",     "b",  "X",
                                         "x",   "_",      " ",      "=3D", "=3F",  "=3d", "=00",   "(",  ")",
                                         "<",   ">",      "\"",     "'",   ",",    "a@b", "QUJD",  "PT8", "Pz0",
                                         "=?a?Q?", "=?a?B?", "?=,", "\r\n", "\t", "=?=",   "==", "a"};
    std::string s;
    for (int i = 0; i < Pieces; ++i)
        s += pieces[rng() % std::size(pieces)];
    return s;
}

} // namespace

// The one-pass decoding against the restart-from-the-top rules.
TEST(DecodeEncodedWords, MatchesTheRestartingRulesOnGeneratedInput) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; ++round) {
        const std::string text = RandomHeaderText(rng, static_cast<int>(rng() % 30));
        ASSERT_EQ(DecodeEncodedWords(text), kel_literal::DecodeEncodedWords(text)) << "text: " << text;
    }
}

TEST(DecodeEncodedWords, HostileSizes) {
    // 50,000 words in one header, and a 1 MiB folded subject, in one pass.
    // (Large results are compared with EXPECT_TRUE so that a failure does not
    // print megabytes.)
    std::string many, expected;
    for (int i = 0; i < 50000; ++i) {
        many += "=?utf-8?B?QUJD?= ";
        expected += "ABC ";
    }
    EXPECT_TRUE(DecodeEncodedWords(many) == expected);

    std::vector<std::string> lines{"Subject: start"};
    for (int i = 0; i < (1 << 20) / 16; ++i)
        lines.push_back(" =?a?Q?x_y?= 012");
    lines.push_back("");
    std::string field;
    ASSERT_TRUE(FindHeader("SUBJECT:", lines, field));
    const std::string decoded = DecodeEncodedWords(GetHeaderValue("SUBJECT:", field));
    EXPECT_EQ(decoded.size(), 5 + ((1u << 20) / 16) * 7);
    EXPECT_EQ(decoded.substr(0, 19), "startx y 012x y 012");

    // A word that never ends, and long runs of "=?" and "?=".
    EXPECT_EQ(DecodeEncodedWords("=?a?Q?" + std::string(1 << 20, 'x')).size(), (1u << 20) + 6);
    std::string opens, mixed;
    for (int i = 0; i < 3000; ++i) {
        opens += "=?";
        mixed += i % 3 ? "=?" : "?=Q";
    }
    EXPECT_EQ(DecodeEncodedWords(opens), kel_literal::DecodeEncodedWords(opens));
    EXPECT_EQ(DecodeEncodedWords(mixed), kel_literal::DecodeEncodedWords(mixed));
    std::string bigOpens;
    for (int i = 0; i < (5 << 20); ++i)
        bigOpens += "=?";
    EXPECT_LT(DecodeEncodedWords(bigOpens).size(), bigOpens.size());
}

// ---- addresses ----

TEST(ExtractAddress, RemovesCommentsAndTakesTheBracketedPart) {
    struct Row {
        const char* mailbox;
        bool bracket;
        const char* expected;
    };
    const Row rows[] = {
        {"Desk <a1@x>", true, "<a1@x>"},
        {"Desk <a1@x>", false, "a1@x"},
        {"a1@x (Comment)", true, "<a1@x>"},
        {"(c1) a@x (c2)", false, "a@x"},
        {"a@x (nested (c) rest)", false, "a@x  rest)"},
        {"x :-) y (c) z", false, "x :-) y (c) z"}, // a ")" before the first "(" ends the removal
        {"a@x (open", false, "a@x (open"},
        {"> a <", false, ""},
        {"  plain@x  ", true, "<plain@x>"},
        {"", true, "<>"},
        {"<a> <b>", false, "a"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.mailbox);
        EXPECT_EQ(ExtractAddress(r.mailbox, r.bracket), r.expected);
        EXPECT_EQ(kel_literal::ExtractAddress(r.mailbox, r.bracket), r.expected);
    }
}

TEST(ExtractDisplayName, TakesTheNameOrTheComment) {
    struct Row {
        const char* mailbox;
        bool quote;
        const char* expected;
    };
    const Row rows[] = {
        {"Desk <a1>", true, "\"Desk\""},
        {"\"Sales\" <b2>", false, "Sales"},
        {"c3 (Info)", true, "\"Info\""},
        {"c3", true, "\"c3\""},
        {"O'Brien <x>", false, "OBrien"},
        {"> Name <", false, "> Name <"},
        {"x ) y ( z", false, ""},
        {"", true, "\"\""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.mailbox);
        EXPECT_EQ(ExtractDisplayName(r.mailbox, r.quote), r.expected);
    }
}

TEST(FormatAddressList, NormalisesEveryEntry) {
    struct Row {
        const char* name;
        std::string list;
        std::string expected;
    };
    const Row rows[] = {
        {"three entries", "Desk <a1>, \"Sales, North\" <b2>, c3 (Info)",
         "\"Desk\" <a1>, \"\" <b2>, \"Info\" <c3>"},
        {"bare address", "c3", "\"c3\" <c3>"},
        {"encoded name", "=?x?Q?J=F6rg?= <j@x>", "\"J\xF6rg\" <j@x>"},
        {"lone quote deleted", "Ann\" <a>", "\"Ann\" <a>"},
        {"empty entries", "a@x,,", "\"a@x\" <a@x>, \"\" <>, \"\" <>"},
        {"empty", "", "\"\" <>"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(FormatAddressList(r.list), r.expected);
        EXPECT_EQ(kel_literal::FormatAddressList(r.list), r.expected);
    }
}

// The one-pass comment, quote and comma handling against deleting from the
// front, on generated lists.
TEST(FormatAddressList, MatchesTheDeletingRulesOnGeneratedInput) {
    std::mt19937 rng(11);
    for (int round = 0; round < 20000; ++round) {
        const std::string list = RandomHeaderText(rng, static_cast<int>(rng() % 25));
        ASSERT_EQ(ExtractAddress(list, true), kel_literal::ExtractAddress(list, true)) << list;
        ASSERT_EQ(FormatAddressList(list), kel_literal::FormatAddressList(list)) << list;
        std::vector<std::string> lines = SplitLines(list), literal = lines;
        SkipHeader(lines);
        kel_literal::SkipHeader(literal);
        ASSERT_EQ(lines, literal) << list;
    }
}

TEST(FormatAddressList, HostileSizes) {
    std::string many;
    for (int i = 0; i < 100000; ++i)
        many += "(c)\"q,q\"a@b,";
    const std::string out = FormatAddressList(many);
    EXPECT_EQ(out.substr(0, 18), "\"c\" <a@b>, \"c\" <a@");
    std::string parens(1 << 20, '(');
    parens += std::string(1 << 20, ')');
    EXPECT_EQ(ExtractAddress(parens, false), std::string((1 << 20) - 1, ')'));
}

TEST(SmallHelpers, RemoveCharAndStripQuotes) {
    EXPECT_EQ(RemoveChar("a:b:c", ':'), "abc");
    EXPECT_EQ(RemoveChar("", ':'), "");
    EXPECT_EQ(RemoveChar(std::string("a\0b", 3), '\0'), "ab");
    struct Row {
        const char* text;
        const char* expected;
    };
    const Row rows[] = {
        {"\"a\"", "a"}, {"'a\"", "a"}, {"'a", "a"}, {"a'", "a"}, {"\"", ""},
        {"''", ""},     {"", ""},      {"'''", "'"}, {"a", "a"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(StripQuotes(r.text), r.expected);
    }
}

// ---- temporary files ----

namespace {

// Points TMPDIR at a directory of its own for the life of the object.
class ScopedTmpDir {
  public:
    ScopedTmpDir() {
        char templ[] = "/tmp/keltestXXXXXX";
        Dir = ::mkdtemp(templ);
        const char* old = std::getenv("TMPDIR");
        HadOld = old != nullptr;
        if (HadOld)
            Old = old;
        ::setenv("TMPDIR", (Dir + "/").c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (HadOld)
            ::setenv("TMPDIR", Old.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        ::rmdir(Dir.c_str());
    }
    int Entries() const {
        int n = 0;
        if (DIR* d = ::opendir(Dir.c_str())) {
            while (dirent* e = ::readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    ++n;
            ::closedir(d);
        }
        return n;
    }
    std::string Dir;

  private:
    bool HadOld = false;
    std::string Old;
};

} // namespace

TEST(TempFiles, CreatedExclusivelyPrivateAndKept) {
    ScopedTmpDir dir;
    EXPECT_EQ(TempDirectory(), dir.Dir);
    const std::string a = MakeTempFileName(), b = MakeTempFileName();
    EXPECT_NE(a, b);
    for (const std::string& name : {a, b}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(name.rfind(dir.Dir + "/kel", 0), 0u);
        struct stat st {};
        ASSERT_EQ(::stat(name.c_str(), &st), 0) << "the created file is the one handed out";
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_size, 0);
        ::unlink(name.c_str());
    }
    EXPECT_EQ(dir.Entries(), 0);
}

TEST(TempFiles, RemovedOnEveryPath) {
    ScopedTmpDir dir;
    std::string name;
    {
        TTempFile t;
        name = t.Name();
        t.WriteAll("abc");
        t.WriteAll(std::string(100000, 'x'));
        EXPECT_EQ(t.ReadAll().size(), 100003u);
        t.Truncate();
        t.WriteAll("z");
        EXPECT_EQ(t.ReadAll(), "z");
        struct stat st {};
        ASSERT_EQ(::fstat(t.Fd(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_NE(::access(name.c_str(), F_OK), 0);

    try {
        TTempFile t;
        name = t.Name();
        throw std::runtime_error("fails half way");
    } catch (const std::runtime_error&) {
    }
    EXPECT_NE(::access(name.c_str(), F_OK), 0);

    TTempFile moved;
    {
        TTempFile t;
        name = t.Name();
        moved = std::move(t);
        EXPECT_EQ(t.Fd(), -1);
    }
    EXPECT_EQ(::access(name.c_str(), F_OK), 0) << "the moved-to object owns the file";
    moved.Remove();
    EXPECT_NE(::access(name.c_str(), F_OK), 0);
    EXPECT_THROW(moved.WriteAll("x"), EStreamError);
    EXPECT_EQ(dir.Entries(), 0);
}

TEST(TempFiles, UnusableDirectoryIsAFileError) {
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    const bool hadOld = old != nullptr;
    ::setenv("TMPDIR", "/nonexistent-kel-dir", 1);
    EXPECT_THROW(MakeTempFileName(), EFileError);
    EXPECT_THROW(TTempFile(), EFileError);
    if (hadOld)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}
