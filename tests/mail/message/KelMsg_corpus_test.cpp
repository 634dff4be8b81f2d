// The real-world message corpus: every file parses (no crash, hang or
// sanitizer report) exactly as the step-by-step parser parses it, and the
// parts that the corpus's decoded-output oracles and our rules decode alike
// come out with the same bytes.

#include "KelMsg_literal.h"
#include "message/KelMsg.h"
#include "message/kel_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& Name) {
    std::ifstream in(Name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The corpus folder, or empty when this checkout has none beside it.
fs::path CorpusDir() {
    const char* shared = std::getenv("SWEEPBOX_SHARED_DIR");
    if (!shared || !*shared)
        return {};
    fs::path dir = fs::path(shared) / "corpus" / "mime";
    return fs::exists(dir / "MANIFEST.tsv") ? dir : fs::path();
}

// What a retrieval hands to Parse: the message split into lines.
std::unique_ptr<kel::TKelMsg> Parsed(const std::string& Bytes) {
    auto m = std::make_unique<kel::TKelMsg>();
    m->RawMail = kel::SplitLines(Bytes);
    m->Parse();
    return m;
}

TEST(KelMsgCorpus, EveryFileParsesLikeTheStepByStepParser) {
    const fs::path dir = CorpusDir();
    if (dir.empty())
        GTEST_SKIP() << "no corpus: SWEEPBOX_SHARED_DIR does not lead to corpus/mime/MANIFEST.tsv";
    std::istringstream manifest(ReadFile(dir / "MANIFEST.tsv"));
    std::vector<std::string> paths;
    std::string line;
    std::getline(manifest, line); // column names
    while (std::getline(manifest, line))
        if (!line.empty())
            paths.push_back(line.substr(0, line.find('\t')));
    ASSERT_GE(paths.size(), 500u);
    size_t failures = 0;
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const std::string bytes = ReadFile(dir / path);
        auto [lib, lit] = kel_literal::ParseBothWays(kel::SplitLines(bytes));
        EXPECT_TRUE(lib == lit);
        failures += !lib.Error.empty();
    }
    // Only a uuencoded line outside the alphabet may fail a parse.
    RecordProperty("failed_parses", static_cast<int>(failures));
}

struct Oracle {
    fs::path File;
    std::string Message; // stem of the message file
    std::string PartPath;
    bool Binary;
};

std::vector<Oracle> Oracles(const fs::path& Folder) {
    std::vector<Oracle> out;
    for (const auto& e : fs::directory_iterator(Folder / "expected-decoded")) {
        const std::string name = e.path().filename().string();
        const size_t at = name.find("_decoded_");
        if (at == std::string::npos)
            continue;
        const std::string ext = e.path().extension().string();
        out.push_back({e.path(), name.substr(0, at), name.substr(at + 9, name.size() - at - 9 - ext.size()), ext == ".bin"});
    }
    std::sort(out.begin(), out.end(), [](const Oracle& a, const Oracle& b) { return a.File < b.File; });
    return out;
}

// Oracle parts that our rules decode differently on purpose, with the rule.
const std::map<std::string, const char*>& RuleDifferences() {
    static const std::map<std::string, const char*> table = {
        {"multi-simple_decoded_1_1.txt", "a folded boundary parameter is joined without its blank"},
        {"multi-simple_decoded_1_2.txt", "a folded boundary parameter is joined without its blank"},
        {"multi-badnames_decoded_1_2.txt", "a folded boundary parameter is joined without its blank"},
        {"multi-badnames_decoded_1_3.txt", "a folded boundary parameter is joined without its blank"},
        {"multi-clen_decoded_1_1.txt", "a folded boundary parameter is joined without its blank"},
        {"multi-clen_decoded_1_2.txt", "a folded boundary parameter is joined without its blank"},
        {"multi-clen_decoded_1_3.txt", "a folded boundary parameter is joined without its blank"},
        {"multi-digest_decoded_1_1_1.txt", "a folded boundary parameter is joined without its blank"},
        {"multi-digest_decoded_1_2_1.txt", "a folded boundary parameter is joined without its blank"},
        {"empty-preamble_decoded_1_1.txt", "\"_\" in a quoted-printable body becomes a blank"},
        {"multi-2gifs-base64_decoded_1_1_1.txt", "a base64-encoded message/rfc822 is parsed undecoded"},
        {"multi-2gifs-base64_decoded_1_1_2.bin", "a base64-encoded message/rfc822 is parsed undecoded"},
        {"multi-2gifs-base64_decoded_1_1_3.bin", "a base64-encoded message/rfc822 is parsed undecoded"},
        {"bad-newlines-multiple-parts-base64_decoded_1_1_1.txt", "a base64-encoded message/rfc822 is parsed undecoded"},
        {"base64encoded-rfc822message-nested_decoded_1_1_1.txt", "a base64-encoded message/rfc822 is parsed undecoded"},
        {"base64encoded-rfc822message_decoded_1_1.txt", "a base64-encoded message/rfc822 is parsed undecoded"},
        {"multi-nested_decoded_1_5_1.txt", "a named message/rfc822 is an attachment of its source"},
        {"multi-nested2_decoded_1_5_1.txt", "a named message/rfc822 is an attachment of its source"},
        {"multi-nested3_decoded_1_5_1.txt", "a named message/rfc822 is an attachment of its source"},
        {"multi-frag_decoded_1_5_1.txt", "a named message/rfc822 is an attachment of its source"},
        {"multipartnestedemptyparts_decoded_1_1.txt", "an embedded message is taken apart, not kept whole"},
        {"multi-frag_decoded_1_3_2.bin", "a part whose closing delimiter is malformed runs on"},
        {"multi-weirdspace_decoded_1_1.txt", "a delimiter line with trailing blanks is body text"},
        {"multi-weirdspace_decoded_1_2.bin", "a delimiter line with trailing blanks is body text"},
        {"multi-weirdspace_decoded_1_3.bin", "a delimiter line with trailing blanks is body text"},
        {"ending-boundaries_decoded_1_1.txt", "a delimiter line with trailing text is body text"},
        {"very-long-boundary_decoded_1_1.txt", "only 72 characters after BOUNDARY are read"},
        {"very-very-long-boundary_decoded_1_1.txt", "only 72 characters after BOUNDARY are read"},
        {"weird-boundary_decoded_1_1.txt", "the boundary is trimmed, its trailing blanks go"},
        {"sig-uu_decoded_1.txt", "uuencoded blocks leave the text for attachments"},
        {"uu-junk_decoded_1_2.txt", "uuencoded blocks leave the text for attachments"},
        {"uu-zeegee_decoded_1.txt", "uuencoded blocks leave the text for attachments"},
        {"malformedHeaderStartsBody-nocrlfcrlf_decoded_1.txt", "the header runs to the first blank line"},
        {"malformedHeaderStartsBody-noheader_decoded_1.txt", "the header runs to the first blank line"},
    };
    return table;
}

