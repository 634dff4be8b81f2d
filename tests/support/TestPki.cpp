#include "support/TestPki.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/wait.h>

namespace sweepbox::test {

namespace {

// `openssl ca` is what sets an explicit validity (the expired certificate);
// the database and serial files are its bookkeeping.
const char kCaConfig[] = R"([ ca ]
default_ca = test_ca
[ test_ca ]
database = index.txt
new_certs_dir = .
certificate = ca.pem
private_key = ca.key
serial = serial
default_md = sha256
policy = any_name
unique_subject = no
email_in_dn = no
[ any_name ]
commonName = supplied
[ server ]
subjectAltName = DNS:localhost,IP:127.0.0.1
extendedKeyUsage = serverAuth
[ other_name ]
subjectAltName = DNS:other.example,IP:127.0.0.1
extendedKeyUsage = serverAuth
)";

// P-256 keys: made in milliseconds, where RSA keys take a noticeable while.
const char kScript[] = R"(set -e
newkey="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
openssl req -x509 $newkey -keyout ca.key -out ca.pem -days 2 -subj '/CN=Sweepbox Test CA' \
  -addext 'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign,cRLSign'
openssl req $newkey -keyout valid.key -out valid.csr -subj /CN=localhost
openssl req $newkey -keyout other.key -out other.csr -subj /CN=localhost
openssl req -new -key valid.key -out named.csr -subj /CN=other.example
: > index.txt
echo 01 > serial
sign() { openssl ca -batch -notext -config ca.cnf -extensions server "$@"; }
sign -in valid.csr -out valid.pem -days 2
sign -in valid.csr -out expired.pem -startdate 20200101000000Z -enddate 20200102000000Z
sign -in other.csr -out other.pem -days 2
openssl ca -batch -notext -config ca.cnf -extensions other_name -in named.csr -out named.pem -days 2
for c in valid expired other named; do
  openssl x509 -in $c.pem -noout -fingerprint -sha256 > $c.fingerprint
done
)";

const char* const kNames[] = {"valid", "expired", "other", "named"};

std::string ReadAll(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// "sha256 Fingerprint=AB:CD:..." as "sha256:abcd...".
std::string FingerprintText(const std::string& Line) {
    const size_t eq = Line.find('=');
    if (eq == std::string::npos)
        return std::string();
    std::string out = "sha256:";
    for (char c : Line.substr(eq + 1))
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))
            out += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return out.size() == 7 + 64 ? out : std::string();
}

} // namespace

const TestPki& TestPki::Shared() {
    static const TestPki pki;
    return pki;
}

TestPki::TestPki() {
    char templ[] = "/tmp/sweepbox-pki-XXXXXX";
    if (!::mkdtemp(templ)) {
        FError = "cannot create a scratch folder in /tmp";
        return;
    }
    FDir = templ;
    std::ofstream(FDir + "/ca.cnf") << kCaConfig;
    std::ofstream(FDir + "/make.sh") << kScript;
    const std::string command = "cd '" + FDir + "' && sh make.sh 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) {
        FError = "cannot run sh";
        return;
    }
    std::string output;
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        output.append(buf, n);
    const int status = ::pclose(p);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        FError = "the openssl command could not make the test certificates: " + output;
        return;
    }
    for (int i = 0; i < 4; ++i) {
        FFingerprints[i] = FingerprintText(ReadAll(FDir + "/" + kNames[i] + ".fingerprint"));
        if (FFingerprints[i].empty()) {
            FError = std::string("no fingerprint for the ") + kNames[i] + " certificate";
            return;
        }
    }
    FOk = true;
}

TestPki::~TestPki() {
    std::error_code ec;
    if (!FDir.empty())
        std::filesystem::remove_all(FDir, ec);
}

std::string TestPki::CertFile(TestCert Cert) const {
    return FDir + "/" + kNames[static_cast<int>(Cert)] + ".pem";
}

std::string TestPki::KeyFile(TestCert Cert) const {
    return FDir + (Cert == TestCert::OtherKey ? "/other.key" : "/valid.key");
}

const std::string& TestPki::Fingerprint(TestCert Cert) const { return FFingerprints[static_cast<int>(Cert)]; }

} // namespace sweepbox::test
