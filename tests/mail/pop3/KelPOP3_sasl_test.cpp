// TKelPOP signing in with AUTH (RFC 5034): which mechanism a server's CAPA
// gets, refusals, hostile challenges and bearer tokens over a scripted
// transport; SCRAM and its channel binding against GNU SASL's server side,
// in plain text and inside TLS.
#include "mail/pop3/KelPOP3.h"

#include "mail/pop3/KelSasl.h"
#include "support/Pop3Clients.h"
#include "support/SaslPop3Server.h"
#include "support/ScriptedTransport.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <memory>

using namespace kel;
using sweepbox::test::PopRecorder;
using sweepbox::test::SaslPop3Server;
using sweepbox::test::SaslServerOptions;
using sweepbox::test::ScriptedTransport;
using sweepbox::test::TestPki;
using Events = std::vector<std::string>;

namespace {

const std::string kGreeting = "+OK ready\r\n";

std::string B64(const std::string& Bytes) { return SaslBase64(Bytes); }

std::string UnB64(const std::string& Text) {
    std::string bytes;
    EXPECT_TRUE(SaslUnBase64(Text, bytes)) << Text;
    return bytes;
}

// A component connected over a scripted transport: in plain text with
// Security None, or inside TLS from the first byte with Tls.
struct Scripted {
    TKelPOP pop;
    ScriptedTransport* t;
    PopRecorder rec;
    explicit Scripted(TPopSecurity Security, TChannelBinding Binding = {}) {
        auto owned = std::make_unique<ScriptedTransport>();
        t = owned.get();
        t->OfferImplicitTls();
        t->Binding = std::move(Binding);
        t->Serve(kGreeting);
        pop.SetTransport(std::move(owned));
        sweepbox::test::BoundWaits(pop);
        pop.Host = "pop.example.net";
        pop.Security = Security;
        pop.UserId = "test";
        pop.UserPasswd = "secret";
        rec.Bind(pop);
        pop.Connect();
        rec.Clear();
        FConnected = t->Written.size();
    }
    // What the component sent after the greeting.
    std::string Sent() const { return t->Written.substr(FConnected); }

  private:
    size_t FConnected = 0;
};

const TChannelBinding kExporter{TChannelBindingType::TlsExporter, std::string(32, '\x5a')};
const TChannelBinding kUnique{TChannelBindingType::TlsUnique, std::string(12, '\x33')};

} // namespace

