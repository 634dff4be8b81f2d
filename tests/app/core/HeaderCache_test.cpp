// The header cache file: does what was saved come back for the same account
// only, is it the user's alone, and is every file that was cut, changed,
// made for another account or another version read as no file at all?
#include "app/core/HeaderCache.h"

#include "support/QtCoreTestApp.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

using sweepbox::THeaderCache;
using sweepbox::THeaderCacheEntry;

namespace {

const std::string kHeaderA = "From: a@example.org\r\nSubject: A\r\n\r\n.\r\n";
const std::string kHeaderB = "From: b@example.org\r\nSubject: B\r\n\r\n.\r\n";

class HeaderCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureCoreApp();
        ASSERT_TRUE(dir.isValid());
        folder = dir.filePath(QStringLiteral("cache/Larkmoor/Sweepbox"));
    }
    THeaderCache Account(const QString& User = QStringLiteral("alice")) const {
        return THeaderCache(folder, QStringLiteral("pop.example.org"), 995, User);
    }
    // Saves two messages for alice; the file's bytes.
    QByteArray SaveTwo() {
        THeaderCache cache = Account();
        EXPECT_TRUE(cache.Save({{"uid-a", kHeaderA, 1000}, {"uid-b", kHeaderB, 2000}})) << cache.Reason().toStdString();
        return Bytes(cache.FilePath());
    }
    static QByteArray Bytes(const QString& Path) {
        QFile f(Path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void Write(const QString& Path, const QByteArray& Bytes) {
        QFile f(Path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(Bytes);
    }
    // The body with a checksum that fits it again, as a careful editor
    // would leave it.
    static QByteArray Resealed(QByteArray Body) {
        uint64_t sum = THeaderCache::Checksum(std::string_view(Body.constData(), static_cast<size_t>(Body.size())));
        for (int i = 0; i < 8; ++i, sum >>= 8)
            Body.append(static_cast<char>(sum & 0xff));
        return Body;
    }

    QTemporaryDir dir;
    QString folder;
};

} // namespace

TEST_F(HeaderCacheTest, WhatWasSavedComesBackForTheSameAccountOnly) {
    {
        THeaderCache cache = Account();
        EXPECT_FALSE(cache.Load()) << "no file yet";
        // An id RFC 1939 does not allow and a header above the bound are not kept.
        const std::string huge(THeaderCache::MaxHeaderBytes + 1, 'x');
        ASSERT_TRUE(cache.Save({{"uid-a", kHeaderA, 1000},
                                {"bad id", kHeaderB, 1},
                                {"uid-huge", huge, 2},
                                {"uid-b", kHeaderB, 2000}}));
    }
    THeaderCache again = Account();
    ASSERT_TRUE(again.Load());
    EXPECT_TRUE(again.Loaded());
    EXPECT_EQ(again.Count(), 2u);
    // In the order saved, as the server listed them.
    ASSERT_EQ(again.Entries().size(), 2u);
    EXPECT_EQ(again.Entries()[0].Uidl, "uid-a");
    EXPECT_EQ(again.Entries()[1].Uidl, "uid-b");
    ASSERT_NE(again.Find("uid-a"), nullptr);
    EXPECT_EQ(again.Find("uid-a")->Header, kHeaderA);
    EXPECT_EQ(again.Find("uid-a")->Size, 1000u);
    EXPECT_EQ(again.Find("uid-b")->Header, kHeaderB);
    EXPECT_EQ(again.Find("bad id"), nullptr);
    EXPECT_EQ(again.Find("uid-huge"), nullptr);

    // Another user, port or server has a file of its own.
    for (THeaderCache other : {Account(QStringLiteral("bob")),
                               THeaderCache(folder, QStringLiteral("pop.example.org"), 110, QStringLiteral("alice")),
                               THeaderCache(folder, QStringLiteral("mail.example.org"), 995, QStringLiteral("alice"))}) {
        EXPECT_NE(other.FilePath(), again.FilePath());
        EXPECT_FALSE(other.Load());
    }
    // The server's name in another case is the same server.
    EXPECT_EQ(THeaderCache(folder, QStringLiteral("POP.Example.org"), 995, QStringLiteral("alice")).FilePath(),
              again.FilePath());

    // The user's alone, and the name tells nothing of the account.
    const QFileInfo file(again.FilePath());
    struct stat st = {};
    ASSERT_EQ(::stat(QFile::encodeName(again.FilePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(file.fileName().contains(QStringLiteral("alice")));
    EXPECT_FALSE(file.fileName().contains(QStringLiteral("example")));
    EXPECT_FALSE(Bytes(again.FilePath()).contains("alice"));
}

// Is the file's checksum XXH64 (seed 0), so that any copy of that
// algorithm can check a file, and does every byte of a long text count?
TEST_F(HeaderCacheTest, TheChecksumIsXxh64AndEveryByteCounts) {
    EXPECT_EQ(THeaderCache::Checksum(""), 0xEF46DB3751D8E999u);
    EXPECT_EQ(THeaderCache::Checksum("a"), 0xD24EC4F1A98C6E5Bu);
    EXPECT_EQ(THeaderCache::Checksum("abc"), 0x44BC2CF5AD770999u);
    // 71 bytes: two 32-byte stripes, then 8-, 4- and 1-byte tails.
    std::string text(71, 'x');
    const uint64_t whole = THeaderCache::Checksum(text);
    for (size_t i = 0; i < text.size(); ++i) {
        SCOPED_TRACE(i);
        text[i] ^= 0x01;
        EXPECT_NE(THeaderCache::Checksum(text), whole);
        text[i] ^= 0x01;
    }
    EXPECT_NE(THeaderCache::Checksum(text.substr(0, 70)), whole);
}

// The worker: are its jobs run one after the other in the order started,
// and has the last one ended when Wait, or the worker's end, returns?
TEST_F(HeaderCacheTest, TheWorkerRunsItsJobsInOrderAndWaitsForTheLast) {
    std::vector<int> done;
    {
        sweepbox::THeaderCacheWorker worker;
        worker.Start([&] {
            // Slower than the job after it, which still runs after it.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            done.push_back(1);
        });
        worker.Start([&] { done.push_back(2); });
        worker.Wait();
        EXPECT_EQ(done, (std::vector<int>{1, 2}));
        worker.Wait(); // nothing left: returns at once
        worker.Start([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            done.push_back(3);
        });
    }
    EXPECT_EQ(done, (std::vector<int>{1, 2, 3}));

    // Save in its two steps on the worker, the cache moved there: the file
    // is whole once Wait returns, and the views Pack read may go at once.
    sweepbox::THeaderCacheWorker worker;
    {
        THeaderCache cache = Account();
        std::string header = kHeaderA;
        QByteArray packed = cache.Pack({{"uid-a", header, 1000}});
        header.assign(header.size(), 'x');
        worker.Start([cache = std::move(cache), packed = std::move(packed)]() mutable { cache.Write(packed); });
    }
    worker.Wait();
    THeaderCache again = Account();
    ASSERT_TRUE(again.Load());
    ASSERT_EQ(again.Entries().size(), 1u);
    EXPECT_EQ(again.Find("uid-a"), &again.Entries()[0]);
    EXPECT_EQ(again.Entries()[0].Header, kHeaderA);
}

TEST_F(HeaderCacheTest, AFileThatCannotBeTrustedReadsAsNone) {
    const QByteArray good = SaveTwo();
    ASSERT_GT(good.size(), 100);
    const QByteArray body = good.left(good.size() - 8);
    const qsizetype entries = 8 + 4 + 32 + 4;
    const QString path = Account().FilePath();
    const struct {
        const char* name;
        std::function<QByteArray()> make;
    } rows[] = {
        {"empty", [] { return QByteArray(); }},
        {"cut after the magic", [&] { return good.left(8); }},
        {"cut inside an entry", [&] { return good.left(entries + 10); }},
        {"cut before the checksum's last byte", [&] { return good.left(good.size() - 1); }},
        {"a byte more", [&] { return good + 'x'; }},
        {"a header's byte changed by hand", [&] {
             QByteArray b = good;
             b[b.indexOf("Subject: A") + 9] = 'B';
             return b;
         }},
        {"the checksum changed", [&] {
             QByteArray b = good;
             b[b.size() - 1] = static_cast<char>(b[b.size() - 1] ^ 1);
             return b;
         }},
        {"another account's file under this name", [&] {
             THeaderCache bob = Account(QStringLiteral("bob"));
             EXPECT_TRUE(bob.Save({{"uid-a", kHeaderB, 1000}}));
             return Bytes(bob.FilePath());
         }},
        {"another program's magic, resealed", [&] {
             QByteArray b = body;
             b[0] = 'X';
             return Resealed(b);
         }},
        {"the version before, resealed", [&] {
             QByteArray b = body;
             b[8] = 1;
             return Resealed(b);
         }},
        {"a later version, resealed", [&] {
             QByteArray b = body;
             b[8] = 3;
             return Resealed(b);
         }},
        {"a count beyond the entries, resealed", [&] {
             QByteArray b = body;
             b[entries - 4] = 3;
             return Resealed(b);
         }},
        {"a UIDL twice, resealed", [&] {
             QByteArray b = body;
             b.replace("uid-b", "uid-a");
             return Resealed(b);
         }},
        {"a UIDL with a blank, resealed", [&] {
             QByteArray b = body;
             b.replace("uid-b", "uid b");
             return Resealed(b);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Write(path, row.make());
        THeaderCache cache = Account();
        EXPECT_FALSE(cache.Load());
        EXPECT_FALSE(cache.Loaded());
        EXPECT_EQ(cache.Count(), 0u);
        EXPECT_EQ(cache.Find("uid-a"), nullptr);
    }
    // A file past the bound is not even read.
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_TRUE(f.resize(THeaderCache::MaxFileBytes + 1));
    }
    EXPECT_FALSE(Account().Load());
    // Saving again puts a good file in its place.
    Write(path, good.left(10));
    THeaderCache cache = Account();
    EXPECT_FALSE(cache.Load());
    ASSERT_TRUE(cache.Save({{"uid-c", kHeaderA, 5}}));
    THeaderCache again = Account();
    EXPECT_TRUE(again.Load());
    EXPECT_EQ(again.Count(), 1u);
}

// Two programs saving at once: each file read afterwards is one of theirs,
// whole, and no temporary file is left.
TEST_F(HeaderCacheTest, TwoWritersNeverLeaveABrokenFile) {
    const auto writer = [this](const std::string& Header, int Rounds) {
        THeaderCache cache = Account();
        std::vector<std::string> ids;
        for (int i = 0; i < 200; ++i)
            ids.push_back("uid-" + std::to_string(i));
        std::vector<THeaderCacheEntry> entries;
        for (const std::string& id : ids)
            entries.push_back({id, Header, Header.size()});
        for (int r = 0; r < Rounds; ++r)
            cache.Save(entries);
    };
    std::thread one(writer, kHeaderA, 30), two(writer, kHeaderB, 30);
    for (int r = 0; r < 60; ++r) {
        THeaderCache reader = Account();
        // Before the first save there is no file; after it, always a whole one.
        if (QFile::exists(reader.FilePath())) {
            ASSERT_TRUE(reader.Load());
            ASSERT_EQ(reader.Count(), 200u);
        }
    }
    one.join();
    two.join();
    THeaderCache last = Account();
    ASSERT_TRUE(last.Load());
    const std::string_view header = last.Find("uid-0")->Header;
    EXPECT_TRUE(header == kHeaderA || header == kHeaderB);
    EXPECT_EQ(last.Find("uid-199")->Header, header);
    const QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(left, QStringList{QFileInfo(last.FilePath()).fileName()});
}
