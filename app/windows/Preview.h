// The preview window: the first lines of one message's readable text, as
// TOP gave them, in a small read-only view. Not modal: the list stays in
// reach, and the next preview replaces what the window shows.
#pragma once

#include "app/core/Language.h"
#include "app/windows/WindowOnDemand.h"

#include <QDialog>
#include <QString>

class QPlainTextEdit;
class QPushButton;

namespace kel {
class TKelMsg;
}

class TPreviewWindow : public QDialog {
    Q_OBJECT

  public:
    // The lines shown at most.
    static constexpr int kLines = 40;

    // Language is the main window's, read at each showing.
    explicit TPreviewWindow(const sweepbox::TLanguage& Language, QWidget* parent = nullptr);

    QPlainTextEdit* memo_preview = nullptr;
    QPushButton* btn_close = nullptr;

    // Replaces what the window shows by the first kLines lines of Msg's
    // readable text (ReadableLines: charsets and HTML as the message window
    // reads them), from the top. Subject, as the list shows it, follows the
    // title. Cut: the server's reply was longer than was kept, which the
    // last line says. Msg is only read during the call.
    void ShowMessage(const kel::TKelMsg& Msg, const QString& Subject, bool Cut = false);

    // Sets the captions and the title; runs each time the window is shown.
    void FormActivate(QObject* Sender);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    const sweepbox::TLanguage& Language;
    QString Subject_;
    bool Placed_ = false; // centred once; later showings keep where the user put it
};

// Made when first reached (see CreateApplicationWindows).
extern sweepbox::TWindowOnDemand<TPreviewWindow> PreviewWindow;
