// The mailbox workflow of the main window: connecting and listing, marking,
// deleting and cancelling, disconnecting, the availability of the commands
// with the status texts that go with them, and the retrieval of a message
// for viewing. The viewer commands themselves are in MainViewers.cpp.
//
// Every server command blocks while the component pumps window messages, so
// handlers can run nested inside a waiting one. Two rules keep that safe:
// a handler that would send something refuses while ServerBusy is set, and a
// close of the window during an operation abandons it at its next wait
// instead of sending QUIT into the middle of a reply.
#include "Main.h"

#include "MultiLst.h"
#include "ServerAddress.h"
#include "Summary.h"
#include "TextCodec.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QSettings>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <exception>

namespace {

// Thrown from the message pump once the window has been closed during a
// server operation. Not a std::exception, so nothing on the way treats it as
// an error to report.
struct EOperationAbandoned {};

constexpr int kMaxRemembered = 10;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
// The component numbers messages in 16 bits.
constexpr int32_t kMaxListed = 65535;

} // namespace

// Marks a server operation for its whole extent and routes the component's
// waits through the window's pump.
class TServerOperation {
  public:
    explicit TServerOperation(TForm1& Form) : form_(Form), outer_(Form.ServerBusy) {
        form_.ServerBusy = true;
        form_.InstallServerPump();
    }
    ~TServerOperation() { form_.ServerBusy = outer_; }
    TServerOperation(const TServerOperation&) = delete;
    TServerOperation& operator=(const TServerOperation&) = delete;

  private:
    TForm1& form_;
    bool outer_;
};

QString TForm1::Say(const char* German, const char* English) const {
    return QString::fromUtf8(IsGerman ? German : English);
}

void TForm1::StatusAdd(const QString& Message) { Status->Append(Message); }

void TForm1::StatusConnectionEnded() {
    StatusAdd(Say("Ihre Verbindung zum Server wurde getrennt.", "Your connection has been terminated."));
}

void TForm1::InstallServerPump() {
    pop3.ProcessMessages = [this] { PumpWhileWaiting(); };
    if (!pop3.Sleep)
        pop3.Sleep = [](int Ms) { QThread::msleep(static_cast<unsigned long>(Ms)); };
}

void TForm1::PumpWhileWaiting() {
    // Called before every send and receive, four times a message while
    // listing. Each pass that lets the window run repaints what the last row
    // changed (the list's scroll bar and everything under it), which costs
    // more than the exchanges with a nearby server; at screen rate the window
    // looks and answers the same. A slow reply is waited for in 50 ms slices
    // that call this, so the window always runs then.
    if (SteadyMs() - LastPumpMs >= PumpIntervalMs) {
        QCoreApplication::processEvents();
        LastPumpMs = SteadyMs();
    }
    if (CloseRequested && ServerBusy)
        throw EOperationAbandoned{};
}

// ---------------------------------------------------------------- status

void TForm1::btn_aktivieren(int mode) {
    if (mode < 0 || mode > 2)
        return;
    const bool idle = mode == 0, busy = mode == 1, connected = mode == 2;
    BtnConnect->setEnabled(idle);
    BtnDisconnect->setEnabled(connected);
    BtnDelete->setEnabled(connected);
    BtnInfo->setEnabled(!busy);
    BtnClose->setEnabled(!busy);
    BtnMark->setEnabled(connected);
    Datei_C->setEnabled(idle);
    Datei_L->setEnabled(connected);
    Datei_D->setEnabled(connected);
    Datei_M->setEnabled(connected);
    Datei_Close->setEnabled(!busy);
    help_I->setEnabled(!busy);
    if (busy) {
        Status_avi->Play();
        Status_avi->show();
    } else {
        Status_avi->hide();
        Status_avi->Stop();
    }
    servername->setEnabled(idle);
    Security->setEnabled(idle);
    Username->setEnabled(idle);
    Password->setEnabled(idle);
    Header_Nein->setEnabled(idle);
    men_header_anzeigen->setEnabled(connected);
    men_email_anzeigen->setEnabled(connected);
}

void TForm1::pop3Error(kel::TObject* Sender, int32_t, const std::string& Msg) {
    // A transport failure carries the text of the last good reply, which would
    // read like the cause; the exception that follows it names the real one
    // and the handler that catches it shows that.
    if (Sender == pop3.Transport())
        return;
    Status->Clear();
    StatusAdd(Say("Fehler: ", "Error: ") + DisplayText(Msg));
}

