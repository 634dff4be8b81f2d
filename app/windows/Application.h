// Creation of the program's windows in the order of the program entry:
// the main window, then the about, header and message windows. Used by
// main() and by tests that need the whole set.
#pragma once

namespace sweepbox {

// Creates the four windows (none is shown) and sets the globals Form1,
// AboutBox, Form2 and Form3. The three dialogs are children of the main
// window and live as long as it does.
void CreateApplicationWindows();

// Destroys the windows and clears the globals; safe to call twice.
void DestroyApplicationWindows();

} // namespace sweepbox
