// Getting an OAuth2 access token without a window: the authorization code
// flow with PKCE (S256) through the user's browser and a loopback redirect
// on 127.0.0.1 (RFC 8252), and the refresh grant. The window opens the
// browser and offers Cancel; everything else happens here.
#pragma once

#include "app/core/SignIn.h"

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <functional>

namespace sweepbox {

enum class TTokenFailure {
    None,
    Cancelled,       // the user stopped it
    TimedOut,        // the time limit passed
    Denied,          // the provider said no at the authorization stage
    StateMismatch,   // only redirects this flow did not start came back
    ExchangeFailed,  // the token endpoint could not be reached or gave no token
    ClientIdMissing, // the provider has no client ID: nothing was opened
    RefreshRefused,  // the provider refused the refresh token: authorize again
    CommandFailed,   // the token command exited with an error
    CommandTimedOut, // the token command ran past its limit and was killed
    CommandNotFound, // the token command's program does not exist
    NoToken,         // the token command printed no token
};

struct TOAuth2Tokens {
    QString AccessToken;
    QString RefreshToken;
    QDateTime ExpiresAt; // invalid when the provider did not say
};

// Detail is a short technical text (the provider's error and description,
// a command's error output); it never holds a token or a secret.
struct TTokenResult {
    TTokenFailure Failure = TTokenFailure::None;
    QString Detail;
    TOAuth2Tokens Tokens;
    bool Ok() const { return Failure == TTokenFailure::None; }
};

class TOAuth2Flow {
  public:
    TOAuth2Flow();
    ~TOAuth2Flow();
    TOAuth2Flow(const TOAuth2Flow&) = delete;
    TOAuth2Flow& operator=(const TOAuth2Flow&) = delete;

    // Shows the provider's sign-in page; called once per Authorize, from
    // within it. Unbound, Authorize fails at once.
    std::function<void(const QUrl&)> OpenBrowser;
    // The whole of Authorize: the user's time in the browser and the
    // exchange of the code.
    int TimeLimitMs = 5 * 60 * 1000;
    // The whole of Refresh.
    int RefreshLimitMs = 30 * 1000;

    // Runs a nested event loop until the code is exchanged for tokens, the
    // user cancels, the provider says no, or the limit passes. Fails with
    // ClientIdMissing, Cancelled, TimedOut, Denied, StateMismatch (the
    // limit passed after only foreign redirects came back) or
    // ExchangeFailed. The loopback listener is closed when it returns.
    TTokenResult Authorize(const TOAuth2Provider& Provider, const QString& LoginHint);
    // The refresh grant, in a nested event loop. A provider that answers
    // with an OAuth2 error refuses the token: RefreshRefused; a provider
    // out of reach or answering nonsense is ExchangeFailed, and the refresh
    // token may still be good. A provider that hands out no new refresh
    // token leaves RefreshToken in the result.
    TTokenResult Refresh(const TOAuth2Provider& Provider, const QString& RefreshToken);
    // Ends a running Authorize or Refresh with Cancelled; from a handler
    // the nested loop runs. Nothing when none runs.
    void Cancel();

  private:
    class TRun;
    TRun* Run_ = nullptr;
};

} // namespace sweepbox
