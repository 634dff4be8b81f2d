// Decoders and header helpers of the message library: throughput on big
// inputs and growth with the input size (Complexity reports the fit).
#include "mail/core/KelLines.h"
#include "mail/core/KelTempFile.h"
#include "mail/message/KelEncodings.h"
#include "mail/message/KelHeader.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

using namespace kel;

namespace {

// Base64 text of Bytes random bytes in 76-character lines with CR LF.
std::string Base64Text(size_t Bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937 rng(1);
    std::string out;
    out.reserve(Bytes / 3 * 4 + Bytes / 57 * 2 + 8);
    size_t col = 0;
    for (size_t i = 0; i < Bytes / 3; ++i) {
        for (int k = 0; k < 4; ++k)
            out += alphabet[rng() % 64];
        col += 4;
        if (col == 76) {
            out += "\r\n";
            col = 0;
        }
    }
    return out;
}

// The plainest table decoder, as a floor to compare with: skip line ends,
// decode four characters at a time, no pads, no state across calls.
std::string FloorDecode(const std::string& In) {
    static unsigned char table[256];
    static bool init = [] {
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i)
            table[static_cast<unsigned char>(a[i])] = static_cast<unsigned char>(i);
        return true;
    }();
    (void)init;
    std::string out(In.size() / 4 * 3, '\0');
    size_t o = 0;
    unsigned char g[4];
    int n = 0;
    for (unsigned char c : In) {
        if (c == '\r' || c == '\n')
            continue;
        g[n++] = table[c];
        if (n == 4) {
            out[o++] = static_cast<char>((g[0] << 2) | (g[1] >> 4));
            out[o++] = static_cast<char>((g[1] << 4) | (g[2] >> 2));
            out[o++] = static_cast<char>((g[2] << 6) | g[3]);
            n = 0;
        }
    }
    out.resize(o);
    return out;
}

const std::string& BigBase64() {
    static const std::string text = Base64Text(20u << 20);
    return text;
}

void BM_Base64Floor(benchmark::State& state) {
    const std::string& text = BigBase64();
    for (auto _ : state)
        benchmark::DoNotOptimize(FloorDecode(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Base64Floor)->Unit(benchmark::kMillisecond);

void BM_Base64Whole(benchmark::State& state) {
    const std::string& text = BigBase64();
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeBase64(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Base64Whole)->Unit(benchmark::kMillisecond);

// As the parser feeds attachments: one write per line, into memory.
void BM_Base64LinesToMemory(benchmark::State& state) {
    const std::vector<std::string> lines = SplitLines(BigBase64());
    for (auto _ : state) {
        TMemoryStream out;
        TBase64DecodingStream dec(out);
        for (const std::string& l : lines)
            dec.Write(l.data(), l.size());
        benchmark::DoNotOptimize(out.Bytes().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BigBase64().size()));
}
BENCHMARK(BM_Base64LinesToMemory)->Unit(benchmark::kMillisecond);

// One write per line into a temporary file, then read back.
void BM_Base64LinesToTempFile(benchmark::State& state) {
    const std::vector<std::string> lines = SplitLines(BigBase64());
    for (auto _ : state) {
        TTempFile tmp;
        {
            TFileStream out(tmp.Fd(), false);
            TBase64DecodingStream dec(out);
            for (const std::string& l : lines)
                dec.Write(l.data(), l.size());
            out.Flush();
        }
        benchmark::DoNotOptimize(tmp.ReadAll());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BigBase64().size()));
}
BENCHMARK(BM_Base64LinesToTempFile)->Unit(benchmark::kMillisecond);

void BM_QuotedPrintable(benchmark::State& state) {
    std::string text;
    std::mt19937 rng(2);
    while (text.size() < (5u << 20)) {
        for (int i = 0; i < 72; ++i) {
            unsigned r = rng() % 20;
            text += r == 0 ? std::string("=E4") : r == 1 ? std::string("_") : std::string(1, static_cast<char>('a' + r));
        }
        text += "=\r\n";
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeQuotedPrintable(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_QuotedPrintable)->Unit(benchmark::kMillisecond);

void BM_EncodedWords(benchmark::State& state) {
    std::string text;
    for (int64_t i = 0; i < state.range(0); ++i)
        text += i % 2 ? "=?utf-8?B?QUJD?= " : "=?iso-8859-1?Q?Gr=FC=DFe?= ";
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeEncodedWords(text));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_EncodedWords)->RangeMultiplier(2)->Range(12500, 200000)->Complexity()->Unit(benchmark::kMillisecond);

// The worst case: words whose decoded text opens another word, each closed
// far away, so that the text between is decoded once per level. The input
// grows with levels squared, the work with levels cubed (n^1.5).
void BM_EncodedWordsNested(benchmark::State& state) {
    const int64_t levels = state.range(0);
    std::string open = "=?a?Q?", prefix;
    for (int64_t k = 0; k < levels; ++k) {
        prefix += open;
        std::string next;
        for (char c : open)
            next += c == '=' ? std::string("=3D") : c == '?' ? std::string("=3F") : std::string(1, c);
        open = next;
    }
    std::string closes;
    for (int64_t k = 0; k < levels; ++k)
        closes += "?= ";
    const std::string text = prefix + std::string(static_cast<size_t>(levels * levels) * 200, 'x') + closes;
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeEncodedWords(text));
    state.SetComplexityN(static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_EncodedWordsNested)->RangeMultiplier(2)->Range(8, 64)->Complexity()->Unit(benchmark::kMillisecond);

void BM_FormatAddressList(benchmark::State& state) {
    std::string list;
    for (int64_t i = 0; i < state.range(0); ++i)
        list += "\"Name, Quoted\" =?x?Q?J=F6rg?= <user@example.org> (comment), ";
    for (auto _ : state)
        benchmark::DoNotOptimize(FormatAddressList(list));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_FormatAddressList)->RangeMultiplier(4)->Range(1000, 64000)->Complexity()->Unit(benchmark::kMillisecond);

// A header of many lines, the wanted field last, and a field folded over
// many lines.
void BM_FindHeader(benchmark::State& state) {
    std::vector<std::string> lines;
    for (int64_t i = 0; i < state.range(0); ++i)
        lines.push_back(i % 2 ? "X-Header-" + std::to_string(i) + ": value" : " folded continuation");
    lines.push_back("Subject: last");
    lines.push_back("");
    lines.push_back("body");
    for (auto _ : state) {
        std::string field;
        benchmark::DoNotOptimize(FindHeader("SUBJECT:", lines, field));
        benchmark::DoNotOptimize(FindHeader("X-HEADER-1:", lines, field));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_FindHeader)->RangeMultiplier(4)->Range(5000, 320000)->Complexity()->Unit(benchmark::kMillisecond);

void BM_SplitJoinLines(benchmark::State& state) {
    std::string text;
    for (int i = 0; i < 200000; ++i)
        text += "A line of ordinary text, about sixty characters long, more.\r\n";
    for (auto _ : state) {
        std::vector<std::string> lines = SplitLines(text);
        benchmark::DoNotOptimize(JoinLines(lines));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SplitJoinLines)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
