// Does the typed store read a settings file as earlier runs wrote it, and
// write what they wrote, so that neither an old nor a new file loses a value?
#include "app/core/Settings.h"

#include "support/QtCoreTestApp.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

namespace {

using sweepbox::TSecurity;

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(scratch.Folder.isValid()); }

    // The store as the program has always opened it.
    static QSettings Raw() {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Larkmoor"),
                         QStringLiteral("Sweepbox"));
    }
    QString FilePath() const { return scratch.Path(QStringLiteral("Larkmoor/Sweepbox.conf")); }
    void WriteFile(const QByteArray& content) {
        ASSERT_TRUE(QDir(scratch.Folder.path()).mkpath(QStringLiteral("Larkmoor")));
        QFile f(FilePath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }
    std::string Mode() const {
        struct stat st {};
        if (::stat(QFile::encodeName(FilePath()).constData(), &st) != 0)
            return "missing";
        return QString::number(st.st_mode & 07777, 8).toStdString();
    }

    sweepbox::test::ScratchSettings scratch;
};

std::vector<sweepbox::TRememberedPair> NumberedPairs(int count) {
    std::vector<sweepbox::TRememberedPair> pairs;
    for (int n = 1; n <= count; ++n)
        pairs.push_back({QStringLiteral("pop%1.example").arg(n), QStringLiteral("user%1").arg(n),
                         n % 2 ? TSecurity::StartTls : TSecurity::None, sweepbox::TSignIn::Password, QString(),
                         false});
    return pairs;
}

// A file as the program wrote it before the store existed, edited a little
// by hand: half pairs, words that name no security, numbers that are none.
TEST_F(SettingsTest, AFileOfEarlierRunsReadsTheSame) {
    WriteFile("[General]\n"
              "User1=anna\nServer1=pop.example.org\nSecurity1=starttls\n"
              "User2=bert\nServer2=\n"
              "User3=carl\nServer3=127.0.0.1:1110\nSecurity3=ssl\n"
              "User4=dora\nServer4=pop.example.net\n"
              "Server5=lonely.example\n"
              "User6=emil\nServer6=pop.example.com\nSecurity6=none\n"
              "XPos=10\nYPos=-20\nWidth=600\nHeight=abc\n"
              "Sec1=30\nSec3=120\n"
              "SortColumn=3\nSortOrder=descending\n");
    const sweepbox::TSettings store;
    const struct {
        const char* server;
        const char* user;
        TSecurity security;
    } expected[] = {
        {"pop.example.org", "anna", TSecurity::StartTls},
        {"127.0.0.1:1110", "carl", TSecurity::None}, // this machine's default
        {"pop.example.net", "dora", TSecurity::Tls}, // stored before there was a choice
        {"pop.example.com", "emil", TSecurity::None},
    };
    const auto pairs = store.Pairs();
    ASSERT_EQ(pairs.size(), std::size(expected));
    for (size_t i = 0; i < pairs.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pairs[i].Server, QString::fromLatin1(expected[i].server));
        EXPECT_EQ(pairs[i].User, QString::fromLatin1(expected[i].user));
        EXPECT_EQ(pairs[i].Security, expected[i].security);
    }

    const sweepbox::TWindowGeometry geometry = store.Geometry();
    EXPECT_EQ(geometry.X, 10);
    EXPECT_EQ(geometry.Y, -20);
    EXPECT_EQ(geometry.Width, 600);
    EXPECT_EQ(geometry.Height, sweepbox::settings::kDefaultHeight);
    EXPECT_EQ(store.ColumnWidths({1, 2, 3, 4, 5}), (sweepbox::TColumnWidths{30, 2, 120, 4, 5}));
    EXPECT_EQ(store.SortColumn(), 3);
    EXPECT_TRUE(store.SortDescending());
    EXPECT_EQ(Mode(), "600");
}

