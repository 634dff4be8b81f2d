// The client side of SASL mechanisms (RFC 4422) for the POP3 AUTH command
// (RFC 5034): SCRAM and PLAIN through GNU SASL, the OAuth 2.0 bearer
// mechanisms (OAUTHBEARER, RFC 7628, and XOAUTH2) built here, each a line.
// Messages in and out are the mechanism's bytes; the base64 of the wire is
// the caller's.
#pragma once

#include "mail/pop3/KelTransport.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace kel {

class TSaslMechanism {
  public:
    virtual ~TSaslMechanism() = default;

    // The client's first message: what AUTH sends as its initial response.
    // False when the mechanism cannot begin (nothing is sent then).
    virtual bool Start(std::string& Response) = 0;
    // A challenge from the server (decoded; untrusted: any bytes). False
    // when it cannot be answered: the exchange is to be cancelled.
    virtual bool Answer(std::string_view Challenge, std::string& Response) = 0;
    // The server has proven what the mechanism asks of it: for SCRAM its
    // final signature verified; true for mechanisms that prove nothing.
    virtual bool ServerProven() const { return true; }
    // The client's proof has gone out and the server's is due: a failure
    // now means the server is not the one that holds the secret.
    virtual bool AwaitingProof() const { return false; }
    // The server's error for a refused bearer token (RFC 7628 "status"),
    // empty when it sent none.
    virtual const std::string& TokenStatus() const;
};

// GNU SASL can run this mechanism (upper-case name) as a client.
bool SaslSupports(const std::string& Mechanism);

// SCRAM-SHA-1, SCRAM-SHA-256, SCRAM-SHA-256-PLUS or PLAIN through GNU SASL;
// nullptr when it cannot run it. Binding goes to a -PLUS mechanism only.
std::unique_ptr<TSaslMechanism> MakeSaslMechanism(const std::string& Mechanism, const std::string& User,
                                                  const std::string& Password, const TChannelBinding& Binding);

// OAUTHBEARER or XOAUTH2 with Token as the bearer token; Host and Port go
// into OAUTHBEARER's message.
std::unique_ptr<TSaslMechanism> MakeBearerMechanism(const std::string& Mechanism, const std::string& User,
                                                    const std::string& Token, const std::string& Host, int Port);

std::string SaslBase64(std::string_view Bytes);
// False for text that is not base64 (RFC 4648, padded); Bytes is then empty.
bool SaslUnBase64(std::string_view Text, std::string& Bytes);

// The string value of the member Key of a JSON object (untrusted text):
// printable ASCII only, at most 64 characters, empty when there is none or
// the text is not of that shape. Escapes are taken as the character escaped.
std::string JsonStringMember(std::string_view Json, std::string_view Key);

} // namespace kel
