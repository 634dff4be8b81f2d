#include "mail/core/KelText.h"

#include <algorithm>
#include <limits>

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

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = UpperChar(c);
    return r;
}

std::string LowerCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = LowerChar(c);
    return r;
}

bool SameText(std::string_view A, std::string_view B) {
    if (A.size() != B.size())
        return false;
    for (size_t i = 0; i < A.size(); ++i)
        if (LowerChar(A[i]) != LowerChar(B[i]))
            return false;
    return true;
}

bool StartsWithUpper(std::string_view Text, std::string_view Key) {
    if (Text.size() < Key.size())
        return false;
    for (size_t i = 0; i < Key.size(); ++i)
        if (UpperChar(Text[i]) != Key[i])
            return false;
    return true;
}

size_t FindUpper(std::string_view Text, std::string_view Key) {
    if (Key.empty() || Text.size() < Key.size())
        return std::string_view::npos;
    const size_t last = Text.size() - Key.size();
    for (size_t i = 0; i <= last; ++i)
        if (UpperChar(Text[i]) == Key[0] && StartsWithUpper(Text.substr(i), Key))
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

} // namespace kel
