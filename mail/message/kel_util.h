// Small shared helpers of the mail library: integer conversion, trimming,
// address tests, the event types of the POP3 component, and (further down)
// the header and address helpers used by message parsing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// Removes every leading and trailing character whose code is 32 or below.
std::string Trim(const std::string& s);

// Converts text to a 32-bit signed integer: optional leading spaces, then an
// optional sign and decimal digits, or one of "$", "x", "X", "0x", "0X" and
// hex digits; nothing after them. Anything else yields Default.
int32_t StrToIntDef(const std::string& s, int32_t Default);

// True when s has the shape n.n.n.n with every n converting to 0..255.
bool IsDottedAddress(const std::string& s);

// The n-th blank-separated word of text as an integer, or Default.
int32_t NthWordAsInt(const std::string& text, int n, int32_t Default);

// ---- header and address helpers (message parsing) ----

} // namespace kel
