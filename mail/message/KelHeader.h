// The header lines of a message or an entity: finding a field, reading its
// value and parameters, skipping the header, encoded words and mailboxes.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// Finds the header field whose line begins with Key (upper case, with its
// colon, e.g. "SUBJECT:"), looking past empty lines at the top and up to the
// first empty line after them. Continuation lines (beginning with blank or
// tab) are trimmed and appended with nothing in between. FieldLine is left
// unchanged when nothing is found.
bool FindHeader(const std::string& Key, const std::vector<std::string>& Lines, std::string& FieldLine);
bool FindHeader(const std::string& Key, std::span<const std::string> Lines, std::string& FieldLine);
bool FindHeader(const std::string& Key, std::span<const std::string_view> Lines, std::string& FieldLine);

// The text after the first occurrence of Key in the upper-case Line, trimmed
// and cut before its first ";" (trimmed again); empty when Key is absent. The
// case of the value is kept.
std::string GetHeaderValue(const std::string& Key, const std::string& Line);

// The value of the parameter Name (any case) of a structured header field,
// Field being the whole unfolded line ("Content-Type: a/b; name=x"), read as
// RFC 2045 and RFC 2231 write it: blanks around "=", a quoted string with
// backslash escapes, or a token (up to ";", trimmed, single quotes around it
// dropped, as old mailers write them). The RFC 2231 forms (name*, and the
// pieces name*0, name*1*, ... joined in numeric order whatever order they
// come in, the first of a repeated number kept) win over the plain one;
// their percent escapes are decoded and the charset'language' prefix of the
// first piece names the charset they are converted from (CharsetToUtf8). A
// plain value has its encoded words decoded (DecodeNameWords). False, Value
// untouched, when the parameter is absent. Pieces past kMaxParameterPieces
// and values past kMaxParameterBytes are dropped, so a field of a million
// pieces costs one pass and bounded memory.
constexpr size_t kMaxParameterPieces = 1024;
constexpr size_t kMaxParameterBytes = 64 * 1024;
bool GetHeaderParameter(std::string_view Field, std::string_view Name, std::string& Value);

// Bytes of the named charset as UTF-8. UTF-8 and charsets not known here
// keep their bytes; US-ASCII, ISO-8859-1 and Windows-1252 are read as
// Windows-1252 (as mail readers do: the labels are used interchangeably).
std::string CharsetToUtf8(std::string_view Bytes, std::string_view Charset);

// The encoded words of a file name decoded and converted to UTF-8 (see
// CharsetToUtf8), the blanks between two adjacent words dropped; a word that
// is not well-formed stays as written. Unlike DecodeEncodedWords, decoded
// text is not looked at again.
std::string DecodeNameWords(std::string_view Text);

// Removes the header lines (up to the first blank line) and the blank lines
// after them. SkipHeaderPos gives the index of the first line that would
// remain, so that callers can work on a view instead of erasing.
void SkipHeader(std::vector<std::string>& Lines);
size_t SkipHeaderPos(std::span<const std::string> Lines);
size_t SkipHeaderPos(std::span<const std::string_view> Lines);

// The delimiter line ("--" + boundary) of a multipart body from its
// Content-Type field line. Only 72 characters after "BOUNDARY" are read.
std::string GetBoundary(const std::string& Line);

// Decodes every RFC 2047 encoded word (Q and B forms, charset ignored) in
// Text; decoded text that forms an encoded word again is decoded again.
// Bytes in, bytes out: the message model keeps what it received and knows no
// charsets, so a decoded word stays in the charset it declared and a
// malformed word is decoded as far as it goes. The list shows header fields
// through a second decoder, DecodeHeaderText in app/TextCodec.cpp, which reads
// the received field itself, converts each word from its charset, drops the
// blanks between adjacent words and leaves a malformed word as written. The
// two agree on which text is an encoded word for well-formed words; this one
// serves the fields and attachment names the model hands out as bytes.
std::string DecodeEncodedWords(const std::string& Text);

// The address of a mailbox ("Name <a@b>", "a@b (Comment)"), comments
// removed; between "<" and ">" when Bracket.
std::string ExtractAddress(const std::string& Mailbox, bool Bracket);

// The display name of a mailbox (a comment counts as the name); quotes and
// apostrophes removed; between double quotes when Quote.
std::string ExtractDisplayName(const std::string& Mailbox, bool Quote);

// Normalises a comma-separated address list to entries "name" <address>,
// joined by ", ". Quoted strings are dropped first.
std::string FormatAddressList(const std::string& List);

} // namespace kel