// Which mechanism does each CAPA get, and what does its first command say?
// Every server here refuses it: the refusal names the mechanism tried.
TEST(SaslChoice, TheStrongestOfferedMechanismIsTriedAndARefusalNamesIt) {
    struct Row {
        const char* name;
        TPopSecurity security;
        TChannelBinding binding;
        std::string capa;
        std::string mechanism;
        std::string firstMessage; // decoded, up to the client nonce
    };
    const std::string plain("\0test\0secret", 12);
    const Row rows[] = {
        {"no SASL line: USER", TPopSecurity::None, {}, "+OK\r\nUSER\r\n.\r\n", "USER", ""},
        {"CAPA refused: USER", TPopSecurity::None, {}, "-ERR what?\r\n", "USER", ""},
        {"only unusable mechanisms: USER", TPopSecurity::Tls, {}, "+OK\r\nSASL GSSAPI X-MAGIC\r\n.\r\n", "USER", ""},
        {"SCRAM-SHA-256 over SCRAM-SHA-1 and PLAIN", TPopSecurity::Tls, {},
         "+OK\r\nSASL PLAIN SCRAM-SHA-1 SCRAM-SHA-256 LOGIN\r\n.\r\n", "SCRAM-SHA-256", "n,,n=test,r="},
        {"SCRAM-SHA-1 over PLAIN", TPopSecurity::Tls, {}, "+OK\r\nSASL PLAIN SCRAM-SHA-1\r\n.\r\n", "SCRAM-SHA-1",
         "n,,n=test,r="},
        {"SCRAM over PLAIN in plain text too", TPopSecurity::None, {}, "+OK\r\nSASL PLAIN SCRAM-SHA-256\r\n.\r\n",
         "SCRAM-SHA-256", "n,,n=test,r="},
        {"PLAIN over USER inside TLS", TPopSecurity::Tls, {}, "+OK\r\nUSER\r\nSASL PLAIN LOGIN\r\n.\r\n", "PLAIN", plain},
        {"PLAIN in plain text as the user chose", TPopSecurity::None, {}, "+OK\r\nsasl plain\r\n.\r\n", "PLAIN", plain},
        {"-PLUS inside TLS: tls-exporter", TPopSecurity::Tls, kExporter,
         "+OK\r\nSASL SCRAM-SHA-256 SCRAM-SHA-256-PLUS PLAIN\r\n.\r\n", "SCRAM-SHA-256-PLUS",
         "p=tls-exporter,,n=test,r="},
        {"-PLUS inside TLS: tls-unique", TPopSecurity::Tls, kUnique, "+OK\r\nSASL SCRAM-SHA-256-PLUS\r\n.\r\n",
         "SCRAM-SHA-256-PLUS", "p=tls-unique,,n=test,r="},
        {"no -PLUS without binding data", TPopSecurity::Tls, {},
         "+OK\r\nSASL SCRAM-SHA-256-PLUS SCRAM-SHA-256\r\n.\r\n", "SCRAM-SHA-256", "n,,n=test,r="},
        {"no -PLUS in plain text", TPopSecurity::None, kExporter,
         "+OK\r\nSASL SCRAM-SHA-256-PLUS SCRAM-SHA-256\r\n.\r\n", "SCRAM-SHA-256", "n,,n=test,r="},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scripted s(row.security, row.binding);
        s.t->Serve(row.capa).Serve("-ERR [AUTH] Authentication failed.\r\n");
        EXPECT_FALSE(s.pop.Login());
        EXPECT_EQ(s.pop.Mechanism(), row.mechanism);
        EXPECT_EQ(s.pop.LoginFailure(), TLoginFailure::Refused);
        EXPECT_FALSE(s.pop.Connected());
        EXPECT_EQ(s.rec.NonIo(), (Events{"quit", "error:2001:[AUTH] Authentication failed."}));
        const std::string sent = s.Sent();
        ASSERT_EQ(sent.substr(0, 6), "CAPA\r\n");
        if (row.mechanism == "USER") {
            EXPECT_EQ(sent, "CAPA\r\nUSER test\r\n[close]");
            continue;
        }
        const std::string auth = "AUTH " + row.mechanism + " ";
        ASSERT_EQ(sent.substr(6, auth.size()), auth);
        const std::string initial = UnB64(sent.substr(6 + auth.size(), sent.find("\r\n", 6) - 6 - auth.size()));
        EXPECT_EQ(initial.substr(0, row.firstMessage.size()), row.firstMessage);
        EXPECT_EQ(sent.substr(sent.find("\r\n", 6)), "\r\n[close]");
    }
}

// Without a SASL line, the old dialogue is the same to the byte, and CAPA
// is asked only where the connection has not asked it yet.
TEST(SaslChoice, WithoutSaslUserAndPassAreSentAsEver) {
    Scripted s(TPopSecurity::None);
    s.t->Serve("+OK\r\nTOP\r\nUIDL\r\n.\r\n").Serve("+OK\r\n").Serve("+OK in\r\n");
    EXPECT_TRUE(s.pop.Login());
    EXPECT_EQ(s.pop.Mechanism(), "USER");
    EXPECT_EQ(s.pop.LoginFailure(), TLoginFailure::None);
    EXPECT_EQ(s.Sent(), "CAPA\r\nUSER test\r\nPASS secret\r\n");
    EXPECT_TRUE(s.t->Exhausted());

    Scripted again(TPopSecurity::None);
    again.t->Serve("+OK\r\nSASL PLAIN\r\n.\r\n").Serve("+OK\r\n.\r\n").Serve("+OK\r\n").Serve("+OK in\r\n");
    EXPECT_TRUE(again.pop.ReadCapabilities());
    // The capabilities now offer nothing to sign in with: USER and PASS,
    // without asking again.
    again.pop.ReadCapabilities();
    EXPECT_TRUE(again.pop.Login());
    EXPECT_EQ(again.Sent(), "CAPA\r\nCAPA\r\nUSER test\r\nPASS secret\r\n");
}

// A PLAIN sign-in that the server accepts, its initial response on the
// AUTH line.
TEST(SaslDialogue, PlainIsOneLine) {
    Scripted s(TPopSecurity::Tls);
    s.t->Serve("+OK\r\nSASL PLAIN\r\n.\r\n").Serve("+OK Logged in.\r\n");
    EXPECT_TRUE(s.pop.Login());
    EXPECT_TRUE(s.pop.Connected());
    EXPECT_FALSE(s.pop.OperationFailed());
    EXPECT_EQ(s.pop.ReplyText(), "Logged in.");
    EXPECT_EQ(s.Sent(), "CAPA\r\nAUTH PLAIN " + B64(std::string("\0test\0secret", 12)) + "\r\n");
}

