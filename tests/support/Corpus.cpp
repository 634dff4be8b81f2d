#include "support/Corpus.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sweepbox::test {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& Name) {
    std::ifstream in(Name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> CorpusFiles(const fs::path& Dir) {
    std::istringstream manifest(ReadFile(Dir / "MANIFEST.tsv"));
    std::vector<std::string> paths;
    std::string line;
    std::getline(manifest, line); // column names
    while (std::getline(manifest, line))
        if (!line.empty())
            paths.push_back(line.substr(0, line.find('\t')));
    return paths;
}

void CorpusTest::SetUp() {
    const char* shared = std::getenv("SWEEPBOX_SHARED_DIR");
    dir = fs::path(shared ? shared : "") / "corpus" / "mime";
    if (!shared || !*shared || !fs::exists(dir / "MANIFEST.tsv"))
        GTEST_SKIP() << "no corpus: SWEEPBOX_SHARED_DIR does not lead to corpus/mime/MANIFEST.tsv";
}

} // namespace sweepbox::test
