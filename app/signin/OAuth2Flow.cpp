#include "app/signin/OAuth2Flow.h"

#include <QAbstractOAuthReplyHandler>
#include <QCryptographicHash>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QOAuth2AuthorizationCodeFlow>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <array>
#include <optional>

namespace sweepbox {

namespace {

// A token answer is a few kilobytes; more is a broken or hostile endpoint.
constexpr qint64 kTokenReplyLimit = 64 * 1024;
// The browser's request line and headers; the redirect's query is in them.
constexpr qint64 kRequestHeadLimit = 16 * 1024;
constexpr int kMaxBrowserConnections = 16;
constexpr int kBrowserIdleMs = 10 * 1000;
// The provider's own words in Detail, never a page of them.
constexpr qsizetype kDetailLimit = 300;

const char* const kTooLarge = "sweepboxTooLarge";

QByteArray RandomBase64Url(int Words) {
    std::array<quint32, 32> words{};
    Q_ASSERT(Words <= int(words.size()));
    QRandomGenerator::system()->fillRange(words.data(), Words);
    return QByteArray(reinterpret_cast<const char*>(words.data()), Words * int(sizeof(quint32)))
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QString Shortened(QString Text) {
    Text = Text.simplified();
    if (Text.size() > kDetailLimit)
        Text = Text.left(kDetailLimit) + QStringLiteral("…");
    return Text;
}

// The provider's "error" and "error_description" (RFC 6749 5.2, 4.1.2.1).
QString ProviderError(const QString& Error, const QString& Description) {
    return Shortened(Description.isEmpty() ? Error : Error + QStringLiteral(": ") + Description);
}

// Every request of the flow goes through here: no redirect followed, and an
// answer larger than kTokenReplyLimit aborted while it arrives.
class TBoundedAccess final : public QNetworkAccessManager {
  protected:
    QNetworkReply* createRequest(Operation Op, const QNetworkRequest& Request, QIODevice* Data) override {
        QNetworkRequest request(Request);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply* reply = QNetworkAccessManager::createRequest(Op, request, Data);
        // Stops reading at one byte past the limit, so downloadProgress
        // below sees the excess even without a Content-Length.
        reply->setReadBufferSize(kTokenReplyLimit + 1);
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 Received, qint64 Total) {
            if (Received > kTokenReplyLimit || Total > kTokenReplyLimit) {
                reply->setProperty(kTooLarge, true);
                reply->abort();
            }
        });
        return reply;
    }
};

// The library's flow, for the authorization address and the token
// requests it builds; the redirect and the answers are handled here.
class TCodeFlow final : public QOAuth2AuthorizationCodeFlow {
  public:
    using QOAuth2AuthorizationCodeFlow::QOAuth2AuthorizationCodeFlow;
    using QOAuth2AuthorizationCodeFlow::buildAuthenticateUrl;
    using QOAuth2AuthorizationCodeFlow::requestAccessToken;
};

struct TPage {
    int Status = 200;
    QByteArray Reason;
    QString Text;
};

// The redirect's listener on 127.0.0.1 (a free port) and the receiver of
// the token endpoint's answers. The browser gets a short plain page; a
// request for anything but the redirect's path gets 404.
class TLoopback final : public QAbstractOAuthReplyHandler {
  public:
    std::function<TPage(const QUrlQuery&)> Redirected;
    std::function<void(QNetworkReply*)> TokenReply;

    bool Listen() {
        if (!Server_.listen(QHostAddress::LocalHost, 0))
            return false;
        Redirect_ = QStringLiteral("http://127.0.0.1:%1/").arg(Server_.serverPort());
        QObject::connect(&Server_, &QTcpServer::newConnection, this, [this] { Accept(); });
        return true;
    }
    // No port stays open, nor a browser's connection.
    void Close() {
        Server_.close();
        const auto sockets = findChildren<QTcpSocket*>();
        for (QTcpSocket* socket : sockets) {
            socket->flush();
            socket->abort();
        }
    }
    QString ListenError() const { return Server_.errorString(); }

    QString callback() const override { return Redirect_; }
    void networkReplyFinished(QNetworkReply* Reply) override {
        if (TokenReply)
            TokenReply(Reply);
    }

  private:
    void Accept() {
        while (QTcpSocket* socket = Server_.nextPendingConnection()) {
            if (findChildren<QTcpSocket*>().size() > kMaxBrowserConnections) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            socket->setParent(this);
            auto* idle = new QTimer(socket);
            idle->setSingleShot(true);
            QObject::connect(idle, &QTimer::timeout, socket, [socket] { socket->abort(); });
            idle->start(kBrowserIdleMs);
            QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            Read(socket);
        }
    }

