// The keyring against a real Secret Service (gnome-keyring on a private bus):
// what is stored is found again, by another TKeyring and by another program,
// replaced in place, removed, kept apart by key and by service; and no
// secret lands in any file but the keyring's own encrypted one.
#include "app/signin/Keyring.h"

#include "app/core/SignIn.h"
#include "support/QtCoreTestApp.h"
#include "support/SecretService.h"

#include <gtest/gtest.h>

#include <qt6keychain/keychain.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using sweepbox::TKeyring;
using sweepbox::TKeyringStatus;
using sweepbox::test::SecretService;

std::string Utf8(const QString& s) { return s.toStdString(); }

class KeyringTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The session first: the keyring's libraries keep the first bus they see.
        SecretService& service = SecretService::Shared();
        sweepbox::test::EnsureCoreApp();
        SWEEPBOX_REQUIRE_SECRET_SERVICE(service);
        Dir = service.Dir();
    }

    // A key no other case uses, so the cases never see each other's secrets.
    static QString Key(const char* Role = "password") {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const QString user = QString::fromUtf8(info->name()) + QLatin1Char('.') + QString::fromUtf8(Role);
        return sweepbox::PasswordKeyName(QStringLiteral("pop.example.org:995"), user);
    }

    // What another program (libsecret's secret-tool) finds under Key, by the
    // attributes QtKeychain files a secret under; exit code 1 means none.
    static int LookUp(const QString& Key, std::string& Secret, const QString& Service = QStringLiteral("Sweepbox")) {
        return SecretService::Run({"/usr/bin/secret-tool", "lookup", "user", Utf8(Key), "server", Utf8(Service)}, {},
                                  Secret);
    }

    // How many items the keyring holds under Key.
    static size_t Items(const QString& Key) {
        std::string listing;
        SecretService::Run({"/usr/bin/secret-tool", "search", "--all", "user", Utf8(Key), "server", "Sweepbox"}, {},
                           listing);
        size_t count = 0;
        for (size_t at = listing.find("\n["); at != std::string::npos; at = listing.find("\n[", at + 1))
            ++count;
        return count + (listing.rfind('[', 0) == 0 ? 1 : 0);
    }

    std::string Dir;
};

TEST_F(KeyringTest, StoredSecretIsFoundByAnotherKeyringAndAnotherProgram) {
    TKeyring writer;
    ASSERT_TRUE(writer.Store(Key(), QStringLiteral("hunter2")).Ok());

    TKeyring reader;
    const auto found = reader.Find(Key());
    EXPECT_EQ(found.Status, TKeyringStatus::Ok) << Utf8(found.Detail);
    EXPECT_EQ(found.Secret, QStringLiteral("hunter2"));
    EXPECT_TRUE(found.Detail.isEmpty());

    std::string looked;
    ASSERT_EQ(LookUp(Key(), looked), 0) << looked;
    EXPECT_EQ(looked, "hunter2");
}

TEST_F(KeyringTest, StoringAgainReplacesTheSecretInPlace) {
    TKeyring keyring;
    ASSERT_TRUE(keyring.Store(Key(), QStringLiteral("first")).Ok());
    ASSERT_TRUE(keyring.Store(Key(), QStringLiteral("second")).Ok());
    EXPECT_EQ(keyring.Find(Key()).Secret, QStringLiteral("second"));
    EXPECT_EQ(Items(Key()), 1u);
}

TEST_F(KeyringTest, RemovedSecretIsNotFound) {
    TKeyring keyring;
    ASSERT_TRUE(keyring.Store(Key(), QStringLiteral("short-lived")).Ok());
    const auto removed = keyring.Remove(Key());
    EXPECT_EQ(removed.Status, TKeyringStatus::Ok) << Utf8(removed.Detail);

    const auto found = keyring.Find(Key());
    EXPECT_EQ(found.Status, TKeyringStatus::NotFound) << Utf8(found.Detail);
    EXPECT_TRUE(found.Secret.isEmpty());
    std::string looked;
    EXPECT_EQ(LookUp(Key(), looked), 1) << looked;

    // Gone already: still no failure for a caller that only wants it gone.
    const auto again = keyring.Remove(Key());
    EXPECT_TRUE(again.Status == TKeyringStatus::Ok || again.Status == TKeyringStatus::NotFound)
        << Utf8(again.Detail);
    EXPECT_EQ(keyring.Find(QStringLiteral("never stored")).Status, TKeyringStatus::NotFound);
}

