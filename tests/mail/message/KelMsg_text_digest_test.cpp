// The message's Text and attachments on the whole corpus against the
// fingerprints the earlier model (a string per line) gave for the same files
// (data/corpus_text_digests.tsv, one RetrievedDigest row per MANIFEST.tsv
// file, made with the model of commit e384126): keeping the lines in one
// buffer loses, moves or joins none of them, through ParseLines as through
// Parse.

#include "TextDigest.h"
#include "mail/core/KelLines.h"
#include "mail/message/KelMsg.h"
#include "support/Corpus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using sweepbox::test::ReadFile;

class KelMsgTextDigest : public sweepbox::test::CorpusTest {};

// The digest rows by file name.
std::map<std::string, std::string> ExpectedRows() {
    const char* source = std::getenv("SWEEPBOX_SOURCE_DIR");
    std::istringstream in(ReadFile(std::filesystem::path(source ? source : ".") / "tests" / "mail" / "message" /
                                   "data" / "corpus_text_digests.tsv"));
    std::map<std::string, std::string> rows;
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            rows[line.substr(0, line.find('\t'))] = line;
    return rows;
}

TEST_F(KelMsgTextDigest, EveryFileGivesTheLinesAndFilesItGaveBefore) {
    const std::map<std::string, std::string> expected = ExpectedRows();
    ASSERT_GE(expected.size(), 500u) << "the digest file is missing or short";
    const std::vector<std::string> paths = sweepbox::test::CorpusFiles(dir);
    ASSERT_EQ(paths.size(), expected.size()) << "the corpus changed since the digests were taken";
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const auto row = expected.find(path);
        ASSERT_NE(row, expected.end());
        const std::string bytes = ReadFile(dir / path);
        EXPECT_EQ(kel_test::RetrievedDigest(path, bytes), row->second) << "through ParseLines";
        {
            kel::TKelMsg msg;
            std::vector<std::string_view> lines;
            kel::AppendSplitLines(lines, bytes);
            bool failed = false;
            try {
                msg.ParseLines(lines, kel::lkSplit);
            } catch (const std::exception&) {
                failed = true;
            }
            EXPECT_EQ(kel_test::MessageDigest(path, msg, failed), row->second) << "through ParseLines, lkSplit";
        }

        kel::TKelMsg msg;
        msg.RawMail = kel::SplitLines(bytes);
        bool failed = false;
        try {
            msg.Parse();
        } catch (const std::exception&) {
            failed = true;
        }
        EXPECT_EQ(kel_test::MessageDigest(path, msg, failed), row->second) << "through Parse";
    }
}

} // namespace
