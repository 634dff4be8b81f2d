#include "support/DovecotServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sweepbox::test {

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string FindDovecot() {
    for (const char* candidate : {"/usr/sbin/dovecot", "/usr/local/sbin/dovecot"})
        if (::access(candidate, X_OK) == 0)
            return candidate;
    return {};
}

// Free right now; another process may take it first, and Start then retries.
uint16_t ProbeFreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// Read from the kernel's table, so no probe connection disturbs the server.
bool Listening(uint16_t port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char want[32];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string sl, local, remote, state;
        fields >> sl >> local >> remote >> state;
        if (local == want && state == "0A")
            return true;
    }
    return false;
}

int RunScript(const std::vector<std::string>& args, std::string& output) {
    std::string cmd;
    for (const auto& a : args) {
        cmd += "'";
        for (char c : a)
            cmd += c == '\'' ? std::string("'\\''") : std::string(1, c);
        cmd += "' ";
    }
    FILE* p = ::popen((cmd + "2>&1").c_str(), "r");
    if (!p)
        return -1;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        output.append(buf, n);
    int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

DovecotServer::DovecotServer(const std::vector<std::string>& Messages, DovecotOptions Options)
    : FOptions(Options) {
    Start(Messages);
}

DovecotServer::~DovecotServer() { Stop(); }

DovecotServer& DovecotServer::Shared() {
    static DovecotServer server;
    return server;
}

DovecotServer& DovecotServer::SharedTls() {
    static DovecotServer server({}, {.Tls = true});
    return server;
}

bool DovecotServer::MustRun() const {
    // CI runs as root with the packages installed, the openssl command included.
    return ::geteuid() == 0 && !FindDovecot().empty() && (!FOptions.Tls || ::access("/usr/bin/openssl", X_OK) == 0);
}

void DovecotServer::Start(const std::vector<std::string>& Messages) {
    if (FindDovecot().empty()) {
        FSkipReason = "Dovecot is not installed (Debian packages dovecot-core and dovecot-pop3d); "
                      "scripts/deps.sh test installs them";
        return;
    }
    const TestPki& pki = TestPki::Shared();
    if (FOptions.Tls && !pki.Ok()) {
        FSkipReason = pki.Error();
        return;
    }
    char templ[] = "/tmp/sweepbox-dovecot-XXXXXX";
    if (!::mkdtemp(templ)) {
        FSkipReason = "cannot create a scratch folder in /tmp";
        return;
    }
    FDir = templ;
    const std::string script = std::string(SWEEPBOX_SOURCE_DIR) + "/scripts/dovecot-test-server.sh";

    std::string lastError;
    for (int attempt = 0; attempt < 5 && FPid <= 0; ++attempt) {
        const uint16_t port = ProbeFreePort();
        const uint16_t tlsPort = FOptions.Tls ? ProbeFreePort() : 0;
        if (port == 0 || (FOptions.Tls && (tlsPort == 0 || tlsPort == port))) {
            lastError = "no free loopback port";
            continue;
        }
        std::vector<std::string> args = {"env", "SWEEPBOX_AUTH_MECHANISMS=" + FOptions.Mechanisms,
                                         "SWEEPBOX_PASSWORD_SCHEME=" + FOptions.PasswordScheme};
        if (FOptions.Tls)
            args.insert(args.end(), {"SWEEPBOX_TLS_PORT=" + std::to_string(tlsPort),
                                     "SWEEPBOX_TLS_CERT=" + pki.CertFile(FOptions.Cert),
                                     "SWEEPBOX_TLS_KEY=" + pki.KeyFile(FOptions.Cert)});
        if (!FOptions.OAuth2TokenInfoUrl.empty())
            args.push_back("SWEEPBOX_OAUTH2_TOKENINFO_URL=" + FOptions.OAuth2TokenInfoUrl);
        args.insert(args.end(), {script, "prepare", FDir, std::to_string(port)});
        std::string out;
        if (RunScript(args, out) != 0) {
            lastError = "scripts/dovecot-test-server.sh prepare failed: " + out;
            break;
        }
        SetMessages(Messages);
        FPort = port;
        FTlsPort = tlsPort;
        lastError = Launch();
        // Only a port taken meanwhile is worth another try.
        if (!lastError.empty() && lastError.find("Address already in use") == std::string::npos)
            break;
    }
    if (FPid <= 0) {
        FPort = FTlsPort = 0;
        FSkipReason = "Dovecot could not run here (" + std::string(::geteuid() == 0 ? "root" : "not root") +
                      "): " + lastError;
        std::error_code ec;
        fs::remove_all(FDir, ec);
        FDir.clear();
    }
}

std::string DovecotServer::Launch() {
    const std::string dovecot = FindDovecot();
    std::error_code ec;
    fs::remove(FDir + "/log/dovecot.log", ec);
    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    const std::string conf = FDir + "/dovecot.conf";
    const std::string errLog = FDir + "/log/stderr.log";
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // If the test binary dies, the server must not outlive it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        int fd = ::open(errLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            ::dup2(devnull, 0);
        ::execl(dovecot.c_str(), "dovecot", "-F", "-c", conf.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid < 0)
        return "fork failed";
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    bool exited = false;
    while (Clock::now() < deadline) {
        if (Listening(FPort) && (FTlsPort == 0 || Listening(FTlsPort))) {
            FPid = pid;
            return std::string();
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return "dovecot did not start on port " + std::to_string(FPort) + ": " + Log() + ReadFile(errLog);
}

void DovecotServer::Halt() {
    if (FPid <= 0)
        return;
    ::kill(FPid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    bool gone = false;
    while (!(gone = ::waitpid(FPid, nullptr, WNOHANG) == FPid) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!gone) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
    FPid = -1;
}

void DovecotServer::Stop() {
    Halt();
    if (!FDir.empty()) {
        std::error_code ec;
        fs::remove_all(FDir, ec);
        FDir.clear();
    }
}

bool DovecotServer::Restart(TestCert Cert) {
    if (!Running() || !FOptions.Tls) {
        FSkipReason = "only a running TLS server restarts with another certificate";
        return false;
    }
    Halt();
    // The master's helpers may hold the listening sockets a moment longer.
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while ((Listening(FPort) || Listening(FTlsPort)) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const TestPki& pki = TestPki::Shared();
    for (const auto& [from, to] : {std::pair{pki.CertFile(Cert), "/tls/cert.pem"},
                                   std::pair{pki.KeyFile(Cert), "/tls/key.pem"}}) {
        std::error_code ec;
        if (!fs::copy_file(from, FDir + to, fs::copy_options::overwrite_existing, ec)) {
            FSkipReason = "cannot put the certificate in place: " + ec.message();
            return false;
        }
    }
    FOptions.Cert = Cert;
    const std::string error = Launch();
    if (!error.empty())
        FSkipReason = "Dovecot did not start again: " + error;
    return error.empty();
}

namespace {

// Mail sessions the log shows begun and not yet ended.
long OpenSessions(const std::string& Log) {
    long open = 0;
    std::istringstream lines(Log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Login: user=") != std::string::npos)
            ++open;
        else if (line.find("pop3(") != std::string::npos && line.find("Disconnected") != std::string::npos)
            --open;
    }
    return open;
}

} // namespace

void DovecotServer::SetMessages(const std::vector<std::string>& Messages) {
    if (FDir.empty())
        return;
    // A session the client has just left may still be ending on the
    // server's side, writing its index back; the mailbox is replaced only
    // once every mail session has logged its end.
    // A loaded machine (CI builds beside the tests) can keep a session's
    // end waiting for seconds.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (;;) {
        if (OpenSessions(Log()) <= 0 || Clock::now() > deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const fs::path maildir = fs::path(FDir) / "mail/test/Maildir";
    std::error_code ec;
    // Index and uid list go too, so the server rebuilds from the files alone.
    // A server process still writing its index there can make the removal
    // fail halfway, which would leave old messages beside the new ones: it
    // is tried again until the folder is gone.
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::remove_all(maildir, ec);
        if (!fs::exists(maildir, ec))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (const char* sub : {"cur", "new", "tmp"})
        fs::create_directories(maildir / sub);
    // Zero-padded, ever-growing names: the server numbers messages in name
    // order, and a reset mailbox never reuses a UIDL.
    for (const std::string& m : Messages) {
        char name[64];
        ++FSerial;
        std::snprintf(name, sizeof name, "%010d.M%dP1.sweepbox:2,", FSerial, FSerial);
        std::ofstream out(maildir / "cur" / name, std::ios::binary);
        out.write(m.data(), static_cast<std::streamsize>(m.size()));
    }
    if (::geteuid() == 0) {
        // Dovecot serves mail as nobody, never as root.
        for (const auto& e : fs::recursive_directory_iterator(fs::path(FDir) / "mail"))
            ::lchown(e.path().c_str(), 65534, 65534);
        ::lchown((fs::path(FDir) / "mail").c_str(), 65534, 65534);
    }
}

void DovecotServer::AddMessage(const std::string& Message) {
    const fs::path maildir = fs::path(FDir) / "mail/test/Maildir";
    char name[64];
    ++FSerial;
    std::snprintf(name, sizeof name, "%010d.M%dP1.sweepbox", FSerial, FSerial);
    // Written aside, then moved in whole, as a delivery agent does.
    const fs::path tmp = maildir / "tmp" / name;
    {
        std::ofstream out(tmp, std::ios::binary);
        out.write(Message.data(), static_cast<std::streamsize>(Message.size()));
    }
    if (::geteuid() == 0)
        ::lchown(tmp.c_str(), 65534, 65534);
    std::error_code ec;
    fs::rename(tmp, maildir / "new" / name, ec);
}

std::vector<std::string> DovecotServer::Messages() const {
    std::vector<std::pair<std::string, fs::path>> files;
    const fs::path maildir = fs::path(FDir) / "mail/test/Maildir";
    std::error_code ec;
    for (const char* sub : {"cur", "new"}) {
        for (const auto& e : fs::directory_iterator(maildir / sub, ec)) {
            std::string name = e.path().filename().string();
            files.emplace_back(name.substr(0, name.find(':')), e.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> out;
    for (const auto& f : files)
        out.push_back(ReadFile(f.second));
    return out;
}

std::string DovecotServer::Log() const {
    if (FDir.empty())
        return {};
    return ReadFile(fs::path(FDir) / "log/dovecot.log");
}

} // namespace sweepbox::test
