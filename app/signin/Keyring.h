// The desktop's keyring (the Secret Service on a Linux desktop) through
// QtKeychain: a pair's password or refresh token is kept there under the
// names app/core/SignIn.h gives, never in a file of ours. Each call waits for
// the keyring in a nested event loop, at most LimitMs; a call on the thread
// of the QCoreApplication only. QtKeychain's plain-text fallback is off: with
// no keyring a secret is not kept at all.
#pragma once

#include <QString>

namespace sweepbox {

enum class TKeyringStatus {
    Ok,
    NotFound,    // no secret under that key
    Unavailable, // no Secret Service on this desktop (no session bus, none on it)
    Locked,      // the keyring is locked, or the user refused to open it (a
                 // Find in a locked Secret Service reads as NotFound: libsecret
                 // reports it so)
    Failed,      // anything else, the limit passed included; Detail says what
};

struct TKeyringResult {
    TKeyringStatus Status = TKeyringStatus::Failed;
    QString Secret;   // what Find found; empty otherwise
    QString Detail;   // the keyring's own words on a failure; never the secret
    bool TimedOut = false; // Failed because the keyring had not answered by the limit
    bool Ok() const { return Status == TKeyringStatus::Ok; }
};

class TKeyring {
  public:
    // The service every secret of ours is filed under, beside its key.
    QString Service = QStringLiteral("Sweepbox");
    // A job that has not finished by then is Failed (TimedOut). QtKeychain
    // cannot cancel it: it finishes later on its own and its answer is
    // dropped, and the calls after it wait behind it.
    int LimitMs = 10000;

    TKeyringResult Find(const QString& Key);
    // Replaces what Key held.
    TKeyringResult Store(const QString& Key, const QString& Secret);
    // A key that holds nothing is Ok with the Secret Service, NotFound with
    // some other backends: either way, for a caller that wants it gone, gone.
    TKeyringResult Remove(const QString& Key);
};

// The status QtKeychain's error code stands for (QKeychain::Error as int, so
// that this header needs no QtKeychain).
TKeyringStatus KeyringStatusOf(int KeychainError);

} // namespace sweepbox