// What does a server that will not play by the rules get? A cancel ("*")
// and the refusal's code, at once.
TEST(SaslDialogue, HostileChallengesAreCancelledWithCode2001) {
    struct Row {
        const char* name;
        std::string mechanisms;
        std::string challenge;
        std::string error; // the OnError text: the server's line
    };
    const std::string longChallenge = "+ " + std::string(24000, 'A');
    const Row rows[] = {
        {"a challenge after PLAIN said all", "PLAIN", "+ \r\n", "+"},
        {"a challenge that is not base64", "SCRAM-SHA-256", "+ !!!!\r\n", "+ !!!!"},
        {"base64 without its padding", "SCRAM-SHA-256", "+ Zm9vYg\r\n", "+ Zm9vYg"},
        {"a challenge past 16 KiB", "SCRAM-SHA-256", longChallenge + "\r\n", longChallenge.substr(0, 200)},
        {"a server-first message SCRAM cannot parse", "SCRAM-SHA-256", "+ " + B64("hello") + "\r\n",
         "+ " + B64("hello")},
        {"neither a status nor a challenge", "SCRAM-SHA-256", "hello\r\n", "hello"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scripted s(TPopSecurity::Tls);
        s.t->Serve("+OK\r\nSASL " + row.mechanisms + "\r\n.\r\n").Serve(row.challenge);
        // Whatever comes after the cancel is never waited for.
        s.t->Endless("+ \r\n", 1u << 20);
        EXPECT_FALSE(s.pop.Login());
        EXPECT_EQ(s.pop.LoginFailure(), TLoginFailure::Refused);
        EXPECT_FALSE(s.pop.Connected());
        EXPECT_EQ(s.rec.NonIo(), (Events{"quit", "error:2001:" + row.error}));
        const std::string sent = s.Sent();
        EXPECT_TRUE(sent.ends_with("\r\n*\r\n[close]")) << sent.substr(0, 300);
        EXPECT_LT(s.t->Served, 64u * 1024);
    }
}

// A challenge line past the reader's bound ends through the transport
// error path, as any reply that long does.
TEST(SaslDialogue, AChallengeLinePastTheReadersBoundFailsTheTransport) {
    Scripted s(TPopSecurity::Tls);
    s.t->Serve("+OK\r\nSASL SCRAM-SHA-256\r\n.\r\n").Endless("+ AAAA", 1u << 20);
    try {
        s.pop.Login();
        ADD_FAILURE() << "no ESocketError";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Reason, TSocketFailure::TooLong);
    }
    EXPECT_FALSE(s.pop.Connected());
    EXPECT_LT(s.t->Served, 2 * TReplyReader::kMaxLine);
}

// A server that says "+OK" to SCRAM before proving it holds the password
// is dropped without a word: no QUIT, no cancel, no event.
TEST(SaslDialogue, ScramAcceptedWithoutTheServersProofIsNotTrusted) {
    Scripted s(TPopSecurity::Tls);
    s.t->Serve("+OK\r\nSASL SCRAM-SHA-256\r\n.\r\n").Serve("+OK Logged in.\r\n");
    EXPECT_FALSE(s.pop.Login());
    EXPECT_EQ(s.pop.LoginFailure(), TLoginFailure::ServerNotProven);
    EXPECT_TRUE(s.pop.OperationFailed());
    EXPECT_FALSE(s.pop.Connected());
    EXPECT_EQ(s.rec.NonIo(), Events{});
    const std::string sent = s.Sent();
    EXPECT_TRUE(sent.starts_with("CAPA\r\nAUTH SCRAM-SHA-256 ")) << sent;
    EXPECT_TRUE(sent.ends_with("\r\n[close]")) << sent;
    EXPECT_EQ(std::count(sent.begin(), sent.end(), '\n'), 2);
}

