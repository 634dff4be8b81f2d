#include "mail/message/KelMsg.h"

#include "mail/core/KelLines.h"
#include "mail/core/KelText.h"
#include "mail/message/KelContentType.h"
#include "mail/message/KelEncodings.h"
#include "mail/message/KelHeader.h"
#include "mail/message/KelStream.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <iterator>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kel {

namespace {

const char* const kOops = "Oops...";

constexpr uint64_t kOnes = 0x0101010101010101ULL;

// Nonzero when one of the eight bytes of V is zero.
constexpr uint64_t HasZeroByte(uint64_t V) { return (V - kOnes) & ~V & (kOnes << 7); }

inline bool HasLineEnd(std::string_view Line) {
    const char* p = Line.data();
    const size_t n = Line.size();
#if defined(__SSE2__)
    if (n >= 16) {
        const auto hit = [](const char* at) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            const __m128i eq =
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
            return _mm_movemask_epi8(eq) != 0;
        };
        size_t i = 0;
        for (; i + 16 <= n; i += 16)
            if (hit(p + i))
                return true;
        // The last 16 bytes, overlapping what was seen, instead of a byte loop.
        return i < n && hit(p + n - 16);
    }
#endif
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (HasZeroByte(w ^ (kOnes * '\n')) | HasZeroByte(w ^ (kOnes * '\r')))
            return true;
    }
    for (; i < n; ++i)
        if (p[i] == '\r' || p[i] == '\n')
            return true;
    return false;
}

// A multipart entity is split only at whole lines that equal its delimiter,
// so a line holding CR or LF would split differently once the entity is
// joined and split again. Lines without them come back unchanged.
#if defined(__x86_64__)
// The same test 32 bytes a step, for processors with AVX2 (checked at run
// time): a large message's lines are all looked at once before it is split.
__attribute__((target("avx2"))) bool LinesAreSplitCleanAvx2(std::span<const std::string_view> Lines) {
    const auto hit = [](const char* at) __attribute__((target("avx2"))) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        const __m256i eq =
            _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r')), _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n')));
        return _mm256_movemask_epi8(eq) != 0;
    };
    for (const std::string_view l : Lines) {
        const size_t n = l.size();
        if (n < 32) {
            if (HasLineEnd(l))
                return false;
            continue;
        }
        const char* p = l.data();
        size_t i = 0;
        for (; i + 32 <= n; i += 32)
            if (hit(p + i))
                return false;
        if (i < n && hit(p + n - 32))
            return false;
    }
    return true;
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");
#endif

bool LinesAreSplitClean(std::span<const std::string_view> Lines) {
#if defined(__x86_64__)
    if (kHaveAvx2)
        return LinesAreSplitCleanAvx2(Lines);
#endif
    for (const std::string_view l : Lines)
        if (HasLineEnd(l))
            return false;
    return true;
}

// Hands Lines to Fn in consecutive runs of about a megabyte, in order, until
// Fn returns false; returns false then, else true.
template <class TFn> bool ForEachRun(std::span<const std::string_view> Lines, TFn Fn) {
    constexpr size_t kRunBytes = 1 << 20;
    for (size_t at = 0; at < Lines.size();) {
        size_t end = at, runBytes = 0;
        do
            runBytes += Lines[end++].size();
        while (end < Lines.size() && runBytes < kRunBytes);
        if (!Fn(Lines.subspan(at, end - at)))
            return false;
        at = end;
    }
    return true;
}

// "end" after trimming, in any case: the line that closes a uuencoded block
// inside text.
bool IsUUEndLine(std::string_view Line) {
    std::string_view t = TrimView(Line);
    return t.size() == 3 && (t[0] | 0x20) == 'e' && (t[1] | 0x20) == 'n' && (t[2] | 0x20) == 'd';
}

bool Contains(const std::string& Text, std::string_view Key) { return Text.find(Key) != std::string::npos; }

// Lines joined by CR LF, without the line end after the last one.
std::string JoinWithoutLastLineEnd(std::span<const std::string_view> Lines) {
    std::string s = JoinLines(Lines);
    if (s.size() >= 2)
        s.resize(s.size() - 2);
    return s;
}

