// The user's own token command: a program that prints an OAuth2 access
// token on its first line of output (a password manager, a helper script).
// It runs without a shell, bounded in time and in what it may print.
#pragma once

#include "app/signin/OAuth2Flow.h"

#include <QString>

class QEventLoop;

namespace sweepbox {

class TTokenCommand {
  public:
    // Killed after this long.
    int LimitMs = 30 * 1000;

    // CommandLine is split as a command line is (quotes group words, see
    // QProcess::splitCommand) and run directly, with no shell. Runs a nested
    // event loop until the program exits. The first line of its standard
    // output, trimmed, is the access token (Tokens.AccessToken). Fails with
    // CommandNotFound (the program does not exist), CommandFailed (it could
    // not start, exited with an error or was killed by a signal; Detail ends
    // with the last of its error output), CommandTimedOut (killed at the
    // limit), NoToken (nothing on the first line, or a first line too long
    // to be a token) or Cancelled.
    TTokenResult Run(const QString& CommandLine);
    // Ends a running Run with Cancelled, the program killed; from a handler
    // the nested loop runs.
    void Cancel();

  private:
    QEventLoop* Loop_ = nullptr;
    bool Cancelled_ = false;
};

// One run of CommandLine with a fresh TTokenCommand.
TTokenResult RunTokenCommand(const QString& CommandLine, int LimitMs = 30 * 1000);

} // namespace sweepbox
