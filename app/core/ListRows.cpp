#include "app/core/ListRows.h"

#include "app/core/Summary.h"
#include "app/core/TextCodec.h"

#include <algorithm>
#include <cctype>

namespace {

// The first mailbox of an address list: up to a comma outside quotes,
// angle brackets and comments; a group ("Team: a, b;") gives its first member.
std::string FirstMailbox(const std::string& From) {
    bool quoted = false;
    bool mailboxBegun = false; // past "<", "," or "@": a ":" no longer ends a group name
    int angle = 0, comment = 0;
    for (size_t i = 0; i < From.size(); ++i) {
        const char c = From[i];
        if (c == '\\' && (quoted || comment)) {
            ++i;
        } else if (c == '"' && !comment) {
            quoted = !quoted;
        } else if (!quoted) {
            if (c == '(') {
                ++comment;
            } else if (c == ')' && comment > 0) {
                --comment;
            } else if (comment) {
                continue;
            } else if (c == ':' && !mailboxBegun) {
                const std::string members = From.substr(i + 1);
                return members.find_first_not_of(" \t;") == std::string::npos ? From.substr(0, i)
                                                                              : FirstMailbox(members);
            } else if (c == '<') {
                ++angle;
            } else if (c == '>' && angle > 0) {
                --angle;
            } else if ((c == ',' || c == ';') && !angle) {
                return From.substr(0, i);
            }
            mailboxBegun = mailboxBegun || c == '<' || c == ',' || c == '@';
        }
    }
    return From;
}

// A phrase without its quotes and quoting backslashes.
std::string Unquote(const std::string& Phrase) {
    std::string out;
    for (size_t i = 0; i < Phrase.size(); ++i) {
        const char c = Phrase[i];
        if (c == '\\' && i + 1 < Phrase.size())
            out += Phrase[++i];
        else if (c != '"')
            out += c;
    }
    return out;
}

std::string Trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// Position of c outside quotes and (unless c opens one) comments, or npos.
size_t FindUnquoted(const std::string& s, char c, size_t from = 0) {
    bool quoted = false;
    int comment = 0;
    for (size_t i = from; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == '"' && !comment) {
            quoted = !quoted;
        } else if (!quoted && s[i] == c && !comment) {
            return i;
        } else if (!quoted && s[i] == '(') {
            ++comment;
        } else if (!quoted && s[i] == ')' && comment > 0) {
            --comment;
        }
    }
    return std::string::npos;
}

} // namespace

QString CellText(QString Text) {
    if (Text.size() > kMaxCell)
        Text.truncate(Text[kMaxCell - 1].isHighSurrogate() ? kMaxCell - 1 : kMaxCell);
    // Hidden controls as blanks: one would let a sender reorder how a cell
    // reads, a line end would break the row.
    Text = MaskHiddenControls(std::move(Text), QChar(u' '));
    Text.replace(QLatin1Char('|'), QLatin1Char('/'));
    return Text;
}

QString SenderCell(const std::string& From, const std::string& Charset) {
    const std::string mailbox = Trimmed(FirstMailbox(From));
    const size_t open = FindUnquoted(mailbox, '<');
    if (open != std::string::npos) {
        const std::string name = Trimmed(Unquote(mailbox.substr(0, open)));
        if (!name.empty())
            return DecodeHeaderText(name, Charset).trimmed();
        const size_t close = mailbox.find('>', open);
        return DecodeHeaderText(
            Trimmed(mailbox.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1)),
            Charset);
    }
    // "address (Name)": the comment is the name.
    const size_t paren = FindUnquoted(mailbox, '(');
    if (paren != std::string::npos) {
        const size_t close = mailbox.rfind(')');
        const std::string name =
            Trimmed(mailbox.substr(paren + 1, close != std::string::npos && close > paren ? close - paren - 1
                                                                                          : std::string::npos));
        if (!name.empty())
            return DecodeHeaderText(name, Charset).trimmed();
        return DecodeHeaderText(Trimmed(mailbox.substr(0, paren)), Charset);
    }
    return DecodeHeaderText(mailbox, Charset);
}

