#include "KelMsg.h"

#include "KelMIME.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <utility>

namespace kel {

namespace {

const char* const kOops = "Oops...";

constexpr uint64_t kOnes = 0x0101010101010101ULL;

// Nonzero when one of the eight bytes of V is zero.
constexpr uint64_t HasZeroByte(uint64_t V) { return (V - kOnes) & ~V & (kOnes << 7); }

bool HasLineEndOrNul(const std::string& Line) {
    const char* p = Line.data();
    const size_t n = Line.size();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (HasZeroByte(w) | HasZeroByte(w ^ (kOnes * '\n')) | HasZeroByte(w ^ (kOnes * '\r')))
            return true;
    }
    for (; i < n; ++i)
        if (p[i] == '\r' || p[i] == '\n' || p[i] == '\0')
            return true;
    return false;
}

// A multipart entity is split only at whole lines that equal its delimiter,
// so a line holding CR, LF or NUL would split differently once the entity is
// joined and split again. Lines without them come back unchanged.
bool LinesAreSplitClean(std::span<const std::string> Lines) {
    return std::none_of(Lines.begin(), Lines.end(), HasLineEndOrNul);
}

// "end" after trimming, in any case: the line that closes a uuencoded block
// inside text.
bool IsUUEndLine(std::string_view Line) {
    std::string_view t = TrimView(Line);
    return t.size() == 3 && (t[0] | 0x20) == 'e' && (t[1] | 0x20) == 'n' && (t[2] | 0x20) == 'd';
}

bool Contains(const std::string& Text, std::string_view Key) { return Text.find(Key) != std::string::npos; }

// Lines joined by CR LF, without the line end after the last one.
std::string JoinWithoutLastLineEnd(std::span<const std::string> Lines) {
    std::string s = JoinLines(Lines);
    if (s.size() >= 2)
        s.resize(s.size() - 2);
    return s;
}

struct TLeaf {
    std::span<const std::string> Lines;
    int Depth;
};

// Appends the leaves of the entity Lines (split-clean, see above) to Leaves.
// Works on views of one line array instead of joining and splitting each
// part again: for split-clean lines both give the same lines. Every level
// scans its own lines once, and the depth limit bounds the levels.
void SplitLeaves(std::span<const std::string> Lines, int Depth, std::vector<TLeaf>& Leaves) {
    std::string field;
    if (!FindHeader("CONTENT-TYPE:", Lines, field) || FindUpper(field, "MULTIPART") == std::string::npos) {
        // One level deeper than the entity, so that parsing the leaf can
        // never come back here with the same lines at the same depth.
        Leaves.push_back({Lines, Depth + 1});
        return;
    }
    if (Depth >= MaxNestingDepth) {
        Leaves.push_back({Lines, Depth});
        return;
    }

    const std::string delimiter = GetBoundary(field);
    const std::string close = delimiter + "--";
    const size_t n = Lines.size();

    // The preamble goes.
    size_t i = SkipHeaderPos(Lines);
    while (i < n && Lines[i] != delimiter)
        ++i;
    if (i >= n) {
        SplitLeaves({}, Depth + 1, Leaves);
        return;
    }

    size_t partBegin = i + 1;
    size_t j = i + 1; // the line after the first delimiter is compared like any other
    while (j < n && Lines[j] != close) {
        if (Lines[j] == delimiter) {
            SplitLeaves(Lines.subspan(partBegin, j - partBegin), Depth + 1, Leaves);
            ++j;
            partBegin = j;
            // A delimiter as the last line opens an empty part.
            if (j >= n)
                break;
        }
        ++j; // taken into the part without being compared
    }
    // The last part, whether the close delimiter came or the lines ran out;
    // the epilogue after the close delimiter is dropped.
    SplitLeaves(Lines.subspan(partBegin, j - partBegin), Depth + 1, Leaves);
}

// Type, encoding and name of an entity from its header fields.
void ReadPartHeader(std::span<const std::string> Lines, std::string& Type, std::string& Encoding, std::string& Name) {
    std::string field;
    Name.clear();
    if (FindHeader("CONTENT-TYPE:", Lines, field)) {
        Type = UpperCase(GetHeaderValue("CONTENT-TYPE:", field));
        Name = GetHeaderValue("NAME", field);
    } else {
        Type = "TEXT/PLAIN";
    }

    std::string cte;
    if (FindHeader("CONTENT-TRANSFER-ENCODING:", Lines, cte))
        Encoding = UpperCase(GetHeaderValue("CONTENT-TRANSFER-ENCODING:", cte));
    else
        Encoding = "7BIT";

    if (Name.empty()) {
        std::string disposition;
        if (FindHeader("CONTENT-DISPOSITION:", Lines, disposition))
            Name = GetHeaderValue("FILENAME", disposition);
    }
    if (!Name.empty()) {
        Name.erase(0, 1); // the "=" of the parameter
        Name = DecodeEncodedWords(StripQuotes(Name));
    }
}

void DecodeBase64Into(std::span<const std::string> Lines, std::string& Out) {
    size_t encoded = 0;
    for (const std::string& l : Lines)
        encoded += l.size();
    Out.reserve(Out.size() + encoded / 4 * 3 + 3);
    TBase64Decoder decoder;
    for (const std::string& l : Lines)
        decoder.Decode(l, Out);
}

// The data lines of a uuencoded attachment: from the second line up to "end",
// a lone "`" or the last line. The stop lines are tested before every data
// line, the first one included, so that "begin" directly followed by "end"
// (an empty file) decodes to nothing instead of failing on "end".
void DecodeUUInto(std::span<const std::string> Lines, std::string& Out) {
    size_t encoded = 0;
    for (const std::string& l : Lines)
        encoded += l.size();
    Out.reserve(Out.size() + encoded / 4 * 3);
    for (size_t i = 1; i < Lines.size(); ++i) {
        const std::string& l = Lines[i];
        if (l == "end" || l == "`")
            break;
        UUDecodeLine(l, Out);
    }
}

} // namespace

