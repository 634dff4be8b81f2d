// Plain, step-by-step versions of the header helpers and the Base64 decoder
// (restart from the top, delete from the front), for the tests and fuzz target.
#pragma once

#include "mail/core/KelLines.h"
#include "mail/core/KelText.h"
#include "mail/message/KelEncodings.h"
#include "mail/message/KelHeader.h"

#include <string>
#include <vector>

namespace kel_literal {

// Byte by byte: a line ends at CR LF, a lone CR or a lone LF; NUL is a byte.
inline std::vector<std::string> SplitLines(const std::string& Text) {
    std::vector<std::string> out;
    std::string line;
    bool open = false;
    for (size_t i = 0; i < Text.size(); ++i) {
        const char c = Text[i];
        if (c == '\r' || c == '\n') {
            out.push_back(line);
            line.clear();
            open = false;
            if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n')
                ++i;
        } else {
            line += c;
            open = true;
        }
    }
    if (open)
        out.push_back(line);
    return out;
}

inline std::string Base64(const std::vector<std::string>& Writes) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto value = [](unsigned char c) -> int {
        if (c == '=')
            return 64;
        size_t p = alphabet.find(static_cast<char>(c));
        return p == std::string::npos ? 99 : static_cast<int>(p);
    };
    std::string out;
    std::string group;
    for (const std::string& w : Writes) {
        for (unsigned char c : w) {
            if (c == 13 || c == 10)
                continue;
            group += static_cast<char>(c);
            if (group.size() < 4)
                continue;
            int d1 = value(group[0]), d2 = value(group[1]), d3 = value(group[2]), d4 = value(group[3]);
            group.clear();
            int n = 3;
            if (d1 == 64) {
                n = 0;
            } else if (d3 == 64) {
                d3 = 0;
                d4 = 0;
                n = 1;
            } else if (d4 == 64) {
                d4 = 0;
                n = 2;
            }
            const char o[3] = {static_cast<char>((d1 * 4 + d2 / 16) % 256), static_cast<char>(((d2 % 16) * 16 + d3 / 4) % 256),
                               static_cast<char>(((d3 % 4) * 64 + d4) % 256)};
            out.append(o, static_cast<size_t>(n));
        }
    }
    return out;
}

inline std::string DecodeEncodedWords(const std::string& Text) {
    std::string s = Text;
    for (;;) {
        size_t p = s.find("=?");
        if (p == std::string::npos)
            break;
        std::string before = s.substr(0, p);
        std::string rest = s.substr(p + 2);
        size_t q = rest.find('?');
        if (q == std::string::npos)
            break;
        char letter = q + 1 < rest.size() ? rest[q + 1] : '\0';
        if (letter >= 'a' && letter <= 'z')
            letter = static_cast<char>(letter - 'a' + 'A');
        rest.erase(0, q + 3);
        size_t e = rest.find("?=");
        if (e == std::string::npos)
            break;
        std::string after = rest.substr(e + 2);
        std::string encoded = rest.substr(0, e);
        if (letter == 'Q')
            s = before + kel::DecodeQuotedPrintable(encoded) + after;
        else if (letter == 'B')
            s = before + Base64({encoded}) + after;
        else
            s = before + after;
    }
    return s;
}

inline std::string ExtractAddress(const std::string& Mailbox, bool Bracket) {
    std::string s = Mailbox;
    for (;;) {
        size_t a = s.find('('), b = s.find(')');
        if (a == std::string::npos || b == std::string::npos || b < a)
            break;
        s.erase(a, b - a + 1);
    }
    s = kel::Trim(s);
    size_t lt = s.find('<'), gt = s.find('>');
    if (lt != std::string::npos && gt != std::string::npos)
        s = gt > lt ? s.substr(lt + 1, gt - lt - 1) : "";
    return Bracket ? "<" + s + ">" : s;
}

inline std::string FormatAddressList(const std::string& List) {
    std::string s = List;
    for (;;) {
        size_t p = s.find('"');
        if (p == std::string::npos)
            break;
        s.erase(p, 1);
        size_t q = s.find('"');
        if (q == std::string::npos)
            break;
        s.erase(p, q - p + 1);
    }
    std::string result;
    for (;;) {
        size_t c = s.find(',');
        if (c == std::string::npos)
            break;
        std::string part = s.substr(0, c);
        result += kel::ExtractDisplayName(kel::DecodeEncodedWords(part), true) + " " + ExtractAddress(part, true) + ", ";
        s.erase(0, c + 1);
    }
    return result + kel::ExtractDisplayName(kel::DecodeEncodedWords(s), true) + " " + ExtractAddress(s, true);
}

inline void SkipHeader(std::vector<std::string>& Lines) {
    while (!Lines.empty() && !kel::Trim(Lines.front()).empty())
        Lines.erase(Lines.begin());
    while (!Lines.empty() && kel::Trim(Lines.front()).empty())
        Lines.erase(Lines.begin());
}

} // namespace kel_literal
