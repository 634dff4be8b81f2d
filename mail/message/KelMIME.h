// Byte streams, the Base64 decoding stream, quoted-printable decoding and the
// content type registered for a file name.
#pragma once

#include "kel_util.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kel {

// ---- streams ----

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A byte stream with a position. Read and Write return how many bytes they
// moved (possibly fewer than asked); ReadBuffer and WriteBuffer move all or
// throw EStreamError.
class TStream : public TObject {
  public:
    virtual size_t Read(void* Buffer, size_t Count) = 0;
    virtual size_t Write(const void* Buffer, size_t Count) = 0;
    // Returns the new position.
    virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;

    size_t Write(std::string_view Bytes) { return Write(Bytes.data(), Bytes.size()); }
    void ReadBuffer(void* Buffer, size_t Count);
    virtual void WriteBuffer(const void* Buffer, size_t Count);
    void WriteBuffer(std::string_view Bytes) { WriteBuffer(Bytes.data(), Bytes.size()); }

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }
    // Size by seeking to the end and back.
    virtual int64_t Size();
};

// Bytes held in memory; writes past the end extend it.
class TMemoryStream : public TStream {
  public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string Bytes) : FData(std::move(Bytes)) {}

    using TStream::Write;
    size_t Read(void* Buffer, size_t Count) override;
    size_t Write(const void* Buffer, size_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }

    // The content. Changing it through the non-const form is allowed; the
    // position is not adjusted (reads past the end return nothing).
    const std::string& Bytes() const { return FData; }
    std::string& Bytes() { return FData; }
    // Moves the content out and leaves the stream empty at position 0.
    std::string TakeBytes();
    void Clear();

  private:
    friend class TBase64DecodingStream; // appends in place, without a copy
    std::string FData;
    size_t FPos = 0;
};

// A file on a POSIX descriptor. Writes are collected in a buffer (flushed by
// Flush, Read, Seek, Size and the destructor) so that many small writes do
// not each cost a system call. Call Flush to see a write error: the
// destructor cannot report one.
class TFileStream : public TStream {
  public:
    enum class TMode {
        fmCreate,        // create or replace, read and write
        fmOpenRead,      // existing file, read only
        fmOpenWrite,     // existing file, write only
        fmOpenReadWrite, // existing file, read and write
    };
    // Throws EFileError naming the file and the reason.
    TFileStream(const std::string& FileName, TMode Mode);
    // Works on an open descriptor; closes it at the end only when Owns.
    TFileStream(int Fd, bool Owns);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    using TStream::Write;
    size_t Read(void* Buffer, size_t Count) override;
    size_t Write(const void* Buffer, size_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;
    // Writes out the buffered bytes; throws EStreamError on failure.
    void Flush();
    int Handle() const { return FFd; }

  private:
    int FFd = -1;
    bool FOwns = false;
    std::string FPending;
};

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
// The input ends at its first NUL, and so does the result.
std::string DecodeQuotedPrintable(std::string_view Text);

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
