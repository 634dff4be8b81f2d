// Parse against the step-by-step parser on random structures, and on hostile
// inputs the real-world corpus lacks.

#include "KelMsg_literal.h"
#include "mail/message/KelMsg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Random messages from the pieces that steer the parser (clashing boundaries,
// odd delimiters, missing separators, good and bad uuencode, odd names).
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
        if (!P(15))
            return out.push_back(Field);
        out.push_back(Field.substr(0, Field.size() / 2));
        out.push_back((P(50) ? " " : "\t") + Field.substr(Field.size() / 2));
    }

    std::string Delimiter(const std::string& b) {
        if (P(92))
            return "--" + b;
        static constexpr const char* kOdd[] = {"--b ", "--B", "-b", "--" , "--b2--", "--b--"};
        return Pick(kOdd);
    }

    void TextBody(Lines& out) {
        for (int i = 0, n = R(8); i < n; ++i)
            out.push_back(Pick(kTextLines));
    }

    void Entity(Lines& out, int Depth, bool Top) {
        if (P(5))
            out.push_back("");
        if (Top || P(30)) {
            static constexpr const char* kFields[] = {"Subject: Re: one;", "From: A <a@b>", "To: x@y, \"Q, R\" <q@r>",
                                                      "Received: from mx", "Subject: =?x?B?QUJD?=", "Date: today",
                                                      "Cc: c (C)", "Reply-To: r", "Message-ID: <m>"};
            for (int i = 0, n = R(4); i < n; ++i)
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
            std::string b = Pick(kBoundaries);
            std::string ct = "Content-Type: multipart/" + std::string(P(50) ? "mixed" : "alternative");
            if (P(95))
                ct += P(50) ? "; boundary=\"" + b + "\"" : "; boundary=" + b;
            Fold(out, ct);
            Separator(out);
            for (int i = 0, pre = R(3); i < pre; ++i)
                out.push_back(Pick(kTextLines));
            for (int i = 0, parts = R(5); i < parts; ++i) {
                out.push_back(Delimiter(b));
                Entity(out, Depth + 1, false);
            }
            if (P(70))
                out.push_back("--" + b + "--");
            else if (P(30))
                out.push_back("--" + b);
            for (int i = 0, epi = R(3); i < epi; ++i)
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
            for (int i = 0, n = R(6); i < n; ++i)
                out.push_back(cte == "base64" ? Pick(kBase64Lines) : Pick(kTextLines));
            return;
        } else if (kind < 82) { // x-uuencode part
            Fold(out, std::string("Content-Type: application/x") + (P(50) ? "; name=u.bin" : ""));
            out.push_back("Content-Transfer-Encoding: x-uuencode");
            Separator(out);
            if (P(90))
                out.push_back("begin 644 u.bin");
            static constexpr const char* kUU[] = {"#2&DA", "#0V%T", "", "`", "end", "M2&DA", "#2&da", "42&DA", "+:&5L;&\\@=V]R;&0`"};
            for (int i = 0, n = R(6); i < n; ++i)
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
            for (int i = 0, n = R(4); i < n; ++i)
                out.push_back(Pick(kBase64Lines));
        } else {
            TextBody(out);
        }
    }

    void Separator(Lines& out) { // "", " ", "\t" or none at all
        const int s = R(100);
        if (s < 96)
            out.push_back(s < 85 ? "" : s < 92 ? " " : "\t");
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

    // Line ends and NUL inside lines, as a caller other than a retrieval might
    // hand them over: the parts holding them are joined and split again.
    void Dirty(Lines& L) {
        if (L.empty())
            return;
        static constexpr const char* kBits[] = {"\r", "\n", "\r\n"};
        for (int i = 1 + R(3); i > 0; --i) {
            std::string& l = L[static_cast<size_t>(R(static_cast<int>(L.size())))];
            const size_t at = l.empty() ? 0 : static_cast<size_t>(R(static_cast<int>(l.size()) + 1));
            const int which = R(4);
            l.insert(at, which == 3 ? std::string(1, '\0') : std::string(kBits[which]));
        }
    }
};

