// Text helpers on bytes: trimming, ASCII case, integer conversion, hex
// digits and the small edits that header and address code needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kel {

// Removes every leading and trailing character whose code is 32 or below.
std::string Trim(const std::string& s);
std::string_view TrimView(std::string_view s);

// True when s is empty after trimming.
bool IsBlank(std::string_view s);

// ASCII-only case mapping: bytes >= 128 are left alone, as header keys and
// MIME keywords are ASCII, and a locale must not change how they compare.
constexpr char UpperChar(char C) { return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C; }
constexpr char LowerChar(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);

// True when A and B are equal but for ASCII case.
bool SameText(std::string_view A, std::string_view B);

// True when the upper-case form of Text begins with Key (Key is upper case).
bool StartsWithUpper(std::string_view Text, std::string_view Key);

// Position of upper-case Key in the upper-case form of Text, or npos.
size_t FindUpper(std::string_view Text, std::string_view Key);

// Converts text to a 32-bit signed integer: optional leading spaces, then an
// optional sign and decimal digits, or one of "$", "x", "X", "0x", "0X" and
// hex digits; nothing after them. Anything else yields Default.
int32_t StrToIntDef(const std::string& s, int32_t Default);

// The value 0..15 of a hex digit (either case), -1 for any other character.
constexpr int HexDigitValue(char C) {
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    return -1;
}

// True when s has the shape n.n.n.n with every n converting to 0..255.
bool IsDottedAddress(const std::string& s);

// The n-th blank-separated word of text as an integer, or Default.
int32_t NthWordAsInt(const std::string& text, int n, int32_t Default);

// Text with every occurrence of C removed.
std::string RemoveChar(const std::string& Text, char C);

// Removes one leading and (independently) one trailing double quote or
// apostrophe.
std::string StripQuotes(const std::string& Text);

} // namespace kel
