// TCP client transport of the POP3 component: name lookup, connect, send,
// receive and close over POSIX sockets, with notifications for each step.
// Every call blocks its caller until done, but the waits for the connect,
// for sending and for receiving run in short slices with the host's pump in
// between, so a window stays responsive.
#pragma once

#include "mail/pop3/KelTransport.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace kel {

class TKelSocket : public TKelTransport {
  public:
    TKelSocket();
    ~TKelSocket() override;
    TKelSocket(const TKelSocket&) = delete;
    TKelSocket& operator=(const TKelSocket&) = delete;

    bool IsOpen() const override { return FFd >= 0; }
    bool IsOpening() const override { return FOpening; }

    // As the transport's Open. Besides: an Open nested in a pending one
    // fails (EALREADY), and an exception from a handler or Idle also closes
    // and fires OnDisconnect before it leaves.
    void Open() override;
    void SendBuf(const char* Data, size_t Count) override;
    size_t ReceiveBuf(char* Buffer, size_t Count) override;
    size_t ReceiveNow(char* Buffer, size_t Count) override;
    TExchange Exchange(const char* Data, size_t Count, char* Buffer, size_t Size) override;
    void Close() override;

  protected:
    enum class TWait { Ready, Stalled, Closed };
    // Waits in slices for the socket being waited on (the connection, or
    // while opening, the pending connect) to become ready for Events, running
    // Idle between slices. Closed: a handler closed it meanwhile.
    TWait WaitReady(short Events);
    // The connected socket; -1 when closed.
    int Fd() const { return FFd; }
    // What one round of an exchange found.
    enum class TMove { Moved, Blocked, Ended };
    // One attempt each to send and to receive without waiting, for
    // Exchange: Moved when a byte went either way, Ended at the end of the
    // stream, Blocked when neither could; WantWrite asks for a wait on
    // writing as well as reading. A failure fails the transport, a failed
    // send only once nothing more can be read.
    virtual TMove ExchangeOnce(const char* Data, size_t Count, char* Buffer, size_t Size, TExchange& Moved,
                               bool& WantWrite);

  private:
    // Connects a fresh socket to one address; returns it, or -1 with Error set.
    int ConnectTo(const sockaddr* Addr, socklen_t Len, int Family, int& Error);
    // The body of Open: the connected socket, or -1 with Error and Text set.
    int OpenSocket(int& Error, std::string& Text);

    int FFd = -1;
    bool FOpening = false;
    // The socket whose connect Open waits for; -1 once a handler closed the
    // transport meanwhile. Open alone owns and closes it.
    int FPendingFd = -1;
};

} // namespace kel
