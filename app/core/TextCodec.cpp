#include "app/core/TextCodec.h"

#include "mail/core/KelLines.h"
#include "mail/core/KelText.h"

#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <iconv.h>

namespace {

// 0x80..0x9F of Windows-1252. The five unassigned bytes keep their C1 code
// point, as the system's own conversion does, so no byte is lost on display.
constexpr std::array<char16_t, 32> kHigh1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 98..9F
};

} // namespace

QString FromWindows1252(const std::string& bytes) {
    QString out;
    out.resize(static_cast<qsizetype>(bytes.size()));
    QChar* dst = out.data();
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        *dst++ = QChar(b >= 0x80 && b <= 0x9F ? kHigh1252[b - 0x80] : char16_t(b));
    }
    return out;
}

QString DisplayText(const std::string& bytes) {
    // Stateless: each call judges its own bytes; a broken sequence makes the
    // whole text fall back, never a replacement character in the display.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError())
        return text;
    return FromWindows1252(bytes);
}

QString DisplayText(const std::string& bytes, const std::string& Charset) {
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError())
        return text;
    if (!Charset.empty() && TCharsetDecoder(Charset).TryDecode(bytes, text))
        return text;
    return FromWindows1252(bytes);
}

std::string HeaderCharset(const std::string& header) {
    // The field with its continuation lines, in lower case for the search.
    std::string field;
    bool inField = false;
    for (const std::string& line : kel::SplitLines(header)) {
        const bool continued = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (inField && !continued)
            break;
        if (inField || kel::LowerCase(line.substr(0, 13)) == "content-type:") {
            inField = true;
            field += kel::LowerCase(line);
        }
    }
    for (size_t at = field.find("charset"); at != std::string::npos; at = field.find("charset", at + 1)) {
        if (at > 0 && field[at - 1] != ';' && field[at - 1] != ' ' && field[at - 1] != '\t')
            continue;
        size_t p = field.find_first_not_of(" \t", at + 7);
        if (p == std::string::npos || field[p] != '=')
            continue;
        p = field.find_first_not_of(" \t\"", p + 1);
        if (p == std::string::npos)
            return std::string();
        const size_t end = field.find_first_of(" \t\";", p);
        return field.substr(p, end == std::string::npos ? std::string::npos : end - p);
    }
    return std::string();
}

bool IsHiddenControl(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || c == 0x2028 ||
           c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

QString MaskHiddenControls(QString text, QChar As) {
    for (QChar& c : text)
        if (IsHiddenControl(c.unicode()))
            c = As;
    return text;
}

std::vector<std::string> SplitTextLines(const std::string& text) { return kel::SplitLines(text); }

QString DisplayLines(const std::vector<std::string>& lines) {
    QString out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0)
            out += QLatin1Char('\n');
        out += DisplayText(lines[i]);
    }
    return out;
}

namespace {

// A charset name as mail carries it: quotes and an RFC 2231 language gone,
// anything that cannot be a charset name refused (empty).
std::string CleanCharset(const std::string& name) {
    std::string c = name;
    c.erase(std::remove(c.begin(), c.end(), '"'), c.end());
    c = c.substr(0, c.find('*'));
    if (c.empty() || c.size() > 40)
        return std::string();
    for (const char ch : c)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-' ||
              ch == '_' || ch == '.' || ch == ':'))
            return std::string();
    return c;
}

