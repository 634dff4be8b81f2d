#include "app/core/SignIn.h"

namespace sweepbox {

QString SignInWord(TSignIn SignIn) {
    return SignIn == TSignIn::OAuth2 ? QStringLiteral("oauth2") : QStringLiteral("password");
}

TSignIn SignInFromWord(const QString& Word) {
    return Word.trimmed().compare(QLatin1String("oauth2"), Qt::CaseInsensitive) == 0 ? TSignIn::OAuth2
                                                                                      : TSignIn::Password;
}

namespace {

bool IsMicrosoftHost(const QString& host) {
    for (const char* name : {"outlook.office365.com", "pop-mail.outlook.com", "pop.office365.com"})
        if (host == QLatin1String(name))
            return true;
    return false;
}

QString Canonical(const QString& Host) {
    QString host = Host.trimmed().toLower();
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    return host;
}

} // namespace

TOAuth2Provider PresetProvider(const QString& Host) {
    const QString host = Canonical(Host);
    TOAuth2Provider provider;
    if (host == QLatin1String("pop.gmail.com")) {
        provider.AuthorizationUrl = QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth");
        provider.TokenUrl = QStringLiteral("https://oauth2.googleapis.com/token");
        provider.Scope = QStringLiteral("https://mail.google.com/");
    } else if (IsMicrosoftHost(host)) {
        provider.AuthorizationUrl = QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/authorize");
        provider.TokenUrl = QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/token");
        provider.Scope = QStringLiteral("https://outlook.office.com/POP.AccessAsUser.All offline_access");
    }
    return provider;
}

bool DefaultsToOAuth2(const QString& Host) { return IsMicrosoftHost(Canonical(Host)); }

QString PasswordKeyName(const QString& HostPort, const QString& User) {
    return QStringLiteral("password:") + User + QLatin1Char('@') + HostPort;
}

QString RefreshTokenKeyName(const QString& HostPort, const QString& User) {
    return QStringLiteral("oauth2-refresh:") + User + QLatin1Char('@') + HostPort;
}

} // namespace sweepbox
