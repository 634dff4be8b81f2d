// Do the list rows of real-world headers show the date, sender and subject a
// plain reading of RFC 5322 and RFC 2047 finds in them?
//
// Every message file of the shared corpus is served as a POP3 server sends
// the reply to TOP n 0 (lines ended by CR LF, the empty line, the
// terminator), and its row is compared with a reference reading written here
// from the RFCs alone: unfold, find the field, take the first mailbox's name,
// decode the encoded words through Qt's converters.
#include "app/core/ListRows.h"
#include "app/core/Summary.h"
#include "support/Corpus.h"

#include <QStringDecoder>
#include <QStringList>

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

// Failures show the text, not its code units.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

using sweepbox::test::ReadFile;

// ---- the reference reading ----

bool IsWsp(char c) {
    return c == ' ' || c == '\t';
}

char LowerChar(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = LowerChar(c);
    return out;
}

std::string TrimWsp(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsWsp(s[b]))
        ++b;
    while (e > b && IsWsp(s[e - 1]))
        --e;
    return std::string(s.substr(b, e - b));
}

// The header lines of a message file, as a server hands them out: up to the
// first empty line, LF or CR LF line ends, without an mbox "From " line.
std::vector<std::string> HeaderLines(const std::string& File) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < File.size()) {
        size_t end = File.find('\n', at);
        std::string line = File.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? File.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        if (lines.empty() && line.rfind("From ", 0) == 0)
            continue;
        lines.push_back(line);
    }
    return lines;
}

// The reply to TOP n 0: every line ended by CR LF, dot-stuffed, the empty
// line and the terminator line.
std::string TopReply(const std::vector<std::string>& Lines) {
    std::string reply;
    for (const std::string& line : Lines)
        reply += (line.rfind('.', 0) == 0 ? "." : "") + line + "\r\n";
    return reply + "\r\n.\r\n";
}

// RFC 5322 2.2: a field is a name of printable characters other than ":"
// (the obsolete syntax allows blanks before the colon), a colon and a
// value; a line that starts with a blank continues the field before it.
// The first field of that name, unfolded (only the line breaks go).
std::optional<std::string> FieldBody(const std::vector<std::string>& Lines, std::string_view Name) {
    for (size_t i = 0; i < Lines.size(); ++i) {
        const std::string& line = Lines[i];
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0 || IsWsp(line[0]))
            continue;
        std::string name = line.substr(0, colon);
        while (!name.empty() && IsWsp(name.back()))
            name.pop_back();
        bool printable = !name.empty();
        for (const char c : name)
            printable = printable && c > 32 && c < 127;
        if (!printable || Lower(name) != Lower(Name))
            continue;
        std::string value = line.substr(colon + 1);
        for (size_t k = i + 1; k < Lines.size() && !Lines[k].empty() && IsWsp(Lines[k][0]); ++k)
            value += Lines[k];
        return TrimWsp(value);
    }
    return std::nullopt;
}

// Windows-1252 as Qt's converter reads it; the five bytes it leaves
// unassigned stand for themselves.
QString Windows1252(std::string_view Bytes) {
    static const std::array<QChar, 256> table = [] {
        std::array<QChar, 256> t{};
        for (int b = 0; b < 256; ++b) {
            const char byte = static_cast<char>(b);
            QStringDecoder cp1252("windows-1252");
            const QString c = cp1252.decode(QByteArrayView(&byte, 1));
            const bool assigned = c.size() == 1 && !cp1252.hasError() && c[0] != QChar(0xFFFD);
            t[static_cast<size_t>(b)] = assigned ? c[0] : QChar(b);
        }
        return t;
    }();
    QString out;
    for (const char c : Bytes)
        out += table[static_cast<unsigned char>(c)];
    return out;
}

// Text of bytes that carry no charset: UTF-8 when they are UTF-8, else
// Windows-1252.
QString ShownBytes(std::string_view Bytes) {
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text =
        utf8.decode(QByteArrayView(Bytes.data(), static_cast<qsizetype>(Bytes.size())));
    return utf8.hasError() ? Windows1252(Bytes) : text;
}