bool DecodeQ(std::string_view text, std::string& out) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=') {
            const int hi = i + 1 < text.size() ? kel::HexDigitValue(text[i + 1]) : -1;
            const int lo = i + 2 < text.size() ? kel::HexDigitValue(text[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

bool DecodeB(std::string_view text, std::string& out) {
    static const std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned buffer = 0;
    int bits = 0;
    size_t pad = 0;
    for (const char c : text) {
        if (c == '=') {
            ++pad;
            continue;
        }
        const size_t v = kAlphabet.find(c);
        if (v == std::string_view::npos || pad > 0)
            return false;
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return pad <= 2;
}

// One encoded word at text[at]: its charset and decoded bytes, and where it ends.
bool EncodedWord(const std::string& text, size_t at, std::string& charset, std::string& bytes, size_t& end) {
    if (text.compare(at, 2, "=?") != 0)
        return false;
    const size_t q1 = text.find('?', at + 2);
    if (q1 == std::string::npos || q1 + 2 >= text.size() || text[q1 + 2] != '?')
        return false;
    const char encoding = text[q1 + 1];
    const size_t close = text.find("?=", q1 + 3);
    if (close == std::string::npos)
        return false;
    const std::string_view encoded(text.data() + q1 + 3, close - (q1 + 3));
    // An encoded word holds no blanks; one that seems to is something else.
    if (encoded.find_first_of(" \t\r\n") != std::string_view::npos)
        return false;
    charset = CleanCharset(text.substr(at + 2, q1 - (at + 2)));
    if (charset.empty())
        return false;
    bytes.clear();
    const bool ok = (encoding == 'Q' || encoding == 'q')   ? DecodeQ(encoded, bytes)
                    : (encoding == 'B' || encoding == 'b') ? DecodeB(encoded, bytes)
                                                           : false;
    end = close + 2;
    return ok;
}

} // namespace

TCharsetDecoder::TCharsetDecoder(const std::string& charset) {
    std::string name = kel::LowerCase(CleanCharset(charset));
    static const char* const kUtf8Rule[] = {"", "utf-8", "utf8", "us-ascii", "ascii", "us", "ansi_x3.4-1968",
                                            "unknown-8bit", "x-unknown", "unknown"};
    static const char* const kWindows1252[] = {"iso-8859-1", "iso8859-1", "iso_8859-1", "iso_8859-1:1987",
                                               "latin1", "latin-1", "l1", "cp819", "ibm819", "windows-1252",
                                               "cp1252", "x-cp1252"};
    // Labels mail writers use for a subset while they write its superset.
    static const struct {
        const char* label;
        const char* superset;
    } kSupersets[] = {{"gb2312", "GB18030"},      {"gb_2312-80", "GB18030"}, {"euc-cn", "GB18030"},
                      {"x-gbk", "GB18030"},       {"gbk", "GB18030"},        {"cn-gb", "GB18030"},
                      {"euc-kr", "CP949"},        {"ks_c_5601-1987", "CP949"}, {"ks_c_5601", "CP949"},
                      {"korean", "CP949"},        {"shift_jis", "CP932"},    {"shift-jis", "CP932"},
                      {"x-sjis", "CP932"},        {"sjis", "CP932"},         {"ms_kanji", "CP932"},
                      {"iso-8859-8-i", "ISO-8859-8"}, {"tis-620", "CP874"},  {"windows-874", "CP874"}};
    for (const char* label : kUtf8Rule)
        if (name == label)
            return;
    for (const char* label : kWindows1252) {
        if (name == label) {
            windows1252_ = true;
            return;
        }
    }
    for (const auto& s : kSupersets)
        if (name == s.label)
            name = s.superset;
    iconv_t cd = ::iconv_open("UTF-8", name.c_str());
    if (cd != reinterpret_cast<iconv_t>(-1))
        iconv_ = cd;
}

TCharsetDecoder::~TCharsetDecoder() {
    if (iconv_)
        ::iconv_close(static_cast<iconv_t>(iconv_));
}

QString TCharsetDecoder::Decode(const std::string& bytes) {
    QString text;
    return TryDecode(bytes, text) ? text : DisplayText(bytes);
}

bool TCharsetDecoder::TryDecode(const std::string& bytes, QString& text) {
    if (windows1252_) {
        text = FromWindows1252(bytes);
        return true;
    }
    if (!iconv_) {
        QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
        return !utf8.hasError();
    }
    const auto cd = static_cast<iconv_t>(iconv_);
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr); // each text starts in the initial state
    std::string utf8(bytes.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* out = utf8.data();
    size_t outLeft = utf8.size();
    while (inLeft > 0) {
        if (::iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1))
            continue;
        if (errno != E2BIG)
            return false; // the bytes are not in this charset
        const size_t used = static_cast<size_t>(out - utf8.data());
        utf8.resize(utf8.size() * 2);
        out = utf8.data() + used;
        outLeft = utf8.size() - used;
    }
    if (::iconv(cd, nullptr, nullptr, &out, &outLeft) == static_cast<size_t>(-1))
        return false;
    text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(out - utf8.data()));
    return true;
}

QString DecodeCharset(const std::string& bytes, const std::string& charset) {
    return TCharsetDecoder(charset).Decode(bytes);
}

QString DisplayLines(const std::vector<std::string>& lines, const std::string& charset) {
    TCharsetDecoder decoder(charset);
    QString out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0)
            out += QLatin1Char('\n');
        out += decoder.Decode(lines[i]);
    }
    return out;
}

QString DecodeHeaderText(const std::string& value, const std::string& Charset) {
    QString out;
    std::string plain;       // raw text waiting for DisplayText
    std::string pending;     // decoded bytes of adjacent words in one charset
    std::vector<std::string> words; // the same bytes word by word
    std::string pendingSet;
    auto flushWords = [&] {
        if (!pending.empty()) {
            // Together, so that a character split over two words survives;
            // if the run does not convert, word by word, so that one broken
            // word does not spoil its neighbours.
            TCharsetDecoder decoder(pendingSet);
            QString text;
            if (decoder.TryDecode(pending, text)) {
                out += text;
            } else {
                for (const std::string& word : words)
                    out += decoder.Decode(word);
            }
        }
        pending.clear();
        words.clear();
    };
    size_t i = 0;
    while (i < value.size()) {
        std::string charset, bytes;
        size_t end = 0;
        if (EncodedWord(value, i, charset, bytes, end)) {
            // Blanks between two encoded words belong to neither.
            const bool onlyBlanks = plain.find_first_not_of(" \t\r\n") == std::string::npos;
            if (!(onlyBlanks && (!pending.empty() || !pendingSet.empty()))) {
                flushWords();
                out += DisplayText(plain, Charset);
            } else if (kel::LowerCase(charset) != kel::LowerCase(pendingSet)) {
                flushWords();
            }
            plain.clear();
            pendingSet = charset;
            pending += bytes;
            words.push_back(bytes);
            i = end;
            continue;
        }
        // Plain text ends a run of words unless it is only blanks before the next.
        if (!pending.empty() && value[i] != ' ' && value[i] != '\t' && value[i] != '\r' && value[i] != '\n') {
            flushWords();
            out += DisplayText(plain, Charset);
            plain.clear();
            pendingSet.clear();
        }
        plain += value[i++];
    }
    flushWords();
    out += DisplayText(plain, Charset);
    return out;
}