void SetListSize(TListRow& Row, const std::string& SizeText) {
    Row.Size = 0;
    size_t digits = 0;
    while (digits < SizeText.size() && SizeText[digits] >= '0' && SizeText[digits] <= '9' && digits < 19)
        Row.Size = Row.Size * 10 + static_cast<uint64_t>(SizeText[digits++] - '0');
    // Decimal only, as the size column shows it: "0x10" or "12k" is no size.
    Row.HasSize = digits > 0 && !(digits < SizeText.size() && std::isalpha(static_cast<unsigned char>(SizeText[digits])));
    if (!Row.HasSize)
        Row.Size = 0;
    Row.SizeText = SizeText;
}

TListRow MakeListRow(int Number, const std::string& SizeText, std::string_view Header, bool German) {
    summary::TFields f = summary::Fields(Header, German);
    TListRow row;
    row.Number = Number;
    SetListSize(row, SizeText);
    row.DateParsed = f.DateParsed;
    row.Date = f.When.Utc;
    row.SenderGiven = f.SenderGiven;
    row.DateBytes = std::move(f.Date);
    row.SenderBytes = std::move(f.Sender);
    row.SubjectBytes = std::move(f.Subject);
    // ASCII reads the same in every charset the header could declare.
    const auto ascii = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    };
    if (!ascii(row.DateBytes) || !ascii(row.SenderBytes) || !ascii(row.SubjectBytes))
        row.Charset = HeaderCharset(std::string(Header));
    // Rows stay for the whole session: no spare room in them.
    row.SenderBytes.shrink_to_fit();
    row.SubjectBytes.shrink_to_fit();
    return row;
}

QString TListRow::Text() const {
    return DisplayText(summary::Row(Number, SizeText, "")) + CellText(DisplayText(DateBytes, Charset)) +
           QLatin1Char('|') + Sender() + QLatin1Char('|') + Subject() + QLatin1Char('|');
}

QString TListRow::Sender() const {
    QString sender = CellText(SenderGiven ? SenderCell(SenderBytes, Charset) : DisplayText(SenderBytes, Charset));
    if (sender.trimmed().isEmpty())
        sender = CellText(DisplayText(SenderGiven ? SenderBytes : std::string(), Charset));
    return sender;
}

QString TListRow::Subject() const { return CellText(DecodeHeaderText(SubjectBytes, Charset)); }

void SortRows(std::vector<TListRow>& Rows, TSortColumn Column, bool Descending) {
    if (Column == TSortColumn::Sender || Column == TSortColumn::Subject) {
        // The cells are cut out of each row once, not at every comparison.
        std::vector<std::pair<QString, size_t>> keys;
        keys.reserve(Rows.size());
        for (size_t i = 0; i < Rows.size(); ++i)
            keys.emplace_back(Column == TSortColumn::Sender ? Rows[i].Sender() : Rows[i].Subject(), i);
        std::sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
            const int c = a.first.compare(b.first, Qt::CaseInsensitive);
            if (c != 0)
                return Descending ? c > 0 : c < 0;
            return Rows[a.second].Number < Rows[b.second].Number;
        });
        std::vector<TListRow> sorted;
        sorted.reserve(Rows.size());
        for (const auto& key : keys)
            sorted.push_back(std::move(Rows[key.second]));
        Rows.swap(sorted);
        return;
    }
    // Unknown sizes and dates go last whatever the direction; the number
    // breaks ties, so equal keys keep the server's order.
    auto compare = [Column, Descending](const TListRow& a, const TListRow& b) {
        auto ordered = [&](auto x, auto y) {
            if (x != y)
                return Descending ? y < x : x < y;
            return a.Number < b.Number;
        };
        switch (Column) {
        case TSortColumn::Number:
            return Descending ? b.Number < a.Number : a.Number < b.Number;
        case TSortColumn::Size:
            if (a.HasSize != b.HasSize)
                return a.HasSize;
            return ordered(a.Size, b.Size);
        case TSortColumn::Date:
            if (a.DateParsed != b.DateParsed)
                return a.DateParsed;
            return ordered(a.Date, b.Date);
        case TSortColumn::Sender:
        case TSortColumn::Subject:
            break;
        }
        return a.Number < b.Number;
    };
    std::sort(Rows.begin(), Rows.end(), compare);
}
