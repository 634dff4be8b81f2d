// Construction of the main window: controls, menus, wiring, the layout of
// the top panel, and the window events (activation, resize, close).
#include "app/windows/Main.h"

#include "app/core/Settings.h"
#include "app/signin/Keyring.h"
#include "app/signin/TokenCommand.h"
#include "app/windows/Dialogs.h"
#include "app/windows/MainWidgets.h"
#include "app/windows/info.h"
#include "ui/Colours.h"
#include "ui/MultiLst.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProxyStyle>
#include <QResizeEvent>
#include <QSettings>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>

TForm1* Form1 = nullptr;

namespace {

// Masks the password with "*" whatever the platform's own mask character is.
class TStarMaskStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QLabel* MakeCaptionLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QAction* MakeAction(QMenu* menu, const char* name, const QString& text, bool enabled) {
    QAction* action = menu->addAction(text);
    action->setObjectName(QString::fromLatin1(name));
    action->setEnabled(enabled);
    return action;
}

QPlainTextEdit* MakeMemo(QWidget* parent, const char* name, const QString& text) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setObjectName(QString::fromLatin1(name));
    memo->setReadOnly(true);
    memo->setPlainText(text);
    memo->setFocusPolicy(Qt::ClickFocus);
    return memo;
}

} // namespace

TForm1::TForm1(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Sweepbox"));
    // The icon is the program's (QApplication::windowIcon), set in main().
    CreateMenus();
    CreateControls();
    ApplyColours();
    WireHandlers();
    EnterShortcut = [this](QObject* Sender) { BtnConnectClick(Sender); };
    OpenBrowser = [this](const QUrl& Url) {
        if (QDesktopServices::openUrl(Url))
            return;
        // Without a browser of the desktop's, the user can still open the
        // page by hand, anywhere on this machine.
        QGuiApplication::clipboard()->setText(Url.toString(QUrl::FullyEncoded));
        StatusAdd(Say("Es ließ sich kein Browser öffnen. Öffnen Sie diese Adresse (sie steht in der Zwischenablage) "
                      "in einem Browser:",
                      "No browser could be opened. Please open this address (it is in the clipboard) in a browser:"));
        StatusAdd(Url.toString(QUrl::FullyEncoded));
    };
    OAuth2_ = std::make_unique<sweepbox::TOAuth2Flow>();
    OAuth2_->OpenBrowser = [this](const QUrl& Url) {
        if (OpenBrowser)
            OpenBrowser(Url);
    };
    TokenCommand_ = std::make_unique<sweepbox::TTokenCommand>();
    Keyring_ = std::make_unique<sweepbox::TKeyring>();
    // The keyring may ask the user to unlock it (or to name a password for
    // a new one) before it answers.
    Keyring_->LimitMs = 120000;

    pop3.Port = "110";
    pop3.RetrieveProgressStep = 10;
    pop3.OnError = [this](kel::TObject* Sender, int32_t Error, const std::string& Msg) {
        pop3Error(Sender, Error, Msg);
    };
    pop3.OnRetrieveProgress = [this](kel::TObject* Sender, uint16_t Percent) {
        pop3RetrieveProgress(Sender, Percent);
    };

    // The place, the size and the column widths come from the settings.
    FormCreate(this);
}

