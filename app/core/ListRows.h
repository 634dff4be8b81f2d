// The rows of the message list as the user sees them: the header fields
// read by summary::Fields, sender and subject decoded (RFC 2047, their
// charsets), and the keys the list sorts by.
#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

struct TListRow {
    int Number = 0;
    uint64_t Size = 0;
    bool HasSize = false;
    bool DateParsed = false;
    int64_t Date = 0; // seconds since 1970, UTC
    QString Text;     // the whole row for the list: " n |size |date|sender|subject|"
    // The cells of Text (no cell holds a "|").
    QString Sender() const;
    QString Subject() const;
};

// The row of message Number from its LIST size text and TOP header text.
TListRow MakeListRow(int Number, const std::string& SizeText, const std::string& Header, bool German);

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
