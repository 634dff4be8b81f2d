// The main window's side of the mailbox workflow: the handlers of the
// buttons and menus hand the user's input to the session (MailboxSession),
// and the session's view calls put its state, rows, status and progress on
// the screen. The viewer commands are in MainViewers.cpp.
#include "app/windows/Main.h"

#include "app/windows/Certificate.h"
#include "app/signin/TokenCommand.h"
#include "app/windows/Dialogs.h"
#include "ui/MultiLst.h"
#include "app/core/Settings.h"
#include "app/core/TextCodec.h"
#include "app/windows/email.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>

#include <algorithm>
#include <cmath>
#include <iterator>

void TForm1::StatusAdd(const QString& Message) { Status->Append(Message); }

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
    SignIn->setEnabled(idle);
    Header_Nein->setEnabled(idle);
    RememberPassword->setEnabled(idle);
    ShowSignInFields();
    men_header_anzeigen->setEnabled(connected);
    men_email_anzeigen->setEnabled(connected);
    men_preview->setEnabled(connected);
}

void TForm1::pop3Error(kel::TObject* Sender, int32_t, const std::string& Msg) { Session.ComponentError(Sender, Msg); }

void TForm1::pop3RetrieveProgress(kel::TObject*, uint16_t Percent) {
    // Near the end the share can pass 100; the bar ignores values above its
    // maximum, so those show as full.
    SetProgressValue(std::min<int>(Percent, ProgressBar->maximum()));
}

void TForm1::SetProgressValue(int Value) {
    // The bar repaints itself at once, parents included, whenever its value
    // moves a pixel; with updates off it only asks for a repaint, which the
    // next pass of the window's messages does together with everything else.
    ProgressBar->setUpdatesEnabled(false);
    ProgressBar->setValue(Value);
    ProgressBar->setUpdatesEnabled(true);
}

// ------------------------------------------------------------- handlers

void TForm1::BtnConnectClick(QObject*) {
    // Its commands are off while a connection is open; a call from elsewhere
    // must not open a second one over it.
    if (Session.Busy() || Session.Connected())
        return;
    // The status keeps the colour the palette gave it (ApplyColours).
    if (!info_fenster->isHidden() || !info_fenster_eng->isHidden()) {
        info_fenster->hide();
        info_fenster_eng->hide();
        mail_list->show();
        mail_list->setFocus();
    }
    Status->show();
    ConnectingServer_ = servername->currentText();
    ConnectingUser_ = Username->currentText();
    TConnectRequest request;
    request.Server = ConnectingServer_;
    request.Security = sweepbox::SecurityFromText(SecurityValue());
    request.User = ConnectingUser_;
    request.SignIn = SignInChoice();
    if (request.SignIn == sweepbox::TSignIn::Password)
        request.Password = Password->text();
    request.CountOnly = Header_Nein->isChecked();
    request.TrustFile = TrustFile.toStdString();
    request.Pinned = [this](const QString& HostPort) { return PinnedCertificate(HostPort); };
    const bool wasKept = PairKeepsSecret(request);
    if (!PrepareSignIn(request, false)) {
        // As after any failed connect, the last mailbox's rows and figures go.
        ClearRows();
        SetPanel(0, QString());
        SetPanel(1, QString());
        return;
    }
    LoginSucceeded_ = false;
    Session.Connect(request);
    // A refused token is renewed once (the refresh token, else the browser).
    if (request.SignIn == sweepbox::TSignIn::OAuth2 && Session.LoginFailure() == kel::TLoginFailure::TokenRefused &&
        isVisible()) {
        ForgetAccessToken(request);
        if (PrepareSignIn(request, true))
            Session.Connect(request);
    }
    if (LoginSucceeded_)
        KeepSecrets(request, wasKept);
}

void TForm1::RememberPair(const QString& Host, const QString& User) {
    // The pairing handlers must not take these edits for the user picking
    // an entry.
    const QSignalBlocker blockServers(servername);
    const QSignalBlocker blockUsers(Username);
    // The token command is set in the settings only: it stays with its pair.
    QString tokenCommand;
    for (int i = Username->count() - 1; i >= 0; --i) {
        if (i < servername->count() && servername->itemText(i) == Host && Username->itemText(i) == User) {
            tokenCommand = servername->itemData(i, kTokenCommandRole).toString();
            servername->removeItem(i);
            Username->removeItem(i);
        }
    }
    servername->addItem(Host, SecurityValue());
    const int added = servername->count() - 1;
    servername->setItemData(added, sweepbox::SignInWord(SignInChoice()), kSignInRole);
    servername->setItemData(added, tokenCommand, kTokenCommandRole);
    servername->setItemData(added, RememberPassword->isChecked(), kKeepPasswordRole);
    Username->addItem(User);
    while (servername->count() > sweepbox::settings::kRememberedPairs) {
        servername->removeItem(0);
        Username->removeItem(0);
    }
    servername->setCurrentIndex(servername->count() - 1);
    Username->setCurrentIndex(Username->count() - 1);
    servername->setEditText(Host);
    Username->setEditText(User);
}

