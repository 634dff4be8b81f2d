#include "support/OAuth2TestServer.h"

#include "support/BoundedWaits.h"

#include <openssl/evp.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sweepbox::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kHeadLimit = 64 * 1024;
constexpr size_t kBodyLimit = 1024 * 1024;

int MsLeft(Clock::time_point Deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

std::string RandomHex(size_t Bytes) {
    static std::mutex mutex;
    static std::random_device device;
    std::lock_guard lock(mutex);
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < Bytes; ++i) {
        const unsigned v = device() & 0xff;
        out += digits[v >> 4];
        out += digits[v & 15];
    }
    return out;
}

std::string Base64Url(const unsigned char* Data, size_t Size) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    for (size_t i = 0; i < Size; i += 3) {
        const uint32_t n = (uint32_t(Data[i]) << 16) | (i + 1 < Size ? uint32_t(Data[i + 1]) << 8 : 0) |
                           (i + 2 < Size ? uint32_t(Data[i + 2]) : 0);
        out += table[(n >> 18) & 63];
        out += table[(n >> 12) & 63];
        if (i + 1 < Size)
            out += table[(n >> 6) & 63];
        if (i + 2 < Size)
            out += table[n & 63];
    }
    return out;
}

// RFC 7636 4.2: BASE64URL(SHA256(ASCII(code_verifier))).
std::string S256(const std::string& Verifier) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(Verifier.data(), Verifier.size(), digest, &size, EVP_sha256(), nullptr);
    return Base64Url(digest, size);
}

