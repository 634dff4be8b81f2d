// The security box of the main window: where its value comes from (the
// remembered pair, the server typed, the user's own choice), how it is
// stored, how the server field is read, and the warning before a password
// leaves this machine unencrypted.
#include "app/windows/MainFixture.h"

#include "app/windows/MainWidgets.h"
#include "app/core/ServerAddress.h"
#include "support/ScriptedTransport.h"

#include <QEvent>
#include <QLineEdit>

#include <functional>
#include <memory>
#include <utility>

namespace {

using sweepbox::test::MainTest;
using sweepbox::test::Q;
using sweepbox::test::Values;
using sweepbox::TServerAddress;

TEST(ServerField, HostPortAndBracketedIPv6) {
    const struct {
        const char* field;
        const char* host;
        uint16_t port;
        bool valid;
    } rows[] = {
        {"pop.example.org", "pop.example.org", 0, true},
        {" pop.example.org:995 ", "pop.example.org", 995, true},
        {"127.0.0.1:2110", "127.0.0.1", 2110, true},
        {"[::1]:995", "::1", 995, true},
        {"[2001:db8::5]", "2001:db8::5", 0, true},
        {"::1", "::1", 0, true}, // a bare IPv6 address has no port
        {"pop.example.org:0", "", 0, false},
        {"pop.example.org:65536", "", 0, false},
        {"pop.example.org:+5", "", 0, false},
        {"pop.example.org:", "", 0, false},
        {"[::1", "", 0, false},
        {"[::1]x", "", 0, false},
        {":110", "", 0, false},
        {"pop example.org", "", 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.field);
        const TServerAddress a = sweepbox::ParseServerField(Q(row.field));
        EXPECT_EQ(a.Valid, row.valid);
        if (row.valid) {
            EXPECT_EQ(a.Host, Q(row.host));
            EXPECT_EQ(a.Port, row.port);
        }
    }
    EXPECT_EQ(sweepbox::HostPortKey(Q("::1"), 995), Q("[::1]:995"));
    EXPECT_EQ(sweepbox::HostPortKey(Q("pop.example.org"), 110), Q("pop.example.org:110"));
}

TEST(ServerField, LoopbackHostsAreNamedOrInTheHostsFileOnly) {
    QTemporaryDir dir;
    const QString hosts = dir.filePath(Q("hosts"));
    QFile f(hosts);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("127.0.0.1 localhost testpop # a comment names nobody: mixed\n"
            "::1 ip6-localhost testpop\n"
            "127.0.1.1 mixed\n192.0.2.7 mixed\n"
            "# 127.0.0.1 commented\n");
    f.close();
    const struct {
        const char* host;
        bool loopback;
    } rows[] = {
        {"127.0.0.1", true},    {"127.8.9.10", true}, {"::1", true},        {"::ffff:127.0.0.1", true},
        {"localhost", true},    {"a.localhost", true}, {"TestPop", true},    {"mixed", false},
        {"commented", false},   {"192.0.2.7", false}, {"pop.example", false}, {"", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(sweepbox::IsLoopbackHost(Q(row.host), hosts), row.loopback) << row.host;
}

TEST_F(MainTest, EachPairKeepsItsSecurityAndOldSettingsTakeTheDefault) {
    Store({{Q("Server1"), Q("pop1.example")},
           {Q("User1"), Q("u1")},
           {Q("Server2"), Q("127.0.0.1:2110")},
           {Q("User2"), Q("u2")},
           {Q("Server3"), Q("pop3.example")},
           {Q("User3"), Q("u3")},
           {Q("Security3"), Q("starttls")},
           {Q("Server4"), Q("pop4.example")},
           {Q("User4"), Q("u4")},
           {Q("Security4"), Q("sideways")}},
          true);
    TForm1* form = StartIn(false);
    // The last pair is preselected, with its security.
    EXPECT_EQ(form->SecurityValue(), Q("tls"));
    const char* expected[] = {"tls", "none", "starttls", "tls"};
    for (int i : {2, 0, 1, 3}) {
        form->servername->setCurrentIndex(i);
        form->servernameClick(form->servername);
        EXPECT_EQ(form->SecurityValue(), Q(expected[i])) << i;
    }
    form->Username->setCurrentIndex(2);
    form->UsernameClick(form->Username);
    EXPECT_EQ(form->SecurityValue(), Q("starttls"));
    form->FormClose(form);
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(Stored(Q("Security%1").arg(n)).toString(), Q(expected[n - 1])) << n;
    EXPECT_FALSE(Stored(Q("Security5")).isValid());
}

TEST_F(MainTest, ATypedServerTakesItsDefaultUnlessTheUserChose) {
    Store({{Q("Server1"), Q("pop1.example")}, {Q("User1"), Q("u1")}, {Q("Security1"), Q("starttls")}}, true);
    TForm1* form = StartIn(true);
    QLineEdit* field = form->servername->lineEdit();
    const struct {
        const char* typed;
        const char* security;
    } rows[] = {
        {"localhost:2110", "none"},
        {"mail.example.org", "tls"},
        {"[::1]:110", "none"},
        {"pop1.example", "starttls"}, // a remembered server brings its own
    };
    for (const auto& row : rows) {
        field->clear();
        QTest::keyClicks(field, Q(row.typed));
        EXPECT_EQ(form->SecurityValue(), Q(row.security)) << row.typed;
    }
    EXPECT_EQ(form->Security->itemText(form->Security->findData(Q("none"))), Q("Unverschlüsselt"));
    // A choice by hand stands while the user types on.
    form->Security->setFocus();
    QTest::keyClick(form->Security, Qt::Key_Up); // STARTTLS -> TLS
    EXPECT_EQ(form->SecurityValue(), Q("tls"));
    field->clear();
    QTest::keyClicks(field, Q("localhost"));
    EXPECT_EQ(form->SecurityValue(), Q("tls"));
}

// Unencrypted to a server elsewhere: the warning stands in the status line
// before the password is sent.
TEST_F(MainTest, UnencryptedPasswordToAnotherHostIsAnnouncedBeforeItIsSent) {
    TForm1* form = StartIn(false);
    auto owned = std::make_unique<sweepbox::test::ScriptedTransport>();
    sweepbox::test::ScriptedTransport& server = *owned;
    server.LineAtATime = true;
    server.Serve("+OK ready\r\n-ERR no capabilities\r\n+OK\r\n-ERR [AUTH] Authentication failed.\r\n");
    form->pop3.SetTransport(std::move(owned));
    QString statusAtPass;
    form->pop3.OnSendTextToSocket = [&](kel::TObject*, const std::string& s) {
        if (s.rfind("PASS", 0) == 0)
            statusAtPass = form->Status->Text();
    };
    form->servername->setEditText(Q("pop.example.net"));
    form->Security->setCurrentIndex(form->Security->findData(Q("none")));
    form->Username->setEditText(Q("test"));
    form->Password->setText(Q("secret"));
    form->BtnConnectClick(form->BtnConnect);
    EXPECT_TRUE(statusAtPass.contains(Q("Warning: the password is sent unencrypted."))) << statusAtPass.toStdString();
    // A refused login over plain text to a server elsewhere gets the hint.
    EXPECT_TRUE(form->Status->Text().contains(Q("Hint: if the password is right"))) << form->Status->Text().toStdString();
    EXPECT_EQ(server.Written, "[open]CAPA\r\nUSER test\r\nPASS secret\r\n[close]");
}

// Counts the paints of a widget that showed a text.
class PaintWatch : public QObject {
  public:
    PaintWatch(QWidget* Watched, std::function<bool()> Showing) : Showing_(std::move(Showing)) {
        Watched->installEventFilter(this);
    }
    int Paints = 0;

  protected:
    bool eventFilter(QObject*, QEvent* Event) override {
        if (Event->type() == QEvent::Paint && Showing_())
            ++Paints;
        return false;
    }

  private:
    std::function<bool()> Showing_;
};

// The warning is painted, not merely added to the label, before USER goes:
// the window may not get to run its events until the listing is over.
TEST_F(MainTest, UnencryptedWarningIsPaintedBeforeTheUserNameIsSent) {
    TForm1* form = StartIn(false);
    ASSERT_TRUE(form->isVisible());
    auto owned = std::make_unique<sweepbox::test::ScriptedTransport>();
    owned->LineAtATime = true;
    owned->Serve("+OK ready\r\n-ERR no capabilities\r\n+OK\r\n-ERR [AUTH] Authentication failed.\r\n");
    form->pop3.SetTransport(std::move(owned));
    const QString warning = Q("Warning: the password is sent unencrypted.");
    PaintWatch watch(form->Status, [&] { return form->Status->Text().contains(warning); });
    int paintsAtUser = -1;
    QRect statusAtUser;
    form->pop3.OnSendTextToSocket = [&](kel::TObject*, const std::string& s) {
        if (s.rfind("USER", 0) == 0) {
            paintsAtUser = watch.Paints;
            statusAtUser = form->Status->geometry();
        }
    };
    // No pass of the window's events during the login.
    form->Session.PumpIntervalMs = 60000;
    form->servername->setEditText(Q("pop.example.net"));
    form->Security->setCurrentIndex(form->Security->findData(Q("none")));
    form->Username->setEditText(Q("test"));
    form->Password->setText(Q("secret"));
    form->BtnConnectClick(form->BtnConnect);
    EXPECT_GE(paintsAtUser, 1);
    // Laid out tall enough for its lines when it was painted.
    EXPECT_GE(statusAtUser.height(), 2 * form->Status->fontMetrics().height());
}

} // namespace