void TForm1::pop3RetrieveProgress(kel::TObject*, uint16_t Percent) {
    // Near the end the share can pass 100; the bar ignores values above its
    // maximum, so those show as full.
    ProgressBar->setValue(std::min<int>(Percent, ProgressBar->maximum()));
}

// ------------------------------------------------------ connect and list

void TForm1::BtnConnectClick(QObject*) {
    // Its commands are off while a connection is open; a call from elsewhere
    // must not open a second one over it.
    if (ServerBusy || pop3.Connected())
        return;
    HeaderCache.clear();
    ListRows.clear();
    Status->Clear();
    QPalette maroon = Status->palette();
    maroon.setColor(QPalette::WindowText, QColor(128, 0, 0));
    Status->setPalette(maroon);

    if (!info_fenster->isHidden() || !info_fenster_eng->isHidden()) {
        info_fenster->hide();
        info_fenster_eng->hide();
        mail_list->show();
        mail_list->setFocus();
    }
    mail_list->clear();
    Status->show();

    if (servername->currentText().isEmpty()) {
        StatusAdd(Say("Fehler: POP3 Server fehlt", "Error: No POP server specified"));
        return;
    }
    if (Username->currentText().isEmpty()) {
        StatusAdd(Say("Fehler: Username fehlt", "Error: You will need an username"));
        return;
    }
    if (Password->text().isEmpty()) {
        StatusAdd(Say("Fehler: Passwort fehlt", "Error: You will also need a password"));
        return;
    }
    const QString host = servername->currentText();
    const QString user = Username->currentText();
    const sweepbox::TServerAddress address = sweepbox::ParseServerField(host);
    if (!address.Valid) {
        StatusAdd(Say("Fehler: Server ungültig (Server, Server:Port oder [IPv6-Adresse]:Port)",
                      "Error: invalid server (server, server:port or [IPv6 address]:port)"));
        return;
    }
    const QString security = SecurityValue();
    pop3.Security = security == QLatin1String("tls")        ? kel::TPopSecurity::Tls
                    : security == QLatin1String("starttls") ? kel::TPopSecurity::StartTls
                                                            : kel::TPopSecurity::None;
    const uint16_t port = address.Port ? address.Port : (pop3.Security == kel::TPopSecurity::Tls ? 995 : 110);
    const QString hostPort = sweepbox::HostPortKey(address.Host, port);
    pop3.Host = address.Host.toStdString();
    pop3.Port = std::to_string(port);
    pop3.TrustFile = TrustFile.toStdString();
    pop3.PinnedFingerprint = PinnedCertificate(hostPort).toStdString();
    pop3.UserId = user.toStdString();
    pop3.UserPasswd = Password->text().toStdString();

    TServerOperation operation(*this);
    btn_aktivieren(1);
    // The counts of the previous mailbox would stand beside this attempt's
    // empty list and errors as if they were its own.
    Status_leiste->SetPanelText(0, QString());
    Status_leiste->SetPanelText(1, QString());
    Status->Clear();
    StatusAdd(Say("Verbindung wird aufgebaut, bitte warten ....", "Connecting to server, please wait ...."));
    try {
        if (!OpenConnection(hostPort)) {
            Disconnect();
            mail_list->setFocus();
            mail_list->clear();
            return;
        }
        WarnUnencrypted();
        if (!pop3.Login()) {
            HintSecureLogin();
            StatusConnectionEnded();
            Disconnect();
            return;
        }

        RememberPair(host, user);

        pop3.Stat();
        if (!pop3.Connected()) {
            // A refused STAT is no empty mailbox: keep the server's words.
            StatusConnectionEnded();
            Disconnect();
            return;
        }
        // The component keeps the low 16 bits of the count; read the whole
        // number so that a huge or negative count is not taken for another.
        const std::string& reply = pop3.ReplyText();
        const int32_t reported = kel::StrToIntDef(reply.substr(0, reply.find(' ')), pop3.MsgCount());
        const bool tooMany = reported > kMaxListed;
        MailCount = std::clamp(reported, 0, kMaxListed);
        MailboxSize = pop3.MailboxSizeText();
        if (MailCount <= 0)
            MailboxSize = "0";

        Status->Clear();
        WarnUnencrypted();
        Status_leiste->SetPanelText(0, QString::number(MailCount) + QStringLiteral(" Mails"));
        Status_leiste->SetPanelText(1, DisplayText(summary::DisplaySize(MailboxSize)));
        ProgressBar->setValue(0);

        if (MailCount <= 0) {
            StatusAdd(Say("Es sind keine e-mails zum Löschen vorhanden.", "There is no need to delete e-mails."));
            StatusConnectionEnded();
            Disconnect();
            return;
        }
        if (tooMany)
            StatusAdd(Say("Es werden nur die ersten 65535 e-mails angezeigt.",
                          "Only the first 65535 e-mails are listed."));

        if (Header_Nein->isChecked())
            ListCountOnly();
        else
            ListHeaders();
    } catch (const EOperationAbandoned&) {
        AbandonOperation(QString());
    } catch (const std::exception& e) {
        AbandonOperation(DisplayText(e.what()));
    }
}

