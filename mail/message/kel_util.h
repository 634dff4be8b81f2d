// Small shared helpers of the mail library: integer conversion, trimming,
// address tests, the event types of the POP3 component, text lists, the
// header and address helpers used by message parsing, and temporary files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// Common base of every object that can be the sender of an event, so that a
// handler can tell the component from its transport by pointer.
class TObject {
  public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TOnError = std::function<void(TObject* Sender, int32_t Error, const std::string& Msg)>;
using TOnCodeProgressEvent = std::function<void(TObject* Sender, uint16_t Percent)>;

// ---- exceptions ----

// General error of the library; its what() is the text shown to the user.
class Exception : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Misuse of a stream or a failed stream transfer ("Invalid stream operation").
class EStreamError : public Exception {
  public:
    using Exception::Exception;
};

// A file (temporary or named) that could not be created or opened; the text
// names the file and the system's reason.
class EFileError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};

// ---- small text utilities ----

// Removes every leading and trailing character whose code is 32 or below.
std::string Trim(const std::string& s);
std::string_view TrimView(std::string_view s);

// True when s is empty after trimming.
bool IsBlank(std::string_view s);

// ASCII-only case mapping: bytes >= 128 are left alone, as header keys and
// MIME keywords are ASCII.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);

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

// ---- text lists ----
// A text list is a std::vector<std::string> of lines without line ends.

// Every line followed by CR LF ("" for no lines).
std::string JoinLines(const std::vector<std::string>& Lines);
std::string JoinLines(std::span<const std::string> Lines);
// Appends the joined form of Lines to Out.
void AppendJoined(std::string& Out, std::span<const std::string> Lines);
// The same for lines held as views (into a received text, say).
std::string JoinLines(std::span<const std::string_view> Lines);
void AppendJoined(std::string& Out, std::span<const std::string_view> Lines);

// Splits at CR LF, a lone CR or a lone LF; a NUL ends the whole text. A line
// end at the very end of the text does not start another (empty) line.
std::vector<std::string> SplitLines(std::string_view Text);
// Appends the lines of Text to Out (same rules as SplitLines).
void AppendSplitLines(std::vector<std::string>& Out, std::string_view Text);
// Appends the lines of Text to Out as views into Text, copying nothing.
void AppendSplitLines(std::vector<std::string_view>& Out, std::string_view Text);

// ---- header and address helpers (message parsing) ----

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

// Text with every occurrence of C removed.
std::string RemoveChar(const std::string& Text, char C);

// Removes one leading and (independently) one trailing double quote or
// apostrophe.
std::string StripQuotes(const std::string& Text);

// ---- temporary files ----

// Writes all of Bytes to Fd, retrying after interruptions. Returns 0, or the
// error number of the failing write (EIO when it wrote nothing); Written
// then tells how many bytes did reach the file.
int WriteFully(int Fd, std::string_view Bytes, size_t& Written);

// The system's temporary directory: $TMPDIR when it is set and not empty,
// else "/tmp"; without a trailing slash.
std::string TempDirectory();

// Creates a new, empty file with a unique name beginning with "kel" in the
// temporary directory, exclusively (O_CREAT|O_EXCL) and readable only by the
// user (0600), and returns its name. The file stays: it is the caller's to
// use and to delete. Throws EFileError when no file can be created.
// Prefer TTempFile, which also removes the file.
std::string MakeTempFileName();

// A temporary file as above, open for reading and writing, removed (and
// closed) when the object goes away on any path, exceptions included.
class TTempFile {
  public:
    TTempFile(); // throws EFileError
    // A file without a name from the start (or from right after its
    // creation where the file system cannot do that): nothing is left
    // behind even when the process is killed. Name() is empty.
    static TTempFile Unnamed(); // throws EFileError
    ~TTempFile();
    TTempFile(TTempFile&& Other) noexcept;
    TTempFile& operator=(TTempFile&& Other) noexcept;
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;

    const std::string& Name() const { return FName; }
    // Descriptor open O_RDWR; owned by this object, do not close it.
    int Fd() const { return FFd; }

    // Appends/writes all bytes at the descriptor's position; throws
    // EStreamError on failure (disk full and so on).
    void WriteAll(std::string_view Bytes);
    // The whole content from the first byte, whatever the position.
    std::string ReadAll() const;
    // Empties the file and puts the position at its start.
    void Truncate();
    // Closes and deletes the file now (also done by the destructor).
    void Remove() noexcept;

  private:
    explicit TTempFile(int Fd) : FFd(Fd) {}
    std::string FName;
    int FFd = -1;
};

} // namespace kel
