// Parse on generated messages: compared with the step-by-step parser on many
// random structures (a differential test), and run on hostile inputs the
// real-world corpus lacks (deep nesting, huge part counts, huge lines).

#include "KelMsg_literal.h"
#include "message/KelMsg.h"
#include "message/kel_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Random messages built from the pieces that steer the parser: boundaries
// that clash or nearly match, delimiters in odd places, missing separators,
// uuencoded blocks good and bad, encodings and names of every kind.
class MessageGen {
  public:
    explicit MessageGen(uint32_t Seed) : FRng(Seed) {}

    Lines Message() {
        Lines out;
        Entity(out, 0, true);
        Mutate(out);
        if (P(10))
            Dirty(out);
        return out;
    }

  private:
    std::mt19937 FRng;

    int R(int n) { return static_cast<int>(FRng() % static_cast<uint32_t>(n)); }
    bool P(int Percent) { return R(100) < Percent; }
    template <size_t N> const char* Pick(const char* const (&a)[N]) { return a[R(N)]; }

    static constexpr const char* kBoundaries[] = {"b", "b2", "B", "=_x", "a b", "x;y", ""};
    static constexpr const char* kNames[] = {"a.txt", "../../x", "..", ".", "x:y?.pdf", "=?x?Q?n_m?=.gif",
                                             "\"q.doc\"", "'s.zip'", "", "a\x01" "b", "long name with blanks.bin"};
    static constexpr const char* kTextLines[] = {
        "plain words", "", " ", "\t", "end", "END", " end ", "begin 644 f.bin", "begin 777 x.bin", "BEGIN 600 y.b",
        "begin 64 zz.bin", "#2&DA", "#0V%T", "`", "#2&da", "M2&DA", "_", "a=3Db", "soft=", "=?x?Q?a?=", "--b", "--b--",
        "--b ", "--B", "Content-Type: text/plain", "Content-Type: multipart/mixed; boundary=b", "X: 1", "QUJD",
        "bGluZQ0K", "=", "a_b=C3=A9"};
    static constexpr const char* kBase64Lines[] = {"QUJD", "UERGREFUQQD/", "QQ==", "QQ==QQ==", "=AAA", "QU JD", "Q", "", "!!"};

    void Fold(Lines& out, const std::string& Field) {
        if (P(15)) {
            size_t cut = Field.size() / 2;
            out.push_back(Field.substr(0, cut));
            out.push_back((P(50) ? " " : "\t") + Field.substr(cut));
        } else {
            out.push_back(Field);
        }
    }

    std::string Boundary() { return Pick(kBoundaries); }

    std::string Delimiter(const std::string& b) {
        if (P(92))
            return "--" + b;
        static constexpr const char* kOdd[] = {"--b ", "--B", "-b", "--" , "--b2--", "--b--"};
        return Pick(kOdd);
    }

    void TextBody(Lines& out) {
        int n = R(8);
        for (int i = 0; i < n; ++i)
            out.push_back(Pick(kTextLines));
    }

