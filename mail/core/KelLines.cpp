#include "mail/core/KelLines.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kel {

std::string JoinLines(const std::vector<std::string>& Lines) { return JoinLines(std::span<const std::string>(Lines)); }

namespace {

template <class TLine> void AppendJoinedLines(std::string& Out, std::span<const TLine> Lines) {
    size_t total = Out.size();
    for (const auto& l : Lines)
        total += l.size() + 2;
    Out.reserve(total);
    for (const auto& l : Lines) {
        Out += l;
        Out += "\r\n";
    }
}

} // namespace

std::string JoinLines(std::span<const std::string> Lines) {
    std::string out;
    AppendJoined(out, Lines);
    return out;
}

std::string JoinLines(std::span<const std::string_view> Lines) {
    std::string out;
    AppendJoined(out, Lines);
    return out;
}

void AppendJoined(std::string& Out, std::span<const std::string> Lines) { AppendJoinedLines(Out, Lines); }

void AppendJoined(std::string& Out, std::span<const std::string_view> Lines) { AppendJoinedLines(Out, Lines); }

std::vector<std::string> SplitLines(std::string_view Text) {
    std::vector<std::string> out;
    AppendSplitLines(out, Text);
    return out;
}

namespace {

// What splitting a text needs to know before it starts: how many lines it
// gives, and whether every CR in it is followed by LF, so that the lines can
// be cut at LF alone.
struct TLineScan {
    size_t Lines = 0;
    bool CrOnlyInCrLf = true;
};

#if defined(__x86_64__)
// The counting loop of ScanLines 32 bytes a step, for processors with AVX2
// and POPCNT (checked at run time). Stops before the last 33 bytes; the
// caller goes on from I.
__attribute__((target("avx2,popcnt"))) void CountLineEndsAvx2(const char* P, size_t N, size_t& I, size_t& Cr,
                                                                size_t& Lf, size_t& CrLf) {
    const __m256i vcr = _mm256_set1_epi8('\r'), vlf = _mm256_set1_epi8('\n');
    for (; I + 33 <= N; I += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P + I));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P + I + 1));
        const auto c = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, vcr)));
        const auto l = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, vlf)));
        const auto ln = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(next, vlf)));
        Cr += static_cast<size_t>(__builtin_popcount(c));
        Lf += static_cast<size_t>(__builtin_popcount(l));
        CrLf += static_cast<size_t>(__builtin_popcount(c & ln));
    }
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
#endif

TLineScan ScanLines(std::string_view Text) {
    const char* const p = Text.data();
    const size_t n = Text.size();
    size_t lf = 0, cr = 0, crlf = 0;
    size_t i = 0;
#if defined(__x86_64__)
    if (kHaveAvx2)
        CountLineEndsAvx2(p, n, i, cr, lf, crlf);
#endif
#if defined(__SSE2__)
    // 16 bytes a step: CR and LF compared at once. A CR LF pair is a CR
    // whose next byte is LF; the LF mask of the bytes one further on (an
    // overlapping load) gives that without carrying bits between steps.
    // Matches are counted per byte lane (a match is -1, subtracted) and the
    // lanes summed before they can overflow.
    const __m128i vcr = _mm_set1_epi8('\r'), vlf = _mm_set1_epi8('\n'), vz = _mm_setzero_si128();
    while (i + 17 <= n) {
        __m128i accCr = vz, accLf = vz, accPair = vz;
        for (int k = 0; k < 255 && i + 17 <= n; ++k, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
            const __m128i c = _mm_cmpeq_epi8(v, vcr);
            accCr = _mm_sub_epi8(accCr, c);
            accLf = _mm_sub_epi8(accLf, _mm_cmpeq_epi8(v, vlf));
            accPair = _mm_sub_epi8(accPair, _mm_and_si128(c, _mm_cmpeq_epi8(next, vlf)));
        }
        const auto sum = [vz](__m128i acc) {
            const __m128i s = _mm_sad_epu8(acc, vz);
            return static_cast<size_t>(_mm_cvtsi128_si32(s)) + static_cast<size_t>(_mm_extract_epi16(s, 4));
        };
        cr += sum(accCr);
        lf += sum(accLf);
        crlf += sum(accPair);
    }
#endif
    for (; i < n; ++i) {
        if (p[i] == '\n') {
            ++lf;
        } else if (p[i] == '\r') {
            ++cr;
            if (i + 1 < n && p[i + 1] == '\n')
                ++crlf;
        }
    }
    TLineScan s;
    s.Lines = lf + cr - crlf;
    if (n > 0 && p[n - 1] != '\r' && p[n - 1] != '\n')
        ++s.Lines; // a last line without a line end
    s.CrOnlyInCrLf = cr == crlf;
    return s;
}

