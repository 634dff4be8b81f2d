// How the program shows itself to the desktop: the id that names its desktop
// entry, metadata and icons, and its icon.
#pragma once

#include <QIcon>
#include <QLatin1StringView>

namespace sweepbox {

// SWEEPBOX_APP_ID from the build (CMakeLists.txt), the name of the files in
// data/ that the desktop reads.
inline constexpr QLatin1StringView kDesktopId(SWEEPBOX_APP_ID);

// The sizes of the icon built into the program (":/icons/sweepbox-<size>.png").
inline constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// The icon the icon theme has under kDesktopId (where the program is
// installed or a theme draws it), else the built-in one.
QIcon ProgramIcon();

} // namespace sweepbox