    void Entity(Lines& out, int Depth, bool Top) {
        if (P(5))
            out.push_back("");
        if (Top || P(30)) {
            static constexpr const char* kFields[] = {"Subject: Re: one;", "From: A <a@b>", "To: x@y, \"Q, R\" <q@r>",
                                                      "Received: from mx", "Subject: =?x?B?QUJD?=", "Date: today",
                                                      "Cc: c (C)", "Reply-To: r", "Message-ID: <m>"};
            int n = R(4);
            for (int i = 0; i < n; ++i)
                Fold(out, Pick(kFields));
        }
        int kind = R(100);
        if (Depth >= 5 && kind >= 30 && kind < 58)
            kind = 0;
        std::string cte;
        if (kind < 30) { // text
            static constexpr const char* kTypes[] = {"text/plain", "text/html", "Text/Enriched", "application/octet-stream"};
            if (P(80))
                Fold(out, std::string("Content-Type: ") + Pick(kTypes) + (P(20) ? "; name=" + std::string(Pick(kNames)) : ""));
            static constexpr const char* kEnc[] = {"7bit", "quoted-printable", "base64", "x-uuencode", "8bit"};
            if (P(50)) {
                cte = Pick(kEnc);
                out.push_back("Content-Transfer-Encoding: " + cte);
            }
        } else if (kind < 50) { // multipart
            std::string b = Boundary();
            std::string ct = "Content-Type: multipart/" + std::string(P(50) ? "mixed" : "alternative");
            if (P(95))
                ct += P(50) ? "; boundary=\"" + b + "\"" : "; boundary=" + b;
            Fold(out, ct);
            Separator(out);
            int pre = R(3);
            for (int i = 0; i < pre; ++i)
                out.push_back(Pick(kTextLines));
            int parts = R(5);
            for (int i = 0; i < parts; ++i) {
                out.push_back(Delimiter(b));
                Entity(out, Depth + 1, false);
            }
            if (P(70))
                out.push_back("--" + b + "--");
            else if (P(30))
                out.push_back("--" + b);
            int epi = R(3);
            for (int i = 0; i < epi; ++i)
                out.push_back(Pick(kTextLines));
            return;
        } else if (kind < 58) { // embedded message
            Fold(out, std::string("Content-Type: message/rfc822") + (P(15) ? "; name=fw.eml" : ""));
            Separator(out);
            Entity(out, Depth + 1, true);
            return;
        } else if (kind < 72) { // base64 / quoted-printable attachment
            Fold(out, std::string("Content-Type: image/gif") + (P(70) ? "; name=" + std::string(Pick(kNames)) : ""));
            if (P(30))
                Fold(out, std::string("Content-Disposition: attachment; filename=") + Pick(kNames));
            cte = P(70) ? "base64" : "quoted-printable";
            out.push_back("Content-Transfer-Encoding: " + cte);
            Separator(out);
            int n = R(6);
            for (int i = 0; i < n; ++i)
                out.push_back(cte == "base64" ? Pick(kBase64Lines) : Pick(kTextLines));
            return;
        } else if (kind < 82) { // x-uuencode part
            Fold(out, std::string("Content-Type: application/x") + (P(50) ? "; name=u.bin" : ""));
            out.push_back("Content-Transfer-Encoding: x-uuencode");
            Separator(out);
            if (P(90))
                out.push_back("begin 644 u.bin");
            static constexpr const char* kUU[] = {"#2&DA", "#0V%T", "", "`", "end", "M2&DA", "#2&da", "42&DA", "+:&5L;&\\@=V]R;&0`"};
            int n = R(6);
            for (int i = 0; i < n; ++i)
                out.push_back(Pick(kUU));
            if (P(70))
                out.push_back("end");
            return;
        } else if (kind < 90) { // no header at all
            TextBody(out);
            return;
        } else { // odd types
            static constexpr const char* kTypes[] = {"message/rfc822x", "x/multipart-ish; boundary=b", "MESSAGE/RFC822",
                                                     "image/png; name=", "application/pdf; name=\"\""};
            Fold(out, std::string("Content-Type: ") + Pick(kTypes));
        }
        Separator(out);
        if (cte == "base64") {
            int n = R(4);
            for (int i = 0; i < n; ++i)
                out.push_back(Pick(kBase64Lines));
        } else {
            TextBody(out);
        }
    }

    void Separator(Lines& out) {
        int s = R(100);
        if (s < 85)
            out.push_back("");
        else if (s < 92)
            out.push_back(" ");
        else if (s < 96)
            out.push_back("\t");
        // else: no separator at all
    }

    void Mutate(Lines& L) {
        if (L.empty() || !P(25))
            return;
        int n = 1 + R(3);
        for (int i = 0; i < n && !L.empty(); ++i) {
            size_t at = static_cast<size_t>(R(static_cast<int>(L.size())));
            switch (R(4)) {
            case 0: L.erase(L.begin() + static_cast<ptrdiff_t>(at)); break;
            case 1: L.insert(L.begin() + static_cast<ptrdiff_t>(at), L[at]); break;
            case 2: L.insert(L.begin() + static_cast<ptrdiff_t>(at), Pick(kTextLines)); break;
            default: std::swap(L[at], L[static_cast<size_t>(R(static_cast<int>(L.size())))]); break;
            }
        }
    }

