// Saving bytes under a name the user chose. A file is written whole or not
// at all: the bytes go into a temporary file beside it, renamed over it only
// once everything is written, so a failed or cancelled save leaves the old
// file (or none) under that name, never a part. A character device is
// written in place instead, since a rename would put a file where the device
// was. Every failure carries the system's reason, in words for the user.
#pragma once

#include <QSaveFile>
#include <QString>

#include <functional>
#include <string_view>

namespace sweepbox {

// Writes one piece of what is saved; false once it could not.
using TWriteBytes = std::function<bool(std::string_view Bytes)>;
// Hands everything to be saved to Write, piece by piece; false stops the save.
using TProduceBytes = std::function<bool(const TWriteBytes& Write)>;

// A file filled piece by piece while its source is read: Open, Write as the
// pieces come, then Commit, or Cancel (or destroy it uncommitted) to leave
// the name as it was.
class TAtomicFile {
  public:
    explicit TAtomicFile(const QString& Path);
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    bool Open();
    // All of Bytes, or false with the reason.
    bool Write(std::string_view Bytes);
    // Puts the file in place of Path; false with the reason, Path unchanged.
    bool Commit();
    void Cancel();
    // Why the last step failed.
    QString Reason() const { return Reason_.isEmpty() ? File_.errorString() : Reason_; }

  private:
    void KeepReason();

    QSaveFile File_;
    QString Reason_;
};

enum class TSaveResult {
    Saved,
    Failed,   // the reason says why
    NotAFile, // a pipe, socket or block device: nothing was written
};

// Writes what Produce hands over to Path: atomically for a file or a name
// not taken yet, in place for a character device.
TSaveResult SaveBytes(const QString& Path, const TProduceBytes& Produce, QString& Reason);

} // namespace sweepbox
