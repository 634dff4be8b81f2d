// Can another local user read the settings (remembered servers, user names,
// trusted certificates)? The file must be 0600 and its folder 0700, whether
// they are new or were left looser by an earlier run, and must stay so
// through the store's saves.
#include "app/core/SettingsFile.h"

#include "support/QtCoreTestApp.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

// The permission bits in octal; "missing" when the path does not exist.
std::string Mode(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return "missing";
    return QString::number(st.st_mode & 07777, 8).toStdString();
}

// The usual umask for the whole test, whatever the runner's is.
class SettingsFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureCoreApp();
        ASSERT_TRUE(scratch.isValid());
        previousMask = ::umask(022);
    }
    void TearDown() override { ::umask(previousMask); }

    QTemporaryDir scratch;
    QString folder = scratch.filePath(QStringLiteral("config/Larkmoor"));
    QString file = folder + QStringLiteral("/Sweepbox.conf");
    mode_t previousMask = 0;
};

} // namespace

TEST_F(SettingsFileTest, FileAndFolderAreMadePrivateWhateverTheyWere) {
    const struct {
        const char* name;
        int folderMode; // -1: missing
        int fileMode;   // -1: missing
    } rows[] = {
        {"nothing there yet", -1, -1},
        {"folder there, no file", 0755, -1},
        {"left readable by an earlier run", 0755, 0644},
        {"writable by anyone", 0777, 0666},
        {"read-only", 0500, 0400},
        {"already private", 0700, 0600},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(scratch.filePath(QStringLiteral("config"))).removeRecursively();
        const QByteArray content = "[General]\nUser1=anna\n";
        if (row.folderMode >= 0) {
            ASSERT_TRUE(QDir().mkpath(folder));
            if (row.fileMode >= 0) {
                QFile f(file);
                ASSERT_TRUE(f.open(QIODevice::WriteOnly));
                f.write(content);
                f.close();
                ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), static_cast<mode_t>(row.fileMode)), 0);
            }
            ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), static_cast<mode_t>(row.folderMode)), 0);
        }
        EXPECT_TRUE(sweepbox::MakePrivate(file));
        EXPECT_EQ(Mode(folder), "700");
        EXPECT_EQ(Mode(file), "600");
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), row.fileMode >= 0 ? content : QByteArray());
    }
}

// QSettings saves by writing a new file and renaming it over the old one; a
// file it creates itself follows the umask (0644 here). A file made private
// before the first save must stay so through saves, which only holds as long
// as the new file takes the old one's mode.
TEST_F(SettingsFileTest, TheStoresSavesKeepTheFilePrivate) {
    ASSERT_TRUE(sweepbox::MakePrivate(file));
    for (const char* value : {"pop.example", "pop2.example"}) {
        QSettings s(file, QSettings::IniFormat);
        s.setValue(QStringLiteral("User1"), QStringLiteral("anna"));
        s.setValue(QStringLiteral("Server1"), QString::fromLatin1(value));
        s.sync();
        EXPECT_EQ(s.status(), QSettings::NoError);
        EXPECT_EQ(Mode(file), "600");
    }
    EXPECT_EQ(Mode(folder), "700");
    QSettings s(file, QSettings::IniFormat);
    EXPECT_EQ(s.value(QStringLiteral("User1")).toString(), QStringLiteral("anna"));
    EXPECT_EQ(s.value(QStringLiteral("Server1")).toString(), QStringLiteral("pop2.example"));
}
