#include "mail/message/KelEncodings.h"

#include "mail/core/KelText.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

namespace kel {

namespace {

const char* const kInvalidStreamOp = "Invalid stream operation";

} // namespace

// ---- Base64 ----

namespace {

// Value of every byte: 0..63 for the alphabet, 64 for the pad "=", 99 for
// anything else; CR and LF are marked to be skipped. Every marker has bit 6
// or 7 set, so OR-ing four values tells at once whether a group is plain.
constexpr unsigned char kPad = 64;
constexpr unsigned char kOther = 99;
constexpr unsigned char kSkip = 200;

constexpr std::array<unsigned char, 256> MakeBase64Table() {
    std::array<unsigned char, 256> t{};
    for (auto& v : t)
        v = kOther;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
    t['='] = kPad;
    t['\r'] = kSkip;
    t['\n'] = kSkip;
    return t;
}

constexpr std::array<unsigned char, 256> kBase64 = MakeBase64Table();

// Decodes one group of four table values to 0..3 bytes at o; returns the count.
inline size_t DecodeGroup(unsigned d1, unsigned d2, unsigned d3, unsigned d4, unsigned char* o) {
    size_t n = 3;
    if (d1 == kPad) {
        return 0;
    } else if (d3 == kPad) {
        d3 = 0;
        d4 = 0;
        n = 1;
    } else if (d4 == kPad) {
        d4 = 0;
        n = 2;
    }
    o[0] = static_cast<unsigned char>((d1 * 4 + d2 / 16) & 0xFF);
    o[1] = static_cast<unsigned char>(((d2 % 16) * 16 + d3 / 4) & 0xFF);
    o[2] = static_cast<unsigned char>(((d3 % 4) * 64 + d4) & 0xFF);
    return n;
}

// The plain path: four characters of the alphabet at a time through four
// tables that place each character's bits where they land in the three
// bytes (little-endian order), so a group is four loads, three ORs and one
// store. Anything else (pad, line end, stray byte) carries bit 24 and goes
// the careful way.
constexpr uint32_t kNotPlain = 1u << 24;

constexpr std::array<uint32_t, 256> MakeShiftedTable(int Place) {
    std::array<uint32_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const uint32_t v = kBase64[static_cast<size_t>(c)];
        if (v >= 64) {
            t[static_cast<size_t>(c)] = kNotPlain;
            continue;
        }
        switch (Place) {
        case 0: t[static_cast<size_t>(c)] = v << 2; break;
        case 1: t[static_cast<size_t>(c)] = (v >> 4) | ((v & 15) << 12); break;
        case 2: t[static_cast<size_t>(c)] = ((v >> 2) << 8) | ((v & 3) << 22); break;
        default: t[static_cast<size_t>(c)] = v << 16; break;
        }
    }
    return t;
}

constexpr std::array<uint32_t, 256> kPlace0 = MakeShiftedTable(0), kPlace1 = MakeShiftedTable(1),
                                     kPlace2 = MakeShiftedTable(2), kPlace3 = MakeShiftedTable(3);

#if defined(__x86_64__)
#define KEL_BASE64_SSSE3 1

// Sixteen characters of the alphabet to twelve bytes at once. Returns false,
// storing nothing, when one of them is anything else. Stores 16 bytes at O.
__attribute__((target("ssse3"))) bool DecodeBlock16(const unsigned char* P, unsigned char* O) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
    // Signed compares: bytes from 128 up are negative and fall in no range.
    const auto in = [v](char lo, char hi) {
        return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(lo - 1))),
                             _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(hi + 1)), v));
    };
    const __m128i upper = in('A', 'Z'), lower = in('a', 'z'), digit = in('0', '9');
    const __m128i plus = _mm_cmpeq_epi8(v, _mm_set1_epi8('+')), slash = _mm_cmpeq_epi8(v, _mm_set1_epi8('/'));
    const __m128i valid = _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(_mm_or_si128(digit, plus), slash));
    if (_mm_movemask_epi8(valid) != 0xFFFF)
        return false;
    const __m128i shift = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(upper, _mm_set1_epi8(-65)), _mm_and_si128(lower, _mm_set1_epi8(-71))),
        _mm_or_si128(_mm_and_si128(digit, _mm_set1_epi8(4)),
                     _mm_or_si128(_mm_and_si128(plus, _mm_set1_epi8(19)), _mm_and_si128(slash, _mm_set1_epi8(16)))));
    const __m128i values = _mm_add_epi8(v, shift);
    // a b c d (6 bits each) -> a*64+b, c*64+d -> (a*64+b)*4096 + c*64+d.
    const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
    const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    const __m128i bytes = _mm_shuffle_epi8(groups, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(O), bytes);
    return true;
}

const bool kHaveSsse3 = __builtin_cpu_supports("ssse3");
#endif

} // namespace

