// What screen readers see of the painted controls, and how the controls tell
// them about changes.
//
// Qt's own interface already serves TSpeedButton, a QAbstractButton: role
// Button, its accessibleName or else its caption as the name, and a press
// action that clicks it. The factory installed here adds:
// - THyperLink: role Link, the caption as the name, HREF as the value, and a
//   press action that opens HREF as a click does.
// - TStatusLabel: role StaticText with a read-only text interface over its
//   lines (ReadText); they are the value, and the name unless an
//   accessibleName is set (Qt's QLabel interface would let such a name hide
//   the text). Each change is announced as the text inserted (a message
//   appended) or updated, and as a new value, so that a screen reader reads
//   out errors and warnings as they come.
// - TStatusBar: role StatusBar; name and value likewise the shown text: the
//   message while one is shown, else the panels' texts. The panels are
//   children of their own.
// - TTextView: read-only, multi-line EditableText with a text interface (and
//   value) over the first TextViewReadLimit characters of the text, cut at a
//   character boundary. The text can be many megabytes, and no query may
//   convert or build a string of that size; what lies past the limit is not
//   read out, though the view still shows, selects and copies all of it. The
//   selection and the cursor are given as offsets into that window (a place
//   past it counts as its end); selection changes, cursor moves and a new
//   text are reported.
#pragma once

#include <QAccessible>
#include <QString>

class QWidget;

namespace accessible {

// Characters of a TTextView's text that screen readers are given.
inline constexpr int TextViewReadLimit = 1 << 16;

// Makes queryAccessibleInterface() answer for TMultiList (see
// MultiListAccessible.h) and the controls above; they call it from their
// constructors, and only the first call installs.
void installControlFactory();

// Whether update events are wanted: a screen reader is active, or a watcher
// is installed. Cheap enough for any code path.
bool listening();
// Delivers an update event: to the watcher when one is installed, otherwise
// to Qt, which passes it on only while a screen reader is active. A table's
// model change reaches its modelChange() first either way.
void send(QAccessibleEvent& event);
// Takes the events in place of Qt (nullptr: back to Qt) and returns the
// watcher it replaces. Qt drops every event while no screen reader is active,
// and on the offscreen platform none ever is: tests watch here.
using Watcher = void (*)(QAccessibleEvent* event);
Watcher setWatcher(Watcher watcher);

// Control's shown text went from Before to After: sends the text inserted
// where After only adds to Before, removed where After is empty, else the
// text updated; then the value change. (A QLabel reports its name change
// itself.)
void textChanged(QWidget* control, const QString& before, const QString& after);

} // namespace accessible
