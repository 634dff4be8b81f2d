// Text lists: the lines of a text without their line ends, and the text
// again from its lines.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// A text list is a std::vector<std::string> of lines without line ends.

// Every line followed by CR LF ("" for no lines).
std::string JoinLines(const std::vector<std::string>& Lines);
std::string JoinLines(std::span<const std::string> Lines);
// Appends the joined form of Lines to Out.
void AppendJoined(std::string& Out, std::span<const std::string> Lines);
// The same for lines held as views (into a received text, say).
std::string JoinLines(std::span<const std::string_view> Lines);
void AppendJoined(std::string& Out, std::span<const std::string_view> Lines);

// Appends the lines of Text to Out: split at CR LF, a lone CR or a lone LF,
// every other byte (NUL included) kept. A line end at the very end of the
// text does not start another (empty) line.
void AppendSplitLines(std::vector<std::string>& Out, std::string_view Text);
// Appends the lines of Text to Out as views into Text, copying nothing.
void AppendSplitLines(std::vector<std::string_view>& Out, std::string_view Text);

// The lines of Text as AppendSplitLines splits them: a NUL is a byte like
// any other, and what follows it is never lost.
std::vector<std::string> SplitLines(std::string_view Text);

// The same rules one byte at a time, with no vector instructions and no
// counting pass: the yardstick that the fast paths of AppendSplitLines, which
// depend on the processor, are checked against.
void AppendSplitLinesPlain(std::vector<std::string_view>& Out, std::string_view Text);

} // namespace kel
