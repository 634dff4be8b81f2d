// Signing in from the main window as a user does: OAuth2 through a browser
// (the tests' own authorization server and a stand-in browser) or a token
// command against Dovecot's oauth2 passdb, and a password kept in a real
// keyring across a restart. What reaches the screen, the server, the
// settings file and the keyring?
#include "app/windows/MainFixture.h"

#include "app/signin/Keyring.h"
#include "app/windows/OAuth2Client.h"
#include "support/DovecotServer.h"
#include "support/OAuth2TestServer.h"
#include "support/SecretService.h"
#include "ui/MultiLst.h"

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <string>
#include <vector>

namespace {

using sweepbox::test::DovecotServer;
using sweepbox::test::Q;
using Strings = std::vector<std::string>;

Strings ThreeMessages() {
    Strings msgs;
    for (int i = 1; i <= 3; ++i)
        msgs.push_back("From: Anna <anna@example.com>\r\nSubject: Note " + std::to_string(i) +
                       "\r\nDate: Mon, 6 Mar 2000 10:22:33 +0100\r\n\r\nText.\r\n");
    return msgs;
}

class SignInTest : public sweepbox::test::MainTest {
  protected:
    // The keyring's private bus must be in place before anything of Qt
    // reaches for a session bus.
    static void SetUpTestSuite() {
        sweepbox::test::SecretService::Shared();
        auth = new sweepbox::test::OAuth2TestServer;
        sweepbox::test::DovecotOptions options;
        options.OAuth2TokenInfoUrl = auth->TokenInfoUrl();
        dovecot = new DovecotServer(ThreeMessages(), options);
    }
    static void TearDownTestSuite() {
        delete dovecot;
        delete auth;
    }

    TForm1* Open() {
        form = StartIn(false);
        form->Session.PumpIntervalMs = 0;
        form->pop3.OnSendTextToSocket = [this](kel::TObject*, const std::string& s) {
            sent.push_back(s.substr(0, s.find(' ')));
        };
        form->OpenBrowser = [this](const QUrl& Url) {
            ++browserOpened;
            browser.Open(Url.toString().toStdString());
        };
        return form;
    }

    // The test server as the provider of 127.0.0.1, with or without the
    // client ID.
    void StoreProvider(bool WithClientId) {
        const QString group = QStringLiteral("OAuth2Providers/127.0.0.1/");
        sweepbox::test::Values values = {
            {group + Q("AuthorizationUrl"), QString::fromStdString(auth->AuthorizeUrl())},
            {group + Q("TokenUrl"), QString::fromStdString(auth->TokenUrl())},
        };
        if (WithClientId)
            values[group + Q("ClientId")] = Q(sweepbox::test::OAuth2TestServer::ClientId);
        Store(values);
    }

