// Retrieval of one large message from a local Dovecot: RetrieveMsg (receive
// in 1024-byte reads, spool file, map, split, unstuff, parse) over plain text
// and over implicit TLS (the same server, which offers both), beside a raw
// read of the same LIST and RETR replies into memory over each, in rotating
// order. The raw client's TLS/plain ratio is what the server and the cipher
// cost, which no client avoids. Target: the component's TLS at most 1.3
// times its plain text.
//
// Memory: the resident size RetrieveMsg adds at its peak (VmHWM, reset just
// before it, less the resident size then), against the reply's size. Target:
// at most 3 times the message, for 200 MB of text and 200 MB of base64.
//
// Usage: pop3_retrieve_bench [megabytes=50] [rounds=5]
#include "mail/message/KelMsg.h"
#include "mail/pop3/KelPOP3.h"
#include "support/DovecotServer.h"
#include "support/TestPki.h"
#include "BenchUtil.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace bench;

std::string TextMessage(size_t bytes) {
    std::string m = "From: big@example.org\nSubject: large text\nContent-Type: text/plain\n\n";
    size_t n = 0;
    while (m.size() < bytes) {
        m += "Line " + std::to_string(n++) + " of a long plain text message, with some words in it.\n";
        if (n % 1000 == 0)
            m += ".a line that needs dot-stuffing\n";
    }
    return m;
}

std::string Base64Message(size_t bytes) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string m = "From: big@example.org\nSubject: large attachment\nMIME-Version: 1.0\n"
                    "Content-Type: multipart/mixed; boundary=\"B\"\n\n--B\nContent-Type: text/plain\n\nhi\n"
                    "--B\nContent-Type: application/octet-stream; name=\"x.bin\"\n"
                    "Content-Transfer-Encoding: base64\n\n";
    uint32_t x = 1;
    std::string line(76, 'A');
    while (m.size() < bytes) {
        for (char& c : line) {
            x = x * 1103515245 + 12345;
            c = abc[(x >> 16) & 63];
        }
        m += line;
        m += '\n';
    }
    m += "--B--\n";
    return m;
}

double RetrieveRaw(const sweepbox::test::DovecotServer& server, bool tls, size_t& bytes) {
    RawClient c(tls ? server.TlsPort() : server.Port(),
                tls ? sweepbox::test::TestPki::Shared().CaFile() : std::string());
    c.Command("USER test", "\r\n");
    c.Command("PASS secret", "\r\n");
    const auto t0 = Clock::now();
    c.Command("LIST 1", "\r\n");
    bytes = c.Command("RETR 1", "\r\n.\r\n").size();
    const double ms = MsSince(t0);
    c.Command("QUIT", "\r\n");
    return ms;
}

// Over implicit TLS when tls, with the test authority trusted.
// PeakKb: what the retrieval added to the resident size at its peak.
double RetrieveOurs(const sweepbox::test::DovecotServer& server, bool tls, double& receiveMs, size_t& textLines,
                    size_t& dataBytes, long& peakKb) {
    kel::TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = tls ? server.TlsPortText() : server.PortText();
    if (tls) {
        pop.Security = kel::TPopSecurity::Tls;
        pop.TrustFile = sweepbox::test::TestPki::Shared().CaFile();
    }
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    pop.ProcessMessages = [] {};
    Clock::time_point t0, lastReport;
    pop.OnRetrieveProgress = [&](kel::TObject*, uint16_t) { lastReport = Clock::now(); };
    pop.Connect();
    if (!pop.Connected() || !pop.Login())
        throw std::runtime_error("login failed: " + pop.ConnectError() + pop.ReplyLine());
    ::malloc_trim(0);
    const long before = StatusKb("VmRSS");
    ResetPeak();
    t0 = Clock::now();
    kel::TKelMsg* msg = pop.RetrieveMsg(1);
    const double ms = MsSince(t0);
    peakKb = StatusKb("VmHWM") - before;
    receiveMs = std::chrono::duration<double, std::milli>(lastReport - t0).count();
    textLines = msg->Text.size();
    dataBytes = msg->AttachedFiles.Count() ? msg->AttachedFiles.Items(0).Data.size() : 0;
    pop.ReleaseMsg(msg);
    pop.Quit();
    return ms;
}

void Run(const char* name, const std::string& message, int rounds) {
    sweepbox::test::DovecotServer server({message}, {.Tls = true});
    if (!server.Running()) {
        std::fprintf(stderr, "Dovecot not available: %s\n", server.SkipReason().c_str());
        std::exit(2);
    }
    size_t bytes = 0, lines = 0, data = 0;
    double recv = 0;
    long peakKb = 0, maxPeakKb = 0;
    for (bool tls : {false, true}) { // warm-up: index, page cache
        RetrieveRaw(server, tls, bytes);
        RetrieveOurs(server, tls, recv, lines, data, peakKb);
    }
    // ms[0] component plain, [1] component TLS, [2] raw plain, [3] raw TLS.
    std::vector<double> ms[4], cpu[4], receive[2], ours, bare;
    for (int r = 0; r < rounds; ++r) {
        double t[4] = {};
        // Rotate which goes first, so none always gets the warmer cache.
        for (int k = 0; k < 4; ++k) {
            const int which = (r + k) % 4;
            const bool tls = which % 2 == 1;
            const double cpu0 = CpuMs();
            if (which < 2) {
                t[which] = RetrieveOurs(server, tls, recv, lines, data, peakKb);
                receive[which].push_back(recv);
                maxPeakKb = std::max(maxPeakKb, peakKb);
            } else {
                t[which] = RetrieveRaw(server, tls, bytes);
            }
            cpu[which].push_back(CpuMs() - cpu0);
        }
        for (int k = 0; k < 4; ++k)
            ms[k].push_back(t[k]);
        ours.push_back(t[1] / t[0]);
        bare.push_back(t[3] / t[2]);
    }
    std::printf("%-7s reply %.1f MB [%zu text lines, %zu attachment bytes], medians of %d rounds:\n", name,
                bytes / 1e6, lines, data, rounds);
    std::printf("  RetrieveMsg plain %7.1f ms (receive+spool %6.1f)   TLS %7.1f ms (receive+spool %6.1f)\n",
                Median(ms[0]), Median(receive[0]), Median(ms[1]), Median(receive[1]));
    std::printf("  raw read    plain %7.1f ms                          TLS %7.1f ms\n", Median(ms[2]),
                Median(ms[3]));
    std::printf("  client CPU (whole session): RetrieveMsg plain %6.1f ms  TLS %6.1f ms   raw plain %6.1f ms  "
                "TLS %6.1f ms\n",
                Median(cpu[0]), Median(cpu[1]), Median(cpu[2]), Median(cpu[3]));
    std::printf("  TLS/plain, median of the rounds' ratios: RetrieveMsg %.3f (target <= 1.3), raw read %.3f;"
                "  plain RetrieveMsg/raw %.2f\n",
                Median(ours), Median(bare), Median(ms[0]) / Median(ms[2]));
    std::printf("  peak memory of RetrieveMsg (highest of the rounds): %.1f MB above the resident size before it, "
                "%.2f x the reply (target <= 3)\n",
                maxPeakKb * 1024.0 / 1e6, maxPeakKb * 1024.0 / static_cast<double>(bytes));
}

} // namespace

int main(int argc, char** argv) {
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    Run("text", TextMessage(mb * 1000 * 1000), rounds);
    Run("base64", Base64Message(mb * 1000 * 1000), rounds);
    return 0;
}
