#include "mail/pop3/KelSasl.h"

#include <gsasl.h>

namespace kel {

namespace {

// One library handle for the process: it holds no session state, and
// setting it up reads the list of mechanisms.
Gsasl* Library() {
    static struct TLibrary {
        Gsasl* Ctx = nullptr;
        TLibrary() {
            if (::gsasl_init(&Ctx) != GSASL_OK)
                Ctx = nullptr;
        }
        ~TLibrary() {
            if (Ctx)
                ::gsasl_done(Ctx);
        }
    } library;
    return library.Ctx;
}

// A buffer GNU SASL allocated, freed on every path.
struct TSaslBuffer {
    char* Data = nullptr;
    size_t Size = 0;
    ~TSaslBuffer() { ::gsasl_free(Data); }
    std::string Text() const { return Data ? std::string(Data, Size) : std::string(); }
};

class TGsaslMechanism : public TSaslMechanism {
  public:
    TGsaslMechanism(Gsasl_session* Session, bool Scram) : FSession(Session), FScram(Scram) {}
    ~TGsaslMechanism() override { ::gsasl_finish(FSession); }
    TGsaslMechanism(const TGsaslMechanism&) = delete;
    TGsaslMechanism& operator=(const TGsaslMechanism&) = delete;

    bool Start(std::string& Response) override { return Step({}, Response); }
    bool Answer(std::string_view Challenge, std::string& Response) override {
        // A mechanism that has said its last gets nothing more to answer.
        return !FDone && Step(Challenge, Response);
    }
    bool ServerProven() const override { return !FScram || FDone; }
    bool AwaitingProof() const override { return FScram && FSteps >= 2 && !FDone; }

  private:
    bool Step(std::string_view In, std::string& Response) {
        TSaslBuffer out;
        const int rc = ::gsasl_step(FSession, In.data(), In.size(), &out.Data, &out.Size);
        if (rc != GSASL_OK && rc != GSASL_NEEDS_MORE)
            return false;
        ++FSteps;
        // SCRAM is done only once the server's final message verified.
        FDone = rc == GSASL_OK;
        Response = out.Text();
        return true;
    }

    Gsasl_session* FSession;
    bool FScram;
    int FSteps = 0;
    bool FDone = false;
};

// RFC 7628 and the older XOAUTH2: the client's message carries the token;
// a refusal comes as one challenge holding a JSON error, which the client
// answers (OAUTHBEARER: a single 0x01; XOAUTH2: an empty response) before
// the server's "-ERR".
class TBearerMechanism : public TSaslMechanism {
  public:
    TBearerMechanism(std::string Message, bool OAuthBearer) : FMessage(std::move(Message)), FOAuthBearer(OAuthBearer) {}
    bool Start(std::string& Response) override {
        Response = FMessage;
        return true;
    }
    bool Answer(std::string_view Challenge, std::string& Response) override {
        if (FErrorSeen)
            return false;
        FErrorSeen = true;
        FStatus = JsonStringMember(Challenge, "status");
        Response = FOAuthBearer ? std::string(1, '\x01') : std::string();
        return true;
    }
    const std::string& TokenStatus() const override { return FStatus; }

