#include "support/ScriptedTransport.h"

#include <algorithm>
#include <cerrno>

#include <gtest/gtest.h>

namespace sweepbox::test {

ScriptedTransport& ScriptedTransport::Serve(const std::string& Bytes, size_t Piece) {
    FSteps.push_back({Step::Bytes, Bytes, Piece});
    return *this;
}

ScriptedTransport& ScriptedTransport::ServeUnasked(const std::string& Bytes) {
    FSteps.push_back({Step::Unasked, Bytes, 0});
    return *this;
}

ScriptedTransport& ScriptedTransport::End() {
    FSteps.push_back({Step::End, {}, 0});
    return *this;
}

ScriptedTransport& ScriptedTransport::Endless(const std::string& Unit, size_t MaxBytes) {
    FSteps.push_back({Step::Endless, Unit, 0, 0, MaxBytes});
    return *this;
}

ScriptedTransport& ScriptedTransport::RefuseOpen() {
    FRefuse = true;
    return *this;
}

ScriptedTransport& ScriptedTransport::RefuseTls() {
    FRefuseTls = true;
    return *this;
}

ScriptedTransport& ScriptedTransport::OfferImplicitTls() {
    FImplicit = true;
    return *this;
}

ScriptedTransport& ScriptedTransport::RejectCertificate(const kel::TCertificateInfo& Certificate) {
    FCertificate = Certificate;
    return *this;
}

void ScriptedTransport::Handshake() {
    ClearHandshakeOutcome();
    if (FCertificate.Problems.empty() || FCertificate.Fingerprint == PinnedFingerprint) {
        FSecured = true;
        return;
    }
    FRejected = FCertificate;
    FRejected.PinChanged = !PinnedFingerprint.empty();
    FHandshakeError = "The server's certificate is not accepted: " + FCertificate.Detail;
    Close();
    throw kel::ESocketOpenError(EPROTO, FHandshakeError);
}

void ScriptedTransport::Open() {
    if (OnLookup)
        OnLookup(this, this);
    if (OnConnecting)
        OnConnecting(this, this);
    if (FRefuse) {
        if (OnDisconnect)
            OnDisconnect(this);
        throw kel::ESocketOpenError(ECONNREFUSED, kel::SocketErrorText(ECONNREFUSED, "connect"));
    }
    FOpen = true;
    FSecured = false;
    Written += "[open]";
    if (ImplicitTls && FImplicit) {
        Written += "[tls]";
        Handshake();
    }
    if (OnConnect)
        OnConnect(this);
}

void ScriptedTransport::SendBuf(const char* Data, size_t Count) {
    if (FOpen)
        Written.append(Data, Count);
}

size_t ScriptedTransport::ReceiveBuf(char* Buffer, size_t Count) {
    if (!FOpen || Count == 0)
        return 0;
    if (FEnded && FSteps.empty())
        return 0; // every receive after the end sees it too
    if (FSteps.empty())
        FailStalled("recv");
    Step& s = FSteps.front();
    if (s.kind == Step::End) {
        FSteps.pop_front();
        FEnded = true;
        return 0;
    }
    size_t n = std::min(Count, s.piece ? s.piece : Count);
    if (s.kind == Step::Endless) {
        if (s.limit == 0) {
            ADD_FAILURE() << "the client read an endless stream past its bound";
            FSteps.pop_front();
            FEnded = true;
            return 0;
        }
        n = std::min(n, s.limit);
        s.limit -= n;
        for (size_t i = 0; i < n; ++i, s.at = (s.at + 1) % s.bytes.size())
            Buffer[i] = s.bytes[s.at];
    } else {
        n = std::min(n, s.bytes.size() - s.at);
        if (LineAtATime) {
            const size_t lf = s.bytes.find('\n', s.at);
            if (lf != std::string::npos)
                n = std::min(n, lf + 1 - s.at);
        }
        std::copy_n(s.bytes.data() + s.at, n, Buffer);
        s.at += n;
        if (s.at == s.bytes.size())
            FSteps.pop_front();
    }
    Served += n;
    return n;
}

size_t ScriptedTransport::ReceiveNow(char* Buffer, size_t Count) {
    if (!FOpen || FSteps.empty() || FSteps.front().kind != Step::Unasked)
        return 0;
    return ReceiveBuf(Buffer, Count);
}

void ScriptedTransport::Close() {
    if (!FOpen)
        return;
    FOpen = false;
    if (OnDisconnect)
        OnDisconnect(this);
    Written += "[close]";
}

void ScriptedTransport::StartTls() {
    Written += "[starttls]";
    if (FRefuseTls) {
        Close();
        throw kel::ESocketOpenError(EPROTO, "The TLS handshake failed: refused by the script.");
    }
    if (FOpen)
        Handshake();
}

} // namespace sweepbox::test
