// Fuzz target for the header helpers and the decoders: no input may crash,
// hang or trip a sanitizer, and the one-pass helpers must agree with the
// step-by-step versions in tests/mail/message/kel_literal.h.
#include "mail/message/kel_literal.h"
#include "mail/core/KelLines.h"
#include "mail/message/KelEncodings.h"
#include "mail/message/KelHeader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Check(bool Ok, const char* What) {
    if (!Ok) {
        std::fprintf(stderr, "mismatch: %s\n", What);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string input(reinterpret_cast<const char*>(Data), Size);

    // Text lists: splitting a joined list gives the list back.
    std::vector<std::string> lines = kel::SplitLines(input);
    Check(kel::SplitLines(kel::JoinLines(lines)) == lines, "split/join");

    static const char* const keys[] = {"SUBJECT:", "FROM:", "TO:", "CONTENT-TYPE:", "CONTENT-DISPOSITION:"};
    for (const char* key : keys) {
        std::string field = "unchanged";
        if (kel::FindHeader(key, lines, field)) {
            (void)kel::GetHeaderValue(key, field);
            (void)kel::GetHeaderValue("NAME", field);
            (void)kel::GetBoundary(field);
            Check(kel::FormatAddressList(field) == kel_literal::FormatAddressList(field), "FormatAddressList (field)");
        } else {
            Check(field == "unchanged", "FindHeader left the field alone");
        }
    }

    std::vector<std::string> skipped = lines;
    kel::SkipHeader(skipped);
    std::vector<std::string> skippedLiteral = lines;
    kel_literal::SkipHeader(skippedLiteral);
    Check(skipped == skippedLiteral, "SkipHeader");

    Check(kel::DecodeEncodedWords(input) == kel_literal::DecodeEncodedWords(input), "DecodeEncodedWords");
    Check(kel::ExtractAddress(input, true) == kel_literal::ExtractAddress(input, true), "ExtractAddress");
    (void)kel::ExtractDisplayName(input, true);
    Check(kel::FormatAddressList(input) == kel_literal::FormatAddressList(input), "FormatAddressList");
    (void)kel::GetBoundary(input);
    (void)kel::StripQuotes(input);

    Check(kel::DecodeQuotedPrintable(input).size() <= input.size(), "quoted-printable grows");

    // Base64 through the stream in pieces whose sizes come from the input.
    const std::string whole = kel_literal::Base64({input});
    Check(kel::DecodeBase64(input) == whole, "DecodeBase64");
    kel::TMemoryStream out;
    kel::TBase64DecodingStream dec(out);
    size_t pos = 0, written = 0, k = 0;
    while (pos < input.size()) {
        size_t piece = 1 + (Size > 0 ? Data[k++ % Size] % 7 : 0);
        piece = std::min(piece, input.size() - pos);
        written += dec.Write(input.data() + pos, piece);
        pos += piece;
    }
    Check(out.Bytes() == whole && written == whole.size(), "Base64 in pieces");
    return 0;
}
