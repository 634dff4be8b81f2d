// The names under which the main window keeps its settings, and what it
// starts from where a setting is missing. Every value is stored as text.
// Renaming a key loses what earlier runs stored under it.
#pragma once

#include <QLatin1StringView>
#include <QString>

#include <array>

namespace sweepbox::settings {

// The remembered server/user pairs, numbered from 1: User<n>, Server<n> and
// Security<n> ("tls", "starttls" or "none"). The newest pair has the highest
// number; no more than kRememberedPairs are kept.
inline constexpr int kRememberedPairs = 10;
inline QString UserKey(int n) { return QStringLiteral("User%1").arg(n); }
inline QString ServerKey(int n) { return QStringLiteral("Server%1").arg(n); }
inline QString SecurityKey(int n) { return QStringLiteral("Security%1").arg(n); }
// How each pair signs in: SignIn<n> ("password", the default when missing,
// or "oauth2"), TokenCommand<n> (the command that prints an OAuth2 access
// token; empty: the browser) and KeepPassword<n> ("yes" where the user asked
// the desktop's keyring to keep the password; the password itself is never
// stored here).
inline QString SignInKey(int n) { return QStringLiteral("SignIn%1").arg(n); }
inline QString TokenCommandKey(int n) { return QStringLiteral("TokenCommand%1").arg(n); }
inline QString KeepPasswordKey(int n) { return QStringLiteral("KeepPassword%1").arg(n); }

// The window's place and size.
inline constexpr QLatin1StringView kXPos("XPos");
inline constexpr QLatin1StringView kYPos("YPos");
inline constexpr QLatin1StringView kWidth("Width");
inline constexpr QLatin1StringView kHeight("Height");
inline constexpr int kDefaultXPos = 283;
inline constexpr int kDefaultYPos = 185;
inline constexpr int kDefaultWidth = 458;
inline constexpr int kDefaultHeight = 452;

// The widths of the message list's columns (number, size, date, sender,
// subject) as Sec1 .. Sec5. Without a stored width a column starts at least
// this wide.
inline constexpr int kListColumns = 5;
inline QString ColumnWidthKey(int column) { return QStringLiteral("Sec%1").arg(column + 1); }
inline constexpr std::array<int, kListColumns> kDefaultColumnWidths = {25, 75, 80, 95, 75};

// The column the list is sorted by (0 .. 4; -1 or missing: the server's
// order) and the direction.
inline constexpr QLatin1StringView kSortColumn("SortColumn");
inline constexpr QLatin1StringView kSortOrder("SortOrder");
inline constexpr QLatin1StringView kAscending("ascending");
inline constexpr QLatin1StringView kDescending("descending");

// Trusted certificates: in the group Certificates, the SHA-256 fingerprint
// under the key "host:port".
inline constexpr QLatin1StringView kCertificates("Certificates");
inline QString CertificateKey(const QString& hostPort) { return QString(kCertificates) + QLatin1Char('/') + hostPort; }

// OAuth2 providers: in the group OAuth2Providers/<host>, AuthorizationUrl,
// TokenUrl, ClientId, ClientSecret (a desktop client's, which its provider
// does not treat as confidential) and Scope. A value here wins over the
// built-in one.
inline constexpr QLatin1StringView kOAuth2Providers("OAuth2Providers");
inline QString OAuth2ProviderKey(const QString& host, QLatin1StringView name) {
    return QString(kOAuth2Providers) + QLatin1Char('/') + host + QLatin1Char('/') + name;
}

} // namespace sweepbox::settings
