// The one place where message bytes become screen text. The mail library keeps
// every byte it received; only the windows convert, and only for display.
#pragma once

#include <QString>

#include <string>
#include <vector>

// Text of bytes for the screen: valid UTF-8 shows as UTF-8, anything else as
// Windows-1252 (which never fails: every byte maps to one character).
QString DisplayText(const std::string& bytes);

// Header bytes for the screen: valid UTF-8 as UTF-8 (what a server that
// speaks UTF-8 sends), else in Charset (the one the message declares for its
// body) where the bytes fit it, else Windows-1252.
QString DisplayText(const std::string& bytes, const std::string& Charset);

// The charset parameter of the Content-Type field in a header text (folded
// lines joined), unquoted; empty when there is none.
std::string HeaderCharset(const std::string& header);

// Characters that do not show but change how the text around them reads:
// C0 and C1 controls, the line and paragraph separators, and the marks,
// embeddings, overrides and isolates of the text direction (an override can
// make "Eve <RLO>moc.knab" read as "bank.com" and "evil<RLO>gpj.exe" as
// "evilexe.jpg"). Everything a message or a certificate says passes through
// MaskHiddenControls before it is shown outside the message text itself.
bool IsHiddenControl(char16_t c);
// Text with every hidden control replaced by As.
QString MaskHiddenControls(QString text, QChar As = QChar(u'_'));

// Windows-1252 decoding on its own, without the UTF-8 attempt.
QString FromWindows1252(const std::string& bytes);

// Lines of a text: a line ends at CR LF, at a lone CR or at a lone LF; a NUL
// ends the whole text. A final line end does not start another (empty) line.
std::vector<std::string> SplitTextLines(const std::string& text);

// The lines for a plain-text widget: each line converted by DisplayText, joined
// with '\n'. A line is converted on its own, so one line in Windows-1252 does
// not change how its UTF-8 neighbours show.
QString DisplayLines(const std::vector<std::string>& lines);

// Converts texts from one declared charset; see DecodeCharset.
class TCharsetDecoder {
  public:
    explicit TCharsetDecoder(const std::string& charset);
    ~TCharsetDecoder();
    TCharsetDecoder(const TCharsetDecoder&) = delete;
    TCharsetDecoder& operator=(const TCharsetDecoder&) = delete;
    QString Decode(const std::string& bytes);
    // False when the bytes do not fit the charset (Text is then undefined).
    bool TryDecode(const std::string& bytes, QString& text);

  private:
    void* iconv_ = nullptr; // iconv_t
    bool windows1252_ = false;
};

// DisplayLines for text in a declared charset: each line converted by
// DecodeCharset (so one line that does not fit falls back on its own).
QString DisplayLines(const std::vector<std::string>& lines, const std::string& charset);

// Text of bytes in a declared charset (any name iconv knows: ISO-8859-x,
// KOI8-R, Shift_JIS, GB2312, Big5, EUC-KR, Windows-125x ...). ISO-8859-1
// reads as Windows-1252, and labels of other subsets as the superset mail is
// written in (GB2312 as GB18030, EUC-KR as CP949, Shift_JIS as CP932).
// US-ASCII, a charset that is unknown, missing or does not fit the bytes:
// DisplayText.
QString DecodeCharset(const std::string& bytes, const std::string& charset);

// A header value with its RFC 2047 encoded words ("=?charset?B|Q?...?=", any
// case) decoded and converted from their charsets; the blanks between two
// adjacent encoded words vanish, as the RFC says. A word that does not
// decode stays as it is; the text around the words goes through DisplayText
// with Charset, the one the message declares (see above).
// The mail library has a decoder of its own, kel::DecodeEncodedWords, that
// ignores the charset because the message model hands out bytes; this one is
// for the screen, where the charset decides the characters, and it reads the
// field as received rather than the library's decoded bytes.
QString DecodeHeaderText(const std::string& value, const std::string& Charset = std::string());
