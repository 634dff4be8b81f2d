// The preview (PreviewMsg: TOP n 40) of a 200 MB message beside that of a
// small one, over loopback from the fake server, which makes the large
// message's body as it sends it. Both go over one signed-in connection in
// alternating order, each round timing one of each; the figures are the
// medians, and of the rounds' ratios. The bytes the server sent for each
// preview show that the message's size does not reach the wire. Target:
// under a second for the large one.
//
// Usage: pop3_preview_bench [megabytes=200] [rounds=21]
#include "mail/message/KelMsg.h"
#include "mail/pop3/KelPOP3.h"
#include "support/FakePop3Server.h"
#include "BenchUtil.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace bench;
using sweepbox::test::FakePop3Server;

// One preview; Bytes receives what the server sent for it.
double Preview(kel::TKelPOP& Pop, const FakePop3Server& Server, uint16_t Number, uint64_t& Bytes) {
    const uint64_t before = Server.BytesSent();
    const auto t0 = Clock::now();
    kel::TKelMsg* msg = Pop.PreviewMsg(Number);
    const double ms = MsSince(t0);
    if (msg == nullptr || msg->Text.size() != 40) {
        std::fprintf(stderr, "preview of %u failed\n", Number);
        std::exit(1);
    }
    Pop.ReleaseMsg(msg);
    Bytes = Server.BytesSent() - before;
    return ms;
}

} // namespace

int main(int argc, char** argv) {
    const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 21;
    std::string small = "From: a@example.org\r\nSubject: small\r\n\r\n";
    for (int i = 0; i < 60; ++i)
        small += "Line " + std::to_string(i) + " of a short message.\r\n";
    sweepbox::test::MailboxOptions options;
    options.GrowLastTo = megabytes << 20;
    FakePop3Server server({small, "From: b@example.org\r\nSubject: large\r\n\r\nThe first line.\r\n"}, options);

    kel::TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = server.PortText();
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    pop.Connect();
    if (pop.OperationFailed() || !pop.Login()) {
        std::fprintf(stderr, "no session\n");
        return 1;
    }
    pop.Stat();

    std::vector<double> large, little, ratios;
    uint64_t largeBytes = 0, smallBytes = 0;
    for (int r = 0; r < rounds; ++r) {
        double l = 0, s = 0;
        if (r % 2 == 0) {
            l = Preview(pop, server, 2, largeBytes);
            s = Preview(pop, server, 1, smallBytes);
        } else {
            s = Preview(pop, server, 1, smallBytes);
            l = Preview(pop, server, 2, largeBytes);
        }
        large.push_back(l);
        little.push_back(s);
        ratios.push_back(l / s);
    }
    pop.Quit();
    std::printf("preview (TOP n 40) over loopback, %d rounds, alternating order\n", rounds);
    std::printf("  %llu MB message: median %.3f ms, %llu bytes sent per preview\n",
                static_cast<unsigned long long>(megabytes), Median(large),
                static_cast<unsigned long long>(largeBytes));
    std::printf("  small message (%zu bytes): median %.3f ms, %llu bytes sent per preview\n", small.size(),
                Median(little), static_cast<unsigned long long>(smallBytes));
    std::printf("  large/small: median of the rounds' ratios %.2f\n", Median(ratios));
    return 0;
}