// Bytes in a declared charset. As the WHATWG encoding standard reads the
// labels mail writers use: ISO-8859-1 as Windows-1252, GB2312 as GBK (its
// superset, which such text is mostly written in). Bytes a charset cannot
// hold, and charsets Qt does not know, fall back to ShownBytes.
QString InCharset(std::string_view Bytes, std::string Charset) {
    Charset = Lower(Charset);
    if (Charset == "gb2312")
        Charset = "gbk";
    if (Charset == "iso-8859-1" || Charset == "iso8859-1" || Charset == "latin1" ||
        Charset == "windows-1252" || Charset == "cp1252")
        return Windows1252(Bytes);
    if (Charset == "us-ascii" || Charset == "ascii" || Charset == "utf-8" || Charset == "utf8")
        return ShownBytes(Bytes);
    QStringDecoder decoder(Charset.c_str(), QStringConverter::Flag::Stateless);
    if (!decoder.isValid())
        return ShownBytes(Bytes);
    const QString text =
        decoder.decode(QByteArrayView(Bytes.data(), static_cast<qsizetype>(Bytes.size())));
    return decoder.hasError() || text.contains(QChar(0xFFFD)) ? ShownBytes(Bytes) : text;
}

int Hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = LowerChar(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// RFC 2047 4.1: base64 in groups of four, "=" only at the end.
std::optional<std::string> FromBase64(std::string_view Text) {
    static constexpr std::string_view kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (Text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '=') {
            if (Text.size() - i > 2 || Text.find_first_not_of('=', i) != std::string_view::npos)
                return std::nullopt;
            break;
        }
        const size_t v = kDigits.find(Text[i]);
        if (v == std::string_view::npos)
            return std::nullopt;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// RFC 2047 4.2: "_" is a blank, "=" takes two hex digits.
std::optional<std::string> FromQ(std::string_view Text) {
    std::string out;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '_') {
            out += ' ';
        } else if (Text[i] == '=') {
            if (i + 2 >= Text.size() || Hex(Text[i + 1]) < 0 || Hex(Text[i + 2]) < 0)
                return std::nullopt;
            out += static_cast<char>(Hex(Text[i + 1]) * 16 + Hex(Text[i + 2]));
            i += 2;
        } else {
            out += Text[i];
        }
    }
    return out;
}

struct EncodedWord {
    size_t length = 0;
    std::string charset; // without an RFC 2231 language
    std::string bytes;
};

// RFC 2047 2: "=?" charset "?" B or Q "?" text "?=", no blanks or "?" in the
// text; the charset a token.
std::optional<EncodedWord> WordAt(std::string_view S, size_t At) {
    if (S.substr(At, 2) != "=?")
        return std::nullopt;
    const size_t q1 = S.find('?', At + 2);
    if (q1 == std::string_view::npos || q1 + 2 >= S.size() || S[q1 + 2] != '?')
        return std::nullopt;
    const size_t end = S.find("?=", q1 + 3);
    if (end == std::string_view::npos)
        return std::nullopt;
    const std::string_view charset = S.substr(At + 2, q1 - At - 2);
    const std::string_view text = S.substr(q1 + 3, end - q1 - 3);
    if (charset.empty() || charset.find_first_of(" \t()<>@,;:\"/[]?.=") != std::string_view::npos ||
        text.find_first_of(" \t?") != std::string_view::npos)
        return std::nullopt;
    const char encoding = LowerChar(S[q1 + 1]);
    const std::optional<std::string> bytes = encoding == 'b'   ? FromBase64(text)
                                             : encoding == 'q' ? FromQ(text)
                                                               : std::nullopt;
    if (!bytes)
        return std::nullopt;
    return EncodedWord{end + 2 - At, std::string(charset.substr(0, charset.find('*'))), *bytes};
}

// RFC 2047 6.2: encoded words decoded, the blanks between two adjacent ones
// dropped. Adjacent words in one charset are converted together, so a
// character a sender split over two words comes out whole. Words are found
// wherever they stand, as mail readers do.
QString DecodeWords(std::string_view S) {
    QString out;
    std::string run, runCharset, text;
    auto flushRun = [&] {
        if (!run.empty())
            out += InCharset(run, runCharset);
        run.clear();
    };
    bool afterWord = false;
    for (size_t i = 0; i < S.size();) {
        if (const auto word = WordAt(S, i)) {
            const bool onlyBlanks = text.find_first_not_of(" \t") == std::string::npos;
            if (!afterWord || !onlyBlanks) {
                flushRun();
                out += ShownBytes(text);
            } else if (Lower(word->charset) != Lower(runCharset)) {
                flushRun();
            }
            text.clear();
            runCharset = word->charset;
            run += word->bytes;
            afterWord = true;
            i += word->length;
            continue;
        }
        if (afterWord && !IsWsp(S[i])) {
            flushRun();
            out += ShownBytes(text);
            text.clear();
            afterWord = false;
        }
        text += S[i++];
    }
    flushRun();
    out += ShownBytes(text);
    return out;
}

