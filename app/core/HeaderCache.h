// What a mailbox held when it was last listed: each message's header text
// (as TOP n 0 gave it) and LIST size, keyed by its UIDL, one file per
// account (server, port, user) in the user's cache folder. A file that is
// damaged, cut short, of another version or of another account reads as no
// file at all, so the next listing asks the server again and writes it anew.
//
// The file: "SWBXHDRC", the format version (32 bits), the SHA-256 of the
// account, the entry count (32 bits), the entries (the UIDL's length in one
// byte and the UIDL, the size in 64 bits, the header's length in 32 bits and
// the header), then the SHA-256 of everything before it; numbers little
// endian. Its name is a digest of the account, so the user name cannot be
// read from it; it is the user's alone (0600 in a 0700 folder), replaced
// whole by a rename, and two programs writing it take turns under a lock.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sweepbox {

struct TCachedHeader {
    std::string Header;
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
    static constexpr uint32_t FormatVersion = 1;

    QString FilePath() const { return Path_; }

    // Reads the account's file. False, with no entries, when there is none
    // or it cannot be trusted (see above); then a listing marks nothing new.
    bool Load();
    bool Loaded() const { return Loaded_; }
    size_t Count() const { return Entries_.size(); }
    // The entry of Uidl; nullptr when there is none.
    const TCachedHeader* Find(const std::string& Uidl) const;

    // Replaces the file with exactly Entries (in their order). False, the
    // file as it was, when it could not be written or another program held
    // the lock for longer than a second; Reason() says why.
    bool Save(const std::vector<THeaderCacheEntry>& Entries);
    const QString& Reason() const { return Reason_; }

  private:
    QString Folder_;
    QString Path_;
    QByteArray Account_; // SHA-256 of the account
    std::unordered_map<std::string, TCachedHeader> Entries_;
    bool Loaded_ = false;
    QString Reason_;
};

} // namespace sweepbox