// Several FindHeader lookups in one pass over the header lines: for every
// key, Fields[k] and Found[k] get what FindHeader(Keys[k], Lines) gives.
// Lines are compared only with the keys that start with their first letter.
template <class TLine>
void FindHeaders(std::span<const TLine> Lines, std::span<const std::string> Keys, std::string* Fields, bool* Found) {
    size_t missing = Keys.size();
    std::fill(Found, Found + Keys.size(), false);
    const size_t n = Lines.size();
    size_t i = 0;
    while (i < n && Lines[i].empty())
        ++i;
    for (; i < n && missing > 0 && !Lines[i].empty(); ++i) {
        const char first = static_cast<char>(Lines[i][0] & ~0x20); // keys are upper case letters
        for (size_t k = 0; k < Keys.size(); ++k) {
            if (Found[k] || Keys[k][0] != first || !StartsWithUpper(Lines[i], Keys[k]))
                continue;
            std::string field(Lines[i]);
            for (size_t j = i + 1; j < n && !Lines[j].empty() && (Lines[j][0] == ' ' || Lines[j][0] == '\t'); ++j)
                field += TrimView(Lines[j]);
            Fields[k] = std::move(field);
            Found[k] = true;
            --missing;
        }
    }
}

struct TLeaf {
    std::span<const std::string_view> Lines;
    int Depth;
};

// Appends the leaves of the entity Lines (split-clean, see above) to Leaves.
// Works on views of one line array instead of joining and splitting each
// part again: for split-clean lines both give the same lines. Every level
// scans its own lines once, and the depth limit bounds the levels.
void SplitMultipart(std::span<const std::string_view> Lines, int Depth, std::vector<TLeaf>& Leaves) {
    std::string field;
    if (!FindHeader("CONTENT-TYPE:", Lines, field) || FindUpper(field, "MULTIPART") == std::string::npos) {
        // One level deeper than the entity, so that parsing the leaf can
        // never come back here with the same lines at the same depth.
        Leaves.push_back({Lines, Depth + 1});
        return;
    }
    if (Depth >= MaxNestingDepth) {
        Leaves.push_back({Lines, Depth});
        return;
    }

    const std::string delimiter = GetBoundary(field);
    const std::string close = delimiter + "--";
    const size_t n = Lines.size();

    // The preamble goes.
    size_t i = SkipHeaderPos(Lines);
    while (i < n && Lines[i] != delimiter)
        ++i;
    if (i >= n) {
        SplitMultipart({}, Depth + 1, Leaves);
        return;
    }

    size_t partBegin = i + 1;
    size_t j = i + 1; // the line after the first delimiter is compared like any other
    while (j < n && Lines[j] != close) {
        if (Lines[j] == delimiter) {
            SplitMultipart(Lines.subspan(partBegin, j - partBegin), Depth + 1, Leaves);
            ++j;
            partBegin = j;
            // A delimiter as the last line opens an empty part.
            if (j >= n)
                break;
        }
        ++j; // taken into the part without being compared
    }
    // The last part, whether the close delimiter came or the lines ran out;
    // the epilogue after the close delimiter is dropped.
    SplitMultipart(Lines.subspan(partBegin, j - partBegin), Depth + 1, Leaves);
}

// What an entity's header fields say about it.
struct TPartHeader {
    std::string Type;     // upper case; "TEXT/PLAIN" when absent
    std::string Encoding; // upper case; "7BIT" when absent
    std::string Name;     // decoded; empty when none is given
    bool Attachment = false; // Content-Disposition: attachment
};

TPartHeader ReadPartHeader(std::span<const std::string_view> Lines) {
    static const std::string kKeys[] = {"CONTENT-TYPE:", "CONTENT-TRANSFER-ENCODING:", "CONTENT-DISPOSITION:"};
    std::string fields[3];
    bool found[3];
    FindHeaders<std::string_view>(Lines, kKeys, fields, found);

    TPartHeader h;
    h.Type = found[0] ? UpperCase(GetHeaderValue(kKeys[0], fields[0])) : "TEXT/PLAIN";
    h.Encoding = found[1] ? UpperCase(GetHeaderValue(kKeys[1], fields[1])) : "7BIT";
    h.Attachment = found[2] && UpperCase(GetHeaderValue(kKeys[2], fields[2])) == "ATTACHMENT";
    // The type's name first, then the disposition's filename; each field's
    // other spelling after them, as some mailers swap the two. An empty one
    // names nothing.
    const std::pair<int, const char*> kNames[] = {{0, "name"}, {2, "filename"}, {2, "name"}, {0, "filename"}};
    for (const auto& [field, param] : kNames)
        if (found[field] && GetHeaderParameter(fields[field], param, h.Name) && !h.Name.empty())
            break;
    return h;
}

