// How long a test's POP3 client waits for its server. The component's own
// limits are minutes, right for real servers and wrong for a test: a client
// that regressed into waiting for bytes that never come must fail in
// seconds, not hold the suite up until the runner kills it.
#pragma once

#include "mail/pop3/KelPOP3.h"

namespace sweepbox::test {

// Ample for a server in this process or on this machine, however loaded
// and slowed by the sanitizers.
inline constexpr int kClientWaitMs = 5000;

// Every helper that gives a test a client dialogue calls this; a test that
// is about the limits sets its own afterwards.
inline void BoundWaits(kel::TKelPOP& Pop) {
    Pop.ReceiveStallLimitMs = kClientWaitMs;
    Pop.GreetingLimitMs = kClientWaitMs;
}

} // namespace sweepbox::test
