// What a mailbox held when it was last listed: each message's header text
// (as TOP n 0 gave it) and LIST size, keyed by its UIDL, one file per
// account (server, port, user) in the user's cache folder. A file that is
// damaged, cut short, of another version or of another account reads as no
// file at all, so the next listing asks the server again and writes it anew.
//
// The file: "SWBXHDRC", the format version (32 bits), the SHA-256 of the
// account, the entry count (32 bits), the entries (the UIDL's length in one
// byte and the UIDL, the size in 64 bits, the header's length in 32 bits and
// the header), then a 64-bit checksum of everything before it (Checksum);
// numbers little endian. The checksum finds damage, not forgery: the file
// is the user's alone (0600 in a 0700 folder), and its name is a digest of
// the account, so the user name cannot be read from it. It is replaced
// whole by a rename, and two programs writing it take turns under a lock.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace sweepbox {

// One message the cache holds: views into the file's bytes, which the cache
// keeps until its next Load or its end.
struct TCachedHeader {
    std::string_view Uidl;
    std::string_view Header;
    uint64_t Size = 0;
};

// One message to keep: views into the caller's texts, valid during Save.
struct THeaderCacheEntry {
    std::string_view Uidl;
    std::string_view Header;
    uint64_t Size = 0;
};

class THeaderCache {
  public:
    // The cache of one account in Folder; nothing is read before Load.
    THeaderCache(const QString& Folder, const QString& Server, uint16_t Port, const QString& User);

    // $XDG_CACHE_HOME/Larkmoor/Sweepbox (~/.cache/... without it).
    static QString DefaultFolder();

    // Bounds: a file larger than MaxFileBytes is not read (nor written
    // larger: the entries past it are left out and listed by TOP next
    // time); a header above MaxHeaderBytes is never kept.
    static constexpr int64_t MaxFileBytes = 256 << 20;
    static constexpr size_t MaxHeaderBytes = 256 << 10;
    static constexpr uint32_t FormatVersion = 2;
    // The file's checksum of Bytes: XXH64 with seed 0, fast enough to
    // leave no mark beside reading the file.
    static uint64_t Checksum(std::string_view Bytes);

    QString FilePath() const { return Path_; }

    // Reads the account's file in one read. False, with no entries, when
    // there is none or it cannot be trusted (see above); then a listing
    // marks nothing new.
    bool Load();
    bool Loaded() const { return Loaded_; }
    size_t Count() const { return Entries_.size(); }
    // The entries in the file's order (the server's order when it was
    // written).
    const std::vector<TCachedHeader>& Entries() const { return Entries_; }
    // The entry of Uidl, one of Entries(); nullptr when there is none.
    const TCachedHeader* Find(const std::string& Uidl) const;

    // Replaces the file with exactly Entries (in their order). False, the
    // file as it was, when it could not be written or another program held
    // the lock for longer than a second; Reason() says why.
    bool Save(const std::vector<THeaderCacheEntry>& Entries) { return Write(Pack(Entries)); }
    const QString& Reason() const { return Reason_; }
    // Save in two steps, for a caller that writes on another thread (see
    // THeaderCacheWorker): Pack makes the file's bytes, all but the
    // checksum, from Entries, which may go once it returns; Write seals them
    // and replaces the file, as Save does.
    QByteArray Pack(const std::vector<THeaderCacheEntry>& Entries) const;
    bool Write(QByteArray Packed);

  private:
    QString Folder_;
    QString Path_;
    QByteArray Account_; // SHA-256 of the account
    // The file as read; the entries' views point into it.
    QByteArray Bytes_;
    std::vector<TCachedHeader> Entries_;
    // Each entry's place in Entries_, by its UIDL.
    std::unordered_map<std::string_view, uint32_t> Places_;
    bool Loaded_ = false;
    QString Reason_;
};

// Runs the cache's slow work (reading the file and making rows of it,
// writing it) on a thread of its own, so that it never holds the window:
// one job after the other, in the order they were started, so a file is
// read only once the write before it is over. What a job leaves is read
// after Wait; Wait, and the worker's end, wait for the last job, so nothing
// is lost when the program closes.
class THeaderCacheWorker {
  public:
    THeaderCacheWorker() = default;
    ~THeaderCacheWorker() { Wait(); }
    THeaderCacheWorker(const THeaderCacheWorker&) = delete;
    THeaderCacheWorker& operator=(const THeaderCacheWorker&) = delete;

    // Job runs once the jobs before it have ended.
    void Start(std::function<void()> Job);
    // Returns once no job runs.
    void Wait();

  private:
    // The last job's thread; it joins the one before it first.
    std::thread Thread_;
};

} // namespace sweepbox
