#include "mail/core/KelTempFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

using namespace kel;

namespace {

// Points TMPDIR at Dir (or a fresh directory of its own) for the life of the object.
struct ScopedTmpDir {
    explicit ScopedTmpDir(const char* Fixed = nullptr) {
        char templ[] = "/tmp/keltestXXXXXX";
        Dir = Fixed ? Fixed : ::mkdtemp(templ);
        if (const char* old = std::getenv("TMPDIR"))
            Old = old;
        ::setenv("TMPDIR", (Dir + "/").c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (Old)
            ::setenv("TMPDIR", Old->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        ::rmdir(Dir.c_str()); // fails, as it should, when something was left behind
    }
    std::string Dir;
    std::optional<std::string> Old;
};

bool Exists(const std::string& Name) { return ::access(Name.c_str(), F_OK) == 0; }

} // namespace

TEST(TempFiles, CreatedExclusivelyPrivateAndRemovedOnEveryPath) {
    ScopedTmpDir dir;
    EXPECT_EQ(TempDirectory(), dir.Dir);
    const std::string a = MakeTempFileName(), b = MakeTempFileName();
    EXPECT_NE(a, b);
    for (const std::string& name : {a, b}) {
        EXPECT_EQ(name.rfind(dir.Dir + "/kel", 0), 0u);
        struct stat st {};
        ASSERT_EQ(::stat(name.c_str(), &st), 0) << "the created file is the one handed out";
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ::unlink(name.c_str());
    }

    std::string name;
    {
        TTempFile t;
        name = t.Name();
        t.WriteAll(std::string(100000, 'x'));
        t.Truncate();
        t.WriteAll("z");
        EXPECT_EQ(t.ReadAll(), "z");
    }
    EXPECT_FALSE(Exists(name));

    TTempFile moved;
    {
        TTempFile t;
        name = t.Name();
        moved = std::move(t);
    }
    EXPECT_TRUE(Exists(name)) << "the moved-to object owns the file";
    moved.Remove();
    EXPECT_FALSE(Exists(name));
    EXPECT_THROW(moved.WriteAll("x"), EStreamError);
}

TEST(TempFiles, UnusableDirectoryIsAFileError) {
    ScopedTmpDir dir("/nonexistent-kel-dir");
    EXPECT_THROW(MakeTempFileName(), EFileError);
    EXPECT_THROW(TTempFile(), EFileError);
}

// A pipe hands over what was written so far, so one read gives a piece: the
// reader must go on until the count or the end, and say how far it got.
TEST(FileIO, ReadFullyCollectsPiecesAndStopsAtTheEnd) {
    struct Row {
        const char* name;
        std::vector<std::string> pieces;
        size_t count;
        std::string expected;
    } rows[] = {
        {"one piece", {"abcdef"}, 6, "abcdef"},
        {"many pieces", {"ab", "c", "", "def"}, 6, "abcdef"},
        {"fewer than asked", {"ab", "cd"}, 10, "abcd"},
        {"more than asked", {"abc", "def"}, 4, "abcd"},
        {"nothing", {}, 3, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        // Small writes and a close: never blocks, so the thread ends.
        std::thread writer([&r, fd = fds[1]] {
            for (const std::string& p : r.pieces) {
                size_t written = 0;
                WriteFully(fd, p, written);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            ::close(fd);
        });
        std::string buf(r.count, '\0');
        size_t done = 99;
        EXPECT_EQ(ReadFully(fds[0], buf.data(), buf.size(), done), 0);
        writer.join();
        ::close(fds[0]);
        EXPECT_EQ(buf.substr(0, done), r.expected);
    }
}

TEST(FileIO, ReadFullyAtAnOffsetKeepsThePositionAndFailuresAreReported) {
    TTempFile tmp;
    tmp.WriteAll("0123456789");
    char buf[4] = {};
    size_t done = 0;
    EXPECT_EQ(ReadFully(tmp.Fd(), buf, 4, done, 3), 0);
    EXPECT_EQ(std::string(buf, done), "3456");
    EXPECT_EQ(ReadFully(tmp.Fd(), buf, 4, done, 8), 0);
    EXPECT_EQ(std::string(buf, done), "89");
    EXPECT_EQ(::lseek(tmp.Fd(), 0, SEEK_CUR), 10); // where the next write goes
    tmp.WriteAll("ab");
    EXPECT_EQ(tmp.ReadAll(), "0123456789ab");
    EXPECT_EQ(ReadFully(-1, buf, 4, done), EBADF);
    EXPECT_EQ(done, 0u);
}
