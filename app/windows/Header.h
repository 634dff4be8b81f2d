// The header window: the header lines of one message, as the main window
// cached them during the listing, in a read-only memo with a close button.
#pragma once

#include "app/core/Language.h"
#include "app/windows/WindowOnDemand.h"

#include <QDialog>

#include <functional>
#include <string>

class QPlainTextEdit;
class QPushButton;

class TForm2 : public QDialog {
    Q_OBJECT

  public:
    // Language is the main window's, read at each showing.
    explicit TForm2(const sweepbox::TLanguage& Language, QWidget* parent = nullptr);

    QPlainTextEdit* memo_header_anzeigen = nullptr;
    QPushButton* btn_close = nullptr;

    // Filling, for the main window before it shows the window modally:
    // AddHeader appends one cached header text (its line breaks make several
    // memo lines; the bytes show as DisplayText with the charset of the
    // header's Content-Type does, tabs as blanks and every other hidden
    // control as "_", so no field can reorder how another reads). ShowTop then puts the
    // caret at the start of the first line and scrolls to the top left, so
    // the memo shows the start of every line; showing the window does that
    // again once the memo has its final size.
    void AddHeader(const std::string& text);
    void ShowTop();

    // Sets the captions; runs each time the window is shown.
    void FormActivate(QObject* Sender);
    // Clears the memo; the button then closes the window with OK. The title
    // bar's close box leaves the memo as it is.
    void btn_closeClick(QObject* Sender);

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    const sweepbox::TLanguage& Language;
};

// Made when first reached (see CreateApplicationWindows).
extern sweepbox::TWindowOnDemand<TForm2> Form2;

// Shared by the three viewer windows.
namespace viewer {
// Fixed border with the system menu, minimise and close box; the client
// area keeps exactly this size.
void SetFixedFrame(QDialog* dialog, QSize client, bool minimizeBox);
// Places the window in the middle of its screen.
void CenterOnScreen(QWidget* window);
} // namespace viewer
