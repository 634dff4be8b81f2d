// The main window: the button panel with the input row, the welcome texts,
// the message list, the status area and the menus, the settings and the
// language of the interface. The mailbox workflow behind the buttons lives in
// MainWorkflow.cpp.
#pragma once

#include "ui/Bevel.h"
#include "ui/BusyAnimation.h"
#include "app/core/Language.h"
#include "app/core/ListRows.h"
#include "app/core/MailboxSession.h"
#include "app/core/QuickFilter.h"
#include "app/core/SignIn.h"
#include "app/signin/OAuth2Flow.h"
#include "ui/SpeedButton.h"
#include "ui/StatusBar.h"
#include "ui/StatusLabel.h"
#include "mail/pop3/KelPOP3.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QProgressBar;
class QSettings;
class QVBoxLayout;
class QUrl;

namespace sweepbox {
class TSettings;
class TKeyring;
class TOAuth2Flow;
class TTokenCommand;
} // namespace sweepbox
class TMultiList;

namespace kel {
class TKelMsg;
}

class TForm1 : public QMainWindow, private TMailboxView, private TMailboxDecisions {
    Q_OBJECT
  public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // ---- controls (objectName = member name) ----
    QWidget* Panel1 = nullptr;
    TSpeedButton* BtnConnect = nullptr;
    TSpeedButton* btn_cancel = nullptr;
    TSpeedButton* BtnDisconnect = nullptr;
    TSpeedButton* BtnDelete = nullptr;
    TSpeedButton* BtnMark = nullptr;
    TSpeedButton* btnheader = nullptr;
    TSpeedButton* btnmail = nullptr;
    TBevel* Bevel1 = nullptr;
    TSpeedButton* BtnInfo = nullptr;
    TSpeedButton* BtnClose = nullptr;
    TBevel* Bevel3 = nullptr;
    TBevel* Bevel2 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* servername = nullptr;
    QLabel* Label4 = nullptr;
    // How the connection is secured: items "TLS", "STARTTLS", "Unencrypted"
    // with their sweepbox::SecurityText as data.
    QComboBox* Security = nullptr;
    QLabel* label2 = nullptr;
    QComboBox* Username = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* Password = nullptr;
    // How the pair signs in: "Password" / "OAuth2" with sweepbox::SignInWord
    // as data. With OAuth2 the password field is not needed.
    QComboBox* SignIn = nullptr;
    TBusyAnimation* Status_avi = nullptr;
    QCheckBox* Header_Nein = nullptr;
    // The desktop's keyring keeps the password (with OAuth2: the sign-in's
    // refresh token). Off unless the user ticks it.
    QCheckBox* RememberPassword = nullptr;

    QPlainTextEdit* info_fenster = nullptr;
    QPlainTextEdit* info_fenster_eng = nullptr;
    // Above the list, shown with it: only the rows whose sender or subject
    // contains its text are shown (Ctrl+F; Escape clears it).
    QLineEdit* QuickFilter = nullptr;
    TMultiList* mail_list = nullptr;
    QProgressBar* ProgressBar = nullptr;
    TStatusLabel* Status = nullptr;
    TStatusBar* Status_leiste = nullptr;

    QMenuBar* MainMenu = nullptr;
    QMenu* Datei = nullptr;
    QAction* Datei_C = nullptr;
    QAction* Datei_D = nullptr;
    QAction* Datei_L = nullptr;
    QAction* Datei_M = nullptr;
    QAction* Datei_E = nullptr;  // separator
    QAction* Datei_Close = nullptr;
    QMenu* help_men = nullptr;
    QAction* help_I = nullptr;
    QMenu* popmen_header = nullptr;
    QAction* men_header_anzeigen = nullptr;
    QAction* men_email_anzeigen = nullptr;
    QAction* men_preview = nullptr; // between the two above

    // The POP3 component: Port "110", RetrieveProgressStep 10, OnError and
    // OnRetrieveProgress bound to pop3Error and pop3RetrieveProgress. Only
    // the session talks to it.
    kel::TKelPOP pop3;

    // ---- settings and language ----
    // Interface language; decided once by LanguageSelect, which hands it to
    // the session. The dialogs hold a reference to it from their creation.
    sweepbox::TLanguage Language;
    bool IsGerman() const { return Language.German; }
    // The per-user settings ("Larkmoor"/"Sweepbox") and the store that holds
    // the keyboard layouts ("Keyboard layout").
    std::unique_ptr<sweepbox::TSettings> SettingsReg;
    std::unique_ptr<QSettings> LayoutReg;
    // The desktop's keyboard configuration, read when LayoutReg holds no
    // layout. Tests point it elsewhere before the window is first shown.
    QString DesktopKeyboardFile = QStringLiteral("/etc/default/keyboard");
    // Opens the provider's sign-in page: the desktop's browser; tests put a
    // stand-in here.
    std::function<void(const QUrl& Url)> OpenBrowser;
    // Where the Enter key of the input row goes; tests replace it to count.
    std::function<void(QObject* Sender)> EnterShortcut;

