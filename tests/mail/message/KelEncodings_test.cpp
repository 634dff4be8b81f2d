#include "mail/message/KelEncodings.h"
#include "mail/message/kel_literal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>

using namespace kel;

namespace {

// Writes Input to a fresh decoding stream a byte at a time; returns the output
// and the sum of what the writes returned.
std::pair<std::string, size_t> FeedBase64(const std::string& Input) {
    TMemoryStream out;
    size_t reported = 0;
    {
        TBase64DecodingStream dec(out); // closed before the output is read
        for (char c : Input)
            reported += dec.Write(&c, 1);
    }
    return {out.Bytes(), reported};
}

} // namespace

// ---- Base64 ----

TEST(Base64DecodingStream, DecodesAlikeWhateverThePieces) {
    const struct {
        const char* name;
        std::string input;
        std::string expected;
    } rows[] = {
        {"one pad", "QUI=", "AB"},
        {"goes on after a pad", "QQ==QQ==", "AA"},
        {"lone LF and CR skipped", "Q\nU\rJ\r\rD", "ABC"},
        {"blank counts as 99", "QU JD", std::string("AX\xC9", 3)},
        {"pad in second place counts as 64", "Q=JD", std::string("\x44\x02\x43", 3)},
        {"high bytes take part", "\xFF\xFF\xFF\xFF", std::string("\x92\x48\x23", 3)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(DecodeBase64(r.input), r.expected);
        EXPECT_EQ(FeedBase64(r.input), std::make_pair(r.expected, r.expected.size()));
    }
}

TEST(Base64DecodingStream, StreamContract) {
    TMemoryStream out;
    {
        TBase64DecodingStream dec(out);
        EXPECT_EQ(dec.Write(std::string_view("QU")), 0u);
        EXPECT_EQ(dec.Write(std::string_view("JDQ")), 3u); // each write reports only its own bytes
        EXPECT_EQ(dec.Write(std::string_view("Q==")), 1u);
        EXPECT_EQ(out.Bytes(), "ABCA");
        char buf[4];
        for (const auto& op : std::vector<std::function<void()>>{[&] { dec.Read(buf, 4); },
                                                                  [&] { dec.Seek(0, TSeekOrigin::soBeginning); },
                                                                  [&] { dec.Position(); }, [&] { dec.Size(); }}) {
            try {
                op();
                ADD_FAILURE() << "no exception";
            } catch (const EStreamError& e) {
                EXPECT_STREQ(e.what(), "Invalid stream operation");
            }
        }
    }

    // Output not at its end: the bytes overwrite from the position on.
    TMemoryStream mem(std::string("0123456789"));
    mem.SetPosition(2);
    {
        TBase64DecodingStream dec(mem);
        dec.WriteBuffer("QUJD", 4);
    }
    EXPECT_EQ(mem.Bytes(), "01ABC56789");
}

// The block-wise paths against the byte-by-byte rules: short mixed inputs in
// random writes, and long alphabet runs broken now and then by any byte.
TEST(Base64DecodingStream, MatchesTheByteByByteRulesOnGeneratedInput) {
    std::mt19937 rng(20240611);
    const std::string pool = "QUJDabcz09+/==\r\n \x01\xFF-";
    for (int round = 0; round < 2000; ++round) {
        std::string input;
        for (int i = 0, len = static_cast<int>(rng() % 200); i < len; ++i)
            input += rng() % 3 == 0 ? pool[rng() % pool.size()] : "ABCDwxyz0189+/"[rng() % 14];
        std::vector<std::string> writes;
        for (size_t i = 0; i < input.size();) {
            const size_t n = std::min<size_t>(rng() % 9, input.size() - i);
            writes.push_back(input.substr(i, n));
            i += n;
        }
        const std::string expected = kel_literal::Base64(writes);
        TMemoryStream out;
        TBase64DecodingStream dec(out);
        for (const auto& w : writes)
            dec.Write(std::string_view(w));
        ASSERT_EQ(out.Bytes(), expected) << "input: " << input;
        ASSERT_EQ(DecodeBase64(input), expected);
    }
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int round = 0; round < 2000; ++round) {
        std::string input;
        const size_t len = rng() % 400;
        const unsigned odds = 20 + rng() % 200;
        for (size_t i = 0; i < len; ++i)
            input += rng() % odds ? alphabet[rng() % 64]
                                  : static_cast<char>(round % 2 ? rng() % 256 : "@[`{/:+,.-=\r\n\x80\xFF"[rng() % 15]);
        const std::string expected = kel_literal::Base64({input});
        ASSERT_EQ(DecodeBase64(input), expected) << "input: " << input;
        const size_t cut = len ? rng() % len : 0;
        TBase64Decoder d;
        std::string out;
        d.Decode(std::string_view(input).substr(0, cut), out);
        d.Decode(std::string_view(input).substr(cut), out);
        ASSERT_EQ(out, expected) << "input: " << input << " cut " << cut;
    }
    // 10 MiB of bytes outside the alphabet with no line end.
    EXPECT_EQ(DecodeBase64(std::string(10u << 20, '*')).size(), (10u << 20) / 4 * 3);
}

