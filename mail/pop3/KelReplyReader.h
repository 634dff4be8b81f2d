// TReplyReader: splits the bytes a POP3 server sends into replies. Bytes go
// in as they were received, in pieces of any size; replies come out whole,
// the same whatever the pieces were; whatever follows the end of a reply
// stays for the next one. The stream is the protocol, not the receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kel {

class TReplyReader {
  public:
    // The longest line (without its CR LF) a single-line reply may have.
    static constexpr size_t kMaxLine = 64 * 1024;

    enum class TStep {
        More,   // the reply is not complete yet: feed more
        Done,   // the reply (or the data of a multi-line one) has been taken
        TooLong // past its bound; the reader holds nothing usable any more
    };

    // Bytes received from the server. Untrusted: any value, NUL included.
    void Feed(std::string_view Bytes);
    // Forgets the bytes held and any reply under way (a new connection).
    void Reset();
    // The bytes received and not taken yet.
    std::string_view Pending() const { return std::string_view(FBuf).substr(FPos); }

    // A single-line reply, or the status line of a multi-line one: the next
    // line ends at CR LF (a lone CR or LF does not end it). Line gets it
    // without its CR LF. TooLong: the line has more than kMaxLine bytes.
    TStep TakeLine(std::string& Line);

    // The data of a multi-line reply follows the status line just taken.
    // Unstuff: a "." that begins a line and is not all of it is dropped,
    // where a line begins after CR LF, a lone CR or a lone LF, as text lists
    // split. Limit bounds DataBytes().
    void BeginData(bool Unstuff, uint64_t Limit);
    // Appends the data that has arrived to Out, without the terminator line
    // "." (the CR LF before it ends the last line and is kept). Done once
    // CR LF "." CR LF has been taken; a "." at the very start counts as
    // after a CR LF, the status line's. Bytes that may still turn out to
    // begin the terminator, or a stuffed dot, stay back until the next
    // Feed. TooLong: DataBytes() passed the limit.
    TStep TakeData(std::string& Out);
    // Feed, then TakeData; the same result, but bytes that need not wait
    // are taken without being copied into the reader first.
    TStep FeedData(std::string_view Bytes, std::string& Out);
    // Data bytes taken so far as they arrived: stuffed dots and, once
    // Done, the terminator line included.
    uint64_t DataBytes() const { return FDataBytes; }

  private:
    // Takes data from [b, e) into Out as TakeData describes; returns how
    // many bytes it took and sets Done when they end with the terminator.
    size_t ScanData(const char* b, const char* e, std::string& Out, bool& Done);
    TStep Counted(size_t Taken, bool Done);

    std::string FBuf;
    size_t FPos = 0;      // FBuf before this is taken
    size_t FLineScan = 0; // no CR LF starts in FBuf before this
    bool FUnstuff = false;
    uint64_t FLimit = 0;
    uint64_t FDataBytes = 0;
    // The two data bytes before FBuf[FPos], the one right before last.
    char FBefore1 = '\n', FBefore2 = '\r';
};

} // namespace kel
