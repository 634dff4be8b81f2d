// Every message box of the program goes through ShowMessage, so that tests
// can capture the messages instead of blocking on a modal box.
#pragma once

#include <QString>

#include <functional>

class QDialog;
class QWidget;

namespace sweepbox {

using TMessageHook = std::function<void(QWidget* parent, const QString& text)>;

// Shows text in a modal message box with an OK button, or hands it to the
// hook when one is set.
void ShowMessage(QWidget* parent, const QString& text);

// Replaces the message box by hook (an empty hook restores the box) and
// returns the hook that was set before.
TMessageHook SetMessageHook(TMessageHook hook);

// Runs a modal dialog (exec) and returns its result, or hands the built
// dialog to the hook when one is set and returns the dialog's result after
// it: a test presses a button there instead of waiting on the dialog.
using TModalHook = std::function<void(QDialog& dialog)>;
int ExecModal(QDialog& dialog);
TModalHook SetModalHook(TModalHook hook);

// Runs one event handler. An exception that leaves it ends only that
// handler: its text is shown in a message box and the program goes on.
void RunHandler(QWidget* parent, const std::function<void()>& body) noexcept;

} // namespace sweepbox
