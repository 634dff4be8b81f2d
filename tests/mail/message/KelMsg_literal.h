// A plain, step-by-step parser of a raw message, written the slow and obvious
// way (each multipart level joins and splits again, lines are deleted from the
// front), for the differential tests and the fuzz target.
#pragma once

#include "kel_literal.h"
#include "mail/message/KelMsg.h"
#include "mail/core/KelLines.h"
#include "mail/core/KelText.h"
#include "mail/message/KelEncodings.h"
#include "mail/message/KelHeader.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace kel_literal {

struct Attachment {
    std::string FileName, PathName, Data;
    std::vector<std::string> Lines;
    bool operator==(const Attachment&) const = default;
};

struct ParsedMsg {
    std::string From, Sender, MessageId, InReplyTo, ReturnPath, ReplyTo, SendTo, CC, Date, Subject;
    std::string ContentType, ContentTransferEncoding;
    std::vector<std::string> Headers, Text, RawMail;
    std::vector<Attachment> Files;
    std::string Error; // what() of the exception that left Parse, empty when none
    bool operator==(const ParsedMsg&) const = default;
};

inline int UUValue(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u == ' ' || u == '`')
        return 0;
    if (u >= 33 && u <= 95)
        return u - 32;
    throw kel::Exception("Oops...");
}

// The line rule bit by bit: six bits a character into a '0'/'1' string, cut into 45 bytes.
inline std::string UULine(const std::string& Line) {
    if (Line.empty())
        return {};
    int count = UUValue(Line[0]);
    int chars = count == 45 ? 60 : static_cast<int>(Line.size()) - 1;
    if (chars > 60)
        chars = 60;
    std::string bits;
    for (int k = 2; k <= chars + 1; ++k) {
        if (k > static_cast<int>(Line.size()))
            throw kel::Exception("Oops...");
        int v = UUValue(Line[static_cast<size_t>(k - 1)]);
        for (int b = 5; b >= 0; --b)
            bits += ((v >> b) & 1) ? '1' : '0';
    }
    bits.resize(45 * 8, '0');
    std::string out;
    for (int i = 0; i < 45; ++i) {
        int v = 0;
        for (int b = 0; b < 8; ++b)
            v = v * 2 + (bits[static_cast<size_t>(i * 8 + b)] - '0');
        out += static_cast<char>(v);
    }
    return out.substr(0, static_cast<size_t>(count < 45 ? count : 45));
}

inline bool UUBegin(const std::vector<std::string>& L, size_t& Pos, std::string& Name) {
    for (size_t k = 0; k < L.size(); ++k) {
        const std::string& s = L[k];
        if (s.size() > 10 && kel::LowerCase(s.substr(0, 5)) == "begin") {
            int mode = kel::StrToIntDef(s.substr(6, 3), 0);
            if (mode > 0 && mode < 777) {
                Pos = k;
                Name = s.substr(10, 64);
                return true;
            }
        }
    }
    return false;
}

class LiteralParser {
  public:
    ParsedMsg Msg;

    void Parse(const std::vector<std::string>& RawMail, bool ClearRawMail = true) {
        Msg.RawMail = RawMail;
        if (RawMail.empty())
            return;
        for (const std::string& l : RawMail) {
            if (l.empty())
                break;
            Msg.Headers.push_back(l);
        }
        HeaderFields();
        std::vector<std::string> work = RawMail;
        try {
            Part(work, 0);
        } catch (const std::exception& e) {
            Msg.Error = e.what();
            return;
        }
        if (ClearRawMail)
            Msg.RawMail.clear();
    }

    struct Leaf {
        std::vector<std::string> Lines;
        int Depth;
    };

    static void Split(const std::string& Text, int Depth, std::vector<Leaf>& Leaves) {
        std::vector<std::string> lines = SplitLines(Text);
        std::string field;
        if (!kel::FindHeader("CONTENT-TYPE:", lines, field) ||
            kel::UpperCase(field).find("MULTIPART") == std::string::npos) {
            Leaves.push_back({lines, Depth + 1});
            return;
        }
        if (Depth >= kel::MaxNestingDepth) {
            Leaves.push_back({lines, Depth});
            return;
        }
        SkipHeader(lines);
        const std::string delimiter = kel::GetBoundary(field);
        const std::string close = delimiter + "--";
        while (!lines.empty() && lines[0] != delimiter)
            lines.erase(lines.begin());
        std::vector<std::string> part;
        size_t i = 1;
        while (i < lines.size() && lines[i] != close) {
            if (lines[i] == delimiter) {
                Split(kel::JoinLines(part), Depth + 1, Leaves);
                part.clear();
                ++i;
                if (i >= lines.size())
                    break;
            }
            part.push_back(lines[i]);
            ++i;
        }
        Split(kel::JoinLines(part), Depth + 1, Leaves);
    }