    void Read(QTcpSocket* Socket) {
        if (Socket->property("answered").toBool()) {
            Socket->readAll(); // whatever the browser sends after its request
            return;
        }
        QByteArray head = Socket->property("head").toByteArray();
        head += Socket->read(kRequestHeadLimit + 1 - head.size());
        const qsizetype end = head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (head.size() > kRequestHeadLimit)
                Answer(Socket, {431, "Request Header Fields Too Large", QStringLiteral("Request too large.")});
            else
                Socket->setProperty("head", head);
            return;
        }
        // "GET /?code=...&state=... HTTP/1.1"
        const QList<QByteArray> request = head.left(head.indexOf("\r\n")).split(' ');
        if (request.size() != 3 || request[0] != "GET" || !request[1].startsWith('/')) {
            Answer(Socket, {400, "Bad Request", QStringLiteral("Bad request.")});
            return;
        }
        const QUrl target(QString::fromLatin1(request[1]), QUrl::StrictMode);
        if (!target.isValid() || target.path() != QLatin1String("/") || !Redirected) {
            Answer(Socket, {404, "Not Found", QStringLiteral("Not found.")});
            return;
        }
        Answer(Socket, Redirected(QUrlQuery(target)));
    }

    static void Answer(QTcpSocket* Socket, const TPage& Page) {
        const QByteArray body = Page.Text.toUtf8() + '\n';
        QByteArray reply = "HTTP/1.1 " + QByteArray::number(Page.Status) + ' ' + Page.Reason +
                           "\r\nContent-Type: text/plain; charset=utf-8\r\nCache-Control: no-store\r\n"
                           "Connection: close\r\nContent-Length: " +
                           QByteArray::number(body.size()) + "\r\n\r\n" + body;
        Socket->setProperty("answered", true);
        Socket->setProperty("head", QVariant());
        Socket->write(reply);
        Socket->flush();
        Socket->disconnectFromHost();
    }

    QTcpServer Server_;
    QString Redirect_ = QStringLiteral("http://127.0.0.1/");
};

struct TTokenAnswer {
    std::optional<TTokenResult> Failure; // unset: Tokens holds the answer
    TOAuth2Tokens Tokens;
};

// Reads the token endpoint's answer (RFC 6749 5.1 and 5.2). Refusal is the
// failure for an answer that is an OAuth2 error.
TTokenAnswer ReadTokenReply(QNetworkReply* Reply, TTokenFailure Refusal) {
    TTokenAnswer answer;
    auto fail = [&answer](TTokenFailure Failure, const QString& Detail) {
        answer.Failure = TTokenResult{Failure, Detail, {}};
        return answer;
    };
    if (Reply->property(kTooLarge).toBool())
        return fail(TTokenFailure::ExchangeFailed, QStringLiteral("the token endpoint's answer is too large"));
    const QByteArray body = Reply->read(kTokenReplyLimit + 1);
    const int status = Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QJsonParseError parseError{};
    const QJsonObject json = QJsonDocument::fromJson(body, &parseError).object();
    const QString error = json.value(QLatin1String("error")).toString();
    if (status >= 400 && status < 500 && !error.isEmpty())
        return fail(Refusal, ProviderError(error, json.value(QLatin1String("error_description")).toString()));
    if (Reply->error() != QNetworkReply::NoError && status == 0)
        return fail(TTokenFailure::ExchangeFailed, Shortened(Reply->errorString()));
    if (status != 200)
        return fail(TTokenFailure::ExchangeFailed,
                    QStringLiteral("the token endpoint answered HTTP %1").arg(status));
    if (parseError.error != QJsonParseError::NoError || json.isEmpty())
        return fail(TTokenFailure::ExchangeFailed, QStringLiteral("the token endpoint's answer is not JSON"));
    answer.Tokens.AccessToken = json.value(QLatin1String("access_token")).toString();
    if (answer.Tokens.AccessToken.isEmpty())
        return fail(TTokenFailure::ExchangeFailed, QStringLiteral("the token endpoint gave no access token"));
    answer.Tokens.RefreshToken = json.value(QLatin1String("refresh_token")).toString();
    // A number, though some endpoints send it as a string.
    const QJsonValue expiresIn = json.value(QLatin1String("expires_in"));
    bool ok = expiresIn.isDouble();
    qint64 seconds = ok ? qint64(expiresIn.toDouble()) : expiresIn.toString().toLongLong(&ok);
    if (ok && seconds > 0 && seconds < 10LL * 365 * 24 * 3600)
        answer.Tokens.ExpiresAt = QDateTime::currentDateTimeUtc().addSecs(seconds);
    return answer;
}

} // namespace

