// What does the main window add to listing a mailbox? The real window
// (offscreen) lists a mailbox of a local Dovecot through its Connect button:
// connect, login, CAPA, STAT, then TOP n 0 and LIST n per message (sent
// ahead of their replies, as Dovecot offers PIPELINING) with one row added
// each, the status and progress kept up to date and the window's messages
// pumped while it waits. Beside it the bare POP3 component sends the same
// commands the same way with nothing else to do. Rounds alternate so that both see
// the same machine; the figure is the median of the rounds' ratios.
//
// Usage: mainwindow_listing_bench [messages=5000] [rounds=15] [pump_interval_ms] [window|bare]
// With "window" or "bare" it lists that way only, rounds times, and prints
// nothing more: a run for callgrind, whose instruction counts stay the same
// on a loaded machine (the difference of two round counts divided by the
// messages between them is the count a listed message costs).
#include "app/windows/Application.h"
#include "app/core/ListRows.h"
#include "app/windows/Main.h"
#include "app/core/Summary.h"
#include "app/core/TextCodec.h"
#include "ui/MultiLst.h"
#include "support/DovecotServer.h"
#include "BenchUtil.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <malloc.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace bench;

// The process's resident memory in KiB (VmRSS).
long ResidentKb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1)
            break;
    std::fclose(f);
    return kb;
}

double ListThroughWindow(TForm1& form, const std::string& port, int expected,
                         std::vector<std::string>* headers = nullptr, long* ListedKb = nullptr) {
    form.servername->setEditText(QStringLiteral("127.0.0.1:") + QString::fromStdString(port));
    form.Username->setEditText(QStringLiteral("test"));
    form.Password->setText(QStringLiteral("secret"));
    const auto t0 = Clock::now();
    form.BtnConnect->click();
    const double ms = MsSince(t0);
    if (form.mail_list->count() != expected + 1 || !form.pop3.Connected()) {
        std::fprintf(stderr, "window listing failed: %d rows, status %s\n", form.mail_list->count() - 1,
                     form.Status->Text().toStdString().c_str());
        std::exit(1);
    }
    if (ListedKb)
        *ListedKb = ResidentKb();
    if (headers) {
        headers->clear();
        for (int n = 1; const std::string* h = form.Session.Header(n); ++n)
            headers->push_back(*h);
    }
    form.BtnDisconnect->click();
    return ms;
}

double ListBare(const std::string& port, int expected) {
    kel::TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = port;
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    size_t bytes = 0;
    const auto t0 = Clock::now();
    pop.Connect();
    if (pop.OperationFailed() || !pop.Login())
        std::exit(1);
    // The commands the window sends: CAPA, STAT, then the listing, which
    // pipelines when the server offers it.
    pop.ReadCapabilities();
    pop.Stat();
    pop.ListMessages(1, pop.MsgCount(), [&](uint16_t, const std::string& header, const std::string& size) {
        bytes += header.size() + size.size();
        return true;
    });
    const double ms = MsSince(t0);
    if (pop.MsgCount() != expected || bytes == 0)
        std::exit(1);
    pop.Quit();
    return ms;
}