TEST_F(SettingsTest, AnEmptyStoreReadsAsTheDefaults) {
    const sweepbox::TSettings store;
    EXPECT_TRUE(store.Pairs().empty());
    const sweepbox::TWindowGeometry geometry = store.Geometry();
    EXPECT_EQ(geometry.X, sweepbox::settings::kDefaultXPos);
    EXPECT_EQ(geometry.Y, sweepbox::settings::kDefaultYPos);
    EXPECT_EQ(geometry.Width, sweepbox::settings::kDefaultWidth);
    EXPECT_EQ(geometry.Height, sweepbox::settings::kDefaultHeight);
    EXPECT_EQ(store.ColumnWidths(sweepbox::settings::kDefaultColumnWidths), sweepbox::settings::kDefaultColumnWidths);
    EXPECT_EQ(store.SortColumn(), -1);
    EXPECT_FALSE(store.SortDescending());
}

TEST_F(SettingsTest, ASortOutsideTheColumnsIsTheServersOrder) {
    const struct {
        QVariant column, order;
        int expectedColumn;
        bool expectedDescending;
    } rows[] = {
        {QStringLiteral("4"), QStringLiteral("ascending"), 4, false},
        {QStringLiteral("5"), QStringLiteral("descending"), -1, true},
        {QStringLiteral("-1"), QStringLiteral("Descending"), -1, false},
        {QStringLiteral("x"), QVariant(), -1, false},
        {QStringList{QStringLiteral("2")}, QStringList{QStringLiteral("descending")}, -1, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.column.toString().toStdString());
        {
            QSettings raw = Raw();
            raw.setValue(sweepbox::settings::kSortColumn, row.column);
            if (row.order.isValid())
                raw.setValue(sweepbox::settings::kSortOrder, row.order);
            else
                raw.remove(sweepbox::settings::kSortOrder);
            raw.sync();
        }
        const sweepbox::TSettings store;
        EXPECT_EQ(store.SortColumn(), row.expectedColumn);
        EXPECT_EQ(store.SortDescending(), row.expectedDescending);
    }
}

TEST_F(SettingsTest, PinsAreReadAsEarlierRunsWroteThem) {
    {
        QSettings raw = Raw();
        raw.setValue(QStringLiteral("Certificates/pop.example.org:995"), QStringLiteral(" SHA256:AB12 "));
        raw.setValue(QStringLiteral("Certificates/[::1]:995"), QStringLiteral("sha256:cd34"));
        raw.setValue(QStringLiteral("Certificates/md5.example:995"), QStringLiteral("md5:ef56"));
        raw.setValue(QStringLiteral("Certificates/list.example:995"), QStringList{QStringLiteral("sha256:ab")});
        raw.sync();
    }
    const sweepbox::TSettings store;
    const struct {
        const char* hostPort;
        const char* pin;
    } rows[] = {
        {"pop.example.org:995", "sha256:ab12"},
        {"[::1]:995", "sha256:cd34"},
        {"md5.example:995", ""},
        {"list.example:995", ""},
        {"pop.example.org:110", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.hostPort);
        EXPECT_EQ(store.CertificatePin(QString::fromLatin1(row.hostPort)), QString::fromLatin1(row.pin));
    }
}

// Which pin does a connection check: the port's own, else the one the
// host's other ports agree on?
TEST_F(SettingsTest, AHostsPinServesItsOtherPortsWhenTheyAgree) {
    {
        QSettings raw = Raw();
        raw.setValue(QStringLiteral("Certificates/pop.example.org:995"), QStringLiteral("sha256:ab"));
        raw.setValue(QStringLiteral("Certificates/two.example:995"), QStringLiteral("sha256:01"));
        raw.setValue(QStringLiteral("Certificates/two.example:2995"), QStringLiteral("sha256:02"));
        raw.setValue(QStringLiteral("Certificates/[::1]:995"), QStringLiteral("sha256:cd"));
        raw.setValue(QStringLiteral("Certificates/bad.example:995"), QStringLiteral("md5:ef"));
        raw.sync();
    }
    const sweepbox::TSettings store;
    const struct {
        const char* hostPort;
        const char* pin;
    } rows[] = {
        {"pop.example.org:995", "sha256:ab"},
        {"pop.example.org:110", "sha256:ab"},
        {"POP.example.org:110", "sha256:ab"},
        {"example.org:110", ""},
        {"two.example:995", "sha256:01"}, // its own wins
        {"two.example:110", ""},          // the others disagree: asked
        {"[::1]:110", "sha256:cd"},
        {"bad.example:110", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.hostPort);
        EXPECT_EQ(store.HostCertificatePin(QString::fromLatin1(row.hostPort)), QString::fromLatin1(row.pin));
    }
}

