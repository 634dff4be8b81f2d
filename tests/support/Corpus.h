// The shared corpus of real-world messages, read from SWEEPBOX_SHARED_DIR when
// this checkout has it beside it; the tests that use it skip without it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace sweepbox::test {

// The whole file as bytes; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& Name);

// The message files corpus/mime/MANIFEST.tsv lists, relative to Dir.
std::vector<std::string> CorpusFiles(const std::filesystem::path& Dir);

// Skips the test when there is no corpus; dir is corpus/mime.
class CorpusTest : public ::testing::Test {
  protected:
    void SetUp() override;
    std::filesystem::path dir;
};

} // namespace sweepbox::test
