// TCP client transport of the POP3 component: name lookup, connect, send,
// receive and close over POSIX sockets, with notifications for each step.
// Every call blocks its caller until done, but the waits for the connect,
// for sending and for receiving run in short slices with the host's pump in
// between, so a window stays responsive.
#pragma once

#include "message/kel_util.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace kel {

// A send or receive failed at the socket (or a receive stalled, or the stream
// ended inside a reply). The text has the form
// "Windows-Socket-Fehler: <system text> (<number>), auf API '<send|recv>'".
class ESocketError : public Exception {
  public:
    ESocketError(int ErrorCode, const std::string& Api);
    int ErrorCode;
    std::string Api;
};

// The connection could not be opened (lookup, connect, no host given).
class ESocketOpenError : public Exception {
  public:
    ESocketOpenError(int ErrorCode, const std::string& Text);
    int ErrorCode;
};

class TKelSocket;

// Sender = the transport, Socket = the transport's connection object (the
// transport itself: it holds the connection).
using TSocketNotifyEvent = std::function<void(TObject* Sender, TObject* Socket)>;

class TKelSocket : public TObject {
  public:
    TKelSocket();
    ~TKelSocket() override;
    TKelSocket(const TKelSocket&) = delete;
    TKelSocket& operator=(const TKelSocket&) = delete;

    // Set while closed. Exactly one of Host and Address is non-empty for a
    // connection to succeed; Address is a dotted IPv4 address used as it is.
    int Port = 110;
    std::string Host;
    std::string Address;

    // A receive (or a send that cannot go out) that sees no progress for this
    // long fails with ETIMEDOUT through the error notification. A connect to
    // one address that gets no answer for this long is abandoned (ETIMEDOUT)
    // and the open goes on with the next address or fails. <= 0: no limit.
    int StallLimitMs = 180000;

    // Called between the wait slices (at most 50 ms each) of the connect, a
    // receive or a send, so that the host's window stays responsive. It may
    // close the transport; an exception from it leaves the waiting call.
    std::function<void()> Idle;

    // Notifications.
    TSocketNotifyEvent OnLookup;
    TSocketNotifyEvent OnConnecting;
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    std::function<void(TObject* Sender, int ErrorCode)> OnError;

    bool IsOpen() const { return FFd >= 0; }
    // Open is running (resolving or waiting for the connect).
    bool IsOpening() const { return FOpening; }

    // Returns once connected or failed. On failure: the socket is closed,
    // OnDisconnect fires and ESocketOpenError is thrown; OnError does not
    // fire. Close() from a handler while the connect is pending abandons the
    // open (ECANCELED); an Open nested in a pending one fails (EALREADY). An
    // exception from a handler or Idle also closes and fires OnDisconnect
    // before it leaves.
    void Open();

    // Sends every byte; nothing when not open. Failure: OnError, close, then
    // ESocketError("send").
    void SendBuf(const char* Data, size_t Count);

    // Blocks until at least one byte is there; returns how many (<= Count).
    // 0 at end of stream and when not open; end of stream does not close.
    // Failure or stall: OnError, close, then ESocketError("recv").
    size_t ReceiveBuf(char* Buffer, size_t Count);

    // Runs the failure path of a receive for an error the caller detected on
    // the received data (end of stream inside a reply, an oversized reply):
    // OnError, close, then ESocketError(ErrorCode, Api). Never returns.
    [[noreturn]] void Fail(int ErrorCode, const char* Api);

    // When open: OnDisconnect, then the socket is closed. While Open is
    // pending: the open is abandoned and fails once control returns to it.
    // Otherwise nothing.
    void Close();

  private:
    enum class TWait { Ready, Stalled, Closed };
    // Waits in slices for the socket being waited on (the connection, or
    // while opening, the pending connect) to become ready for Events, running
    // Idle between slices. Closed: a handler closed it meanwhile.
    TWait WaitReady(short Events);
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