TEST_F(SettingsTest, TheStoreWritesWhatEarlierRunsWrote) {
    {
        sweepbox::TSettings store;
        store.SetPairs(NumberedPairs(12));
        store.SetGeometry({-5, 40, 700, 500});
        store.SetColumnWidths({11, 22, 33, 44, 55});
        store.SetSort(2, true);
        store.SetCertificatePin(QStringLiteral("pop.example.org:995"), QStringLiteral("sha256:00ff"));
    }
    QSettings raw = Raw();
    // The newest ten, renumbered from 1.
    for (int n = 1; n <= 10; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(raw.value(QStringLiteral("User%1").arg(n)).toString(), QStringLiteral("user%1").arg(n + 2));
        EXPECT_EQ(raw.value(QStringLiteral("Server%1").arg(n)).toString(), QStringLiteral("pop%1.example").arg(n + 2));
        EXPECT_EQ(raw.value(QStringLiteral("Security%1").arg(n)).toString(),
                  (n + 2) % 2 ? QStringLiteral("starttls") : QStringLiteral("none"));
    }
    EXPECT_FALSE(raw.contains(QStringLiteral("User11")));
    const std::pair<const char*, const char*> texts[] = {
        {"XPos", "-5"},
        {"YPos", "40"},
        {"Width", "700"},
        {"Height", "500"},
        {"Sec1", "11"},
        {"Sec2", "22"},
        {"Sec3", "33"},
        {"Sec4", "44"},
        {"Sec5", "55"},
        {"SortColumn", "2"},
        {"SortOrder", "descending"},
        {"Certificates/pop.example.org:995", "sha256:00ff"},
    };
    for (const auto& [key, text] : texts) {
        SCOPED_TRACE(key);
        const QVariant value = raw.value(QString::fromLatin1(key));
        EXPECT_EQ(value.typeId(), QMetaType::QString);
        EXPECT_EQ(value.toString(), QString::fromLatin1(text));
    }
    EXPECT_EQ(Mode(), "600");

    // Fewer pairs than before: the numbers above them go, whole.
    {
        sweepbox::TSettings store;
        store.SetPairs(NumberedPairs(2));
        store.SetSort(-1, false);
    }
    QSettings again = Raw();
    for (int n = 3; n <= 10; ++n)
        for (const char* key : {"User%1", "Server%1", "Security%1"})
            EXPECT_FALSE(again.contains(QString::fromLatin1(key).arg(n))) << key << n;
    EXPECT_EQ(again.value(QStringLiteral("SortColumn")).toString(), QStringLiteral("-1"));
    EXPECT_EQ(again.value(QStringLiteral("SortOrder")).toString(), QStringLiteral("ascending"));
}

TEST_F(SettingsTest, WhatTheStoreWritesReadsBackTheSame) {
    const auto written = NumberedPairs(3);
    sweepbox::TSettings{}.SetPairs(written);
    const auto read = sweepbox::TSettings{}.Pairs();
    ASSERT_EQ(read.size(), written.size());
    for (size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].Server, written[i].Server);
        EXPECT_EQ(read[i].User, written[i].User);
        EXPECT_EQ(read[i].Security, written[i].Security);
    }
}

// How each pair signs in, as the file spells it: a missing or unknown word
// is a password, the token command and the keyring choice go with the pair
// and leave with it.
TEST_F(SettingsTest, EachPairKeepsItsSignIn) {
    WriteFile("[General]\n"
              "User1=anna\nServer1=pop.example.org\n"
              "User2=bert\nServer2=outlook.office365.com\nSignIn2=OAuth2\nTokenCommand2=get-token --user bert\n"
              "User3=carl\nServer3=pop.example.net\nSignIn3=kerberos\nKeepPassword3=yes\n");
    const auto pairs = sweepbox::TSettings{}.Pairs();
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_EQ(pairs[0].SignIn, sweepbox::TSignIn::Password);
    EXPECT_EQ(pairs[1].SignIn, sweepbox::TSignIn::OAuth2);
    EXPECT_EQ(pairs[1].TokenCommand, QStringLiteral("get-token --user bert"));
    EXPECT_EQ(pairs[2].SignIn, sweepbox::TSignIn::Password);
    EXPECT_TRUE(pairs[2].KeepPassword);
    EXPECT_FALSE(pairs[0].KeepPassword);

    sweepbox::TSettings{}.SetPairs({pairs[1], pairs[2]});
    QSettings raw = Raw();
    EXPECT_EQ(raw.value(QStringLiteral("SignIn1")).toString(), QStringLiteral("oauth2"));
    EXPECT_EQ(raw.value(QStringLiteral("TokenCommand1")).toString(), QStringLiteral("get-token --user bert"));
    EXPECT_EQ(raw.value(QStringLiteral("SignIn2")).toString(), QStringLiteral("password"));
    EXPECT_EQ(raw.value(QStringLiteral("KeepPassword2")).toString(), QStringLiteral("yes"));
    for (const char* gone : {"TokenCommand2", "KeepPassword1", "User3", "SignIn3", "KeepPassword3"})
        EXPECT_FALSE(raw.contains(QString::fromLatin1(gone))) << gone;
}

