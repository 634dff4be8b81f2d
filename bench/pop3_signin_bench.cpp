// Sign-in cost of the POP3 component against a local Dovecot: connect,
// Login, STAT and the first TOP n 0 (what the user waits for before the
// first row of the list appears), with SCRAM-SHA-256 beside USER/PASS.
// One Dovecot offers SCRAM-SHA-256 and PLAIN and holds the password as a
// SCRAM-SHA-256 hash of 4096 rounds. The component reaches it through a
// relay on loopback both ways: one relay passes every byte (the component
// takes SCRAM-SHA-256), the other drops the SASL line from CAPA replies, so
// the component sees a server without SASL and sends USER and PASS (Dovecot
// then checks the password against the same hash). The rounds alternate
// which goes first; the figure is the median of the rounds' ratios. Target:
// SCRAM at most 1.2 times USER/PASS.
//
// Usage: pop3_signin_bench [rounds=41]
#include "mail/pop3/KelPOP3.h"
#include "support/DovecotServer.h"
#include "BenchUtil.h"
#include "DelayLine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace bench;

// A relay that passes every byte, or one that drops a server line
// beginning "SASL " (from CAPA replies).
std::unique_ptr<DelayLine> Relay(uint16_t Upstream, bool StripSasl) {
    auto line = std::make_unique<DelayLine>(Upstream, std::chrono::milliseconds(0));
    if (StripSasl)
        line->ServerFilter = [] {
            return [pending = std::string()](std::string_view Bytes) mutable {
                pending.append(Bytes);
                std::string out;
                size_t at = 0;
                for (size_t end; (end = pending.find("\r\n", at)) != std::string::npos; at = end + 2)
                    if (pending.compare(at, 5, "SASL ") != 0)
                        out.append(pending, at, end + 2 - at);
                pending.erase(0, at);
                return out;
            };
        };
    return line;
}

// Connect to the first listed header; the mechanism the component used.
std::string FirstRow(const DelayLine& Via, double& ms) {
    kel::TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = std::to_string(Via.Port());
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    pop.ProcessMessages = [] {};
    const auto t0 = Clock::now();
    pop.Connect();
    if (!pop.Connected() || !pop.Login())
        throw std::runtime_error("login failed: " + pop.ConnectError() + pop.ReplyLine());
    pop.Stat();
    const std::string header = pop.GetHeader(1);
    ms = MsSince(t0);
    if (header.empty())
        throw std::runtime_error("no header: " + pop.ReplyLine());
    pop.Quit();
    return pop.Mechanism();
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 41;
    const std::vector<std::string> mail = {"From: a@example.org\nSubject: first\n\nbody\n"};
    using sweepbox::test::DovecotServer;
    DovecotServer server(mail, {.Mechanisms = "plain scram-sha-256", .PasswordScheme = "SCRAM-SHA-256"});
    if (!server.Running()) {
        std::fprintf(stderr, "Dovecot not available: %s\n", server.SkipReason().c_str());
        return 2;
    }
    const std::unique_ptr<DelayLine> scramLine = Relay(server.Port(), false), userLine = Relay(server.Port(), true);
    const DelayLine &scram = *scramLine, &userPass = *userLine;
    double warm = 0;
    const std::string used[2] = {FirstRow(scram, warm), FirstRow(userPass, warm)};
    std::printf("mechanisms: %s against %s, rounds %d (alternating, warm-up first)\n", used[0].c_str(),
                used[1].c_str(), rounds);
    if (used[0] != "SCRAM-SHA-256" || used[1] != "USER") {
        std::fprintf(stderr, "the servers were not signed in to as meant\n");
        return 1;
    }
    std::vector<double> scramMs, userMs, ratios;
    for (int r = 0; r < rounds; ++r) {
        double t[2] = {};
        for (int k = 0; k < 2; ++k) {
            const int which = (r + k) % 2;
            FirstRow(which == 0 ? scram : userPass, t[which]);
        }
        scramMs.push_back(t[0]);
        userMs.push_back(t[1]);
        ratios.push_back(t[0] / t[1]);
    }
    std::printf("to the first row: SCRAM-SHA-256 %.2f ms, USER/PASS %.2f ms (medians)\n", Median(scramMs),
                Median(userMs));
    std::printf("SCRAM / USER-PASS: %.3f (median of the rounds' ratios; target <= 1.2)\n", Median(ratios));
    return 0;
}