// The charset parameter of an entity's Content-Type field (continuation
// lines included), unquoted; empty when there is none.
std::string DeclaredCharset(std::span<const std::string_view> Lines) {
    auto lower = [](std::string_view s) {
        std::string out(s);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return out;
    };
    for (size_t i = 0; i < Lines.size() && !Lines[i].empty(); ++i) {
        if (lower(Lines[i].substr(0, 13)) != "content-type:")
            continue;
        std::string field = lower(Lines[i]);
        for (size_t k = i + 1; k < Lines.size() && !Lines[k].empty() && (Lines[k][0] == ' ' || Lines[k][0] == '\t');
             ++k)
            field += lower(Lines[k]);
        for (size_t at = field.find("charset"); at != std::string::npos; at = field.find("charset", at + 7)) {
            size_t p = at + 7;
            while (p < field.size() && (field[p] == ' ' || field[p] == '\t'))
                ++p;
            if (p >= field.size() || field[p] != '=' || (at > 0 && field[at - 1] != ';' && field[at - 1] != ' ' &&
                                                          field[at - 1] != '\t'))
                continue;
            ++p;
            while (p < field.size() && (field[p] == ' ' || field[p] == '\t'))
                ++p;
            std::string value;
            if (p < field.size() && field[p] == '"') {
                const size_t close = field.find('"', p + 1);
                value = field.substr(p + 1, close == std::string::npos ? std::string::npos : close - p - 1);
            } else {
                const size_t end = field.find_first_of("; \t", p);
                value = field.substr(p, end == std::string::npos ? std::string::npos : end - p);
            }
            return value.substr(0, 64);
        }
        return std::string();
    }
    return std::string();
}

// Writing the lines one by one and writing them joined decode alike (line
// ends are skipped and groups carry over), so every line is decoded where it
// is, straight into Out, sized once for the whole part. Out grows in steps of
// about 64 KiB of input so that zero-filling the room stays in the cache
// just ahead of the decoder. Done is told of each step's lines once they
// are decoded.
void DecodeBase64Into(std::span<const std::string_view> Lines, std::string& Out,
                      const std::function<void(std::span<const std::string_view>)>& Done) {
    size_t encoded = 0;
    for (const std::string_view l : Lines)
        encoded += l.size();
    Out.reserve(Out.size() + encoded / 4 * 3 + 16);
    TBase64Decoder decoder;
    constexpr size_t kStep = 1 << 16;
    size_t len = Out.size();
    size_t k = 0;
    // Done hears of about a megabyte of lines at a time.
    constexpr size_t kTell = 1 << 20;
    size_t told = 0, untold = 0;
    while (k < Lines.size()) {
        size_t step = 0, j = k;
        do
            step += Lines[j++].size();
        while (j < Lines.size() && step < kStep);
        Out.resize(len + decoder.MaxDecodedSize(step));
        char* o = Out.data() + len;
        for (; k < j; ++k)
            o += decoder.DecodeTo(Lines[k].data(), Lines[k].size(), o);
        len = static_cast<size_t>(o - Out.data());
        untold += step;
        if (untold >= kTell || k == Lines.size()) {
            Done(Lines.subspan(told, k - told));
            told = k;
            untold = 0;
        }
    }
    Out.resize(len);
}

// Copies bytes from P to O up to the first that quoted-printable decoding
// of a line cannot copy as it is ("=", "_", CR or LF) or to End, and
// returns how many it copied. O must have room for End - P bytes: blocks of
// 16 are stored whole and the bytes past the stop overwritten later.
size_t CopyQPPlain(const char* P, const char* End, char* O) {
    const char* const start = P;
#if defined(__SSE2__)
    for (; End - P >= 16; P += 16, O += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(O), v);
        const __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('=')), _mm_cmpeq_epi8(v, _mm_set1_epi8('_'))),
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
        if (const int m = _mm_movemask_epi8(hit))
            return static_cast<size_t>(P - start) + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(m)));
    }
#endif
    while (P < End && *P != '=' && *P != '_' && *P != '\r' && *P != '\n')
        *O++ = *P++;
    return static_cast<size_t>(P - start);
}

