// The mailbox workflow of the main window: connecting, listing, marking,
// deleting, cancelling, command availability and the viewers.
// (Stub bodies until the workflow lands.)
#include "Main.h"

void TForm1::BtnConnectClick(QObject*) {}
void TForm1::BtnDisconnectClick(QObject*) {}
void TForm1::BtnMarkClick(QObject*) {}
void TForm1::BtnDeleteClick(QObject*) {}
void TForm1::btn_cancelClick(QObject*) {}
void TForm1::mail_listKeyDown(QObject*, int, Qt::KeyboardModifiers) {}
void TForm1::mail_listClick(QObject*) {}
void TForm1::btn_aktivieren(int) {}
void TForm1::pop3Error(kel::TObject*, int32_t, const std::string&) {}
void TForm1::pop3RetrieveProgress(kel::TObject*, uint16_t) {}
void TForm1::men_header_anzeigenClick(QObject*) {}
void TForm1::men_email_anzeigenClick(QObject*) {}
void TForm1::FormClose(QObject*) { WriteToIniFile(); }
