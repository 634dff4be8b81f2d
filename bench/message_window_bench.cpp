// What does showing a message cost beside fetching it? For one large message
// on a local Dovecot, each round times the bare TKelPOP::RetrieveMsg (LIST,
// RETR, spool, split, parse; login outside the timing) and then the message
// window (offscreen) opening that parsed TKelMsg: AddMessage, show, until its
// text view has painted once. Then the window is closed and the message
// released. Two messages: 20 MB of plain text in 240,000 lines, and a body of
// one 1 MiB line without blanks.
//
// Memory: the peak resident size (VmHWM, reset before the opening through
// /proc/self/clear_refs) while the window opens, beside the resident size
// before the message was fetched; and the resident size after the window
// closed against the one before it opened.
//
// Targets: opening at most 1.5 times the retrieval for both messages; the
// peak at most 3 times the message's size above the resident size before the
// fetch; after closing, back near the size before opening.
//
// HTML: a 1 MB message whose only text is HTML (converted to text by the
// window as it opens) against a plain text message of the same size.
// Target: the HTML message's window opens within 1.5 times the text one's.
//
// Usage: message_window_bench [megabytes=20] [rounds=5]
#include "BenchUtil.h"
#include "ui/TextView.h"
#include "app/core/Language.h"
#include "app/windows/email.h"
#include "mail/message/KelMsg.h"
#include "mail/pop3/KelPOP3.h"
#include "support/DovecotServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <malloc.h>