// RFC 5322 3.4, read from the raw value: the first mailbox (a group's first
// member), and of it the display name without quotes, escapes and comments,
// or the first comment after a bare address, or else the address.
QString SenderName(const std::string& From) {
    // Each character with where it stands.
    struct Char {
        char c;
        bool quoted, angle, escaped;
        int depth; // comment nesting; the outer parentheses have 1
    };
    std::vector<Char> t;
    bool quoted = false, angle = false;
    int depth = 0;
    for (size_t i = 0; i < From.size(); ++i) {
        const char c = From[i];
        if (c == '\\' && (quoted || depth) && i + 1 < From.size()) {
            t.push_back({From[++i], quoted, angle, true, depth});
        } else if (!quoted && c == '(') {
            t.push_back({c, false, angle, false, ++depth});
        } else if (depth && c == ')') {
            t.push_back({c, false, angle, false, depth--});
        } else if (!depth && c == '"') {
            t.push_back({c, true, angle, false, 0}); // a quote belongs to its string
            quoted = !quoted;
        } else {
            angle = angle || (!quoted && !depth && c == '<');
            t.push_back({c, quoted, angle, false, depth});
            angle = angle && !(!quoted && !depth && c == '>');
        }
    }
    auto plain = [](const Char& k, char c) {
        return k.c == c && !k.quoted && !k.depth && !k.escaped;
    };
    // A group: a name and ":" before any address, its members after.
    size_t from = 0;
    for (size_t i = 0; i < t.size() && !plain(t[i], '<') && !plain(t[i], '@'); ++i)
        if (plain(t[i], ':')) {
            from = i + 1;
            break;
        }
    size_t to = from;
    while (to < t.size() && !plain(t[to], ',') && !(from > 0 && plain(t[to], ';')))
        ++to;
    std::string phrase, address, comment;
    bool hasAngle = false, addressDone = false, commentDone = false;
    for (size_t i = from; i < to; ++i) {
        const Char& k = t[i];
        const bool parenthesis = !k.escaped && k.depth == 1 && (k.c == '(' || k.c == ')');
        if (k.depth) {
            if (!parenthesis && !commentDone)
                comment += k.c;
            commentDone = commentDone || (parenthesis && k.c == ')');
        } else if (k.angle) {
            hasAngle = true;
            if (k.c != '<' && k.c != '>' && !addressDone)
                address += k.c;
            addressDone = addressDone || k.c == '>';
        } else if (!hasAngle && !(k.c == '"' && k.quoted && !k.escaped)) {
            phrase += k.c; // text after the address is no part of the name
        }
    }
    const auto decoded = [](const std::string& s) { return DecodeWords(TrimWsp(s)).trimmed(); };
    const QString name = decoded(hasAngle ? phrase : comment);
    return !name.isEmpty() ? name : decoded(hasAngle ? address : phrase);
}

// RFC 5322 3.3, with its obsolete forms: an optional weekday (not checked:
// it adds nothing), day, month name, two- to four-digit year, hh:mm[:ss],
// then a numeric zone or a zone name; comments anywhere. What follows the
// zone is not read.
struct RefDate {
    int day = 0, month = 0, year = 0;
    int64_t utc = 0;
    bool zoneRead = true; // false: utc taken as if the zone were +0000
};

