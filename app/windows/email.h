// The message window: the text of one retrieved message in a read-only text
// view, the names of its attachments in a sorted list, and saving of the text
// or of one attachment to a file.
#pragma once

#include "app/core/SaveFile.h"
#include "app/core/Language.h"
#include "app/windows/WindowOnDemand.h"
#include "ui/TextView.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QListWidget;
class QTimer;
class QToolButton;

namespace kel {
class TKelMsg;
class TTempFile;
}

// The settings of one save-file dialog. The window runs it through
// TForm3::ExecuteSaveDialog, which tests replace so that nothing blocks.
struct TSaveDialog {
    QString Name;       // object name of the dialog
    QString Title;      // not translated
    QString Filter;     // entries of description, "|", pattern, joined by "|"
    QString DefaultExt; // added when the chosen name has no extension
                        // (the chosen entry's own extension where it has one)
    QString FileName;   // in: the proposal; out: the confirmed name
    QString Folder;     // in: the folder the dialog opens in
    int FilterIndex = 1; // in: the entry offered first; out: the one chosen (from 1)
};

class TForm3 : public QDialog {
    Q_OBJECT

  public:
    // Language is the main window's, read at each showing.
    explicit TForm3(const sweepbox::TLanguage& Language, QWidget* parent = nullptr);
    ~TForm3() override;

    TTextView* memo_email_anzeigen = nullptr;
    QListWidget* attachment_list = nullptr;
    QLabel* lab_anhang = nullptr;
    QToolButton* btn_save_email = nullptr;
    QLabel* save_email = nullptr;
    QToolButton* btn_save_attachments = nullptr;
    QLabel* save_attachment = nullptr;
    QToolButton* btn_close = nullptr;
    QLabel* close_window = nullptr;
    // Shown for an HTML message: checked, the view shows its markup instead
    // of the text converted from it.
    QCheckBox* chk_source = nullptr;
    TSaveDialog save_dialog_email;
    TSaveDialog save_dialog_attachment;

    // Asks for a file name: true with Dialog.FileName set to the confirmed
    // name, false when cancelled. By default a modal file dialog (run
    // through sweepbox::ExecModal) that opens in Dialog.Folder and asks
    // before it overwrites a file.
    std::function<bool(TSaveDialog& Dialog)> ExecuteSaveDialog;

    // Filling, for the main window before it shows the window modally:
    // appends the message's Text lines to the text view and, when the
    // message has attachments, replaces the list by one entry per attachment
    // (a message without attachments leaves the list as it is). The view
    // shows Msg's own lines, converted from Msg's TextCharSet as they are
    // drawn, and the entries refer to Msg's attachments: whoever destroys
    // Msg while the window still shows it calls ForgetMessage first.
    // Fill the view and the list through here only: saving the text writes
    // the bytes of the lines, not their display text.
    // Closing the window, whichever way, lets go of everything it shows.
    // An HTML message without a plain alternative (IsHtmlOnly) shows as
    // the text HtmlToText makes of it, its markup at chk_source; the message
    // itself is left as it is. Number is the message's in the mailbox, for
    // the name the save dialog proposes (0: none).
    void AddMessage(const kel::TKelMsg* Msg, int Number = 0);
    // Msg is about to be destroyed: the lines and entries that refer to it
    // keep a copy of their bytes, so they still show and save what they
    // showed.
    void ForgetMessage(const kel::TKelMsg* Msg);

    // The number of text lines shown.
    std::size_t TextLineCount() const;
    // The message the list entries refer to; nullptr when none is listed or
    // after ForgetMessage.
    const kel::TKelMsg* ListedMessage() const { return ListedMsg_; }

    void FormActivate(QObject* Sender);
    void btn_save_emailClick(QObject* Sender);
    void btn_save_attachmentsClick(QObject* Sender);
    void btn_closeClick(QObject* Sender);

    // The name proposed for an attachment: a plain file name, never a path,
    // so the file always lands in the folder the user picks; control
    // characters (C0, C1) and the invisible direction marks and overrides
    // show as "_".
    static QString ProposedFileName(const std::string& attachmentName);
    // The name proposed for a message, without extension: its subject
    // cleaned as ProposedFileName does, without leading dots, blanks at
    // either end or trailing dots, at most 80 characters; when nothing is
    // left, "Nachricht"/"message" and the number.
    static QString ProposedMessageName(const std::string& subject, int number, bool german);
    // True while the view shows text converted from HTML (not its markup).
    bool ShowsConvertedHtml() const;

    // The folder the next save dialog opens in: the one a file was last
    // confirmed in while the program runs, else the home folder.
    QString SaveFolder() const;
    // Runs the dialog in the folder last used and remembers the folder of
    // the confirmed name; every file the program saves is asked for here.
    bool AskFileName(TSaveDialog& dialog);

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    class TMessageLines;
    class TConvertedLines;
    using TWrite = sweepbox::TWriteBytes;

    const sweepbox::TLanguage& Language;
    bool German() const { return Language.German; }
    // Saves what Produce hands over to path (see sweepbox::SaveBytes) and
    // tells the user, with the system's reason, when it fails.
    bool SaveBytes(const QString& path, const sweepbox::TProduceBytes& Produce);
    bool RunFileDialog(TSaveDialog& dialog);
    // Lets go of the text, the entries and the messages they refer to.
    void ReleaseContents();

    // The attachment of list entry index (as kept with the entry), or
    // nullptr; Name receives its file name.
    const std::string* ListedData(int index, const std::string** name) const;

    struct TKeptAttachment {
        std::string FileName;
        std::string Data;
    };

    void ShowSource(bool source);
    // Converts the next slice of the HTML message and shows its lines.
    void ConvertMore();

    std::shared_ptr<TMessageLines> Lines_;
    // The converted text of the HTML message shown; null for any other.
    std::shared_ptr<TConvertedLines> Converted_;
    QTimer* ConvertTimer_ = nullptr;
    // The first message's subject and number, for the proposed name, and
    // its bytes as received (null when it has none).
    std::string Subject_;
    int Number_ = 0;
    std::shared_ptr<const kel::TTempFile> Original_;
    QString LastFolder_;
    // The entries refer either to ListedMsg_'s attachments or, once that
    // message was forgotten, to KeptFiles_ (same indices).
    const kel::TKelMsg* ListedMsg_ = nullptr;
    std::vector<TKeptAttachment> KeptFiles_;
    // Changes whenever the entries are replaced or cleared.
    int ListGeneration_ = 0;
};

// Made when first reached (see CreateApplicationWindows).
extern sweepbox::TWindowOnDemand<TForm3> Form3;
