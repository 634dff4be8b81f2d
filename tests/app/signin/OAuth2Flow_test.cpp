// Signing in with OAuth2 against the tests' own authorization server, a
// stand-in browser doing what the user's would, and Dovecot checking the
// token it gives.
#include "app/signin/OAuth2Flow.h"

#include "support/BoundedWaits.h"
#include "support/DovecotServer.h"
#include "support/OAuth2TestServer.h"
#include "support/QtCoreTestApp.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <string>

namespace {

using sweepbox::TOAuth2Flow;
using sweepbox::TOAuth2Provider;
using sweepbox::TTokenFailure;
using sweepbox::TTokenResult;
using sweepbox::test::BrowserStandIn;
using sweepbox::test::HttpAnswer;
using sweepbox::test::HttpGet;
using sweepbox::test::OAuth2TestServer;

std::string Text(const QString& s) { return s.toStdString(); }

// Public: the table rows arrange the fixture.
class OAuth2FlowTest : public ::testing::Test {
  public:
    void SetUp() override {
        sweepbox::test::EnsureCoreApp();
        ASSERT_TRUE(server.Running());
        provider.AuthorizationUrl = QString::fromStdString(server.AuthorizeUrl());
        provider.TokenUrl = QString::fromStdString(server.TokenUrl());
        provider.ClientId = QString::fromLatin1(OAuth2TestServer::ClientId);
        provider.Scope = QStringLiteral("mail offline");
        flow.TimeLimitMs = 20000;
        browse = true;
        flow.OpenBrowser = [this](const QUrl& Url) {
            ++opened;
            openedUrl = Url;
            if (browse)
                browser.Open(Text(Url.toString(QUrl::FullyEncoded)));
        };
    }
    // The loopback address the flow gave the provider last.
    std::string RedirectUri() const {
        return Text(QUrlQuery(openedUrl).queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded));
    }
    bool TokenGood(const QString& AccessToken) const {
        return HttpGet(server.TokenInfoUrl() + AccessToken.toStdString()).Status == 200;
    }
    TTokenResult SignIn() {
        TTokenResult r = flow.Authorize(provider, QStringLiteral("someone+tag@example.com"));
        browser.Pages(); // the browser is done too
        return r;
    }

    OAuth2TestServer server;
    TOAuth2Provider provider;
    BrowserStandIn browser;
    TOAuth2Flow flow;
    int opened = 0;
    QUrl openedUrl;
    bool browse = true; // false: the user never comes back from the browser
};

// Does the browser flow end with tokens, the proof key checked and the
// loopback listener gone?
TEST_F(OAuth2FlowTest, SignsInThroughTheBrowserWithAProofKey) {
    const TTokenResult r = SignIn();
    ASSERT_TRUE(r.Ok()) << Text(r.Detail);
    EXPECT_TRUE(TokenGood(r.Tokens.AccessToken));
    EXPECT_FALSE(r.Tokens.RefreshToken.isEmpty());
    ASSERT_TRUE(r.Tokens.ExpiresAt.isValid());
    EXPECT_NEAR(QDateTime::currentDateTimeUtc().secsTo(r.Tokens.ExpiresAt), 3600, 120);

    const auto counts = server.Counters();
    EXPECT_EQ(counts.Authorize, 1);
    EXPECT_EQ(counts.CodeGrants, 1); // the server found the verifier right
    EXPECT_EQ(counts.RefusedCodes, 0);
    auto query = server.LastAuthorizeQuery();
    EXPECT_EQ(query["code_challenge_method"], "S256");
    EXPECT_EQ(query["login_hint"], "someone+tag@example.com");
    EXPECT_EQ(query["scope"], "mail offline");
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^http://127\\.0\\.0\\.1:[1-9][0-9]*/$"))
                    .match(QString::fromStdString(RedirectUri()))
                    .hasMatch())
        << RedirectUri();

    const std::vector<HttpAnswer> pages = browser.Pages();
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].Status, 302);
    EXPECT_EQ(pages[1].Status, 200);
    EXPECT_NE(pages[1].Body.find("Signed in"), std::string::npos) << pages[1].Body;
    EXPECT_EQ(HttpGet(RedirectUri()).Status, 0) << "the loopback port is still open";

    // A second sign-in has a proof key and a state of its own.
    const std::string firstChallenge = query["code_challenge"], firstState = query["state"];
    ASSERT_TRUE(SignIn().Ok());
    query = server.LastAuthorizeQuery();
    EXPECT_NE(query["code_challenge"], firstChallenge);
    EXPECT_NE(query["state"], firstState);
    EXPECT_EQ(opened, 2);
}

