// Ways to make saving a file fail the way a real disk does, for the tests
// of everything that saves.
#pragma once

#include <QFile>
#include <QString>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sweepbox::test {

// A device that is always full, at Path: a node of the system's full device
// where the system lets us make one (as root), else a link to it. Empty when
// neither works.
inline QString FullDevice(const QString& Path) {
    struct stat full {};
    if (::stat("/dev/full", &full) != 0 || !S_ISCHR(full.st_mode))
        return QString();
    const QByteArray name = QFile::encodeName(Path);
    if (::mknod(name.constData(), S_IFCHR | 0600, full.st_rdev) == 0) {
        // A folder mounted without devices refuses to open it.
        const int fd = ::open(name.constData(), O_WRONLY);
        const bool works = fd >= 0 && ::write(fd, "x", 1) < 0 && errno == ENOSPC;
        if (fd >= 0)
            ::close(fd);
        if (works)
            return Path;
        ::unlink(name.constData());
    }
    return QFile::link(QStringLiteral("/dev/full"), Path) ? Path : QString();
}

// While it lives, no file of this process grows past Bytes: a write that
// would fails with EFBIG instead of ending the process.
class TFileSizeLimit {
  public:
    explicit TFileSizeLimit(rlim_t Bytes) {
        ::getrlimit(RLIMIT_FSIZE, &FSaved);
        FHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = FSaved;
        small.rlim_cur = Bytes;
        ::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~TFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &FSaved);
        std::signal(SIGXFSZ, FHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

  private:
    rlimit FSaved{};
    void (*FHandler)(int) = nullptr;
};

} // namespace sweepbox::test