std::optional<RefDate> ParseRefDate(std::string_view V) {
    std::vector<std::string> words; // letters, digit runs and single signs
    for (size_t i = 0; i < V.size();) {
        const char c = V[i];
        if (c == '(') {
            int depth = 0;
            for (; i < V.size(); ++i) {
                if (V[i] == '\\')
                    ++i;
                else if (V[i] == '(')
                    ++depth;
                else if (V[i] == ')' && --depth == 0)
                    break;
            }
            ++i;
        } else if (std::isalpha(static_cast<unsigned char>(c)) ||
                   std::isdigit(static_cast<unsigned char>(c))) {
            const bool digits = std::isdigit(static_cast<unsigned char>(c));
            size_t e = i;
            while (e < V.size() && (digits ? std::isdigit(static_cast<unsigned char>(V[e]))
                                           : std::isalpha(static_cast<unsigned char>(V[e]))))
                ++e;
            words.emplace_back(V.substr(i, e - i));
            i = e;
        } else if (IsWsp(c) || c == '\r' || c == '\n') {
            ++i;
        } else {
            words.emplace_back(1, c);
            ++i;
        }
    }
    size_t w = 0;
    auto isNumber = [&](size_t k, size_t minDigits, size_t maxDigits) {
        return k < words.size() && std::isdigit(static_cast<unsigned char>(words[k][0])) &&
               words[k].size() >= minDigits && words[k].size() <= maxDigits;
    };
    if (w < words.size() && std::isalpha(static_cast<unsigned char>(words[w][0]))) {
        ++w;
        if (w < words.size() && words[w] == ",")
            ++w;
    }
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    RefDate d;
    if (!isNumber(w, 1, 2) || w + 2 >= words.size())
        return std::nullopt;
    d.day = std::stoi(words[w++]);
    for (int m = 0; m < 12; ++m)
        if (Lower(words[w]) == kMonths[m])
            d.month = m + 1;
    ++w;
    if (d.month == 0 || !isNumber(w, 2, 4))
        return std::nullopt;
    const std::string& y = words[w++];
    d.year = std::stoi(y) + (y.size() == 3   ? 1900
                             : y.size() == 2 ? (std::stoi(y) < 50 ? 2000 : 1900)
                                             : 0);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (d.year % 4 == 0 && d.year % 100 != 0) || d.year % 400 == 0;
    if (d.day < 1 || d.day > kDays[d.month - 1] + (d.month == 2 && leap))
        return std::nullopt;
    int hour = 0, minute = 0, second = 0, zone = 0;
    if (!isNumber(w, 1, 2) || w + 2 >= words.size() || words[w + 1] != ":" ||
        !isNumber(w + 2, 1, 2))
        return std::nullopt;
    hour = std::stoi(words[w]);
    minute = std::stoi(words[w + 2]);
    w += 3;
    if (w < words.size() && words[w] == ":") {
        if (!isNumber(w + 1, 1, 2))
            return std::nullopt;
        second = std::stoi(words[w + 1]);
        w += 2;
    }
    if (hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    if (w + 1 < words.size() && (words[w] == "+" || words[w] == "-") && isNumber(w + 1, 4, 4)) {
        const int hhmm = std::stoi(words[w + 1]);
        zone = (hhmm / 100 * 60 + hhmm % 100) * (words[w] == "-" ? -1 : 1);
    } else if (w < words.size()) {
        // The names RFC 5322 4.3 lists; any other letter or name means +0000.
        static const std::pair<const char*, int> kZones[] = {
            {"edt", -240}, {"est", -300}, {"cdt", -300}, {"cst", -360},
            {"mdt", -360}, {"mst", -420}, {"pdt", -420}, {"pst", -480}};
        for (const auto& [name, minutes] : kZones)
            if (Lower(words[w]) == name)
                zone = minutes;
        d.zoneRead = std::isalpha(static_cast<unsigned char>(words[w][0]));
    }
    // Days since 1970 by counting: the corpus is small.
    int64_t days = 0;
    const auto yearDays = [](int yr) {
        return ((yr % 4 == 0 && yr % 100 != 0) || yr % 400 == 0) ? 366 : 365;
    };
    for (int yr = 1970; yr < d.year; ++yr)
        days += yearDays(yr);
    for (int yr = d.year; yr < 1970; ++yr)
        days -= yearDays(yr);
    for (int m = 1; m < d.month; ++m)
        days += kDays[m - 1] + (m == 2 && leap);
    days += d.day - 1;
    d.utc = days * 86400 + hour * 3600 + minute * 60 + second - zone * 60;
    return d;
}

QString DateCell(const RefDate& D) {
    static const char* const kNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return QStringLiteral("%1 %2 %3")
        .arg(D.day, 2, 10, QLatin1Char('0'))
        .arg(QLatin1String(kNames[D.month - 1]))
        .arg(D.year, 4, 10, QLatin1Char('0'));
}

// What a cell can show of a text: no controls (blanks instead), no bars,
// no blanks at either end; the list's cap on the length.
QString Visible(QString Text) {
    for (QChar& c : Text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0) || u == 0x2028 || u == 0x2029)
            c = QLatin1Char(' ');
        else if (u == '|')
            c = QLatin1Char('/');
    }
    return Text.left(kMaxCell).trimmed();
}

