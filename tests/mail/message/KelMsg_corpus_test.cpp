// The real-world corpus: every file parses as the step-by-step parser parses
// it, and the parts the decoded-output oracles and our rules agree on match.

#include "KelMsg_literal.h"
#include "mail/message/KelMsg.h"
#include "mail/core/KelLines.h"
#include "mail/core/KelText.h"
#include "support/Corpus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using sweepbox::test::ReadFile;

// Skips the test when this checkout has no corpus beside it.
class KelMsgCorpus : public sweepbox::test::CorpusTest {};

// What a retrieval hands to Parse: the message split into lines.
std::unique_ptr<kel::TKelMsg> Parsed(const std::string& Bytes) {
    auto m = std::make_unique<kel::TKelMsg>();
    m->RawMail = kel_literal::SplitLines(Bytes);
    m->Parse();
    return m;
}

TEST_F(KelMsgCorpus, EveryFileParsesLikeTheStepByStepParser) {
    const std::vector<std::string> paths = sweepbox::test::CorpusFiles(dir);
    ASSERT_GE(paths.size(), 500u);
    size_t failures = 0;
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const std::string bytes = ReadFile(dir / path);
        auto [lib, lit] = kel_literal::ParseBothWays(kel_literal::SplitLines(bytes));
        EXPECT_TRUE(lib == lit);
        failures += !lib.Error.empty();
    }
    // Only a uuencoded line outside the alphabet may fail a parse.
    RecordProperty("failed_parses", static_cast<int>(failures));
}

// Oracle parts that our rules decode differently on purpose, grouped by rule.
const std::set<std::string>& RuleDifferences() {
    static const std::set<std::string> names = {
        // a folded boundary parameter is joined without its blank
        "multi-simple_decoded_1_1.txt", "multi-simple_decoded_1_2.txt",
        "multi-badnames_decoded_1_2.txt", "multi-badnames_decoded_1_3.txt",
        "multi-clen_decoded_1_1.txt", "multi-clen_decoded_1_2.txt", "multi-clen_decoded_1_3.txt",
        "multi-digest_decoded_1_1_1.txt", "multi-digest_decoded_1_2_1.txt",
        // "_" in a quoted-printable body becomes a blank
        "empty-preamble_decoded_1_1.txt",
        // a base64-encoded message/rfc822 is parsed undecoded
        "multi-2gifs-base64_decoded_1_1_1.txt", "multi-2gifs-base64_decoded_1_1_2.bin",
        "multi-2gifs-base64_decoded_1_1_3.bin", "bad-newlines-multiple-parts-base64_decoded_1_1_1.txt",
        "base64encoded-rfc822message-nested_decoded_1_1_1.txt",
        "base64encoded-rfc822message_decoded_1_1.txt",
        // a named message/rfc822 is an attachment of its source
        "multi-nested_decoded_1_5_1.txt", "multi-nested2_decoded_1_5_1.txt",
        "multi-nested3_decoded_1_5_1.txt", "multi-frag_decoded_1_5_1.txt",
        // an embedded message is taken apart, not kept whole
        "multipartnestedemptyparts_decoded_1_1.txt",
        // a part whose closing delimiter is malformed runs on
        "multi-frag_decoded_1_3_2.bin",
        // a delimiter line with trailing blanks or text is body text
        "multi-weirdspace_decoded_1_1.txt", "multi-weirdspace_decoded_1_2.bin",
        "multi-weirdspace_decoded_1_3.bin", "ending-boundaries_decoded_1_1.txt",
        // only 72 characters after BOUNDARY are read; the boundary is trimmed
        "very-long-boundary_decoded_1_1.txt", "very-very-long-boundary_decoded_1_1.txt",
        "weird-boundary_decoded_1_1.txt",
        // uuencoded blocks leave the text for attachments
        "sig-uu_decoded_1.txt", "uu-junk_decoded_1_2.txt", "uu-zeegee_decoded_1.txt",
        // the header runs to the first blank line
        "malformedHeaderStartsBody-nocrlfcrlf_decoded_1.txt",
        "malformedHeaderStartsBody-noheader_decoded_1.txt",
    };
    return names;
}

// Every other oracle part is an attachment's Data or a run of lines in Text
// (less the leading blank lines, which Text never shows).
TEST_F(KelMsgCorpus, DecodedPartsMatchTheOracles) {
    size_t compared = 0, binaries = 0;
    std::set<std::string> seen;
    for (const char* folder : {"mime-tools", "mime4j"}) {
        std::map<std::string, fs::path> messages;
        for (const auto& e : fs::directory_iterator(dir / folder))
            if (e.is_regular_file())
                messages[e.path().stem().string()] = e.path();
        for (const auto& e : fs::directory_iterator(dir / folder / "expected-decoded")) {
            const std::string name = e.path().filename().string();
            const size_t at = name.find("_decoded_");
            if (at == std::string::npos)
                continue;
            SCOPED_TRACE(name);
            seen.insert(name);
            if (RuleDifferences().count(name))
                continue;
            ASSERT_TRUE(messages.count(name.substr(0, at)));
            const auto m = Parsed(ReadFile(messages[name.substr(0, at)]));
            const std::string expected = ReadFile(e.path());
            std::vector<std::string> lines = kel_literal::SplitLines(expected);
            // A text sent as an attachment keeps its lines, joined by CR LF;
            // the last line end goes with the delimiter that follows it.
            bool inFiles = false;
            for (int i = 0; i < m->AttachedFiles.Count(); ++i) {
                const std::string& data = m->AttachedFiles.Items(i).Data;
                inFiles = inFiles || data == expected || (!lines.empty() && kel_literal::SplitLines(data + "\r\n") == lines);
            }
            lines.erase(lines.begin(), std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return !kel::IsBlank(l); }));
            EXPECT_TRUE(inFiles || lines.empty() || std::search(m->Text.begin(), m->Text.end(), lines.begin(), lines.end()) != m->Text.end());
            if (e.path().extension() == ".bin") {
                EXPECT_TRUE(inFiles);
                ++binaries;
            }
            ++compared;
        }
    }
    for (const std::string& name : RuleDifferences())
        EXPECT_TRUE(seen.count(name)) << name << " is listed but not in the corpus";
    EXPECT_GE(compared, 120u);
    EXPECT_GE(binaries, 25u);
}

TEST_F(KelMsgCorpus, EncodingOraclesDecodeToTheirOriginals) {
    const fs::path enc = dir / "gmime" / "encodings";
    const std::string photo = ReadFile(enc / "photo.jpg");
    ASSERT_FALSE(photo.empty());

    struct Row {
        const char* name;
        std::string header;
        const char* body;
    } rows[] = {
        {"uuencoded block in text", "Subject: s\n", "photo.uu"},
        {"x-uuencode part", "Content-Type: image/jpeg\nContent-Transfer-Encoding: x-uuencode\n", "photo.uu"},
        {"base64 part", "Content-Type: image/jpeg; name=photo.jpg\nContent-Transfer-Encoding: base64\n", "photo.b64"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto m = Parsed(r.header + "\n" + ReadFile(enc / r.body));
        ASSERT_EQ(m->AttachedFiles.Count(), 1);
        EXPECT_TRUE(m->AttachedFiles.Items(0).Data == photo);
    }

    const auto m = Parsed("Content-Transfer-Encoding: quoted-printable\n\n" + ReadFile(enc / "wikipedia.qp"));
    EXPECT_EQ(m->Text, kel::SplitLines(ReadFile(enc / "wikipedia.txt")));
}

} // namespace