// One Authorize or Refresh: its objects, its loop and its first result.
class TOAuth2Flow::TRun {
  public:
    TRun(const TOAuth2Provider& Provider, int LimitMs) : Flow_(&Access_) {
        Flow_.setAuthorizationUrl(QUrl(Provider.AuthorizationUrl));
        Flow_.setAccessTokenUrl(QUrl(Provider.TokenUrl));
        Flow_.setClientIdentifier(Provider.ClientId);
        Flow_.setClientIdentifierSharedKey(Provider.ClientSecret);
        Flow_.setScope(Provider.Scope);
        Flow_.setReplyHandler(&Handler_);
        Limit_.setSingleShot(true);
        Limit_.setInterval(LimitMs);
        QObject::connect(&Limit_, &QTimer::timeout, &Loop_, [this] {
            Finish(ForeignRedirects_ > 0 && !Exchanging_
                       ? TTokenResult{TTokenFailure::StateMismatch,
                                      QStringLiteral("only redirects of another sign-in came back"), {}}
                       : TTokenResult{TTokenFailure::TimedOut, QStringLiteral("no answer in time"), {}});
        });
    }
    ~TRun() {
        // A reply aborted while the objects go reports to nobody.
        Handler_.Redirected = nullptr;
        Handler_.TokenReply = nullptr;
        Handler_.Close();
    }

