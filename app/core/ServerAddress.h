// The server field of the main window: "host", "host:port" or
// "[IPv6 address]:port" (a bare IPv6 address is taken whole), and whether a
// host is this machine, so that a local test server needs no TLS.
#pragma once

#include "app/core/Security.h"

#include <QString>

#include <cstdint>

namespace sweepbox {

struct TServerAddress {
    QString Host;       // without brackets
    uint16_t Port = 0;  // 0: none given, the security's default applies
    bool Valid = false; // false: an empty host, or a port that is no number in 1..65535
};

TServerAddress ParseServerField(const QString& Text);

// The address as a settings key and for messages: "host:port", IPv6 in brackets.
QString HostPortKey(const QString& Host, uint16_t Port);

// The port a connection to Address goes to: the one given, else 995 with
// TLS and 110 otherwise.
uint16_t ConnectPort(const TServerAddress& Address, TSecurity Security);

// True for a loopback address (127.0.0.0/8, ::1), for "localhost" and names
// under ".localhost", and for a name the hosts file maps to loopback
// addresses only. Nothing is asked of the network: the field is judged as
// it is typed.
bool IsLoopbackHost(const QString& Host, const QString& HostsFile = QStringLiteral("/etc/hosts"));

} // namespace sweepbox
