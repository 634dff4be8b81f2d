// What does the header cache save a reconnect? The real window (offscreen)
// lists a local Dovecot mailbox through a 15 ms each-way delay line, from
// its Connect button to the last row shown: once as a first listing (a
// cache folder that cannot be created, so every message is asked for with
// TOP, as without a cache; UIDL and LIST of the whole mailbox are still
// asked), once as a reconnect to the unchanged mailbox with the cache the
// previous listing wrote. Also what writing the cache costs the window: a
// first listing into an empty cache folder (the file is written after its
// last row) beside one that cannot write. Rounds rotate which goes first;
// the figures are the medians of the rounds' ratios. Also: the cache file's
// size a message.
//
// Usage: header_cache_bench [messages=5000] [rounds=7] [delay_ms=15] [profile]
// profile is "first", "again" or "writing": under
//   valgrind --tool=callgrind --collect-atstart=no
// only the clicks of that kind are counted (rounds=1 counts one of them).
#include "app/windows/Application.h"
#include "app/core/HeaderCache.h"
#include "app/windows/Main.h"
#include "ui/MultiLst.h"
#include "support/DovecotServer.h"
#include "BenchUtil.h"
#include "DelayLine.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace bench;

// One connect through the window with its cache in CacheHome; the time to
// the last row shown (the listing, and for a first listing writing the
// cache, end inside the click).
double Connect(TForm1& form, uint16_t Port, int Expected, const QString& CacheHome, int* NewRows = nullptr,
               bool Profiled = false) {
    form.Session.CacheFolder = CacheHome + QStringLiteral("/Larkmoor/Sweepbox");
    form.servername->setEditText(QStringLiteral("127.0.0.1:") + QString::number(Port));
    form.Username->setEditText(QStringLiteral("test"));
    form.Password->setText(QStringLiteral("secret"));
    // What the last connect left to write is not this one's cost.
    form.Session.FinishCacheSave();
    if (Profiled)
        CALLGRIND_TOGGLE_COLLECT;
    const auto t0 = Clock::now();
    form.BtnConnect->click();
    const double ms = MsSince(t0);
    if (Profiled)
        CALLGRIND_TOGGLE_COLLECT;
    if (form.mail_list->count() != Expected + 1 || !form.pop3.Connected()) {
        std::fprintf(stderr, "listing failed: %d rows, status %s\n", form.mail_list->count() - 1,
                     form.Status->Text().toStdString().c_str());
        std::exit(1);
    }
    if (NewRows)
        *NewRows = form.Session.NewCount();
    form.BtnDisconnect->click();
    return ms;
}

} // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    const int delayMs = argc > 3 ? std::atoi(argv[3]) : 15;
    const std::string profile = argc > 4 ? argv[4] : "";
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qargc = 1;
    char arg0[] = "header_cache_bench";
    char* qargv[] = {arg0, nullptr};
    QApplication app(qargc, qargv);
    QTemporaryDir scratch;
    // Nothing of this run goes into the user's own cache.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(scratch.path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, scratch.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, scratch.path());
    // A regular file where the first listing's cache folder would go: the
    // folder cannot be made, so nothing is read or written.
    const QString noCache = scratch.filePath(QStringLiteral("blocked"));
    {
        QFile f(noCache);
        f.open(QIODevice::WriteOnly);
    }
    const QString warm = scratch.filePath(QStringLiteral("warm"));

    sweepbox::test::DovecotServer dovecot(Mailbox(messages));
    if (!dovecot.Running()) {
        std::fprintf(stderr, "Dovecot not available: %s\n", dovecot.SkipReason().c_str());
        return 2;
    }
    DelayLine line(dovecot.Port(), std::chrono::milliseconds(delayMs));
    sweepbox::CreateApplicationWindows();
    Form1->show();
    QApplication::processEvents();

    // The warm cache.
    Connect(*Form1, line.Port(), messages, warm);
    const QString fresh = scratch.filePath(QStringLiteral("fresh"));
    const QString file =
        sweepbox::THeaderCache(warm + QStringLiteral("/Larkmoor/Sweepbox"), QStringLiteral("127.0.0.1"), line.Port(),
                               QStringLiteral("test"))
            .FilePath();
    Form1->Session.FinishCacheSave();
    const qint64 fileBytes = QFileInfo(file).size();

    std::vector<double> first, again, writing, ratios, writeRatios;
    int newRows = -1;
    for (int r = 0; r < rounds; ++r) {
        double f = 0, a = 0, w = 0;
        for (int k = 0; k < 3; ++k) {
            switch ((k + r) % 3) {
            case 0:
                f = Connect(*Form1, line.Port(), messages, noCache, nullptr, profile == "first");
                break;
            case 1:
                a = Connect(*Form1, line.Port(), messages, warm, &newRows, profile == "again");
                break;
            default:
                Form1->Session.FinishCacheSave();
                QDir(fresh).removeRecursively();
                w = Connect(*Form1, line.Port(), messages, fresh, nullptr, profile == "writing");
                break;
            }
        }
        first.push_back(f);
        again.push_back(a);
        writing.push_back(w);
        ratios.push_back(a / f);
        writeRatios.push_back(w / f);
        std::printf("round %d: first listing %.1f ms, reconnect %.1f ms (%.3f), first listing writing the cache "
                    "%.1f ms (%.3f)\n",
                    r + 1, f, a, a / f, w, w / f);
        std::fflush(stdout);
    }
    std::printf("%d messages through a %d ms delay line, median of %d rounds: first listing %.1f ms, reconnect "
                "with the cache %.1f ms; median of the rounds' ratios %.3f (target <= 0.30 at 50000), new rows "
                "at the reconnect %d\n",
                messages, delayMs, rounds, Median(first), Median(again), Median(ratios), newRows);
    std::printf("first listing writing the cache %.1f ms, median of the rounds' ratios to one without %.3f; "
                "cache file %lld bytes, %.0f bytes a message\n",
                Median(writing), Median(writeRatios), static_cast<long long>(fileBytes),
                static_cast<double>(fileBytes) / messages);
    sweepbox::DestroyApplicationWindows();
    return 0;
}
