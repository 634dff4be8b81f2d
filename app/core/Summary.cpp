#include "app/core/Summary.h"

#include "mail/core/KelText.h"

#include <cctype>
#include <cstdio>

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

// The list splits rows at "|": a bar inside a header value would push the
// rest of the value into the next column and shift every column after it.
std::string NoColumnBreaks(std::string s) {
    for (char& c : s)
        if (c == '|')
            c = '/';
    return s;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The first characters of a value that is no date, cut where a date with a
// weekday would end: the form the list has always shown for such values.
std::string UnparsedDate(const std::string& Value) {
    const std::string a = kel::Trim(Copy("Date: " + Value, 1, 30));
    const bool shortDay = a.size() >= 13 && a[12] == ' ';
    std::string d = kel::Trim(Copy(a, 12, shortDay ? 11 : 12));
    if (d.size() == 10)
        d = "0" + d;
    return d;
}

// A reader over a date value: words, numbers and the comments and blanks
// between them.
class TDateReader {
  public:
    explicit TDateReader(std::string_view Text) : s_(Text) {}
    // Skips blanks, line ends and comments (nested parentheses).
    void SkipSpace() {
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                ++i_;
            } else if (c == '(') {
                int depth = 0;
                while (i_ < s_.size()) {
                    const char d = s_[i_++];
                    if (d == '\\' && i_ < s_.size())
                        ++i_;
                    else if (d == '(')
                        ++depth;
                    else if (d == ')' && --depth == 0)
                        break;
                }
            } else {
                return;
            }
        }
    }
    bool Take(char c) {
        SkipSpace();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    // Digits; false without any, or more than Max.
    bool Number(int& Value, size_t& Digits, size_t Max) {
        SkipSpace();
        Value = 0;
        Digits = 0;
        while (i_ < s_.size() && IsDigit(s_[i_])) {
            if (++Digits > Max)
                return false;
            Value = Value * 10 + (s_[i_++] - '0');
        }
        return Digits > 0;
    }
    std::string_view Word() {
        SkipSpace();
        const size_t from = i_;
        while (i_ < s_.size() && IsAlpha(s_[i_]))
            ++i_;
        return s_.substr(from, i_ - from);
    }
    char Peek() {
        SkipSpace();
        return i_ < s_.size() ? s_[i_] : '\0';
    }
    bool AtEnd() {
        SkipSpace();
        return i_ >= s_.size();
    }

  private:
    std::string_view s_;
    size_t i_ = 0;
};

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int MonthOf(std::string_view Word) {
    if (Word.size() < 3)
        return 0;
    for (int m = 0; m < 12; ++m)
        if (kel::SameText(Word.substr(0, 3), kMonths[m]))
            return m + 1;
    return 0;
}

// Minutes east of UTC for a zone name; false for a name that is none.
bool ZoneOffset(std::string_view Name, int& Minutes) {
    static const struct {
        const char* name;
        int minutes;
    } zones[] = {{"UT", 0},       {"UTC", 0},      {"GMT", 0},      {"Z", 0},        {"EST", -300},
                 {"EDT", -240},   {"CST", -360},   {"CDT", -300},   {"MST", -420},   {"MDT", -360},
                 {"PST", -480},   {"PDT", -420}};
    for (const auto& z : zones) {
        if (kel::SameText(Name, z.name)) {
            Minutes = z.minutes;
            return true;
        }
    }
    // The other military letters mean nothing certain: taken as UTC.
    if (Name.size() == 1 && IsAlpha(Name[0]) && kel::LowerChar(Name[0]) != 'j') {
        Minutes = 0;
        return true;
    }
    return false;
}

int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
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
    // Decimal only: "0x10" or "12k" is no number of bytes at all.
    if (e < S.size() && std::isalpha(static_cast<unsigned char>(S[e])))
        return {};
    return S.substr(b, e - b);
}

} // namespace

namespace {

// The values of the fields Names in one pass over H: Values[i] and Found[i]
// as FieldValue gives them for Names[i].
void FieldValues(std::string_view H, const std::string_view* Names, size_t Count, std::string* Values, bool* Found) {
    for (size_t i = 0; i < Count; ++i) {
        Values[i].clear();
        Found[i] = false;
    }
    size_t missing = Count;
    size_t line = 0;
    while (line < H.size() && missing > 0) {
        size_t end = H.find("\r\n", line);
        if (end == std::string_view::npos)
            end = H.size();
        if (end == line)
            break; // the empty line: the header has ended
        const std::string_view text = H.substr(line, end - line);
        for (size_t i = 0; i < Count; ++i) {
            const std::string_view Name = Names[i];
            // Most lines (Received, DKIM) are no field asked for: their
            // first letter tells.
            if (Found[i] || text.size() <= Name.size() ||
                (!Name.empty() && kel::LowerChar(text[0]) != kel::LowerChar(Name[0])))
                continue;
            size_t colon = Name.size();
            while (colon < text.size() && IsBlank(text[colon]))
                ++colon; // obsolete: blanks before the colon
            if (text.size() > colon && text[colon] == ':' && kel::SameText(text.substr(0, Name.size()), Name)) {
                // Continuation lines begin with a blank; unfolding drops the CR LF.
                std::string value;
                for (size_t next = end + 2; next < H.size() && IsBlank(H[next]);) {
                    if (value.empty())
                        value = text.substr(colon + 1);
                    size_t stop = H.find("\r\n", next);
                    if (stop == std::string_view::npos)
                        stop = H.size();
                    value.append(H.substr(next, stop - next));
                    next = stop + 2;
                }
                Found[i] = true;
                Values[i] = kel::TrimView(value.empty() ? text.substr(colon + 1) : std::string_view(value));
                --missing;
                break; // one line holds one field
            }
        }
        line = end + 2;
    }
}

} // namespace