    void FormCreate(QObject* Sender);
    void FormResize(QObject* Sender);
    void LanguageSelect(QObject* Sender);
    bool LanguageSelected() const { return LanguageSelected_; }
    void BtnCloseClick(QObject* Sender);
    void BtnInfoClick(QObject* Sender);
    void GetFromIniFile();
    void WriteToIniFile();
    void servernameClick(QObject* Sender);
    void UsernameClick(QObject* Sender);

    // Hover help into the third status panel.
    void BtnConnectMouseMove(QObject* Sender);
    void btn_cancelMouseMove(QObject* Sender);
    void BtnDisconnectMouseMove(QObject* Sender);
    void BtnDeleteMouseMove(QObject* Sender);
    void BtnMarkMouseMove(QObject* Sender);
    void btnheaderMouseMove(QObject* Sender);
    void btnmailMouseMove(QObject* Sender);
    void BtnInfoMouseMove(QObject* Sender);
    void BtnCloseMouseMove(QObject* Sender);
    void PasswordMouseMove(QObject* Sender);
    void SecurityMouseMove(QObject* Sender);
    void FormMouseMove(QObject* Sender);
    // Enter in the input row connects (Key is a Qt::Key code).
    void FormKeyDown(QObject* Sender, int Key, Qt::KeyboardModifiers Shift);

    // Places the controls of the top panel: the form's positions, pushed
    // right or down where the current font needs more room.
    void LayoutTopPanel();

    // ---- mailbox workflow (MainWorkflow.cpp) ----
    // The workflow itself; the handlers below delegate to it.
    TMailboxSession Session{pop3, *this, *this, [] { QCoreApplication::processEvents(); }};
    // The column the list is sorted by (-1: none, the server's order) and
    // the direction; a click on a column header chooses, a second reverses.
    int SortColumn = -1;
    bool SortDescending = false;
    void SortBy(int Column);
    void ShowSortIndicator();
    // The message last fetched for viewing; the session releases it.
    kel::TKelMsg* CurrentMsg = nullptr;

    void BtnConnectClick(QObject* Sender);
    void BtnDisconnectClick(QObject* Sender);
    void BtnMarkClick(QObject* Sender);
    void BtnDeleteClick(QObject* Sender);
    void btn_cancelClick(QObject* Sender);
    // Key is a Qt::Key code.
    void mail_listKeyDown(QObject* Sender, int Key, Qt::KeyboardModifiers Shift);
    void mail_listClick(QObject* Sender);
    // 0 idle, 1 busy, 2 connected; any other value changes nothing.
    void btn_aktivieren(int mode);
    void pop3Error(kel::TObject* Sender, int32_t Error, const std::string& Msg);
    void pop3RetrieveProgress(kel::TObject* Sender, uint16_t Percent);
    void men_header_anzeigenClick(QObject* Sender);
    void men_email_anzeigenClick(QObject* Sender);
    // The start of the one selected message (TOP) in the preview window,
    // which stays open beside the list.
    void men_previewClick(QObject* Sender);
    // Quit on the component, then WriteToIniFile.
    void FormClose(QObject* Sender);

    // ---- secure connections (MainSecurity.cpp) ----
    // A PEM file of authorities trusted besides the system's (tests).
    QString TrustFile;
    // The chosen security as stored: "tls", "starttls" or "none".
    QString SecurityValue() const;
    // A text that names no security chooses TLS.
    void SetSecurityValue(const QString& Value);
    void SetSecurityValue(sweepbox::TSecurity Value);
    // The pinned fingerprint for "host:port" in the settings; empty if none.
    QString PinnedCertificate(const QString& HostPort) const;

