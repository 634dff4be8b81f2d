// The one place where message bytes become screen text. The mail library keeps
// every byte it received; only the windows convert, and only for display.
#pragma once

#include <QString>

#include <string>
#include <vector>

// Text of bytes for the screen: valid UTF-8 shows as UTF-8, anything else as
// Windows-1252 (which never fails: every byte maps to one character).
QString DisplayText(const std::string& bytes);

// Windows-1252 decoding on its own, without the UTF-8 attempt.
QString FromWindows1252(const std::string& bytes);

// Lines of a text: a line ends at CR LF, at a lone CR or at a lone LF; a NUL
// ends the whole text. A final line end does not start another (empty) line.
std::vector<std::string> SplitTextLines(const std::string& text);

// The lines for a plain-text widget: each line converted by DisplayText, joined
// with '\n'. A line is converted on its own, so one line in Windows-1252 does
// not change how its UTF-8 neighbours show.
QString DisplayLines(const std::vector<std::string>& lines);
