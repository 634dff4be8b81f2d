#include "mail/message/KelHeader.h"

#include "mail/core/KelText.h"
#include "mail/message/KelEncodings.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace kel {

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
        const char letter = static_cast<char>(UpperChar(buf[q + 1]));
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

// ---- parameters ----

namespace {

bool IsParamBlank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }

// Code points of Windows-1252's bytes 0x80 to 0x9F; the five it leaves
// unassigned stand for themselves.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& Out, char32_t C) {
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else if (C < 0x800) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
        Out += static_cast<char>(0xE0 | (C >> 12));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}

bool IsWindows1252Label(std::string_view Charset) {
    static constexpr std::string_view kLabels[] = {"us-ascii", "ascii", "us", "iso-8859-1", "iso8859-1", "iso_8859-1",
                                                   "latin1", "l1", "windows-1252", "cp1252", "x-cp1252"};
    const std::string lower = LowerCase(TrimView(Charset));
    return std::find(std::begin(kLabels), std::end(kLabels), lower) != std::end(kLabels);
}

// %XX escapes decoded; a "%" not followed by two hex digits stays.
void AppendPercentDecoded(std::string& Out, std::string_view Text) {
    for (size_t i = 0; i < Text.size(); ++i) {
        const int hi = Text[i] == '%' && i + 2 < Text.size() ? HexDigitValue(Text[i + 1]) : -1;
        const int lo = hi >= 0 ? HexDigitValue(Text[i + 2]) : -1;
        if (lo >= 0) {
            Out += static_cast<char>(hi << 4 | lo);
            i += 2;
        } else {
            Out += Text[i];
        }
    }
}

// The next ";" at or after P that is not inside a quoted string (which may
// hold one), or the end.
size_t SkipToSemicolon(std::string_view F, size_t P) {
    while (P < F.size() && F[P] != ';') {
        if (F[P] == '"') {
            for (++P; P < F.size() && F[P] != '"'; ++P)
                if (F[P] == '\\')
                    ++P;
        }
        if (P < F.size())
            ++P;
    }
    return P;
}

struct TParameter {
    std::string_view Attribute;
    std::string Value;
    bool Quoted = false;
};

// Reads the parameter starting at P (just after its ";") and leaves P at
// the next ";" that is not inside a quoted string, or at the end.
TParameter ReadParameter(std::string_view F, size_t& P) {
    TParameter r;
    const size_t n = F.size();
    while (P < n && IsParamBlank(F[P]))
        ++P;
    const size_t a = P;
    while (P < n && F[P] != '=' && F[P] != ';' && !IsParamBlank(F[P]))
        ++P;
    r.Attribute = F.substr(a, P - a);
    while (P < n && IsParamBlank(F[P]))
        ++P;
    if (P >= n || F[P] != '=') {
        r.Attribute = {}; // no value: not a parameter this reader knows
    } else {
        ++P;
        while (P < n && IsParamBlank(F[P]))
            ++P;
        if (P < n && F[P] == '"') {
            r.Quoted = true;
            for (++P; P < n && F[P] != '"'; ++P) {
                if (F[P] == '\\' && P + 1 < n)
                    ++P;
                if (r.Value.size() < kMaxParameterBytes)
                    r.Value += F[P];
            }
            if (P < n)
                ++P; // the closing quote
        } else {
            const size_t v = P;
            while (P < n && F[P] != ';')
                ++P;
            std::string_view token = TrimView(F.substr(v, P - v));
            if (token.size() >= 2 && token.front() == '\'' && token.back() == '\'')
                token = token.substr(1, token.size() - 2);
            r.Value.assign(token.substr(0, kMaxParameterBytes));
        }
    }
    // Whatever follows up to the next ";" belongs to this parameter.
    P = SkipToSemicolon(F, P);
    return r;
}

struct TPiece {
    uint32_t Index;
    bool Encoded;
    std::string Value;
};

// "charset'language'text": the charset and the text; the whole of Value
// as text when it has no two apostrophes.
std::string_view SplitCharsetPrefix(std::string_view Value, std::string_view& Charset) {
    const size_t a = Value.find('\'');
    const size_t b = a == std::string_view::npos ? a : Value.find('\'', a + 1);
    if (b == std::string_view::npos)
        return Value;
    Charset = Value.substr(0, a);
    return Value.substr(b + 1);
}

} // namespace

