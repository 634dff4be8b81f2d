// The rows of the message list: the header fields read by summary::Fields,
// kept as the bytes the server sent, and the keys the list sorts by. The
// screen text (sender and subject decoded: RFC 2047, their charsets) is made
// from the bytes when a row is shown, not while the mailbox is listed.
#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TListRow {
    int Number = 0;
    uint64_t Size = 0;
    bool HasSize = false;
    bool DateParsed = false;
    bool SenderGiven = false; // SenderBytes is the From field, not the fallback text
    // Its UIDL was not in the header cache when the mailbox was opened:
    // it arrived since the account was last listed.
    bool New = false;
    int64_t Date = 0;         // seconds since 1970, UTC
    // What the cells show, as received (see summary::Fields): the LIST size
    // text, the date cell, the From value and the Subject value (or their
    // fallback texts).
    std::string SizeText, DateBytes, SenderBytes, SubjectBytes;
    // The charset the message declares, for raw 8-bit bytes in the cells;
    // empty when the cells are plain ASCII, which it cannot change.
    std::string Charset;

    // The whole row for the list: " n |size |date|sender|subject|".
    QString Text() const;
    // The cells of Text (no cell holds a "|").
    QString Sender() const;
    QString Subject() const;
};

// The row of message Number from its LIST size text and TOP header text.
TListRow MakeListRow(int Number, const std::string& SizeText, std::string_view Header, bool German);
// The size cells of Row from a LIST size text, as MakeListRow sets them.
void SetListSize(TListRow& Row, const std::string& SizeText);

// The sender cell for a From value: the display name where there is one
// (a quoted or plain phrase before "<", or a comment after the address),
// else the address; encoded words decoded, raw bytes read as DisplayText
// with Charset does.
QString SenderCell(const std::string& From, const std::string& Charset = std::string());

// A cell's text: hidden controls (IsHiddenControl) shown as blanks, "|" as "/", at most
// kMaxCell characters.
constexpr int kMaxCell = 500;
QString CellText(QString Text);

// The columns the list sorts by: number, size, date, sender, subject.
enum class TSortColumn { Number = 0, Size, Date, Sender, Subject };
// Rows in the order of Column; ties keep the order by number. Unparsable
// dates and missing sizes go last in either direction.
void SortRows(std::vector<TListRow>& Rows, TSortColumn Column, bool Descending);