void TForm1::RememberPair(const QString& Host, const QString& User) {
    // The pairing handlers must not take these edits for the user picking
    // an entry.
    const QSignalBlocker blockServers(servername);
    const QSignalBlocker blockUsers(Username);
    for (int i = Username->count() - 1; i >= 0; --i) {
        if (i < servername->count() && servername->itemText(i) == Host && Username->itemText(i) == User) {
            servername->removeItem(i);
            Username->removeItem(i);
        }
    }
    servername->addItem(Host, SecurityValue());
    Username->addItem(User);
    while (servername->count() > kMaxRemembered) {
        servername->removeItem(0);
        Username->removeItem(0);
    }
    servername->setCurrentIndex(servername->count() - 1);
    Username->setCurrentIndex(Username->count() - 1);
    servername->setEditText(Host);
    Username->setEditText(User);
}

void TForm1::ListCountOnly() {
    ProgressBar->show();
    ProgressBar->setFocus();
    StatusAdd(Say("Es wird lediglich die Anzahl der e-mails angezeigt", "Only the number of e-mails will be displayed."));
    HeaderCache.reserve(static_cast<size_t>(MailCount));
    for (int n = 1; n <= MailCount; ++n) {
        mail_list->addItem(DisplayText(summary::PlaceholderRow(n)));
        HeaderCache.push_back(" ");
    }
    mail_list->show();
    btn_aktivieren(2);
    mail_list->setItemIndex(0);
    ProgressBar->hide();
}

void TForm1::ListHeaders() {
    ProgressBar->show();
    ProgressBar->setFocus();
    ProgressBar->setMaximum(MailCount);
    ShowListingButtons(true);
    CancelRequested = false;
    StatusAdd(Say("Absender, Betreff, Datum und Größe werden angezeigt ...",
                  "Sender, Subject, Size, and Date are displayed ..."));
    HeaderCache.reserve(static_cast<size_t>(MailCount));
    mail_list->show();
    bool dropped = false;
    for (int n = 1; n <= MailCount && !CancelRequested; ++n) {
        const std::string header = pop3.GetHeader(static_cast<uint16_t>(n));
        HeaderCache.push_back(header + "|");
        // A refused TOP or LIST has closed the connection: nothing more is
        // sent, and this message's row shows what is known of it. The size
        // starts empty for every message, so a refused LIST never shows the
        // size of the message before.
        std::string size;
        dropped = !pop3.Connected();
        if (!dropped) {
            pop3.GetMsgSize(n, size);
            dropped = !pop3.Connected();
        }
        ListRows.push_back(MakeListRow(n, size, header, IsGerman));
        mail_list->addItem(ListRows.back().Text);
        ProgressBar->setValue(n);
        if (dropped)
            break;
    }
    ProgressBar->hide();
    ProgressBar->setValue(0);
    ProgressBar->setMaximum(100);
    ShowListingButtons(false);
    if (SortColumn >= 0)
        ShowRows();
    if (dropped) {
        StatusConnectionEnded();
        Disconnect();
        return;
    }
    btn_aktivieren(2);
    if (!CancelRequested)
        mail_list->setItemIndex(0);
}

void TForm1::ShowListingButtons(bool Listing) {
    BtnDisconnect->setVisible(!Listing);
    btn_cancel->setVisible(Listing);
}

// ------------------------------------------------------------ disconnect

void TForm1::BtnDisconnectClick(QObject*) {
    if (ServerBusy)
        return;
    TServerOperation operation(*this);
    try {
        Disconnect();
    } catch (const EOperationAbandoned&) {
        AbandonOperation(QString());
    }
}

