// Retrieval of one large message from a local Dovecot: RetrieveMsg (receive
// in 1024-byte reads, spool file, map, split, unstuff, parse) beside a raw socket
// read of the same LIST and RETR replies into memory, alternating rounds.
//
// Usage: pop3_retrieve_bench [megabytes=50] [rounds=5]
#include "message/KelMsg.h"
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

double RetrieveRaw(uint16_t port, size_t& bytes) {
    RawClient c(port);
    c.Command("USER test", "\r\n");
    c.Command("PASS secret", "\r\n");
    const auto t0 = Clock::now();
    c.Command("LIST 1", "\r\n");
    bytes = c.Command("RETR 1", "\r\n.\r\n").size();
    const double ms = MsSince(t0);
    c.Command("QUIT", "\r\n");
    return ms;
}

double RetrieveOurs(uint16_t port, double& receiveMs, size_t& textLines, size_t& dataBytes) {
    kel::TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = std::to_string(port);
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    pop.ProcessMessages = [] {};
    Clock::time_point t0, lastReport;
    pop.OnRetrieveProgress = [&](kel::TObject*, uint16_t) { lastReport = Clock::now(); };
    pop.Connect();
    if (!pop.Login())
        throw std::runtime_error("login failed");
    t0 = Clock::now();
    kel::TKelMsg* msg = pop.RetrieveMsg(1);
    const double ms = MsSince(t0);
    receiveMs = std::chrono::duration<double, std::milli>(lastReport - t0).count();
    textLines = msg->Text.size();
    dataBytes = msg->AttachedFiles.Count() ? msg->AttachedFiles.Items(0).Data.size() : 0;
    pop.ReleaseMsg(msg);
    pop.Quit();
    return ms;
}

void Run(const char* name, const std::string& message, int rounds) {
    sweepbox::test::DovecotServer server({message});
    if (!server.Running()) {
        std::fprintf(stderr, "Dovecot not available: %s\n", server.SkipReason().c_str());
        std::exit(2);
    }
    size_t bytes = 0, lines = 0, data = 0;
    double recv = 0;
    RetrieveRaw(server.Port(), bytes); // warm-up: index, page cache
    RetrieveOurs(server.Port(), recv, lines, data);
    std::vector<double> ours, raw, receive;
    for (int r = 0; r < rounds; ++r) {
        double a, b;
        if (r % 2 == 0) {
            a = RetrieveOurs(server.Port(), recv, lines, data);
            b = RetrieveRaw(server.Port(), bytes);
        } else {
            b = RetrieveRaw(server.Port(), bytes);
            a = RetrieveOurs(server.Port(), recv, lines, data);
        }
        ours.push_back(a);
        raw.push_back(b);
        receive.push_back(recv);
    }
    const double mo = Median(ours), mr = Median(raw), mrecv = Median(receive);
    std::printf("%-10s reply %.1f MB: RetrieveMsg %7.1f ms (receive+spool %6.1f ms, map+split+parse "
                "%6.1f ms)  raw read %7.1f ms  ratio %.2f (receive part %.2f)  [%zu text lines, %zu "
                "attachment bytes]\n",
                name, bytes / 1e6, mo, mrecv, mo - mrecv, mr, mo / mr, mrecv / mr, lines, data);
}

} // namespace

int main(int argc, char** argv) {
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    Run("text", TextMessage(mb * 1000 * 1000), rounds);
    Run("base64", Base64Message(mb * 1000 * 1000), rounds);
    return 0;
}
