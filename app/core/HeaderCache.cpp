#include "app/core/HeaderCache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <cstring>

namespace sweepbox {

namespace {

constexpr char kMagic[8] = {'S', 'W', 'B', 'X', 'H', 'D', 'R', 'C'};
constexpr int kDigestBytes = 32;
// Magic, version, account, count; the checksum follows the entries.
constexpr size_t kHeadBytes = sizeof kMagic + 4 + kDigestBytes + 4;
// Each entry's fixed part: UIDL length, size, header length.
constexpr size_t kEntryFixedBytes = 1 + 8 + 4;
// A UIDL is 1 to 70 characters (RFC 1939); the count never passes what the
// POP3 component numbers.
constexpr size_t kMaxUidl = 70;
constexpr uint32_t kMaxEntries = 65535;
constexpr int kLockWaitMs = 1000;

void PutNumber(QByteArray& Out, uint64_t Value, int Bytes) {
    for (int i = 0; i < Bytes; ++i)
        Out.append(static_cast<char>((Value >> (8 * i)) & 0xff));
}

// Reads the file's bytes from the front, never past their end.
class TReader {
  public:
    explicit TReader(std::string_view Bytes) : Bytes_(Bytes) {}
    bool Number(int Bytes, uint64_t& Value) {
        if (Left() < static_cast<size_t>(Bytes))
            return false;
        Value = 0;
        for (int i = 0; i < Bytes; ++i)
            Value |= uint64_t{static_cast<unsigned char>(Bytes_[At_ + i])} << (8 * i);
        At_ += static_cast<size_t>(Bytes);
        return true;
    }
    bool Take(size_t Count, std::string_view& Out) {
        if (Left() < Count)
            return false;
        Out = Bytes_.substr(At_, Count);
        At_ += Count;
        return true;
    }
    size_t Left() const { return Bytes_.size() - At_; }

  private:
    std::string_view Bytes_;
    size_t At_ = 0;
};

bool ValidUidl(std::string_view Uidl) {
    if (Uidl.empty() || Uidl.size() > kMaxUidl)
        return false;
    for (const char c : Uidl)
        if (c < 0x21 || c > 0x7e)
            return false;
    return true;
}

} // namespace

THeaderCache::THeaderCache(const QString& Folder, const QString& Server, uint16_t Port, const QString& User)
    : Folder_(Folder) {
    // The server as typed may differ in case; the user name is kept as it is.
    QByteArray account = Server.toLower().toUtf8();
    account.append('\0').append(QByteArray::number(Port)).append('\0').append(User.toUtf8());
    Account_ = QCryptographicHash::hash(account, QCryptographicHash::Sha256);
    Path_ = QDir(Folder_).filePath(QString::fromLatin1(Account_.left(16).toHex()) + QStringLiteral(".hdrcache"));
}

QString THeaderCache::DefaultFolder() {
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    // The XDG rule: a relative path is to be ignored.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/Larkmoor/Sweepbox");
}

const TCachedHeader* THeaderCache::Find(const std::string& Uidl) const {
    const auto it = Entries_.find(Uidl);
    return it == Entries_.end() ? nullptr : &it->second;
}

bool THeaderCache::Load() {
    Entries_.clear();
    Loaded_ = false;
    QFile file(Path_);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxFileBytes)
        return false;
    const QByteArray bytes = file.read(MaxFileBytes + 1);
    if (bytes.size() > MaxFileBytes || static_cast<size_t>(bytes.size()) < kHeadBytes + kDigestBytes)
        return false;
    const std::string_view all(bytes.constData(), static_cast<size_t>(bytes.size()));
    const std::string_view body = all.substr(0, all.size() - kDigestBytes);
    if (QCryptographicHash::hash(QByteArrayView(body.data(), static_cast<qsizetype>(body.size())),
                                 QCryptographicHash::Sha256) !=
        QByteArrayView(all.data() + body.size(), kDigestBytes))
        return false;
    TReader in(body);
    std::string_view magic, account;
    uint64_t version = 0, count = 0;
    if (!in.Take(sizeof kMagic, magic) || std::memcmp(magic.data(), kMagic, sizeof kMagic) != 0 ||
        !in.Number(4, version) || version != FormatVersion || !in.Take(kDigestBytes, account) ||
        QByteArrayView(account.data(), kDigestBytes) != Account_ || !in.Number(4, count) || count > kMaxEntries ||
        count > in.Left() / kEntryFixedBytes)
        return false;
    std::unordered_map<std::string, TCachedHeader> entries;
    entries.reserve(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t uidlBytes = 0, size = 0, headerBytes = 0;
        std::string_view uidl, header;
        if (!in.Number(1, uidlBytes) || !in.Take(static_cast<size_t>(uidlBytes), uidl) || !ValidUidl(uidl) ||
            !in.Number(8, size) || !in.Number(4, headerBytes) || headerBytes > MaxHeaderBytes ||
            !in.Take(static_cast<size_t>(headerBytes), header))
            return false;
        // A UIDL twice cannot come from one listing.
        if (!entries.try_emplace(std::string(uidl), TCachedHeader{std::string(header), size}).second)
            return false;
    }
    if (in.Left() != 0)
        return false;
    Entries_ = std::move(entries);
    Loaded_ = true;
    return true;
}

bool THeaderCache::Save(const std::vector<THeaderCacheEntry>& Entries) {
    Reason_.clear();
    QDir dir;
    if (!dir.mkpath(Folder_)) {
        Reason_ = QStringLiteral("cannot create ") + Folder_;
        return false;
    }
    QFile::setPermissions(Folder_, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    QByteArray out;
    out.append(kMagic, sizeof kMagic);
    PutNumber(out, FormatVersion, 4);
    out.append(Account_);
    const qsizetype countAt = out.size();
    PutNumber(out, 0, 4);
    uint32_t count = 0;
    for (const THeaderCacheEntry& e : Entries) {
        if (count == kMaxEntries)
            break;
        if (!ValidUidl(e.Uidl) || e.Header.size() > MaxHeaderBytes)
            continue;
        const size_t bytes = kEntryFixedBytes + e.Uidl.size() + e.Header.size();
        if (static_cast<int64_t>(out.size() + bytes + kDigestBytes) > MaxFileBytes)
            break;
        PutNumber(out, e.Uidl.size(), 1);
        out.append(e.Uidl.data(), static_cast<qsizetype>(e.Uidl.size()));
        PutNumber(out, e.Size, 8);
        PutNumber(out, e.Header.size(), 4);
        out.append(e.Header.data(), static_cast<qsizetype>(e.Header.size()));
        ++count;
    }
    for (int i = 0; i < 4; ++i)
        out[countAt + i] = static_cast<char>((count >> (8 * i)) & 0xff);
    out.append(QCryptographicHash::hash(out, QCryptographicHash::Sha256));

    // The rename alone keeps a reader from a half-written file; the lock
    // keeps two writers from replacing each other's file mid-way.
    QLockFile lock(Path_ + QStringLiteral(".lock"));
    if (!lock.tryLock(kLockWaitMs)) {
        Reason_ = QStringLiteral("another program holds the cache's lock");
        return false;
    }
    QSaveFile file(Path_);
    if (!file.open(QIODevice::WriteOnly)) {
        Reason_ = file.errorString();
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(out) != out.size() || !file.commit()) {
        Reason_ = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

} // namespace sweepbox
