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
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(Bytes) == Bytes.size());
    }
    // Hidden ones too: a temporary file left behind shows here.
    QStringList Entries() const {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                          QDir::Name);
    }
    // Hands Pieces over one by one; Stop ends the save after them.
    static sweepbox::TProduceBytes Pieces(std::vector<std::string> Pieces, bool Stop = false) {
        return [=](const sweepbox::TWriteBytes& Write) {
            for (const std::string& piece : Pieces)
                if (!Write(piece))
                    return false;
            return !Stop;
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
        {"nothing at all", std::nullopt, {}},
        {"NULs, CR LF, high bytes and empty pieces", std::nullopt, {"", binary, "", binary}},
        {"a piece larger than any buffer", std::nullopt, {std::string(3 * 1024 * 1024 + 7, 'L')}},
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
        sweepbox::TProduceBytes produce;
        rlim_t sizeLimit; // 0: none
        QString reason;   // empty: any
    } rows[] = {
        {"a folder that does not exist", "gone/out.bin", Pieces({"x"}), 0, qt_error_string(ENOENT)},
        {"a full disk", "full.dev", Pieces({"some", " bytes"}), 0, qt_error_string(ENOSPC)},
        {"a size limit while small pieces wait in the buffer", "out.bin",
         Pieces({std::string(4000, 'a'), std::string(4000, 'b')}), 6000, qt_error_string(EFBIG)},
        {"a size limit in one large piece", "out.bin", Pieces({std::string(70000, 'c')}), 1000,
         qt_error_string(EFBIG)},
        {"the source stops", "out.bin", Pieces({std::string(100000, 'p')}, true), 0, QString()},
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
            result = sweepbox::SaveBytes(Path(row.target), row.produce, reason);
        }
        EXPECT_EQ(result, TSaveResult::Failed);
        if (!row.reason.isEmpty()) {
            EXPECT_EQ(reason, row.reason);
        }
        EXPECT_EQ(Read("out.bin"), QByteArray("old contents"));
        EXPECT_EQ(Entries(), (QStringList{QStringLiteral("full.dev"), QStringLiteral("out.bin")}))
            << "no half file, no temporary file";
    }
    EXPECT_TRUE(QFileInfo(full).exists() && !QFileInfo(full).isFile()) << "the device was written, not replaced";
}

TEST_F(SaveFileTest, OnlyFilesAndCharacterDevicesAreWritten) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(Path("pipe")).constData(), 0600), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    QString reason;
    // A pipe without a reader would block the save for good: refused unopened.
    EXPECT_EQ(sweepbox::SaveBytes(Path("pipe"), Pieces({"x"}), reason), TSaveResult::NotAFile);
    // A folder is no file either; the system says so.
    EXPECT_EQ(sweepbox::SaveBytes(Path("folder"), Pieces({"x"}), reason), TSaveResult::Failed);
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_TRUE(QFileInfo(Path("folder")).isDir());
    EXPECT_EQ(Entries(), (QStringList{QStringLiteral("folder"), QStringLiteral("pipe")}));
}

TEST_F(SaveFileTest, AnAtomicFileTakesThePathOnlyWhenCommitted) {
    for (const char* ending : {"committed", "cancelled", "dropped unfinished"}) {
        SCOPED_TRACE(ending);
        Put("out.bin", "old contents");
        {
            sweepbox::TAtomicFile file(Path("out.bin"));
            ASSERT_TRUE(file.Open() && file.Write("new ") && file.Write("bytes"));
            EXPECT_EQ(Read("out.bin"), QByteArray("old contents")) << "not before it is complete";
            if (ending == std::string_view("committed")) {
                EXPECT_TRUE(file.Commit()) << file.Reason().toStdString();
            } else if (ending == std::string_view("cancelled")) {
                file.Cancel();
            }
        }
        EXPECT_EQ(Read("out.bin"), ending == std::string_view("committed") ? "new bytes" : "old contents");
        EXPECT_EQ(Entries(), QStringList{QStringLiteral("out.bin")});
    }
}

} // namespace