// The first CR or LF in [P, End), or End.
const char* FindLineEnd(const char* P, const char* End) {
#if defined(__SSE2__)
    const __m128i vcr = _mm_set1_epi8('\r'), vlf = _mm_set1_epi8('\n');
    for (; End - P >= 16; P += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
        const auto m = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, vcr), _mm_cmpeq_epi8(v, vlf))));
        if (m != 0)
            return P + __builtin_ctz(m);
    }
#endif
    while (P < End && *P != '\r' && *P != '\n')
        ++P;
    return P;
}

// The lines of Text, as Scan found them, handed to Out.emplace_back(Begin,
// Size) in order.
template <class TOut> void SplitInto(TOut& Out, std::string_view Text, const TLineScan& scan) {
    const char* p = Text.data();
    const char* const end = p + Text.size();
    if (scan.CrOnlyInCrLf) {
        // Every line ends in LF (a CR before it belongs to it): memchr.
        while (p < end) {
            const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* e = lf ? lf : end;
            const char* next = lf ? lf + 1 : end;
            if (e > p && e[-1] == '\r')
                --e;
            Out.emplace_back(p, static_cast<size_t>(e - p));
            p = next;
        }
        return;
    }
    while (p < end) {
        const char* e = FindLineEnd(p, end);
        Out.emplace_back(p, static_cast<size_t>(e - p));
        if (e < end) {
            const bool cr = *e == '\r';
            ++e;
            if (cr && e < end && *e == '\n')
                ++e;
        }
        p = e;
    }
}

template <class TLine> void AppendSplitLinesTo(std::vector<TLine>& Out, std::string_view Text) {
    // Counting first lets the list be sized once: growing it step by step
    // moves every line again and, for a large message, holds the old and
    // the new array at the same time.
    const TLineScan scan = ScanLines(Text);
    const size_t need = Out.size() + scan.Lines;
    if (need > Out.capacity())
        Out.reserve(Out.empty() ? need : std::max(need, Out.capacity() + Out.capacity() / 2));
    SplitInto(Out, Text, scan);
}

// Takes the lines SplitInto finds into a TTextLines.
struct TLineSink {
    TTextLines& Lines;
    void emplace_back(const char* Begin, size_t Size) { Lines.push_back(std::string_view(Begin, Size)); }
};

#if defined(__x86_64__)
// Views are cheap to move, so the list may grow as lines are found: one pass
// over the text instead of counting first. Lines are cut at LF (a CR before
// it belongs to it). Gives up, leaving Out as it was, at a CR not followed
// by LF; the general way takes those.
__attribute__((target("avx2"))) bool SplitViewsAtLfAvx2(std::vector<std::string_view>& Out,
                                                       std::string_view Text) {
    const char* const p = Text.data();
    const size_t n = Text.size();
    const size_t old = Out.size();
    if (Out.capacity() - old < n / 64)
        Out.reserve(old + n / 64 + 16);
    const auto give = [&](size_t Begin, size_t Lf) {
        const size_t end = Lf > Begin && p[Lf - 1] == '\r' ? Lf - 1 : Lf;
        Out.emplace_back(p + Begin, end - Begin);
    };
    const __m256i vcr = _mm256_set1_epi8('\r'), vlf = _mm256_set1_epi8('\n');
    size_t begin = 0;
    size_t i = 0;
    for (; i + 33 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
        const auto cr = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, vcr)));
        const auto crlf = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(next, vlf)));
        if (cr & ~crlf) {
            Out.resize(old);
            return false;
        }
        for (auto lf = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, vlf))); lf != 0;
             lf &= lf - 1) {
            const size_t at = i + static_cast<size_t>(__builtin_ctz(lf));
            give(begin, at);
            begin = at + 1;
        }
    }
    for (; i < n; ++i) {
        const char c = p[i];
        if (c == '\r' && (i + 1 >= n || p[i + 1] != '\n')) {
            Out.resize(old);
            return false;
        }
        if (c == '\n') {
            give(begin, i);
            begin = i + 1;
        }
    }
    if (begin < n)
        Out.emplace_back(p + begin, n - begin);
    return true;
}
#endif

} // namespace