    void Type(const QString& Password = QString()) {
        for (auto [edit, text] :
             {std::pair{form->servername->lineEdit(), Q("127.0.0.1:") + QString::fromStdString(dovecot->PortText())},
              std::pair{form->Username->lineEdit(), Q("test")},
              std::pair{static_cast<QLineEdit*>(form->Password), Password}}) {
            edit->clear();
            if (!text.isEmpty())
                QTest::keyClicks(edit, text);
        }
        form->Security->setCurrentIndex(form->Security->findData(Q("none")));
    }
    void ChooseSignIn(const char* Word) {
        const int index = form->SignIn->findData(Q(Word));
        form->SignIn->setCurrentIndex(index);
        emit form->SignIn->activated(index);
    }
    void Connect() {
        sent.clear();
        QTest::mouseClick(form->BtnConnect, Qt::LeftButton);
    }
    int Rows() const { return std::max(form->mail_list->count() - 1, 0); }
    QString StatusText() const { return form->Status->Text(); }
    QByteArray SettingsFile() const {
        QFile file(scratch.filePath(QStringLiteral("Larkmoor/Sweepbox.conf")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void Disconnect() {
        if (form->BtnDisconnect->isEnabled())
            QTest::mouseClick(form->BtnDisconnect, Qt::LeftButton);
    }

    static inline sweepbox::test::OAuth2TestServer* auth = nullptr;
    static inline DovecotServer* dovecot = nullptr;
    TForm1* form = nullptr;
    Strings sent;
    sweepbox::test::BrowserStandIn browser;
    int browserOpened = 0;
};

// The first sign-in asks for the client ID, the browser signs in, the pair
// is remembered with OAuth2. A token the server stops taking is renewed
// with the refresh token, and where the provider refuses that, the browser
// is asked again; the password field is never needed.
TEST_F(SignInTest, OAuth2InTheBrowserSignsInAndRenewsARefusedToken) {
    SWEEPBOX_REQUIRE_DOVECOT(*dovecot);
    ASSERT_TRUE(auth->Running());
    StoreProvider(false);
    Open();
    Type();
    ChooseSignIn("oauth2");
    EXPECT_FALSE(form->Password->isEnabled());

    // Asked for the client ID once: refused first, then given.
    int asked = 0;
    bool give = false;
    const sweepbox::TModalHook before = sweepbox::SetModalHook([&](QDialog& dialog) {
        ++asked;
        auto* client = dynamic_cast<TOAuth2ClientDialog*>(&dialog);
        ASSERT_NE(client, nullptr);
        if (!give) {
            dialog.reject();
            return;
        }
        client->ClientId->setText(Q(sweepbox::test::OAuth2TestServer::ClientId));
        dialog.accept();
    });
    Connect();
    EXPECT_TRUE(StatusText().contains(Q("Error: OAuth2 at 127.0.0.1 needs a client ID, and none is set.")))
        << StatusText().toStdString();
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(form->BtnConnect->isEnabled());

    give = true;
    Connect();
    sweepbox::SetModalHook(before);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(Rows(), 3) << StatusText().toStdString();
    EXPECT_EQ(browserOpened, 1);
    EXPECT_EQ(Stored(Q("OAuth2Providers/127.0.0.1/ClientId")).toString(),
              Q(sweepbox::test::OAuth2TestServer::ClientId));
    EXPECT_NE(std::find(sent.begin(), sent.end(), "AUTH"), sent.end());
    EXPECT_EQ(std::find(sent.begin(), sent.end(), "PASS"), sent.end());
    Disconnect();

    // The server no longer takes the token: renewed once by refresh.
    auth->ExpireAccessTokens();
    const auto first = auth->Counters();
    Connect();
    EXPECT_EQ(Rows(), 3) << StatusText().toStdString();
    EXPECT_EQ(auth->Counters().RefreshGrants, first.RefreshGrants + 1);
    EXPECT_EQ(browserOpened, 1);
    Disconnect();

    // The provider refuses the refresh as well: the browser again.
    auth->ExpireAccessTokens();
    auth->SetRefuseRefresh(true);
    Connect();
    auth->SetRefuseRefresh(false);
    EXPECT_EQ(Rows(), 3) << StatusText().toStdString();
    EXPECT_EQ(browserOpened, 2);
    Disconnect();

    // A token about to expire is renewed before it is sent: one AUTH only.
    auth->SetExpiresIn(30);
    auth->ExpireAccessTokens();
    Connect();
    EXPECT_EQ(Rows(), 3) << StatusText().toStdString();
    Disconnect();
    const int refreshed = auth->Counters().RefreshGrants;
    Connect();
    auth->SetExpiresIn(3600);
    EXPECT_EQ(Rows(), 3) << StatusText().toStdString();
    EXPECT_EQ(auth->Counters().RefreshGrants, refreshed + 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "AUTH"), 1);
    EXPECT_EQ(browserOpened, 2);
    Disconnect();

    // The pair is kept with its sign-in; nothing secret went into the
    // settings file.
    form->close();
    EXPECT_EQ(Stored(Q("SignIn1")).toString(), Q("oauth2"));
    const QByteArray file = SettingsFile();
    for (const char* word : {"access_token", "refresh", "Bearer", "secret"})
        EXPECT_FALSE(file.contains(word)) << word << "\n" << file.toStdString();
}

// Cancel ends the wait for the browser at once; nothing reaches the server.
TEST_F(SignInTest, CancelEndsTheWaitForTheBrowser) {
    SWEEPBOX_REQUIRE_DOVECOT(*dovecot);
    StoreProvider(true);
    Open();
    form->OpenBrowser = [this](const QUrl&) {
        ++browserOpened;
        QTimer::singleShot(50, form, [this] {
            EXPECT_TRUE(form->btn_cancel->isVisible() && form->btn_cancel->isEnabled());
            EXPECT_FALSE(form->BtnConnect->isEnabled());
            QTest::mouseClick(form->btn_cancel, Qt::LeftButton);
        });
    };
    Type();
    ChooseSignIn("oauth2");
    Connect();
    EXPECT_EQ(browserOpened, 1);
    EXPECT_TRUE(StatusText().contains(Q("The OAuth2 sign-in was cancelled."))) << StatusText().toStdString();
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(form->BtnConnect->isEnabled());
    EXPECT_FALSE(form->btn_cancel->isVisible());
}

// A pair with a token command signs in with the first line it prints; a
// failing one shows what it wrote to its error output and sends nothing.
TEST_F(SignInTest, TokenCommandSignsInOrSaysWhyNot) {
    SWEEPBOX_REQUIRE_DOVECOT(*dovecot);
    const QString server = Q("127.0.0.1:") + QString::fromStdString(dovecot->PortText());
    const struct {
        const char* name;
        QString command;
        int rows;
        const char* status;
    } rows[] = {
        {"prints a token", Q("echo ") + QString::fromStdString(auth->IssueAccessToken()), 3, ""},
        {"fails", Q("sh -c \"echo 'no account here' >&2; exit 3\""), 0,
         "no account here"},
        {"does not exist", Q("/nonexistent/token-helper"), 0, "Error: the token command cannot be run"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Store({{Q("User1"), Q("test")},
               {Q("Server1"), server},
               {Q("Security1"), Q("none")},
               {Q("SignIn1"), Q("oauth2")},
               {Q("TokenCommand1"), row.command}},
              true);
        Open();
        EXPECT_EQ(form->SignIn->currentData().toString(), Q("oauth2"));
        Connect();
        EXPECT_EQ(Rows(), row.rows) << StatusText().toStdString();
        EXPECT_TRUE(StatusText().contains(Q(row.status))) << StatusText().toStdString();
        EXPECT_EQ(browserOpened, 0);
        if (row.rows == 0)
            EXPECT_TRUE(sent.empty());
        Disconnect();
        sweepbox::DestroyApplicationWindows();
    }
}

// Remember password keeps the password in the keyring, never in the
// settings file; after a restart the empty field signs in with it, and
// unticking the box removes it.
TEST_F(SignInTest, ARememberedPasswordSurvivesARestartInTheKeyringOnly) {
    auto& keyring = sweepbox::test::SecretService::Shared();
    SWEEPBOX_REQUIRE_SECRET_SERVICE(keyring);
    DovecotServer& plain = DovecotServer::Shared();
    SWEEPBOX_REQUIRE_DOVECOT(plain);
    plain.SetMessages(ThreeMessages());
    const QString server = Q("127.0.0.1:") + QString::fromStdString(plain.PortText());
    const QString key = sweepbox::PasswordKeyName(server, Q("test"));
    sweepbox::TKeyring look;
    look.Remove(key);

    Open();
    form->servername->lineEdit()->setText(server);
    form->Username->lineEdit()->setText(Q("test"));
    form->Security->setCurrentIndex(form->Security->findData(Q("none")));
    form->Password->setText(Q(DovecotServer::Password));
    form->RememberPassword->setChecked(true);
    Connect();
    ASSERT_EQ(Rows(), 3) << StatusText().toStdString();
    Disconnect();
    EXPECT_EQ(look.Find(key).Secret, Q(DovecotServer::Password));
    form->close();
    sweepbox::DestroyApplicationWindows();
    EXPECT_EQ(Stored(Q("KeepPassword1")).toString(), Q("yes"));
    EXPECT_FALSE(SettingsFile().contains(DovecotServer::Password));

    // The next start: the pair, its box ticked, the field empty.
    Open();
    EXPECT_TRUE(form->RememberPassword->isChecked());
    EXPECT_TRUE(form->Password->text().isEmpty());
    EXPECT_EQ(form->Password->placeholderText(), Q("(remembered)"));
    // Another server starts without the keyring; the pair's own brings it back.
    form->servername->lineEdit()->setText(Q("pop.other.example"));
    EXPECT_FALSE(form->RememberPassword->isChecked());
    EXPECT_TRUE(form->Password->placeholderText().isEmpty());
    form->servername->lineEdit()->setText(server);
    EXPECT_TRUE(form->RememberPassword->isChecked());
    Connect();
    EXPECT_EQ(Rows(), 3) << StatusText().toStdString();
    Disconnect();

    // Unticked: the next sign-in removes it.
    form->RememberPassword->setChecked(false);
    form->Password->setText(Q(DovecotServer::Password));
    Connect();
    EXPECT_EQ(Rows(), 3) << StatusText().toStdString();
    Disconnect();
    EXPECT_EQ(look.Find(key).Status, sweepbox::TKeyringStatus::NotFound);
    form->close();
    sweepbox::DestroyApplicationWindows();
    EXPECT_FALSE(Settings().contains(Q("KeepPassword1")));
    EXPECT_FALSE(SettingsFile().contains(DovecotServer::Password));
}

} // namespace
