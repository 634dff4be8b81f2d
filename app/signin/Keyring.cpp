#include "app/signin/Keyring.h"

#include <qt6keychain/keychain.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

namespace sweepbox {

namespace {

const QString SecretServiceName = QStringLiteral("org.freedesktop.secrets");

// One question to the bus daemon; nullopt when it did not answer in time.
std::optional<QVariant> AskBus(QDBusConnection& Bus, const QString& Method, const QVariantList& Args,
                               int LimitMs) {
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("/org/freedesktop/DBus"),
                                                       QStringLiteral("org.freedesktop.DBus"), Method);
    call.setArguments(Args);
    const QDBusMessage reply = Bus.call(call, QDBus::Block, LimitMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply.arguments().constFirst();
}

// Whether this desktop has no Secret Service at all: no session bus, or one
// on which nobody serves it and nothing would start it. Asked only after a
// job failed for a reason QtKeychain could not name, since libsecret reports
// a missing bus or service as any other failure. Unsure (the bus did not
// answer) counts as there.
bool NoSecretService(int LimitMs) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return true;
    const QDeadlineTimer deadline(qMax(LimitMs, 1));
    const auto owned = AskBus(bus, QStringLiteral("NameHasOwner"), {SecretServiceName},
                              qMax(1, int(deadline.remainingTime())));
    if (!owned || owned->toBool())
        return false;
    const auto startable = AskBus(bus, QStringLiteral("ListActivatableNames"), {},
                                  qMax(1, int(deadline.remainingTime())));
    return startable && !startable->toStringList().contains(SecretServiceName);
}

// Runs Job until it finishes or LimitMs pass; Done reads a finished job's
// answer. A job past the limit is let go rather than deleted: QtKeychain's
// backends hold it and call back into it when the keyring finally answers,
// and it deletes itself then.
TKeyringResult RunJob(std::unique_ptr<QKeychain::Job> Job, int LimitMs,
                      const std::function<void(QKeychain::Job&, TKeyringResult&)>& Done = {}) {
    const QDeadlineTimer deadline(qMax(LimitMs, 0));
    Job->setAutoDelete(false);
    // A backend that cannot reach its store must fail, never write the
    // secret into a settings file instead.
    Job->setInsecureFallback(false);

    TKeyringResult result;
    QEventLoop loop;
    bool finished = false;
    QObject::connect(Job.get(), &QKeychain::Job::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(qMax(LimitMs, 0));
    Job->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (!finished) {
        result.TimedOut = true;
        result.Detail = QStringLiteral("the keyring did not answer within %1 ms").arg(LimitMs);
        Job->setAutoDelete(true);
        Job.release();
        return result;
    }
    result.Status = KeyringStatusOf(Job->error());
    if (result.Status == TKeyringStatus::Ok) {
        if (Done)
            Done(*Job, result);
        return result;
    }
    result.Detail = Job->errorString();
    if (Job->error() == QKeychain::OtherError && NoSecretService(int(deadline.remainingTime())))
        result.Status = TKeyringStatus::Unavailable;
    return result;
}

} // namespace

TKeyringStatus KeyringStatusOf(int KeychainError) {
    switch (KeychainError) {
    case QKeychain::NoError:
        return TKeyringStatus::Ok;
    case QKeychain::EntryNotFound:
        return TKeyringStatus::NotFound;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
        return TKeyringStatus::Unavailable;
    case QKeychain::AccessDenied:
    case QKeychain::AccessDeniedByUser:
        return TKeyringStatus::Locked;
    default:
        return TKeyringStatus::Failed;
    }
}

TKeyringResult TKeyring::Find(const QString& Key) {
    auto job = std::make_unique<QKeychain::ReadPasswordJob>(Service);
    job->setKey(Key);
    return RunJob(std::move(job), LimitMs, [](QKeychain::Job& Done, TKeyringResult& Result) {
        Result.Secret = static_cast<QKeychain::ReadPasswordJob&>(Done).textData();
    });
}

TKeyringResult TKeyring::Store(const QString& Key, const QString& Secret) {
    auto job = std::make_unique<QKeychain::WritePasswordJob>(Service);
    job->setKey(Key);
    job->setTextData(Secret);
    return RunJob(std::move(job), LimitMs);
}

TKeyringResult TKeyring::Remove(const QString& Key) {
    auto job = std::make_unique<QKeychain::DeletePasswordJob>(Service);
    job->setKey(Key);
    return RunJob(std::move(job), LimitMs);
}

} // namespace sweepbox