// A provider's stored values win over the built-in ones one by one; storing
// the built-in value again keeps nothing, so a later built-in change reaches
// the user.
TEST_F(SettingsTest, ProvidersOverrideTheBuiltInValues) {
    sweepbox::TSettings store;
    const QString gmail = QStringLiteral("pop.gmail.com");
    sweepbox::TOAuth2Provider provider = store.OAuth2Provider(gmail);
    EXPECT_TRUE(provider.Known());
    EXPECT_TRUE(provider.ClientId.isEmpty());
    provider.ClientId = QStringLiteral("1234.apps.example");
    provider.ClientSecret = QStringLiteral("desktop-secret");
    store.SetOAuth2Provider(QStringLiteral("POP.Gmail.com"), provider);

    QSettings raw = Raw();
    EXPECT_EQ(raw.value(QStringLiteral("OAuth2Providers/pop.gmail.com/ClientId")).toString(),
              QStringLiteral("1234.apps.example"));
    EXPECT_FALSE(raw.contains(QStringLiteral("OAuth2Providers/pop.gmail.com/TokenUrl")));
    EXPECT_EQ(store.OAuth2Provider(gmail).ClientId, QStringLiteral("1234.apps.example"));
    EXPECT_EQ(store.OAuth2Provider(gmail).TokenUrl, sweepbox::PresetProvider(gmail).TokenUrl);

    // A host of the user's own is known only by what is stored.
    const QString own = QStringLiteral("pop.example.org");
    EXPECT_FALSE(store.OAuth2Provider(own).Known());
    store.SetOAuth2Provider(own, {QStringLiteral("https://id.example.org/auth"),
                                  QStringLiteral("https://id.example.org/token"), QStringLiteral("cid"), QString(),
                                  QStringLiteral("pop")});
    EXPECT_TRUE(sweepbox::TSettings{}.OAuth2Provider(own).Known());
    EXPECT_EQ(Mode(), "600");
}

TEST(SignInTest, MicrosoftHostsDefaultToOAuth2) {
    for (const char* host : {"outlook.office365.com", "POP-MAIL.outlook.com", "pop.office365.com."})
        EXPECT_TRUE(sweepbox::DefaultsToOAuth2(QString::fromLatin1(host))) << host;
    for (const char* host : {"pop.gmail.com", "outlook.office365.com.evil.example", "pop.example.org"})
        EXPECT_FALSE(sweepbox::DefaultsToOAuth2(QString::fromLatin1(host))) << host;
}

// A file loosened since the start is private again after a save.
TEST_F(SettingsTest, SavesLeaveTheFilePrivate) {
    sweepbox::TSettings store;
    const std::function<void()> saves[] = {
        [&] { store.SetPairs(NumberedPairs(1)); },
        [&] { store.SetCertificatePin(QStringLiteral("a:995"), QStringLiteral("sha256:01")); },
        [&] { sweepbox::TOAuth2Provider provider;
            provider.ClientId = QStringLiteral("id");
            store.SetOAuth2Provider(QStringLiteral("a"), provider);
        },
    };
    for (const auto& save : saves) {
        ASSERT_EQ(::chmod(QFile::encodeName(FilePath()).constData(), 0644), 0);
        save();
        EXPECT_EQ(Mode(), "600");
    }
}

} // namespace
