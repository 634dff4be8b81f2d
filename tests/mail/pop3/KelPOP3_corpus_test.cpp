// Every message of the shared real-world corpus, retrieved from the fake
// server (dot-stuffed, cut into odd pieces), must come out exactly as Parse
// makes it of the reply's lines: retrieval adds and loses nothing.
#include "pop3/KelPOP3.h"

#include "mail/pop3/Pop3TestUtil.h"
#include "support/FakePop3Server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using namespace kel;
using sweepbox::test::FakePop3Server;
using sweepbox::test::PrivateTmpDir;

namespace {

[[maybe_unused]] auto* const tmpEnv = ::testing::AddGlobalTestEnvironment(new PrivateTmpDir);

// Path and bytes of each corpus file; empty when the corpus is not here.
std::vector<std::pair<std::string, std::string>> LoadCorpus() {
    const char* shared = std::getenv("SWEEPBOX_SHARED_DIR");
    const std::filesystem::path dir = std::filesystem::path(shared ? shared : "") / "corpus/mime";
    std::ifstream manifest(dir / "MANIFEST.tsv");
    std::vector<std::pair<std::string, std::string>> files;
    std::string line;
    std::getline(manifest, line); // column names
    while (shared && std::getline(manifest, line)) {
        const std::string path = line.substr(0, line.find('\t'));
        std::ifstream in(dir / path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        files.emplace_back(path, bytes.str());
    }
    return files;
}

// What Parse makes of the reply the server sends, or the exception's text.
std::string Expected(const std::string& raw) {
    const std::string crlf = FakePop3Server::NormalizeCrLf(raw);
    const std::string reply = "+OK " + std::to_string(crlf.size()) + " octets\r\n" + FakePop3Server::DotStuff(crlf);
    try {
        return sweepbox::test::ParsedSummary(sweepbox::test::LiteralRawMail(reply), static_cast<int32_t>(crlf.size()));
    } catch (const std::exception& e) {
        return std::string("exception: ") + e.what();
    }
}

} // namespace

TEST(RetrieveCorpus, EveryFileComesBackAsParseMakesIt) {
    auto files = LoadCorpus();
    if (files.empty())
        GTEST_SKIP() << "the shared corpus is not here (SWEEPBOX_SHARED_DIR/corpus/mime/MANIFEST.tsv)";
    // Odd pieces for all; small files again one byte at a time.
    for (size_t chunk : {size_t{333}, size_t{1}}) {
        if (chunk == 1)
            std::erase_if(files, [](const auto& f) { return f.second.size() > 4096; });
        std::vector<std::string> raws;
        for (const auto& f : files)
            raws.push_back(f.second);
        sweepbox::test::MailboxOptions opt;
        opt.ChunkSize = chunk;
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
            SCOPED_TRACE(files[i].first + " chunk " + std::to_string(chunk));
            std::string got;
            try {
                TKelMsg* msg = pop.RetrieveMsg(static_cast<uint16_t>(i + 1));
                ASSERT_NE(msg, nullptr);
                got = sweepbox::test::Summary(*msg);
                pop.ReleaseMsg(msg);
            } catch (const std::exception& e) {
                got = std::string("exception: ") + e.what();
            }
            ASSERT_TRUE(pop.Connected()) << got;
            EXPECT_EQ(got, Expected(files[i].second));
        }
        pop.Quit();
        EXPECT_EQ(PrivateTmpDir::KelFiles(), 0);
    }
}
