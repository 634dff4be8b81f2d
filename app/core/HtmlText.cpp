#include "app/core/HtmlText.h"

#include "app/core/TextCodec.h"
#include "mail/message/KelMsg.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace {

// Deeper lists indent no further: a run of thousands of <ul> would otherwise
// make every item a line of blanks.
constexpr int kMaxIndentLevels = 8;
// A heading's underline stops here, however long the heading.
constexpr qsizetype kMaxUnderline = 72;

bool IsAsciiLetter(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

bool IsHtmlSpace(QChar c) {
    const char16_t u = c.unicode();
    return u == ' ' || u == '\t' || u == '\n' || u == '\r' || u == '\f';
}

char16_t Lower(char16_t u) {
    return (u >= 'A' && u <= 'Z') ? char16_t(u + 32) : u;
}

bool StartsWithNoCase(QStringView text, qsizetype at, std::u16string_view word) {
    if (at < 0 || text.size() - at < static_cast<qsizetype>(word.size()))
        return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (Lower(text[at + static_cast<qsizetype>(i)].unicode()) != word[i])
            return false;
    return true;
}

struct TEntity {
    std::u16string_view Name;
    char16_t Code;
};

// The named references mail writers use; the rest stay as written.
constexpr std::array<TEntity, 58> kEntities = {{
    {u"amp", u'&'},      {u"lt", u'<'},       {u"gt", u'>'},       {u"quot", u'"'},     {u"apos", u'\''},
    {u"nbsp", u' '},     {u"shy", 0x00AD},    {u"copy", 0x00A9},   {u"reg", 0x00AE},    {u"trade", 0x2122},
    {u"hellip", 0x2026}, {u"mdash", 0x2014},  {u"ndash", 0x2013},  {u"lsquo", 0x2018},  {u"rsquo", 0x2019},
    {u"sbquo", 0x201A},  {u"ldquo", 0x201C},  {u"rdquo", 0x201D},  {u"bdquo", 0x201E},  {u"laquo", 0x00AB},
    {u"raquo", 0x00BB},  {u"bull", 0x2022},   {u"middot", 0x00B7}, {u"euro", 0x20AC},   {u"pound", 0x00A3},
    {u"yen", 0x00A5},    {u"cent", 0x00A2},   {u"sect", 0x00A7},   {u"para", 0x00B6},   {u"deg", 0x00B0},
    {u"plusmn", 0x00B1}, {u"times", 0x00D7},  {u"divide", 0x00F7}, {u"micro", 0x00B5},  {u"auml", 0x00E4},
    {u"ouml", 0x00F6},   {u"uuml", 0x00FC},   {u"Auml", 0x00C4},   {u"Ouml", 0x00D6},   {u"Uuml", 0x00DC},
    {u"szlig", 0x00DF},  {u"eacute", 0x00E9}, {u"egrave", 0x00E8}, {u"ecirc", 0x00EA},  {u"aacute", 0x00E1},
    {u"agrave", 0x00E0}, {u"acirc", 0x00E2},  {u"oacute", 0x00F3}, {u"iacute", 0x00ED}, {u"uacute", 0x00FA},
    {u"ccedil", 0x00E7}, {u"ntilde", 0x00F1}, {u"Eacute", 0x00C9}, {u"iexcl", 0x00A1},  {u"iquest", 0x00BF},
    {u"zwnj", 0x200C},   {u"zwj", 0x200D},    {u"ensp", u' '},
}};

// The reference at Html[At] ('&'): appends its character(s) to Out and
// returns the position after it; a '&' that starts no known reference is
// itself.
qsizetype ReadEntity(QStringView Html, qsizetype At, QString& Out) {
    const qsizetype n = Html.size();
    qsizetype i = At + 1;
    if (i < n && Html[i] == u'#') {
        ++i;
        const bool hex = i < n && (Html[i] == u'x' || Html[i] == u'X');
        if (hex)
            ++i;
        const qsizetype digitsFrom = i;
        char32_t code = 0;
        bool tooBig = false;
        for (; i < n; ++i) {
            const char16_t u = Html[i].unicode();
            int d = -1;
            if (u >= '0' && u <= '9')
                d = u - '0';
            else if (hex && Lower(u) >= 'a' && Lower(u) <= 'f')
                d = Lower(u) - 'a' + 10;
            if (d < 0)
                break;
            if (code > 0x10FFFF)
                tooBig = true; // keeps reading the digits, the value no longer grows
            else
                code = code * (hex ? 16 : 10) + static_cast<char32_t>(d);
        }
        if (i == digitsFrom) {
            Out += u'&';
            return At + 1;
        }
        if (i < n && Html[i] == u';')
            ++i;
        if (tooBig || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            code = 0xFFFD;
        if (code >= 0x80 && code <= 0x9F) // as browsers do: the C1 range means Windows-1252
            Out += FromWindows1252(std::string(1, static_cast<char>(code)));
        else
            Out += QString::fromUcs4(&code, 1);
        return i;
    }
    qsizetype end = i;
    while (end < n && end - i < 10 && IsAsciiLetter(Html[end]))
        ++end;
    if (end < n && Html[end] == u';') {
        const QStringView name = Html.sliced(i, end - i);
        for (const TEntity& e : kEntities) {
            if (name == QStringView(e.Name.data(), static_cast<qsizetype>(e.Name.size()))) {
                Out += QChar(e.Code);
                return end + 1;
            }
        }
    }
    Out += u'&';
    return At + 1;
}

// How a tag changes the flow of the text around it.
enum class TBreak { None, Line, Paragraph };

struct TTagInfo {
    std::u16string_view Name;
    TBreak Break;
};

constexpr std::array<TTagInfo, 32> kBlocks = {{
    {u"p", TBreak::Paragraph},   {u"h1", TBreak::Paragraph},    {u"h2", TBreak::Paragraph},
    {u"h3", TBreak::Paragraph},  {u"h4", TBreak::Paragraph},    {u"h5", TBreak::Paragraph},
    {u"h6", TBreak::Paragraph},  {u"table", TBreak::Paragraph}, {u"blockquote", TBreak::Paragraph},
    {u"pre", TBreak::Paragraph}, {u"ul", TBreak::Paragraph},    {u"ol", TBreak::Paragraph},
    {u"dl", TBreak::Paragraph},  {u"hr", TBreak::Paragraph},    {u"div", TBreak::Line},
    {u"tr", TBreak::Line},       {u"li", TBreak::Line},         {u"dt", TBreak::Line},
    {u"dd", TBreak::Line},       {u"section", TBreak::Line},    {u"article", TBreak::Line},
    {u"header", TBreak::Line},   {u"footer", TBreak::Line},     {u"address", TBreak::Line},
    {u"form", TBreak::Line},     {u"center", TBreak::Line},     {u"caption", TBreak::Line},
    {u"thead", TBreak::Line},    {u"tbody", TBreak::Line},      {u"tfoot", TBreak::Line},
    {u"main", TBreak::Line},     {u"nav", TBreak::Line},
}};

TBreak BreakOf(QStringView name) {
    for (const TTagInfo& t : kBlocks)
        if (name == QStringView(t.Name.data(), static_cast<qsizetype>(t.Name.size())))
            return t.Break;
    return TBreak::None;
}

// Elements whose content is never text for the reader.
bool IsHiddenContent(QStringView name) {
    return name == QStringView(u"script") || name == QStringView(u"style") || name == QStringView(u"head") ||
           name == QStringView(u"title") || name == QStringView(u"template") || name == QStringView(u"noscript") ||
           name == QStringView(u"iframe") || name == QStringView(u"object") || name == QStringView(u"svg");
}

struct TTag {
    QString Name; // lower case
    bool Closing = false;
    QString Href, Alt;
};

// Reads the tag that starts at Html[At] ('<' followed by a letter or '/'),
// returns the position after its '>' (the end of the input when there is
// none). A quoted value without its closing quote ends at the next '>'.
qsizetype ReadTag(QStringView Html, qsizetype At, TTag& Tag, qsizetype (&NoQuoteFrom)[2]) {
    const qsizetype n = Html.size();
    qsizetype i = At + 1;
    if (i < n && Html[i] == u'/') {
        Tag.Closing = true;
        ++i;
    }
    const qsizetype nameFrom = i;
    while (i < n && !IsHtmlSpace(Html[i]) && Html[i] != u'>' && Html[i] != u'/')
        ++i;
    Tag.Name = Html.sliced(nameFrom, std::min<qsizetype>(i - nameFrom, 16)).toString().toLower();
    while (i < n && Html[i] != u'>') {
        if (IsHtmlSpace(Html[i]) || Html[i] == u'/') {
            ++i;
            continue;
        }
        const qsizetype attrFrom = i;
        while (i < n && !IsHtmlSpace(Html[i]) && Html[i] != u'>' && Html[i] != u'=' && Html[i] != u'/')
            ++i;
        const QStringView attr = Html.sliced(attrFrom, i - attrFrom);
        while (i < n && IsHtmlSpace(Html[i]))
            ++i;
        if (i >= n || Html[i] != u'=')
            continue;
        ++i;
        while (i < n && IsHtmlSpace(Html[i]))
            ++i;
        qsizetype valueFrom = i, valueEnd = i;
        if (i < n && (Html[i] == u'"' || Html[i] == u'\'')) {
            // Quoted values may hold ">". One without its closing quote runs
            // to the end of its tag instead; NoQuoteFrom remembers where a
            // quote was last missing, so no search runs over the rest twice.
            const int kind = Html[i] == u'"' ? 0 : 1;
            const QChar quote = Html[i];
            valueFrom = ++i;
            const qsizetype close = i >= NoQuoteFrom[kind] ? -1 : Html.indexOf(quote, i);
            if (close < 0) {
                NoQuoteFrom[kind] = std::min(NoQuoteFrom[kind], i);
                const qsizetype gt = Html.indexOf(u'>', i);
                valueEnd = gt < 0 ? n : gt;
                i = valueEnd;
            } else {
                valueEnd = close;
                i = close + 1;
            }
        } else {
            while (i < n && !IsHtmlSpace(Html[i]) && Html[i] != u'>')
                ++i;
            valueEnd = i;
        }
        const bool href = attr.compare(QStringView(u"href"), Qt::CaseInsensitive) == 0;
        const bool alt = attr.compare(QStringView(u"alt"), Qt::CaseInsensitive) == 0;
        if (href || alt) {
            QString value;
            const QStringView raw = Html.sliced(valueFrom, valueEnd - valueFrom);
            for (qsizetype k = 0; k < raw.size();) {
                if (raw[k] == u'&') {
                    k = ReadEntity(raw, k, value);
                } else {
                    value += IsHtmlSpace(raw[k]) ? QChar(u' ') : raw[k];
                    ++k;
                }
            }
            (href ? Tag.Href : Tag.Alt) = value.simplified();
        }
    }
    return i < n ? i + 1 : n;
}

// The text being written: blanks collapse, breaks merge, each line starts
// with the indent of the list it is in.
class TWriter {
  public:
    explicit TWriter(qsizetype Reserve) { Out.reserve(Reserve); }

    void Text(QChar c) {
        if (Pre ? c == u'\r' : IsHtmlSpace(c)) {
            Space = !Pre;
            return;
        }
        if (c == u'\n') { // only inside <pre>
            LineBreak();
            return;
        }
        Flush();
        Out += c == u'\t' && !Pre ? QChar(u' ') : c;
    }
    void Text(const QString& s) {
        for (const QChar c : s)
            Text(c);
    }
    void LineBreak() {
        FlushBreaks();
        Space = Separator = false;
        Out += u'\n';
    }
    void Break(TBreak b) {
        if (b == TBreak::None)
            return;
        Space = Separator = false;
        Breaks = std::max(Breaks, b == TBreak::Paragraph ? 2 : 1);
    }
    // A cell after the first of its row.
    void Cell() {
        Space = false;
        Separator = Breaks == 0 && !Out.isEmpty() && !Out.endsWith(u'\n');
    }
    void Underline(QChar c) {
        const qsizetype length = std::min(LineLength() - Indent(), kMaxUnderline);
        if (length <= 0 || Breaks > 0)
            return;
        Out += u'\n';
        Out += QString(length, c);
        Break(TBreak::Paragraph);
    }
    void Rule() {
        Break(TBreak::Line);
        Flush();
        Out += QString(40, QChar(0x2500));
        Break(TBreak::Line);
    }
    void Item(const QString& marker) {
        Break(TBreak::Line);
        Flush();
        Out += marker;
    }
    qsizetype Size() const { return Out.size(); }
    QStringView Since(qsizetype from) const { return QStringView(Out).sliced(std::min(from, Out.size())); }
    void Finish() {
        while (Out.endsWith(u'\n') || Out.endsWith(u' '))
            Out.chop(1);
    }
    const QString& Result() const { return Out; }

    int Depth = 0;    // list nesting
    bool Pre = false; // inside <pre>: blanks and line ends as written

  private:
    qsizetype Indent() const { return 2 * std::min(Depth, kMaxIndentLevels); }
    qsizetype LineLength() const { return Out.size() - (Out.lastIndexOf(u'\n') + 1); }
    // The pending breaks, as far as the text does not end with them already;
    // none before the first line.
    void FlushBreaks() {
        if (!Out.isEmpty()) {
            int have = 0;
            for (qsizetype k = Out.size() - 1; k >= 0 && Out[k] == u'\n' && have < Breaks; --k)
                ++have;
            for (int k = have; k < Breaks; ++k)
                Out += u'\n';
        }
        Breaks = 0;
    }
    // Whatever must stand before the next character: breaks and indent, a
    // cell separator or one blank.
    void Flush() {
        FlushBreaks();
        if (Out.isEmpty() || Out.endsWith(u'\n'))
            Out += QString(Indent(), u' ');
        else if (Separator)
            Out += QStringLiteral(" | ");
        else if (Space)
            Out += u' ';
        Separator = Space = false;
    }

    QString Out;
    int Breaks = 0;
    bool Space = false;
    bool Separator = false;
};

} // namespace

struct THtmlText::TState {
    explicit TState(QString Source)
        : Html(std::move(Source)), w(Html.size() / 2 + 16), noQuoteFrom{Html.size(), Html.size()} {}

    // Converts whole tokens until Budget characters of the input are read.
    void Step(qsizetype Budget);
    // Records the lines that are complete: those that nothing written
    // later can change (the trailing blanks and breaks are cut at the end).
    void Publish();

    const QString Html;
    TWriter w;
    // Ordered lists count their items; deeper ones than this are bulleted.
    std::vector<int> numbers;
    QString href;
    qsizetype linkTextFrom = 0;
    qsizetype noQuoteFrom[2];
    qsizetype at = 0;
    bool done = false;
    std::vector<qsizetype> starts{0}; // where each line of the result begins
    qsizetype scanned = 0;            // the result is searched for line ends up to here
};

void THtmlText::TState::Step(qsizetype Budget) {
    const QStringView Html(this->Html);
    const qsizetype n = Html.size();
    constexpr size_t kMaxNumbered = 64;
    qsizetype& i = at;
    const qsizetype stop = Budget >= n - i ? n : i + Budget;
    while (i < stop) {
        const QChar c = Html[i];
        if (c == u'&') {
            QString ch;
            i = ReadEntity(Html, i, ch);
            w.Text(ch);
            continue;
        }
        if (c != u'<') {
            w.Text(c);
            ++i;
            continue;
        }
        if (StartsWithNoCase(Html, i, u"<!--")) {
            const qsizetype end = Html.indexOf(u"-->", i + 4);
            i = end < 0 ? n : end + 3;
            continue;
        }
        const QChar next = i + 1 < n ? Html[i + 1] : QChar();
        if (next == u'!' || next == u'?') {
            const qsizetype end = Html.indexOf(u'>', i);
            i = end < 0 ? n : end + 1;
            continue;
        }
        if (!IsAsciiLetter(next) && !(next == u'/' && i + 2 < n && IsAsciiLetter(Html[i + 2]))) {
            w.Text(c); // a "<" that opens no tag, as in "a < b"
            ++i;
            continue;
        }
        TTag tag;
        i = ReadTag(Html, i, tag, noQuoteFrom);
        const QString& name = tag.Name;

        if (!tag.Closing && IsHiddenContent(name)) {
            // Skipped up to its end tag; without one, to the end. A single
            // search forward: the skipped text is never read again.
            const std::u16string close = u"</" + name.toStdU16String();
            qsizetype at = i;
            while (true) {
                at = Html.indexOf(u"</", at);
                if (at < 0 || StartsWithNoCase(Html, at, close))
                    break;
                at += 2;
            }
            if (at < 0) {
                i = n;
            } else {
                const qsizetype gt = Html.indexOf(u'>', at);
                i = gt < 0 ? n : gt + 1;
            }
            continue;
        }

        if (name == QStringView(u"br")) {
            w.LineBreak();
        } else if (name == QStringView(u"img")) {
            if (!tag.Closing && !tag.Alt.isEmpty())
                w.Text(tag.Alt);
        } else if (name == QStringView(u"td") || name == QStringView(u"th")) {
            if (!tag.Closing)
                w.Cell();
        } else if (name == QStringView(u"a")) {
            if (!tag.Closing) {
                href = MaskHiddenControls(tag.Href);
                linkTextFrom = w.Size();
            } else if (!href.isEmpty()) {
                // The target follows its text unless the text says it already.
                if (href.startsWith(u"mailto:", Qt::CaseInsensitive))
                    href = href.mid(7);
                if (w.Since(linkTextFrom).trimmed() != href)
                    w.Text(QStringLiteral(" <") + href + u'>');
                href.clear();
            }
        } else if (name == QStringView(u"li")) {
            if (!tag.Closing) {
                QString marker;
                if (!numbers.empty() && numbers.back() >= 0)
                    marker = QString::number(++numbers.back()) + QStringLiteral(". ");
                else
                    marker = QString(QChar(0x2022)) + u' ';
                w.Item(marker);
            } else {
                w.Break(TBreak::Line);
            }
        } else if (name == QStringView(u"hr")) {
            w.Rule();
        } else {
            const TBreak brk = BreakOf(name);
            const bool list = name == QStringView(u"ul") || name == QStringView(u"ol");
            if (list && !tag.Closing) {
                w.Break(w.Depth == 0 ? TBreak::Paragraph : TBreak::Line);
                ++w.Depth;
                if (numbers.size() < kMaxNumbered)
                    numbers.push_back(name == QStringView(u"ol") ? 0 : -1);
                continue;
            }
            if (list && tag.Closing) {
                if (w.Depth > 0)
                    --w.Depth;
                if (!numbers.empty() && numbers.size() > static_cast<size_t>(w.Depth))
                    numbers.pop_back();
                w.Break(w.Depth == 0 ? TBreak::Paragraph : TBreak::Line);
                continue;
            }
            if (tag.Closing && name.size() == 2 && name[0] == u'h' && (name[1] == u'1' || name[1] == u'2'))
                w.Underline(name[1] == u'1' ? QChar(u'=') : QChar(u'-'));
            if (name == QStringView(u"pre"))
                w.Pre = !tag.Closing;
            w.Break(brk);
        }
    }
    if (i >= n) {
        w.Finish();
        done = true;
    }
    Publish();
}

void THtmlText::TState::Publish() {
    const QString& out = w.Result();
    qsizetype limit = out.size();
    if (!done)
        while (limit > scanned && (out[limit - 1] == u'\n' || out[limit - 1] == u' '))
            --limit;
    for (qsizetype k = scanned; k < limit; ++k)
        if (out[k] == u'\n')
            starts.push_back(k + 1);
    scanned = std::max(scanned, limit);
}

THtmlText::THtmlText(QString Html) : S(std::make_unique<TState>(std::move(Html))) {}

THtmlText::~THtmlText() = default;

bool THtmlText::Convert(qsizetype Budget) {
    if (!S->done)
        S->Step(std::max<qsizetype>(Budget, 1));
    return S->done;
}

bool THtmlText::Done() const { return S->done; }

qsizetype THtmlText::LineCount() const {
    return static_cast<qsizetype>(S->starts.size()) - (S->done ? 0 : 1);
}

QStringView THtmlText::Line(qsizetype Index) const {
    if (Index < 0 || Index >= LineCount())
        return {};
    const QString& out = S->w.Result();
    const auto k = static_cast<size_t>(Index);
    const qsizetype from = S->starts[k];
    const qsizetype to = k + 1 < S->starts.size() ? S->starts[k + 1] - 1 : out.size();
    return QStringView(out).sliced(from, to - from);
}

const QString& THtmlText::Text() const { return S->w.Result(); }

QString HtmlToText(QStringView Html) {
    THtmlText text(Html.toString());
    text.Convert(Html.size());
    return text.Text();
}

bool IsHtmlOnly(const kel::TKelMsg& Msg) {
    if (Msg.ContentType.starts_with("TEXT/HTML"))
        return true;
    if (!Msg.ContentType.starts_with("MULTIPART/"))
        return false;
    for (const std::string_view line : Msg.Text) {
        const size_t from = line.find_first_not_of(" \t");
        if (from == std::string_view::npos)
            continue;
        const QString start =
            QString::fromLatin1(line.data() + from, static_cast<qsizetype>(std::min<size_t>(line.size() - from, 16)));
        return start.startsWith(u"<!doctype html", Qt::CaseInsensitive) ||
               start.startsWith(u"<html", Qt::CaseInsensitive) || start.startsWith(u"<head", Qt::CaseInsensitive) ||
               start.startsWith(u"<body", Qt::CaseInsensitive) || start.startsWith(u"<meta", Qt::CaseInsensitive);
    }
    return false;
}