// OAuth 2.0: OAUTHBEARER before XOAUTH2, the messages as RFC 7628 and the
// XOAUTH2 convention write them, and no mechanism at all.
TEST(SaslBearer, OAuthBearerBeforeXOAuth2AndNothingWithoutEither) {
    struct Row {
        const char* name;
        std::string mechanisms;
        std::string mechanism; // empty: none
        std::string message;
    };
    const Row rows[] = {
        {"both offered", "XOAUTH2 PLAIN OAUTHBEARER", "OAUTHBEARER",
         "n,a=test,\x01host=pop.example.net\x01port=110\x01" "auth=Bearer tok-1\x01\x01"},
        {"XOAUTH2 alone", "PLAIN XOAUTH2", "XOAUTH2", "user=test\x01" "auth=Bearer tok-1\x01\x01"},
        {"neither", "PLAIN SCRAM-SHA-256", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scripted s(TPopSecurity::Tls);
        s.pop.SignIn = TPopSignIn::OAuth2;
        s.pop.AccessToken = "tok-1";
        s.t->Serve("+OK\r\nSASL " + row.mechanisms + "\r\n.\r\n");
        if (row.mechanism.empty()) {
            EXPECT_FALSE(s.pop.Login());
            EXPECT_EQ(s.pop.LoginFailure(), TLoginFailure::NoMechanism);
            EXPECT_TRUE(s.pop.OperationFailed());
            EXPECT_TRUE(s.pop.Connected());
            EXPECT_EQ(s.pop.Mechanism(), "");
            EXPECT_EQ(s.Sent(), "CAPA\r\n");
            EXPECT_EQ(s.rec.NonIo(), Events{});
            continue;
        }
        s.t->Serve("+OK welcome\r\n");
        EXPECT_TRUE(s.pop.Login());
        EXPECT_EQ(s.pop.Mechanism(), row.mechanism);
        EXPECT_EQ(s.Sent(), "CAPA\r\nAUTH " + row.mechanism + " " + B64(row.message) + "\r\n");
    }
}

// A refused token: the server's JSON error comes as a challenge, is
// answered as each mechanism wants, and its status is kept.
TEST(SaslBearer, ARefusedTokenKeepsTheServersStatus) {
    struct Row {
        const char* name;
        std::string mechanism;
        std::string json;
        std::string answer;
        std::string status;
    };
    const Row rows[] = {
        {"OAUTHBEARER", "OAUTHBEARER",
         R"({"status":"invalid_token","scope":"mail","openid-configuration":"https://x/.well-known"})", "AQ==",
         "invalid_token"},
        {"XOAUTH2", "XOAUTH2", R"({ "status" : "401", "schemes": "Bearer" })", "", "401"},
        {"JSON cut short", "OAUTHBEARER", R"({"status":"inval)", "AQ==", ""},
        {"not JSON", "OAUTHBEARER", std::string("\xff\x00status", 9), "AQ==", ""},
        {"a status that is no string", "OAUTHBEARER", R"({"status":401})", "AQ==", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scripted s(TPopSecurity::Tls);
        s.pop.SignIn = TPopSignIn::OAuth2;
        s.pop.AccessToken = "expired";
        s.t->Serve("+OK\r\nSASL " + row.mechanism + "\r\n.\r\n")
            .Serve("+ " + B64(row.json) + "\r\n")
            .Serve("-ERR [AUTH] Invalid token.\r\n");
        EXPECT_FALSE(s.pop.Login());
        EXPECT_EQ(s.pop.LoginFailure(), TLoginFailure::TokenRefused);
        EXPECT_EQ(s.pop.TokenStatus(), row.status);
        EXPECT_EQ(s.rec.NonIo(), (Events{"quit", "error:2001:[AUTH] Invalid token."}));
        const std::string sent = s.Sent();
        EXPECT_TRUE(sent.ends_with("\r\n" + row.answer + "\r\n[close]")) << sent;
    }
}

// A token too long for the AUTH line goes after the empty challenge; one
// that could inject fields or commands is never sent.
TEST(SaslBearer, ALongTokenWaitsForTheChallengeAndABadOneIsNotSent) {
    Scripted s(TPopSecurity::Tls);
    s.pop.SignIn = TPopSignIn::OAuth2;
    s.pop.AccessToken = std::string(400, 't');
    s.t->Serve("+OK\r\nSASL XOAUTH2\r\n.\r\n").Serve("+ \r\n").Serve("+OK\r\n");
    EXPECT_TRUE(s.pop.Login());
    EXPECT_EQ(s.Sent(), "CAPA\r\nAUTH XOAUTH2\r\n" + B64("user=test\x01" "auth=Bearer " + s.pop.AccessToken + "\x01\x01") +
                            "\r\n");

    for (const std::string& token :
         std::vector<std::string>{"tok\x01" "en", "tok\r\nQUIT", std::string("t\0k", 3), "t\xc3\xa9"}) {
        Scripted bad(TPopSecurity::Tls);
        bad.pop.SignIn = TPopSignIn::OAuth2;
        bad.pop.AccessToken = token;
        try {
            bad.pop.Login();
            ADD_FAILURE() << "sent";
        } catch (const EKelPOPError& e) {
            EXPECT_EQ(e.Reason, TPopMisuse::UnsafeCredentials);
        }
        EXPECT_EQ(bad.Sent(), "");
    }
}

TEST(SaslText, JsonStringMemberIsBoundedAndNeverTrustsTheText) {
    struct Row {
        std::string json, value;
    };
    const Row rows[] = {
        {R"({"status":"invalid_token"})", "invalid_token"},
        {R"({"scope":"status","status" :	"x\"y"})", "x\"y"},
        {R"({"status":")" + std::string(65, 'a') + R"("})", ""},
        {R"({"status":"a)", ""},
        {R"({"status")", ""},
        {R"("status")", ""},
        {"", ""},
        {R"({"status":"tab	in"})", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.json);
        EXPECT_EQ(JsonStringMember(row.json, "status"), row.value);
    }
}