TForm1::~TForm1() {
    // The component's events point back into this window.
    pop3.OnError = nullptr;
    pop3.OnRetrieveProgress = nullptr;
    pop3.ProcessMessages = nullptr;
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::CreateMenus() {
    MainMenu = new QMenuBar(this);
    MainMenu->setObjectName(QStringLiteral("MainMenu"));
    setMenuBar(MainMenu);

    Datei = MainMenu->addMenu(QStringLiteral("&Server"));
    Datei->setObjectName(QStringLiteral("Datei"));
    Datei_C = MakeAction(Datei, "Datei_C", QStringLiteral("Co&nnect"), true);
    Datei_D = MakeAction(Datei, "Datei_D", QStringLiteral("&Disconnect"), false);
    Datei_L = MakeAction(Datei, "Datei_L", QStringLiteral("D&elete e-mails"), false);
    Datei_M = MakeAction(Datei, "Datei_M", QStringLiteral("&Mark all e-mails"), false);
    Datei_E = Datei->addSeparator();
    Datei_E->setObjectName(QStringLiteral("Datei_E"));
    Datei_Close = MakeAction(Datei, "Datei_Close", QStringLiteral("&Close"), true);

    help_men = MainMenu->addMenu(QStringLiteral("Help"));
    help_men->setObjectName(QStringLiteral("help_men"));
    help_I = MakeAction(help_men, "help_I", QStringLiteral("&About"), true);

    popmen_header = new QMenu(this);
    popmen_header->setObjectName(QStringLiteral("popmen_header"));
    men_header_anzeigen = MakeAction(popmen_header, "men_header_anzeigen", QStringLiteral("Show header"), true);
    men_email_anzeigen = MakeAction(popmen_header, "men_email_anzeigen", QStringLiteral("Show e-mail"), true);
    // The preview reads between the header and the whole message.
    men_preview = MakeAction(popmen_header, "men_preview", QStringLiteral("Preview"), true);
    popmen_header->insertAction(men_email_anzeigen, men_preview);
}

void TForm1::CreateControls() {
    auto* surface = new QWidget(this);
    surface->setObjectName(QStringLiteral("FormSurface"));
    surface->setMouseTracking(true);
    surface->installEventFilter(this);
    setCentralWidget(surface);
    auto* column = new QVBoxLayout(surface);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    Panel1 = new QWidget(surface);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->installEventFilter(this);
    column->addWidget(Panel1);

    auto makeButton = [this](const char* name, TGlyph glyph, const QString& caption, const QString& hint) {
        auto* button = new TSpeedButton(GlyphPainter(glyph), Panel1);
        button->setObjectName(QString::fromLatin1(name));
        button->setText(caption);
        button->setToolTip(hint);
        button->installEventFilter(this);
        return button;
    };
    BtnConnect = makeButton("BtnConnect", TGlyph::Connect, QStringLiteral("Connect"),
                            QStringLiteral("Connect to Server"));
    btn_cancel = makeButton("btn_cancel", TGlyph::Cancel, QStringLiteral("Cancel"),
                            QStringLiteral("Disconnect from Server"));
    btn_cancel->hide();
    BtnDisconnect = makeButton("BtnDisconnect", TGlyph::Disconnect, QStringLiteral("Disconnect"),
                               QStringLiteral("Disconnect from Server"));
    BtnDisconnect->setEnabled(false);
    BtnDelete = makeButton("BtnDelete", TGlyph::Delete, QStringLiteral("Delete"),
                           QStringLiteral("Delete marked e-mails"));
    BtnDelete->setEnabled(false);
    BtnMark = makeButton("BtnMark", TGlyph::Mark, QStringLiteral("Mark all"), QStringLiteral("Mark all e-mails"));
    BtnMark->setEnabled(false);
    btnheader = makeButton("btnheader", TGlyph::Header, QStringLiteral("Header"), QStringLiteral("Show header"));
    btnheader->setEnabled(false);
    btnmail = makeButton("btnmail", TGlyph::Mail, QStringLiteral("eMail"), QStringLiteral("Show email"));
    btnmail->setEnabled(false);
    BtnInfo = makeButton("BtnInfo", TGlyph::Info, QStringLiteral("Information"),
                         QStringLiteral("About this program"));
    BtnClose = makeButton("BtnClose", TGlyph::Close, QStringLiteral("Close"), QStringLiteral("Close programm"));

    Bevel1 = new TBevel(TBevel::TShape::VerticalLine, Panel1);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel3 = new TBevel(TBevel::TShape::TopLine, Panel1);
    Bevel3->setObjectName(QStringLiteral("Bevel3"));
    Bevel2 = new TBevel(TBevel::TShape::TopLine, Panel1);
    Bevel2->setObjectName(QStringLiteral("Bevel2"));
    Bevel2->lower();
    Bevel3->lower();

    Label1 = MakeCaptionLabel(Panel1, "Label1", QStringLiteral("Server:"));
    servername = new QComboBox(Panel1);
    servername->setObjectName(QStringLiteral("servername"));
    Label4 = MakeCaptionLabel(Panel1, "Label4", QStringLiteral("Security:"));
    Security = new QComboBox(Panel1);
    Security->setObjectName(QStringLiteral("Security"));
    Security->addItem(QStringLiteral("TLS"), QString(sweepbox::SecurityText(sweepbox::TSecurity::Tls)));
    Security->addItem(QStringLiteral("STARTTLS"), QString(sweepbox::SecurityText(sweepbox::TSecurity::StartTls)));
    Security->addItem(QStringLiteral("Unencrypted"), QString(sweepbox::SecurityText(sweepbox::TSecurity::None)));
    Security->installEventFilter(this);
    label2 = MakeCaptionLabel(Panel1, "label2", QStringLiteral("User:"));
    Username = new QComboBox(Panel1);
    Username->setObjectName(QStringLiteral("Username"));
    for (QComboBox* combo : {servername, Username}) {
        combo->setEditable(true);
        // Enter must not add the typed text as an entry: the two lists are
        // pairs and only a successful login adds to them.
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->installEventFilter(this);
    }
    Label3 = MakeCaptionLabel(Panel1, "Label3", QStringLiteral("Password:"));
    Password = new QLineEdit(Panel1);
    Password->setObjectName(QStringLiteral("Password"));
    Password->setEchoMode(QLineEdit::Password);
    auto* mask = new TStarMaskStyle;
    mask->setParent(Password);
    Password->setStyle(mask);
    Password->setMouseTracking(true);
    Password->installEventFilter(this);
    SignIn = new QComboBox(Panel1);
    SignIn->setObjectName(QStringLiteral("SignIn"));
    SignIn->addItem(QStringLiteral("Password"), sweepbox::SignInWord(sweepbox::TSignIn::Password));
    SignIn->addItem(QStringLiteral("OAuth2"), sweepbox::SignInWord(sweepbox::TSignIn::OAuth2));
    SignIn->installEventFilter(this);
    // Each caption names its field for screen readers.
    Label1->setBuddy(servername);
    Label4->setBuddy(Security);
    label2->setBuddy(Username);
    Label3->setBuddy(Password);

    Status_avi = new TBusyAnimation(Panel1);
    Status_avi->setObjectName(QStringLiteral("Status_avi"));
    Status_avi->hide();

    Header_Nein = new QCheckBox(QStringLiteral("Don't show Sender / Subject / Date / Size of Mail"), Panel1);
    Header_Nein->setObjectName(QStringLiteral("Header_Nein"));
    Header_Nein->installEventFilter(this);
    RememberPassword = new QCheckBox(QStringLiteral("Remember password"), Panel1);
    RememberPassword->setObjectName(QStringLiteral("RememberPassword"));
    RememberPassword->installEventFilter(this);

    info_fenster = MakeMemo(surface, "info_fenster", sweepbox::WelcomeTextGerman());
    info_fenster_eng = MakeMemo(surface, "info_fenster_eng", sweepbox::WelcomeTextEnglish());
    info_fenster_eng->viewport()->setCursor(Qt::ArrowCursor);
    column->addWidget(info_fenster, 1);
    column->addWidget(info_fenster_eng, 1);

    mail_list = new TMultiList(surface);
    mail_list->setObjectName(QStringLiteral("mail_list"));
    mail_list->setColumnSeperator(QLatin1Char('|'));
    mail_list->setRowSource([this](int Number) { return ListedRowText(Number); });
    // Each account's headers are kept between sessions in the user's cache folder.
    Session.CacheFolder = sweepbox::THeaderCache::DefaultFolder();
    mail_list->setHeaderSections({QStringLiteral("xxx"), QStringLiteral("xxx"), QStringLiteral("xxx"),
                                  QStringLiteral("xxx"), QStringLiteral("xxx")});
    mail_list->setColumnAlignment(0, Qt::AlignRight);
    mail_list->setColumnAlignment(1, Qt::AlignRight);
    QFont headerFont = mail_list->font();
    headerFont.setBold(true);
    mail_list->setHeaderFont(headerFont);
    // The form's 18 and 14 pixels, raised where the font is taller.
    mail_list->setHeaderHeight(std::max(18, QFontMetrics(headerFont).height() + 4));
    mail_list->setItemHeight(std::max(14, QFontMetrics(mail_list->font()).height() + 2));
    mail_list->setListWidth(449);
    mail_list->setMultiSelect(true);
    mail_list->setShowColumnLines(true);
    mail_list->setDefaultItemSelected(true);
    mail_list->setUpdateAlways(true);
    mail_list->setSmoothScroll(false);
    mail_list->setHorizontalScroll(false);
    mail_list->setScrollWidth(121);
    mail_list->setPopupMenu(popmen_header);
    mail_list->resize(545, 257);
    mail_list->hide();
    column->addWidget(mail_list, 1);
    CreateQuickFilter(column);

    ProgressBar = new QProgressBar(surface);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    ProgressBar->setFixedHeight(12);
    ProgressBar->hide();
    column->addWidget(ProgressBar);

    Status = new TStatusLabel(surface);
    Status->setObjectName(QStringLiteral("Status"));
    Status->hide();
    column->addWidget(Status);

    Status_leiste = new TStatusBar({70, 70, 50}, this);
    Status_leiste->setObjectName(QStringLiteral("Status_leiste"));
    setStatusBar(Status_leiste);

    setTabOrder(servername, Security);
    setTabOrder(Security, Username);
    setTabOrder(Username, Password);
    setTabOrder(Password, Header_Nein);
    setTabOrder(Header_Nein, SignIn);
    setTabOrder(SignIn, RememberPassword);
    setTabOrder(RememberPassword, mail_list);

    LayoutTopPanel();
}

void TForm1::WireHandlers() {
    using Handler = void (TForm1::*)(QObject*);
    auto onClick = [this](QAbstractButton* button, Handler handler) {
        connect(button, &QAbstractButton::clicked, this,
                [this, button, handler] { sweepbox::RunHandler(this, [&] { (this->*handler)(button); }); });
    };
    auto onTrigger = [this](QAction* action, Handler handler) {
        connect(action, &QAction::triggered, this,
                [this, action, handler] { sweepbox::RunHandler(this, [&] { (this->*handler)(action); }); });
    };
    onClick(BtnConnect, &TForm1::BtnConnectClick);
    onClick(btn_cancel, &TForm1::btn_cancelClick);
    onClick(BtnDisconnect, &TForm1::BtnDisconnectClick);
    onClick(BtnDelete, &TForm1::BtnDeleteClick);
    onClick(BtnMark, &TForm1::BtnMarkClick);
    onClick(btnheader, &TForm1::men_header_anzeigenClick);
    onClick(btnmail, &TForm1::men_email_anzeigenClick);
    onClick(BtnInfo, &TForm1::BtnInfoClick);
    onClick(BtnClose, &TForm1::BtnCloseClick);

    onTrigger(Datei_C, &TForm1::BtnConnectClick);
    onTrigger(Datei_D, &TForm1::BtnDisconnectClick);
    onTrigger(Datei_L, &TForm1::BtnDeleteClick);
    onTrigger(Datei_M, &TForm1::BtnMarkClick);
    onTrigger(Datei_Close, &TForm1::BtnCloseClick);
    onTrigger(help_I, &TForm1::BtnInfoClick);
    onTrigger(men_header_anzeigen, &TForm1::men_header_anzeigenClick);
    onTrigger(men_email_anzeigen, &TForm1::men_email_anzeigenClick);
    onTrigger(men_preview, &TForm1::men_previewClick);

    connect(servername, &QComboBox::activated, this,
            [this] { sweepbox::RunHandler(this, [&] { servernameClick(servername); }); });
    connect(Username, &QComboBox::activated, this,
            [this] { sweepbox::RunHandler(this, [&] { UsernameClick(Username); }); });
    connect(Security, &QComboBox::activated, this, [this] { SecurityChosen_ = true; });
    connect(RememberPassword, &QAbstractButton::clicked, this, [this] { RememberChosen_ = true; });
    connect(SignIn, &QComboBox::activated, this, [this] {
        SignInChosen_ = true;
        ShowSignInFields();
    });
    connect(servername, &QComboBox::editTextChanged, this,
            [this](const QString& text) { sweepbox::RunHandler(this, [&] { ServerEdited(text); }); });
    mail_list->header()->setSectionsClickable(true);
    connect(mail_list->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { sweepbox::RunHandler(this, [&] { SortBy(column); }); });
    connect(mail_list, &TMultiList::clicked, this,
            [this] { sweepbox::RunHandler(this, [&] { mail_listClick(mail_list); }); });
    connect(mail_list, &TMultiList::keyDown, this, [this](int key, Qt::KeyboardModifiers modifiers) {
        sweepbox::RunHandler(this, [&] { mail_listKeyDown(mail_list, key, modifiers); });
    });
}

void TForm1::LayoutTopPanel() {
    // The form's places are the minimum; a control moves right (or down)
    // only where the one before it needs more room in the current font.
    auto place = [](QWidget* w, int x, int y, int width, int height) { w->setGeometry(x, y, width, height); };
    auto buttonWidth = [](TSpeedButton* b, int formWidth) { return std::max(formWidth, b->sizeHint().width()); };
    const int buttonHeight = std::max(41, std::max({BtnConnect->sizeHint().height(), BtnInfo->sizeHint().height()}));

    int x = 0;
    int right = 0;
    auto nextButton = [&](TSpeedButton* b, int formX, int formWidth) {
        x = std::max(formX, right - 1);
        const int w = buttonWidth(b, formWidth);
        place(b, x, 2, w, buttonHeight);
        right = x + w;
    };
    nextButton(BtnConnect, 0, 65);
    // Cancel and disconnect share one place; it is wide enough for both.
    {
        x = std::max(64, right - 1);
        const int w = std::max(buttonWidth(btn_cancel, 65), buttonWidth(BtnDisconnect, 65));
        place(btn_cancel, x, 2, w, buttonHeight);
        place(BtnDisconnect, x, 2, w, buttonHeight);
        right = x + w;
    }
    nextButton(BtnDelete, 128, 65);
    nextButton(BtnMark, 192, 73);
    nextButton(btnheader, 264, 65);
    nextButton(btnmail, 328, 65);
    const int bevelX = std::max(403, right + 10);
    const int bevelY = 8 + (buttonHeight - 41) / 2;
    place(Bevel1, bevelX, bevelY, 7, 29);
    right = bevelX + 7 + 7;
    nextButton(BtnInfo, 416, 65);
    nextButton(BtnClose, 480, 65);
    const int buttonsRight = right;

    // The input row below the button row's line.
    const int lineY = 2 + buttonHeight;
    const int rowY = lineY + 5;
    const int fieldHeight = std::max({servername->sizeHint().height(), Password->sizeHint().height(), 21});
    auto labelAt = [&](QLabel* label, int formX, int leftLimit) {
        const int lx = std::max(formX, leftLimit);
        const QSize hint = label->sizeHint();
        place(label, lx, rowY + (fieldHeight - hint.height()) / 2, hint.width(), hint.height());
        return lx + hint.width();
    };
    int edge = labelAt(Label1, 0, 0);
    int fx = std::max(45, edge + 4);
    // Wide enough for "host:port".
    const int serverWidth = 150;
    place(servername, fx, rowY, serverWidth, fieldHeight);
    edge = labelAt(Label4, 175, fx + serverWidth + 8);
    fx = edge + 4;
    const int securityWidth = std::max(90, Security->sizeHint().width());
    place(Security, fx, rowY, securityWidth, fieldHeight);
    edge = labelAt(label2, 175, fx + securityWidth + 8);
    fx = std::max(208, edge + 4);
    place(Username, fx, rowY, 97, fieldHeight);
    edge = labelAt(Label3, 323, fx + 97 + 8);
    fx = std::max(385, edge + 4);
    // Wide enough for the hint that the keyring keeps the password.
    const int passwordWidth =
        std::max(73, QFontMetrics(Password->font()).horizontalAdvance(RememberedHint()) + 14);
    place(Password, fx, rowY, passwordWidth, fieldHeight);
    const int aviX = std::max(488, fx + passwordWidth + 12);
    place(Status_avi, aviX, rowY + (fieldHeight - 21) / 2, 21, 21);
    const int rowRight = aviX + 21;

    // The second row: the listing choice, then the sign-in box and the
    // keyring box, ending under the first row's end (below the password
    // field) where there is room.
    const QSize check = Header_Nein->sizeHint();
    const int checkY = std::max(72, rowY + fieldHeight + 3);
    const int secondRowHeight = std::max({15, check.height(), fieldHeight});
    const int checkHeight = std::max(15, check.height());
    place(Header_Nein, 21, checkY + (secondRowHeight - checkHeight) / 2, std::max(316, check.width()), checkHeight);
    const int signInWidth = std::max(80, SignIn->sizeHint().width());
    const QSize remember = RememberPassword->sizeHint();
    const int signInX = std::max(21 + Header_Nein->width() + 12, rowRight - signInWidth - 10 - remember.width());
    place(SignIn, signInX, checkY + (secondRowHeight - fieldHeight) / 2, signInWidth, fieldHeight);
    const int rememberX = signInX + signInWidth + 10;
    const int rememberHeight = std::max(15, remember.height());
    place(RememberPassword, rememberX, checkY + (secondRowHeight - rememberHeight) / 2, remember.width(), rememberHeight);
    const int panelHeight = std::max(92, checkY + secondRowHeight + 5);

    const int panelWidth = std::max({545, buttonsRight, rowRight, rememberX + RememberPassword->width()});
    place(Bevel3, 0, 0, Panel1->width(), 2);
    place(Bevel2, 0, lineY, Panel1->width(), panelHeight - lineY);
    Panel1->setFixedHeight(panelHeight);
    Panel1->setMinimumWidth(panelWidth);

    // The outer width of the form's minimum is 553; the frame is outside
    // the widget's own size here, so the inner minimum is the same figure.
    setMinimumSize(std::max(553, panelWidth + 8), 452);
}

// ---------------------------------------------------------------------------

void TForm1::FormCreate(QObject*) {
    SettingsReg = std::make_unique<sweepbox::TSettings>();
    GetFromIniFile();
    LayoutReg = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            QStringLiteral("Keyboard layout"));
    servername->setCurrentIndex(servername->count() - 1);
    Username->setCurrentIndex(Username->count() - 1);
    ShowPairSecurity(servername->currentIndex());
}

