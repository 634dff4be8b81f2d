#include "mail/core/KelTempFile.h"
#include "mail/message/KelStream.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kel;

TEST(Streams, MemoryStreamReadWriteSeek) {
    TMemoryStream m;
    m.WriteBuffer(std::string_view("hello world"));
    m.SetPosition(6);
    char buf[16] = {};
    EXPECT_EQ(m.Read(buf, sizeof buf), 5u);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_THROW(m.ReadBuffer(buf, 1), EStreamError);
    m.Seek(-5, TSeekOrigin::soEnd);
    m.Write(std::string_view("there!"));
    EXPECT_EQ(m.Bytes(), "hello there!");
    m.Seek(20, TSeekOrigin::soBeginning); // past the end: a gap of zeros
    m.Write(std::string_view("x"));
    EXPECT_EQ(m.Bytes(), std::string("hello there!\0\0\0\0\0\0\0\0x", 21));
    EXPECT_THROW(m.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
    EXPECT_EQ(m.TakeBytes().size(), 21u);
    EXPECT_EQ(m.Size(), 0);
}

TEST(Streams, FileStreamBufferedWritesReachTheFile) {
    TTempFile tmp;
    std::string expected;
    {
        TFileStream f(tmp.Name(), TFileStream::TMode::fmCreate);
        for (int i = 0; i < 5000; ++i) { // small writes, gathered in the buffer
            f.WriteBuffer(std::to_string(i) + ",");
            expected += std::to_string(i) + ",";
        }
        const std::string big(200000, 'z'); // larger than the write buffer
        f.WriteBuffer(big);
        expected += big;
        EXPECT_EQ(f.Size(), static_cast<int64_t>(expected.size()));
        f.SetPosition(0);
        std::string back(expected.size(), '\0');
        f.ReadBuffer(back.data(), back.size());
        EXPECT_EQ(back, expected);
    }
    EXPECT_EQ(tmp.ReadAll(), expected);
    EXPECT_THROW(TFileStream("/nonexistent-dir/x", TFileStream::TMode::fmOpenRead), EFileError);
}