// ---- against GNU SASL's server side ----

namespace {

struct Signed {
    bool accepted;
    TLoginFailure failure;
    std::vector<std::string> lines; // what the server read
};

Signed SignInTo(SaslPop3Server& Server, bool Tls, const std::string& Password = "secret") {
    sweepbox::test::TlsClient c("127.0.0.1", Server.Port);
    if (!Tls)
        c.pop.Security = TPopSecurity::None;
    c.pop.UserId = "test";
    c.pop.UserPasswd = Password;
    c.pop.Connect();
    EXPECT_TRUE(c.pop.Connected()) << c.pop.ConnectError();
    Signed result{c.pop.Login(), c.pop.LoginFailure(), {}};
    if (result.accepted)
        c.pop.Quit();
    result.lines = Server.Finish();
    return result;
}

} // namespace

// Does SCRAM sign in against a real implementation, and does a server that
// cannot prove the password get dropped?
TEST(SaslScram, SignsInAndTrustsOnlyAServerThatProvesThePassword) {
    struct Row {
        const char* name;
        SaslServerOptions options;
        std::string password;
        bool accepted;
        TLoginFailure failure;
    };
    const Row rows[] = {
        {"SCRAM-SHA-256", {.Mechanisms = "PLAIN SCRAM-SHA-256"}, "secret", true, TLoginFailure::None},
        {"SCRAM-SHA-1", {.Mechanisms = "SCRAM-SHA-1"}, "secret", true, TLoginFailure::None},
        {"a wrong password", {}, "wrong", false, TLoginFailure::Refused},
        {"a wrong final signature", {.WrongSignature = true}, "secret", false, TLoginFailure::ServerNotProven},
        {"no final message", {.SkipFinal = true}, "secret", false, TLoginFailure::ServerNotProven},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SaslPop3Server server(row.options);
        const Signed s = SignInTo(server, false, row.password);
        EXPECT_EQ(s.accepted, row.accepted);
        EXPECT_EQ(s.failure, row.failure);
        ASSERT_GE(s.lines.size(), 2u);
        EXPECT_EQ(s.lines[1].substr(0, 5), "AUTH ");
        EXPECT_EQ(s.lines.back() == "QUIT", row.accepted);
    }
}

// SCRAM-SHA-256-PLUS inside TLS 1.3 (tls-exporter) and TLS 1.2
// (tls-unique): the server checks the binding, and one bound to another
// connection is refused.
TEST(SaslScram, PlusBindsTheSignInToTheTlsConnection) {
    ASSERT_TRUE(TestPki::Shared().Ok()) << TestPki::Shared().Error();
    struct Row {
        const char* name;
        int maxVersion;
        bool wrongBinding;
        std::string cbFlag;
    };
    const Row rows[] = {
        {"TLS 1.3", 0, false, "p=tls-exporter,,"},
        {"TLS 1.2", TLS1_2_VERSION, false, "p=tls-unique,,"},
        {"TLS 1.3, another binding", 0, true, "p=tls-exporter,,"},
        {"TLS 1.2, another binding", TLS1_2_VERSION, true, "p=tls-unique,,"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SaslPop3Server server({.Mechanisms = "SCRAM-SHA-256 SCRAM-SHA-256-PLUS",
                               .Tls = true,
                               .MaxVersion = row.maxVersion,
                               .WrongBinding = row.wrongBinding});
        const Signed s = SignInTo(server, true);
        EXPECT_EQ(s.accepted, !row.wrongBinding);
        EXPECT_EQ(s.failure, row.wrongBinding ? TLoginFailure::Refused : TLoginFailure::None);
        ASSERT_GE(s.lines.size(), 2u);
        const std::string prefix = "AUTH SCRAM-SHA-256-PLUS ";
        ASSERT_EQ(s.lines[1].substr(0, prefix.size()), prefix);
        EXPECT_EQ(UnB64(s.lines[1].substr(prefix.size())).substr(0, row.cbFlag.size()), row.cbFlag);
    }
}
