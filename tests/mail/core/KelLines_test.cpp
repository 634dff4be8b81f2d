#include "mail/core/KelLines.h"
#include "mail/message/kel_literal.h"

#include <gtest/gtest.h>

#include <random>

using namespace kel;

namespace {

using L = std::vector<std::string>;

} // namespace

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
        // Nothing is cut at a NUL, whichever way a text is split.
        ASSERT_EQ(SplitLines(text), kel_literal::SplitLines(text)) << round;
        L appended{"x"};
        AppendSplitLines(appended, text);
        appended.erase(appended.begin());
        ASSERT_EQ(appended, kel_literal::SplitLines(text)) << round;
        std::vector<std::string_view> views{"x"}; // one pass over 32-byte blocks, or the general way
        AppendSplitLines(views, text);
        ASSERT_EQ(L(views.begin() + 1, views.end()), appended) << round;
        TTextLines kept{"x"}; // the buffered list splits alike, after what it holds
        kept.AppendSplit(text);
        ASSERT_EQ(kept.size(), appended.size() + 1) << round;
        ASSERT_EQ(L(kept.begin() + 1, kept.end()), appended) << round;
    }
    EXPECT_EQ(JoinLines(L{"a", "", "b"}), "a\r\n\r\nb\r\n");
}

// The fast paths choose by processor and by what the text holds (a CR
// without LF sends the views back to the general way), and they
// work in 16- and 32-byte blocks: every length around a block edge, with a
// line end, a lone CR or a NUL placed at each position of it, must split as
// the plain byte loop does.
TEST(TextLists, FastPathsAgreeWithThePlainLoopAtEveryBlockEdge) {
    const std::string fillers[] = {"a", "\r\n", "\n", "\r", std::string(1, '\0')};
    for (size_t len = 0; len <= 70; ++len)
        for (const std::string& base : {std::string("x"), std::string("\r\n")})
            for (size_t at = 0; at <= len; ++at)
                for (const std::string& mark : fillers) {
                    std::string text;
                    while (text.size() < len)
                        text += base;
                    text.resize(len);
                    text.insert(at, mark);
                    std::vector<std::string_view> plain, fast;
                    AppendSplitLinesPlain(plain, text);
                    AppendSplitLines(fast, text);
                    ASSERT_EQ(fast, plain) << len << " " << at << " " << int(mark[0]);
                    ASSERT_EQ(L(plain.begin(), plain.end()), kel_literal::SplitLines(text)) << len << " " << at;
                }
}

TEST(TextLists, FastPathsAgreeWithThePlainLoopOnRandomText) {
    std::mt19937 rng(11);
    const char alphabet[] = {'a', 'b', '\r', '\n', '\0', ' '};
    for (int round = 0; round < 2000; ++round) {
        // Mostly ordinary text with a line end now and then; every fourth
        // round dense with line ends; now and then a NUL or a lone CR.
        const size_t len = rng() % (round % 10 == 0 ? 5000 : 200);
        const unsigned dense = round % 4 == 0 ? 2 : 40;
        std::string text;
        for (size_t i = 0; i < len; ++i) {
            const unsigned r = static_cast<unsigned>(rng() % (dense * 6));
            text += r < 6 ? alphabet[r] : (r % 7 == 0 ? '\n' : 'x');
        }
        std::vector<std::string_view> plain{"kept"}, fast{"kept"};
        AppendSplitLinesPlain(plain, text);
        AppendSplitLines(fast, text);
        ASSERT_EQ(fast, plain) << round;
    }
}

// One buffer for all lines: every line must come back with its own bytes,
// whichever way it was added and however often the buffer grew, and two
// lists are equal only when their lines are, not merely their bytes.
TEST(TextLists, BufferedLinesKeepEachLineApart) {
    std::mt19937 rng(3);
    L reference;
    TTextLines lines;
    for (int round = 0; round < 400; ++round) {
        std::string line(rng() % (round % 50 == 0 ? 5000 : 40), 'a');
        for (char& c : line)
            c = static_cast<char>(rng() % 256); // NUL, CR and LF are bytes like any other here
        switch (round % 4) {
        case 0: lines.push_back(line); reference.push_back(line); break;
        case 1: {
            const L more{line, "", line.substr(0, line.size() / 2)};
            lines.Append(more);
            reference.insert(reference.end(), more.begin(), more.end());
            break;
        }
        case 2: {
            const std::vector<std::string_view> more{line, line};
            lines.Append(more);
            reference.insert(reference.end(), more.begin(), more.end());
            break;
        }
        case 3: {
            const size_t keep = reference.size() - rng() % std::min<size_t>(reference.size(), 3);
            lines.Truncate(keep);
            reference.resize(keep);
            break;
        }
        }
        ASSERT_EQ(lines, reference) << round;
    }
    size_t bytes = 0;
    for (const std::string& l : reference)
        bytes += l.size();
    EXPECT_EQ(lines.Bytes(), bytes);
    EXPECT_EQ(lines.ToVector(), reference);
    EXPECT_EQ(std::string(lines.back()), reference.back());

    const TTextLines copy = lines;
    EXPECT_TRUE(copy == lines);
    lines.clear();
    EXPECT_TRUE(lines.empty() && lines.Bytes() == 0 && lines.begin() == lines.end());
    EXPECT_EQ(copy, reference) << "a copy owns its bytes";

    EXPECT_FALSE((TTextLines{"ab", "c"} == TTextLines{"a", "bc"}));
    EXPECT_FALSE((TTextLines{"a", ""} == TTextLines{"a"}));
    EXPECT_FALSE((TTextLines{"a", "b"} == L{"a"}));
    EXPECT_TRUE((TTextLines{"", "x", ""} == L{"", "x", ""}));

    std::string joined;
    AppendJoined(joined, TTextLines{"a", "", "b"});
    EXPECT_EQ(joined, JoinLines(L{"a", "", "b"}));
}
