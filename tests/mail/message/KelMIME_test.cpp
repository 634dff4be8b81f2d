#include "mail/message/kel_literal.h"
#include "message/KelMIME.h"
#include "message/kel_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sys/stat.h>

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
        {"=00 cuts", "ab=00cd", "ab"},
        {"equals then CR not LF is escape", "=A\r\n", "@\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(DecodeQuotedPrintable(r.input), r.expected);
    }
    std::string bad(10u << 20, '=');
    EXPECT_EQ(DecodeQuotedPrintable(bad), std::string(bad.size() / 3, '@')); // the 1 or 2 left over end it
}

// ---- content types ----

TEST(ContentTypeOfFile, ParsesTheTableAndTakesTheExtensionAfterTheLastSeparator) {
    std::unordered_map<std::string, std::string> t;
    ParseMimeTypesTable("# comment line\napplication/pdf\t\tpdf\ntext/plain  txt TEXT  # trailing comment\n"
                        "image/x-first jpg\nimage/jpeg jpg jpeg\r\napplication/x-nothing\n   \n",
                        t);
    EXPECT_EQ(t, (std::unordered_map<std::string, std::string>{{"pdf", "application/pdf"}, {"txt", "text/plain"},
                                                                {"text", "text/plain"}, {"jpg", "image/x-first"},
                                                                {"jpeg", "image/jpeg"}})); // the first registration wins

    const struct {
        const char* name;
        bool needsTable; // rows that need /etc/mime.types with the common types
        std::string expected;
    } rows[] = {
        {"REPORT.PDF", true, "application/pdf"},          {"mail\\report.pdf", true, "application/pdf"},
        {"a.pdf\\noext", false, "application/octet-stream"}, {"a.pdf:noext", false, "application/octet-stream"},
        {"x.no-such-extension-here", false, "application/octet-stream"}, {"a.b/c", false, "application/octet-stream"},
    };
    struct stat st {};
    const bool haveTable = ::stat("/etc/mime.types", &st) == 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        if (!r.needsTable || haveTable) {
            EXPECT_EQ(ContentTypeOfFile(r.name), r.expected);
        }
    }
    if (!haveTable)
        GTEST_SKIP() << "/etc/mime.types is missing: only the fallback rows ran";
}

// ---- streams ----

TEST(Streams, MemoryStreamReadWriteSeek) {
    TMemoryStream m;
    m.WriteBuffer(std::string_view("hello world"));
    m.SetPosition(6);
    char buf[16] = {};
    EXPECT_EQ(m.Read(buf, sizeof buf), 5u);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_THROW(m.ReadBuffer(buf, 1), EStreamError);
    m.Seek(-5, TSeekOrigin::soEnd);
    m.Write(std::string_view("there!"));
    EXPECT_EQ(m.Bytes(), "hello there!");
    m.Seek(20, TSeekOrigin::soBeginning); // past the end: a gap of zeros
    m.Write(std::string_view("x"));
    EXPECT_EQ(m.Bytes(), std::string("hello there!\0\0\0\0\0\0\0\0x", 21));
    EXPECT_THROW(m.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
    EXPECT_EQ(m.TakeBytes().size(), 21u);
    EXPECT_EQ(m.Size(), 0);
}

TEST(Streams, FileStreamBufferedWritesReachTheFile) {
    TTempFile tmp;
    std::string expected;
    {
        TFileStream f(tmp.Name(), TFileStream::TMode::fmCreate);
        for (int i = 0; i < 5000; ++i) { // small writes, gathered in the buffer
            f.WriteBuffer(std::to_string(i) + ",");
            expected += std::to_string(i) + ",";
        }
        const std::string big(200000, 'z'); // larger than the write buffer
        f.WriteBuffer(big);
        expected += big;
        EXPECT_EQ(f.Size(), static_cast<int64_t>(expected.size()));
        f.SetPosition(0);
        std::string back(expected.size(), '\0');
        f.ReadBuffer(back.data(), back.size());
        EXPECT_EQ(back, expected);
    }
    EXPECT_EQ(tmp.ReadAll(), expected);
    EXPECT_THROW(TFileStream("/nonexistent-dir/x", TFileStream::TMode::fmOpenRead), EFileError);
}