// ---- uuencode ----

uint8_t UUCharValue(char C) {
    const auto u = static_cast<unsigned char>(C);
    if (u == '`' || u == ' ')
        return 0;
    if (u >= 33 && u <= 95)
        return static_cast<uint8_t>(u - 32);
    throw Exception(kOops);
}

void UUDecodeLine(std::string_view Line, std::string& Out) {
    if (Line.empty())
        return;
    const unsigned count = UUCharValue(Line[0]);
    size_t chars = count == 45 ? 60 : Line.size() - 1;
    chars = std::min<size_t>(chars, 60);
    if (chars > Line.size() - 1)
        throw Exception(kOops); // a 45-byte line too short for its 60 characters

    // Every character is checked, also those past the announced count.
    unsigned char bytes[45] = {};
    uint32_t acc = 0;
    int bits = 0;
    size_t nb = 0;
    for (size_t k = 1; k <= chars; ++k) {
        acc = (acc << 6) | UUCharValue(Line[k]);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes[nb++] = static_cast<unsigned char>(acc >> bits);
            acc &= (1u << bits) - 1;
        }
    }
    // Leftover bits start one more byte, the rest of it zero.
    if (bits > 0 && nb < 45)
        bytes[nb] = static_cast<unsigned char>(acc << (8 - bits));
    Out.append(reinterpret_cast<const char*>(bytes), std::min<size_t>(count, 45));
}

bool IsUUBeginLine(std::string_view Line, std::string* FileName) {
    if (Line.size() <= 10)
        return false;
    static constexpr char kBegin[] = "begin";
    for (int k = 0; k < 5; ++k)
        if ((Line[k] | 0x20) != kBegin[k])
            return false;
    const int32_t mode = StrToIntDef(std::string(Line.substr(6, 3)), 0);
    if (mode <= 0 || mode >= 777)
        return false;
    if (FileName)
        *FileName = std::string(Line.substr(10, 64));
    return true;
}