  private:
    void HeaderFields() {
        if (!Msg.Headers.empty())
            Msg.From = Msg.Headers[0].size() > 5 ? Msg.Headers[0].substr(5, 72) : "";
        auto value = [&](const char* key, std::string& out) {
            std::string line;
            if (!kel::FindHeader(key, Msg.Headers, line))
                return false;
            out = kel::GetHeaderValue(key, line);
            return true;
        };
        std::string v;
        auto same = [](const std::string& x) { return x; };
        const struct {
            const char* key;
            std::string ParsedMsg::*field;
            std::string (*convert)(const std::string&);
        } fields[] = {{"FROM:", &ParsedMsg::From, DecodeEncodedWords},     {"SENDER:", &ParsedMsg::Sender, FormatAddressList},
                      {"MESSAGE-ID:", &ParsedMsg::MessageId, same},        {"IN-REPLY-TO:", &ParsedMsg::InReplyTo, same},
                      {"RETURN-PATH:", &ParsedMsg::ReturnPath, same},      {"REPLY-TO:", &ParsedMsg::ReplyTo, FormatAddressList},
                      {"TO:", &ParsedMsg::SendTo, FormatAddressList},      {"CC:", &ParsedMsg::CC, FormatAddressList},
                      {"DATE:", &ParsedMsg::Date, same},                   {"SUBJECT:", &ParsedMsg::Subject, DecodeEncodedWords}};
        for (const auto& f : fields)
            if (value(f.key, v))
                Msg.*f.field = f.convert(v);
        Msg.ContentType = value("CONTENT-TYPE:", v) ? kel::UpperCase(v) : "TEXT/PLAIN";
        Msg.ContentTransferEncoding = value("CONTENT-TRANSFER-ENCODING:", v) ? kel::UpperCase(v) : "7BIT";
    }

    static void PartHeader(const std::vector<std::string>& E, std::string& Type, std::string& Enc, std::string& Name,
                           bool& Attachment) {
        std::string type, disposition, line;
        const bool hasType = kel::FindHeader("CONTENT-TYPE:", E, type);
        const bool hasDisposition = kel::FindHeader("CONTENT-DISPOSITION:", E, disposition);
        Type = hasType ? kel::UpperCase(kel::GetHeaderValue("CONTENT-TYPE:", type)) : "TEXT/PLAIN";
        Enc = kel::FindHeader("CONTENT-TRANSFER-ENCODING:", E, line)
                  ? kel::UpperCase(kel::GetHeaderValue("CONTENT-TRANSFER-ENCODING:", line))
                  : "7BIT";
        Attachment = hasDisposition && kel::UpperCase(kel::GetHeaderValue("CONTENT-DISPOSITION:", disposition)) == "ATTACHMENT";
        Name = "";
        if (hasType)
            kel::GetHeaderParameter(type, "name", Name);
        if (Name.empty() && hasDisposition)
            kel::GetHeaderParameter(disposition, "filename", Name);
        if (Name.empty() && hasDisposition)
            kel::GetHeaderParameter(disposition, "name", Name);
        if (Name.empty() && hasType)
            kel::GetHeaderParameter(type, "filename", Name);
    }

    void AppendAll(const std::vector<std::string>& L) { Msg.Text.insert(Msg.Text.end(), L.begin(), L.end()); }

    void Part(std::vector<std::string>& E, int Depth) {
        std::string type, enc, name;
        bool attachment = false;
        PartHeader(E, type, enc, name, attachment);
        bool deep = Depth >= kel::MaxNestingDepth;
        if (attachment && type.find("MULTIPART") == std::string::npos) {
            SkipHeader(E);
            AddAttachment(E, name, enc);
        } else if (type.find("TEXT") != std::string::npos) {
            TextPath(E, enc);
        } else if (type.find("MULTIPART") != std::string::npos) {
            if (deep) {
                SkipHeader(E);
                AppendAll(E);
                return;
            }
            std::vector<Leaf> leaves;
            Split(kel::JoinLines(E), Depth, leaves);
            for (Leaf& l : leaves)
                Part(l.Lines, l.Depth);
        } else if (enc == "X-UUENCODE" || !name.empty()) {
            SkipHeader(E);
            AddAttachment(E, name, enc);
        } else if (type == "MESSAGE/RFC822") {
            SkipHeader(E);
            if (deep)
                AppendAll(E);
            else
                Part(E, Depth + 1);
        } else if (enc == "BASE64" || enc == "QUOTED-PRINTABLE") {
            SkipHeader(E);
            AddAttachment(E, name, enc);
        } else {
            SkipHeader(E);
            AppendAll(E);
        }
    }

