// Listing cost of the POP3 component against a local Dovecot: STAT, then
// TOP n 0 and LIST n for every message, as the main window lists a mailbox.
// A minimal raw-socket client that sends the same commands and reads the same
// replies runs beside it, alternating rounds, so both see the same machine.
//
// Usage: pop3_listing_bench [messages=5000] [rounds=7]
#include "pop3/KelPOP3.h"
#include "support/DovecotServer.h"
#include "BenchUtil.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace bench;

// Deterministic messages with header sizes like real mail: most near 1 KiB,
// some with long Received chains.
std::vector<std::string> MakeMessages(int count) {
    std::vector<std::string> out;
    out.reserve(count);
    for (int i = 0; i < count; ++i) {
        std::string m;
        int hops = 1 + (i * 7) % 9; // 1..9 Received lines
        for (int h = 0; h < hops; ++h)
            m += "Received: from relay" + std::to_string(h) + ".example.net (relay" +
                 std::to_string(h) + ".example.net [192.0.2." + std::to_string(h + 1) +
                 "])\n\tby mx.example.org with ESMTPS id " + std::to_string(100000 + i * 13 + h) +
                 "\n\tfor <user@example.org>; Tue, 3 Sep 2024 10:" + std::to_string(10 + h % 50) +
                 ":00 +0200\n";
        m += "From: Sender " + std::to_string(i) + " <sender" + std::to_string(i) + "@example.com>\n";
        m += "To: user@example.org\n";
        m += "Subject: Message number " + std::to_string(i + 1) + " about the quarterly figures\n";
        m += "Date: Tue, 3 Sep 2024 10:00:00 +0200\n";
        m += "Message-ID: <" + std::to_string(i) + ".abcdef@example.com>\n";
        m += "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n\n";
        for (int l = 0; l < 5 + i % 20; ++l)
            m += "Body line " + std::to_string(l) + " of message " + std::to_string(i + 1) + ".\n";
        out.push_back(std::move(m));
    }
    return out;
}

// Both clients return a checksum of what they read so neither can skip work.
size_t ListRaw(uint16_t port, double& ms) {
    RawClient c(port);
    c.Command("USER test", "\r\n");
    c.Command("PASS secret", "\r\n");
    const auto t0 = Clock::now();
    std::string stat = c.Command("STAT", "\r\n");
    int count = std::atoi(stat.c_str() + 4);
    size_t sum = 0;
    for (int n = 1; n <= count; ++n) {
        std::string header = c.Command("TOP " + std::to_string(n) + " 0", "\r\n.\r\n");
        std::string size = c.Command("list " + std::to_string(n), "\r\n");
        sum += header.size() + size.size();
    }
    ms = MsSince(t0);
    c.Command("QUIT", "\r\n");
    return sum;
}

size_t ListOurs(uint16_t port, double& ms) {
    kel::TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = std::to_string(port);
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    // Bound like the main window binds them, so their cost is counted.
    size_t received = 0;
    pop.OnReceiveTextFromSocket = [&](kel::TObject*, const std::string& s) { received += s.size(); };
    pop.ProcessMessages = [] {};
    pop.Connect();
    if (!pop.Connected() || !pop.Login())
        throw std::runtime_error("login failed");
    const auto t0 = Clock::now();
    pop.Stat();
    size_t sum = 0;
    for (int n = 1; n <= pop.MsgCount(); ++n) {
        std::string header = pop.GetHeader(static_cast<uint16_t>(n));
        std::string size;
        pop.GetMsgSize(n, size);
        sum += header.size() + size.size();
    }
    ms = MsSince(t0);
    pop.Quit();
    return sum + (received > 0 ? 0 : 1);
}

} // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    std::vector<std::string> mail = MakeMessages(messages);
    size_t headerBytes = 0;
    for (const auto& m : mail)
        headerBytes += m.find("\n\n") + 2;
    sweepbox::test::DovecotServer server(mail);
    if (!server.Running()) {
        std::fprintf(stderr, "Dovecot not available: %s\n", server.SkipReason().c_str());
        return 2;
    }
    std::printf("messages %d, mean header %.0f bytes, rounds %d (alternating, warm-up first)\n",
                messages, double(headerBytes) / messages, rounds);
    double warm = 0;
    ListRaw(server.Port(), warm); // the first session builds Dovecot's index
    ListOurs(server.Port(), warm);

    std::vector<double> ours, raw;
    for (int r = 0; r < rounds; ++r) {
        double a = 0, b = 0;
        // Alternate which goes first, so neither always gets the warmer cache.
        if (r % 2 == 0) {
            ListOurs(server.Port(), a);
            ListRaw(server.Port(), b);
        } else {
            ListRaw(server.Port(), b);
            ListOurs(server.Port(), a);
        }
        ours.push_back(a);
        raw.push_back(b);
        std::printf("round %d: TKelPOP %8.1f ms   raw %8.1f ms   ratio %.3f\n", r + 1, a, b, a / b);
    }
    const double mo = Median(ours), mr = Median(raw);
    std::printf("median:  TKelPOP %8.1f ms   raw %8.1f ms   ratio %.3f  (%.1f vs %.1f us/message)\n",
                mo, mr, mo / mr, 1000 * mo / messages, 1000 * mr / messages);
    std::printf("best:    TKelPOP %8.1f ms   raw %8.1f ms   ratio %.3f\n",
                *std::min_element(ours.begin(), ours.end()), *std::min_element(raw.begin(), raw.end()),
                *std::min_element(ours.begin(), ours.end()) / *std::min_element(raw.begin(), raw.end()));
    return 0;
}