TEST(KelMsgGenerated, ParseEqualsTheStepByStepParser) {
    int failures = 0, oops = 0, withFiles = 0;
    for (uint32_t seed = 1; seed <= 4000; ++seed) {
        const Lines raw = MessageGen(seed).Message();
        auto [lib, lit] = kel_literal::ParseBothWays(raw, seed % 5 != 0);
        if (!(lib == lit)) {
            ADD_FAILURE() << "seed " << seed; // MessageGen(seed) rebuilds the input
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

// The check for line ends inside lines scans 16- and 32-byte blocks with an
// overlapping last block: a CR or LF at every place must count, and a NUL,
// an ordinary byte, must not.
TEST(KelMsgGenerated, ALineEndAnywhereInALineIsSeen) {
    for (const size_t len : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 65u}) {
        for (size_t at = 0; at < len; ++at) {
            for (const char c : {'\r', '\n', '\0'}) {
                std::string line(len, 'x');
                line[at] = c;
                if (at + 4 <= len)
                    line.replace(at + 1, 3, "--b");
                const Lines raw = {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "before", line,
                                   "after", "--b", "", "second", "--b--"};
                auto [lib, lit] = kel_literal::ParseBothWays(raw);
                ASSERT_TRUE(lib == lit) << "length " << len << " at " << at << " byte " << int(c);
                const bool shownWhole = std::find(lib.Text.begin(), lib.Text.end(), line) != lib.Text.end();
                ASSERT_EQ(shownWhole, c == '\0') << len << " " << at;
            }
        }
    }
}

// Quoted-printable is decoded a chunk of lines at a time: escapes that matter
// where two chunks meet (soft breaks, encoded CR LF, "=00").
TEST(KelMsgGenerated, LongQuotedPrintableBodiesDecodeAsOnePiece) {
    static const char* const kTokens[] = {"abc", "=0D", "=0A", "=0D=0A", "_", "=3D", "==", "=Z", "=", "x=0", "=00", "\r"};
    std::mt19937 rng(11);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const bool attachment = round % 2 == 1;
        Lines raw = {attachment ? "Content-Type: application/x; name=q.bin" : "Content-Type: text/plain",
                     "Content-Transfer-Encoding: quoted-printable", ""};
        for (size_t bytes = 0; bytes < 300000;) {
            std::string line = rng() % 5 < 2 ? "=0A" : "";
            for (int t = 0, n = 1 + static_cast<int>(rng() % 30); t < n; ++t)
                line += kTokens[rng() % (round >= 2 ? 12 : 10)];
            const unsigned end = rng() % 10;
            line += end < 3 ? "=0D=" : end < 5 ? "=" : "";
            bytes += line.size() + 2;
            raw.push_back(line);
        }
        auto [lib, lit] = kel_literal::ParseBothWays(raw);
        ASSERT_TRUE(lib == lit);
    }
}

// ---- hostile inputs ----

using kel_literal::ParseLibrary;

TEST(KelMsgHostile, DeepNestingIsShownAsTextBelowTheLimit) {
    for (const bool embedded : {false, true}) {
        SCOPED_TRACE(embedded ? "message/rfc822" : "multipart");
        Lines raw;
        for (int i = 0; i < 10000; ++i) {
            const std::string b = "b" + std::to_string(i);
            for (const std::string& l : embedded ? Lines{"Content-Type: message/rfc822", ""}
                                                 : Lines{"Content-Type: multipart/mixed; boundary=\"" + b + "\"", "", "--" + b})
                raw.push_back(l);
        }
        for (const char* l : {"Content-Type: text/plain", "", "deep text"})
            raw.push_back(l);
        const auto lib = ParseLibrary(raw, true, embedded); // Parse, or ParseLines with views
        EXPECT_EQ(lib.Error, "");
        EXPECT_NE(std::find(lib.Text.begin(), lib.Text.end(), "deep text"), lib.Text.end());
        EXPECT_GT(lib.Text.size(), 1000u);
    }
}

TEST(KelMsgHostile, HundredThousandEmptyParts) {
    Lines raw = {"Content-Type: multipart/mixed; boundary=b", ""};
    for (int i = 0; i < 100000; ++i)
        raw.push_back(i < 50000 || i % 2 ? "--b" : ""); // delimiters alone, then with blank lines
    raw.push_back("--b--");
    auto [lib, lit] = kel_literal::ParseBothWays(raw);
    EXPECT_TRUE(lib == lit);
    EXPECT_TRUE(lib.Files.empty() && lib.Text.empty());
}

TEST(KelMsgHostile, HugeFieldsAndLines) {
    // 50,000 folded encoded words, a 10 MiB header line, body line and begin line.
    Lines raw = {"From: =?x?Q?a?="};
    std::string from = "a";
    for (int i = 0; i < 50000; ++i) {
        raw.push_back(" =?x?Q?b_?=");
        from += "b ";
    }
    const std::string text(10u << 20, 'x');
    for (const std::string& l : {"X-Long: " + text, std::string(), text, "begin 644 " + text, std::string("#2&DA")})
        raw.push_back(l);
    const auto m = ParseLibrary(raw);
    EXPECT_TRUE(m.From == from);
    ASSERT_EQ(m.Text.size(), 1u);
    EXPECT_TRUE(m.Text[0] == text);
    ASSERT_EQ(m.Files.size(), 1u);
    EXPECT_EQ(m.Files[0].FileName, std::string(64, 'x'));
    EXPECT_EQ(m.Files[0].Data, "Hi!"); // the block runs to the end of the text
}

} // namespace