void TForm1::BtnDisconnectClick(QObject*) {
    if (Session.Busy())
        return;
    Session.Disconnect();
}

void TForm1::BtnMarkClick(QObject*) {
    // The rows shown: those a filter hides stay unmarked.
    for (int position = 0; position < mail_list->shownCount(); ++position)
        mail_list->setSelected(mail_list->shownRow(position), true);
}

void TForm1::BtnDeleteClick(QObject*) {
    if (Session.State() != TSessionState::Connected)
        return;
    std::vector<int> chosen;
    for (int i = 1; i < mail_list->count(); ++i)
        if (mail_list->isSelected(i) && MessageOfRow(i) > 0)
            chosen.push_back(MessageOfRow(i));
    Session.Delete(chosen);
}

void TForm1::btn_cancelClick(QObject*) {
    if (AwaitingToken_) {
        OAuth2_->Cancel();
        TokenCommand_->Cancel();
        return;
    }
    btn_cancel->hide();
    BtnDisconnect->show();
    ShowProgress(0, 0);
    Session.Cancel();
}

void TForm1::mail_listKeyDown(QObject*, int Key, Qt::KeyboardModifiers Shift) {
    if (Key == Qt::Key_Delete && Session.State() == TSessionState::Connected)
        BtnDeleteClick(this);
    // Space alone makes the caret's row the one selected (the list does that
    // after this handler; Ctrl+Space toggles a mark, Shift+Space extends):
    // the preview follows once the list has, under the menu entry's rules.
    if (Key == Qt::Key_Space && Shift == Qt::NoModifier)
        QMetaObject::invokeMethod(
            this,
            [this] {
                UpdateViewerCommands();
                if (men_preview->isEnabled())
                    sweepbox::RunHandler(this, [&] { men_previewClick(mail_list); });
            },
            Qt::QueuedConnection);
}

void TForm1::mail_listClick(QObject*) { UpdateViewerCommands(); }

void TForm1::ShowListingButtons(bool Listing) {
    BtnDisconnect->setVisible(!Listing);
    btn_cancel->setVisible(Listing);
}

int TForm1::SingleSelectedRow() const {
    if (mail_list->selectedCount() != 1)
        return 0;
    for (int i = 1; i < mail_list->count(); ++i)
        if (mail_list->isSelected(i))
            return i;
    return 0;
}


// --------------------------------------------------------------- viewing

void TForm1::UpdateViewerCommands() {
    // The viewers need the open connection (the message) and the cache it
    // filled (the header), so they stay off without one.
    const bool on = SingleSelectedRow() > 0 && Session.State() == TSessionState::Connected && Session.Connected();
    btnheader->setEnabled(on);
    btnmail->setEnabled(on);
    men_header_anzeigen->setEnabled(on);
    men_email_anzeigen->setEnabled(on);
    men_preview->setEnabled(on);
}

// --------------------------------------------------------------- sorting

int TForm1::MessageOfRow(int Row) const {
    if (Row < 1 || static_cast<size_t>(Row) > RowNumbers_.size())
        return 0;
    return RowNumbers_[static_cast<size_t>(Row - 1)];
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
    if (!Session.Busy())
        ShowRows();
    if (SettingsReg)
        SettingsReg->SetSort(SortColumn, SortDescending);
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
    if (Session.Rows().empty() || mail_list->count() - 1 > static_cast<int>(Session.Rows().size()))
        return;
    // By message number: which rows are shown, which are selected.
    std::vector<char> shown(Session.Rows().size() + 1, 0), selected(Session.Rows().size() + 1, 0);
    for (int i = 1; i < mail_list->count(); ++i) {
        const auto n = static_cast<size_t>(MessageOfRow(i));
        if (n < shown.size()) {
            shown[n] = 1;
            selected[n] = mail_list->isSelected(i) ? 1 : 0;
        }
    }
    std::vector<TListRow> rows;
    rows.reserve(Session.Rows().size());
    for (const TListRow& row : Session.Rows())
        if (static_cast<size_t>(row.Number) < shown.size() && shown[static_cast<size_t>(row.Number)])
            rows.push_back(row);
    SortRows(rows, SortColumn >= 0 ? static_cast<TSortColumn>(SortColumn) : TSortColumn::Number, SortDescending);
    ClearRows();
    for (const TListRow& row : rows) {
        mail_list->addKeyedItem(row.Number);
        mail_list->setEmphasized(mail_list->count() - 1, row.New);
        RowNumbers_.push_back(row.Number);
    }
    for (int i = 1; i < mail_list->count(); ++i)
        if (selected[static_cast<size_t>(rows[static_cast<size_t>(i - 1)].Number)])
            mail_list->setSelected(i, true);
    UpdateViewerCommands();
}

