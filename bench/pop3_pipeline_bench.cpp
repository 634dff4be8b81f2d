// Listing and deleting at the speed of the link. A delay line between the
// client and a local Dovecot holds every byte for a fixed time in each
// direction (15 ms by default: a 30 ms round trip), in order and without
// waiting for replies, so it adds latency and nothing else. Through it, in
// plain text and inside TLS:
//   - listing the first N messages (TOP n 0 and LIST n each),
//   - deleting them (DELE, highest first; the session then drops without
//     QUIT, so the mailbox stays as it is for the next round), and
//   - a whole session as the main window runs it: connect, greeting, CAPA,
//     AUTH PLAIN, then CAPA and STAT, every header, QUIT,
// by the POP3 component as the main window drives it (pipelined as Dovecot
// offers PIPELINING), and by a raw client that sends every command at once
// while it reads (the fastest a client can be over the link; in the
// session, each command that must wait for the one before does). Then the
// same listing and deleting of a large mailbox (M messages), and on plain
// loopback, listing the whole mailbox. Rounds alternate which client goes
// first; each figure is the median of the rounds' ratios.
//
// Targets: through the delay line listing and deleting at most 1.10 x the
// raw pipelined client, the whole session at most 1.15 x.
//
// Build with -DPOP3_BENCH_WITHOUT_OPEN_MAILBOX for a tree whose component
// asks CAPA, UTF8 and STAT one at a time (no OpenMailbox).
//
// Usage: pop3_pipeline_bench [delayed=5000] [large=50000] [rounds=5]
//                            [delay_ms=15] [loopback=5000] [lockstep_rounds=0]
#include "mail/pop3/KelPOP3.h"
#include "support/DovecotServer.h"
#include "BenchUtil.h"
#include "DelayLine.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace bench;

// ---------------------------------------------------------------- clients

enum class Job { List, Delete, Session };

std::vector<std::string> Commands(Job What, int Count) {
    std::vector<std::string> c;
    for (int n = 1; n <= Count; ++n) {
        if (What == Job::Delete) {
            c.push_back("DELE " + std::to_string(Count + 1 - n));
        } else {
            c.push_back("TOP " + std::to_string(n) + " 0");
            c.push_back("list " + std::to_string(n));
        }
    }
    return c;
}

std::vector<bool> Multi(const std::vector<std::string>& Commands) {
    std::vector<bool> multi;
    for (const std::string& command : Commands)
        multi.push_back(command.compare(0, 3, "TOP") == 0 || command == "CAPA");
    return multi;
}

// Where the clients connect: the port and, for implicit TLS, the authority.
struct Target {
    uint16_t Port = 0;
    std::string CaFile; // empty: plain text
};

// The raw client. List and Delete: logged in, the job alone timed.
// Session: everything from the connect to QUIT's answer.
double Raw(const Target& To, Job What, int Count, bool Pipelined, size_t& Sum) {
    const auto t0 = Clock::now();
    RawClient c(To.Port, To.CaFile);
    if (What == Job::Session) {
        Sum += c.Command("CAPA", "\r\n.\r\n").size();
        Sum += c.Command("AUTH PLAIN AHRlc3QAc2VjcmV0", "\r\n").size(); // "\0test\0secret"
        Sum += c.Pipeline({"CAPA", "STAT"}, {true, false});
        const std::vector<std::string> commands = Commands(What, Count);
        Sum += c.Pipeline(commands, Multi(commands));
        Sum += c.Command("QUIT", "\r\n").size();
        return MsSince(t0);
    }
    c.Command("USER test", "\r\n");
    c.Command("PASS secret", "\r\n");
    const std::vector<std::string> commands = Commands(What, Count);
    const std::vector<bool> multi = Multi(commands);
    const auto t1 = Clock::now();
    if (Pipelined) {
        Sum += c.Pipeline(commands, multi);
    } else {
        for (size_t k = 0; k < commands.size(); ++k)
            Sum += c.Command(commands[k], multi[k] ? "\r\n.\r\n" : "\r\n").size();
    }
    // No QUIT: deletions are never carried out.
    return MsSince(t1);
}

void Prepare(kel::TKelPOP& Pop, const Target& To, size_t& Received) {
    Pop.Host = "127.0.0.1";
    Pop.Port = std::to_string(To.Port);
    if (!To.CaFile.empty()) {
        Pop.Security = kel::TPopSecurity::Tls;
        Pop.TrustFile = To.CaFile;
    }
    Pop.UserId = "test";
    Pop.UserPasswd = "secret";
    Pop.OnReceiveTextFromSocket = [&](kel::TObject*, const std::string& s) { Received += s.size(); };
    Pop.OnSendTextToSocket = [&](kel::TObject*, const std::string& s) { Received += s.size() & 1; };
    Pop.ProcessMessages = [] {};
}

