// The transfer encodings of message bodies and encoded words: Base64 (in
// one piece, in pieces and as a stream) and quoted-printable.
#pragma once

#include "mail/message/KelStream.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kel {

// ---- Base64 ----

// The Base64 decoding state on its own, for callers that append decoded
// bytes straight to a string. CR and LF are skipped; every other byte joins
// the current group of four; a group with "=" in its third or fourth place
// gives two or one bytes, one beginning with "=" gives none, and decoding goes
// on after a pad. Bytes outside the alphabet take part with the value 99.
// Characters of an incomplete group wait for the next call.
class TBase64Decoder {
  public:
    // Appends the decoded bytes to Out and returns how many were appended.
    size_t Decode(const char* Data, size_t Count, std::string& Out);
    size_t Decode(std::string_view Data, std::string& Out) { return Decode(Data.data(), Data.size(), Out); }
    // Writes the decoded bytes to Out, which must have room for
    // MaxDecodedSize(Count) bytes (the bytes past the returned count are
    // scratch), and returns how many were decoded.
    size_t DecodeTo(const char* Data, size_t Count, char* Out);
    // Room DecodeTo needs for Count more characters.
    size_t MaxDecodedSize(size_t Count) const { return (Count + static_cast<size_t>(FGroupCount)) / 4 * 3 + 3; }
    // Characters waiting for their group (0 to 3).
    int Pending() const { return FGroupCount; }
    // Drops the waiting characters.
    void Reset() { FGroupCount = 0; }

  private:
    unsigned char FGroup[4] = {};
    int FGroupCount = 0;
};

// Decodes everything in one piece (an incomplete last group is dropped).
std::string DecodeBase64(std::string_view Data);

// The same rules a character at a time, with no tables of shifted values and
// no vector instructions: the yardstick that the fast paths of
// TBase64Decoder, which depend on the processor, are checked against.
std::string DecodeBase64Plain(std::string_view Data);

// A write-only stream that decodes Base64 written to it, in pieces of any
// size, and writes the bytes to Output (not owned). Write returns the number
// of bytes written to Output during that write. Read and Seek raise
// EStreamError("Invalid stream operation"). Characters still waiting for
// their group when the stream goes away are dropped.
class TBase64DecodingStream : public TStream {
  public:
    explicit TBase64DecodingStream(TStream& Output)
        : FOutput(Output), FMemOutput(dynamic_cast<TMemoryStream*>(&Output)) {}

    using TStream::Write;
    size_t Read(void* Buffer, size_t Count) override;
    size_t Write(const void* Buffer, size_t Count) override;
    // One Write; never fails for a short result (decoding shrinks the data).
    void WriteBuffer(const void* Buffer, size_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;

  private:
    TStream& FOutput;
    TMemoryStream* FMemOutput; // Output when it is a memory stream
    TBase64Decoder FDecoder;
    std::string FBuffer; // decoded bytes of the current write
};

// ---- quoted-printable ----

// Decodes quoted-printable text and the Q form of encoded words: "_" gives a
// blank, "=XX" the byte XX (64 when XX is not hex), "=" before a line end is
// a soft break, "=" with fewer than two characters after it ends the text.
// Every other byte, NUL included, is copied.
std::string DecodeQuotedPrintable(std::string_view Text);

} // namespace kel