    TTokenResult Authorize(const QString& LoginHint, const std::function<void(const QUrl&)>& OpenBrowser) {
        if (!Handler_.Listen())
            return {TTokenFailure::ExchangeFailed,
                    QStringLiteral("cannot listen on 127.0.0.1: ") + Handler_.ListenError(), {}};
        State_ = QString::fromLatin1(RandomBase64Url(8));
        Flow_.setState(State_);
        // RFC 7636: 32 random bytes give a 43-character verifier; twice that
        // stays well inside the 128 allowed.
        const QByteArray verifier = RandomBase64Url(16);
        const QByteArray challenge =
            QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
                .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        Flow_.setModifyParametersFunction(
            [verifier, challenge, LoginHint](QAbstractOAuth::Stage Stage, QMultiMap<QString, QVariant>* Parameters) {
                if (Stage == QAbstractOAuth::Stage::RequestingAuthorization) {
                    Parameters->replace(QStringLiteral("code_challenge"), QString::fromLatin1(challenge));
                    Parameters->replace(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
                    // Encoded here: the library passes values as they are, and
                    // a '+' in an address would arrive as a space.
                    if (!LoginHint.isEmpty())
                        Parameters->replace(QStringLiteral("login_hint"), QUrl::toPercentEncoding(LoginHint));
                } else if (Stage == QAbstractOAuth::Stage::RequestingAccessToken) {
                    Parameters->replace(QStringLiteral("code_verifier"), QString::fromLatin1(verifier));
                }
            });
        Handler_.Redirected = [this](const QUrlQuery& Query) { return Redirected(Query); };
        Handler_.TokenReply = [this](QNetworkReply* Reply) {
            TTokenAnswer answer = ReadTokenReply(Reply, TTokenFailure::ExchangeFailed);
            Finish(answer.Failure ? *answer.Failure : TTokenResult{TTokenFailure::None, {}, answer.Tokens});
        };
        const QUrl url = Flow_.buildAuthenticateUrl();
        Limit_.start();
        OpenBrowser(url);
        return Wait();
    }

    TTokenResult Refresh(const QString& RefreshToken) {
        Flow_.setModifyParametersFunction(
            [](QAbstractOAuth::Stage Stage, QMultiMap<QString, QVariant>* Parameters) {
                if (Stage != QAbstractOAuth::Stage::RefreshingAccessToken)
                    return;
                // RFC 6749 6 has no redirect_uri, and no empty client secret.
                Parameters->remove(QStringLiteral("redirect_uri"));
                if (Parameters->value(QStringLiteral("client_secret")).toString().isEmpty())
                    Parameters->remove(QStringLiteral("client_secret"));
                const QString token = Parameters->value(QStringLiteral("refresh_token")).toString();
                Parameters->replace(QStringLiteral("refresh_token"), QUrl::toPercentEncoding(token));
            });
        Handler_.TokenReply = [this, RefreshToken](QNetworkReply* Reply) {
            TTokenAnswer answer = ReadTokenReply(Reply, TTokenFailure::RefreshRefused);
            if (!answer.Failure && answer.Tokens.RefreshToken.isEmpty())
                answer.Tokens.RefreshToken = RefreshToken;
            Finish(answer.Failure ? *answer.Failure : TTokenResult{TTokenFailure::None, {}, answer.Tokens});
        };
        Flow_.setRefreshToken(RefreshToken);
        Limit_.start();
        Flow_.refreshAccessToken();
        return Wait();
    }

    void Finish(TTokenResult Result) {
        if (Result_)
            return;
        Result_ = std::move(Result);
        Loop_.quit();
    }

  private:
    TPage Redirected(const QUrlQuery& Query) {
        auto item = [&Query](const char* Key) {
            return Query.queryItemValue(QLatin1String(Key), QUrl::FullyDecoded);
        };
        if (Result_ || Exchanging_)
            return {409, "Conflict", QStringLiteral("This sign-in has already ended. You can close this page.")};
        // A redirect without this run's state was not started here: another
        // page or program may send one. It is refused and the wait goes on.
        if (item("state") != State_) {
            ++ForeignRedirects_;
            return {400, "Bad Request",
                    QStringLiteral("This answer does not belong to the sign-in that is waiting.")};
        }
        const QString error = item("error");
        if (!error.isEmpty()) {
            Finish({TTokenFailure::Denied, ProviderError(error, item("error_description")), {}});
            return {200, "OK", QStringLiteral("The sign-in was refused. You can close this page.")};
        }
        const QString code = item("code");
        if (code.isEmpty()) {
            Finish({TTokenFailure::ExchangeFailed, QStringLiteral("the provider sent no authorization code"), {}});
            return {400, "Bad Request", QStringLiteral("No authorization code came back.")};
        }
        Exchanging_ = true;
        Flow_.requestAccessToken(code);
        return {200, "OK", QStringLiteral("Signed in. You can close this page and return to Sweepbox.")};
    }

    TTokenResult Wait() {
        if (!Result_)
            Loop_.exec();
        Limit_.stop();
        Handler_.Close();
        return Result_ ? *Result_ : TTokenResult{TTokenFailure::Cancelled, {}, {}};
    }

    // In this order: the flow goes first, then the requests, and the
    // handler they report to last.
    TLoopback Handler_;
    TBoundedAccess Access_;
    TCodeFlow Flow_;
    QEventLoop Loop_;
    QTimer Limit_;
    QString State_;
    int ForeignRedirects_ = 0;
    bool Exchanging_ = false;
    std::optional<TTokenResult> Result_;
};

TOAuth2Flow::TOAuth2Flow() = default;

TOAuth2Flow::~TOAuth2Flow() = default;

namespace {

// Only web addresses go to the browser and the network: a file or script
// address from the settings is no provider.
bool IsWebAddress(const QString& Address) {
    const QUrl url(Address, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
}

} // namespace

TTokenResult TOAuth2Flow::Authorize(const TOAuth2Provider& Provider, const QString& LoginHint) {
    if (Provider.ClientId.isEmpty())
        return {TTokenFailure::ClientIdMissing, QStringLiteral("no client ID for this provider"), {}};
    if (!IsWebAddress(Provider.AuthorizationUrl) || !IsWebAddress(Provider.TokenUrl))
        return {TTokenFailure::ExchangeFailed, QStringLiteral("no authorization or token address"), {}};
    if (!OpenBrowser)
        return {TTokenFailure::ExchangeFailed, QStringLiteral("no browser to open"), {}};
    if (Run_)
        return {TTokenFailure::Cancelled, QStringLiteral("a sign-in is already running"), {}};
    TRun run(Provider, TimeLimitMs);
    Run_ = &run;
    TTokenResult result = run.Authorize(LoginHint, OpenBrowser);
    Run_ = nullptr;
    return result;
}

TTokenResult TOAuth2Flow::Refresh(const TOAuth2Provider& Provider, const QString& RefreshToken) {
    if (Provider.ClientId.isEmpty())
        return {TTokenFailure::ClientIdMissing, QStringLiteral("no client ID for this provider"), {}};
    if (!IsWebAddress(Provider.TokenUrl))
        return {TTokenFailure::ExchangeFailed, QStringLiteral("no token address"), {}};
    if (RefreshToken.isEmpty())
        return {TTokenFailure::RefreshRefused, QStringLiteral("no refresh token"), {}};
    if (Run_)
        return {TTokenFailure::Cancelled, QStringLiteral("a sign-in is already running"), {}};
    TRun run(Provider, RefreshLimitMs);
    Run_ = &run;
    TTokenResult result = run.Refresh(RefreshToken);
    Run_ = nullptr;
    return result;
}

void TOAuth2Flow::Cancel() {
    if (Run_)
        Run_->Finish({TTokenFailure::Cancelled, QStringLiteral("cancelled"), {}});
}

} // namespace sweepbox
