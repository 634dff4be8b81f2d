// Listing cost of the POP3 component against a local Dovecot: STAT, then
// TOP n 0 and LIST n for every message, as the main window lists a mailbox
// (pipelined, as Dovecot offers PIPELINING). The component lists over plain
// text and over implicit TLS (the same server, which offers both), and a
// minimal raw-socket client that sends the same commands lock-step and reads
// the same replies does the same beside it, in rotating order, so all four
// see the same machine. The raw client's TLS/plain ratio is what the server
// and the cipher cost per exchange. Target: the component's TLS at most
// 1.10 times its plain text.
//
// Usage: pop3_listing_bench [messages=5000] [rounds=7]
#include "mail/pop3/KelPOP3.h"
#include "support/DovecotServer.h"
#include "support/TestPki.h"
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
size_t ListRaw(const sweepbox::test::DovecotServer& server, bool tls, double& ms) {
    RawClient c(tls ? server.TlsPort() : server.Port(),
                tls ? sweepbox::test::TestPki::Shared().CaFile() : std::string());
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

// Over implicit TLS when tls, with the test authority trusted.
size_t ListOurs(const sweepbox::test::DovecotServer& server, bool tls, double& ms) {
    kel::TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = tls ? server.TlsPortText() : server.PortText();
    if (tls) {
        pop.Security = kel::TPopSecurity::Tls;
        pop.TrustFile = sweepbox::test::TestPki::Shared().CaFile();
    }
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    // Bound like the main window binds them, so their cost is counted.
    size_t received = 0;
    pop.OnReceiveTextFromSocket = [&](kel::TObject*, const std::string& s) { received += s.size(); };
    pop.ProcessMessages = [] {};
    pop.Connect();
    if (!pop.Connected() || !pop.Login())
        throw std::runtime_error("login failed: " + pop.ConnectError() + pop.ReplyLine());
    // As the main window lists: CAPA, then the listing, pipelined as
    // Dovecot offers PIPELINING.
    pop.ReadCapabilities();
    const auto t0 = Clock::now();
    pop.Stat();
    size_t sum = 0;
    pop.ListMessages(1, pop.MsgCount(), [&](uint16_t, const std::string& header, const std::string& size) {
        sum += header.size() + size.size();
        return true;
    });
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
    sweepbox::test::DovecotServer server(mail, {.Tls = true});
    if (!server.Running()) {
        std::fprintf(stderr, "Dovecot not available: %s\n", server.SkipReason().c_str());
        return 2;
    }
    std::printf("messages %d, mean header %.0f bytes, rounds %d (rotating order, warm-up first)\n",
                messages, double(headerBytes) / messages, rounds);
    // The first session builds Dovecot's index.
    double warm = 0;
    for (bool tls : {false, true}) {
        ListRaw(server, tls, warm);
        ListOurs(server, tls, warm);
    }

    // ms[0] component plain, [1] component TLS, [2] raw plain, [3] raw TLS.
    std::vector<double> ms[4], cpu[4], ours, bare;
    for (int r = 0; r < rounds; ++r) {
        double t[4] = {};
        // Rotate which goes first, so none always gets the warmer cache.
        for (int k = 0; k < 4; ++k) {
            const int which = (r + k) % 4;
            const bool tls = which % 2 == 1;
            const double cpu0 = CpuMs();
            if (which < 2)
                ListOurs(server, tls, t[which]);
            else
                ListRaw(server, tls, t[which]);
            cpu[which].push_back(CpuMs() - cpu0);
        }
        for (int k = 0; k < 4; ++k)
            ms[k].push_back(t[k]);
        ours.push_back(t[1] / t[0]);
        bare.push_back(t[3] / t[2]);
        std::printf("round %d: TKelPOP plain %7.1f ms  TLS %7.1f ms (%.3f)   raw plain %7.1f ms  TLS %7.1f ms "
                    "(%.3f)\n",
                    r + 1, t[0], t[1], t[1] / t[0], t[2], t[3], t[3] / t[2]);
    }
    double m[4];
    for (int k = 0; k < 4; ++k)
        m[k] = Median(ms[k]);
    std::printf("median:  TKelPOP plain %7.1f ms  TLS %7.1f ms           raw plain %7.1f ms  TLS %7.1f ms\n", m[0],
                m[1], m[2], m[3]);
    std::printf("         %.1f / %.1f us a message (TKelPOP plain / TLS), plain TKelPOP/raw %.3f\n",
                1000 * m[0] / messages, 1000 * m[1] / messages, m[0] / m[2]);
    std::printf("client CPU (whole session): TKelPOP plain %6.1f ms  TLS %6.1f ms   raw plain %6.1f ms  TLS %6.1f ms\n",
                Median(cpu[0]), Median(cpu[1]), Median(cpu[2]), Median(cpu[3]));
    std::printf("TLS/plain, median of the rounds' ratios: TKelPOP %.3f (target <= 1.10), raw client %.3f\n",
                Median(ours), Median(bare));
    return 0;
}
