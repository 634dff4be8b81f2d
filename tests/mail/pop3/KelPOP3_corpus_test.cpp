// Every message of the shared real-world corpus, retrieved from the fake
// server (dot-stuffed, cut into odd pieces), must come out exactly as Parse
// makes it of the reply's lines: retrieval adds and loses nothing.
#include "pop3/KelPOP3.h"

#include "mail/pop3/Pop3TestUtil.h"
#include "message/KelMsg.h"
#include "support/FakePop3Server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace kel;
using sweepbox::test::FakePop3Server;
using sweepbox::test::LiteralRawMail;
using sweepbox::test::MailboxOptions;
using sweepbox::test::ParsedSummary;
using sweepbox::test::PrivateTmpDir;
using sweepbox::test::Summary;

namespace {

[[maybe_unused]] auto* const tmpEnv = ::testing::AddGlobalTestEnvironment(new PrivateTmpDir);

struct CorpusFile {
    std::string path;
    std::string bytes;
};

std::vector<CorpusFile> LoadCorpus(std::string& why) {
    const char* shared = std::getenv("SWEEPBOX_SHARED_DIR");
    const std::filesystem::path dir = std::filesystem::path(shared ? shared : "") / "corpus/mime";
    std::ifstream manifest(dir / "MANIFEST.tsv");
    if (!shared || !manifest) {
        why = "the shared corpus is not here (SWEEPBOX_SHARED_DIR/corpus/mime/MANIFEST.tsv)";
        return {};
    }
    std::vector<CorpusFile> files;
    std::string line;
    std::getline(manifest, line); // column names
    while (std::getline(manifest, line)) {
        std::string path = line.substr(0, line.find('\t'));
        std::ifstream in(dir / path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        files.push_back({path, bytes.str()});
    }
    return files;
}

// The summary Parse makes of the reply the server sends, or the text of the
// exception it raises.
std::string Expected(const std::string& raw) {
    const std::string crlf = FakePop3Server::NormalizeCrLf(raw);
    const std::string reply = "+OK " + std::to_string(crlf.size()) + " octets\r\n" +
                              FakePop3Server::DotStuff(crlf);
    try {
        return ParsedSummary(LiteralRawMail(reply), static_cast<int32_t>(crlf.size()));
    } catch (const std::exception& e) {
        return std::string("exception: ") + e.what();
    }
}

void RetrieveAll(const std::vector<CorpusFile>& files, size_t chunkSize) {
    std::vector<std::string> raws;
    for (const auto& f : files)
        raws.push_back(f.bytes);
    MailboxOptions opt;
    opt.ChunkSize = chunkSize;
    FakePop3Server srv(raws, opt);
    TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = srv.PortText();
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    pop.ReceiveStallLimitMs = 60000;
    pop.Connect();
    ASSERT_TRUE(pop.Login());
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].path);
        std::string got;
        try {
            TKelMsg* msg = pop.RetrieveMsg(static_cast<uint16_t>(i + 1));
            ASSERT_NE(msg, nullptr);
            got = Summary(*msg);
            pop.ReleaseMsg(msg);
        } catch (const std::exception& e) {
            got = std::string("exception: ") + e.what();
        }
        ASSERT_TRUE(pop.Connected()) << got;
        EXPECT_EQ(got, Expected(files[i].bytes));
    }
    pop.Quit();
    EXPECT_EQ(PrivateTmpDir::KelFiles(), 0);
}

} // namespace

TEST(RetrieveCorpus, EveryFileComesBackAsParseMakesIt) {
    std::string why;
    const std::vector<CorpusFile> files = LoadCorpus(why);
    if (files.empty())
        GTEST_SKIP() << why;
    RetrieveAll(files, 333);
}

TEST(RetrieveCorpus, SmallFilesSentOneByteAtATime) {
    std::string why;
    std::vector<CorpusFile> files = LoadCorpus(why);
    if (files.empty())
        GTEST_SKIP() << why;
    std::erase_if(files, [](const CorpusFile& f) { return f.bytes.size() > 4096; });
    RetrieveAll(files, 1);
}
