// Saving bytes without a window: exactly the bytes, whole or not at all, the
// old file kept unless the new one is complete, and the system's reason when
// the system refuses.
#include "app/core/SaveFile.h"

#include "support/FileLimits.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

using sweepbox::TSaveResult;

class SaveFileTest : public ::testing::Test {
  protected:
    QString Path(const char* Name) const { return dir.filePath(QString::fromUtf8(Name)); }
    QByteArray Read(const char* Name) const {
        QFile f(Path(Name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    void Put(const char* Name, const QByteArray& Bytes) const {
        QFile f(Path(Name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(Bytes), Bytes.size());
    }
    // Every entry of the folder, hidden ones too: a temporary file left
    // behind shows here.
    QStringList Entries() const {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                          QDir::Name);
    }
    // Hands Pieces over one by one.
    static sweepbox::TProduceBytes Pieces(std::vector<std::string> Pieces) {
        return [Pieces = std::move(Pieces)](const sweepbox::TWriteBytes& Write) {
            for (const std::string& piece : Pieces)
                if (!Write(piece))
                    return false;
            return true;
        };
    }

    QTemporaryDir dir;
};

TEST_F(SaveFileTest, WritesExactlyTheBytesHandedOver) {
    const std::string binary("\0\r\n\xff\x80 tail", 10);
    const struct {
        const char* name;
        std::optional<QByteArray> before;
        std::vector<std::string> pieces;
    } rows[] = {
        {"a new file", std::nullopt, {"first ", "second"}},
        {"nothing at all", std::nullopt, {}},
        {"empty pieces among others", std::nullopt, {"", "a", "", "b", ""}},
        {"NULs, CR LF and high bytes", std::nullopt, {binary, binary}},
        {"a large piece", std::nullopt, {std::string(3 * 1024 * 1024 + 7, 'L')}},
        {"over a longer file", QByteArray(5000, 'o'), {"short"}},
        {"over a shorter file", QByteArray("x"), {std::string(70000, 's')}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(Path("out.bin"));
        if (row.before)
            Put("out.bin", *row.before);
        std::string expected;
        for (const std::string& piece : row.pieces)
            expected += piece;
        QString reason;
        EXPECT_EQ(sweepbox::SaveBytes(Path("out.bin"), Pieces(row.pieces), reason), TSaveResult::Saved);
        EXPECT_TRUE(reason.isEmpty()) << reason.toStdString();
        EXPECT_EQ(Read("out.bin"), QByteArray::fromStdString(expected));
        EXPECT_EQ(Entries(), QStringList{QStringLiteral("out.bin")});
    }
}

TEST_F(SaveFileTest, FailuresKeepTheOldFileAndTellTheSystemsReason) {
    const QString full = sweepbox::test::FullDevice(Path("full.dev"));
    ASSERT_FALSE(full.isEmpty()) << "no full device to write to";
    const struct {
        const char* name;
        const char* target;
        std::vector<std::string> pieces;
        rlim_t sizeLimit; // 0: none
        QString reason;   // empty: the producer stopped, no reason given
    } rows[] = {
        {"a folder that does not exist", "gone/out.bin", {"x"}, 0, qt_error_string(ENOENT)},
        {"a full disk", "full.dev", {"some", " bytes"}, 0, qt_error_string(ENOSPC)},
        {"the file size limit halfway", "out.bin", {std::string(4000, 'a'), std::string(4000, 'b')}, 6000,
         qt_error_string(EFBIG)},
        {"the file size limit at once", "out.bin", {std::string(70000, 'c')}, 1000, qt_error_string(EFBIG)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Put("out.bin", "old contents");
        QString reason;
        TSaveResult result;
        {
            std::optional<sweepbox::test::TFileSizeLimit> limit;
            if (row.sizeLimit != 0)
                limit.emplace(row.sizeLimit);
            result = sweepbox::SaveBytes(Path(row.target), Pieces(row.pieces), reason);
        }
        EXPECT_EQ(result, TSaveResult::Failed);
        EXPECT_EQ(reason, row.reason);
        EXPECT_EQ(Read("out.bin"), QByteArray("old contents"));
        EXPECT_EQ(Entries(), (QStringList{QStringLiteral("full.dev"), QStringLiteral("out.bin")}))
            << "no half file, no temporary file";
    }
    struct stat device {};
    ASSERT_EQ(::stat(QFile::encodeName(full).constData(), &device), 0);
    EXPECT_TRUE(S_ISCHR(device.st_mode)) << "the device was written in place, not replaced by a file";
}

TEST_F(SaveFileTest, AStoppedSaveLeavesTheNameAsItWas) {
    for (const bool existed : {false, true}) {
        SCOPED_TRACE(existed ? "an old file" : "no file");
        QFile::remove(Path("out.bin"));
        if (existed)
            Put("out.bin", "old contents");
        int calls = 0;
        QString reason;
        const auto stopAfterOne = [&](const sweepbox::TWriteBytes& Write) {
            ++calls;
            Write(std::string(100000, 'p'));
            return false;
        };
        EXPECT_EQ(sweepbox::SaveBytes(Path("out.bin"), stopAfterOne, reason), TSaveResult::Failed);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(Read("out.bin"), existed ? QByteArray("old contents") : QByteArray("<missing>"));
        EXPECT_EQ(Entries(), existed ? QStringList{QStringLiteral("out.bin")} : QStringList{});
    }
}

TEST_F(SaveFileTest, OnlyFilesAndCharacterDevicesAreWritten) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(Path("pipe")).constData(), 0600), 0);
    QString reason;
    bool asked = false;
    const auto produce = [&](const sweepbox::TWriteBytes& Write) {
        asked = true;
        return Write("x");
    };
    // A pipe without a reader would block the save for good: refused unopened.
    EXPECT_EQ(sweepbox::SaveBytes(Path("pipe"), produce, reason), TSaveResult::NotAFile);
    EXPECT_FALSE(asked);
    // A folder is no file either; the system says so.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    EXPECT_EQ(sweepbox::SaveBytes(Path("folder"), produce, reason), TSaveResult::Failed);
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_TRUE(QFileInfo(Path("folder")).isDir());
    EXPECT_EQ(Entries(), (QStringList{QStringLiteral("folder"), QStringLiteral("pipe")}));
}

TEST_F(SaveFileTest, AnAtomicFileTakesThePathOnlyWhenCommitted) {
    const struct {
        const char* name;
        bool commit;
        bool cancel; // else destroyed as it is
        QByteArray after;
    } rows[] = {
        {"committed", true, false, "new bytes"},
        {"cancelled", false, true, "old contents"},
        {"dropped unfinished", false, false, "old contents"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Put("out.bin", "old contents");
        {
            sweepbox::TAtomicFile file(Path("out.bin"));
            ASSERT_TRUE(file.Open());
            ASSERT_TRUE(file.Write("new ") && file.Write("bytes"));
            EXPECT_EQ(Read("out.bin"), QByteArray("old contents")) << "not before it is complete";
            if (row.commit) {
                EXPECT_TRUE(file.Commit()) << file.Reason().toStdString();
            }
            if (row.cancel)
                file.Cancel();
        }
        EXPECT_EQ(Read("out.bin"), row.after);
        EXPECT_EQ(Entries(), QStringList{QStringLiteral("out.bin")});
    }
    sweepbox::TAtomicFile nowhere(Path("gone/out.bin"));
    EXPECT_FALSE(nowhere.Open());
    EXPECT_EQ(nowhere.Reason(), qt_error_string(ENOENT));
}

} // namespace
