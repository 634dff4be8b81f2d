// Start-up of whole programs on an X display: the time from starting a
// program until its first top-level window is mapped, for each program given,
// in alternating rounds. The first program is the reference, and so is each
// one named with --reference; for each round every other program's time is
// divided by each reference's time of that round, and the medians of those
// ratios are reported beside the median times.
//
//   startup_bench [--rounds N] [--warmup N] [--reference NAME] NAME=PROGRAM ...
//
// DISPLAY names the display (bench/startup_bench.sh starts a private Xvfb).
// The programs run with XDG_CONFIG_HOME and XDG_RUNTIME_DIR pointing at an
// empty scratch folder, so no settings of the user's are read or written;
// each is stopped with SIGTERM once its window is mapped.
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Program {
    std::string Name;
    std::string Path;
    std::vector<double> Ms;
};

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

class Display {
  public:
    Display() {
        Connection_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(Connection_)) {
            std::fprintf(stderr, "cannot open the display %s\n", std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
            std::exit(2);
        }
        Root_ = xcb_setup_roots_iterator(xcb_get_setup(Connection_)).data->root;
        // Map and create notices of every top-level window.
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_void_cookie_t cookie = xcb_change_window_attributes_checked(Connection_, Root_, XCB_CW_EVENT_MASK, &mask);
        if (xcb_generic_error_t* error = xcb_request_check(Connection_, cookie)) {
            std::free(error);
            std::fprintf(stderr, "cannot watch the root window\n");
            std::exit(2);
        }
    }
    ~Display() { xcb_disconnect(Connection_); }

    // Drops the notices queued so far (of earlier programs' windows).
    void Drain() {
        xcb_flush(Connection_);
        while (xcb_generic_event_t* event = xcb_poll_for_event(Connection_))
            std::free(event);
    }

    // Waits until a top-level window that is no override-redirect popup is
    // mapped; false after TimeoutMs or when the display is gone.
    bool WaitForMap(int TimeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
        for (;;) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(Connection_)) {
                const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
                                    !reinterpret_cast<xcb_map_notify_event_t*>(event)->override_redirect;
                std::free(event);
                if (mapped)
                    return true;
            }
            if (xcb_connection_has_error(Connection_))
                return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd fd{xcb_get_file_descriptor(Connection_), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left));
        }
    }

  private:
    xcb_connection_t* Connection_ = nullptr;
    xcb_window_t Root_ = 0;
};

// Starts Path, times it until its window is mapped, stops it. -1 on failure.
double TimeOnce(Display& display, const std::string& Path) {
    display.Drain();
    const auto t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // Quiet: what the programs print is no part of the measure.
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::execl(Path.c_str(), Path.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    const bool mapped = display.WaitForMap(20000);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return mapped ? ms : -1;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 20;
    int warmup = 2;
    std::vector<Program> programs;
    std::vector<std::string> referenceNames;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--warmup" && i + 1 < argc)
            warmup = std::max(0, std::atoi(argv[++i]));
        else if (arg == "--reference" && i + 1 < argc)
            referenceNames.push_back(argv[++i]);
        else if (const auto eq = arg.find('='); eq != std::string::npos && eq > 0)
            programs.push_back({arg.substr(0, eq), arg.substr(eq + 1), {}});
        else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--warmup N] [--reference NAME] NAME=PROGRAM ...\n",
                         argv[0]);
            return 2;
        }
    }
    if (programs.empty()) {
        std::fprintf(stderr, "usage: %s [--rounds N] [--warmup N] [--reference NAME] NAME=PROGRAM ...\n", argv[0]);
        return 2;
    }
    std::vector<bool> isReference(programs.size(), false);
    isReference[0] = true;
    for (const std::string& name : referenceNames) {
        const auto it = std::find_if(programs.begin(), programs.end(), [&](const Program& p) { return p.Name == name; });
        if (it == programs.end()) {
            std::fprintf(stderr, "--reference %s names no program\n", name.c_str());
            return 2;
        }
        isReference[it - programs.begin()] = true;
    }

    char scratch[] = "/tmp/startup-bench-XXXXXX";
    if (!::mkdtemp(scratch)) {
        std::perror("mkdtemp");
        return 2;
    }
    ::setenv("XDG_CONFIG_HOME", scratch, 1);
    ::setenv("XDG_RUNTIME_DIR", scratch, 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);

    Display display;
    for (int w = 0; w < warmup; ++w)
        for (const Program& p : programs)
            if (TimeOnce(display, p.Path) < 0) {
                std::fprintf(stderr, "%s: no window was mapped\n", p.Path.c_str());
                return 1;
            }

    const std::size_t n = programs.size();
    for (int r = 0; r < rounds; ++r) {
        // Each round starts with another program, so none always runs first.
        for (std::size_t k = 0; k < n; ++k) {
            Program& p = programs[(r + k) % n];
            const double ms = TimeOnce(display, p.Path);
            if (ms < 0) {
                std::fprintf(stderr, "%s: no window was mapped\n", p.Path.c_str());
                return 1;
            }
            p.Ms.push_back(ms);
        }
    }

    std::printf("start-up to the first mapped window, %d rounds (median)\n", rounds);
    for (std::size_t k = 0; k < n; ++k) {
        std::printf("  %-12s %8.1f ms", programs[k].Name.c_str(), Median(programs[k].Ms));
        for (std::size_t ref = 0; ref < n; ++ref) {
            if (ref == k || !isReference[ref])
                continue;
            std::vector<double> ratios;
            for (int r = 0; r < rounds; ++r)
                ratios.push_back(programs[k].Ms[r] / programs[ref].Ms[r]);
            std::printf("   %.2fx %s (min %.2fx, max %.2fx)", Median(ratios), programs[ref].Name.c_str(),
                        *std::min_element(ratios.begin(), ratios.end()),
                        *std::max_element(ratios.begin(), ratios.end()));
        }
        std::printf("\n");
    }
    std::printf("  (ratios: medians of the rounds' ratios)\n");
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return 0;
}
