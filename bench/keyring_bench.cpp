// How long a keyring call takes against gnome-keyring on a private session
// bus (the test fixture's): the first call of the process (libsecret opens
// its session with the Secret Service), then Store, Find (found and not
// found) and Remove, each its median and slowest over the rounds.
//
// Usage: keyring_bench [rounds=50]
#include "app/signin/Keyring.h"
#include "support/SecretService.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double TimeMs(const std::function<bool()>& Call, bool& Ok) {
    const auto t0 = Clock::now();
    Ok = Call() && Ok;
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void Report(const char* Name, std::vector<double> Ms) {
    std::sort(Ms.begin(), Ms.end());
    std::printf("%-16s median %7.2f ms   slowest %7.2f ms   (%zu calls)\n", Name, Ms[Ms.size() / 2], Ms.back(),
                Ms.size());
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    // The session before Qt: the keyring's libraries keep the first bus they see.
    sweepbox::test::SecretService service;
    if (!service.Running()) {
        std::fprintf(stderr, "no Secret Service: %s\n", service.SkipReason().c_str());
        return 2;
    }
    QCoreApplication app(argc, argv);
    using sweepbox::TKeyringStatus;
    sweepbox::TKeyring keyring;
    const QString key = QStringLiteral("pop.example.org:995 bench");
    bool ok = true;
    const double first = TimeMs([&] { return keyring.Find(key).Status == TKeyringStatus::NotFound; }, ok);
    std::vector<double> store, find, missing, remove;
    for (int i = 0; i < rounds; ++i) {
        const QString secret = QStringLiteral("secret-%1").arg(i);
        store.push_back(TimeMs([&] { return keyring.Store(key, secret).Ok(); }, ok));
        find.push_back(TimeMs([&] { return keyring.Find(key).Secret == secret; }, ok));
        remove.push_back(TimeMs([&] { return keyring.Remove(key).Ok(); }, ok));
        missing.push_back(TimeMs([&] { return keyring.Find(key).Status == TKeyringStatus::NotFound; }, ok));
    }
    std::printf("first call       %7.2f ms\n", first);
    Report("Store", store);
    Report("Find", find);
    Report("Find (not found)", missing);
    Report("Remove", remove);
    if (!ok)
        std::fprintf(stderr, "a call gave the wrong answer\n");
    return ok ? 0 : 1;
}
