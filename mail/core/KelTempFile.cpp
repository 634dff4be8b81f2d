#include "mail/core/KelTempFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kel {

std::string TempDirectory() {
    const char* env = std::getenv("TMPDIR");
    std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

namespace {

// Creates the file with O_CREAT|O_EXCL and mode 0600 (mkostemp does both) and
// returns its open descriptor.
int CreateTempFile(std::string& Name) {
    std::string templ = TempDirectory() + "/kelXXXXXX";
    int fd = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0)
        throw EFileError("Cannot create a temporary file in \"" + TempDirectory() + "\": " + std::strerror(errno));
    Name = std::move(templ);
    return fd;
}

} // namespace

std::string MakeTempFileName() {
    std::string name;
    ::close(CreateTempFile(name));
    return name;
}

TTempFile::TTempFile() { FFd = CreateTempFile(FName); }

TTempFile TTempFile::Unnamed() {
    const int fd = ::open(TempDirectory().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return TTempFile(fd);
    std::string name;
    const int named = CreateTempFile(name);
    ::unlink(name.c_str());
    return TTempFile(named);
}

TTempFile::~TTempFile() { Remove(); }

TTempFile::TTempFile(TTempFile&& Other) noexcept : FName(std::move(Other.FName)), FFd(Other.FFd) {
    Other.FName.clear();
    Other.FFd = -1;
}

TTempFile& TTempFile::operator=(TTempFile&& Other) noexcept {
    if (this != &Other) {
        Remove();
        FName = std::move(Other.FName);
        FFd = Other.FFd;
        Other.FName.clear();
        Other.FFd = -1;
    }
    return *this;
}

void TTempFile::Remove() noexcept {
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
    if (!FName.empty())
        ::unlink(FName.c_str());
    FName.clear();
}

int WriteFully(int Fd, std::string_view Bytes, size_t& Written) {
    Written = 0;
    while (Written < Bytes.size()) {
        const ssize_t n = ::write(Fd, Bytes.data() + Written, Bytes.size() - Written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        Written += static_cast<size_t>(n);
    }
    return 0;
}

int ReadFully(int Fd, void* Buffer, size_t Count, size_t& Done, int64_t Offset) {
    auto* const p = static_cast<char*>(Buffer);
    Done = 0;
    while (Done < Count) {
        const ssize_t n = Offset < 0 ? ::read(Fd, p + Done, Count - Done)
                                     : ::pread(Fd, p + Done, Count - Done, static_cast<off_t>(Offset) +
                                                                               static_cast<off_t>(Done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        Done += static_cast<size_t>(n);
    }
    return 0;
}

void TTempFile::WriteAll(std::string_view Bytes) {
    if (FFd < 0)
        throw EStreamError("Stream write error: the temporary file is closed");
    size_t written = 0;
    if (const int err = WriteFully(FFd, Bytes, written))
        throw EStreamError(std::string("Stream write error: ") + std::strerror(err));
}

std::string TTempFile::ReadAll() const {
    std::string out;
    struct stat st {};
    if (FFd >= 0 && ::fstat(FFd, &st) == 0 && st.st_size > 0)
        out.reserve(static_cast<size_t>(st.st_size));
    ReadBlocks([&out](std::string_view Block) {
        out.append(Block);
        return true;
    });
    return out;
}

bool TTempFile::ReadBlocks(const std::function<bool(std::string_view)>& Sink) const {
    if (FFd < 0)
        throw EStreamError("Stream read error: the temporary file is closed");
    std::vector<char> chunk(65536);
    // Read at offsets so that the position, where the next write goes, stays.
    for (int64_t off = 0;;) {
        size_t got = 0;
        if (const int err = ReadFully(FFd, chunk.data(), chunk.size(), got, off))
            throw EStreamError(std::string("Stream read error: ") + std::strerror(err));
        if (got > 0 && !Sink(std::string_view(chunk.data(), got)))
            return false;
        if (got < chunk.size())
            return true;
        off += static_cast<int64_t>(got);
    }
}

void TTempFile::Truncate() {
    if (FFd < 0 || ::ftruncate(FFd, 0) != 0 || ::lseek(FFd, 0, SEEK_SET) != 0)
        throw EStreamError("Stream write error: cannot empty the temporary file");
}

} // namespace kel