    // Line ends and NUL inside lines, as a caller other than a retrieval
    // might hand them over.
    void Dirty(Lines& L) {
        if (L.empty())
            return;
        static constexpr const char* kBits[] = {"\r", "\n", "\r\n"};
        int n = 1 + R(3);
        for (int i = 0; i < n; ++i) {
            std::string& l = L[static_cast<size_t>(R(static_cast<int>(L.size())))];
            size_t at = l.empty() ? 0 : static_cast<size_t>(R(static_cast<int>(l.size()) + 1));
            int which = R(4);
            l.insert(at, which == 3 ? std::string(1, '\0') : std::string(kBits[which]));
        }
    }
};

std::string Describe(const Lines& L) {
    std::string s;
    for (const std::string& l : L) {
        for (char c : l)
            s += (static_cast<unsigned char>(c) < 32) ? '^' : c;
        s += "\n";
    }
    return s;
}

TEST(KelMsgGenerated, ParseEqualsTheStepByStepParser) {
    int failures = 0, oops = 0, withFiles = 0;
    for (uint32_t seed = 1; seed <= 4000; ++seed) {
        MessageGen gen(seed);
        const Lines raw = gen.Message();
        auto [lib, lit] = kel_literal::ParseBothWays(raw, seed % 5 != 0);
        if (!(lib == lit)) {
            ADD_FAILURE() << "seed " << seed << "\n" << Describe(raw);
            if (++failures > 3)
                break;
        }
        oops += !lib.Error.empty();
        withFiles += !lib.Files.empty();
    }
    // The generator must reach the interesting paths, not only plain text.
    EXPECT_GT(oops, 40);
    EXPECT_GT(withFiles, 1000);
}

// A multipart message with one line holding a CR, an LF or a NUL at each
// place of lines of many lengths: the check that decides whether the lines
// must be joined and split again looks at lines in blocks of 16 and 32 bytes
// with an overlapping last block, and every place of every block must count.
TEST(KelMsgGenerated, ALineEndOrNulAnywhereInALineIsSeen) {
    for (const size_t len : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 76u, 100u}) {
        for (size_t at = 0; at < len; ++at) {
            for (const char c : {'\r', '\n', '\0'}) {
                std::string line(len, 'x');
                line[at] = c;
                if (at + 4 <= len)
                    line.replace(at + 1, std::min<size_t>(3, len - at - 1), "--b", 0, std::min<size_t>(3, len - at - 1));
                const Lines raw = {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "before", line,
                                   "after", "--b", "", "second", "--b--"};
                auto [lib, lit] = kel_literal::ParseBothWays(raw);
                ASSERT_TRUE(lib == lit) << "length " << len << " at " << at << " byte " << int(c);
            }
        }
    }
}

TEST(KelMsgGenerated, SplitMultipartEqualsJoiningAndSplittingAtEveryLevel) {
    for (uint32_t seed = 1; seed <= 3000; ++seed) {
        MessageGen gen(seed);
        const std::string text = kel::JoinLines(gen.Message());
        std::vector<kel_literal::LiteralParser::Leaf> leaves;
        kel_literal::LiteralParser::Split(text, 0, leaves);
        const auto fast = kel::SplitMultipart(text);
        ASSERT_EQ(fast.size(), leaves.size()) << "seed " << seed;
        for (size_t i = 0; i < fast.size(); ++i)
            ASSERT_EQ(fast[i], leaves[i].Lines) << "seed " << seed << " leaf " << i;
    }
}

// ---- hostile inputs ----

