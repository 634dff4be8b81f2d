#include "TextCodec.h"

#include <QStringDecoder>

#include <algorithm>
#include <array>

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

std::vector<std::string> SplitTextLines(const std::string& text) {
    std::vector<std::string> lines;
    const std::size_t end = std::min(text.find('\0'), text.size());
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < end) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.emplace_back(text, start, i - start);
            if (c == '\r' && i + 1 < end && text[i + 1] == '\n')
                ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < end)
        lines.emplace_back(text, start, end - start);
    return lines;
}

QString DisplayLines(const std::vector<std::string>& lines) {
    QString out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0)
            out += QLatin1Char('\n');
        out += DisplayText(lines[i]);
    }
    return out;
}
