#include "app/windows/Desktop.h"

#include <QString>

// The resource lives in this static library; naming its initialiser here
// keeps the linker from dropping it. Q_INIT_RESOURCE cannot be used inside a
// namespace.
static void InitIconResource() {
    Q_INIT_RESOURCE(icons);
}

namespace sweepbox {

QIcon ProgramIcon() {
    InitIconResource();
    QIcon builtIn;
    for (const int size : kIconSizes)
        builtIn.addFile(QStringLiteral(":/icons/sweepbox-%1.png").arg(size), QSize(size, size));
    return QIcon::fromTheme(QString(kDesktopId), builtIn);
}

} // namespace sweepbox