// ---- quoted-printable ----

TEST(DecodeQuotedPrintable, FollowsTheEscapeRules) {
    const struct {
        const char* name;
        std::string input;
        std::string expected;
    } rows[] = {
        {"lower-case hex", "a=3db", "a=b"},
        {"soft break CR LF", "x=\r\ny", "xy"},
        {"soft break lone LF keeps the next character", "x=\ny", "xy"},
        {"soft break LF then CR keeps the CR", "x=\n\ry", "x\ry"},
        {"one bad digit gives 64", "a=4Zb", "a@b"},
        {"lone equals ends", "ab=", "ab"},
        {"=00 gives a NUL and goes on", "ab=00cd", std::string("ab\0cd", 5)},
        {"a NUL is copied", std::string("a\0=41", 5), std::string("a\0A", 3)},
        {"equals then CR not LF is escape", "=A\r\n", "@\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(DecodeQuotedPrintable(r.input), r.expected);
    }
    std::string bad(10u << 20, '=');
    EXPECT_EQ(DecodeQuotedPrintable(bad), std::string(bad.size() / 3, '@')); // the 1 or 2 left over end it
}

// The decoder takes sixteen characters at once where the processor allows,
// else four through tables, and a character at a time around anything out of
// the alphabet; pieces of any size and every edge of those blocks must give
// what the plain loop gives.
TEST(Base64Decoder, FastPathsAgreeWithThePlainLoop) {
    std::mt19937 rng(314);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string odd[] = {"=", "\r\n", "\n", "*", "\x80", " ", "==", std::string(1, '\0')};
    for (int round = 0; round < 3000; ++round) {
        const size_t len = round < 2000 ? rng() % 70 : rng() % 3000;
        std::string text;
        for (size_t i = 0; i < len; ++i)
            text += alphabet[rng() % 64];
        // Round 0..69 puts one odd string at each position of a short run;
        // later rounds put a few anywhere.
        const int odds = round < 70 ? 1 : static_cast<int>(rng() % 4);
        for (int k = 0; k < odds; ++k) {
            const size_t at = round < 70 ? std::min<size_t>(static_cast<size_t>(round), text.size())
                                         : (text.empty() ? 0 : rng() % text.size());
            text.insert(at, odd[rng() % std::size(odd)]);
        }
        const std::string plain = DecodeBase64Plain(text);
        ASSERT_EQ(DecodeBase64(text), plain) << round;
        TBase64Decoder pieces;
        std::string out;
        for (size_t at = 0; at < text.size();) {
            const size_t n = std::min<size_t>(text.size() - at, 1 + rng() % 40);
            pieces.Decode(std::string_view(text).substr(at, n), out);
            at += n;
        }
        ASSERT_EQ(out, plain) << round;
    }
}
