// Readable text of an HTML body, for the message window. The conversion
// reads markup and writes characters, nothing else: it has no way to load an
// image, a style sheet or any other resource, so showing a message never
// tells its sender that it was read.
#pragma once

#include <QString>

namespace kel {
class TKelMsg;
}

// The text of Html as a reader would see it: paragraphs and line breaks,
// headings underlined, list items bulleted (numbered in ordered lists),
// table cells separated by " | ", entities decoded, link targets after their
// text as "text <target>", images as their alt text. Script, style and head
// contents are dropped. Lines end with '\n'. One pass over the input with
// bounded state: the work and the result grow linearly with Html, whatever
// the markup (unclosed tags, comments or quotes included).
QString HtmlToText(QStringView Html);

// True when the message's text is the source of an HTML body with no plain
// alternative: the message itself is text/html, or it is a multipart message
// whose first text is markup (an alternative's plain part would come first).
bool IsHtmlOnly(const kel::TKelMsg& Msg);