// Is what reaches the loopback port and is not this sign-in's redirect
// refused, the wait going on?
TEST_F(OAuth2FlowTest, RefusesWhatIsNotItsRedirectAndKeepsWaiting) {
    std::vector<HttpAnswer> strays;
    browser.BeforeRedirect = [&strays](const std::string& Location) {
        const std::string base = Location.substr(0, Location.find('?'));
        strays.push_back(HttpGet(base + "favicon.ico"));
        strays.push_back(HttpGet(base + "?code=forged&state=forged"));
        strays.push_back(HttpGet(base + "?code=forged"));
        strays.push_back(HttpGet(base + "?error=access_denied&state=forged"));
    };
    const TTokenResult r = SignIn();
    ASSERT_TRUE(r.Ok()) << Text(r.Detail);
    ASSERT_EQ(strays.size(), 4u);
    EXPECT_EQ(strays[0].Status, 404);
    for (size_t i = 1; i < strays.size(); ++i)
        EXPECT_EQ(strays[i].Status, 400) << i;
    EXPECT_EQ(server.Counters().RefusedCodes, 0) << "a forged code went to the token endpoint";
}

// How do the ways of not getting a token end, and is the port closed after each?
TEST_F(OAuth2FlowTest, EndsWithoutATokenForEachReason) {
    const struct {
        const char* name;
        std::function<void(OAuth2FlowTest&)> arrange;
        TTokenFailure failure;
        const char* detail; // a part of Detail
    } rows[] = {
        {"the provider says no", [](OAuth2FlowTest& t) { t.server.SetDenyAuthorization(true); },
         TTokenFailure::Denied, "access_denied"},
        {"only a foreign state comes back",
         [](OAuth2FlowTest& t) {
             t.server.SetForeignState(true);
             t.flow.TimeLimitMs = 1500;
         },
         TTokenFailure::StateMismatch, ""},
        {"the user never comes back",
         [](OAuth2FlowTest& t) {
             t.browse = false;
             t.flow.TimeLimitMs = 300;
         },
         TTokenFailure::TimedOut, ""},
        {"the token endpoint answers too much",
         [](OAuth2FlowTest& t) { t.server.SetTokenPadding(4 * 1024 * 1024); }, TTokenFailure::ExchangeFailed,
         "too large"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        OAuth2FlowTest& t = *this;
        server.SetDenyAuthorization(false);
        server.SetForeignState(false);
        server.SetTokenPadding(0);
        SetUp();
        row.arrange(t);
        const TTokenResult r = SignIn();
        EXPECT_EQ(r.Failure, row.failure) << Text(r.Detail);
        EXPECT_NE(Text(r.Detail).find(row.detail), std::string::npos) << Text(r.Detail);
        EXPECT_TRUE(r.Tokens.AccessToken.isEmpty());
        EXPECT_EQ(HttpGet(RedirectUri()).Status, 0) << "the loopback port is still open";
    }
}

// Does Cancel from the window's loop end the wait at once?
TEST_F(OAuth2FlowTest, CancelEndsTheWaitAndClosesThePort) {
    flow.TimeLimitMs = 60000;
    browse = false;
    QTimer::singleShot(100, [this] { flow.Cancel(); });
    QElapsedTimer clock;
    clock.start();
    const TTokenResult r = flow.Authorize(provider, QString());
    EXPECT_EQ(r.Failure, TTokenFailure::Cancelled);
    EXPECT_LT(clock.elapsed(), 30000);
    EXPECT_EQ(HttpGet(RedirectUri()).Status, 0) << "the loopback port is still open";
}

TEST_F(OAuth2FlowTest, WithoutAUsableProviderNothingIsOpened) {
    const TOAuth2Provider good = provider;
    provider.ClientId.clear();
    EXPECT_EQ(flow.Authorize(provider, QString()).Failure, TTokenFailure::ClientIdMissing);
    EXPECT_EQ(flow.Refresh(provider, QStringLiteral("rt")).Failure, TTokenFailure::ClientIdMissing);
    // Addresses from the settings that are no web addresses.
    provider = good;
    provider.AuthorizationUrl = QStringLiteral("file:///etc/passwd");
    EXPECT_EQ(flow.Authorize(provider, QString()).Failure, TTokenFailure::ExchangeFailed);
    provider = good;
    provider.TokenUrl = QStringLiteral("file:///etc/passwd");
    EXPECT_EQ(flow.Authorize(provider, QString()).Failure, TTokenFailure::ExchangeFailed);
    EXPECT_EQ(flow.Refresh(provider, QStringLiteral("rt")).Failure, TTokenFailure::ExchangeFailed);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(server.Counters().Authorize, 0);
}

// Does an expired token give way to a fresh one, and does a refused
// refresh tell the caller to authorize again?
TEST_F(OAuth2FlowTest, RefreshesAnExpiredTokenUntilTheProviderRefuses) {
    const TTokenResult first = SignIn();
    ASSERT_TRUE(first.Ok()) << Text(first.Detail);
    server.ExpireAccessTokens();
    ASSERT_FALSE(TokenGood(first.Tokens.AccessToken));

    const TTokenResult second = flow.Refresh(provider, first.Tokens.RefreshToken);
    ASSERT_TRUE(second.Ok()) << Text(second.Detail);
    EXPECT_NE(second.Tokens.AccessToken, first.Tokens.AccessToken);
    EXPECT_TRUE(TokenGood(second.Tokens.AccessToken));
    // The server hands out no new refresh token; its own has '+', '/', '='.
    EXPECT_EQ(second.Tokens.RefreshToken, first.Tokens.RefreshToken);
    EXPECT_TRUE(second.Tokens.ExpiresAt.isValid());
    EXPECT_EQ(server.Counters().RefreshGrants, 1);

    const TTokenResult unknown = flow.Refresh(provider, QStringLiteral("rt-unknown"));
    EXPECT_EQ(unknown.Failure, TTokenFailure::RefreshRefused);
    server.SetRefuseRefresh(true);
    const TTokenResult refused = flow.Refresh(provider, first.Tokens.RefreshToken);
    EXPECT_EQ(refused.Failure, TTokenFailure::RefreshRefused);
    EXPECT_NE(Text(refused.Detail).find("invalid_grant"), std::string::npos) << Text(refused.Detail);
    EXPECT_EQ(Text(refused.Detail).find(Text(first.Tokens.RefreshToken)), std::string::npos);
}

// A provider out of reach may still take the refresh token later: that is
// no refusal.
TEST_F(OAuth2FlowTest, ARefreshThatCannotReachTheProviderIsNoRefusal) {
    const struct {
        const char* name;
        std::function<void(OAuth2FlowTest&)> arrange;
    } rows[] = {
        {"nothing listens", [](OAuth2FlowTest& t) { t.provider.TokenUrl = QStringLiteral("http://127.0.0.1:1/token"); }},
        {"the answer is too large", [](OAuth2FlowTest& t) { t.server.SetTokenPadding(1024 * 1024); }},
        {"the address is wrong",
         [](OAuth2FlowTest& t) { t.provider.TokenUrl += QStringLiteral("/elsewhere"); }},
    };
    const TTokenResult first = SignIn();
    ASSERT_TRUE(first.Ok()) << Text(first.Detail);
    const QString refresh = first.Tokens.RefreshToken;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        row.arrange(*this);
        const TTokenResult r = flow.Refresh(provider, refresh);
        EXPECT_EQ(r.Failure, TTokenFailure::ExchangeFailed) << Text(r.Detail);
        EXPECT_TRUE(r.Tokens.AccessToken.isEmpty());
    }
}

