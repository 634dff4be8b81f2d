// One retrieved mail message: the header fields picked out of it, the text to
// show and the attachments with their decoded bytes, and the parsing of the
// raw lines into all of these.
#pragma once

#include "mail/core/KelBase.h"
#include "mail/core/KelLines.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

class TTempFile;

enum TPriority : uint8_t { prHighest, prHigh, prNormal, prLow, prLowest };
enum TTextEncoding : uint8_t { te8Bit, teBase64 };
// What is known of lines handed to a parse: anything, or split from a text
// by AppendSplitLines (no line holds CR or LF).
enum TLineKind : uint8_t { lkAny, lkSplit };

// Multipart and message/rfc822 entities nested deeper than this are not taken
// apart: such an entity is shown as text, source and all. Keeps the work per
// line and the stack depth bounded whatever the message.
constexpr int MaxNestingDepth = 64;

// One attachment. Its fields are filled by TAttachedFiles::Add and Parse.
class TAttachedFile {
  public:
    TAttachedFile() = default;
    TAttachedFile(const TAttachedFile&) = delete;
    TAttachedFile& operator=(const TAttachedFile&) = delete;

    std::string FileName;            // the name without directory (after the last "\" or ":"); may be empty
    std::string PathName;            // the name given to Add, unchanged
    std::vector<std::string> Lines;  // encoded lines; left filled only when decoding failed
    std::string Data;                // the decoded bytes
    std::string ContentType;         // registered for the name's extension, not taken from the message

    // Writes every byte of Data to the named file, created or replaced.
    // Throws EFileError naming the file and the system's reason.
    void SaveToFile(const std::string& AFileName) const;
};

// The attachments of a message, in message order. Owns its items; an item
// stays at the same address until the collection is cleared or destroyed.
class TAttachedFiles {
  public:
    TAttachedFiles() = default;
    TAttachedFiles(const TAttachedFiles&) = delete;
    TAttachedFiles& operator=(const TAttachedFiles&) = delete;

    // Appends a new, empty attachment named Name: FileName is the part after
    // the last "\" or ":", PathName is Name, ContentType ContentTypeOfFile(Name).
    TAttachedFile& Add(const std::string& Name);
    // 0-based; throws Exception("List index out of bounds (i)") outside 0..Count()-1.
    TAttachedFile& Items(int Index);
    const TAttachedFile& Items(int Index) const;
    int Count() const { return static_cast<int>(FItems.size()); }
    void Clear() { FItems.clear(); }

  private:
    std::vector<std::unique_ptr<TAttachedFile>> FItems;
};

// A message. The POP3 component hands it the received lines (ParseLines);
// everything else is read afterwards. The comments name the header field
// each one comes from.
class TKelMsg : public TObject {
  public:
    // Owner is the object responsible for destroying the message (the POP3
    // component for retrieved ones); it is only recorded here.
    explicit TKelMsg(TObject* AOwner = nullptr);
    ~TKelMsg() override;
    TKelMsg(const TKelMsg&) = delete;
    TKelMsg& operator=(const TKelMsg&) = delete;

    TObject* Owner() const { return FOwner; }

    TPriority Priority = prNormal;       // published; never read
    std::string UserName;                // published; never read
    std::string From;                    // From:, encoded words decoded; else first header line from its 6th character
    std::string Sender;                  // Sender:, formatted address list
    std::string MessageId;               // Message-ID:
    std::string InReplyTo;               // In-Reply-To:
    std::string ReturnPath;              // Return-Path:
    std::string ReplyTo;                 // Reply-To:, formatted address list
    std::string SendTo;                  // To:, formatted address list
    std::string CC;                      // Cc:, formatted address list
    std::string BCC;                     // published; never filled
    std::string Date;                    // Date:, as written
    std::string Subject;                 // Subject:, encoded words decoded
    TTextLines Text;                     // the text parts of the body, in message order
    std::vector<std::string> ExtraHeaders; // published; never read
    TAttachedFiles AttachedFiles;        // the attachment parts, in message order
    std::string ContentType;             // upper case; "TEXT/PLAIN" when absent
    std::string ContentTransferEncoding; // upper case; "7BIT" when absent
    std::vector<std::string> Headers;    // the header lines, folded lines kept apart
    std::string CharSet = "ISO-8859-1";  // published; never changed
    // The charset the Content-Type declares for Text: the top-level one, or
    // for a multipart message the first text part's; empty when none is.
    std::string TextCharSet;
    int32_t Size = 0;                    // octets as the server's LIST gave it
    std::string UIDL;                    // the server's unique id, when asked for
    std::vector<std::string> RawMail;    // the received lines (dot-stuffing undone)
    bool ClearRawMailAfterParse = true;
    TTextEncoding TextEncoding = te8Bit; // published; never read
    // The message exactly as received (dot-stuffing undone, line ends as
    // served), kept by the retrieval in its spool file so that saving it
    // whole costs no second copy in memory; shared, so a window can keep
    // it after the message is gone. Null for messages not retrieved.
    std::shared_ptr<const TTempFile> Original;

