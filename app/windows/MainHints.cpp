// Hover help in the third status panel and the keyboard shortcuts.
#include "app/windows/Main.h"

#include <QComboBox>
#include <QLineEdit>

namespace {
// The third panel of the status bar carries the hover help.
constexpr int kHintPanel = 2;
} // namespace

#define SWEEPBOX_HOVER(Handler, German, English)                                                    \
    void TForm1::Handler(QObject*) {                                                                \
        Status_leiste->SetPanelText(kHintPanel, Language.Say(German, English));                     \
    }

SWEEPBOX_HOVER(BtnConnectMouseMove, "Verbindung zum Server aufbauen ...", "Establish connection to server ...")
SWEEPBOX_HOVER(btn_cancelMouseMove, "Bricht die laufende Übertragung ab ...", "Stop current transmition ...")
SWEEPBOX_HOVER(BtnDisconnectMouseMove, "Verbindung vom Server trennen ...", "Terminate connection ...")
SWEEPBOX_HOVER(BtnDeleteMouseMove, "Markierte e-mails vom Server löschen ...", "Delete marked e-mails from Server ...")
SWEEPBOX_HOVER(BtnMarkMouseMove, "Alle e-mails markieren ...", "Mark all e-mails ...")
SWEEPBOX_HOVER(btnheaderMouseMove, "Header der Mail wird angezeigt ...", "Show email's header ...")
SWEEPBOX_HOVER(btnmailMouseMove, "Markierte email wird angezeigt ...", "Show marked email ...")
SWEEPBOX_HOVER(BtnInfoMouseMove, "Information zu Sweepbox - Release: 13. Februar 2000",
               "About Sweepbox - Release: 13 February 2000")
SWEEPBOX_HOVER(BtnCloseMouseMove, "Sweepbox beenden ...", "End Sweepbox ...")
SWEEPBOX_HOVER(PasswordMouseMove, "Eigenes Passwort ...", "Your own password ...")
SWEEPBOX_HOVER(SecurityMouseMove, "Verbindung mit TLS, STARTTLS oder unverschlüsselt ...",
               "Connect with TLS, STARTTLS or unencrypted ...")

#undef SWEEPBOX_HOVER

void TForm1::FormMouseMove(QObject*) { Status_leiste->SetPanelText(kHintPanel, QString()); }

void TForm1::RunHover(QObject* watched) {
    using Handler = void (TForm1::*)(QObject*);
    const struct {
        QWidget* control;
        Handler handler;
    } table[] = {
        {BtnConnect, &TForm1::BtnConnectMouseMove},       {btn_cancel, &TForm1::btn_cancelMouseMove},
        {BtnDisconnect, &TForm1::BtnDisconnectMouseMove}, {BtnDelete, &TForm1::BtnDeleteMouseMove},
        {BtnMark, &TForm1::BtnMarkMouseMove},             {btnheader, &TForm1::btnheaderMouseMove},
        {btnmail, &TForm1::btnmailMouseMove},             {BtnInfo, &TForm1::BtnInfoMouseMove},
        {BtnClose, &TForm1::BtnCloseMouseMove},           {Password, &TForm1::PasswordMouseMove},
        {Security, &TForm1::SecurityMouseMove},
    };
    for (const auto& row : table) {
        // A disabled control takes no pointer events, so it explains nothing.
        if (row.control == watched && row.control->isEnabled()) {
            (this->*row.handler)(watched);
            return;
        }
    }
}

void TForm1::FormKeyDown(QObject*, int Key, Qt::KeyboardModifiers) {
    if ((Key == Qt::Key_Return || Key == Qt::Key_Enter) && EnterShortcut)
        EnterShortcut(this);
}
