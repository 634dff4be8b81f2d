// The message window: the text of one retrieved message in a read-only memo,
// the names of its attachments in a sorted list, and saving of the text or of
// one attachment to a file.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <string>
#include <vector>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QToolButton;

namespace kel {
class TKelMsg;
}

// The settings of one save-file dialog. The window runs it through
// TForm3::ExecuteSaveDialog, which tests replace so that nothing blocks.
struct TSaveDialog {
    QString Name;       // object name of the dialog
    QString Title;      // not translated
    QString Filter;     // one entry: description, "|", pattern
    QString DefaultExt; // added when the chosen name has no extension
    QString FileName;   // in: the proposal; out: the confirmed name
};

class TForm3 : public QDialog {
    Q_OBJECT

  public:
    explicit TForm3(QWidget* parent = nullptr);
    ~TForm3() override;

    QPlainTextEdit* memo_email_anzeigen = nullptr;
    QListWidget* attachment_list = nullptr;
    QLabel* lab_anhang = nullptr;
    QToolButton* btn_save_email = nullptr;
    QLabel* save_email = nullptr;
    QToolButton* btn_save_attachments = nullptr;
    QLabel* save_attachment = nullptr;
    QToolButton* btn_close = nullptr;
    QLabel* close_window = nullptr;
    TSaveDialog save_dialog_email;
    TSaveDialog save_dialog_attachment;

    // Asks for a file name: true with Dialog.FileName set to the confirmed
    // name, false when cancelled. By default a modal file dialog that asks
    // before it overwrites a file.
    std::function<bool(TSaveDialog& Dialog)> ExecuteSaveDialog;
    // The interface language; by default the main window's IsGerman.
    std::function<bool()> LanguageIsGerman;

    // Filling, for the main window before it shows the window modally:
    // appends the message's Text lines to the memo and, when the message has
    // attachments, replaces the list by one entry per attachment (a message
    // without attachments leaves the list as it is, as the entries of an
    // earlier message stay until the close button clears them). The entries
    // refer to Msg's attachments, so whoever destroys Msg while it is listed
    // calls ForgetMessage first.
    // Fill the memo and the list through here only: saving the text writes
    // the bytes kept with the memo lines, not the memo's display text.
    void AddMessage(const kel::TKelMsg* Msg);
    // Msg is about to be destroyed: entries that refer to it keep a copy of
    // their names and bytes, so they still list and save what they showed.
    void ForgetMessage(const kel::TKelMsg* Msg);

    // The bytes of the memo lines, as received (no line ends).
    const std::vector<std::string>& TextLines() const { return TextLines_; }
    // The message the list entries refer to; nullptr when none is listed or
    // after ForgetMessage.
    const kel::TKelMsg* ListedMessage() const { return ListedMsg_; }

    void FormActivate(QObject* Sender);
    void btn_save_emailClick(QObject* Sender);
    void btn_save_attachmentsClick(QObject* Sender);
    void btn_closeClick(QObject* Sender);

    // The name proposed for an attachment: a plain file name, never a path,
    // so the file always lands in the folder the user picks.
    static QString ProposedFileName(const std::string& attachmentName);

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool German() const;
    // Writes bytes to path through a temporary file beside it, renamed over
    // path only once everything is written; tells the user when it fails.
    bool SaveBytes(const QString& path, const std::string& bytes);
    bool RunFileDialog(TSaveDialog& dialog);

    // The attachment of list entry index (as kept with the entry), or
    // nullptr; Name receives its file name.
    const std::string* ListedData(int index, const std::string** name) const;

    struct TKeptAttachment {
        std::string FileName;
        std::string Data;
    };

    std::vector<std::string> TextLines_;
    // The entries refer either to ListedMsg_'s attachments or, once that
    // message was forgotten, to KeptFiles_ (same indices).
    const kel::TKelMsg* ListedMsg_ = nullptr;
    std::vector<TKeptAttachment> KeptFiles_;
    // Changes whenever the entries are replaced or cleared.
    int ListGeneration_ = 0;
};

extern TForm3* Form3;