    // Fires while ParseLines goes through the lines it was given, after
    // each run of them that it copied into Text, decoded into an attachment
    // or looked over for line ends before taking a multipart entity apart:
    // the parse needs the bytes from Begin to End no more, or (looked over)
    // not before it decodes or copies them. They must stay readable: a
    // failed parse reads every line once more for RawMail. The retrieval
    // lets go of those pages of its mapped spool, so a large text or
    // attachment is not held twice at once.
    std::function<void(const char* Begin, const char* End)> OnLinesCopied;

    // Fills the header-derived fields, Headers, Text and AttachedFiles from
    // RawMail (appending; nothing is emptied first), then empties RawMail when
    // ClearRawMailAfterParse. Does nothing when RawMail is empty.
    // Throws Exception("Oops...") for a uuencoded line outside the uuencode
    // alphabet: what was filled until then stays, the attachment being decoded
    // keeps its encoded Lines and empty Data, RawMail keeps its lines.
    void Parse();

    // Does what appending Lines to RawMail and calling Parse does, without
    // copying the lines when RawMail would be emptied anyway: the retrieval
    // parses the received text where it lies. Lines are only read during
    // the call. RawMail receives the lines when it is to be kept, and when
    // the parse fails ("Oops..."), as after Parse. Lines that come from
    // AppendSplitLines hold no CR or LF: given lkSplit, the parse does not
    // look them over for one before it takes a multipart message apart
    // (lkSplit for lines that do hold one parses them as they are, not as
    // Parse would).
    void ParseLines(std::span<const std::string_view> Lines, TLineKind Kind = lkAny);

  private:
    struct TEntity;
    struct TParseState;

    void ParseMessage(TParseState& State, std::span<const std::string_view> Lines, TLineKind Kind);
    void ParseHeaderFields();
    void ParsePart(TParseState& State, const TEntity& Entity);
    void ParseTextPart(TParseState& State, const TEntity& Entity, const std::string& Encoding);
    // Appends copies of Lines to Text in runs, OnLinesCopied after each.
    void ShowLines(std::span<const std::string_view> Lines);
    // LinesAreSplitClean run by run, telling OnLinesCopied of each.
    bool LooksSplitClean(std::span<const std::string_view> Lines) const;
    // Tells OnLinesCopied that Lines, a run of the lines given, are done with.
    void LinesRead(std::span<const std::string_view> Lines) const;
    void AddAttachment(std::span<const std::string_view> Lines, std::string Name, const std::string& Encoding,
                       bool DropEmptyLinesOnFailure = false);

    TObject* FOwner = nullptr;
};

// ---- parsing steps, also used by tests and tools ----

// The value 0..63 of a character of the uuencode alphabet ("`" and " " are 0,
// "!" to "_" are 1 to 63). Throws Exception("Oops...") for any other character.
uint8_t UUCharValue(char C);

// The uuencode line rule: appends the bytes of one data line to Out. The first
// character gives the count; a count of 45 reads 60 characters, any other the
// rest of the line (at most 60). Throws Exception("Oops...") for a character
// outside the alphabet, or when a 45-byte line is shorter than 61 characters.
// An empty line gives no bytes.
void UUDecodeLine(std::string_view Line, std::string& Out);

// True when Line opens a uuencoded block: longer than 10 characters, "begin"
// in any case, characters 7 to 9 a number from 1 to 776. FileName (when given)
// receives characters 11 on, at most 64.
bool IsUUBeginLine(std::string_view Line, std::string* FileName = nullptr);

// The first begin line of Lines at or after From: its index and file name.
bool FindUUBegin(std::span<const std::string_view> Lines, size_t From, size_t& Pos, std::string& FileName);

// The attachment name of a part as stored: the characters \ / : * ? " < > |
// and control characters removed; "." and ".." become empty.
std::string SanitizeAttachmentName(std::string Name);

} // namespace kel
