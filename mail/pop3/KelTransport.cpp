#include "mail/pop3/KelTransport.h"

#include <cerrno>
#include <system_error>

namespace kel {

std::string SocketErrorText(int ErrorCode, const std::string& Api) {
    return "Windows-Socket-Fehler: " + std::system_category().message(ErrorCode) + " (" +
           std::to_string(ErrorCode) + "), auf API '" + Api + "'";
}

ESocketError::ESocketError(int ErrorCode, const std::string& Api, TSocketFailure Reason)
    : ESocketError(ErrorCode, Api, SocketErrorText(ErrorCode, Api), Reason) {}

ESocketError::ESocketError(int ErrorCode, const std::string& Api, const std::string& Text, TSocketFailure Reason)
    : Exception(Text), ErrorCode(ErrorCode), Api(Api), Reason(Reason) {}

ESocketOpenError::ESocketOpenError(int ErrorCode, const std::string& Text)
    : Exception(Text), ErrorCode(ErrorCode) {}

void TKelTransport::Fail(int ErrorCode, const char* Api, const std::string& Text, TSocketFailure Reason) {
    if (OnError)
        OnError(this, ErrorCode);
    Close();
    if (Text.empty())
        throw ESocketError(ErrorCode, Api, Reason);
    throw ESocketError(ErrorCode, Api, Text, Reason);
}

void TKelTransport::StartTls() {
    Close();
    throw ESocketOpenError(EPROTONOSUPPORT, "This connection cannot use TLS.");
}

} // namespace kel
