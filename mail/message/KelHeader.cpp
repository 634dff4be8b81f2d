#include "mail/message/KelHeader.h"

#include "mail/core/KelText.h"
#include "mail/message/KelEncodings.h"

#include <cstring>

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