Lines Nested(int Levels, bool Embedded) {
    Lines out;
    for (int i = 0; i < Levels; ++i) {
        if (Embedded) {
            out.push_back("Content-Type: message/rfc822");
            out.push_back("");
        } else {
            out.push_back("Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"");
            out.push_back("");
            out.push_back("--b" + std::to_string(i));
        }
    }
    out.push_back("Content-Type: text/plain");
    out.push_back("");
    out.push_back("deep text");
    if (!Embedded)
        for (int i = Levels - 1; i >= 0; --i)
            out.push_back("--b" + std::to_string(i) + "--");
    return out;
}

TEST(KelMsgHostile, DeepNestingIsShownAsTextBelowTheLimit) {
    struct Row {
        const char* name;
        int levels;
        bool embedded;
    } rows[] = {
        {"multipart 10", 10, false},         {"multipart 60", 60, false},
        {"multipart 1,000", 1000, false},    {"multipart 10,000", 10000, false},
        {"message/rfc822 10", 10, true},     {"message/rfc822 1,000", 1000, true},
        {"message/rfc822 10,000", 10000, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const Lines raw = Nested(r.levels, r.embedded);
        kel_literal::ParsedMsg lib;
        if (r.levels <= 1000) {
            auto [fast, lit] = kel_literal::ParseBothWays(raw);
            EXPECT_TRUE(fast == lit);
            lib = fast;
        } else {
            kel::TKelMsg m;
            m.RawMail = raw;
            m.Parse();
            lib = kel_literal::Snapshot(m, "");
        }
        EXPECT_EQ(lib.Error, "");
        ASSERT_FALSE(lib.Text.empty());
        // Nothing is lost: the deepest text is there, alone when the nesting
        // is taken apart completely, within the unsplit source otherwise.
        EXPECT_NE(std::find(lib.Text.begin(), lib.Text.end(), "deep text"), lib.Text.end());
        if (r.levels <= 60) {
            EXPECT_EQ(lib.Text, Lines{"deep text"});
        } else if (r.levels >= 1000) {
            EXPECT_GT(lib.Text.size(), 1000u);
        }
    }
}

TEST(KelMsgHostile, MixedNestingOfMultipartAndEmbeddedMessages) {
    Lines raw;
    const int levels = 5000;
    for (int i = 0; i < levels; ++i) {
        raw.push_back("Content-Type: multipart/mixed; boundary=\"m" + std::to_string(i) + "\"");
        raw.push_back("");
        raw.push_back("--m" + std::to_string(i));
        raw.push_back("Content-Type: message/rfc822");
        raw.push_back("");
    }
    raw.push_back("");
    raw.push_back("bottom");
    kel::TKelMsg m;
    m.RawMail = raw;
    EXPECT_NO_THROW(m.Parse());
    EXPECT_NE(std::find(m.Text.begin(), m.Text.end(), "bottom"), m.Text.end());
}

TEST(KelMsgHostile, HundredThousandEmptyParts) {
    for (bool blankBetween : {true, false}) {
        SCOPED_TRACE(blankBetween ? "delimiter and blank line" : "delimiters only");
        Lines raw = {"Content-Type: multipart/mixed; boundary=b", ""};
        for (int i = 0; i < 100000; ++i) {
            raw.push_back("--b");
            if (blankBetween)
                raw.push_back("");
        }
        raw.push_back("--b--");
        auto [lib, lit] = kel_literal::ParseBothWays(raw);
        EXPECT_TRUE(lib == lit);
        EXPECT_TRUE(lib.Files.empty());
        EXPECT_TRUE(lib.Text.empty());
    }
}

TEST(KelMsgHostile, MegabyteFoldedSubject) {
    Lines raw = {"Subject: start"};
    std::string expected = "start";
    while (expected.size() < (1u << 20)) {
        raw.push_back(" abcdefghi");
        expected += "abcdefghi";
    }
    // Encoded words folded on 50,000 lines decode as one text.
    raw.push_back("From: =?x?Q?a?=");
    for (int i = 0; i < 50000; ++i)
        raw.push_back(" =?x?Q?b_?=");
    raw.push_back("");
    raw.push_back("body");
    kel::TKelMsg m;
    m.RawMail = raw;
    m.Parse();
    EXPECT_TRUE(m.Subject == expected);
    std::string from = "a";
    for (int i = 0; i < 50000; ++i)
        from += "b ";
    EXPECT_TRUE(m.From == from);
    EXPECT_EQ(m.Text, Lines{"body"});
}

TEST(KelMsgHostile, TenMebibyteLines) {
    const size_t big = 10u << 20;
    const std::string text(big, 'x');
    std::string b64;
    b64.reserve(big);
    while (b64.size() + 4 <= big)
        b64 += "QUJD";

    Lines raw = {"X-Long: " + text, "Content-Type: multipart/mixed; boundary=b", "", "--b", "", text, "--b",
                 "Content-Type: application/x; name=big.bin", "Content-Transfer-Encoding: base64", "", b64, "--b", "",
                 "begin 644 " + text, "#2&DA", "--b--"};
    kel::TKelMsg m;
    m.RawMail = raw;
    m.Parse();
    EXPECT_EQ(m.From, "g: " + text.substr(0, 69));
    ASSERT_EQ(m.Text.size(), 1u);
    EXPECT_TRUE(m.Text[0] == text);
    ASSERT_EQ(m.AttachedFiles.Count(), 2);
    EXPECT_EQ(m.AttachedFiles.Items(0).Data.size(), b64.size() / 4 * 3);
    EXPECT_EQ(m.AttachedFiles.Items(1).FileName, std::string(64, 'x'));
    EXPECT_EQ(m.AttachedFiles.Items(1).Data, "Hi!"); // the block runs to the end of its part
}

TEST(KelMsgHostile, LongUUBlockWithALyingLineFailsCleanly) {
    Lines raw = {"Subject: s", "", "text", "begin 644 big.bin"};
    for (int i = 0; i < 20000; ++i)
        raw.push_back("M" + std::string(60, '!'));
    raw.push_back("M" + std::string(30, '!')); // announces 45 bytes, holds 22
    raw.push_back("end");
    kel::TKelMsg m;
    m.RawMail = raw;
    EXPECT_THROW(m.Parse(), kel::Exception);
    ASSERT_EQ(m.AttachedFiles.Count(), 1);
    EXPECT_TRUE(m.AttachedFiles.Items(0).Data.empty());
    EXPECT_EQ(m.AttachedFiles.Items(0).Lines.size(), 20002u);
    EXPECT_TRUE(m.Text.empty());
    EXPECT_EQ(m.RawMail, raw);
}

} // namespace

namespace {

// Quoted-printable bodies long enough to be decoded in many pieces, built
// from the escapes that matter where two pieces meet: soft line breaks,
// encoded CR and LF, escapes at a line's end, NUL from "=00".
TEST(KelMsgGenerated, LongQuotedPrintableBodiesDecodeAsOnePiece) {
    static const char* const kTokens[] = {"abc", "=0D", "=0A", "=0D=0A", "_", "=3D", "==", "=Z", "=", "x=0", "=00", "\r"};
    std::mt19937 rng(11);
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        const bool withNul = round % 6 == 5;
        const bool attachment = round % 2 == 1;
        Lines raw = {attachment ? "Content-Type: application/x; name=q.bin" : "Content-Type: text/plain",
                     "Content-Transfer-Encoding: quoted-printable", ""};
        size_t bytes = 0;
        while (bytes < 300000) {
            // Lines often begin with an encoded LF and end with an encoded CR
            // before a soft line break, so that where two pieces meet a CR
            // and an LF often meet too.
            std::string line = rng() % 5 < 2 ? "=0A" : "";
            const int tokens = 1 + static_cast<int>(rng() % 30);
            for (int t = 0; t < tokens; ++t)
                line += kTokens[rng() % (withNul ? 12 : 10)];
            const unsigned end = rng() % 10;
            if (end < 3)
                line += "=0D=";
            else if (end < 5)
                line += "="; // soft line break
            bytes += line.size() + 2;
            raw.push_back(line);
        }
        auto [lib, lit] = kel_literal::ParseBothWays(raw);
        ASSERT_TRUE(lib == lit);
        EXPECT_EQ(lib.Files.size(), attachment ? 1u : 0u);
    }
}

} // namespace
