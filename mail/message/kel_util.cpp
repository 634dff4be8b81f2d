#include "kel_util.h"

#include "KelMIME.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kel {

namespace {

bool IsCtlOrBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

} // namespace

std::string Trim(const std::string& s) { return std::string(TrimView(s)); }

std::string_view TrimView(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsCtlOrBlank(s[b]))
        ++b;
    while (e > b && IsCtlOrBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool IsBlank(std::string_view s) {
    return std::all_of(s.begin(), s.end(), IsCtlOrBlank);
}

namespace {

char UpChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char LowChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = UpChar(c);
    return r;
}

std::string LowerCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = LowChar(c);
    return r;
}

bool StartsWithUpper(std::string_view Text, std::string_view Key) {
    if (Text.size() < Key.size())
        return false;
    for (size_t i = 0; i < Key.size(); ++i)
        if (UpChar(Text[i]) != Key[i])
            return false;
    return true;
}

size_t FindUpper(std::string_view Text, std::string_view Key) {
    if (Key.empty() || Text.size() < Key.size())
        return std::string_view::npos;
    const size_t last = Text.size() - Key.size();
    for (size_t i = 0; i <= last; ++i)
        if (UpChar(Text[i]) == Key[0] && StartsWithUpper(Text.substr(i), Key))
            return i;
    return std::string_view::npos;
}

int32_t StrToIntDef(const std::string& s, int32_t Default) {
    size_t i = 0;
    const size_t n = s.size();
    while (i < n && s[i] == ' ')
        ++i;
    if (i == n)
        return Default;

    // Hexadecimal forms carry no sign and must stay within the signed range.
    bool hex = false;
    if (s[i] == '$' || s[i] == 'x' || s[i] == 'X') {
        hex = true;
        ++i;
    } else if (s[i] == '0' && i + 1 < n && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (hex) {
        if (i == n)
            return Default;
        uint64_t v = 0;
        for (; i < n; ++i) {
            int d = HexDigitValue(s[i]);
            if (d < 0)
                return Default;
            v = v * 16 + static_cast<uint64_t>(d);
            if (v > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
                return Default;
        }
        return static_cast<int32_t>(v);
    }

    bool neg = false;
    if (s[i] == '+' || s[i] == '-') {
        neg = s[i] == '-';
        ++i;
    }
    if (i == n)
        return Default;
    int64_t v = 0;
    for (; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return Default;
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1)
            return Default;
    }
    if (neg)
        v = -v;
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        return Default;
    return static_cast<int32_t>(v);
}

bool IsDottedAddress(const std::string& s) {
    std::string rest = s;
    for (int k = 0; k < 3; ++k) {
        size_t dot = rest.find('.');
        if (dot == std::string::npos)
            return false;
        int32_t part = StrToIntDef(rest.substr(0, dot), -1);
        if (part < 0 || part > 255)
            return false;
        rest = rest.substr(dot + 1);
    }
    int32_t last = StrToIntDef(rest, -1);
    return last >= 0 && last <= 255;
}

int32_t NthWordAsInt(const std::string& text, int n, int32_t Default) {
    std::string t = Trim(text);
    for (int k = 1; k < n; ++k) {
        size_t blank = t.find(' ');
        if (blank == std::string::npos)
            return Default;
        t = Trim(t.substr(blank));
    }
    size_t blank = t.find(' ');
    if (blank != std::string::npos)
        t = t.substr(0, blank);
    return StrToIntDef(t, Default);
}

} // namespace kel

namespace kel {

// ---- text lists ----

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

// What splitting a text needs to know before it starts: where the text ends
// (its first NUL), how many lines it gives, and whether every CR in it is
// followed by LF, so that the lines can be cut at LF alone.
struct TLineScan {
    size_t Length = 0;
    size_t Lines = 0;
    bool CrOnlyInCrLf = true;
};

#if defined(__x86_64__)
// The counting loop of ScanLines 32 bytes a step, for processors with AVX2
// and POPCNT (checked at run time). Stops before a block holding a NUL and
// before the last 33 bytes; the caller goes on from I.
__attribute__((target("avx2,popcnt"))) void CountLineEndsAvx2(const char* P, size_t N, size_t& I, size_t& Cr,
                                                                size_t& Lf, size_t& CrLf) {
    const __m256i vcr = _mm256_set1_epi8('\r'), vlf = _mm256_set1_epi8('\n'), vz = _mm256_setzero_si256();
    for (; I + 33 <= N; I += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P + I));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, vz)) != 0)
            return;
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
    // 16 bytes a step: CR, LF and NUL compared at once. A CR LF pair is a CR
    // whose next byte is LF; the LF mask of the bytes one further on (an
    // overlapping load) gives that without carrying bits between steps.
    // Matches are counted per byte lane (a match is -1, subtracted) and the
    // lanes summed before they can overflow.
    const __m128i vcr = _mm_set1_epi8('\r'), vlf = _mm_set1_epi8('\n'), vz = _mm_setzero_si128();
    while (i + 17 <= n) {
        __m128i accCr = vz, accLf = vz, accPair = vz;
        bool nul = false;
        for (int k = 0; k < 255 && i + 17 <= n; ++k, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, vz)) != 0) {
                nul = true; // the bytes from here on are counted one by one below
                break;
            }
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
        if (nul)
            break;
    }