// What a byte is to the line-wise quoted-printable decoder.
constexpr uint8_t kQPPlain = 0, kQPEscape = 1, kQPBlank = 2, kQPStop = 3;
constexpr std::array<uint8_t, 256> kQPKind = [] {
    std::array<uint8_t, 256> t{};
    t['='] = kQPEscape;
    t['_'] = kQPBlank;
    t['\r'] = t['\n'] = kQPStop;
    return t;
}();

// Hex digit values; kQPHexOther marks any other byte ("@" results), and
// kQPHexStop CR and LF (left to the general way).
constexpr uint8_t kQPHexOther = 0x40, kQPHexStop = 0x80;
constexpr std::array<uint8_t, 256> kQPHex = [] {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const int v = HexDigitValue(static_cast<char>(c));
        t[static_cast<size_t>(c)] = v < 0 ? kQPHexOther : static_cast<uint8_t>(v);
    }
    t['\r'] = t['\n'] = kQPHexStop;
    return t;
}();

// AppendQuotedPrintableLines line by line, without the joined text: what the
// decoder does with "=" CR LF (a soft break: the next line goes on) and with
// "=X" CR LF (the escape takes the CR, gives "@", and the LF ends the line)
// is done per line. Lines holding CR or LF are left to the general way:
// false, Out as it was.
bool AppendQuotedPrintableLinesDirect(std::span<const std::string_view> Lines, TTextLines& Out) {
    const size_t outStart = Out.size();
    // Decoding never makes a line longer: room for the encoded bytes is
    // enough, so the text is not moved as it grows.
    size_t encoded = 0;
    for (const std::string_view l : Lines)
        encoded += l.size();
    Out.Reserve(Lines.size(), encoded);
    std::string cur;        // the decoded line being built
    bool curHasEnd = false; // an escape in cur gave CR or LF: cur splits into several lines
    const auto fail = [&] {
        Out.Truncate(outStart);
        return false;
    };
    for (const std::string_view l : Lines) {
        const char* p = l.data();
        const char* const end = p + l.size();
        // A line never decodes to more bytes than it has.
        const size_t base = cur.size();
        cur.resize(base + l.size());
        char* o = cur.data() + base;
        bool soft = false;
        while (p < end) {
            const uint8_t kind = kQPKind[static_cast<unsigned char>(*p)];
            if (kind == kQPPlain) {
                const size_t plain = CopyQPPlain(p, end, o);
                p += plain;
                o += plain;
                continue;
            }
            if (kind == kQPBlank) {
                *o++ = ' ';
                ++p;
                continue;
            }
            if (kind == kQPStop)
                return fail();
            const size_t left = static_cast<size_t>(end - p) - 1;
            if (left == 0) {
                soft = true;
                break;
            }
            const uint8_t hi = kQPHex[static_cast<unsigned char>(p[1])];
            if (left == 1) {
                if (hi == kQPHexStop)
                    return fail();
                *o++ = '@'; // the second "digit" is the CR of the line end
                break;
            }
            const uint8_t lo = kQPHex[static_cast<unsigned char>(p[2])];
            if ((hi | lo) & kQPHexStop)
                return fail();
            const char byte = ((hi | lo) & kQPHexOther) ? '@' : static_cast<char>(hi << 4 | lo);
            curHasEnd |= byte == '\r' || byte == '\n';
            *o++ = byte;
            p += 3;
        }
        cur.resize(static_cast<size_t>(o - cur.data()));
        if (soft)
            continue;
        if (curHasEnd) {
            cur += "\r\n";
            Out.AppendSplit(cur);
            curHasEnd = false;
        } else {
            Out.emplace_back(cur);
        }
        cur.clear();
    }
    // After a soft break at the very end the rest has no line end.
    Out.AppendSplit(cur);
    return true;
}

