// Summary rows of the message list: date, sender and subject picked out of a
// message's header text by plain text search, and a byte count shown with a
// unit. Pure functions over the bytes the server sent; no Qt, no state, so
// the main window and the tests share them. The row stays bytes: the list
// converts it for display.
#pragma once

#include <string>

namespace summary {

// "date|sender|subject|" from the header text returned for TOP n 0. Fixed
// windows after the first match of "Date:", "From:" and "Subject:" (exact
// case); IsGerman picks the fallback texts.
std::string filter(const std::string& H, bool IsGerman);

// A size in bytes as decimal text, shown as "n Byte", "n KByte" (1000 bytes,
// rounded half up) or "n.n MByte" (1,000,000 bytes, one decimal). Empty text
// stays empty.
std::string DisplaySize(const std::string& S);

// " n |size |date|sender|subject|" for message n.
std::string Row(int n, const std::string& SizeText, const std::string& Filtered);

// " n | - | - | - | - |" for message n when only the count is listed.
std::string PlaceholderRow(int n);

} // namespace summary