bool FindUUBegin(std::span<const std::string> Lines, size_t From, size_t& Pos, std::string& FileName) {
    for (size_t k = From; k < Lines.size(); ++k)
        if (IsUUBeginLine(Lines[k], &FileName)) {
            Pos = k;
            return true;
        }
    return false;
}

// ---- multipart ----

std::vector<std::vector<std::string>> SplitMultipart(std::string_view Text) {
    const std::vector<std::string> lines = SplitLines(Text);
    std::vector<TLeaf> leaves;
    SplitLeaves(lines, 0, leaves);
    std::vector<std::vector<std::string>> result;
    result.reserve(leaves.size());
    for (const TLeaf& leaf : leaves)
        result.emplace_back(leaf.Lines.begin(), leaf.Lines.end());
    return result;
}

std::string SanitizeAttachmentName(std::string Name) {
    static constexpr std::string_view kRemoved = "\\/:*?\"<>|";
    std::erase_if(Name, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 32 || u == 127 || kRemoved.find(c) != std::string_view::npos;
    });
    if (Name == "." || Name == "..")
        Name.clear();
    return Name;
}

// ---- attachments ----

void TAttachedFile::SaveToFile(const std::string& AFileName) const {
    TFileStream file(AFileName, TFileStream::TMode::fmCreate);
    file.WriteBuffer(Data);
    file.Flush();
}

TAttachedFile& TAttachedFiles::Add(const std::string& Name) {
    auto item = std::make_unique<TAttachedFile>();
    const size_t sep = Name.find_last_of("\\:");
    item->FileName = sep == std::string::npos ? Name : Name.substr(sep + 1);
    item->PathName = Name;
    item->ContentType = ContentTypeOfFile(Name);
    FItems.push_back(std::move(item));
    return *FItems.back();
}

TAttachedFile& TAttachedFiles::Items(int Index) {
    return const_cast<TAttachedFile&>(std::as_const(*this).Items(Index));
}

const TAttachedFile& TAttachedFiles::Items(int Index) const {
    if (Index < 0 || Index >= Count())
        throw Exception("List index out of bounds (" + std::to_string(Index) + ")");
    return *FItems[static_cast<size_t>(Index)];
}

// ---- message ----

struct TKelMsg::TEntity {
    std::span<const std::string> Lines;
    bool SplitClean; // known to hold no CR, LF or NUL
    int Depth;
};

struct TKelMsg::TParseState {
    // Re-split copies of entities whose lines were not split-clean; the
    // leaves of a split point into them.
    std::vector<std::unique_ptr<std::vector<std::string>>> Resplit;

    // Lines shown in Text are moved out of RawMail instead of copied when
    // RawMail is emptied at the end anyway. A failure puts them back from
    // Text (which keeps them), so RawMail is whole again when Parse throws.
    // No line is read again once it is shown: entities are disjoint and
    // taken in order.
    std::vector<std::string>* MoveFrom = nullptr;
    struct TMoved {
        size_t RawIndex, TextIndex, Count;
    };
    std::vector<TMoved> Moved;
};

TKelMsg::TKelMsg(TObject* AOwner) : FOwner(AOwner) {}

TKelMsg::~TKelMsg() = default;

void TKelMsg::Parse() {
    if (RawMail.empty())
        return;

    const auto headerEnd = std::find_if(RawMail.begin(), RawMail.end(), [](const std::string& l) { return l.empty(); });
    Headers.insert(Headers.end(), RawMail.begin(), headerEnd);
    ParseHeaderFields();

    // RawMail itself serves as the working list: parsing only reads it, so
    // it is still whole when a failure leaves Parse.
    TParseState state;
    if (ClearRawMailAfterParse)
        state.MoveFrom = &RawMail;
    try {
        ParsePart(state, TEntity{RawMail, false, 0});
    } catch (...) {
        for (const auto& m : state.Moved)
            for (size_t k = 0; k < m.Count; ++k)
                RawMail[m.RawIndex + k] = Text[m.TextIndex + k];
        throw;
    }

    if (ClearRawMailAfterParse)
        std::vector<std::string>().swap(RawMail);
}

