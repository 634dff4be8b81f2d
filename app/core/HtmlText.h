// Readable text of an HTML body, for the message window. The conversion
// reads markup and writes characters, nothing else: it has no way to load an
// image, a style sheet or any other resource, so showing a message never
// tells its sender that it was read.
#pragma once

#include <QString>
#include <QStringView>

#include <memory>

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

// The same conversion in steps, so that a window can show the start of a
// long message at once and convert the rest while the user reads.
class THtmlText {
  public:
    explicit THtmlText(QString Html);
    ~THtmlText();
    THtmlText(const THtmlText&) = delete;
    THtmlText& operator=(const THtmlText&) = delete;

    // Converts about Budget more characters of the input (whole tags and
    // references); true once all of it is converted.
    bool Convert(qsizetype Budget);
    bool Done() const;
    // The lines converted so far that stay as they are; all of them once
    // Done. A line is valid until the next Convert.
    qsizetype LineCount() const;
    QStringView Line(qsizetype Index) const;
    // The text so far; HtmlToText's result once Done.
    const QString& Text() const;

  private:
    struct TState;
    std::unique_ptr<TState> S;
};

// True when the message's text is the source of an HTML body with no plain
// alternative: the message itself is text/html, or it is a multipart message
// whose first text is markup (an alternative's plain part would come first).
bool IsHtmlOnly(const kel::TKelMsg& Msg);
