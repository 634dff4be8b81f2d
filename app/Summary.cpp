#include "Summary.h"

#include "message/kel_util.h"

namespace summary {

namespace {

// Up to Count characters of S from the 1-based position Index; a position
// below 1 counts as 1, one beyond the end yields empty text.
std::string Copy(const std::string& S, long Index, size_t Count) {
    const size_t from = Index < 1 ? 0 : static_cast<size_t>(Index - 1);
    if (from >= S.size())
        return {};
    return S.substr(from, Count);
}

// 1-based position of the first occurrence of What in S, 0 when absent.
long Pos(const std::string& What, const std::string& S) {
    const size_t p = S.find(What);
    return p == std::string::npos ? 0 : static_cast<long>(p) + 1;
}

// The text of one header value: Window characters of H from Start, trimmed,
// cut after its first CR LF and trimmed again. Without a CR LF in the window
// the value is empty, which also makes a value longer than the window empty.
std::string ValueUpToLineEnd(const std::string& H, long Start, size_t Window) {
    const std::string a = kel::Trim(Copy(H, Start, Window));
    const long q = Pos("\r\n", a);
    return kel::Trim(Copy(a, 1, static_cast<size_t>(q)));
}

// The list splits rows at "|": a bar inside a header value would push the
// rest of the value into the next column and shift every column after it.
std::string NoColumnBreaks(std::string s) {
    for (char& c : s)
        if (c == '|')
            c = '/';
    return s;
}

std::string Date(const std::string& H, bool IsGerman) {
    const std::string a = kel::Trim(Copy(H, Pos("Date:", H), 30));
    // "Date: Mon, 6 Mar 2000" has a blank at 13 where a two-digit day has its
    // second digit; the one-digit day gets a leading zero below.
    const bool shortDay = a.size() >= 13 && a[12] == ' ';
    std::string d = kel::Trim(Copy(a, 12, shortDay ? 11 : 12));
    if (d.size() == 10)
        d = "0" + d;
    if (d.empty())
        d = IsGerman ? "Kein Datum" : "No date";
    return d;
}

std::string Sender(const std::string& H, bool IsGerman) {
    // The one character after the colon is skipped unseen, usually a blank.
    std::string f = ValueUpToLineEnd(H, Pos("From:", H) + 6, 225);
    if (f.empty())
        f = IsGerman ? "Kein Absender" : "No sender";
    return f;
}

std::string Subject(const std::string& H, bool IsGerman) {
    std::string t = ValueUpToLineEnd(H, Pos("Subject:", H) + 8, 225);
    // An empty subject line lets the search run on into the Date: line.
    if (t.find("Date: ") != std::string::npos)
        t = IsGerman ? "Die Betreff-Zeile ist leer" : "No subject";
    return t;
}

// Adds one to a text of decimal digits.
std::string Increment(std::string digits) {
    for (size_t i = digits.size(); i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return digits;
        }
        digits[i] = '0';
    }
    return "1" + digits;
}

std::string WithoutLeadingZeros(const std::string& digits) {
    const size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? "0" : digits.substr(first);
}

// The number formed by all digits but the last Drop ones, rounded half up on
// the first dropped digit. Digits stay text, so no length can overflow.
std::string RoundedPrefix(const std::string& digits, size_t Drop) {
    std::string k = WithoutLeadingZeros(digits.substr(0, digits.size() - Drop));
    if (digits[digits.size() - Drop] >= '5')
        k = Increment(k);
    return k;
}

// The server's size text is untrusted: a STAT reply may carry words after
// the number ("4500 octets"). Only the digits the text starts with count;
// a text without any gives no size at all.
std::string SizeDigits(const std::string& S) {
    size_t b = 0;
    while (b < S.size() && static_cast<unsigned char>(S[b]) <= 32)
        ++b;
    size_t e = b;
    while (e < S.size() && S[e] >= '0' && S[e] <= '9')
        ++e;
    return S.substr(b, e - b);
}

} // namespace

std::string filter(const std::string& H, bool IsGerman) {
    return NoColumnBreaks(Date(H, IsGerman)) + "|" + NoColumnBreaks(Sender(H, IsGerman)) + "|" +
           NoColumnBreaks(Subject(H, IsGerman)) + "|";
}

std::string DisplaySize(const std::string& S) {
    const std::string digits = SizeDigits(S);
    const size_t L = digits.size();
    if (L == 0)
        return {};
    if (L <= 3)
        return digits + " Byte";
    if (L <= 6)
        return RoundedPrefix(digits, 3) + " KByte";
    // Tenths of a megabyte; the separator is always a dot.
    const std::string t = RoundedPrefix(digits, 5);
    const std::string whole = t.size() > 1 ? t.substr(0, t.size() - 1) : "0";
    return whole + "." + t.back() + " MByte";
}

std::string Row(int n, const std::string& SizeText, const std::string& Filtered) {
    return " " + std::to_string(n) + " |" + DisplaySize(SizeText) + " |" + Filtered;
}

std::string PlaceholderRow(int n) { return " " + std::to_string(n) + " | - | - | - | - |"; }

} // namespace summary