void TKelMsg::ParseHeaderFields() {
    // Without a From field this is what From keeps; no header line at all
    // leaves it as it is.
    if (!Headers.empty())
        From = Headers.front().size() > 5 ? Headers.front().substr(5, 72) : std::string();

    enum class TProc { Words, Addresses, None, Upper };
    struct TField {
        const char* Key;
        std::string TKelMsg::*Property;
        TProc Proc;
        const char* IfAbsent; // nullptr: the property stays as it is
    };
    static const TField kFields[] = {
        {"FROM:", &TKelMsg::From, TProc::Words, nullptr},
        {"SENDER:", &TKelMsg::Sender, TProc::Addresses, nullptr},
        {"MESSAGE-ID:", &TKelMsg::MessageId, TProc::None, nullptr},
        {"IN-REPLY-TO:", &TKelMsg::InReplyTo, TProc::None, nullptr},
        {"RETURN-PATH:", &TKelMsg::ReturnPath, TProc::None, nullptr},
        {"REPLY-TO:", &TKelMsg::ReplyTo, TProc::Addresses, nullptr},
        {"TO:", &TKelMsg::SendTo, TProc::Addresses, nullptr},
        {"CC:", &TKelMsg::CC, TProc::Addresses, nullptr},
        {"DATE:", &TKelMsg::Date, TProc::None, nullptr},
        {"SUBJECT:", &TKelMsg::Subject, TProc::Words, nullptr},
        {"CONTENT-TYPE:", &TKelMsg::ContentType, TProc::Upper, "TEXT/PLAIN"},
        {"CONTENT-TRANSFER-ENCODING:", &TKelMsg::ContentTransferEncoding, TProc::Upper, "7BIT"},
    };

    for (const TField& f : kFields) {
        const std::string key = f.Key;
        std::string line;
        if (!FindHeader(key, Headers, line)) {
            if (f.IfAbsent)
                this->*f.Property = f.IfAbsent;
            continue;
        }
        std::string value = GetHeaderValue(key, line);
        switch (f.Proc) {
        case TProc::Words: value = DecodeEncodedWords(value); break;
        case TProc::Addresses: value = FormatAddressList(value); break;
        case TProc::Upper: value = UpperCase(value); break;
        case TProc::None: break;
        }
        this->*f.Property = std::move(value);
    }
}

void TKelMsg::ParsePart(TParseState& State, const TEntity& Entity) {
    std::string type, encoding, name;
    ReadPartHeader(Entity.Lines, type, encoding, name);
    const bool tooDeep = Entity.Depth >= MaxNestingDepth;
    const auto body = [&] { return Entity.Lines.subspan(SkipHeaderPos(Entity.Lines)); };
    const auto showBody = [&] { ShowLines(State, body()); };

    if (Contains(type, "TEXT")) {
        ParseTextPart(State, Entity, encoding);
    } else if (Contains(type, "MULTIPART")) {
        if (tooDeep) {
            showBody();
            return;
        }
        std::span<const std::string> lines = Entity.Lines;
        if (!Entity.SplitClean && !LinesAreSplitClean(lines)) {
            State.Resplit.push_back(std::make_unique<std::vector<std::string>>(SplitLines(JoinLines(lines))));
            lines = *State.Resplit.back();
        }
        std::vector<TLeaf> leaves;
        SplitLeaves(lines, Entity.Depth, leaves);
        for (const TLeaf& leaf : leaves)
            ParsePart(State, TEntity{leaf.Lines, true, leaf.Depth});
    } else if (encoding == "X-UUENCODE" || !name.empty()) {
        AddAttachment(body(), name, encoding);
    } else if (type == "MESSAGE/RFC822") {
        if (tooDeep) {
            showBody();
            return;
        }
        ParsePart(State, TEntity{body(), Entity.SplitClean, Entity.Depth + 1});
    } else if (encoding == "BASE64" || encoding == "QUOTED-PRINTABLE") {
        AddAttachment(body(), name, encoding);
    } else {
        showBody();
    }
}