// A sequence that RFC 2047 decodes, left in a cell: a well-formed word in a
// charset Qt knows.
bool HoldsDecodableWord(const QString& Cell) {
    const std::string s = Cell.toStdString();
    for (size_t at = s.find("=?"); at != std::string::npos; at = s.find("=?", at + 2)) {
        const auto word = WordAt(s, at);
        if (word && QStringDecoder(word->charset.c_str()).isValid())
            return true;
    }
    return false;
}

// ---- the comparison ----

class ListCorpus : public sweepbox::test::CorpusTest {};

TEST_F(ListCorpus, RowsAgreeWithAPlainReadingOfEachHeader) {
    const std::vector<std::string> paths = sweepbox::test::CorpusFiles(dir);
    ASSERT_GE(paths.size(), 500u);
    if (!QStringDecoder("KOI8-R").isValid())
        GTEST_SKIP() << "Qt was built without the converters of other charsets (ICU)";

    size_t agree = 0;
    for (const std::string& path : paths) {
        const std::vector<std::string> lines = HeaderLines(ReadFile(dir / path));
        const std::string header = TopReply(lines);
        const TListRow row = MakeListRow(1, "100", header, false);
        const summary::TFields fields = summary::Fields(header, false);
        const QStringList columns = row.Text().split(QLatin1Char('|'));
        bool same = true;
        auto check = [&](const char* field, const QString& expected, const QString& actual) {
            if (expected == actual)
                return;
            same = false;
            ADD_FAILURE() << path << ": " << field << "\n  expected: " << expected.toStdString()
                          << "\n  actual:   " << actual.toStdString();
        };
        if (columns.size() != 6) {
            ADD_FAILURE() << path << ": the row has " << columns.size() - 1
                          << " bars: " << row.Text().toStdString();
            continue;
        }

        const std::optional<std::string> date = FieldBody(lines, "Date");
        const std::optional<RefDate> when = date ? ParseRefDate(*date) : std::nullopt;
        if (!date || date->empty()) {
            check("Date", QStringLiteral("No date"), columns[2]);
        } else if (when) {
            check("Date", DateCell(*when), columns[2]);
            const QString utc =
                fields.DateParsed ? QString::number(fields.When.Utc) : QStringLiteral("not parsed");
            check("Date (UTC)", when->zoneRead ? QString::number(when->utc) : utc, utc);
        } else {
            check("Date (parsed)", QStringLiteral("not parsed"),
                  fields.DateParsed ? QStringLiteral("parsed: ") + columns[2]
                                    : QStringLiteral("not parsed"));
        }

        const std::optional<std::string> from = FieldBody(lines, "From");
        const QString sender = from && !from->empty() ? SenderName(*from) : QString();
        check("From",
              Visible(sender.isEmpty() ? (from && !from->empty() ? ShownBytes(*from)
                                                                 : QStringLiteral("No sender"))
                                       : sender),
              row.Sender().trimmed());

        const std::optional<std::string> subject = FieldBody(lines, "Subject");
        check("Subject",
              !subject           ? QString()
              : subject->empty() ? QStringLiteral("No subject")
                                 : Visible(DecodeWords(*subject)),
              row.Subject().trimmed());

        check("columns", row.Sender() + QLatin1Char('|') + row.Subject(),
              columns[3] + QLatin1Char('|') + columns[4]);
        for (const QString& cell : {row.Sender(), row.Subject()})
            if (HoldsDecodableWord(cell)) {
                same = false;
                ADD_FAILURE() << path << ": an encoded word left undecoded: " << cell.toStdString();
            }
        agree += same;
    }
    std::cout << "List rows of the corpus: " << agree << " of " << paths.size()
              << " agree with the reference reading\n";
    RecordProperty("rows_agreeing", static_cast<int>(agree));
}

} // namespace
