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