// A minimal POP3 dialogue over a socket: each line answered within the
// test bound.
class RawPop {
  public:
    explicit RawPop(uint16_t Port) {
        Socket_.connectToHost(QStringLiteral("127.0.0.1"), Port);
        Greeting = Socket_.waitForConnected(sweepbox::test::kClientWaitMs) ? Line() : std::string();
    }
    std::string Say(const std::string& Command) {
        Socket_.write(QByteArray::fromStdString(Command + "\r\n"));
        return Line();
    }
    // AUTH Mechanism with an initial response; a failure's challenge (an
    // error report in JSON) is answered as RFC 7628 asks.
    std::string Auth(const std::string& Mechanism, const std::string& Initial) {
        std::string reply = Say("AUTH " + Mechanism + " " + QByteArray::fromStdString(Initial).toBase64().toStdString());
        if (reply.rfind("+ ", 0) == 0)
            reply = Say(Mechanism == "OAUTHBEARER" ? "AQ==" : "");
        return reply;
    }
    std::string Greeting;

  private:
    std::string Line() {
        while (!Socket_.canReadLine())
            if (!Socket_.waitForReadyRead(sweepbox::test::kClientWaitMs))
                return "<no answer>";
        return Socket_.readLine(4096).trimmed().toStdString();
    }
    QTcpSocket Socket_;
};