void TForm1::BtnCloseClick(QObject*) { close(); }

void TForm1::BtnInfoClick(QObject*) {
    if (AboutBox)
        AboutBox->exec();
}

void TForm1::ApplyColours() {
    // Maroon status text and black column lines on a light palette; on a
    // dark one the maroon is lightened until it reads, and the lines are a
    // grey that separates the columns without glaring.
    QPalette status = Status->palette();
    status.setColor(QPalette::WindowText,
                    colours::Readable(QColor(128, 0, 0), palette().color(QPalette::Window)));
    Status->setPalette(status);
    // The window's own palette: its children take theirs from it after it.
    const QColor base = palette().color(QPalette::Base);
    mail_list->setColumnLineColor(colours::Luminance(base) > 0.5
                                      ? palette().color(QPalette::Text)
                                      : colours::Readable(QColor(128, 128, 128), base, 3.0));
}

bool TForm1::event(QEvent* e) {
    if (e->type() == QEvent::ApplicationPaletteChange || e->type() == QEvent::PaletteChange)
        ApplyColours();
    if (e->type() == QEvent::WindowActivate && !LanguageSelected_)
        sweepbox::RunHandler(this, [&] { LanguageSelect(this); });
    return QMainWindow::event(e);
}

void TForm1::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    // A window manager may not hand the focus to a new window; the texts and
    // the focus are placed before the user can act either way. Not from
    // here directly: while the window is being shown its position still
    // lacks the frame, and a size change now would store that position.
    if (!LanguageSelected_)
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!LanguageSelected_)
                    sweepbox::RunHandler(this, [&] { LanguageSelect(this); });
            },
            Qt::QueuedConnection);
}

