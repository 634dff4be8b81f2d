// An in-memory transport for the POP3 component: it plays scripted server
// bytes to the component's receives and records every byte the component
// writes, with markers for the events that are not bytes ("[open]",
// "[starttls]", "[close]"), so a test can check the whole dialogue and its
// order.
#pragma once

#include "mail/pop3/KelTransport.h"

#include <cstddef>
#include <deque>
#include <string>

namespace sweepbox::test {

class ScriptedTransport : public kel::TKelTransport {
  public:
    // Bytes the server sends, cut into receives of at most Piece bytes (and
    // at most what the receive asks for). Piece 0: as the receives ask.
    ScriptedTransport& Serve(const std::string& Bytes, size_t Piece = 0);
    // Bytes no command asked for, there already when the component looks
    // (ReceiveNow takes them as well as a receive).
    ScriptedTransport& ServeUnasked(const std::string& Bytes);
    // The server closes: the next receive returns 0.
    ScriptedTransport& End();
    // The server sends Unit over and over, as if without end, to a client
    // that must stop reading on its own. Past MaxBytes the test fails and
    // the server closes: a client that no longer stops costs that much
    // memory and a failure, not all the memory there is.
    ScriptedTransport& Endless(const std::string& Unit, size_t MaxBytes);
    // Open fails as a refused connection would.
    ScriptedTransport& RefuseOpen();
    // StartTls fails as a refused handshake would.
    ScriptedTransport& RefuseTls();
    // Open with ImplicitTls makes a handshake too (marked "[tls]"); without
    // this the transport cannot, and stays plain.
    ScriptedTransport& OfferImplicitTls();
    // The handshake rejects this certificate, as a certificate check would;
    // one pinned by its fingerprint passes.
    ScriptedTransport& RejectCertificate(const kel::TCertificateInfo& Certificate);

    // A receive ends at the end of a line at the latest, as a server that
    // answers each command when it comes would send it: the replies the
    // script holds for later commands are not yet there.
    bool LineAtATime = false;

    // The channel binding the connection reports once secured.
    kel::TChannelBinding Binding;

    // Everything the component sent, with the markers.
    std::string Written;
    // Bytes handed to the component's receives.
    size_t Served = 0;
    // Every scripted step was played.
    bool Exhausted() const { return FSteps.empty(); }

    bool IsOpen() const override { return FOpen; }
    bool IsOpening() const override { return false; }
    void Open() override;
    void SendBuf(const char* Data, size_t Count) override;
    // With nothing scripted left, the server has gone quiet: a stall.
    size_t ReceiveBuf(char* Buffer, size_t Count) override;
    size_t ReceiveNow(char* Buffer, size_t Count) override;
    void Close() override;
    // No handshake: the connection counts as secured from here on, and the
    // script goes on in the clear.
    void StartTls() override;
    bool Secured() const override { return FOpen && FSecured; }
    kel::TChannelBinding ChannelBinding() const override { return Secured() ? Binding : kel::TChannelBinding(); }

  private:
    // The scripted certificate check; throws as a failed handshake does.
    void Handshake();
    struct Step {
        enum Kind { Bytes, End, Endless, Unasked } kind;
        std::string bytes;
        size_t piece;
        size_t at = 0;    // served so far (Endless: offset into the unit)
        size_t limit = 0; // Endless: what may be served in all
    };
    std::deque<Step> FSteps;
    bool FOpen = false;
    bool FRefuse = false;
    bool FRefuseTls = false;
    bool FImplicit = false;
    kel::TCertificateInfo FCertificate; // no problems: none is rejected
    bool FSecured = false;
    bool FEnded = false;
};

} // namespace sweepbox::test
