#include "app/core/HeaderCache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <cstring>

namespace sweepbox {

namespace {

constexpr char kMagic[8] = {'S', 'W', 'B', 'X', 'H', 'D', 'R', 'C'};
constexpr int kDigestBytes = 32;
constexpr int kChecksumBytes = 8;
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
    const auto it = Places_.find(Uidl);
    return it == Places_.end() ? nullptr : &Entries_[it->second];
}

uint64_t THeaderCache::Checksum(std::string_view Bytes) {
    constexpr uint64_t P1 = 0x9E3779B185EBCA87u, P2 = 0xC2B2AE3D27D4EB4Fu, P3 = 0x165667B19E3779F9u,
                       P4 = 0x85EBCA77C2B2AE63u, P5 = 0x27D4EB2F165667C5u;
    const auto rotl = [](uint64_t X, int R) { return (X << R) | (X >> (64 - R)); };
    const auto round = [&](uint64_t Acc, uint64_t Input) { return rotl(Acc + Input * P2, 31) * P1; };
    const auto merge = [&](uint64_t Acc, uint64_t Lane) { return (Acc ^ round(0, Lane)) * P1 + P4; };
    // Little endian whatever the machine, as the file's numbers are.
    const auto load = [](const char* At, int Bytes) {
        uint64_t v = 0;
        for (int i = 0; i < Bytes; ++i)
            v |= uint64_t{static_cast<unsigned char>(At[i])} << (8 * i);
        return v;
    };
    const char* p = Bytes.data();
    const char* const end = p + Bytes.size();
    uint64_t h = 0;
    if (Bytes.size() >= 32) {
        uint64_t v1 = P1 + P2, v2 = P2, v3 = 0, v4 = 0 - P1;
        for (; end - p >= 32; p += 32) {
            v1 = round(v1, load(p, 8));
            v2 = round(v2, load(p + 8, 8));
            v3 = round(v3, load(p + 16, 8));
            v4 = round(v4, load(p + 24, 8));
        }
        h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
        h = merge(merge(merge(merge(h, v1), v2), v3), v4);
    } else {
        h = P5;
    }
    h += Bytes.size();
    for (; end - p >= 8; p += 8)
        h = rotl(h ^ round(0, load(p, 8)), 27) * P1 + P4;
    if (end - p >= 4) {
        h = rotl(h ^ (load(p, 4) * P1), 23) * P2 + P3;
        p += 4;
    }
    for (; p < end; ++p)
        h = rotl(h ^ (static_cast<unsigned char>(*p) * P5), 11) * P1;
    h ^= h >> 33;
    h *= P2;
    h ^= h >> 29;
    h *= P3;
    return h ^ (h >> 32);
}

bool THeaderCache::Load() {
    Entries_.clear();
    Places_.clear();
    Bytes_.clear();
    Loaded_ = false;
    QFile file(Path_);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxFileBytes ||
        file.size() < static_cast<qint64>(kHeadBytes + kChecksumBytes))
        return false;
    // One read into a buffer of the file's size; the entries are views
    // into it. A file that grew or shrank since is caught by the checksum
    // or the read's count.
    QByteArray bytes(static_cast<qsizetype>(file.size()), Qt::Uninitialized);
    if (file.read(bytes.data(), bytes.size()) != bytes.size())
        return false;
    const std::string_view all(bytes.constData(), static_cast<size_t>(bytes.size()));
    const std::string_view body = all.substr(0, all.size() - kChecksumBytes);
    TReader sum(all.substr(body.size()));
    uint64_t stored = 0;
    if (!sum.Number(kChecksumBytes, stored) || stored != Checksum(body))
        return false;
    TReader in(body);
    std::string_view magic, account;
    uint64_t version = 0, count = 0;
    if (!in.Take(sizeof kMagic, magic) || std::memcmp(magic.data(), kMagic, sizeof kMagic) != 0 ||
        !in.Number(4, version) || version != FormatVersion || !in.Take(kDigestBytes, account) ||
        QByteArrayView(account.data(), kDigestBytes) != Account_ || !in.Number(4, count) || count > kMaxEntries ||
        count > in.Left() / kEntryFixedBytes)
        return false;
    std::vector<TCachedHeader> entries;
    std::unordered_map<std::string_view, uint32_t> places;
    entries.reserve(static_cast<size_t>(count));
    places.reserve(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t uidlBytes = 0, size = 0, headerBytes = 0;
        std::string_view uidl, header;
        if (!in.Number(1, uidlBytes) || !in.Take(static_cast<size_t>(uidlBytes), uidl) || !ValidUidl(uidl) ||
            !in.Number(8, size) || !in.Number(4, headerBytes) || headerBytes > MaxHeaderBytes ||
            !in.Take(static_cast<size_t>(headerBytes), header))
            return false;
        // A UIDL twice cannot come from one listing.
        if (!places.try_emplace(uidl, static_cast<uint32_t>(i)).second)
            return false;
        entries.push_back({uidl, header, size});
    }
    if (in.Left() != 0)
        return false;
    Bytes_ = std::move(bytes);
    Entries_ = std::move(entries);
    Places_ = std::move(places);
    Loaded_ = true;
    return true;
}

QByteArray THeaderCache::Pack(const std::vector<THeaderCacheEntry>& Entries) const {
    // What the file will hold, so the buffer is made once at its size.
    std::vector<const THeaderCacheEntry*> kept;
    kept.reserve(std::min<size_t>(Entries.size(), kMaxEntries));
    size_t total = kHeadBytes + kChecksumBytes;
    for (const THeaderCacheEntry& e : Entries) {
        if (kept.size() == kMaxEntries)
            break;
        if (!ValidUidl(e.Uidl) || e.Header.size() > MaxHeaderBytes)
            continue;
        const size_t bytes = kEntryFixedBytes + e.Uidl.size() + e.Header.size();
        if (static_cast<int64_t>(total + bytes) > MaxFileBytes)
            break;
        total += bytes;
        kept.push_back(&e);
    }
    QByteArray out;
    out.reserve(static_cast<qsizetype>(total));
    out.append(kMagic, sizeof kMagic);
    PutNumber(out, FormatVersion, 4);
    out.append(Account_);
    PutNumber(out, kept.size(), 4);
    for (const THeaderCacheEntry* e : kept) {
        PutNumber(out, e->Uidl.size(), 1);
        out.append(e->Uidl.data(), static_cast<qsizetype>(e->Uidl.size()));
        PutNumber(out, e->Size, 8);
        PutNumber(out, e->Header.size(), 4);
        out.append(e->Header.data(), static_cast<qsizetype>(e->Header.size()));
    }
    return out;
}

bool THeaderCache::Write(QByteArray Packed) {
    Reason_.clear();
    PutNumber(Packed, Checksum(std::string_view(Packed.constData(), static_cast<size_t>(Packed.size()))),
              kChecksumBytes);
    QDir dir;
    if (!dir.mkpath(Folder_)) {
        Reason_ = QStringLiteral("cannot create ") + Folder_;
        return false;
    }
    QFile::setPermissions(Folder_, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

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
    if (file.write(Packed) != Packed.size() || !file.commit()) {
        Reason_ = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

void THeaderCacheWorker::Start(std::function<void()> Job) {
    Thread_ = std::thread([before = std::move(Thread_), job = std::move(Job)]() mutable {
        if (before.joinable())
            before.join();
        job();
    });
}

void THeaderCacheWorker::Wait() {
    if (Thread_.joinable())
        Thread_.join();
}

} // namespace sweepbox