// The lines of DecodeQuotedPrintable(JoinLines(Lines)), appended to Out,
// decoded a chunk of lines at a time so that neither the joined text nor the
// decoded one exists whole. A chunk ends after the CR LF of a line, and no
// escape reaches past the line end it stands before, so the chunks decode as
// the whole does; a decoded line may run on into the next chunk (soft line
// breaks) and is carried over, and so is the question whether a CR at the
// end of a chunk is half of a CR LF.
void AppendQuotedPrintableLines(std::span<const std::string_view> Lines, TTextLines& Out) {
    if (AppendQuotedPrintableLinesDirect(Lines, Out))
        return;

    constexpr size_t kChunk = 1 << 16;
    std::string chunk, pending;
    bool afterCR = false; // the last line end given out was a CR at the end of a chunk
    const auto decode = [&] {
        std::string decoded = DecodeQuotedPrintable(chunk);
        chunk.clear();
        size_t from = 0;
        if (afterCR && !decoded.empty()) {
            from = decoded[0] == '\n' ? 1 : 0;
            afterCR = false;
        }
        // What is pending from before holds no line end: only the new text
        // is searched, so that one long decoded line costs no rescans.
        const size_t old = pending.size();
        pending.append(decoded, from);
        size_t end = std::string_view(pending).substr(old).find_last_of("\r\n");
        if (end == std::string::npos)
            return;
        end += old;
        Out.AppendSplit(std::string_view(pending).substr(0, end + 1));
        afterCR = pending[end] == '\r' && end + 1 == pending.size();
        pending.erase(0, end + 1);
    };
    for (const std::string_view l : Lines) {
        chunk += l;
        chunk += "\r\n";
        if (chunk.size() >= kChunk)
            decode();
    }
    if (!chunk.empty())
        decode();
    Out.AppendSplit(pending);
}

// The data lines of a uuencoded attachment: from the second line up to "end",
// a lone "`" or the last line. The stop lines are tested before every data
// line, the first one included, so that "begin" directly followed by "end"
// (an empty file) decodes to nothing instead of failing on "end".
void DecodeUUInto(std::span<const std::string_view> Lines, std::string& Out) {
    size_t encoded = 0;
    for (const std::string_view l : Lines)
        encoded += l.size();
    Out.reserve(Out.size() + encoded / 4 * 3);
    for (size_t i = 1; i < Lines.size(); ++i) {
        const std::string_view l = Lines[i];
        if (l == "end" || l == "`")
            break;
        UUDecodeLine(l, Out);
    }
}

} // namespace

// ---- uuencode ----

namespace {

// Value of each byte in the uuencode alphabet; 0xFF for bytes outside it.
constexpr std::array<uint8_t, 256> kUUValue = [] {
    std::array<uint8_t, 256> t{};
    t.fill(0xFF);
    t[' '] = 0;
    t['`'] = 0;
    for (int c = 33; c <= 95; ++c)
        t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 32);
    return t;
}();

} // namespace

uint8_t UUCharValue(char C) {
    const uint8_t v = kUUValue[static_cast<unsigned char>(C)];
    if (v == 0xFF)
        throw Exception(kOops);
    return v;
}

void UUDecodeLine(std::string_view Line, std::string& Out) {
    if (Line.empty())
        return;
    const unsigned count = UUCharValue(Line[0]);
    size_t chars = count == 45 ? 60 : Line.size() - 1;
    chars = std::min<size_t>(chars, 60);
    if (chars > Line.size() - 1)
        throw Exception(kOops); // a 45-byte line too short for its 60 characters

    // Four characters give three bytes; a last, shorter group is filled up
    // with zero bits. Every character is checked, also those past the
    // announced count.
    const auto* p = reinterpret_cast<const unsigned char*>(Line.data()) + 1;
    unsigned char bytes[45] = {};
    uint8_t bad = 0;
    size_t nb = 0;
    for (size_t k = 0; k < chars; k += 4) {
        uint8_t v[4] = {0, 0, 0, 0};
        for (size_t i = 0; i < 4 && k + i < chars; ++i) {
            v[i] = kUUValue[p[k + i]];
            bad |= v[i];
        }
        bytes[nb] = static_cast<unsigned char>(v[0] << 2 | v[1] >> 4);
        bytes[nb + 1] = static_cast<unsigned char>(v[1] << 4 | v[2] >> 2);
        bytes[nb + 2] = static_cast<unsigned char>(v[2] << 6 | v[3]);
        nb += 3;
    }
    if (bad & 0x80)
        throw Exception(kOops);
    Out.append(reinterpret_cast<const char*>(bytes), std::min<size_t>(count, 45));
}

bool IsUUBeginLine(std::string_view Line, std::string* FileName) {
    if (Line.size() <= 10)
        return false;
    static constexpr char kBegin[] = "begin";
    for (int k = 0; k < 5; ++k)
        if ((Line[k] | 0x20) != kBegin[k])
            return false;
    const int32_t mode = StrToIntDef(std::string(Line.substr(6, 3)), 0);
    if (mode <= 0 || mode >= 777)
        return false;
    if (FileName)
        *FileName = std::string(Line.substr(10, 64));
    return true;
}

