#include "app/core/MessageText.h"

#include "app/core/HtmlText.h"
#include "app/core/TextCodec.h"
#include "mail/message/KelMsg.h"

#include <algorithm>

namespace {

// Input characters converted per step while only the first lines are wanted:
// a long message is not converted to its end for a few lines.
constexpr qsizetype kHtmlStep = 16 * 1024;

} // namespace

QString ShowNul(QString Text) { return Text.replace(QChar(0), QChar(0x2400)); }

QString DecodeMarkup(const std::string& Bytes, const std::string& Charset) {
    TCharsetDecoder decoder(Charset);
    QString html;
    if (decoder.TryDecode(Bytes, html))
        return html;
    html.clear();
    for (std::size_t from = 0; from < Bytes.size();) {
        const std::size_t end = Bytes.find('\n', from);
        const std::size_t stop = end == std::string::npos ? Bytes.size() : end;
        html += decoder.Decode(Bytes.substr(from, stop - from));
        html += QLatin1Char('\n');
        from = stop + 1;
    }
    return html;
}

QStringList ReadableLines(const kel::TKelMsg& Msg, qsizetype MaxLines) {
    const auto wanted = [MaxLines](qsizetype Count) { return MaxLines < 0 || Count < MaxLines; };
    QStringList lines;
    if (!IsHtmlOnly(Msg)) {
        TCharsetDecoder decoder(Msg.TextCharSet);
        for (std::size_t i = 0; i < Msg.Text.size() && wanted(lines.size()); ++i)
            lines << ShowNul(decoder.Decode(std::string(Msg.Text[i])));
        return lines;
    }
    std::string bytes;
    bytes.reserve(Msg.Text.Bytes() + Msg.Text.size());
    for (const std::string_view line : Msg.Text) {
        bytes += line;
        bytes += '\n';
    }
    QString html = DecodeMarkup(bytes, Msg.TextCharSet);
    std::string().swap(bytes);
    const qsizetype all = html.size();
    THtmlText text(std::move(html));
    bool done = false;
    while (!done && wanted(text.LineCount()))
        done = text.Convert(MaxLines < 0 ? all : kHtmlStep);
    const qsizetype count = MaxLines < 0 ? text.LineCount() : std::min(text.LineCount(), MaxLines);
    for (qsizetype k = 0; k < count; ++k)
        lines << text.Line(k).toString();
    return lines;
}
