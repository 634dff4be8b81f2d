// The main window's viewer commands: the cached header of a message in the
// header window, its first lines, fetched with TOP, in the preview window,
// and the whole message, fetched from the server, in the message window.
#include "app/windows/Main.h"

#include "app/windows/Header.h"
#include "app/windows/Preview.h"
#include "ui/MultiLst.h"
#include "app/core/TextCodec.h"
#include "app/windows/email.h"

#include "mail/message/KelMsg.h"

#include <QProgressBar>

bool TForm1::ViewerCommandAllowed() {
    // The commands are locked then anyway; a nested call finds them so.
    if (Session.Busy())
        return false;
    if (!Session.Connected()) {
        StatusAdd(Say("Keine Verbindung zum Server: bitte erneut verbinden.",
                      "Not connected to the server: please connect again."));
        UpdateViewerCommands();
        return false;
    }
    return true;
}

void TForm1::men_header_anzeigenClick(QObject*) {
    if (!ViewerCommandAllowed())
        return;
    bool added = false;
    for (int i = 1; i < mail_list->count(); ++i) {
        const std::string* header = mail_list->isSelected(i) ? Session.Header(MessageOfRow(i)) : nullptr;
        if (header == nullptr)
            continue;
        Form2->AddHeader(*header);
        added = true;
    }
    if (!added) {
        StatusAdd(Say("Bitte zuerst eine e-mail markieren.", "Please select an e-mail first."));
        return;
    }
    Form2->ShowTop();
    Form2->exec();
}

int TForm1::SingleViewerRow() {
    if (!ViewerCommandAllowed())
        return 0;
    const int row = SingleSelectedRow();
    if (row == 0)
        StatusAdd(Say("Bitte genau eine e-mail markieren.", "Please select exactly one e-mail."));
    return row;
}

void TForm1::men_email_anzeigenClick(QObject*) {
    // One message at a time: every retrieval downloads the whole message, and
    // only one window shows the result.
    const int row = SingleViewerRow();
    if (row == 0)
        return;
    kel::TKelMsg* msg = Session.Retrieve(MessageOfRow(row));
    if (msg == nullptr)
        return;
    // The window lists the previous message's attachments no longer; release
    // it so that viewing many messages does not keep them all.
    if (CurrentMsg != nullptr && CurrentMsg != msg) {
        Form3->ForgetMessage(CurrentMsg);
        Session.Release(CurrentMsg);
    }
    CurrentMsg = msg;
    Form3->AddMessage(CurrentMsg, MessageOfRow(row));
    Form3->exec();
    // Closed: the message goes with the window, so a big one does not stay
    // in memory until the next is viewed.
    if (CurrentMsg != nullptr) {
        Form3->ForgetMessage(CurrentMsg);
        Session.Release(CurrentMsg);
        CurrentMsg = nullptr;
    }
}

void TForm1::men_previewClick(QObject*) {
    const int row = SingleViewerRow();
    if (row == 0)
        return;
    const int number = MessageOfRow(row);
    kel::TKelMsg* msg = Session.Preview(number);
    if (msg == nullptr)
        return;
    // The window keeps text only: the message goes at once.
    const TListRow* listed = Session.Row(number);
    PreviewWindow->ShowMessage(*msg, listed ? listed->Subject() : QString(), pop3.PreviewCut());
    Session.Release(msg);
    PreviewWindow->show();
    PreviewWindow->raise();
    PreviewWindow->activateWindow();
}
