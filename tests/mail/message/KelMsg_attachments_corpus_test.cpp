// Every attachment of the corpus is listed under its name: a second, plainly
// written reading of each message (its own line splitting, unfolding,
// boundaries and parameters) names the parts a reader expects to save, and
// the parse must list each of them.

#include "mail/core/KelLines.h"
#include "mail/message/KelMsg.h"
#include "support/Corpus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using sweepbox::test::ReadFile;

class KelMsgAttachmentsCorpus : public sweepbox::test::CorpusTest {};

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Strip(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

struct Entity {
    std::map<std::string, std::string> fields; // lower-case name -> unfolded value (the first of each)
    std::vector<std::string> body;
};

// Header up to the first empty line; a line starting with blank or tab
// continues the field before it.
Entity Read(const std::vector<std::string>& lines, size_t from, size_t to) {
    Entity e;
    std::vector<std::string> header;
    size_t i = from;
    for (; i < to && !lines[i].empty(); ++i) {
        if ((lines[i][0] == ' ' || lines[i][0] == '\t') && !header.empty())
            header.back() += lines[i];
        else
            header.push_back(lines[i]);
    }
    for (const std::string& h : header) {
        const size_t colon = h.find(':');
        if (colon != std::string::npos)
            e.fields.emplace(Lower(Strip(h.substr(0, colon))), h.substr(colon + 1));
    }
    if (i < to)
        ++i;
    e.body.assign(lines.begin() + static_cast<long>(i), lines.begin() + static_cast<long>(to));
    return e;
}

std::string Field(const Entity& e, const std::string& name) {
    const auto it = e.fields.find(name);
    return it == e.fields.end() ? std::string() : it->second;
}

// The value before the first ";", lower case.
std::string MainValue(const std::string& field) { return Lower(Strip(field.substr(0, field.find(';')))); }

int Hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string Latin1ToUtf8(const std::string& s) {
    std::string out;
    for (const unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Base64Bytes(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    int bits = 0, count = 0;
    for (const char c : text) {
        const size_t v = alphabet.find(c);
        if (v == std::string::npos)
            continue;
        bits = bits << 6 | static_cast<int>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// Encoded words ("=?charset?B|Q?text?=") decoded; blanks between two of
// them dropped.
std::string DecodeWords(const std::string& s) {
    std::string out;
    size_t i = 0;
    bool afterWord = false;
    while (i < s.size()) {
        const size_t start = s.find("=?", i);
        const size_t q1 = start == std::string::npos ? start : s.find('?', start + 2);
        const size_t q2 = q1 == std::string::npos ? q1 : s.find('?', q1 + 1);
        const size_t end = q2 == std::string::npos ? q2 : s.find("?=", q2 + 1);
        const char kind = q2 == q1 + 2 ? static_cast<char>(s[q1 + 1] | 0x20) : 0;
        if (end == std::string::npos || (kind != 'b' && kind != 'q')) {
            out += s.substr(i);
            break;
        }
        const std::string between = s.substr(i, start - i);
        if (!afterWord || !Strip(between).empty())
            out += between;
        const std::string charset = Lower(s.substr(start + 2, q1 - start - 2));
        const std::string text = s.substr(q2 + 1, end - q2 - 1);
        std::string bytes;
        if (kind == 'b') {
            bytes = Base64Bytes(text);
        } else {
            for (size_t k = 0; k < text.size(); ++k) {
                if (text[k] == '_') {
                    bytes += ' ';
                } else if (text[k] == '=' && k + 2 < text.size() && Hex(text[k + 1]) >= 0 && Hex(text[k + 2]) >= 0) {
                    bytes += static_cast<char>(Hex(text[k + 1]) * 16 + Hex(text[k + 2]));
                    k += 2;
                } else {
                    bytes += text[k];
                }
            }
        }
        out += charset == "iso-8859-1" ? Latin1ToUtf8(bytes) : bytes;
        afterWord = true;
        i = end + 2;
    }
    return out;
}

// Parameters as attribute -> value: RFC 2231 pieces joined and decoded,
// winning over a plain value, whose encoded words are decoded.
std::map<std::string, std::string> Params(const std::string& field) {
    std::vector<std::pair<std::string, std::string>> raw; // attribute, value (quotes undone)
    size_t i = field.find(';');
    while (i != std::string::npos && i < field.size()) {
        ++i;
        const size_t eq = field.find('=', i);
        if (eq == std::string::npos)
            break;
        const std::string attr = Lower(Strip(field.substr(i, eq - i)));
        size_t j = eq + 1;
        while (j < field.size() && (field[j] == ' ' || field[j] == '\t'))
            ++j;
        std::string value;
        if (j < field.size() && field[j] == '"') {
            for (++j; j < field.size() && field[j] != '"'; ++j) {
                if (field[j] == '\\' && j + 1 < field.size())
                    ++j;
                value += field[j];
            }
            i = field.find(';', j);
        } else {
            i = field.find(';', j);
            value = Strip(field.substr(j, i == std::string::npos ? std::string::npos : i - j));
        }
        raw.emplace_back(attr, value);
    }
    std::map<std::string, std::string> out;
    std::map<std::string, std::map<int, std::pair<bool, std::string>>> pieces;
    for (const auto& [attr, value] : raw) {
        const size_t star = attr.find('*');
        if (star == std::string::npos) {
            out.emplace(attr, DecodeWords(value));
            continue;
        }
        const std::string base = attr.substr(0, star);
        const std::string rest = attr.substr(star + 1);
        if (rest.empty()) {
            pieces[base].emplace(0, std::make_pair(true, value));
        } else {
            const bool encoded = rest.back() == '*';
            pieces[base].emplace(std::stoi(rest), std::make_pair(encoded, value));
        }
    }
    for (const auto& [base, parts] : pieces) {
        std::string charset, bytes;
        for (const auto& [index, part] : parts) {
            std::string text = part.second;
            if (!part.first) {
                bytes += text;
                continue;
            }
            if (index == 0 && std::count(text.begin(), text.end(), '\'') >= 2) {
                charset = Lower(text.substr(0, text.find('\'')));
                text = text.substr(text.find('\'', text.find('\'') + 1) + 1);
            }
            for (size_t k = 0; k < text.size(); ++k) {
                if (text[k] == '%' && k + 2 < text.size() && Hex(text[k + 1]) >= 0 && Hex(text[k + 2]) >= 0) {
                    bytes += static_cast<char>(Hex(text[k + 1]) * 16 + Hex(text[k + 2]));
                    k += 2;
                } else {
                    bytes += text[k];
                }
            }
        }
        out[base] = charset == "iso-8859-1" ? Latin1ToUtf8(bytes) : bytes;
    }
    return out;
}

std::string Name(const Entity& e) {
    const auto type = Params(Field(e, "content-type"));
    const auto disposition = Params(Field(e, "content-disposition"));
    for (const auto& [params, key] : {std::make_pair(&type, "name"), std::make_pair(&disposition, "filename"),
                                      std::make_pair(&disposition, "name"), std::make_pair(&type, "filename")}) {
        const auto it = params->find(key);
        if (it != params->end() && !it->second.empty())
            return it->second;
    }
    return {};
}

// The names a reader expects to save, in message order.
void Walk(const std::vector<std::string>& lines, size_t from, size_t to, int depth, std::vector<std::string>& names) {
    if (depth > 50)
        return;
    const Entity e = Read(lines, from, to);
    const std::string type = MainValue(Field(e, "content-type"));
    const bool attachment = MainValue(Field(e, "content-disposition")) == "attachment";
    const std::string name = Name(e);
    const size_t bodyAt = to - e.body.size();
    if (type.rfind("multipart/", 0) == 0) {
        const auto params = Params(Field(e, "content-type"));
        const auto b = params.find("boundary");
        if (b == params.end())
            return;
        const std::string delimiter = "--" + b->second, close = delimiter + "--";
        size_t partStart = std::string::npos;
        for (size_t k = bodyAt; k < to; ++k) {
            if (lines[k] == delimiter || lines[k] == close) {
                if (partStart != std::string::npos)
                    Walk(lines, partStart, k, depth + 1, names);
                partStart = k + 1;
                if (lines[k] == close)
                    return;
            }
        }
        if (partStart != std::string::npos)
            Walk(lines, partStart, to, depth + 1, names);
        return;
    }
    if (attachment || (!name.empty() && type.rfind("text/", 0) != 0)) {
        names.push_back(name);
        return;
    }
    if (type == "message/rfc822")
        Walk(lines, bodyAt, to, depth + 1, names);
}

// What the list shows of a name: as the attachment list stores it.
std::string Listed(const std::string& name) {
    const std::string clean = kel::SanitizeAttachmentName(name);
    const size_t sep = clean.find_last_of("\\:");
    return sep == std::string::npos ? clean : clean.substr(sep + 1);
}

// Messages the independent reader itself finds defective are left out.
std::set<std::string> WithoutDefects(const std::filesystem::path& dir) {
    std::set<std::string> out;
    std::ifstream manifest(dir / "MANIFEST.tsv");
    std::string line;
    std::getline(manifest, line); // the column names
    while (std::getline(manifest, line)) {
        const std::string path = line.substr(0, line.find('\t'));
        const std::string defects = line.substr(line.rfind('\t') + 1);
        if (defects.empty())
            out.insert(path);
    }
    return out;
}

TEST_F(KelMsgAttachmentsCorpus, EveryAttachmentIsListedUnderItsName) {
    const std::set<std::string> clean = WithoutDefects(dir);
    ASSERT_GE(clean.size(), 350u);
    size_t agree = 0;
    for (const std::string& path : clean) {
        const std::string bytes = ReadFile(dir / path);
        std::vector<std::string> lines;
        kel::AppendSplitLines(lines, bytes);
        std::vector<std::string> expected;
        Walk(lines, 0, lines.size(), 0, expected);

        kel::TKelMsg m;
        std::vector<std::string> listed;
        try {
            m.RawMail = lines;
            m.Parse();
        } catch (const std::exception&) {
            // a uuencoded line outside the alphabet: what was listed stays
        }
        for (int i = 0; i < m.AttachedFiles.Count(); ++i)
            listed.push_back(m.AttachedFiles.Items(i).FileName);
        bool all = true;
        for (const std::string& name : expected) {
            const auto it = std::find(listed.begin(), listed.end(), Listed(name));
            if (it == listed.end()) {
                all = false;
                ADD_FAILURE() << path << ": \"" << Listed(name) << "\" is not listed";
            } else {
                listed.erase(it);
            }
        }
        agree += all;
    }
    RecordProperty("agree", static_cast<int>(agree));
    std::cout << agree << " of " << clean.size() << " messages list every expected attachment\n";
}

} // namespace