std::string XOAuth2(const QString& Token) {
    return std::string("user=test\x01" "auth=Bearer ") + Token.toStdString() + "\x01\x01";
}

std::string OAuthBearer(const QString& Token, uint16_t Port) {
    return "n,a=test,\x01host=127.0.0.1\x01port=" + std::to_string(Port) + "\x01" "auth=Bearer " +
           Token.toStdString() + "\x01\x01";
}

// Does Dovecot's oauth2 passdb take the token this flow gets, and refuse
// an expired or unknown one?
TEST_F(OAuth2FlowTest, DovecotSignsInWithTheToken) {
    sweepbox::test::DovecotServer dovecot({}, {.OAuth2TokenInfoUrl = server.TokenInfoUrl()});
    SWEEPBOX_REQUIRE_DOVECOT(dovecot);
    const TTokenResult r = SignIn();
    ASSERT_TRUE(r.Ok()) << Text(r.Detail);
    const QString token = r.Tokens.AccessToken;
    {
        RawPop pop(dovecot.Port());
        ASSERT_EQ(pop.Greeting.rfind("+OK", 0), 0u) << pop.Greeting;
        EXPECT_EQ(pop.Auth("XOAUTH2", XOAuth2(token)).rfind("+OK", 0), 0u) << dovecot.Log();
        EXPECT_EQ(pop.Say("QUIT").rfind("+OK", 0), 0u);
    }
    {
        RawPop pop(dovecot.Port());
        EXPECT_EQ(pop.Auth("OAUTHBEARER", OAuthBearer(token, dovecot.Port())).rfind("+OK", 0), 0u) << dovecot.Log();
        EXPECT_EQ(pop.Say("QUIT").rfind("+OK", 0), 0u);
    }
    {
        RawPop pop(dovecot.Port());
        EXPECT_EQ(pop.Say("USER test").rfind("+OK", 0), 0u);
        EXPECT_EQ(pop.Say("PASS secret").rfind("+OK", 0), 0u) << "password sign-in stays";
        pop.Say("QUIT");
    }
    const int goodChecks = server.Counters().ActiveTokenInfo;
    EXPECT_GE(goodChecks, 2);
    server.ExpireAccessTokens();
    for (const QString& bad : {token, QStringLiteral("at-unknown")}) {
        SCOPED_TRACE(Text(bad));
        RawPop pop(dovecot.Port());
        EXPECT_EQ(pop.Auth("XOAUTH2", XOAuth2(bad)).rfind("-ERR", 0), 0u);
        RawPop again(dovecot.Port());
        EXPECT_EQ(again.Auth("OAUTHBEARER", OAuthBearer(bad, dovecot.Port())).rfind("-ERR", 0), 0u);
    }
    EXPECT_EQ(server.Counters().ActiveTokenInfo, goodChecks);
}

} // namespace
