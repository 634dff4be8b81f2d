// A throw-away certificate authority and server certificates it signed, for
// TLS tests: made once per process with the openssl command in a scratch
// folder under /tmp that goes at exit. Tests trust the authority only
// through its file (TrustFile), never through the system's store.
#pragma once

#include <string>

namespace sweepbox::test {

// The server certificates, each signed by the test authority. All but
// OtherName are for the name "localhost" and the address 127.0.0.1.
enum class TestCert {
    Valid,     // valid from now for two days
    Expired,   // valid on 2020-01-01 only; the key is Valid's
    OtherKey,  // valid, with a key of its own: another fingerprint
    OtherName, // valid, for "other.example" and 127.0.0.1; the key is Valid's
};

class TestPki {
  public:
    static const TestPki& Shared();

    // False where the openssl command is missing or failed; Error() says why.
    bool Ok() const { return FOk; }
    const std::string& Error() const { return FError; }
    // The authority's certificate (PEM): what a test puts in TrustFile.
    std::string CaFile() const { return FDir + "/ca.pem"; }
    std::string CertFile(TestCert Cert) const;
    std::string KeyFile(TestCert Cert) const;
    // "sha256:" and 64 lower-case hex digits, as the openssl command reckons it.
    const std::string& Fingerprint(TestCert Cert) const;

    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;

  private:
    TestPki();
    ~TestPki();
    std::string FDir;
    bool FOk = false;
    std::string FError;
    std::string FFingerprints[4];
};

} // namespace sweepbox::test