  private:
    std::string FMessage;
    bool FOAuthBearer;
    bool FErrorSeen = false;
    std::string FStatus;
};

// A name in the GS2 header (RFC 5801 saslname): "," and "=" escaped.
std::string SaslName(const std::string& Name) {
    std::string out;
    for (const char c : Name) {
        if (c == ',')
            out += "=2C";
        else if (c == '=')
            out += "=3D";
        else
            out += c;
    }
    return out;
}

bool IsScram(const std::string& Mechanism) { return Mechanism.rfind("SCRAM-", 0) == 0; }

} // namespace

const std::string& TSaslMechanism::TokenStatus() const {
    static const std::string none;
    return none;
}

bool SaslSupports(const std::string& Mechanism) {
    Gsasl* ctx = Library();
    return ctx && ::gsasl_client_support_p(ctx, Mechanism.c_str()) != 0;
}

std::unique_ptr<TSaslMechanism> MakeSaslMechanism(const std::string& Mechanism, const std::string& User,
                                                  const std::string& Password, const TChannelBinding& Binding) {
    Gsasl* ctx = Library();
    const bool plus = Mechanism.size() > 5 && Mechanism.compare(Mechanism.size() - 5, 5, "-PLUS") == 0;
    if (!ctx || (plus && Binding.Data.empty()))
        return nullptr;
    Gsasl_session* session = nullptr;
    if (::gsasl_client_start(ctx, Mechanism.c_str(), &session) != GSASL_OK)
        return nullptr;
    auto mechanism = std::make_unique<TGsaslMechanism>(session, IsScram(Mechanism));
    bool set = ::gsasl_property_set(session, GSASL_AUTHID, User.c_str()) == GSASL_OK &&
               ::gsasl_property_set(session, GSASL_PASSWORD, Password.c_str()) == GSASL_OK;
    if (plus) {
        const Gsasl_property which =
            Binding.Type == TChannelBindingType::TlsExporter ? GSASL_CB_TLS_EXPORTER : GSASL_CB_TLS_UNIQUE;
        set = set && ::gsasl_property_set(session, which, SaslBase64(Binding.Data).c_str()) == GSASL_OK;
    }
    return set ? std::move(mechanism) : nullptr;
}

std::unique_ptr<TSaslMechanism> MakeBearerMechanism(const std::string& Mechanism, const std::string& User,
                                                    const std::string& Token, const std::string& Host, int Port) {
    if (Mechanism == "OAUTHBEARER")
        return std::make_unique<TBearerMechanism>("n,a=" + SaslName(User) + ",\x01host=" + Host +
                                                      "\x01port=" + std::to_string(Port) + "\x01" "auth=Bearer " +
                                                      Token + "\x01\x01",
                                                  true);
    if (Mechanism == "XOAUTH2")
        return std::make_unique<TBearerMechanism>("user=" + User + "\x01" "auth=Bearer " + Token + "\x01\x01", false);
    return nullptr;
}

std::string SaslBase64(std::string_view Bytes) {
    TSaslBuffer out;
    if (::gsasl_base64_to(Bytes.data(), Bytes.size(), &out.Data, &out.Size) != GSASL_OK)
        return std::string();
    return out.Text();
}

bool SaslUnBase64(std::string_view Text, std::string& Bytes) {
    Bytes.clear();
    // Padded groups of four only: the decoder would take some other shapes.
    if (Text.size() % 4 != 0)
        return false;
    TSaslBuffer out;
    if (::gsasl_base64_from(Text.data(), Text.size(), &out.Data, &out.Size) != GSASL_OK)
        return false;
    Bytes = out.Text();
    return true;
}

std::string JsonStringMember(std::string_view Json, std::string_view Key) {
    constexpr size_t kMost = 64;
    const std::string quoted = "\"" + std::string(Key) + "\"";
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    for (size_t at = Json.find(quoted); at != std::string_view::npos; at = Json.find(quoted, at + 1)) {
        size_t i = at + quoted.size();
        while (i < Json.size() && blank(Json[i]))
            ++i;
        // A key is followed by a colon; the same text as a value is not.
        if (i >= Json.size() || Json[i] != ':')
            continue;
        ++i;
        while (i < Json.size() && blank(Json[i]))
            ++i;
        if (i >= Json.size() || Json[i] != '"')
            return std::string();
        std::string value;
        for (++i; i < Json.size() && Json[i] != '"'; ++i) {
            if (Json[i] == '\\' && ++i >= Json.size())
                break;
            const char c = Json[i];
            if (c < 0x20 || c > 0x7e || value.size() >= kMost)
                return std::string();
            value += c;
        }
        return i < Json.size() ? value : std::string();
    }
    return std::string();
}

} // namespace kel