// ------------------------------------------------------------ the view

void TForm1::ClearStatus() { Status->Clear(); }

void TForm1::AddStatus(const QString& Line) { StatusAdd(Line); }

void TForm1::SetPanel(int Index, const QString& Text) {
    if (Index != 0) {
        Status_leiste->SetPanelText(Index, Text);
        return;
    }
    CountText_ = Text;
    ShowCount();
}

void TForm1::ShowStatusNow() {
    // Painted now, not at the next pass of the window's events (which may
    // come only after the server has answered): the label first takes the
    // room its new lines ask for.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    Status->repaint();
}

void TForm1::ShowProgress(int Value, int Maximum) {
    if (Maximum <= 0) {
        ProgressBar->hide();
        ProgressBar->setValue(0);
        ProgressBar->setMaximum(100);
        return;
    }
    if (ProgressBar->maximum() != Maximum)
        ProgressBar->setMaximum(Maximum);
    // A bar a few hundred pixels wide shows no step finer than half a
    // percent; the listing would otherwise repaint it for every message.
    // Where even that step is passed at every pass of the window's events (a
    // long list from a nearby server), the bar moves five times a second:
    // each move repaints it, and the style's drawing of it costs as much as
    // a few hundred messages' replies.
    const int value = std::min(Value, Maximum);
    const int step = std::max(Maximum / 200, 1);
    const bool due = step == 1 || !ProgressMoved_.isValid() || ProgressMoved_.hasExpired(kProgressMoveMs);
    if (value == Maximum || value < ProgressBar->value() || (value - ProgressBar->value() >= step && due)) {
        SetProgressValue(value);
        ProgressMoved_.start();
    }
    if (ProgressBar->isHidden()) {
        ProgressBar->show();
        ProgressBar->setFocus();
    }
}

void TForm1::ClearRows() {
    mail_list->clear();
    RowNumbers_.clear();
    if (Filter_.Active())
        ShowCount();
}

void TForm1::AddRow(int Number, const QString& Text) {
    mail_list->addItem(Text);
    RowNumbers_.push_back(Number);
    if (Filter_.Active())
        ShowCount();
    if (mail_list->isHidden())
        mail_list->show();
}

void TForm1::AddListedRow(const TListRow& Row) {
    // Keyed by its number: the list asks for the text (ListedRowText) only
    // of the rows it shows.
    mail_list->addKeyedItem(Row.Number);
    mail_list->setEmphasized(mail_list->count() - 1, Row.New);
    RowNumbers_.push_back(Row.Number);
    if (Filter_.Active())
        ShowCount();
    if (mail_list->isHidden())
        mail_list->show();
}

QString TForm1::ListedRowText(int Number) const {
    const TListRow* row = Session.Row(Number);
    return row ? row->Text() : QString();
}

void TForm1::RowsListed() {
    if (SortColumn >= 0)
        ShowRows();
    if (Session.State() == TSessionState::Connected)
        mail_list->setItemIndex(0);
}

void TForm1::RemoveMessages(const std::vector<int>& Numbers) {
    for (int row = mail_list->count() - 1; row >= 1; --row)
        if (std::find(Numbers.begin(), Numbers.end(), MessageOfRow(row)) != Numbers.end()) {
            mail_list->deleteItem(row);
            RowNumbers_.erase(RowNumbers_.begin() + (row - 1));
        }
    // The count panel tells the rows that are left.
    CountText_ = QString::number(std::max(mail_list->count() - 1, 0)) + QStringLiteral(" Mails");
    ShowCount();
}

