// Temporary files, and the whole-buffer reads and writes on a descriptor
// that they and the file streams share.
#pragma once

#include "mail/core/KelBase.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kel {

// Writes all of Bytes to Fd, retrying after interruptions. Returns 0, or the
// error number of the failing write (EIO when it wrote nothing); Written
// then tells how many bytes did reach the file.
int WriteFully(int Fd, std::string_view Bytes, size_t& Written);

// Reads until Count bytes are in Buffer or the file ends, retrying after
// interruptions. With an Offset of 0 or more it reads from there and leaves
// the descriptor's position alone; with -1 it reads from the position.
// Returns 0, or the error number of the failing read; Done then tells how
// many bytes did arrive.
int ReadFully(int Fd, void* Buffer, size_t Count, size_t& Done, int64_t Offset = -1);

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
    // The same in blocks handed to Sink, so a large file is never held
    // whole; true at the end, false as soon as Sink returns false. Throws
    // EStreamError when a read fails.
    bool ReadBlocks(const std::function<bool(std::string_view)>& Sink) const;
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
