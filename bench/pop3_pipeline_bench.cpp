// Listing and deleting at the speed of the link. A delay line between the
// client and a local Dovecot holds every byte for a fixed time in each
// direction (15 ms by default: a 30 ms round trip), in order and without
// waiting for replies, so it adds latency and nothing else. Through it:
//   - listing the first N messages (TOP n 0 and LIST n each) and
//   - deleting them (DELE, highest first; the session then drops without
//     QUIT, so the mailbox stays as it is for the next round),
// by the POP3 component as the main window drives it (CAPA, then
// ListMessages / DeleteMessages, pipelined as Dovecot offers PIPELINING),
// by a raw client that sends each command after the reply before it
// (lock-step), and by a raw client that sends every command at once while
// it reads (the fastest a client can be over the link).
// Then, on plain loopback, listing the whole mailbox the same three ways.
//
// Targets: through the delay line the component at most 0.10 x the
// lock-step client and at most 1.5 x the pipelined one; on loopback at most
// 0.5 x the lock-step client.
//
// Usage: pop3_pipeline_bench [delayed=1000] [loopback=5000] [rounds=5]
//                            [delay_ms=15] [lockstep_rounds=1]
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

enum class Job { List, Delete };

std::vector<std::string> Commands(Job What, int Count) {
    std::vector<std::string> c;
    for (int n = 1; n <= Count; ++n) {
        if (What == Job::List) {
            c.push_back("TOP " + std::to_string(n) + " 0");
            c.push_back("list " + std::to_string(n));
        } else {
            c.push_back("DELE " + std::to_string(Count + 1 - n));
        }
    }
    return c;
}

// The raw client, logged in; the timed part is the job alone.
double Raw(uint16_t Port, Job What, int Count, bool Pipelined, size_t& Sum) {
    RawClient c(Port);
    c.Command("USER test", "\r\n");
    c.Command("PASS secret", "\r\n");
    const std::vector<std::string> commands = Commands(What, Count);
    std::vector<bool> multi;
    for (const std::string& command : commands)
        multi.push_back(command.compare(0, 3, "TOP") == 0);
    const auto t0 = Clock::now();
    if (Pipelined) {
        Sum += c.Pipeline(commands, multi);
    } else {
        for (size_t k = 0; k < commands.size(); ++k)
            Sum += c.Command(commands[k], multi[k] ? "\r\n.\r\n" : "\r\n").size();
    }
    const double ms = MsSince(t0);
    // No QUIT: deletions are never carried out.
    return ms;
}

// The component as the main window drives it: events bound, pump called,
// CAPA after login; no QUIT after a deletion.
double Ours(uint16_t Port, Job What, int Count, size_t& Sum) {
    kel::TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = std::to_string(Port);
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    size_t received = 0;
    pop.OnReceiveTextFromSocket = [&](kel::TObject*, const std::string& s) { received += s.size(); };
    pop.OnSendTextToSocket = [&](kel::TObject*, const std::string& s) { received += s.size() & 1; };
    pop.ProcessMessages = [] {};
    pop.Connect();
    if (!pop.Connected() || !pop.Login())
        throw std::runtime_error("login failed: " + pop.ConnectError() + pop.ReplyLine());
    pop.ReadCapabilities();
    if (!pop.PipeliningOffered())
        throw std::runtime_error("the server does not offer PIPELINING");
    const auto t0 = Clock::now();
    if (What == Job::List) {
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
    const double ms = MsSince(t0);
    pop.Abort(); // no QUIT: deletions are never carried out
    Sum += received;
    return ms;
}

struct Figures {
    std::vector<double> ours, pipelined, lockStep;
};

Figures Measure(uint16_t Port, Job What, int Count, int Rounds, int LockStepRounds) {
    Figures f;
    size_t sum = 0;
    for (int r = 0; r < Rounds; ++r) {
        // Alternate which goes first.
        if (r % 2 == 0) {
            f.ours.push_back(Ours(Port, What, Count, sum));
            f.pipelined.push_back(Raw(Port, What, Count, true, sum));
        } else {
            f.pipelined.push_back(Raw(Port, What, Count, true, sum));
            f.ours.push_back(Ours(Port, What, Count, sum));
        }
        if (r < LockStepRounds)
            f.lockStep.push_back(Raw(Port, What, Count, false, sum));
    }
    if (sum == 0)
        std::printf("(nothing read)\n");
    return f;
}

void Report(const char* Title, const Figures& f, double LockStepTarget, double PipelinedTarget) {
    const double ours = Median(f.ours), piped = Median(f.pipelined), lock = Median(f.lockStep);
    std::printf("%s\n", Title);
    std::printf("  TKelPOP %9.1f ms   raw pipelined %9.1f ms   raw lock-step %9.1f ms\n", ours, piped, lock);
    std::printf("  TKelPOP / lock-step %.4f (target <= %.2f)", ours / lock, LockStepTarget);
    if (PipelinedTarget > 0)
        std::printf("   TKelPOP / pipelined %.3f (target <= %.2f)", ours / piped, PipelinedTarget);
    else
        std::printf("   TKelPOP / pipelined %.3f", ours / piped);
    std::printf("\n  rounds (TKelPOP, pipelined):");
    for (size_t k = 0; k < f.ours.size(); ++k)
        std::printf(" %.0f/%.0f", f.ours[k], f.pipelined[k]);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    const int delayed = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int loopback = argc > 2 ? std::atoi(argv[2]) : 5000;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    const int delayMs = argc > 4 ? std::atoi(argv[4]) : 15;
    const int lockStepRounds = argc > 5 ? std::atoi(argv[5]) : 1;
    sweepbox::test::DovecotServer server(Mailbox(std::max(delayed, loopback)));
    if (!server.Running()) {
        std::fprintf(stderr, "Dovecot not available: %s\n", server.SkipReason().c_str());
        return 2;
    }
    size_t warm = 0;
    Raw(server.Port(), Job::List, std::max(delayed, loopback), true, warm); // builds Dovecot's index
    std::printf("rounds %d (lock-step %d), delay line %d ms each way\n", rounds, lockStepRounds, delayMs);
    {
        DelayLine line(server.Port(), std::chrono::milliseconds(delayMs));
        char title[160];
        std::snprintf(title, sizeof title, "listing %d messages through the delay line:", delayed);
        Report(title, Measure(line.Port(), Job::List, delayed, rounds, lockStepRounds), 0.10, 1.5);
        std::snprintf(title, sizeof title, "deleting %d messages through the delay line:", delayed);
        Report(title, Measure(line.Port(), Job::Delete, delayed, rounds, lockStepRounds), 0.10, 1.5);
    }
    char title[160];
    std::snprintf(title, sizeof title, "listing %d messages on plain loopback:", loopback);
    Report(title, Measure(server.Port(), Job::List, loopback, rounds, rounds), 0.5, 0);
    return 0;
}
