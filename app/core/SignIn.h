// How the user signs in to a mailbox, and where an OAuth2 sign-in gets its
// tokens: the built-in providers and those the settings name.
#pragma once

#include <QString>

namespace sweepbox {

enum class TSignIn {
    Password, // SASL with the password (SCRAM first), else USER/PASS
    OAuth2,   // OAUTHBEARER or XOAUTH2 with an access token
};

// The stored word for each choice ("password", "oauth2"); an unknown or
// missing word reads as Password.
QString SignInWord(TSignIn SignIn);
TSignIn SignInFromWord(const QString& Word);

// Where a provider signs a user in and hands out tokens. A provider whose
// desktop clients have no secret leaves ClientSecret empty.
struct TOAuth2Provider {
    QString AuthorizationUrl;
    QString TokenUrl;
    QString ClientId;
    QString ClientSecret;
    QString Scope;
    // Both endpoints are there (a client ID may still be missing).
    bool Known() const { return !AuthorizationUrl.isEmpty() && !TokenUrl.isEmpty(); }
};

// The endpoints and scope built in for Host (lower case compared); an
// empty provider for any other host. No client ID is built in.
TOAuth2Provider PresetProvider(const QString& Host);
// Hosts whose mailboxes take OAuth2 only: a new pair starts with it.
bool DefaultsToOAuth2(const QString& Host);

// The names under which the desktop's keyring keeps a pair's secrets:
// the password, and an OAuth2 refresh token.
QString PasswordKeyName(const QString& HostPort, const QString& User);
QString RefreshTokenKeyName(const QString& HostPort, const QString& User);

} // namespace sweepbox