// Every other oracle part is found, byte for byte, as an attachment's Data
// or as a run of lines in Text (after the blank lines that follow a header,
// which Text never shows).
TEST(KelMsgCorpus, DecodedPartsMatchTheOracles) {
    const fs::path dir = CorpusDir();
    if (dir.empty())
        GTEST_SKIP() << "no corpus: SWEEPBOX_SHARED_DIR does not lead to corpus/mime/MANIFEST.tsv";

    size_t compared = 0, binaries = 0;
    std::set<std::string> seen;
    for (const char* folder : {"mime-tools", "mime4j"}) {
        std::map<std::string, fs::path> messages;
        for (const auto& e : fs::directory_iterator(dir / folder))
            if (e.is_regular_file())
                messages[e.path().stem().string()] = e.path();
        for (const Oracle& o : Oracles(dir / folder)) {
            const std::string name = o.File.filename().string();
            SCOPED_TRACE(name);
            seen.insert(name);
            if (RuleDifferences().count(name))
                continue;
            ASSERT_TRUE(messages.count(o.Message));
            std::unique_ptr<kel::TKelMsg> m;
            try {
                m = Parsed(ReadFile(messages[o.Message]));
            } catch (const std::exception& e) {
                ADD_FAILURE() << "parse failed: " << e.what();
                continue;
            }
            const std::string expected = ReadFile(o.File);
            bool inFiles = false;
            for (int i = 0; i < m->AttachedFiles.Count(); ++i)
                inFiles = inFiles || m->AttachedFiles.Items(i).Data == expected;
            std::vector<std::string> lines = kel::SplitLines(expected);
            lines.erase(lines.begin(), std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return !kel::IsBlank(l); }));
            EXPECT_TRUE(inFiles || lines.empty() || std::search(m->Text.begin(), m->Text.end(), lines.begin(), lines.end()) != m->Text.end());
            if (o.Binary) {
                EXPECT_TRUE(inFiles);
                ++binaries;
            }
            ++compared;
        }
    }
    for (const auto& [name, why] : RuleDifferences())
        EXPECT_TRUE(seen.count(name)) << name << " is listed but not in the corpus";
    EXPECT_GE(compared, 120u);
    EXPECT_GE(binaries, 25u);
}

// The decoder oracles: a uuencoded photo in text and as an x-uuencode part, the
// same photo in base64, and a quoted-printable text.
TEST(KelMsgCorpus, EncodingOraclesDecodeToTheirOriginals) {
    const fs::path dir = CorpusDir();
    if (dir.empty())
        GTEST_SKIP() << "no corpus: SWEEPBOX_SHARED_DIR does not lead to corpus/mime/MANIFEST.tsv";
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

    const std::vector<std::string> text = kel::SplitLines(ReadFile(enc / "wikipedia.txt"));
    auto m = Parsed("Content-Transfer-Encoding: quoted-printable\n\n" + ReadFile(enc / "wikipedia.qp"));
    EXPECT_EQ(m->Text, text);
    m = Parsed("Content-Type: application/x; name=w.txt\nContent-Transfer-Encoding: quoted-printable\n\n" +
               ReadFile(enc / "wikipedia.qp"));
    ASSERT_EQ(m->AttachedFiles.Count(), 1);
    EXPECT_EQ(kel::SplitLines(m->AttachedFiles.Items(0).Data), text);
}

} // namespace
