// Byte streams: the interface the message parts are written through, and
// its memory and file forms.
#pragma once

#include "mail/core/KelBase.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kel {

class TBase64DecodingStream;

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

} // namespace kel