bool FindUUBegin(std::span<const std::string_view> Lines, size_t From, size_t& Pos, std::string& FileName) {
    for (size_t k = From; k < Lines.size(); ++k)
        // The length and first letter first: nearly every line fails there.
        if (Lines[k].size() > 10 && (Lines[k][0] | 0x20) == 'b' && IsUUBeginLine(Lines[k], &FileName)) {
            Pos = k;
            return true;
        }
    return false;
}

std::string SanitizeAttachmentName(std::string Name) {
    static constexpr std::string_view kRemoved = "\\/:*?\"<>|";
    std::erase_if(Name, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 32 || u == 127 || kRemoved.find(c) != std::string_view::npos;
    });
    if (Name == "." || Name == "..")
        Name.clear();
    return Name;
}

// ---- attachments ----

void TAttachedFile::SaveToFile(const std::string& AFileName) const {
    TFileStream file(AFileName, TFileStream::TMode::fmCreate);
    file.WriteBuffer(Data);
    file.Flush();
}

TAttachedFile& TAttachedFiles::Add(const std::string& Name) {
    auto item = std::make_unique<TAttachedFile>();
    const size_t sep = Name.find_last_of("\\:");
    item->FileName = sep == std::string::npos ? Name : Name.substr(sep + 1);
    item->PathName = Name;
    item->ContentType = ContentTypeOfFile(Name);
    FItems.push_back(std::move(item));
    return *FItems.back();
}

TAttachedFile& TAttachedFiles::Items(int Index) {
    return const_cast<TAttachedFile&>(std::as_const(*this).Items(Index));
}

const TAttachedFile& TAttachedFiles::Items(int Index) const {
    if (Index < 0 || Index >= Count())
        throw Exception("List index out of bounds (" + std::to_string(Index) + ")");
    return *FItems[static_cast<size_t>(Index)];
}

// ---- message ----

struct TKelMsg::TEntity {
    std::span<const std::string_view> Lines;
    bool SplitClean; // known to hold no CR or LF
    int Depth;
};

struct TKelMsg::TParseState {
    // Entities whose lines were not split-clean, joined and split again;
    // the leaves of a split point into them.
    struct TResplit {
        std::string Text;
        std::vector<std::string_view> Lines;
    };
    std::vector<std::unique_ptr<TResplit>> Resplit;
    // The first text part has given TextCharSet its value.
    bool TextCharSetTaken = false;
};

TKelMsg::TKelMsg(TObject* AOwner) : FOwner(AOwner) {}

TKelMsg::~TKelMsg() = default;

void TKelMsg::Parse() {
    if (RawMail.empty())
        return;

    // Text takes copies into its own buffer, so RawMail stays whole until
    // the parse has succeeded.
    const std::vector<std::string_view> lines(RawMail.begin(), RawMail.end());
    TParseState state;
    ParseMessage(state, lines, lkAny);

    if (ClearRawMailAfterParse)
        std::vector<std::string>().swap(RawMail);
}

void TKelMsg::ParseLines(std::span<const std::string_view> Lines, TLineKind Kind) {
    if (!RawMail.empty() || !ClearRawMailAfterParse) {
        // Copied before RawMail grows: the views may point into its lines.
        std::vector<std::string> copy(Lines.begin(), Lines.end());
        RawMail.insert(RawMail.end(), std::make_move_iterator(copy.begin()), std::make_move_iterator(copy.end()));
        Parse();
        return;
    }
    if (Lines.empty())
        return;
    TParseState state;
    try {
        ParseMessage(state, Lines, Kind);
    } catch (...) {
        RawMail.assign(Lines.begin(), Lines.end());
        throw;
    }
}

void TKelMsg::ParseMessage(TParseState& State, std::span<const std::string_view> Lines, TLineKind Kind) {
    const auto headerEnd = std::find_if(Lines.begin(), Lines.end(), [](std::string_view l) { return l.empty(); });
    Headers.insert(Headers.end(), Lines.begin(), headerEnd);
    ParseHeaderFields();
    ParsePart(State, TEntity{Lines, Kind == lkSplit, 0});
}