bool TForm1::Disconnect() {
    ProgressBar->hide();
    ProgressBar->setValue(0);
    btn_aktivieren(1);
    bool accepted = false;
    if (pop3.Connected()) {
        // Only "+OK" proves the deletions; an answer that is merely not
        // "-ERR" does not.
        try {
            pop3.Quit();
            accepted = !pop3.OperationFailed() && pop3.ReplyLine().compare(0, 3, "+OK") == 0;
        } catch (const EOperationAbandoned&) {
            throw;
        } catch (const std::exception& e) {
            Status->Clear();
            StatusAdd(Say("Fehler: ", "Error: ") + DisplayText(e.what()));
        }
    }
    HeaderCache.clear();
    HeaderCache.shrink_to_fit();
    Password->clear();
    btn_aktivieren(0);
    UpdateViewerCommands();
    const bool haveServer = !servername->currentText().isEmpty();
    const bool haveUser = !Username->currentText().isEmpty();
    if (haveServer && haveUser)
        Password->setFocus();
    else if (haveServer)
        Username->setFocus();
    else
        servername->setFocus();
    return accepted;
}

void TForm1::AbandonOperation(const QString& Reason) {
    pop3.Abort();
    ProgressBar->hide();
    ProgressBar->setValue(0);
    ProgressBar->setMaximum(100);
    ShowListingButtons(false);
    if (!Reason.isEmpty()) {
        Status->Clear();
        StatusAdd(Say("Fehler: ", "Error: ") + Reason);
        StatusConnectionEnded();
    }
    CloseRequested = false;
    Disconnect();
}

// ------------------------------------------------ mark, delete and cancel

void TForm1::BtnMarkClick(QObject*) {
    // After a cancelled listing fewer rows exist than the mailbox holds.
    const int last = std::min(MailCount, mail_list->count() - 1);
    for (int i = 1; i <= last; ++i)
        mail_list->setSelected(i, true);
}

void TForm1::BtnDeleteClick(QObject*) {
    if (ServerBusy)
        return;
    TServerOperation operation(*this);
    btn_aktivieren(1);
    // Rows leave the list only once QUIT has made the deletions final; a pass
    // that fails on the way deletes nothing on the server, so every row stays.
    // The highest number first, whatever order the list shows: a server
    // that renumbered after each DELE would still delete the right ones.
    std::vector<int> chosen;
    for (int i = 1; i < mail_list->count(); ++i)
        if (mail_list->isSelected(i) && MessageOfRow(i) > 0)
            chosen.push_back(MessageOfRow(i));
    std::sort(chosen.rbegin(), chosen.rend());
    std::vector<int> marked;
    bool failed = false;
    try {
        for (const int n : chosen) {
            if (!pop3.Connected()) {
                failed = true;
                break;
            }
            pop3.DeleteMsg(static_cast<uint16_t>(n));
            if (pop3.OperationFailed()) {
                failed = true;
                break;
            }
            marked.push_back(n);
            Status_leiste->SetPanelText(2, Say("Lösche Mail Nr.: ", "Deleting mail # ") + QString::number(n));
        }
    } catch (const EOperationAbandoned&) {
        AbandonOperation(QString());
        return;
    } catch (const std::exception& e) {
        Status->Clear();
        StatusAdd(Say("Fehler: ", "Error: ") + DisplayText(e.what()));
        pop3.Abort();
        failed = true;
    }
    if (!failed) {
        StatusConnectionEnded();
        try {
            failed = !Disconnect();
        } catch (const EOperationAbandoned&) {
            AbandonOperation(QString());
            return;
        }
    } else {
        Disconnect();
    }
    if (failed) {
        StatusAdd(Say("Die markierten e-mails wurden nicht gelöscht.", "The marked mails were not deleted."));
        StatusConnectionEnded();
        return;
    }
    for (int row = mail_list->count() - 1; row >= 1; --row)
        if (std::find(marked.begin(), marked.end(), MessageOfRow(row)) != marked.end())
            mail_list->deleteItem(row);
    Status->Clear();
    StatusAdd(Say("Alle gewünschten e-mail(s) wurden erfolgreich gelöscht.", "All marked mails were deleted."));
    StatusConnectionEnded();
}

void TForm1::btn_cancelClick(QObject*) {
    btn_cancel->hide();
    BtnDisconnect->show();
    ProgressBar->hide();
    ProgressBar->setValue(0);
    ProgressBar->setMaximum(100);
    // The listing is waiting for a reply right now; it stops at the top of
    // its next message and only then unlocks the commands, so none of them
    // can send into the reply still on its way.
    CancelRequested = true;
}

void TForm1::mail_listKeyDown(QObject*, int Key, Qt::KeyboardModifiers) {
    if (Key == Qt::Key_Delete && pop3.Connected() && !ServerBusy)
        BtnDeleteClick(this);
}

void TForm1::mail_listClick(QObject*) { UpdateViewerCommands(); }