void TForm1::resizeEvent(QResizeEvent* e) {
    QMainWindow::resizeEvent(e);
    // The first resize event comes with showing the window (no old size):
    // nothing has changed, and the position is not settled yet.
    if (e->oldSize().isValid())
        sweepbox::RunHandler(this, [&] { FormResize(this); });
}

void TForm1::closeEvent(QCloseEvent* e) {
    sweepbox::RunHandler(this, [&] { FormClose(this); });
    e->accept();
}

bool TForm1::eventFilter(QObject* watched, QEvent* e) {
    switch (e->type()) {
    case QEvent::Resize:
        // The frame lines span the panel, however wide the window is.
        if (watched == Panel1) {
            Bevel3->resize(Panel1->width(), Bevel3->height());
            Bevel2->resize(Panel1->width(), Bevel2->height());
        }
        break;
    case QEvent::MouseMove:
    case QEvent::Enter:
        if (watched == centralWidget()) {
            if (e->type() == QEvent::MouseMove) {
                const QPoint at = static_cast<QMouseEvent*>(e)->position().toPoint();
                if (!centralWidget()->childAt(at))
                    sweepbox::RunHandler(this, [&] { FormMouseMove(this); });
            }
        } else {
            RunHover(watched);
        }
        break;
    case QEvent::KeyPress: {
        // A key the control ignores travels on to the panel and the window
        // surface, which are watched too; only the input row itself counts.
        const bool inputRow =
            watched == servername || watched == Security || watched == Username || watched == Password ||
            watched == SignIn || watched == Header_Nein || watched == RememberPassword;
        auto* key = static_cast<QKeyEvent*>(e);
        if (inputRow && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            sweepbox::RunHandler(this, [&] { FormKeyDown(watched, Qt::Key_Return, key->modifiers()); });
            // An editable combo box would otherwise pick the entry matching
            // its text and so re-pair the other box behind the user's back.
            if (watched == servername || watched == Username)
                return true;
        }
        break;
    }
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, e);
}