#endif
    for (; i < n && p[i] != '\0'; ++i) {
        if (p[i] == '\n') {
            ++lf;
        } else if (p[i] == '\r') {
            ++cr;
            if (i + 1 < n && p[i + 1] == '\n')
                ++crlf;
        }
    }
    TLineScan s;
    s.Length = i;
    s.Lines = lf + cr - crlf;
    if (i > 0 && p[i - 1] != '\r' && p[i - 1] != '\n')
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

template <class TLine> void AppendSplitLinesTo(std::vector<TLine>& Out, std::string_view Text) {
    // Counting first lets the list be sized once: growing it step by step
    // moves every line again and, for a large message, holds the old and
    // the new array at the same time.
    const TLineScan scan = ScanLines(Text);
    const size_t need = Out.size() + scan.Lines;
    if (need > Out.capacity())
        Out.reserve(Out.empty() ? need : std::max(need, Out.capacity() + Out.capacity() / 2));

    const char* p = Text.data();
    const char* const end = p + scan.Length;
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

#if defined(__x86_64__)
// Views are cheap to move, so the list may grow as lines are found: one pass
// over the text instead of counting first. Lines are cut at LF (a CR before
// it belongs to it). Gives up, leaving Out as it was, at a NUL or at a CR
// not followed by LF; the general way takes those.
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
    const __m256i vcr = _mm256_set1_epi8('\r'), vlf = _mm256_set1_epi8('\n'), vz = _mm256_setzero_si256();
    size_t begin = 0;
    size_t i = 0;
    for (; i + 33 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
        const auto nul = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, vz)));
        const auto cr = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, vcr)));
        const auto crlf = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(next, vlf)));
        if (nul | (cr & ~crlf)) {
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
        if (c == '\0' || (c == '\r' && (i + 1 >= n || p[i + 1] != '\n'))) {
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

// ---- header helpers ----

bool FindHeader(const std::string& Key, const std::vector<std::string>& Lines, std::string& FieldLine) {
    return FindHeader(Key, std::span<const std::string>(Lines), FieldLine);
}

namespace {

template <class TLine> bool FindHeaderIn(const std::string& Key, std::span<const TLine> Lines, std::string& FieldLine) {
    const size_t n = Lines.size();
    size_t i = 0;
    while (i < n && Lines[i].empty())
        ++i;
    for (; i < n && !Lines[i].empty(); ++i) {
        if (!StartsWithUpper(Lines[i], Key))
            continue;
        std::string field(Lines[i]);
        for (size_t j = i + 1; j < n && !Lines[j].empty() && (Lines[j][0] == ' ' || Lines[j][0] == '\t'); ++j)
            field += TrimView(Lines[j]);
        FieldLine = std::move(field);
        return true;
    }
    return false;
}

template <class TLine> size_t SkipHeaderPosIn(std::span<const TLine> Lines) {
    size_t i = 0;
    while (i < Lines.size() && !IsBlank(Lines[i]))
        ++i;
    while (i < Lines.size() && IsBlank(Lines[i]))
        ++i;
    return i;
}

} // namespace

bool FindHeader(const std::string& Key, std::span<const std::string> Lines, std::string& FieldLine) {
    return FindHeaderIn(Key, Lines, FieldLine);
}

bool FindHeader(const std::string& Key, std::span<const std::string_view> Lines, std::string& FieldLine) {
    return FindHeaderIn(Key, Lines, FieldLine);
}

std::string GetHeaderValue(const std::string& Key, const std::string& Line) {
    size_t p = FindUpper(Line, Key);
    if (p == std::string::npos)
        return {};
    std::string_view v = TrimView(std::string_view(Line).substr(p + Key.size()));
    if (size_t semi = v.find(';'); semi != std::string_view::npos)
        v = TrimView(v.substr(0, semi));
    return std::string(v);
}

size_t SkipHeaderPos(std::span<const std::string> Lines) { return SkipHeaderPosIn(Lines); }

size_t SkipHeaderPos(std::span<const std::string_view> Lines) { return SkipHeaderPosIn(Lines); }

void SkipHeader(std::vector<std::string>& Lines) {
    Lines.erase(Lines.begin(), Lines.begin() + static_cast<ptrdiff_t>(SkipHeaderPos(Lines)));
}

std::string GetBoundary(const std::string& Line) {
    size_t p = FindUpper(Line, "BOUNDARY");
    // Without "BOUNDARY" the text is read from the 8th character.
    size_t start = p == std::string::npos ? 7 : p + 8;
    std::string s = start < Line.size() ? Trim(Line.substr(start, 72)) : std::string();
    if (!s.empty())
        s.erase(0, 1);
    s = Trim(s);
    if (!s.empty() && s[0] == '"') {
        s.erase(0, 1);
        if (size_t q = s.find('"'); q != std::string::npos)
            s.erase(q);
    }
    if (size_t semi = s.find(';'); semi != std::string::npos)
        s.erase(semi);
    return "--" + Trim(s);
}

// The words are replaced in place in one buffer. buf[0, w) is the text before
// the current encoded word (it holds no "=?"), buf[r, n) the text still to be
// looked at. A decoded word is never longer than the word it replaces, so it
// is copied into the buffer just in front of the text after the word and is
// looked at again from there: decoded text that forms an encoded word (alone
// or with what follows it) is decoded again, without going back to the start.
std::string DecodeEncodedWords(const std::string& Text) {
    std::string buf = Text;
    const size_t n = buf.size();
    size_t w = 0, r = 0;
    std::string decoded;
    for (;;) {
        size_t k;
        if (w > 0 && buf[w - 1] == '=' && r < n && buf[r] == '?') {
            // The "=" ending the settled text and the "?" starting the rest
            // form the next "=?".
            --w;
            --r;
            buf[r] = '=';
            k = r;
        } else {
            k = buf.find("=?", r);
            if (k == std::string::npos)
                break;
        }
        if (w != r)
            std::memmove(buf.data() + w, buf.data() + r, k - r);
        w += k - r;
        r = k;

        size_t q = buf.find('?', r + 2);
        if (q == std::string::npos || q + 1 >= n)
            break;
        const char letter = static_cast<char>(UpChar(buf[q + 1]));
        const size_t encStart = q + 3; // charset, "?", letter and one more character go
        if (encStart > n)
            break;
        size_t e = buf.find("?=", encStart);
        if (e == std::string::npos)
            break;
        std::string_view encoded(buf.data() + encStart, e - encStart);
        if (letter == 'Q')
            decoded = DecodeQuotedPrintable(encoded);
        else if (letter == 'B')
            decoded = DecodeBase64(encoded);
        else
            decoded.clear();
        r = e + 2 - decoded.size();
        std::memcpy(buf.data() + r, decoded.data(), decoded.size());
    }
    buf.erase(w, r - w);
    return buf;
}

// ---- addresses ----

std::string ExtractAddress(const std::string& Mailbox, bool Bracket) {
    // Comments go, first "(" through first ")"; a ")" before the first "("
    // ends the removal.
    std::string s;
    size_t i = 0;
    for (;;) {
        size_t a = Mailbox.find_first_of("()", i);
        if (a == std::string::npos || Mailbox[a] == ')')
            break;
        size_t b = Mailbox.find(')', a + 1);
        if (b == std::string::npos)
            break;
        s.append(Mailbox, i, a - i);
        i = b + 1;
    }
    s.append(Mailbox, i, std::string::npos);
    s = Trim(s);
    size_t lt = s.find('<'), gt = s.find('>');
    if (lt != std::string::npos && gt != std::string::npos)
        s = gt > lt ? s.substr(lt + 1, gt - lt - 1) : std::string();
    return Bracket ? "<" + s + ">" : s;
}

std::string ExtractDisplayName(const std::string& Mailbox, bool Quote) {
    std::string s = Mailbox;
    size_t lt = s.find('<'), gt = s.find('>');
    if (lt != std::string::npos && gt != std::string::npos && gt > lt)
        s.erase(lt, gt - lt + 1);
    size_t lp = s.find('('), rp = s.find(')');
    if (lp != std::string::npos && rp != std::string::npos)
        s = rp > lp ? s.substr(lp + 1, rp - lp - 1) : std::string();
    std::erase_if(s, [](char c) { return c == '"' || c == '\''; });
    s = Trim(s);
    return Quote ? "\"" + s + "\"" : s;
}

std::string FormatAddressList(const std::string& List) {
    // Quoted strings go first, quotes and content (and any comma inside); a
    // lone double quote goes by itself.
    std::string s;
    size_t i = 0;
    for (;;) {
        size_t p = List.find('"', i);
        if (p == std::string::npos) {
            s.append(List, i, std::string::npos);
            break;
        }
        s.append(List, i, p - i);
        size_t q = List.find('"', p + 1);
        if (q == std::string::npos) {
            s.append(List, p + 1, std::string::npos);
            break;
        }
        i = q + 1;
    }
    std::string result;
    size_t start = 0;
    for (;;) {
        size_t comma = s.find(',', start);
        std::string part = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        result += ExtractDisplayName(DecodeEncodedWords(part), true);
        result += ' ';
        result += ExtractAddress(part, true);
        if (comma == std::string::npos)
            break;
        result += ", ";
        start = comma + 1;
    }
    return result;
}

std::string RemoveChar(const std::string& Text, char C) {
    std::string s = Text;
    std::erase(s, C);
    return s;
}

std::string StripQuotes(const std::string& Text) {
    std::string s = Text;
    if (!s.empty() && (s.front() == '"' || s.front() == '\''))
        s.erase(0, 1);
    if (!s.empty() && (s.back() == '"' || s.back() == '\''))
        s.pop_back();
    return s;
}

// ---- temporary files ----

std::string TempDirectory() {
    const char* env = std::getenv("TMPDIR");
    std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

namespace {

// Creates the file with O_CREAT|O_EXCL and mode 0600 (mkostemp does both) and
// returns its open descriptor.
int CreateTempFile(std::string& Name) {
    std::string templ = TempDirectory() + "/kelXXXXXX";
    int fd = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0)
        throw EFileError("Cannot create a temporary file in \"" + TempDirectory() + "\": " + std::strerror(errno));
    Name = std::move(templ);
    return fd;
}

} // namespace

std::string MakeTempFileName() {
    std::string name;
    ::close(CreateTempFile(name));
    return name;
}

TTempFile::TTempFile() { FFd = CreateTempFile(FName); }

TTempFile TTempFile::Unnamed() {
    const int fd = ::open(TempDirectory().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return TTempFile(fd);
    std::string name;
    const int named = CreateTempFile(name);
    ::unlink(name.c_str());
    return TTempFile(named);
}

TTempFile::~TTempFile() { Remove(); }

TTempFile::TTempFile(TTempFile&& Other) noexcept : FName(std::move(Other.FName)), FFd(Other.FFd) {
    Other.FName.clear();
    Other.FFd = -1;
}

TTempFile& TTempFile::operator=(TTempFile&& Other) noexcept {
    if (this != &Other) {
        Remove();
        FName = std::move(Other.FName);
        FFd = Other.FFd;
        Other.FName.clear();
        Other.FFd = -1;
    }
    return *this;
}

void TTempFile::Remove() noexcept {
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
    if (!FName.empty())
        ::unlink(FName.c_str());
    FName.clear();
}

int WriteFully(int Fd, std::string_view Bytes, size_t& Written) {
    Written = 0;
    while (Written < Bytes.size()) {
        const ssize_t n = ::write(Fd, Bytes.data() + Written, Bytes.size() - Written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        Written += static_cast<size_t>(n);
    }
    return 0;
}

void TTempFile::WriteAll(std::string_view Bytes) {
    if (FFd < 0)
        throw EStreamError("Stream write error: the temporary file is closed");
    size_t written = 0;
    if (const int err = WriteFully(FFd, Bytes, written))
        throw EStreamError(std::string("Stream write error: ") + std::strerror(err));
}

std::string TTempFile::ReadAll() const {
    if (FFd < 0)
        throw EStreamError("Stream read error: the temporary file is closed");
    std::string out;
    struct stat st {};
    if (::fstat(FFd, &st) == 0 && st.st_size > 0)
        out.reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    off_t off = 0;
    for (;;) {
        ssize_t n = ::pread(FFd, chunk, sizeof chunk, off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw EStreamError(std::string("Stream read error: ") + std::strerror(errno));
        if (n == 0)
            break;
        out.append(chunk, static_cast<size_t>(n));
        off += n;
    }
    return out;
}

void TTempFile::Truncate() {
    if (FFd < 0 || ::ftruncate(FFd, 0) != 0 || ::lseek(FFd, 0, SEEK_SET) != 0)
        throw EStreamError("Stream write error: cannot empty the temporary file");
}

} // namespace kel