int TForm1::SingleSelectedRow() const {
    if (mail_list->selectedCount() != 1)
        return 0;
    for (int i = 1; i < mail_list->count(); ++i)
        if (mail_list->isSelected(i))
            return i;
    return 0;
}

void TForm1::UpdateViewerCommands() {
    // The viewers need the open connection (the message) and the cache it
    // filled (the header), so they stay off without one.
    const bool on = SingleSelectedRow() > 0 && pop3.Connected() && !ServerBusy;
    btnheader->setEnabled(on);
    btnmail->setEnabled(on);
    men_header_anzeigen->setEnabled(on);
    men_email_anzeigen->setEnabled(on);
}

// --------------------------------------------------------------- viewing

int TForm1::MessageOfRow(int Row) const {
    if (Row < 1 || Row >= mail_list->count())
        return 0;
    // Every row starts with " n |": the number column.
    bool ok = false;
    const int n = mail_list->item(Row).section(QLatin1Char('|'), 0, 0).trimmed().toInt(&ok);
    return ok && n > 0 ? n : 0;
}

void TForm1::SortBy(int Column) {
    if (Column < 0 || Column > 4)
        return;
    if (Column == SortColumn) {
        SortDescending = !SortDescending;
    } else {
        SortColumn = Column;
        SortDescending = false;
    }
    ShowSortIndicator();
    // A listing under way orders its rows once they are all there.
    if (!ServerBusy)
        ShowRows();
    if (SettingsReg) {
        SettingsReg->setValue(QStringLiteral("SortColumn"), QString::number(SortColumn));
        SettingsReg->setValue(QStringLiteral("SortOrder"),
                              SortDescending ? QStringLiteral("descending") : QStringLiteral("ascending"));
    }
}

void TForm1::ShowSortIndicator() {
    QHeaderView* header = mail_list->header();
    header->setSortIndicatorShown(SortColumn >= 0);
    if (SortColumn >= 0)
        header->setSortIndicator(SortColumn, SortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void TForm1::ShowRows() {
    // Only a full listing has rows to order: the count-only placeholders
    // and a list being filled stay as they are.
    if (ListRows.empty() || mail_list->count() - 1 > static_cast<int>(ListRows.size()))
        return;
    std::vector<int> selected;
    for (int i = 1; i < mail_list->count(); ++i)
        if (mail_list->isSelected(i))
            selected.push_back(MessageOfRow(i));
    std::vector<int> shown;
    for (int i = 1; i < mail_list->count(); ++i)
        shown.push_back(MessageOfRow(i));
    std::vector<TListRow> rows;
    rows.reserve(shown.size());
    for (const TListRow& row : ListRows)
        if (std::find(shown.begin(), shown.end(), row.Number) != shown.end())
            rows.push_back(row);
    SortRows(rows, SortColumn >= 0 ? static_cast<TSortColumn>(SortColumn) : TSortColumn::Number, SortDescending);
    mail_list->clear();
    for (const TListRow& row : rows)
        mail_list->addItem(row.Text);
    for (int i = 1; i < mail_list->count(); ++i)
        if (std::find(selected.begin(), selected.end(), MessageOfRow(i)) != selected.end())
            mail_list->setSelected(i, true);
    UpdateViewerCommands();
}

kel::TKelMsg* TForm1::FetchMessage(int Number) {
    // The other commands stay locked while the message arrives, so none of
    // them can send into its reply.
    TServerOperation operation(*this);
    btn_aktivieren(1);
    kel::TKelMsg* msg = nullptr;
    try {
        msg = pop3.RetrieveMsg(static_cast<uint16_t>(Number));
    } catch (const EOperationAbandoned&) {
        AbandonOperation(QString());
        return nullptr;
    } catch (const std::exception& e) {
        AbandonOperation(DisplayText(e.what()));
        return nullptr;
    }
    ProgressBar->hide();
    ProgressBar->setValue(0);
    if (msg == nullptr) {
        // Refused: the component has closed the connection and shown why.
        StatusConnectionEnded();
        Disconnect();
        return nullptr;
    }
    btn_aktivieren(2);
    return msg;
}

// ----------------------------------------------------------------- close

void TForm1::FormClose(QObject*) {
    if (ServerBusy) {
        // A reply is on its way: no QUIT now. The operation notices at its
        // next wait and drops the connection, so nothing marked is deleted.
        CloseRequested = true;
    } else if (pop3.Connected()) {
        TServerOperation operation(*this);
        try {
            Disconnect();
        } catch (...) {
            // Closing goes on whatever the server does.
        }
    }
    WriteToIniFile();
}
