// The readable text of a retrieved message, as the message window shows it:
// the text lines converted from the charset the message declares, and an
// HTML message without a plain alternative as the text a reader sees in its
// markup. Widget-free, so a preview and a test read the same text.
#pragma once

#include <QString>
#include <QStringList>

#include <string>

namespace kel {
class TKelMsg;
}

// The first MaxLines lines of the message's text (all of them for a
// negative MaxLines): each text line converted from Msg.TextCharSet as
// TCharsetDecoder::Decode does, a NUL shown as ShowNul does; for an
// HTML-only message (IsHtmlOnly) the lines HtmlToText makes of its markup
// (DecodeMarkup), converted only as far as MaxLines needs.
QStringList ReadableLines(const kel::TKelMsg& Msg, qsizetype MaxLines = -1);

// Markup bytes in Charset: in one conversion where all of them fit the
// charset, else line by line (each line on its own, so one line that does
// not fit falls back without changing the others). Lines end with '\n'.
QString DecodeMarkup(const std::string& Bytes, const std::string& Charset);

// A NUL in message text as the symbol for one (one character for one, so
// lengths stay), not drawn as nothing: what follows it is there.
QString ShowNul(QString Text);