std::string FieldValue(std::string_view H, std::string_view Name, bool* Found) {
    std::string value;
    bool found = false;
    FieldValues(H, &Name, 1, &value, &found);
    if (Found)
        *Found = found;
    return value;
}

bool ParseDate(std::string_view Value, TDate& Date) {
    TDateReader r(Value);
    // An optional weekday, with or without its comma.
    if (IsAlpha(r.Peek())) {
        r.Word();
        r.Take(',');
    }
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    size_t digits = 0, yearDigits = 0;
    if (!r.Number(day, digits, 2))
        return false;
    r.Take('-'); // "6-Mar-2000", an old form
    const int month = MonthOf(r.Word());
    r.Take('-');
    if (month == 0 || !r.Number(year, yearDigits, 4))
        return false;
    if (yearDigits == 2)
        year += year < 50 ? 2000 : 1900;
    else if (yearDigits == 3)
        year += 1900;
    if (year < 1900 || day < 1 || day > DaysInMonth(year, month))
        return false;
    int offset = 0;
    if (IsDigit(r.Peek())) {
        if (!r.Number(hour, digits, 2) || !r.Take(':') || !r.Number(minute, digits, 2))
            return false;
        if (r.Take(':') && !r.Number(second, digits, 2))
            return false;
        if (hour > 23 || minute > 59 || second > 60)
            return false;
        const char sign = r.Peek();
        if (sign == '+' || sign == '-') {
            r.Take(sign);
            // "+0100"; writers also send "-600" or "+01": read as well as they go.
            int zone = 0;
            if (r.Number(zone, digits, 4)) {
                const int minutes = digits <= 2 ? zone * 60 : zone / 100 * 60 + zone % 100;
                offset = zone % 100 > 59 && digits > 2 ? 0 : minutes * (sign == '-' ? -1 : 1);
            }
        } else if (IsAlpha(sign) && !ZoneOffset(r.Word(), offset)) {
            offset = 0; // an unknown zone name: the time is kept as UTC
        }
    }
    Date.Year = year;
    Date.Month = month;
    Date.Day = day;
    Date.Utc = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
               hour * 3600 + minute * 60 + second - offset * 60;
    return true;
}

std::string DateText(const TDate& Date) {
    // Every listed row has one: written out rather than formatted.
    if (Date.Day >= 0 && Date.Day <= 99 && Date.Year >= 0 && Date.Year <= 9999 && Date.Month >= 1 &&
        Date.Month <= 12) {
        std::string text = "00 Mon 0000";
        text[0] = static_cast<char>('0' + Date.Day / 10);
        text[1] = static_cast<char>('0' + Date.Day % 10);
        text.replace(3, 3, kMonths[Date.Month - 1]);
        for (int i = 10, year = Date.Year; i >= 7; --i, year /= 10)
            text[static_cast<size_t>(i)] = static_cast<char>('0' + year % 10);
        return text;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%02d %s %04d", Date.Day, kMonths[((Date.Month - 1) % 12 + 12) % 12], Date.Year);
    return text;
}

TFields Fields(std::string_view H, bool IsGerman) {
    // One pass over the header for the three fields.
    static constexpr std::string_view kNames[] = {"Date", "From", "Subject"};
    std::string values[3];
    bool found[3];
    FieldValues(H, kNames, 3, values, found);
    TFields f;
    const std::string& date = values[0];
    if (date.empty()) {
        f.Date = IsGerman ? "Kein Datum" : "No date";
    } else if (ParseDate(date, f.When)) {
        f.DateParsed = true;
        f.Date = DateText(f.When);
    } else {
        f.Date = UnparsedDate(date);
    }
    f.Sender = std::move(values[1]);
    f.SenderGiven = !f.Sender.empty();
    if (!f.SenderGiven)
        f.Sender = IsGerman ? "Kein Absender" : "No sender";
    f.Subject = std::move(values[2]);
    if (found[2] && f.Subject.empty())
        f.Subject = IsGerman ? "Die Betreff-Zeile ist leer" : "No subject";
    return f;
}

std::string filter(const std::string& H, bool IsGerman) {
    const TFields f = Fields(H, IsGerman);
    return NoColumnBreaks(f.Date) + "|" + NoColumnBreaks(f.Sender) + "|" + NoColumnBreaks(f.Subject) + "|";
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

std::string SizeLess(const std::string& S, uint64_t Bytes) {
    std::string digits = SizeDigits(S);
    if (digits.empty())
        return {};
    // Digit by digit from the right, so a text of any length stays exact.
    const std::string minus = std::to_string(Bytes);
    if (minus.size() > WithoutLeadingZeros(digits).size() ||
        (minus.size() == WithoutLeadingZeros(digits).size() && minus > WithoutLeadingZeros(digits)))
        return "0";
    int borrow = 0;
    for (size_t i = 0; i < digits.size(); ++i) {
        char& d = digits[digits.size() - 1 - i];
        int value = (d - '0') - borrow - (i < minus.size() ? minus[minus.size() - 1 - i] - '0' : 0);
        borrow = value < 0 ? 1 : 0;
        d = static_cast<char>('0' + value + 10 * borrow);
    }
    return WithoutLeadingZeros(digits);
}

std::string Row(int n, const std::string& SizeText, const std::string& Filtered) {
    return " " + std::to_string(n) + " |" + DisplaySize(SizeText) + " |" + Filtered;
}

std::string PlaceholderRow(int n) { return " " + std::to_string(n) + " | - | - | - | - |"; }

} // namespace summary