void TKelMsg::ParseTextPart(TParseState& State, const TEntity& Entity, const std::string& Encoding) {
    const std::span<const std::string> lines = Entity.Lines.subspan(SkipHeaderPos(Entity.Lines));

    // Uuencoded blocks leave the text from their begin line up to, not
    // including, the "end" line; without an "end" line the block runs to the
    // last line. One pass: lines before a begin line were already found not
    // to be begin lines, so searching again from the top finds the same.
    std::vector<std::pair<size_t, size_t>> kept; // text runs [first, last)
    size_t runBegin = 0;
    size_t pos = 0;
    size_t begin = 0;
    std::string uuName;
    bool foundBlock = false;
    while (pos < lines.size() && FindUUBegin(lines, pos, begin, uuName)) {
        foundBlock = true;
        kept.emplace_back(runBegin, begin);
        size_t end = begin;
        while (end < lines.size() && !IsUUEndLine(lines[end]))
            ++end;
        // Empty lines of the block are skipped by the decoder; only the
        // encoded lines an attachment keeps after a failure leave them out.
        AddAttachment(lines.subspan(begin, end - begin), uuName, "X-UUENCODE", true);
        runBegin = end;
        pos = end + 1; // the "end" line stays in the text and opens no block
    }

    if (foundBlock) {
        kept.emplace_back(runBegin, lines.size());
        for (const auto& [first, last] : kept)
            ShowLines(State, lines.subspan(first, last - first));
    } else if (Encoding == "QUOTED-PRINTABLE") {
        AppendSplitLines(Text, DecodeQuotedPrintable(JoinLines(lines)));
    } else if (Encoding == "BASE64") {
        std::string bytes;
        DecodeBase64Into(lines, bytes);
        AppendSplitLines(Text, bytes);
    } else {
        ShowLines(State, lines);
    }
}

void TKelMsg::ShowLines(TParseState& State, std::span<const std::string> Lines) {
    if (Lines.empty())
        return;
    // Every line array of a parse is non-const underneath (RawMail or a
    // re-split copy), so the lines may be moved once nothing reads them.
    auto* first = const_cast<std::string*>(Lines.data());
    const auto within = [first](const std::vector<std::string>& v) {
        const std::less<const std::string*> before;
        return !before(first, v.data()) && before(first, v.data() + v.size());
    };
    std::vector<std::string>* raw = State.MoveFrom;
    const bool inRaw = raw && within(*raw);
    const bool inResplit =
        std::any_of(State.Resplit.begin(), State.Resplit.end(), [&](const auto& v) { return within(*v); });
    if (!inRaw && !inResplit) {
        Text.insert(Text.end(), Lines.begin(), Lines.end());
        return;
    }
    if (inRaw)
        State.Moved.push_back({static_cast<size_t>(first - raw->data()), Text.size(), Lines.size()});
    Text.insert(Text.end(), std::make_move_iterator(first), std::make_move_iterator(first + Lines.size()));
}

void TKelMsg::AddAttachment(std::span<const std::string> Lines, std::string Name, const std::string& Encoding,
                            bool DropEmptyLinesOnFailure) {
    TAttachedFile& file = AttachedFiles.Add(SanitizeAttachmentName(std::move(Name)));
    if (Encoding == "BASE64") {
        DecodeBase64Into(Lines, file.Data);
    } else if (Encoding == "X-UUENCODE") {
        try {
            DecodeUUInto(Lines, file.Data);
        } catch (...) {
            // The attachment keeps its encoded lines and no bytes.
            std::string().swap(file.Data);
            for (const std::string& l : Lines)
                if (!DropEmptyLinesOnFailure || !l.empty())
                    file.Lines.push_back(l);
            throw;
        }
    } else if (Encoding == "QUOTED-PRINTABLE") {
        file.Data = JoinWithoutLastLineEnd(SplitLines(DecodeQuotedPrintable(JoinLines(Lines))));
    } else {
        file.Data = JoinWithoutLastLineEnd(Lines);
    }
}

} // namespace kel
