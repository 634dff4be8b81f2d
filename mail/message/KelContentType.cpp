#include "mail/message/KelContentType.h"

#include "mail/core/KelText.h"

#include <fstream>
#include <sstream>

namespace kel {

void ParseMimeTypesTable(std::string_view Text, std::unordered_map<std::string, std::string>& Table) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; };
    size_t pos = 0;
    while (pos < Text.size()) {
        size_t eol = Text.find('\n', pos);
        if (eol == std::string_view::npos)
            eol = Text.size();
        std::string_view line = Text.substr(pos, eol - pos);
        pos = eol + 1;
        if (size_t hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        std::string type;
        size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && isSpace(line[i]))
                ++i;
            size_t b = i;
            while (i < line.size() && !isSpace(line[i]))
                ++i;
            if (b == i)
                break;
            std::string word(line.substr(b, i - b));
            if (type.empty())
                type = std::move(word);
            else
                Table.emplace(LowerCase(word), type);
        }
    }
}

namespace {

const std::unordered_map<std::string, std::string>& SystemMimeTypes() {
    static const std::unordered_map<std::string, std::string> table = [] {
        std::unordered_map<std::string, std::string> t;
        std::ifstream in("/etc/mime.types", std::ios::binary);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            ParseMimeTypesTable(text.str(), t);
        }
        return t;
    }();
    return table;
}

} // namespace

std::string ContentTypeOfFile(const std::string& FileName) {
    const std::string fallback = "application/octet-stream";
    size_t dot = FileName.find_last_of(".\\:");
    if (dot == std::string::npos || FileName[dot] != '.')
        return fallback;
    const std::string ext = LowerCase(std::string_view(FileName).substr(dot + 1));
    if (ext.empty())
        return fallback;
    const auto& table = SystemMimeTypes();
    auto it = table.find(ext);
    if (it == table.end() || it->second.empty())
        return fallback;
    return it->second;
}

} // namespace kel
