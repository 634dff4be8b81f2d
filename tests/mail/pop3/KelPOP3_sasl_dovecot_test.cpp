// TKelPOP signing in to a private Dovecot with the mechanisms it offers:
// SCRAM-SHA-256 against a passdb of SCRAM hashes, PLAIN, and SCRAM chosen
// where both are offered (skipped with a reason where Dovecot cannot run).
#include "mail/pop3/KelPOP3.h"

#include "support/DovecotServer.h"
#include "support/Pop3Clients.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace kel;
using sweepbox::test::DovecotOptions;
using sweepbox::test::DovecotServer;
using sweepbox::test::PopRecorder;
using Events = std::vector<std::string>;

namespace {

const std::vector<std::string> kMailbox = {"From: a@example.org\nSubject: first\n\nbody one\n",
                                           "From: b@example.org\nSubject: second\n\nbody two\n"};

// One server for each set of mechanisms, started on first use.
DovecotServer& ServerOffering(const std::string& Mechanisms) {
    static std::map<std::string, std::unique_ptr<DovecotServer>> servers;
    auto& server = servers[Mechanisms];
    if (!server)
        server = std::make_unique<DovecotServer>(
            kMailbox, DovecotOptions{.Mechanisms = Mechanisms, .PasswordScheme = "SCRAM-SHA-256"});
    return *server;
}

} // namespace

// Which mechanism signs in to Dovecot, and is a wrong password refused as
// a refused USER/PASS is, with the mechanism named?
TEST(SaslDovecot, SignsInWithTheStrongestMechanismAndListsTheMailbox) {
    struct Row {
        const char* name;
        std::string mechanisms; // Dovecot's auth_mechanisms
        std::string password;
        std::string mechanism;
    };
    const Row rows[] = {
        {"SCRAM-SHA-256 alone", "scram-sha-256", DovecotServer::Password, "SCRAM-SHA-256"},
        {"SCRAM-SHA-256 alone, a wrong password", "scram-sha-256", "wrong", "SCRAM-SHA-256"},
        {"PLAIN and LOGIN", "plain login", DovecotServer::Password, "PLAIN"},
        {"SCRAM and PLAIN: no downgrade", "plain login scram-sha-256 scram-sha-1", DovecotServer::Password,
         "SCRAM-SHA-256"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DovecotServer& dc = ServerOffering(row.mechanisms);
        SWEEPBOX_REQUIRE_DOVECOT(dc);
        dc.SetMessages(kMailbox);
        TKelPOP pop;
        PopRecorder rec;
        pop.Host = "127.0.0.1";
        pop.Port = dc.PortText();
        pop.UserId = DovecotServer::User;
        pop.UserPasswd = row.password;
        sweepbox::test::BoundWaits(pop);
        rec.Bind(pop);
        pop.Connect();
        ASSERT_TRUE(pop.Connected()) << dc.Log();
        rec.Clear();
        const bool right = row.password == DovecotServer::Password;
        EXPECT_EQ(pop.Login(), right) << dc.Log();
        EXPECT_EQ(pop.Mechanism(), row.mechanism);
        if (!right) {
            EXPECT_EQ(pop.LoginFailure(), TLoginFailure::Refused);
            EXPECT_FALSE(pop.Connected());
            EXPECT_EQ(rec.NonIo(), (Events{"quit", "error:2001:[AUTH] Authentication failed."}));
            continue;
        }
        EXPECT_EQ(pop.LoginFailure(), TLoginFailure::None);
        EXPECT_EQ(rec.Sent()[1].substr(0, 6 + row.mechanism.size()), "AUTH " + row.mechanism + " ");
        pop.Stat();
        EXPECT_EQ(pop.MsgCount(), kMailbox.size());
        EXPECT_NE(pop.GetHeader(1).find("Subject: first"), std::string::npos);
        pop.Quit();
        EXPECT_FALSE(pop.OperationFailed()) << pop.ReplyLine();
    }
}