// The component as the main window drives it: events bound, pump called.
double Ours(const Target& To, Job What, int Count, size_t& Sum) {
    kel::TKelPOP pop;
    size_t received = 0;
    Prepare(pop, To, received);
    const auto t0 = Clock::now();
    pop.Connect();
    if (!pop.Connected() || !pop.Login())
        throw std::runtime_error("login failed: " + pop.ConnectError() + pop.ReplyLine());
    if (What == Job::Session) {
#ifdef POP3_BENCH_WITHOUT_OPEN_MAILBOX
        pop.ReadCapabilities();
        if (pop.Utf8Offered())
            pop.EnableUtf8();
        pop.Stat();
#else
        pop.OpenMailbox();
#endif
        if (pop.StatCount() < Count)
            throw std::runtime_error("the mailbox is too small");
    } else {
        pop.ReadCapabilities();
    }
    if (!pop.PipeliningOffered())
        throw std::runtime_error("the server does not offer PIPELINING");
    const auto t1 = Clock::now();
    if (What != Job::Delete) {
        pop.ListMessages(1, static_cast<uint16_t>(Count), [&](uint16_t, const std::string& h, const std::string& s) {
            Sum += h.size() + s.size();
            return true;
        });
    } else {
        std::vector<uint16_t> numbers;
        for (int n = Count; n >= 1; --n)
            numbers.push_back(static_cast<uint16_t>(n));
        if (pop.DeleteMessages(numbers) != numbers.size())
            throw std::runtime_error("a DELE was refused: " + pop.ReplyLine());
    }
    double ms = MsSince(t1);
    if (What == Job::Session) {
        pop.Quit();
        ms = MsSince(t0);
    } else {
        pop.Abort(); // no QUIT: deletions are never carried out
    }
    Sum += received;
    return ms;
}

struct Figures {
    std::vector<double> ours, pipelined, lockStep;
};

Figures Measure(const Target& To, Job What, int Count, int Rounds, int LockStepRounds) {
    Figures f;
    size_t sum = 0;
    for (int r = 0; r < Rounds; ++r) {
        // Alternate which goes first.
        if (r % 2 == 0) {
            f.ours.push_back(Ours(To, What, Count, sum));
            f.pipelined.push_back(Raw(To, What, Count, true, sum));
        } else {
            f.pipelined.push_back(Raw(To, What, Count, true, sum));
            f.ours.push_back(Ours(To, What, Count, sum));
        }
        if (r < LockStepRounds && What != Job::Session)
            f.lockStep.push_back(Raw(To, What, Count, false, sum));
    }
    if (sum == 0)
        std::printf("(nothing read)\n");
    return f;
}

void Report(const char* Title, const Figures& f, double PipelinedTarget) {
    std::vector<double> ratios;
    for (size_t k = 0; k < f.ours.size(); ++k)
        ratios.push_back(f.ours[k] / f.pipelined[k]);
    const double ours = Median(f.ours), piped = Median(f.pipelined);
    std::printf("%s\n", Title);
    std::printf("  TKelPOP %9.1f ms   raw pipelined %9.1f ms", ours, piped);
    if (!f.lockStep.empty())
        std::printf("   raw lock-step %9.1f ms (TKelPOP / lock-step %.4f)", Median(f.lockStep),
                    ours / Median(f.lockStep));
    std::printf("\n  TKelPOP / pipelined, median of the rounds' ratios %.3f", Median(ratios));
    if (PipelinedTarget > 0)
        std::printf(" (target <= %.2f)", PipelinedTarget);
    std::printf("\n  rounds (TKelPOP/pipelined ms):");
    for (size_t k = 0; k < f.ours.size(); ++k)
        std::printf(" %.0f/%.0f", f.ours[k], f.pipelined[k]);
    std::printf("\n");
    std::fflush(stdout);
}

void Run(const char* Link, const Target& To, int Count, int Rounds, int LockStepRounds, double Target, double SessionTarget) {
    char title[200];
    std::snprintf(title, sizeof title, "listing %d messages %s:", Count, Link);
    Report(title, Measure(To, Job::List, Count, Rounds, LockStepRounds), Target);
    std::snprintf(title, sizeof title, "deleting %d messages %s:", Count, Link);
    Report(title, Measure(To, Job::Delete, Count, Rounds, LockStepRounds), Target);
    if (SessionTarget > 0) {
        std::snprintf(title, sizeof title, "a whole session listing %d messages %s:", Count, Link);
        Report(title, Measure(To, Job::Session, Count, Rounds, 0), SessionTarget);
    }
}

} // namespace

int main(int argc, char** argv) {
    const int delayed = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int large = argc > 2 ? std::atoi(argv[2]) : 50000;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    const int delayMs = argc > 4 ? std::atoi(argv[4]) : 15;
    const int loopback = argc > 5 ? std::atoi(argv[5]) : 5000;
    const int lockStepRounds = argc > 6 ? std::atoi(argv[6]) : 0;
    const int most = std::min(65535, std::max({delayed, large, loopback}));
    sweepbox::test::DovecotOptions options;
    options.Tls = true;
    sweepbox::test::DovecotServer server(Mailbox(most), options);
    if (!server.Running()) {
        std::fprintf(stderr, "Dovecot not available: %s\n", server.SkipReason().c_str());
        return 2;
    }
    const std::string ca = sweepbox::test::TestPki::Shared().CaFile();
    size_t warm = 0;
    Raw({server.Port(), ""}, Job::List, most, true, warm); // builds Dovecot's index
    std::printf("rounds %d, delay line %d ms each way\n", rounds, delayMs);
    std::fflush(stdout);
    {
        DelayLine plain(server.Port(), std::chrono::milliseconds(delayMs));
        DelayLine tls(server.TlsPort(), std::chrono::milliseconds(delayMs));
        Run("through the delay line", {plain.Port(), ""}, delayed, rounds, lockStepRounds, 1.10, 1.15);
        Run("through the delay line, TLS", {tls.Port(), ca}, delayed, rounds, 0, 1.10, 1.15);
        if (large > 0)
            Run("through the delay line", {plain.Port(), ""}, large, std::max(1, rounds / 2), 0, 1.10, 1.15);
    }
    if (loopback > 0) {
        char title[160];
        std::snprintf(title, sizeof title, "listing %d messages on plain loopback:", loopback);
        Report(title, Measure({server.Port(), ""}, Job::List, loopback, rounds, 0), 0);
    }
    return 0;
}
