// The tests' own OAuth2 authorization server on 127.0.0.1, served by a
// thread of its own, so it answers while the test's thread runs a nested
// event loop and while Dovecot asks it from another process:
//   /authorize  the authorization endpoint (code flow, PKCE S256 required);
//               it redirects at once, as after the user's consent
//   /token      the code grant (the verifier checked against the challenge,
//               a code good once) and the refresh grant
//   /tokeninfo  for Dovecot's oauth2 passdb: ?access_token=T gives the
//               user's name and whether the token is active; an unknown or
//               expired token gets 401
// And a browser stand-in: fetches the authorization address and follows
// its redirect back to the loopback listener, as a browser does.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sweepbox::test {

class OAuth2TestServer {
  public:
    static constexpr const char* ClientId = "sweepbox-test-client";
    static constexpr const char* User = "test"; // the name /tokeninfo gives

    OAuth2TestServer();
    ~OAuth2TestServer();
    OAuth2TestServer(const OAuth2TestServer&) = delete;
    OAuth2TestServer& operator=(const OAuth2TestServer&) = delete;

    bool Running() const { return FPort != 0; }
    uint16_t Port() const { return FPort; }
    std::string AuthorizeUrl() const { return Base() + "/authorize"; }
    std::string TokenUrl() const { return Base() + "/token"; }
    // Ends in "access_token=": the token is appended.
    std::string TokenInfoUrl() const { return Base() + "/tokeninfo?access_token="; }

    // What the server does, changeable at any time.
    void SetDenyAuthorization(bool On); // redirect with error=access_denied
    void SetForeignState(bool On);      // redirect with a state of its own
    void SetRefuseRefresh(bool On);     // refresh grants get invalid_grant
    void SetExpiresIn(int Seconds);     // for the access tokens handed out next
    void SetTokenPadding(size_t Bytes); // /token answers grow by this much
    // Every access token handed out so far is expired from now on.
    void ExpireAccessTokens();
    // An access token for User, as though a sign-in had just happened.
    std::string IssueAccessToken();

    struct Counts {
        int Authorize = 0;       // requests of /authorize that redirected
        int CodeGrants = 0;      // codes exchanged for tokens
        int RefusedCodes = 0;    // code grants refused (PKCE, reuse, mismatch)
        int RefreshGrants = 0;   // refresh grants answered with a token
        int RefusedRefresh = 0;  // refresh grants refused
        int TokenInfo = 0;       // /tokeninfo requests
        int ActiveTokenInfo = 0; // of which the token was good
    };
    Counts Counters() const;
    // The decoded query of the last /authorize request.
    std::map<std::string, std::string> LastAuthorizeQuery() const;

  private:
    struct Request {
        std::string Method, Path;
        std::map<std::string, std::string> Query, Form;
    };
    struct Answer {
        int Status = 200;
        std::string ContentType = "application/json";
        std::string Location;
        std::string Body;
    };
    struct Code {
        std::string Challenge, RedirectUri;
    };
    struct Token {
        std::chrono::steady_clock::time_point Expires;
    };
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(FPort); }
    static void Run(OAuth2TestServer* Self);
    void Serve(int Fd);
    Answer Handle(const Request& R);
    Answer Authorize(const Request& R);
    Answer TokenGrant(const Request& R);
    Answer TokenInfo(const Request& R);
    std::string NewAccessTokenLocked();

    mutable std::mutex FMutex;
    bool FDeny = false, FForeignState = false, FRefuseRefresh = false;
    int FExpiresIn = 3600;
    size_t FPadding = 0;
    Counts FCounts;
    std::map<std::string, std::string> FLastAuthorize;
    std::map<std::string, Code> FCodes;
    std::map<std::string, Token> FAccessTokens;
    std::vector<std::string> FRefreshTokens;
    int FListenFd = -1;
    int FWake[2] = {-1, -1};
    uint16_t FPort = 0;
    std::thread FThread;
};

struct HttpAnswer {
    int Status = 0; // 0: no answer; Error says why
    std::string Location;
    std::string Body;
    std::string Error;
};

// A plain GET of http://127.0.0.1:PORT/... (nothing else), bounded in time.
HttpAnswer HttpGet(const std::string& Url);

class BrowserStandIn {
  public:
    ~BrowserStandIn();
    // Fetches Url in a thread of its own and follows a 302 redirect to the
    // address it names, as a browser does once the user consents. Before
    // the redirect, BeforeRedirect (when set) gets its address.
    void Open(const std::string& Url);
    std::function<void(const std::string& Location)> BeforeRedirect;
    // Waits for the last Open to end (each of its steps is bounded): the
    // answers in order, the authorization endpoint's first.
    std::vector<HttpAnswer> Pages();
    const std::string& OpenedUrl() const { return FOpened; }

  private:
    std::thread FThread;
    std::string FOpened;
    std::vector<HttpAnswer> FPages;
};

// Percent-encodes everything but the unreserved characters of RFC 3986.
std::string UrlEncode(const std::string& Text);

} // namespace sweepbox::test
