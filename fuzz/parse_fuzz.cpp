// Fuzz target for message parsing: no input may crash, hang or trip a
// sanitizer, and TKelMsg::Parse and ParseLines must give exactly what the
// step-by-step parser in tests/mail/message/KelMsg_literal.h gives.
//
// The first byte picks how the rest becomes RawMail: split by the text-list
// rules (as a retrieval does), or cut at LF only so that lines keep CR and
// NUL bytes, with or without ClearRawMailAfterParse.
#include "mail/message/KelMsg_literal.h"
#include "mail/core/KelLines.h"
#include "mail/message/KelMsg.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0)
        return 0;
    const uint8_t mode = Data[0];
    const std::string input(reinterpret_cast<const char*>(Data + 1), Size - 1);

    std::vector<std::string> raw;
    if (mode & 1) {
        size_t start = 0;
        for (size_t p; (p = input.find('\n', start)) != std::string::npos; start = p + 1)
            raw.push_back(input.substr(start, p - start));
        if (start < input.size())
            raw.push_back(input.substr(start));
    } else {
        raw = kel::SplitLines(input);
        std::vector<std::string_view> views;
        kel::AppendSplitLines(views, input);
        if (!std::equal(raw.begin(), raw.end(), views.begin(), views.end())) {
            std::fprintf(stderr, "splitting into views and into strings differ\n");
            std::abort();
        }
    }

    auto [lib, lit] = kel_literal::ParseBothWays(raw, (mode & 2) == 0);
    if (!(lib == lit)) {
        std::fprintf(stderr, "mismatch between Parse and the step-by-step parser\n");
        std::abort();
    }
    return 0;
}