namespace {

using namespace bench;

std::string TextMessage(size_t lines) {
    std::string m = "From: big@example.org\nSubject: large text\nContent-Type: text/plain; charset=us-ascii\n\n";
    m.reserve(lines * 84 + m.size());
    for (size_t n = 0; n < lines; ++n) {
        std::string line = "Line " + std::to_string(n) + " of a long plain text message, with some words in it";
        line.resize(82, '.');
        m += line;
        m += '\n';
    }
    return m;
}

std::string OneLineMessage(size_t bytes) {
    std::string m = "From: big@example.org\nSubject: one long line\nContent-Type: text/plain; charset=us-ascii\n\n";
    std::string line(bytes, 'x');
    for (size_t i = 0; i < bytes; i += 61)
        line[i] = static_cast<char>('a' + i % 26);
    return m + line + "\n";
}

// About Bytes of HTML as newsletters write it: a head with style, then
// paragraphs with entities and links, tables and lists, in lines of mail size.
std::string HtmlMessage(size_t bytes) {
    std::string m = "From: shop@example.org\nSubject: newsletter\nContent-Type: text/html; charset=utf-8\n\n"
                    "<!DOCTYPE html>\n<html><head><style>p { margin: 0 } td { padding: 2px }</style></head><body>\n";
    for (size_t n = 0; m.size() < bytes; ++n) {
        m += "<h2>Angebot " + std::to_string(n) +
             "</h2>\n<p>Gr&uuml;&szlig;e aus K&ouml;ln &ndash; <a href=\"https://"
             "shop.example/item?id=" +
             std::to_string(n) +
             "&amp;ref=mail\">zum Angebot</a>, nur&nbsp;heute.</p>\n"
             "<table><tr><td>Artikel</td><td>Preis</td></tr><tr><td>Tee</td><td>3,50&nbsp;&euro;</td></tr></table>\n"
             "<ul><li>Lieferung frei Haus</li><li>Zahlung in 30 Tagen</li></ul><img src=\"https://img.example/" +
             std::to_string(n) + ".png\" alt=\"Bild\"><br>\n";
    }
    return m + "</body></html>\n";
}

// Counts the paint events of the text view.
class PaintCounter : public QObject {
  public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

struct Round {
    double retrieveMs = 0;
    double openMs = 0;
    long beforeFetchKb = 0; // resident before RetrieveMsg
    long beforeOpenKb = 0;  // resident with the parsed message, window closed
    long peakKb = 0;        // VmHWM while the window opened
    long afterCloseKb = 0;  // resident once the window closed
    long afterTrimKb = 0;   // the same once the allocator gave back its free pages
    size_t lines = 0;
};

Round RunRound(const sweepbox::test::DovecotServer& server, TForm3& form, PaintCounter& counter) {
    Round r;
    kel::TKelPOP pop;
    pop.Host = "127.0.0.1";
    pop.Port = server.PortText();
    pop.UserId = "test";
    pop.UserPasswd = "secret";
    pop.ProcessMessages = [] {};
    pop.Connect();
    if (!pop.Connected() || !pop.Login())
        throw std::runtime_error("login failed: " + pop.ConnectError() + pop.ReplyLine());
    ::malloc_trim(0);
    r.beforeFetchKb = StatusKb("VmRSS");
    auto t0 = Clock::now();
    kel::TKelMsg* msg = pop.RetrieveMsg(1);
    r.retrieveMs = MsSince(t0);
    if (msg == nullptr)
        throw std::runtime_error("RetrieveMsg failed");
    r.lines = msg->Text.size();

    r.beforeOpenKb = StatusKb("VmRSS");
    ResetPeak();
    const int paintsBefore = counter.paints;
    t0 = Clock::now();
    form.AddMessage(msg);
    form.show();
    QElapsedTimer limit;
    limit.start();
    while (counter.paints == paintsBefore && limit.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    r.openMs = MsSince(t0);
    r.peakKb = StatusKb("VmHWM");
    const bool linesShown = form.ShowsConvertedHtml()
                                ? form.memo_email_anzeigen->lineCount() > 0
                                : form.memo_email_anzeigen->lineCount() == static_cast<qsizetype>(r.lines);
    if (counter.paints == paintsBefore || !linesShown)
        throw std::runtime_error("the window did not paint the message");

    form.btn_close->click();
    QApplication::processEvents();
    r.afterCloseKb = StatusKb("VmRSS");
    ::malloc_trim(0);
    r.afterTrimKb = StatusKb("VmRSS");
    pop.ReleaseMsg(msg);
    pop.Quit();
    return r;
}

// Returns the median time the window took to open.
double Run(const char* name, const std::string& message, int rounds, TForm3& form, PaintCounter& counter) {
    sweepbox::test::DovecotServer server({message});
    if (!server.Running()) {
        std::fprintf(stderr, "Dovecot not available: %s\n", server.SkipReason().c_str());
        std::exit(2);
    }
    RunRound(server, form, counter); // warm-up: index, page cache, fonts
    std::vector<double> retrieve, open, ratio, peak, added, back, trimmed;
    size_t lines = 0;
    for (int i = 0; i < rounds; ++i) {
        const Round r = RunRound(server, form, counter);
        retrieve.push_back(r.retrieveMs);
        open.push_back(r.openMs);
        ratio.push_back(r.openMs / r.retrieveMs);
        peak.push_back(static_cast<double>(r.peakKb - r.beforeFetchKb) * 1024.0 / message.size());
        added.push_back(static_cast<double>(r.peakKb - r.beforeOpenKb));
        back.push_back(static_cast<double>(r.afterCloseKb - r.beforeOpenKb));
        trimmed.push_back(static_cast<double>(r.afterTrimKb - r.beforeOpenKb));
        lines = r.lines;
        std::printf("  round %d: RetrieveMsg %7.1f ms, window %6.1f ms; resident KiB: before fetch %ld, before "
                    "opening %ld, peak %ld, after closing %ld (trimmed %ld)\n",
                    i + 1, r.retrieveMs, r.openMs, r.beforeFetchKb, r.beforeOpenKb, r.peakKb, r.afterCloseKb,
                    r.afterTrimKb);
    }
    std::printf("%s: %.1f MB, %zu text lines, medians of %d rounds:\n", name, message.size() / 1e6, lines, rounds);
    std::printf("  RetrieveMsg %.1f ms, window opened and painted %.1f ms: ratio %.3f (median of the rounds' "
                "ratios; target <= 1.5)\n",
                Median(retrieve), Median(open), Median(ratio));
    std::printf("  peak above the resident size before the fetch: %.2f x the message (target <= 3); the opening "
                "added %.0f KiB to the peak; after closing %+.0f KiB against before opening (%+.0f KiB once the "
                "allocator's free pages are trimmed)\n",
                Median(peak), Median(added), Median(back), Median(trimmed));
    return Median(open);
}

} // namespace

int main(int argc, char** argv) {
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qargc = 1;
    char arg0[] = "message_window_bench";
    char* qargv[] = {arg0, nullptr};
    QApplication app(qargc, qargv);
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    if (!ResetPeak())
        std::fprintf(stderr, "note: the peak cannot be reset here; VmHWM is the process's peak\n");

    sweepbox::TLanguage language;
    TForm3 form(language);
    PaintCounter counter;
    form.memo_email_anzeigen->viewport()->installEventFilter(&counter);
    try {
        // 240,000 lines of 83 bytes: 20 MB.
        Run("text", TextMessage(mb * 12000), rounds, form, counter);
        Run("1 MiB line", OneLineMessage(1 << 20), rounds, form, counter);
        const std::string html = HtmlMessage(1000000);
        const double textMs = Run("text of 1 MB", TextMessage(html.size() / 84), rounds, form, counter);
        const double htmlMs = Run("HTML-only 1 MB", html, rounds, form, counter);
        std::printf("HTML-only against text of the same size: window %.1f ms against %.1f ms: ratio %.2f "
                    "(target <= 1.5)\n",
                    htmlMs, textMs, htmlMs / textMs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
