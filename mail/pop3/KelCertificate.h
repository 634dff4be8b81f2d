// What a TLS handshake tells about the server's certificate, in the terms
// the user judges it by.
#pragma once

#include <string>
#include <vector>

namespace kel {

// Why a certificate was not accepted.
enum class TCertProblem {
    Untrusted,   // no trusted authority vouches for it
    SelfSigned,  // it signed itself
    Expired,     // its validity has ended
    NotYetValid, // its validity has not begun
    WrongHost,   // it names other servers
    Other,       // anything else: Detail says what
};

// The server's certificate as the user needs to judge it.
struct TCertificateInfo {
    std::vector<TCertProblem> Problems; // empty: nothing was rejected
    std::string Detail;                 // OpenSSL's words, one per problem
    bool PinChanged = false;            // a fingerprint was pinned, and this is another
    std::string Subject;                // one line, RFC 2253 form
    std::string Issuer;
    std::string NotBefore;              // "yyyy-mm-dd hh:mm:ss UTC"
    std::string NotAfter;
    std::string Fingerprint;            // "sha256:" and 64 lower-case hex digits
};

} // namespace kel
