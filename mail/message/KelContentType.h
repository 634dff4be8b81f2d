// The content type of an attachment, from the system's table of file name
// extensions.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace kel {

// ---- content types ----

// The content type registered for the extension of FileName (the part from
// its last "." after the last "\" or ":"), looked up case-insensitively in
// /etc/mime.types (read once); "application/octet-stream" when none is.
std::string ContentTypeOfFile(const std::string& FileName);

// Reads a table in the format of /etc/mime.types ("type ext ext ...", "#"
// comments) into Table, keyed by lower-case extension without its dot. The
// first type given for an extension wins.
void ParseMimeTypesTable(std::string_view Text, std::unordered_map<std::string, std::string>& Table);

} // namespace kel
