// How the program shows itself to the desktop: the id that names its desktop
// entry, metadata and icons, and its icon.
#pragma once

#include <QIcon>
#include <QLatin1StringView>

#include <iterator>

class QWidget;

namespace sweepbox {

// SWEEPBOX_APP_ID from the build (CMakeLists.txt), the name of the files in
// data/ that the desktop reads.
inline constexpr QLatin1StringView kDesktopId(SWEEPBOX_APP_ID);

// The sizes of the icon built into the program (":/icons/sweepbox-<size>.png").
inline constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// The icon built into the program, in the sizes of kIconSizes up to
// LargestSize (every size by default). Each size is decoded here.
QIcon BuiltInIcon(int LargestSize = kIconSizes[std::size(kIconSizes) - 1]);

// The largest size of the icon the main window starts with: the sizes a
// task bar or a title bar shows. The rest costs more to decode than all of
// these together and comes with UseProgramIcon's second step.
inline constexpr int kStartIconSize = 48;

// The icon the icon theme has under kDesktopId (where the program is
// installed or a theme draws it), else the built-in one. The first look
// into the icon theme reads the theme's index, which costs a bare window's
// start-up time a second time over; see UseProgramIcon.
QIcon ProgramIcon();

// Gives the program (QApplication::windowIcon) the built-in icon up to
// kStartIconSize now and, once Window has painted itself the first time,
// ProgramIcon(): the theme is looked into and the large sizes are decoded
// only after the window is up. Nothing more when Window goes before it is
// painted.
void UseProgramIcon(QWidget* Window);

} // namespace sweepbox