void TForm1::StateChanged(TSessionState State) {
    switch (State) {
    case TSessionState::Idle:
        ShowListingButtons(false);
        btn_aktivieren(0);
        break;
    case TSessionState::Connected:
        ShowListingButtons(false);
        btn_aktivieren(2);
        break;
    case TSessionState::Listing:
    case TSessionState::Deleting:
    case TSessionState::Retrieving:
        // These can be cancelled.
        btn_aktivieren(1);
        ShowListingButtons(true);
        break;
    case TSessionState::Connecting:
    case TSessionState::Closing:
        ShowListingButtons(false);
        btn_aktivieren(1);
        break;
    }
    if (State == TSessionState::Idle)
        UpdateViewerCommands();
    // Message numbers now name another listing's messages.
    if (State == TSessionState::Connecting)
        Filter_.Forget();
}

bool TForm1::TrustCertificate(const kel::TCertificateInfo& Certificate, const QString& HostPort) {
    // A pin this port took from another of the host's ports is no trust of
    // its own: a certificate that does not match it is new here, not changed.
    kel::TCertificateInfo shown = Certificate;
    shown.PinChanged = Certificate.PinChanged && SettingsReg && !SettingsReg->CertificatePin(HostPort).isEmpty();
    TCertificateDialog dialog(shown, HostPort, Language, this);
    if (sweepbox::ExecModal(dialog) != QDialog::Accepted)
        return false;
    if (SettingsReg)
        SettingsReg->SetCertificatePin(HostPort, QString::fromStdString(Certificate.Fingerprint));
    return true;
}

namespace {

// A size as people read it: units of 1024 named KB, MB and GB, one decimal
// unless it is a whole number, so a ceiling of 1 GiB reads "1 GB".
QString ReadableSize(uint64_t Bytes, bool German) {
    const char* units[] = {"Bytes", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(Bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    const QLocale locale(German ? QLocale::German : QLocale::English);
    const double tenths = std::round(value * 10) / 10;
    const QString number = locale.toString(tenths, 'f', unit == 0 || tenths == std::floor(tenths) ? 0 : 1);
    return number + QLatin1Char(' ') + QLatin1String(units[unit]);
}

} // namespace

QString TForm1::OfferToSaveLargeMessage(int Number, uint64_t Size, uint64_t Ceiling) {
    QMessageBox box(QMessageBox::Question, QApplication::applicationName(),
                    Say("Die e-mail %1 ist mit %2 zu groß, um sie auf diesem Computer zu öffnen (höchstens %3).\n\n"
                        "Möchten Sie sie stattdessen in einer Datei speichern?",
                        "Message %1 is %2, too large to open on this computer (at most %3).\n\n"
                        "Save it to a file instead?")
                        .arg(QString::number(Number), ReadableSize(Size, IsGerman()), ReadableSize(Ceiling, IsGerman())),
                    QMessageBox::NoButton, this);
    box.setObjectName(QStringLiteral("large_message_box"));
    QPushButton* save = box.addButton(Say("Speichern …", "Save…"), QMessageBox::AcceptRole);
    save->setObjectName(QStringLiteral("BtnSave"));
    QPushButton* cancel = box.addButton(Say("Abbrechen", "Cancel"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("BtnCancel"));
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    sweepbox::ExecModal(box);
    if (box.clickedButton() != save || Form3 == nullptr)
        return QString();
    // The message window's dialog: it opens where the last file was saved.
    TSaveDialog dialog{QStringLiteral("save_dialog_large_message"),
                       Say("E-Mail speichern", "Save Message"),
                       Say("E-Mail|*.eml", "E-mail|*.eml"),
                       QStringLiteral("eml"),
                       Say("email-%1.eml", "message-%1.eml").arg(Number),
                       QString()};
    return Form3->AskFileName(dialog) ? dialog.FileName : QString();
}

void TForm1::LoggedIn() {
    LoginSucceeded_ = true;
    RememberPair(ConnectingServer_, ConnectingUser_);
}

void TForm1::SessionEnded() {
    Password->clear();
    UpdateViewerCommands();
    const bool haveServer = !servername->currentText().isEmpty();
    const bool haveUser = !Username->currentText().isEmpty();
    if (haveServer && haveUser)
        Password->setFocus();
    else if (haveServer)
        Username->setFocus();
    else
        servername->setFocus();
}

void TForm1::ConnectFailed() {
    mail_list->setFocus();
    ClearRows();
}

// ----------------------------------------------------------------- close

void TForm1::FormClose(QObject*) {
    if (AwaitingToken_) {
        OAuth2_->Cancel();
        TokenCommand_->Cancel();
    }
    Session.Close();
    WriteToIniFile();
}
