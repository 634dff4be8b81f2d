#include "app/core/SaveFile.h"

#include "mail/core/KelTempFile.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sweepbox {

TAtomicFile::TAtomicFile(const QString& Path) : File_(Path) {
    // Never straight into the target: that would give up the guarantee.
    File_.setDirectWriteFallback(false);
}

TAtomicFile::~TAtomicFile() {
    if (File_.isOpen())
        File_.cancelWriting();
}

bool TAtomicFile::Open() {
    return File_.open(QIODevice::WriteOnly);
}

bool TAtomicFile::Write(std::string_view Bytes) {
    const char* data = Bytes.data();
    auto size = static_cast<qint64>(Bytes.size());
    while (size > 0) {
        errno = 0;
        const qint64 n = File_.write(data, size);
        if (n <= 0) {
            KeepReason();
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

void TAtomicFile::KeepReason() {
    // The file's own text can miss the system's reason (a write cut short
    // at a file size limit reads "Unknown error"); taken before Cancel
    // replaces it with its own.
    Reason_ = errno != 0 ? qt_error_string(errno) : File_.errorString();
}

bool TAtomicFile::Commit() {
    // Small pieces wait in the file's buffer. Writing them out is part of
    // commit, but a failure there goes unnoticed and would put a short file
    // in place of Path: they are written out first.
    errno = 0;
    if (!File_.flush()) {
        KeepReason();
        File_.cancelWriting();
        return false;
    }
    return File_.commit();
}

void TAtomicFile::Cancel() {
    if (File_.isOpen())
        File_.cancelWriting();
}

namespace {

bool SaveAtomically(const QString& Path, const TProduceBytes& Produce, QString& Reason) {
    TAtomicFile file(Path);
    if (!file.Open()) {
        Reason = file.Reason();
        return false;
    }
    if (!Produce([&file](std::string_view Bytes) { return file.Write(Bytes); })) {
        Reason = file.Reason();
        file.Cancel();
        return false;
    }
    if (!file.Commit()) {
        Reason = file.Reason();
        return false;
    }
    return true;
}

// Opened without waiting (a serial line would wait for its carrier), then
// written normally.
bool WriteInPlace(const QString& Path, const TProduceBytes& Produce, QString& Reason) {
    const QByteArray name = QFile::encodeName(Path);
    const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        Reason = qt_error_string(errno);
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    int error = 0;
    const bool written = Produce([&](std::string_view Bytes) {
        size_t done = 0;
        error = kel::WriteFully(fd, Bytes, done);
        return error == 0;
    });
    if (::close(fd) != 0 && written && error == 0)
        error = errno;
    if (!written || error != 0) {
        Reason = qt_error_string(error != 0 ? error : EIO);
        return false;
    }
    return true;
}

} // namespace

TSaveResult SaveBytes(const QString& Path, const TProduceBytes& Produce, QString& Reason) {
    struct stat target {};
    if (::stat(QFile::encodeName(Path).constData(), &target) != 0 || S_ISREG(target.st_mode) ||
        S_ISDIR(target.st_mode))
        return SaveAtomically(Path, Produce, Reason) ? TSaveResult::Saved : TSaveResult::Failed;
    // A pipe without a reader would block, one whose reader left would end
    // the program, and a disk is no place for one message.
    if (!S_ISCHR(target.st_mode))
        return TSaveResult::NotAFile;
    return WriteInPlace(Path, Produce, Reason) ? TSaveResult::Saved : TSaveResult::Failed;
}

} // namespace sweepbox