void AppendSplitLines(std::vector<std::string>& Out, std::string_view Text) { AppendSplitLinesTo(Out, Text); }

void AppendSplitLines(std::vector<std::string_view>& Out, std::string_view Text) {
#if defined(__x86_64__)
    if (kHaveAvx2 && SplitViewsAtLfAvx2(Out, Text))
        return;
#endif
    AppendSplitLinesTo(Out, Text);
}

// ---- TTextLines ----

TTextLines::TTextLines(std::initializer_list<std::string_view> Lines) {
    Append(std::span<const std::string_view>(Lines.begin(), Lines.size()));
}

TTextLines::TTextLines(std::span<const std::string> Lines) { Append(Lines); }

void TTextLines::push_back(std::string_view Line) {
    FBytes.append(Line);
    FEnds.push_back(FBytes.size());
}

void TTextLines::Reserve(size_t Lines, size_t Bytes) {
    // Growing by half at least, so that many small appends cost no more
    // than a list grown line by line; one large one is sized exactly.
    const auto grow = [](auto& Container, size_t Need) {
        if (Need > Container.capacity())
            Container.reserve(std::max(Need, Container.capacity() + Container.capacity() / 2));
    };
    grow(FEnds, FEnds.size() + Lines);
    grow(FBytes, FBytes.size() + Bytes);
}

template <class TLine> void TTextLines::AppendLines(std::span<const TLine> Lines) {
    size_t bytes = 0;
    for (const auto& l : Lines)
        bytes += l.size();
    Reserve(Lines.size(), bytes);
    for (const auto& l : Lines)
        push_back(l);
}

void TTextLines::Append(std::span<const std::string_view> Lines) { AppendLines(Lines); }

void TTextLines::Append(std::span<const std::string> Lines) { AppendLines(Lines); }

void TTextLines::AppendSplit(std::string_view Text) {
    // A line of the text is never longer than the text: its size is enough
    // room for the bytes, and the count of its line ends for the list.
    const TLineScan scan = ScanLines(Text);
    Reserve(scan.Lines, Text.size());
    TLineSink sink{*this};
    SplitInto(sink, Text, scan);
}

void TTextLines::Truncate(size_t Count) {
    if (Count >= FEnds.size())
        return;
    FBytes.resize(Count == 0 ? 0 : FEnds[Count - 1]);
    FEnds.resize(Count);
}

void TTextLines::clear() {
    FBytes.clear();
    FEnds.clear();
}

void TTextLines::swap(TTextLines& Other) noexcept {
    FBytes.swap(Other.FBytes);
    FEnds.swap(Other.FEnds);
}

bool operator==(const TTextLines& A, const std::vector<std::string>& B) {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin());
}

void AppendJoined(std::string& Out, const TTextLines& Lines) {
    Out.reserve(Out.size() + Lines.Bytes() + 2 * Lines.size());
    for (const std::string_view l : Lines) {
        Out += l;
        Out += "\r\n";
    }
}

void AppendSplitLinesPlain(std::vector<std::string_view>& Out, std::string_view Text) {
    const size_t end = Text.size();
    size_t start = 0;
    size_t i = 0;
    while (i < end) {
        const char c = Text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        Out.push_back(Text.substr(start, i - start));
        if (c == '\r' && i + 1 < end && Text[i + 1] == '\n')
            ++i;
        start = ++i;
    }
    if (start < end)
        Out.push_back(Text.substr(start, end - start));
}

} // namespace kel
