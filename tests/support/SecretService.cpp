#include "support/SecretService.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sweepbox::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* DbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* DbusSend = "/usr/bin/dbus-send";
constexpr const char* KeyringDaemon = "/usr/bin/gnome-keyring-daemon";

bool Installed(const char* Program) { return ::access(Program, X_OK) == 0; }

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& p, const std::string& Text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << Text;
}

int MsLeft(Clock::time_point Deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for Pid to end until Deadline, then kills it; its wait status, or -1
// when it had to be killed.
int Reap(pid_t Pid, Clock::time_point Deadline) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(Pid, &status, WNOHANG);
        if (done == Pid)
            return status;
        if (done < 0 && errno != EINTR)
            return -1;
        if (Clock::now() >= Deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, nullptr, 0);
    return -1;
}

void Terminate(pid_t& Pid) {
    if (Pid <= 0)
        return;
    ::kill(Pid, SIGTERM);
    Reap(Pid, Clock::now() + std::chrono::seconds(10));
    Pid = -1;
}

// Starts Args[0] with In as its standard input, Out as its standard output
// and Err as its error output (-1: /dev/null). Everything the child needs is prepared before
// fork: after it only async-signal-safe calls are allowed.
pid_t Spawn(const std::vector<std::string>& Args, int In, int Out, int Err) {
    std::vector<char*> argv;
    for (const std::string& a : Args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A daemon must not outlive the test binary that started it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(In >= 0 ? In : devnull, 0);
        ::dup2(Out >= 0 ? Out : devnull, 1);
        ::dup2(Err >= 0 ? Err : devnull, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Reads from Fd until end of file, Deadline or Stop says the text is enough.
template <typename TStop>
void ReadUntil(int Fd, std::string& Text, Clock::time_point Deadline, TStop Stop) {
    char buf[4096];
    while (!Stop(Text)) {
        pollfd p{Fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, MsLeft(Deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        const ssize_t n = ::read(Fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        Text.append(buf, static_cast<size_t>(n));
    }
}

const char* const SessionVariables[] = {
    "HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS",
    // Which desktop this is decides QtKeychain's backend, and a display would
    // let the keyring put a dialog in front of the developer.
    "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION",
    "KDE_SESSION_VERSION", "GNOME_KEYRING_CONTROL", "DISPLAY", "WAYLAND_DISPLAY"};

} // namespace

SecretService::SecretService(TestDesktop Desktop) : FDesktop(Desktop) {
    for (const char* name : SessionVariables) {
        const char* value = std::getenv(name);
        FSavedEnv.push_back({name, {value != nullptr, value ? value : ""}});
    }
    Start();
}

SecretService::~SecretService() {
    Stop();
    for (const auto& [name, value] : FSavedEnv) {
        if (value.first)
            ::setenv(name.c_str(), value.second.c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

SecretService& SecretService::Shared() {
    static SecretService service;
    return service;
}

bool SecretService::MustRun() const {
    // CI runs as root with the packages installed.
    return ::geteuid() == 0 && Installed(DbusDaemon) && Installed(DbusSend) &&
           (FDesktop != TestDesktop::Keyring || Installed(KeyringDaemon));
}

void SecretService::Start() {
    for (const char* program : {DbusDaemon, DbusSend})
        if (!Installed(program)) {
            FSkipReason = std::string(program) + " is not installed (Debian packages dbus-daemon, dbus-bin); "
                                                 "scripts/deps.sh test installs them";
            return;
        }
    if (FDesktop == TestDesktop::Keyring && !Installed(KeyringDaemon)) {
        FSkipReason = "gnome-keyring is not installed; scripts/deps.sh test installs it";
        return;
    }
    char templ[] = "/tmp/sweepbox-keyring-XXXXXX";
    if (!::mkdtemp(templ)) {
        FSkipReason = "cannot create a scratch folder in /tmp";
        return;
    }
    FDir = templ;
    for (const char* name : SessionVariables)
        ::unsetenv(name);
    const std::pair<const char*, const char*> folders[] = {{"HOME", "home"},
                                                           {"XDG_DATA_HOME", "home/.local/share"},
                                                           {"XDG_CONFIG_HOME", "home/.config"},
                                                           {"XDG_CACHE_HOME", "home/.cache"},
                                                           {"XDG_RUNTIME_DIR", "run"}};
    for (const auto& [name, sub] : folders) {
        const std::string path = FDir + "/" + sub;
        std::error_code ec;
        fs::create_directories(path, ec);
        ::chmod(path.c_str(), 0700);
        ::setenv(name, path.c_str(), 1);
    }

    std::string error = StartBus();
    if (error.empty() && FDesktop == TestDesktop::Keyring)
        error = StartKeyring();
    if (!error.empty()) {
        FSkipReason = "the Secret Service could not run here (" +
                      std::string(::geteuid() == 0 ? "root" : "not root") + "): " + error;
        Stop();
    }
}

std::string SecretService::StartBus() {
    // No standard service folders: nothing on this bus starts unless a test
    // put it there.
    std::string services;
    if (FDesktop == TestDesktop::Stalled) {
        fs::create_directories(FDir + "/services");
        // Takes the call and never claims the name; the bus gives up after StallMs.
        WriteFile(FDir + "/services/org.freedesktop.secrets.service",
                  "[D-BUS Service]\nName=org.freedesktop.secrets\nExec=/bin/sleep 5\n");
        services = "  <servicedir>" + FDir + "/services</servicedir>\n"
                   "  <limit name=\"service_start_timeout\">" + std::to_string(StallMs) + "</limit>\n";
    }
    WriteFile(FDir + "/bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <listen>unix:path=" + FDir + "/run/bus</listen>\n"
              "  <auth>EXTERNAL</auth>\n" + services +
              "  <policy context=\"default\">\n"
              "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
              "    <allow eavesdrop=\"true\"/>\n"
              "    <allow own=\"*\"/>\n"
              "  </policy>\n"
              "</busconfig>\n");
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return "no pipe";
    // The daemon writes its address once it listens; what it says later goes
    // to the log, since the pipe is closed then.
    const std::string log = FDir + "/bus.log";
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FBusPid = Spawn({DbusDaemon, "--nofork", "--config-file=" + FDir + "/bus.conf", "--print-address=1"}, -1,
                    out[1], logFd);
    ::close(out[1]);
    if (logFd >= 0)
        ::close(logFd);
    std::string address;
    ReadUntil(out[0], address, Clock::now() + std::chrono::seconds(20),
              [](const std::string& Text) { return Text.find('\n') != std::string::npos; });
    ::close(out[0]);
    if (FBusPid <= 0 || address.rfind("unix:", 0) != 0 || address.find('\n') == std::string::npos) {
        Terminate(FBusPid);
        return "dbus-daemon gave no address: " + address + ReadFile(log);
    }
    address.erase(address.find('\n'));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    return {};
}

std::string SecretService::StartKeyring() {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return "no pipe";
    const std::string log = FDir + "/keyring.log";
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // --unlock reads the login password from standard input and makes the
    // login keyring with it, unlocked, as the default collection.
    FKeyringPid = Spawn({KeyringDaemon, "--foreground", "--unlock", "--components=secrets"}, in[0], logFd, logFd);
    ::close(in[0]);
    if (logFd >= 0)
        ::close(logFd);
    const std::string password = Password;
    const bool sent = ::write(in[1], password.data(), password.size()) == static_cast<ssize_t>(password.size());
    ::close(in[1]);
    if (FKeyringPid <= 0 || !sent) {
        Terminate(FKeyringPid);
        return "gnome-keyring-daemon did not start";
    }
    // Ready once it owns the Secret Service's name on the bus.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::string answer;
    while (Clock::now() < deadline) {
        answer.clear();
        Run({DbusSend, "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"},
            {}, answer, MsLeft(deadline));
        if (answer.find("boolean true") != std::string::npos)
            return {};
        int status = 0;
        if (::waitpid(FKeyringPid, &status, WNOHANG) == FKeyringPid) {
            FKeyringPid = -1;
            return "gnome-keyring-daemon ended: " + ReadFile(log);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Terminate(FKeyringPid);
    return "gnome-keyring-daemon did not take the Secret Service's name on the bus: " + answer + ReadFile(log);
}

bool SecretService::Lock() const {
    std::string answer;
    return Running() && FDesktop == TestDesktop::Keyring &&
           Run({DbusSend, "--session", "--print-reply", "--dest=org.freedesktop.secrets", "/org/freedesktop/secrets",
                "org.freedesktop.Secret.Service.Lock", "array:objpath:/org/freedesktop/secrets/collection/login"},
               {}, answer) == 0 &&
           answer.find("collection/login") != std::string::npos;
}

void SecretService::Stop() {
    Terminate(FKeyringPid);
    Terminate(FBusPid);
    if (!FDir.empty()) {
        std::error_code ec;
        fs::remove_all(FDir, ec);
        FDir.clear();
    }
}

int SecretService::Run(const std::vector<std::string>& Args, const std::string& Input, std::string& Output,
                       int LimitMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(LimitMs);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return -1;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return -1;
    }
    const pid_t pid = Spawn(Args, in[0], out[1], out[1]);
    ::close(in[0]);
    ::close(out[1]);
    // Small inputs only: they fit the pipe, so writing cannot block.
    if (pid > 0 && !Input.empty())
        (void)!::write(in[1], Input.data(), Input.size());
    ::close(in[1]);
    if (pid > 0)
        ReadUntil(out[0], Output, deadline, [](const std::string&) { return false; });
    ::close(out[0]);
    if (pid <= 0)
        return -1;
    const int status = Reap(pid, deadline);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace sweepbox::test