TEST_F(KeyringTest, KeysAndServicesAreKeptApart) {
    TKeyring ours;
    TKeyring other;
    other.Service = QStringLiteral("Sweepbox-other");
    const QString password = Key("password");
    const QString token = sweepbox::RefreshTokenKeyName(QStringLiteral("pop.example.org:995"),
                                                        QString::fromUtf8(::testing::UnitTest::GetInstance()
                                                                              ->current_test_info()
                                                                              ->name()));
    ASSERT_NE(password, token);
    ASSERT_TRUE(ours.Store(password, QStringLiteral("the password")).Ok());
    ASSERT_TRUE(ours.Store(token, QStringLiteral("the token")).Ok());
    ASSERT_TRUE(other.Store(password, QStringLiteral("another program's")).Ok());

    EXPECT_EQ(ours.Find(password).Secret, QStringLiteral("the password"));
    EXPECT_EQ(ours.Find(token).Secret, QStringLiteral("the token"));
    EXPECT_EQ(other.Find(password).Secret, QStringLiteral("another program's"));
    EXPECT_EQ(other.Find(token).Status, TKeyringStatus::NotFound);

    ASSERT_TRUE(ours.Remove(password).Ok());
    EXPECT_EQ(ours.Find(password).Status, TKeyringStatus::NotFound);
    EXPECT_EQ(ours.Find(token).Secret, QStringLiteral("the token"));
    EXPECT_EQ(other.Find(password).Secret, QStringLiteral("another program's"));
}

TEST_F(KeyringTest, EverySecretRoundTripsExactly) {
    struct Row {
        const char* Name;
        QString Secret;
    };
    const Row rows[] = {
        {"unicode", QStringLiteral(u"pässwörd ✓ 密码 🔑")},
        {"spaces around", QStringLiteral("  padded  ")},
        {"line breaks and tabs", QStringLiteral("line\r\nbreak\ttab")},
        {"quotes and backslashes", QStringLiteral("\"'\\;=@ByteArray(x)")},
        {"a long token", QString(4096, QLatin1Char('t'))},
    };
    TKeyring keyring;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        const QString key = Key(row.Name);
        ASSERT_TRUE(keyring.Store(key, row.Secret).Ok());
        const auto found = TKeyring().Find(key);
        EXPECT_EQ(found.Status, TKeyringStatus::Ok) << Utf8(found.Detail);
        EXPECT_EQ(found.Secret, row.Secret);
        std::string looked;
        EXPECT_EQ(LookUp(key, looked), 0);
        EXPECT_EQ(looked, Utf8(row.Secret));
    }
}

// The plain-text fallback, had it been taken, writes the secret into a
// settings file below HOME; the keyring's own file holds it encrypted.
TEST_F(KeyringTest, NoSecretLandsInAnyFile) {
    const QString secret = QStringLiteral("plainly-visible-9b1f3c");
    TKeyring keyring;
    ASSERT_TRUE(keyring.Store(Key(), secret).Ok());
    ASSERT_TRUE(keyring.Find(Key()).Ok());

    const std::string needles[] = {Utf8(secret), QByteArray(secret.toUtf8()).toBase64().toStdString()};
    bool keyringFile = false;
    namespace fs = std::filesystem;
    for (const auto& entry : fs::recursive_directory_iterator(Dir)) {
        if (!entry.is_regular_file())
            continue;
        keyringFile = keyringFile || entry.path().filename() == "login.keyring";
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        for (const std::string& needle : needles)
            EXPECT_EQ(bytes.find(needle), std::string::npos) << entry.path();
    }
    EXPECT_TRUE(keyringFile) << "the keyring kept the secret in no file of its own";
}

TEST(KeyringStatusTest, EachKeychainErrorHasItsStatus) {
    const std::pair<int, TKeyringStatus> rows[] = {
        {QKeychain::NoError, TKeyringStatus::Ok},
        {QKeychain::EntryNotFound, TKeyringStatus::NotFound},
        {QKeychain::NoBackendAvailable, TKeyringStatus::Unavailable},
        {QKeychain::NotImplemented, TKeyringStatus::Unavailable},
        {QKeychain::AccessDenied, TKeyringStatus::Locked},
        {QKeychain::AccessDeniedByUser, TKeyringStatus::Locked},
        {QKeychain::CouldNotDeleteEntry, TKeyringStatus::Failed},
        {QKeychain::OtherError, TKeyringStatus::Failed},
        {99, TKeyringStatus::Failed},
    };
    for (const auto& [error, status] : rows)
        EXPECT_EQ(sweepbox::KeyringStatusOf(error), status) << "QtKeychain error " << error;
}

} // namespace
