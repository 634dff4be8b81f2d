// Summary rows of the message list: date, sender and subject read from a
// message's header fields, and a byte count shown with a unit. Pure
// functions over the bytes the server sent; no Qt, no state, so the main
// window and the tests share them. The row stays bytes: the list converts it
// for display.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace summary {

// The value of the header field Name in the header text H: the first header
// line that starts with Name (any case) and a colon, at the start of H or
// right after a CR LF, before the empty line that ends the header; its
// continuation lines unfolded, trimmed. Found tells whether a line had it.
std::string FieldValue(std::string_view H, std::string_view Name, bool* Found = nullptr);

// A date as RFC 5322 writes it (with or without the weekday, a one- or
// two-digit day, the obsolete two- and three-digit years, zone names and
// comments), as written and as seconds since 1970 in UTC.
struct TDate {
    int Year = 0, Month = 0, Day = 0; // Month 1..12
    int64_t Utc = 0;
};
bool ParseDate(std::string_view Value, TDate& Date);
// "06 Mar 2000".
std::string DateText(const TDate& Date);

// The three fields of a header as filter shows them, before the bars are
// replaced: date ("dd Mon yyyy", the value's first characters when it is no
// date, or the fallback), sender (the raw value or the fallback), subject
// (the raw value, the fallback when the field is empty, empty when absent).
struct TFields {
    std::string Date, Sender, Subject;
    bool SenderGiven = false; // Sender is the From field, not the fallback text
    bool DateParsed = false;
    TDate When;
};
TFields Fields(std::string_view H, bool IsGerman);

// "date|sender|subject|" from the header text returned for TOP n 0, each
// from its own field (see Fields); a "|" inside a value is shown as "/".
// IsGerman picks the fallback texts.
std::string filter(const std::string& H, bool IsGerman);

// A size in bytes as decimal text, shown as "n Byte", "n KByte" (1000 bytes,
// rounded half up) or "n.n MByte" (1,000,000 bytes, one decimal). Empty text
// stays empty.
std::string DisplaySize(const std::string& S);

// The size text S (as DisplaySize reads it) less Bytes, as decimal text; "0"
// where Bytes is more than S (a server whose LIST and STAT disagree), empty
// when S gives no size.
std::string SizeLess(const std::string& S, uint64_t Bytes);

// " n |size |date|sender|subject|" for message n.
std::string Row(int n, const std::string& SizeText, const std::string& Filtered);

// " n | - | - | - | - |" for message n when only the count is listed.
std::string PlaceholderRow(int n);

} // namespace summary