// Builds every row of the listed headers: decoded as the window shows them,
// or with the raw cells. Returns the time in ms; Sum keeps the work.
double BuildRows(const std::vector<std::string>& Headers, bool Decoded, size_t& Sum) {
    const auto t0 = Clock::now();
    for (size_t i = 0; i < Headers.size(); ++i) {
        const int n = static_cast<int>(i + 1);
        const QString row = Decoded ? MakeListRow(n, "1234", Headers[i], false).Text()
                                    : DisplayText(summary::Row(n, "1234", summary::filter(Headers[i], false)));
        Sum += static_cast<size_t>(row.size());
    }
    return MsSince(t0);
}

} // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qargc = 1;
    char arg0[] = "mainwindow_listing_bench";
    char* qargv[] = {arg0, nullptr};
    QApplication app(qargc, qargv);
    // Settings of this run stay out of the user's own.
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());

    sweepbox::test::DovecotServer dovecot(Mailbox(messages));
    if (!dovecot.Running()) {
        std::fprintf(stderr, "Dovecot not available: %s\n", dovecot.SkipReason().c_str());
        return 2;
    }
    sweepbox::CreateApplicationWindows();
    // Every round lists the whole mailbox as the component does: no header
    // cache (header_cache_bench measures that), and nothing left in the
    // user's cache folder.
    Form1->Session.CacheFolder.clear();
    Form1->show();
    QApplication::processEvents();
    if (argc > 3 && std::atoi(argv[3]) >= 0)
        Form1->Session.PumpIntervalMs = std::atoi(argv[3]);
    if (argc > 4) {
        const std::string only = argv[4];
        for (int r = 0; r < rounds; ++r)
            only == "bare" ? ListBare(dovecot.PortText(), messages)
                           : ListThroughWindow(*Form1, dovecot.PortText(), messages);
        std::printf("listed %d messages %d times (%s)\n", messages, rounds, only.c_str());
        sweepbox::DestroyApplicationWindows();
        return 0;
    }

    // Rounds alternate which goes first; each round's pair saw the same
    // moment of the machine, so the median of the rounds' ratios is the
    // steadier figure on a shared machine.
    std::vector<double> window, bare, ratios, windowCpu, bareCpu;
    for (int r = 0; r < rounds; ++r) {
        double b = 0, w = 0, bc = 0, wc = 0;
        for (int k = 0; k < 2; ++k) {
            const double cpu0 = CpuMs();
            if ((k == 0) == (r % 2 == 0)) {
                b = ListBare(dovecot.PortText(), messages);
                bc = CpuMs() - cpu0;
            } else {
                w = ListThroughWindow(*Form1, dovecot.PortText(), messages);
                wc = CpuMs() - cpu0;
            }
        }
        bare.push_back(b);
        window.push_back(w);
        ratios.push_back(w / b);
        bareCpu.push_back(bc);
        windowCpu.push_back(wc);
        std::printf("round %d: bare %.1f ms, window %.1f ms (%.3f)\n", r + 1, b, w, w / b);
    }
    const double b = Median(bare), w = Median(window);
    std::printf("listing %d messages, median of %d rounds: bare component %.1f ms, main window %.1f ms; "
                "median of the rounds' ratios %.3f (target <= 1.05), ratio of the medians %.3f\n",
                messages, rounds, b, w, Median(ratios), w / b);
    std::printf("client CPU (median): bare component %.1f ms, main window %.1f ms\n", Median(bareCpu),
                Median(windowCpu));

    // The last listing's headers, rows built both ways, alternating.
    std::vector<std::string> headers;
    // Memory the listed mailbox holds: resident size with the rows listed,
    // against the same window after the connection has ended.
    Form1->mail_list->clear();
    QApplication::processEvents();
    ::malloc_trim(0);
    const long idleKb = ResidentKb();
    long listedKb = 0;
    ListThroughWindow(*Form1, dovecot.PortText(), messages, &headers, &listedKb);
    std::vector<double> raw, decoded;
    size_t sum = 0;
    for (int r = 0; r < rounds; ++r) {
        raw.push_back(BuildRows(headers, false, sum));
        decoded.push_back(BuildRows(headers, true, sum));
    }
    const double added = Median(decoded) - Median(raw);
    std::printf("rows of %zu headers: raw cells %.1f ms, decoded cells %.1f ms; decoding adds %.1f ms = %.1f%% "
                "of the window's listing (target <= 5%%) [%zu]\n",
                headers.size(), Median(raw), Median(decoded), added, 100.0 * added / w, sum);
    std::printf("memory while listed: %.0f bytes a message (resident %ld KiB listed, %ld KiB before; "
                "target <= 1536)\n",
                1024.0 * static_cast<double>(listedKb - idleKb) / messages, listedKb, idleKb);
    sweepbox::DestroyApplicationWindows();
    return 0;
}