void TKelMsg::ParseHeaderFields() {
    // Without a From field this is what From keeps; no header line at all
    // leaves it as it is.
    if (!Headers.empty())
        From = Headers.front().size() > 5 ? Headers.front().substr(5, 72) : std::string();

    enum class TProc { Words, Addresses, None, Upper };
    struct TField {
        std::string TKelMsg::*Property;
        TProc Proc;
        const char* IfAbsent; // nullptr: the property stays as it is
    };
    static const std::string kKeys[] = {"FROM:",  "SENDER:", "MESSAGE-ID:", "IN-REPLY-TO:", "RETURN-PATH:",  "REPLY-TO:",
                                        "TO:",    "CC:",     "DATE:",       "SUBJECT:",     "CONTENT-TYPE:", "CONTENT-TRANSFER-ENCODING:"};
    static const TField kFields[] = {
        {&TKelMsg::From, TProc::Words, nullptr},
        {&TKelMsg::Sender, TProc::Addresses, nullptr},
        {&TKelMsg::MessageId, TProc::None, nullptr},
        {&TKelMsg::InReplyTo, TProc::None, nullptr},
        {&TKelMsg::ReturnPath, TProc::None, nullptr},
        {&TKelMsg::ReplyTo, TProc::Addresses, nullptr},
        {&TKelMsg::SendTo, TProc::Addresses, nullptr},
        {&TKelMsg::CC, TProc::Addresses, nullptr},
        {&TKelMsg::Date, TProc::None, nullptr},
        {&TKelMsg::Subject, TProc::Words, nullptr},
        {&TKelMsg::ContentType, TProc::Upper, "TEXT/PLAIN"},
        {&TKelMsg::ContentTransferEncoding, TProc::Upper, "7BIT"},
    };
    constexpr size_t kCount = std::size(kKeys);
    static_assert(std::size(kFields) == kCount);

    std::string lines[kCount];
    bool found[kCount];
    FindHeaders<std::string>(Headers, kKeys, lines, found);
    for (size_t k = 0; k < kCount; ++k) {
        const TField& f = kFields[k];
        if (!found[k]) {
            if (f.IfAbsent)
                this->*f.Property = f.IfAbsent;
            continue;
        }
        std::string value = GetHeaderValue(kKeys[k], lines[k]);
        switch (f.Proc) {
        case TProc::Words: value = DecodeEncodedWords(value); break;
        case TProc::Addresses: value = FormatAddressList(value); break;
        case TProc::Upper: value = UpperCase(value); break;
        case TProc::None: break;
        }
        this->*f.Property = std::move(value);
    }
}

void TKelMsg::ParsePart(TParseState& State, const TEntity& Entity) {
    const TPartHeader header = ReadPartHeader(Entity.Lines);
    const std::string& type = header.Type;
    const std::string& encoding = header.Encoding;
    const std::string& name = header.Name;
    const bool tooDeep = Entity.Depth >= MaxNestingDepth;
    const auto body = [&] { return Entity.Lines.subspan(SkipHeaderPos(Entity.Lines)); };
    const auto showBody = [&] { ShowLines(body()); };

    if (header.Attachment && !Contains(type, "MULTIPART")) {
        // Whatever its type: the sender meant it to be saved, not read inline.
        AddAttachment(body(), name, encoding);
    } else if (Contains(type, "TEXT")) {
        ParseTextPart(State, Entity, encoding);
    } else if (Contains(type, "MULTIPART")) {
        if (tooDeep) {
            showBody();
            return;
        }
        std::span<const std::string_view> lines = Entity.Lines;
        if (!Entity.SplitClean && !LooksSplitClean(lines)) {
            auto resplit = std::make_unique<TParseState::TResplit>();
            resplit->Text = JoinLines(lines);
            AppendSplitLines(resplit->Lines, resplit->Text);
            lines = resplit->Lines;
            State.Resplit.push_back(std::move(resplit));
        }
        std::vector<TLeaf> leaves;
        SplitMultipart(lines, Entity.Depth, leaves);
        for (const TLeaf& leaf : leaves)
            ParsePart(State, TEntity{leaf.Lines, true, leaf.Depth});
    } else if (encoding == "X-UUENCODE" || !name.empty()) {
        AddAttachment(body(), name, encoding);
    } else if (type == "MESSAGE/RFC822") {
        if (tooDeep) {
            showBody();
            return;
        }
        ParsePart(State, TEntity{body(), Entity.SplitClean, Entity.Depth + 1});
    } else if (encoding == "BASE64" || encoding == "QUOTED-PRINTABLE") {
        AddAttachment(body(), name, encoding);
    } else {
        showBody();
    }
}

