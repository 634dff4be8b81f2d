// A short fingerprint of what parsing a message gives: its Text lines and its
// attachments, so that a change to how the message keeps them can be checked
// against the figures the earlier model gave for the same files.
#pragma once

#include "mail/core/KelLines.h"
#include "mail/message/KelMsg.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace kel_test {

// FNV-1a, 64 bits, over the bytes given to Add.
class TFnv64 {
  public:
    void Add(std::string_view Bytes) {
        for (const char c : Bytes) {
            FValue ^= static_cast<unsigned char>(c);
            FValue *= 0x100000001b3ULL;
        }
    }
    // A length first, so that lines "ab","c" and "a","bc" differ.
    void AddSized(std::string_view Bytes) {
        const uint64_t n = Bytes.size();
        Add(std::string_view(reinterpret_cast<const char*>(&n), sizeof n));
        Add(Bytes);
    }
    uint64_t Value() const { return FValue; }

  private:
    uint64_t FValue = 0xcbf29ce484222325ULL;
};

// One row of the digest file: name, whether the parse failed, the number of
// Text lines and their digest, the number of attachments and the digest of
// their names and bytes.
inline std::string MessageDigest(const std::string& Name, const kel::TKelMsg& Msg, bool Failed) {
    TFnv64 text, files;
    for (const auto& line : Msg.Text)
        text.AddSized(std::string_view(line));
    for (int k = 0; k < Msg.AttachedFiles.Count(); ++k) {
        files.AddSized(Msg.AttachedFiles.Items(k).FileName);
        files.AddSized(Msg.AttachedFiles.Items(k).Data);
    }
    char row[160];
    std::snprintf(row, sizeof row, "\t%d\t%zu\t%016llx\t%d\t%016llx", Failed ? 1 : 0, Msg.Text.size(),
                  static_cast<unsigned long long>(text.Value()), Msg.AttachedFiles.Count(),
                  static_cast<unsigned long long>(files.Value()));
    return Name + row;
}

// The digest row of Bytes parsed as the retrieval parses a received message:
// split into line views, then ParseLines.
inline std::string RetrievedDigest(const std::string& Name, const std::string& Bytes) {
    kel::TKelMsg msg;
    std::vector<std::string_view> lines;
    kel::AppendSplitLines(lines, Bytes);
    bool failed = false;
    try {
        msg.ParseLines(lines);
    } catch (const std::exception&) {
        failed = true;
    }
    return MessageDigest(Name, msg, failed);
}

} // namespace kel_test