size_t TBase64Decoder::DecodeTo(const char* Data, size_t Count, char* Out) {
    auto* const base = reinterpret_cast<unsigned char*>(Out);
    unsigned char* o = base;
    const auto* p = reinterpret_cast<const unsigned char*>(Data);
    const auto* const end = p + Count;

    while (p < end) {
        if (FGroupCount == 0) {
#if KEL_BASE64_SSSE3
            // With 24 characters left there is room for the 16-byte store.
            if (kHaveSsse3)
                while (end - p >= 24 && DecodeBlock16(p, o)) {
                    p += 16;
                    o += 12;
                }
#endif
            while (end - p >= 4) {
                const uint32_t v = kPlace0[p[0]] | kPlace1[p[1]] | kPlace2[p[2]] | kPlace3[p[3]];
                if (v & kNotPlain)
                    break;
                // Four bytes stored, three kept: the fourth is overwritten by
                // the next group or lies in the spill room.
                const unsigned char bytes[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                                static_cast<unsigned char>(v >> 16), 0};
                std::memcpy(o, bytes, 4);
                o += 3;
                p += 4;
            }
            if (p == end)
                break;
        }
        unsigned char v = kBase64[*p++];
        if (v == kSkip)
            continue;
        FGroup[FGroupCount++] = v;
        if (FGroupCount == 4) {
            FGroupCount = 0;
            o += DecodeGroup(FGroup[0], FGroup[1], FGroup[2], FGroup[3], o);
        }
    }
    return static_cast<size_t>(o - base);
}

size_t TBase64Decoder::Decode(const char* Data, size_t Count, std::string& Out) {
    const size_t start = Out.size();
    Out.resize(start + MaxDecodedSize(Count));
    const size_t produced = DecodeTo(Data, Count, Out.data() + start);
    Out.resize(start + produced);
    return produced;
}

std::string DecodeBase64(std::string_view Data) {
    TBase64Decoder d;
    std::string out;
    d.Decode(Data, out);
    return out;
}

std::string DecodeBase64Plain(std::string_view Data) {
    std::string out;
    unsigned char group[4] = {};
    int count = 0;
    unsigned char bytes[3];
    for (const char c : Data) {
        const unsigned char v = kBase64[static_cast<unsigned char>(c)];
        if (v == kSkip)
            continue;
        group[count++] = v;
        if (count == 4) {
            count = 0;
            out.append(reinterpret_cast<const char*>(bytes), DecodeGroup(group[0], group[1], group[2], group[3], bytes));
        }
    }
    return out;
}

size_t TBase64DecodingStream::Read(void*, size_t) { throw EStreamError(kInvalidStreamOp); }

int64_t TBase64DecodingStream::Seek(int64_t, TSeekOrigin) { throw EStreamError(kInvalidStreamOp); }

int64_t TBase64DecodingStream::Size() { throw EStreamError(kInvalidStreamOp); }

size_t TBase64DecodingStream::Write(const void* Buffer, size_t Count) {
    // Appending to a memory stream at its end needs no intermediate copy.
    if (FMemOutput != nullptr && FMemOutput->FPos == FMemOutput->FData.size()) {
        size_t n = FDecoder.Decode(static_cast<const char*>(Buffer), Count, FMemOutput->FData);
        FMemOutput->FPos = FMemOutput->FData.size();
        return n;
    }
    FBuffer.clear();
    size_t n = FDecoder.Decode(static_cast<const char*>(Buffer), Count, FBuffer);
    if (n > 0)
        FOutput.WriteBuffer(FBuffer.data(), n);
    return n;
}

void TBase64DecodingStream::WriteBuffer(const void* Buffer, size_t Count) { Write(Buffer, Count); }

// ---- quoted-printable ----

std::string DecodeQuotedPrintable(std::string_view Text) {
    std::string out(Text.size(), '\0');
    char* o = out.data();
    const size_t n = Text.size();
    size_t i = 0;
    while (i < n) {
        const char c = Text[i];
        if (c != '=' && c != '_') {
            *o++ = c;
            ++i;
        } else if (c == '_') {
            *o++ = ' ';
            ++i;
        } else if (i + 1 < n && (Text[i + 1] == '\r' || Text[i + 1] == '\n')) {
            // A soft line break takes its line end with it: CR LF, or a lone
            // CR or LF; the first character of the next line stays.
            i += (Text[i + 1] == '\r' && i + 2 < n && Text[i + 2] == '\n') ? 3 : 2;
        } else if (i + 2 < n) {
            int hi = HexDigitValue(Text[i + 1]);
            int lo = HexDigitValue(Text[i + 2]);
            *o++ = (hi < 0 || lo < 0) ? '@' : static_cast<char>(hi * 16 + lo);
            i += 3;
        } else {
            break;
        }
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return out;
}

} // namespace kel