void TKelMsg::ParseTextPart(TParseState& State, const TEntity& Entity, const std::string& Encoding) {
    const std::span<const std::string_view> lines = Entity.Lines.subspan(SkipHeaderPos(Entity.Lines));
    if (!State.TextCharSetTaken) {
        State.TextCharSetTaken = true;
        TextCharSet = DeclaredCharset(Entity.Lines);
    }

    // Uuencoded blocks leave the text from their begin line up to, not
    // including, the "end" line; without an "end" line the block runs to the
    // last line. One pass: lines before a begin line were already found not
    // to be begin lines, so searching again from the top finds the same.
    std::vector<std::pair<size_t, size_t>> kept; // text runs [first, last)
    size_t runBegin = 0;
    size_t pos = 0;
    size_t begin = 0;
    std::string uuName;
    bool foundBlock = false;
    while (pos < lines.size() && FindUUBegin(lines, pos, begin, uuName)) {
        foundBlock = true;
        kept.emplace_back(runBegin, begin);
        size_t end = begin;
        while (end < lines.size() && !IsUUEndLine(lines[end]))
            ++end;
        // Empty lines of the block are skipped by the decoder; only the
        // encoded lines an attachment keeps after a failure leave them out.
        AddAttachment(lines.subspan(begin, end - begin), uuName, "X-UUENCODE", true);
        runBegin = end;
        pos = end + 1; // the "end" line stays in the text and opens no block
    }

    if (foundBlock) {
        kept.emplace_back(runBegin, lines.size());
        for (const auto& [first, last] : kept)
            ShowLines(lines.subspan(first, last - first));
    } else if (Encoding == "QUOTED-PRINTABLE") {
        AppendQuotedPrintableLines(lines, Text);
    } else if (Encoding == "BASE64") {
        std::string bytes;
        DecodeBase64Into(lines, bytes, [this](std::span<const std::string_view> Done) { LinesRead(Done); });
        Text.AppendSplit(bytes);
    } else {
        ShowLines(lines);
    }
}

void TKelMsg::ShowLines(std::span<const std::string_view> Lines) {
    if (Lines.empty())
        return;
    size_t bytes = 0;
    for (const std::string_view l : Lines)
        bytes += l.size();
    Text.Reserve(Lines.size(), bytes);
    // The source of each run can go before the next is copied, and the
    // copies cost no more than they would in one go.
    ForEachRun(Lines, [this](std::span<const std::string_view> Run) {
        Text.Append(Run);
        LinesRead(Run);
        return true;
    });
}

bool TKelMsg::LooksSplitClean(std::span<const std::string_view> Lines) const {
    // Each run told of as looked over: a large entity's lines need not all
    // be in memory at once until its parts are decoded.
    return ForEachRun(Lines, [this](std::span<const std::string_view> Run) {
        if (!LinesAreSplitClean(Run))
            return false;
        LinesRead(Run);
        return true;
    });
}

void TKelMsg::LinesRead(std::span<const std::string_view> Lines) const {
    if (OnLinesCopied && !Lines.empty())
        OnLinesCopied(Lines.front().data(), Lines.back().data() + Lines.back().size());
}

void TKelMsg::AddAttachment(std::span<const std::string_view> Lines, std::string Name, const std::string& Encoding,
                            bool DropEmptyLinesOnFailure) {
    TAttachedFile& file = AttachedFiles.Add(SanitizeAttachmentName(std::move(Name)));
    if (Encoding == "BASE64") {
        DecodeBase64Into(Lines, file.Data, [this](std::span<const std::string_view> Done) { LinesRead(Done); });
    } else if (Encoding == "X-UUENCODE") {
        try {
            DecodeUUInto(Lines, file.Data);
        } catch (...) {
            // The attachment keeps its encoded lines and no bytes.
            std::string().swap(file.Data);
            for (const std::string_view l : Lines)
                if (!DropEmptyLinesOnFailure || !l.empty())
                    file.Lines.emplace_back(l);
            throw;
        }
    } else if (Encoding == "QUOTED-PRINTABLE") {
        TTextLines lines;
        AppendQuotedPrintableLines(Lines, lines);
        AppendJoined(file.Data, lines);
        if (!file.Data.empty())
            file.Data.resize(file.Data.size() - 2); // no line end after the last line
    } else {
        file.Data = JoinWithoutLastLineEnd(Lines);
    }
}

} // namespace kel
