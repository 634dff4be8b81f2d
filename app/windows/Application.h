// Creation of the program's windows: the main window at once, the about,
// header and message windows when they are first reached. Used by main() and
// by tests that need the whole set.
#pragma once

namespace sweepbox {

// Creates the main window (not shown) and sets the global Form1. The globals
// AboutBox, Form2 and Form3 make their window the first time they are
// reached, as a child of the main window with its language; the windows are
// modal over it and go with it.
void CreateApplicationWindows();

// Destroys the windows; Form1 is nullptr afterwards and the others are
// nullptr when reached. Safe to call twice.
void DestroyApplicationWindows();

} // namespace sweepbox
