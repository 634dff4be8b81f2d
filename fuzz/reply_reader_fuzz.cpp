// Fuzz target for the POP3 reply reader: any server stream, cut into
// receives anywhere, gives the same replies and the same rest as the stream
// fed whole, whether data is fed then taken or scanned where it lies. The
// first input bytes choose the reads and the cuts.
#include "mail/pop3/KelReplyReader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using kel::TReplyReader;
using Step = TReplyReader::TStep;

// Reads alternate between a status line and, after a "+", its data (as
// Plan says: bit i set means the reply i is multi-line, bit 7 unstuffs).
std::string Run(const std::string& Stream, const std::vector<size_t>& Cuts, uint8_t Plan, bool InPlace) {
    TReplyReader r;
    std::string log, current;
    int reply = 0;
    bool inData = false, stopped = false;
    size_t from = 0;
    for (size_t i = 0; i <= Cuts.size() && !stopped; ++i) {
        const size_t to = i < Cuts.size() ? Cuts[i] : Stream.size();
        const std::string_view piece(Stream.data() + from, to - from);
        from = to;
        bool fed = false;
        for (;;) {
            Step step;
            if (!inData) {
                if (!fed)
                    r.Feed(piece);
                fed = true;
                step = r.TakeLine(current);
                if (step == Step::Done && ((Plan >> (reply % 7)) & 1) && !current.empty() && current[0] == '+') {
                    log += "L:" + current + "\n";
                    current.clear();
                    inData = true;
                    r.BeginData((Plan & 0x80) != 0, 4096);
                    continue;
                }
            } else if (!fed && InPlace) {
                fed = true;
                step = r.FeedData(piece, current);
            } else {
                if (!fed)
                    r.Feed(piece);
                fed = true;
                step = r.TakeData(current);
            }
            if (step == Step::More)
                break;
            // How much of a reply past its bound was taken depends on the cuts.
            log += std::string(inData ? "D:" : "L:") + (step == Step::TooLong ? "<too long>" : current) + "\n";
            current.clear();
            inData = false;
            ++reply;
            if (step == Step::TooLong) {
                stopped = true;
                break;
            }
        }
    }
    if (stopped)
        return log; // what arrives after a bound is passed is never read
    return log + "more:" + current + "\nrest:" + std::string(r.Pending());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 3)
        return 0;
    const uint8_t plan = Data[0];
    const size_t step = 1 + Data[1] % 64;
    const std::string stream(reinterpret_cast<const char*>(Data) + 2, Size - 2);
    std::vector<size_t> cuts;
    for (size_t at = step; at < stream.size(); at += step)
        cuts.push_back(at);
    const std::string whole = Run(stream, {}, plan, false);
    if (Run(stream, cuts, plan, false) != whole || Run(stream, cuts, plan, true) != whole ||
        Run(stream, {}, plan, true) != whole) {
        std::fprintf(stderr, "the replies depend on how the stream was cut\n");
        std::abort();
    }
    return 0;
}
