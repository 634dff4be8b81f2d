// The root of the library: the base of every event sender, the event types
// and the exceptions every other unit throws.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace kel {

// Common base of every object that can be the sender of an event, so that a
// handler can tell the component from its transport by pointer.
class TObject {
  public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TOnError = std::function<void(TObject* Sender, int32_t Error, const std::string& Msg)>;
using TOnCodeProgressEvent = std::function<void(TObject* Sender, uint16_t Percent)>;

// ---- exceptions ----

// General error of the library; its what() is the text shown to the user.
class Exception : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Misuse of a stream or a failed stream transfer ("Invalid stream operation").
class EStreamError : public Exception {
  public:
    using Exception::Exception;
};

// A file (temporary or named) that could not be created or opened; the text
// names the file and the system's reason.
class EFileError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};

} // namespace kel