std::string UrlDecode(const std::string& Text) {
    std::string out;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '+') {
            out += ' ';
        } else if (Text[i] == '%' && i + 2 < Text.size() && std::isxdigit(static_cast<unsigned char>(Text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(Text[i + 2]))) {
            out += char(std::stoi(Text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += Text[i];
        }
    }
    return out;
}

std::map<std::string, std::string> ParseForm(const std::string& Text) {
    std::map<std::string, std::string> out;
    std::istringstream in(Text);
    for (std::string pair; std::getline(in, pair, '&');) {
        const size_t eq = pair.find('=');
        out[UrlDecode(pair.substr(0, eq))] = eq == std::string::npos ? std::string() : UrlDecode(pair.substr(eq + 1));
    }
    return out;
}

std::string JsonError(const std::string& Error, const std::string& Description) {
    return "{\"error\":\"" + Error + "\",\"error_description\":\"" + Description + "\"}";
}

bool SendAll(int Fd, const std::string& Bytes, Clock::time_point Deadline) {
    size_t sent = 0;
    while (sent < Bytes.size()) {
        pollfd p{Fd, POLLOUT, 0};
        if (::poll(&p, 1, MsLeft(Deadline)) <= 0)
            return false;
        const ssize_t n = ::send(Fd, Bytes.data() + sent, Bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

// Reads an HTTP message: the head, then as much body as Content-Length
// says (Until: the whole message, or until the peer closes).
bool ReadMessage(int Fd, Clock::time_point Deadline, std::string& Head, std::string& Body, bool UntilClose) {
    std::string data;
    size_t headEnd = std::string::npos;
    size_t want = std::string::npos;
    char buf[16384];
    for (;;) {
        if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
            Head = data.substr(0, headEnd);
            std::string lower = Head;
            for (char& c : lower)
                c = char(std::tolower(static_cast<unsigned char>(c)));
            const size_t at = lower.find("\r\ncontent-length:");
            if (at != std::string::npos)
                want = std::strtoul(lower.c_str() + at + 17, nullptr, 10);
            else if (!UntilClose)
                want = 0;
        }
        if (headEnd != std::string::npos) {
            Body = data.substr(headEnd + 4);
            if (want != std::string::npos && Body.size() >= want) {
                Body.resize(want);
                return true;
            }
        }
        if (data.size() > kHeadLimit + kBodyLimit || (headEnd == std::string::npos && data.size() > kHeadLimit))
            return false;
        pollfd p{Fd, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(Deadline)) <= 0)
            return false;
        const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
        if (n < 0)
            return false;
        if (n == 0)
            return headEnd != std::string::npos && want == std::string::npos;
        data.append(buf, size_t(n));
    }
}

std::string ReasonOf(int Status) {
    switch (Status) {
    case 200: return "OK";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    default: return "Status";
    }
}

} // namespace

std::string UrlEncode(const std::string& Text) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : Text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

OAuth2TestServer::OAuth2TestServer() {
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (FListenFd < 0 || ::pipe2(FWake, O_CLOEXEC) != 0 ||
        ::bind(FListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(FListenFd, 16) != 0 ||
        ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return;
    FPort = ntohs(addr.sin_port);
    FThread = std::thread(Run, this);
}

OAuth2TestServer::~OAuth2TestServer() {
    if (FWake[1] >= 0)
        (void)!::write(FWake[1], "x", 1);
    if (FThread.joinable())
        FThread.join();
    for (int fd : {FListenFd, FWake[0], FWake[1]})
        if (fd >= 0)
            ::close(fd);
}

void OAuth2TestServer::Run(OAuth2TestServer* Self) {
    for (;;) {
        pollfd p[2] = {{Self->FListenFd, POLLIN, 0}, {Self->FWake[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 || (p[1].revents & POLLIN))
            return;
        const int fd = ::accept4(Self->FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        Self->Serve(fd);
        ::close(fd);
    }
}

// One request a connection; clients that wait for more get the close.
void OAuth2TestServer::Serve(int Fd) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kClientWaitMs);
    std::string head, body;
    if (!ReadMessage(Fd, deadline, head, body, false))
        return;
    Request r;
    std::istringstream line(head.substr(0, head.find("\r\n")));
    std::string target;
    line >> r.Method >> target;
    const size_t q = target.find('?');
    r.Path = target.substr(0, q);
    if (q != std::string::npos)
        r.Query = ParseForm(target.substr(q + 1));
    if (r.Method == "POST")
        r.Form = ParseForm(body);
    const Answer a = Handle(r);
    std::string reply = "HTTP/1.1 " + std::to_string(a.Status) + " " + ReasonOf(a.Status) +
                        "\r\nContent-Type: " + a.ContentType + "\r\nContent-Length: " + std::to_string(a.Body.size()) +
                        "\r\nConnection: close\r\n";
    if (!a.Location.empty())
        reply += "Location: " + a.Location + "\r\n";
    SendAll(Fd, reply + "\r\n" + a.Body, deadline);
}

OAuth2TestServer::Answer OAuth2TestServer::Handle(const Request& R) {
    std::lock_guard lock(FMutex);
    if (R.Method == "GET" && R.Path == "/authorize")
        return Authorize(R);
    if (R.Method == "POST" && R.Path == "/token")
        return TokenGrant(R);
    if (R.Method == "GET" && R.Path == "/tokeninfo")
        return TokenInfo(R);
    return {404, "text/plain", "", "not found"};
}

OAuth2TestServer::Answer OAuth2TestServer::Authorize(const Request& R) {
    FLastAuthorize = R.Query;
    auto get = [&R](const char* Key) {
        const auto it = R.Query.find(Key);
        return it == R.Query.end() ? std::string() : it->second;
    };
    const std::string redirect = get("redirect_uri");
    std::string wrong;
    if (get("client_id") != ClientId)
        wrong = "unknown client_id";
    else if (redirect.rfind("http://127.0.0.1:", 0) != 0)
        wrong = "redirect_uri is not on 127.0.0.1";
    else if (get("response_type") != "code")
        wrong = "response_type is not code";
    else if (get("code_challenge_method") != "S256" || get("code_challenge").size() != 43)
        wrong = "no S256 code challenge";
    else if (get("state").empty())
        wrong = "no state";
    // What an authorization server shows the user instead of redirecting.
    if (!wrong.empty())
        return {400, "text/plain", "", wrong};
    ++FCounts.Authorize;
    const std::string state = FForeignState ? "not-" + get("state") : get("state");
    const char* join = redirect.find('?') == std::string::npos ? "?" : "&";
    if (FDeny)
        return {302, "text/plain",
                redirect + join + "error=access_denied&error_description=" + UrlEncode("The user said no") +
                    "&state=" + UrlEncode(state),
                ""};
    const std::string code = RandomHex(16);
    FCodes[code] = {get("code_challenge"), redirect};
    return {302, "text/plain", redirect + join + "code=" + code + "&state=" + UrlEncode(state), ""};
}

std::string OAuth2TestServer::NewAccessTokenLocked() {
    const std::string token = "at-" + RandomHex(24);
    FAccessTokens[token] = {Clock::now() + std::chrono::seconds(FExpiresIn)};
    return token;
}

OAuth2TestServer::Answer OAuth2TestServer::TokenGrant(const Request& R) {
    auto get = [&R](const char* Key) {
        const auto it = R.Form.find(Key);
        return it == R.Form.end() ? std::string() : it->second;
    };
    const std::string padding = FPadding ? ",\"padding\":\"" + std::string(FPadding, 'p') + "\"" : std::string();
    const std::string grant = get("grant_type");
    if (get("client_id") != ClientId)
        return {401, "application/json", "", JsonError("invalid_client", "Unknown client")};
    if (grant == "authorization_code") {
        const auto it = FCodes.find(get("code"));
        if (it == FCodes.end()) {
            ++FCounts.RefusedCodes;
            return {400, "application/json", "", JsonError("invalid_grant", "Unknown or used code")};
        }
        const Code code = it->second;
        FCodes.erase(it); // good once, whatever happens now
        const std::string verifier = get("code_verifier");
        if (verifier.size() < 43 || verifier.size() > 128 || S256(verifier) != code.Challenge ||
            get("redirect_uri") != code.RedirectUri) {
            ++FCounts.RefusedCodes;
            return {400, "application/json", "", JsonError("invalid_grant", "PKCE verification failed")};
        }
        ++FCounts.CodeGrants;
        const std::string refresh = "rt-" + RandomHex(24) + "+/=";
        FRefreshTokens.push_back(refresh);
        return {200, "application/json", "",
                "{\"access_token\":\"" + NewAccessTokenLocked() + "\",\"token_type\":\"Bearer\",\"expires_in\":" +
                    std::to_string(FExpiresIn) + ",\"refresh_token\":\"" + refresh + "\"" + padding + "}"};
    }
    if (grant == "refresh_token") {
        const std::string refresh = get("refresh_token");
        bool known = false;
        for (const std::string& t : FRefreshTokens)
            known = known || t == refresh;
        if (FRefuseRefresh || !known) {
            ++FCounts.RefusedRefresh;
            return {400, "application/json", "", JsonError("invalid_grant", "Token has been expired or revoked.")};
        }
        ++FCounts.RefreshGrants;
        // No new refresh token: the client keeps its own.
        return {200, "application/json", "",
                "{\"access_token\":\"" + NewAccessTokenLocked() + "\",\"token_type\":\"Bearer\",\"expires_in\":" +
                    std::to_string(FExpiresIn) + padding + "}"};
    }
    return {400, "application/json", "", JsonError("unsupported_grant_type", "")};
}

OAuth2TestServer::Answer OAuth2TestServer::TokenInfo(const Request& R) {
    ++FCounts.TokenInfo;
    const auto q = R.Query.find("access_token");
    const auto it = q == R.Query.end() ? FAccessTokens.end() : FAccessTokens.find(q->second);
    if (it == FAccessTokens.end() || it->second.Expires <= Clock::now())
        return {401, "application/json", "", JsonError("invalid_token", "Invalid Value")};
    ++FCounts.ActiveTokenInfo;
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(it->second.Expires - Clock::now()).count();
    return {200, "application/json", "",
            "{\"username\":\"" + std::string(User) + "\",\"active\":true,\"expires_in\":" +
                std::to_string(left) + "}"};
}

void OAuth2TestServer::SetDenyAuthorization(bool On) {
    std::lock_guard lock(FMutex);
    FDeny = On;
}

void OAuth2TestServer::SetForeignState(bool On) {
    std::lock_guard lock(FMutex);
    FForeignState = On;
}

void OAuth2TestServer::SetRefuseRefresh(bool On) {
    std::lock_guard lock(FMutex);
    FRefuseRefresh = On;
}

void OAuth2TestServer::SetExpiresIn(int Seconds) {
    std::lock_guard lock(FMutex);
    FExpiresIn = Seconds;
}

void OAuth2TestServer::SetTokenPadding(size_t Bytes) {
    std::lock_guard lock(FMutex);
    FPadding = Bytes;
}

void OAuth2TestServer::ExpireAccessTokens() {
    std::lock_guard lock(FMutex);
    for (auto& [token, info] : FAccessTokens)
        info.Expires = Clock::now();
}

std::string OAuth2TestServer::IssueAccessToken() {
    std::lock_guard lock(FMutex);
    return NewAccessTokenLocked();
}

OAuth2TestServer::Counts OAuth2TestServer::Counters() const {
    std::lock_guard lock(FMutex);
    return FCounts;
}

std::map<std::string, std::string> OAuth2TestServer::LastAuthorizeQuery() const {
    std::lock_guard lock(FMutex);
    return FLastAuthorize;
}

HttpAnswer HttpGet(const std::string& Url) {
    HttpAnswer answer;
    const std::string prefix = "http://127.0.0.1:";
    if (Url.rfind(prefix, 0) != 0) {
        answer.Error = "not a loopback http address: " + Url;
        return answer;
    }
    const size_t slash = Url.find('/', prefix.size());
    const int port = std::atoi(Url.substr(prefix.size(), slash - prefix.size()).c_str());
    const std::string target = slash == std::string::npos ? "/" : Url.substr(slash);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        answer.Error = "cannot connect to port " + std::to_string(port) + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return answer;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kClientWaitMs);
    std::string head;
    if (!SendAll(fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                         "\r\nUser-Agent: test-browser\r\nConnection: close\r\n\r\n",
                 deadline) ||
        !ReadMessage(fd, deadline, head, answer.Body, true)) {
        answer.Error = "no answer from port " + std::to_string(port);
        ::close(fd);
        return answer;
    }
    ::close(fd);
    std::istringstream status(head);
    std::string version;
    status >> version >> answer.Status;
    std::string lower = head;
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = lower.find("\r\nlocation:");
    if (at != std::string::npos) {
        const size_t from = head.find_first_not_of(' ', at + 11);
        answer.Location = head.substr(from, head.find("\r\n", from) - from);
    }
    return answer;
}

BrowserStandIn::~BrowserStandIn() {
    if (FThread.joinable())
        FThread.join();
}

void BrowserStandIn::Open(const std::string& Url) {
    if (FThread.joinable())
        FThread.join();
    FOpened = Url;
    FPages.clear();
    FThread = std::thread([this, Url] {
        HttpAnswer first = HttpGet(Url);
        const std::string location = first.Status == 302 ? first.Location : std::string();
        FPages.push_back(first);
        if (location.empty())
            return;
        if (BeforeRedirect)
            BeforeRedirect(location);
        FPages.push_back(HttpGet(location));
    });
}

std::vector<HttpAnswer> BrowserStandIn::Pages() {
    if (FThread.joinable())
        FThread.join();
    return FPages;
}

} // namespace sweepbox::test
