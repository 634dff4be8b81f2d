// Blocking TCP client transport of the POP3 component: name lookup, connect,
// send, receive and close over POSIX sockets, with notifications for each step.
#pragma once

#include "message/kel_util.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

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
    // long fails with ETIMEDOUT through the error notification. <= 0: no limit.
    int StallLimitMs = 180000;

    // Called between the wait slices (at most 50 ms each) of a blocking
    // receive or send, so that the host's window stays responsive.
    std::function<void()> Idle;

    // Notifications.
    TSocketNotifyEvent OnLookup;
    TSocketNotifyEvent OnConnecting;
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    std::function<void(TObject* Sender, int ErrorCode)> OnError;

    bool IsOpen() const { return FFd >= 0; }

    // Blocking open. On failure: the socket is closed, OnDisconnect fires and
    // ESocketOpenError is thrown; OnError does not fire.
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

    // When open: OnDisconnect, then the socket is closed. Otherwise nothing.
    void Close();

  private:
    enum class TWait { Ready, Stalled, Closed };
    // Waits in slices for the socket to become ready for Events, running Idle
    // between slices. Closed: the socket was closed meanwhile (by a handler).
    TWait WaitReady(short Events);
    int FFd = -1;
};

} // namespace kel