std::string CharsetToUtf8(std::string_view Bytes, std::string_view Charset) {
    if (!IsWindows1252Label(Charset))
        return std::string(Bytes);
    std::string out;
    out.reserve(Bytes.size() + Bytes.size() / 2);
    for (const char c : Bytes) {
        const auto u = static_cast<unsigned char>(c);
        AppendUtf8(out, u >= 0x80 && u < 0xA0 ? kCp1252High[u - 0x80] : u);
    }
    return out;
}

std::string DecodeNameWords(std::string_view Text) {
    std::string out;
    size_t i = 0;
    bool afterWord = false;
    while (i < Text.size()) {
        const size_t start = Text.find("=?", i);
        size_t q1 = start == std::string_view::npos ? start : Text.find('?', start + 2);
        const bool formed = q1 != std::string_view::npos && q1 + 2 < Text.size() && Text[q1 + 2] == '?' &&
                            (UpperChar(Text[q1 + 1]) == 'Q' || UpperChar(Text[q1 + 1]) == 'B');
        const size_t end = formed ? Text.find("?=", q1 + 3) : std::string_view::npos;
        if (end == std::string_view::npos) {
            out.append(Text.substr(i));
            break;
        }
        const std::string_view between = Text.substr(i, start - i);
        if (!afterWord || !IsBlank(between)) // blanks between two encoded words go
            out.append(between);
        std::string_view charset = Text.substr(start + 2, q1 - start - 2);
        charset = charset.substr(0, charset.find('*')); // an RFC 2231 language goes
        const std::string_view payload = Text.substr(q1 + 3, end - q1 - 3);
        out += CharsetToUtf8(UpperChar(Text[q1 + 1]) == 'Q' ? DecodeQuotedPrintable(payload) : DecodeBase64(payload),
                             charset);
        afterWord = true;
        i = end + 2;
    }
    return out;
}

bool GetHeaderParameter(std::string_view Field, std::string_view Name, std::string& Value) {
    std::string_view f = Field;
    // The field's own value (the type or disposition) goes.
    size_t p = SkipToSemicolon(f, std::min(f.find(':'), f.size()));

    bool havePlain = false, haveExtended = false;
    std::string plain, extended;
    std::vector<TPiece> pieces;
    while (p < f.size()) {
        ++p; // the ";"
        TParameter r = ReadParameter(f, p);
        const std::string_view a = r.Attribute;
        if (a.size() < Name.size() || !SameText(a.substr(0, Name.size()), Name))
            continue;
        const std::string_view rest = a.substr(Name.size());
        if (rest.empty()) {
            if (!havePlain) {
                havePlain = true;
                plain = std::move(r.Value);
            }
        } else if (rest == "*") {
            if (!haveExtended) {
                haveExtended = true;
                extended = std::move(r.Value);
            }
        } else if (rest[0] == '*' && rest.size() >= 2 && pieces.size() < kMaxParameterPieces) {
            std::string_view digits = rest.substr(1);
            const bool encoded = digits.back() == '*';
            if (encoded)
                digits.remove_suffix(1);
            if (digits.empty() || digits.size() > 6 ||
                !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            pieces.push_back({static_cast<uint32_t>(std::stoul(std::string(digits))), encoded, std::move(r.Value)});
        }
    }

    if (haveExtended) {
        std::string_view charset;
        const std::string_view text = SplitCharsetPrefix(extended, charset);
        std::string bytes;
        AppendPercentDecoded(bytes, text);
        Value = CharsetToUtf8(bytes, charset);
        return true;
    }
    if (!pieces.empty()) {
        // Stable: of a repeated number the first one written stays first.
        std::stable_sort(pieces.begin(), pieces.end(),
                         [](const TPiece& x, const TPiece& y) { return x.Index < y.Index; });
        std::string_view charset;
        std::string bytes;
        for (size_t k = 0; k < pieces.size() && bytes.size() < kMaxParameterBytes; ++k) {
            if (k > 0 && pieces[k].Index == pieces[k - 1].Index)
                continue;
            std::string_view text = pieces[k].Value;
            if (pieces[k].Encoded) {
                if (k == 0 && pieces[k].Index == 0)
                    text = SplitCharsetPrefix(text, charset);
                AppendPercentDecoded(bytes, text);
            } else {
                bytes += text;
            }
        }
        bytes.resize(std::min(bytes.size(), kMaxParameterBytes));
        Value = CharsetToUtf8(bytes, charset);
        return true;
    }
    if (havePlain) {
        Value = DecodeNameWords(plain);
        return true;
    }
    return false;
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

} // namespace kel
