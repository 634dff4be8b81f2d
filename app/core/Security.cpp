#include "app/core/Security.h"

#include "app/core/ServerAddress.h"

namespace sweepbox {

namespace {

constexpr struct {
    TSecurity Security;
    QLatin1StringView Text;
    kel::TPopSecurity Pop;
} kSecurities[] = {
    {TSecurity::Tls, QLatin1StringView("tls"), kel::TPopSecurity::Tls},
    {TSecurity::StartTls, QLatin1StringView("starttls"), kel::TPopSecurity::StartTls},
    {TSecurity::None, QLatin1StringView("none"), kel::TPopSecurity::None},
};

const auto& RowOf(TSecurity Security) {
    for (const auto& row : kSecurities)
        if (row.Security == Security)
            return row;
    // An enum value outside the three is a cast gone wrong; the safest
    // reading of it is the encrypted one.
    return kSecurities[0];
}

} // namespace

QLatin1StringView SecurityText(TSecurity Security) {
    return RowOf(Security).Text;
}

std::optional<TSecurity> ParseSecurity(const QString& Text) {
    for (const auto& row : kSecurities)
        if (Text == row.Text)
            return row.Security;
    return std::nullopt;
}

TSecurity SecurityFromText(const QString& Text, TSecurity Unknown) {
    return ParseSecurity(Text).value_or(Unknown);
}

TSecurity DefaultSecurity(const QString& Server) {
    return IsLoopbackHost(ParseServerField(Server).Host) ? TSecurity::None : TSecurity::Tls;
}

kel::TPopSecurity PopSecurity(TSecurity Security) {
    return RowOf(Security).Pop;
}

} // namespace sweepbox
