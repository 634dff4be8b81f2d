#include "app/core/SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sweepbox {

bool MakePrivate(const QString& File) {
    const QFileInfo info(File);
    const QString folder = info.absolutePath();
    // The folders above belong to the desktop (~/.config): they are made as
    // the store would make them, and left as they are.
    if (!QDir().mkpath(QFileInfo(folder).absolutePath()))
        return false;
    const QByteArray folderName = QFile::encodeName(folder);
    // Made 0700 at once, so the file is never even listed to others; the
    // umask cannot widen this, but may narrow it, which chmod undoes.
    if (::mkdir(folderName.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    if (::chmod(folderName.constData(), 0700) != 0)
        return false;
    // Read-only: the file is not changed, and one that is already read-only
    // can still be opened and given its mode.
    const int fd = ::open(QFile::encodeName(info.absoluteFilePath()).constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool ok = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    return ok;
}

} // namespace sweepbox