    void TextPath(std::vector<std::string>& E, std::string Enc) {
        SkipHeader(E);
        size_t k;
        std::string u;
        while (UUBegin(E, k, u)) {
            std::vector<std::string> block;
            for (;;) {
                if (k >= E.size())
                    break;
                if (kel::LowerCase(kel::Trim(E[k])) == "end")
                    break;
                if (!E[k].empty())
                    block.push_back(E[k]);
                E.erase(E.begin() + static_cast<ptrdiff_t>(k));
            }
            Enc = "X-UUENCODE";
            AddAttachment(block, u, "X-UUENCODE");
        }
        if (Enc == "QUOTED-PRINTABLE") {
            E = SplitLines(kel::DecodeQuotedPrintable(kel::JoinLines(E)));
        } else if (Enc == "BASE64") {
            E = SplitLines(Base64({kel::JoinLines(E)}));
        }
        AppendAll(E);
    }

    void AddAttachment(const std::vector<std::string>& L, std::string Name, const std::string& Enc) {
        for (char c : std::string("\\/:*?\"<>|"))
            Name = kel::RemoveChar(Name, c);
        std::string clean;
        for (char c : Name)
            if (static_cast<unsigned char>(c) >= 32 && c != 127)
                clean += c;
        if (clean == "." || clean == "..")
            clean = "";
        Msg.Files.push_back({});
        Attachment& a = Msg.Files.back();
        size_t sep = clean.find_last_of("\\:");
        a.FileName = sep == std::string::npos ? clean : clean.substr(sep + 1);
        a.PathName = clean;
        auto joinedLessTwo = [](const std::vector<std::string>& X) {
            std::string s = kel::JoinLines(X);
            return s.empty() ? s : s.substr(0, s.size() - 2);
        };
        if (Enc == "BASE64") {
            a.Lines = L;
            a.Data = Base64(a.Lines); // one write per line
            a.Lines.clear();
        } else if (Enc == "X-UUENCODE") {
            a.Lines = L;
            std::string data;
            for (size_t i = 1; i < a.Lines.size(); ++i) {
                if (a.Lines[i] == "end" || a.Lines[i] == "`")
                    break;
                data += UULine(a.Lines[i]); // throws with Data still empty
            }
            a.Data = data;
            a.Lines.clear();
        } else if (Enc == "QUOTED-PRINTABLE") {
            a.Data = joinedLessTwo(SplitLines(kel::DecodeQuotedPrintable(kel::JoinLines(L))));
        } else {
            a.Data = joinedLessTwo(L);
        }
    }
};

// The library's parse of RawMail, with what() of the exception that left it:
// through Parse, or through ParseLines with views (as a retrieval hands them over).
inline ParsedMsg ParseLibrary(const std::vector<std::string>& RawMail, bool ClearRawMail = true, bool ViaViews = false) {
    kel::TKelMsg m;
    m.ClearRawMailAfterParse = ClearRawMail;
    std::string error;
    try {
        if (ViaViews) {
            const std::vector<std::string_view> views(RawMail.begin(), RawMail.end());
            m.ParseLines(views);
        } else {
            m.RawMail = RawMail;
            m.Parse();
        }
    } catch (const std::exception& e) {
        error = e.what();
    }
    ParsedMsg p{m.From, m.Sender, m.MessageId, m.InReplyTo, m.ReturnPath, m.ReplyTo, m.SendTo, m.CC, m.Date,
                m.Subject, m.ContentType, m.ContentTransferEncoding, m.Headers, m.Text.ToVector(), m.RawMail, {}, error};
    for (int i = 0; i < m.AttachedFiles.Count(); ++i) {
        const kel::TAttachedFile& f = m.AttachedFiles.Items(i);
        p.Files.push_back({f.FileName, f.PathName, f.Data, f.Lines});
    }
    return p;
}

// Returns {library, literal}. The library parses through Parse and through
// ParseLines; when those differ the second is returned, so the comparison fails.
inline std::pair<ParsedMsg, ParsedMsg> ParseBothWays(const std::vector<std::string>& RawMail, bool ClearRawMail = true) {
    LiteralParser lit;
    lit.Parse(RawMail, ClearRawMail);
    ParsedMsg lib = ParseLibrary(RawMail, ClearRawMail, false);
    ParsedMsg viaViews = ParseLibrary(RawMail, ClearRawMail, true);
    return {lib == viaViews ? std::move(lib) : std::move(viaViews), lit.Msg};
}

} // namespace kel_literal
