#include "mail/message/KelStream.h"

#include "mail/core/KelTempFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kel {

namespace {

[[noreturn]] void ThrowFileError(const std::string& What, const std::string& Name, int Err) {
    throw EFileError(What + " \"" + Name + "\": " + std::strerror(Err));
}

} // namespace

// ---- TStream ----

void TStream::ReadBuffer(void* Buffer, size_t Count) {
    auto* p = static_cast<char*>(Buffer);
    while (Count > 0) {
        size_t n = Read(p, Count);
        if (n == 0)
            throw EStreamError("Stream read error");
        p += n;
        Count -= n;
    }
}

void TStream::WriteBuffer(const void* Buffer, size_t Count) {
    auto* p = static_cast<const char*>(Buffer);
    while (Count > 0) {
        size_t n = Write(p, Count);
        if (n == 0)
            throw EStreamError("Stream write error");
        p += n;
        Count -= n;
    }
}

int64_t TStream::Size() {
    int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    int64_t end = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return end;
}

// ---- TMemoryStream ----

size_t TMemoryStream::Read(void* Buffer, size_t Count) {
    if (FPos >= FData.size())
        return 0;
    size_t n = std::min(Count, FData.size() - FPos);
    std::memcpy(Buffer, FData.data() + FPos, n);
    FPos += n;
    return n;
}

size_t TMemoryStream::Write(const void* Buffer, size_t Count) {
    if (Count == 0)
        return 0;
    if (FPos == FData.size()) {
        FData.append(static_cast<const char*>(Buffer), Count);
    } else {
        if (FPos + Count > FData.size())
            FData.resize(FPos + Count);
        std::memcpy(FData.data() + FPos, Buffer, Count);
    }
    FPos += Count;
    return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t base = 0;
    if (Origin == TSeekOrigin::soCurrent)
        base = static_cast<int64_t>(FPos);
    else if (Origin == TSeekOrigin::soEnd)
        base = static_cast<int64_t>(FData.size());
    int64_t pos = base + Offset;
    if (pos < 0)
        throw EStreamError("Seek before the start of a stream");
    FPos = static_cast<size_t>(pos);
    return pos;
}

std::string TMemoryStream::TakeBytes() {
    std::string out = std::move(FData);
    FData.clear();
    FPos = 0;
    return out;
}

void TMemoryStream::Clear() {
    FData.clear();
    FPos = 0;
}

// ---- TFileStream ----

namespace {
constexpr size_t kWriteBufferSize = 64 * 1024;
}

TFileStream::TFileStream(const std::string& FileName, TMode Mode) : FOwns(true) {
    int flags = O_CLOEXEC;
    switch (Mode) {
    case TMode::fmCreate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    case TMode::fmOpenRead:
        flags |= O_RDONLY;
        break;
    case TMode::fmOpenWrite:
        flags |= O_WRONLY;
        break;
    case TMode::fmOpenReadWrite:
        flags |= O_RDWR;
        break;
    }
    do {
        FFd = ::open(FileName.c_str(), flags, 0666);
    } while (FFd < 0 && errno == EINTR);
    if (FFd < 0)
        ThrowFileError(Mode == TMode::fmCreate ? "Cannot create file" : "Cannot open file", FileName, errno);
}

TFileStream::TFileStream(int Fd, bool Owns) : FFd(Fd), FOwns(Owns) {}

TFileStream::~TFileStream() {
    try {
        Flush();
    } catch (...) {
        // A destructor cannot report it; callers that care call Flush first.
    }
    if (FOwns && FFd >= 0)
        ::close(FFd);
}

void TFileStream::Flush() {
    size_t written = 0;
    if (const int err = WriteFully(FFd, FPending, written)) {
        // Keep what did not reach the file, so a later Flush can retry it.
        FPending.erase(0, written);
        throw EStreamError(std::string("Stream write error: ") + std::strerror(err));
    }
    FPending.clear();
}

size_t TFileStream::Read(void* Buffer, size_t Count) {
    Flush();
    size_t done = 0;
    if (const int err = ReadFully(FFd, Buffer, Count, done))
        throw EStreamError(std::string("Stream read error: ") + std::strerror(err));
    return done;
}

size_t TFileStream::Write(const void* Buffer, size_t Count) {
    if (FPending.size() + Count > kWriteBufferSize) {
        Flush();
        if (Count >= kWriteBufferSize) {
            FPending.assign(static_cast<const char*>(Buffer), Count);
            Flush();
            return Count;
        }
    }
    FPending.append(static_cast<const char*>(Buffer), Count);
    return Count;
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    Flush();
    int whence = Origin == TSeekOrigin::soBeginning ? SEEK_SET : Origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
    off_t pos = ::lseek(FFd, static_cast<off_t>(Offset), whence);
    if (pos < 0)
        throw EStreamError(std::string("Stream seek error: ") + std::strerror(errno));
    return static_cast<int64_t>(pos);
}

int64_t TFileStream::Size() {
    Flush();
    struct stat st {};
    if (::fstat(FFd, &st) != 0)
        throw EStreamError(std::string("Stream size error: ") + std::strerror(errno));
    return static_cast<int64_t>(st.st_size);
}

} // namespace kel