  private:
    QString Say(const char* German, const char* English) const { return Language.Say(German, English); }
    void StatusAdd(const QString& Message);
    // Moves the pair to the end of the remembered pairs, ten kept at most;
    // the pair keeps the security it was used with.
    void RememberPair(const QString& Host, const QString& User);
    // The security of remembered pair Index goes to the security box.
    void ShowPairSecurity(int Index);
    // The server field's text changed (typed, or a pair picked).
    void ServerEdited(const QString& Text);
    // The user chose a security since the last pair was picked.
    bool SecurityChosen_ = false;
    // ---- sign-in (MainSignIn.cpp) ----
    // Besides its security (Qt::UserRole), each remembered server carries
    // its pair's sign-in word, token command and keyring choice.
    static constexpr int kSignInRole = Qt::UserRole + 1;
    static constexpr int kTokenCommandRole = Qt::UserRole + 2;
    static constexpr int kKeepPasswordRole = Qt::UserRole + 3;
    sweepbox::TSignIn SignInChoice() const;
    void SetSignInChoice(sweepbox::TSignIn Value);
    // Remembered pair Index's sign-in goes to the sign-in box and the
    // keyring box.
    void ShowPairSignIn(int Index);
    // The password field is needed only for a password; the keyring box
    // names what it keeps.
    void ShowSignInFields();
    // What the empty password field says where the keyring keeps it.
    QString RememberedHint() const;
    // The user chose a sign-in, or ticked or unticked the keyring box, since
    // the last pair was picked.
    bool SignInChosen_ = false;
    bool RememberChosen_ = false;
    // Fills in what the sign-in needs beyond the input row: a password the
    // keyring keeps, an OAuth2 token (Fresh: the last one was refused).
    // False, the reason in the status, when the connect cannot go on.
    bool PrepareSignIn(TConnectRequest& Request, bool Fresh);
    bool PasswordFromKeyring(TConnectRequest& Request);
    bool ObtainAccessToken(TConnectRequest& Request, bool Fresh);
    // After a login: the keyring keeps the pair's secret or forgets it, as
    // the box says.
    void KeepSecrets(const TConnectRequest& Request, bool WasKept);
    // The server refused this pair's access token: the next one is fresh.
    void ForgetAccessToken(const TConnectRequest& Request);
    // "host:port" of the server field as the session will connect to it.
    QString RequestHostPort(const TConnectRequest& Request) const;
    // This run's tokens of the request's pair.
    sweepbox::TOAuth2Tokens& TokensFor(const TConnectRequest& Request);
    // The request names a remembered pair whose secret the keyring keeps.
    bool PairKeepsSecret(const TConnectRequest& Request) const;
    // While a token is awaited the window is busy and offers Cancel.
    void AwaitingToken(bool Waiting);
    bool AwaitingToken_ = false;
    bool LoginSucceeded_ = false;
    std::unique_ptr<sweepbox::TOAuth2Flow> OAuth2_;
    std::unique_ptr<sweepbox::TTokenCommand> TokenCommand_;
    std::unique_ptr<sweepbox::TKeyring> Keyring_;
    // This run's tokens by "user@host:port"; a refresh token also in the
    // keyring where the user asked for it.
    std::map<QString, sweepbox::TOAuth2Tokens> Tokens_;
    void ShowListingButtons(bool Listing);
    void UpdateViewerCommands();
    bool ViewerCommandAllowed();
    // The one selected row a viewer command works on; 0 (and why in the
    // status) when the command may not run or not exactly one is selected.
    int SingleViewerRow();
    // Index of the one selected data row, or 0 when not exactly one is.
    int SingleSelectedRow() const;
    // Fills the list from the session's rows in the chosen order, keeping
    // the selection.
    void ShowRows();
    // The message of each data row, in the list's order: row i's at i - 1.
    // Every change to the list's rows changes it alike.
    std::vector<int> RowNumbers_;
    // The message number of a list row (rows count from 1; 0 for none).
    int MessageOfRow(int Row) const;
    // The list's text of the listed row of message Number (the list's row source).
    QString ListedRowText(int Number) const;
    // ---- the quick filter (MainFilter.cpp) ----
    // The field above the list, its keys and Ctrl+F.
    void CreateQuickFilter(QVBoxLayout* Column);
    void ApplyQuickFilterTexts();
    // The filter field's text changed.
    void QuickFilterEdited(const QString& Text);
    // The count panel: the session's count, or with a filter how many rows
    // of how many are shown.
    void ShowCount();
    // The count panel's text as the session last set it.
    QString CountText_;
    sweepbox::TQuickFilter Filter_{[this](int Number) {
        const TListRow* row = Session.Row(Number);
        return row ? QStringList{row->Sender(), row->Subject()} : QStringList();
    }};
    // The pair being connected, remembered once the login succeeds.
    QString ConnectingServer_, ConnectingUser_;

    // ---- the session's view (MainWorkflow.cpp) ----
    void ClearStatus() override;
    void AddStatus(const QString& Line) override;
    void ShowStatusNow() override;
    void SetPanel(int Index, const QString& Text) override;
    void ShowProgress(int Value, int Maximum) override;
    void ClearRows() override;
    void AddRow(int Number, const QString& Text) override;
    void AddListedRow(const TListRow& Row) override;
    void RowsListed() override;
    void RemoveMessages(const std::vector<int>& Numbers) override;
    void StateChanged(TSessionState State) override;
    void LoggedIn() override;
    void SessionEnded() override;
    void ConnectFailed() override;

    // ---- the session's decisions (MainWorkflow.cpp) ----
    bool TrustCertificate(const kel::TCertificateInfo& Certificate, const QString& HostPort) override;
    QString OfferToSaveLargeMessage(int Number, uint64_t Size, uint64_t Ceiling) override;

  public:
    // ---- end of mailbox workflow ----

  protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void CreateControls();
    // Colours derived from the palette in use (set again when it changes).
    void ApplyColours();
    // The progress bar's value, painted with the window's next repaint.
    void SetProgressValue(int Value);
    // When ShowProgress last moved the bar, and how often it may in a long listing.
    QElapsedTimer ProgressMoved_;
    static constexpr qint64 kProgressMoveMs = 200;
    void CreateMenus();
    void WireHandlers();
    void ApplyTexts();
    void RunHover(QObject* watched);

    bool LanguageSelected_ = false;
};

// The program's main window, set while it exists.
extern TForm1* Form1;
