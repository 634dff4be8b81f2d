#include "KelMsg_literal.h"
#include "mail/message/KelMsg.h"
#include "mail/core/KelLines.h"
#include "mail/core/KelTempFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

using kel::TKelMsg;

namespace {

using Lines = std::vector<std::string>;

Lines L(const std::string& Text) { return kel_literal::SplitLines(Text); }

using kel_literal::ParseLibrary;

std::vector<std::string> Field(const kel_literal::ParsedMsg& M, std::string kel_literal::Attachment::*F) {
    std::vector<std::string> out;
    for (const auto& f : M.Files)
        out.push_back(f.*F);
    return out;
}

// ---- model ----

TEST(KelMsgModel, AddTakesTheNameAfterTheLastBackslashOrColon) {
    const std::pair<const char*, const char*> rows[] = {
        {"mail\\report.pdf", "report.pdf"}, {"a/b.txt", "a/b.txt"}, {"a:b\\c:d.txt", "d.txt"}, {"", ""}};
    kel::TAttachedFiles files;
    for (const auto& [given, fileName] : rows) {
        SCOPED_TRACE(given);
        kel::TAttachedFile& f = files.Add(given);
        EXPECT_EQ(f.FileName, fileName);
        EXPECT_EQ(f.PathName, given);
        EXPECT_EQ(&files.Items(files.Count() - 1), &f);
    }
    EXPECT_THROW(files.Items(4), kel::Exception);
    EXPECT_THROW(files.Items(-1), kel::Exception);
}

TEST(KelMsgModel, SaveToFileWritesEveryByteAndReplacesTheFile) {
    kel::TTempFile tmp;
    kel::TAttachedFiles files;
    kel::TAttachedFile& f = files.Add("x.bin");
    f.Data = std::string("\0\xff\r\nabc", 7);
    f.SaveToFile(tmp.Name());
    EXPECT_EQ(tmp.ReadAll(), f.Data);
    f.Data.clear(); // an empty attachment gives an empty file, replacing the old one
    f.SaveToFile(tmp.Name());
    EXPECT_EQ(tmp.ReadAll(), "");
    EXPECT_THROW(f.SaveToFile("/nonexistent-dir/x"), kel::EFileError);
}

// ---- uuencode ----

TEST(KelMsgUU, LineRule) {
    const struct {
        const char* name;
        std::string line;
        std::string bytes; // ignored when oops
        bool oops;
    } rows[] = {
        {"three bytes", "#2&DA", "Hi!", false},
        {"backquote alone", "`", "", false},
        {"count above the characters pads with zero bits", "%2&DA", std::string("Hi!\0\0", 5), false},
        {"count 63 gives at most 45", "_", std::string(45, '\0'), false},
        {"characters past 60 are not read", "!" + std::string(60, '!') + "abc", "\x04", false},
        {"lower case character", "#2&da", "", true},
        {"45 announced, 59 given", "M" + std::string(59, '!'), "", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::string out = "pre";
        if (r.oops) {
            EXPECT_THROW(kel::UUDecodeLine(r.line, out), kel::Exception);
        } else {
            kel::UUDecodeLine(r.line, out);
            EXPECT_EQ(out, "pre" + r.bytes);
        }
    }
}

TEST(KelMsgUU, BeginLines) {
    const struct {
        std::string line;
        std::string name; // empty: no begin line
    } rows[] = {
        {"BEGIN 644 x", "x"}, {"begin 777 x", ""},
        {"begin 64 xyz", ""},        // "64 " does not convert
        {"begin  64 xyz", "xyz"},    // leading blanks do
        {"begin 644 ", ""},          // ten characters only
        {"begin-644 abc", "abc"},    // the 6th character is not examined
        {"begin 644 " + std::string(100, 'n'), std::string(64, 'n')},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        std::string name;
        EXPECT_EQ(kel::IsUUBeginLine(r.line, &name), !r.name.empty());
        EXPECT_EQ(name, r.name);
    }
}

// ---- parsing ----

TEST(KelMsgParse, HeaderFields) {
    const auto m = ParseLibrary(L("Received: from mx\nSubject: Re: =?x?Q?one?=;\n two\nTo: Desk <a1>, \"Sales, North\" <b2>, c3 (Info)\n"
                                "Reply-To: r@x\nIn-Reply-To: <id0>\ncc: x@y\nMessage-ID: <id1>; x\n"
                                "Date: Mon, 1 Jan 2024 10:00:00 +0000\nReturn-Path: <rp>\nSender: s@x\n"
                                "Content-Type: Text/Plain; charset=utf-8\n\nbody"));
    EXPECT_EQ(m.From, "ved: from mx");
    EXPECT_EQ(m.Subject, "Re: one");
    EXPECT_EQ(m.SendTo, "\"Desk\" <a1>, \"\" <b2>, \"Info\" <c3>");
    EXPECT_EQ(m.ReplyTo, "\"r@x\" <r@x>");
    EXPECT_EQ(m.InReplyTo, "<id0>");
    EXPECT_EQ(m.CC, "\"x@y\" <x@y>");
    EXPECT_EQ(m.MessageId, "<id1>");
    EXPECT_EQ(m.ContentType, "TEXT/PLAIN");
    EXPECT_EQ(m.ContentTransferEncoding, "7BIT");
    EXPECT_EQ(m.Headers.size(), 12u);
    EXPECT_EQ(m.Text, Lines{"body"});
    EXPECT_TRUE(m.RawMail.empty());
}

TEST(KelMsgParse, Bodies) {
    const std::string mixed = "Content-Type: multipart/mixed; boundary=b\n\n";
    const struct {
        const char* name;
        std::string raw;
        Lines text;
        std::vector<std::string> files; // FileName of each attachment
        std::vector<std::string> datas; // Data of each attachment (checked when not empty)
    } rows[] = {
        {"no Content-Type: body from its first non-blank line", "Subject: s\n\n  \nline 1\n\nline 3\n", {"line 1", "", "line 3"}, {}, {}},
        {"name characters removed, base64 decoded",
         mixed + "--b\nContent-Type: application/pdf; name='a:b?.pdf'\nContent-Transfer-Encoding: base64\n\nUERG\nREFU\nQQD/\n--b--\n",
         {}, {"ab.pdf"}, {std::string("PDFDATA\0\xff", 9)}},
        {"folded filename, encoded word",
         mixed + "--b\nContent-Type: image/gif\nContent-Disposition: attachment;\n filename=\"=?x?Q?p_q?=.gif\"\n\nr1\nr2\n--b--\n",
         {}, {"p q.gif"}, {"r1\r\nr2"}},
        {"nested mixed and alternative in message order",
         "Content-Type: multipart/mixed; boundary=outer\n\n--outer\nContent-Type: multipart/alternative; boundary=inner\n\n"
         "--inner\n\nA\n--inner\nContent-Type: text/html\n\nB\n--inner--\n--outer\nContent-Type: image/png; name=p.png\n"
         "Content-Transfer-Encoding: base64\n\nQUJD\n--outer\n\nC\n--outer--\n", {"A", "B", "C"}, {"p.png"}, {"ABC"}},
        {"two blocks and a look-alike", "\nbegin 777 nope.bin\nbegin 644 a.bin\n#2&DA\nEND\nmid\nBEGIN 600 b.bin\n#0V%T\n end \n",
         {"begin 777 nope.bin", "END", "mid", " end "}, {"a.bin", "b.bin"}, {"Hi!", "Cat"}},
        {"a block in text stops quoted-printable decoding",
         "Content-Transfer-Encoding: quoted-printable\n\na=3Db\nbegin 644 x.bin\n#2&DA\nend\n", {"a=3Db", "end"}, {"x.bin"}, {"Hi!"}},
        {"embedded message adds its body and attachments",
         mixed + "--b\n\nouter\n--b\nContent-Type: message/rfc822\n\nSubject: inner\nContent-Type: multipart/mixed; boundary=c\n\n"
                 "--c\n\ninner text\n--c\nContent-Type: application/zip; name=z.zip\nContent-Transfer-Encoding: base64\n\nQUJD\n--c--\n--b--\n",
         {"outer", "inner text"}, {"z.zip"}, {"ABC"}},
        {"named embedded message is an attachment of its text",
         mixed + "--b\nContent-Type: message/rfc822; name=fw.eml\n\nSubject: inner\n\nhello\n--b--\n", {}, {"fw.eml"}, {"Subject: inner\r\n\r\nhello"}},
        {"hostile names", mixed + "--b\nContent-Type: a/b; name=\"..\"\n\nx\n--b\nContent-Type: a/b; name=\"../../etc/passwd\"\n\ny\n"
                                  "--b\nContent-Type: a/b; name=\"a\x01\x1b[31mb\x7f.txt\"\n\nz\n--b--\n",
         {}, {"", "....etcpasswd", "a[31mb.txt"}, {"x", "y", "z"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto [lib, lit] = kel_literal::ParseBothWays(L(r.raw));
        EXPECT_EQ(lib.Error, "");
        EXPECT_EQ(lib.Text, r.text);
        EXPECT_EQ(Field(lib, &kel_literal::Attachment::FileName), r.files);
        if (!r.datas.empty()) {
            EXPECT_EQ(Field(lib, &kel_literal::Attachment::Data), r.datas);
        }
        EXPECT_TRUE(lib == lit);
    }
}

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

TEST(KelMsgParse, TextCharSetIsTheCharsetOfTheFirstTextPart) {
    const std::string mixed = "Content-Type: multipart/mixed; boundary=b\n\n";
    const struct {
        const char* name;
        std::string raw;
        std::string charset; // any case
    } rows[] = {
        {"top level", "Content-Type: text/plain; charset=KOI8-R\n\nx\n", "koi8-r"},
        {"quoted", "Content-Type: text/plain; charset=\"ISO-8859-2\"\n\nx\n", "iso-8859-2"},
        {"on a continuation line", "Subject: s\nContent-Type: text/plain;\n\tcharset=Shift_JIS\nTo: t\n\nx\n",
         "shift_jis"},
        {"after other parameters", "Content-Type: text/plain; format=flowed; charset=utf-8; delsp=yes\n\nx\n",
         "utf-8"},
        {"a parameter ending in charset is another", "Content-Type: text/plain; x-charset=big5; charset=gb2312\n\nx\n",
         "gb2312"},
        {"names in any case", "content-type: Text/Plain; CHARSET=Windows-1252\n\nx\n", "windows-1252"},
        {"no charset", "Content-Type: text/plain\n\nx\n", ""},
        {"no Content-Type", "Subject: s\n\nx\n", ""},
        {"a Content-Type line in the body", "Subject: s\n\nContent-Type: text/plain; charset=koi8-r\n", ""},
        {"multipart: the first text part", mixed + "--b\nContent-Type: text/plain; charset=windows-1251\n\nx\n"
                                                   "--b\nContent-Type: text/plain; charset=koi8-r\n\ny\n--b--\n",
         "windows-1251"},
        {"multipart: an attachment before the text part",
         mixed + "--b\nContent-Type: application/pdf; name=a.pdf\n\nA\n--b\nContent-Type: text/plain; charset=EUC-KR\n"
                 "\nx\n--b--\n",
         "euc-kr"},
        {"multipart: nested alternative",
         mixed + "--b\nContent-Type: multipart/alternative; boundary=c\n\n--c\nContent-Type: text/plain;\n"
                 " charset=\"iso-8859-15\"\n\nx\n--c\nContent-Type: text/html; charset=utf-8\n\n<p>x</p>\n--c--\n--b--\n",
         "iso-8859-15"},
        {"multipart: a later text part's charset is not taken",
         mixed + "--b\nContent-Type: text/plain\n\nx\n--b\nContent-Type: text/plain; charset=koi8-r\n\ny\n--b--\n", ""},
        {"multipart: a part without Content-Type is the first text part",
         mixed + "--b\n\nx\n--b\nContent-Type: text/plain; charset=koi8-r\n\ny\n--b--\n", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TKelMsg m;
        m.RawMail = L(r.raw);
        m.Parse();
        EXPECT_EQ(LowerAscii(m.TextCharSet), r.charset);
    }
}

TEST(KelMsgParse, BadUULineFailsWithOopsAndKeepsWhatWasFilled) {
    const Lines raw = L("Content-Type: multipart/mixed; boundary=b\n\n--b\n\nfirst\n--b\n\nkept back\n"
                        "begin 644 ok.bin\n#2&DA\nend\nbegin 644 bad.bin\n#2&DA\n\n#2&da\nend\nlater\n--b\n\nnever\n--b--\n");
    auto [m, lit] = kel_literal::ParseBothWays(raw);
    EXPECT_TRUE(m == lit);
    EXPECT_EQ(m.Error, "Oops...");
    EXPECT_EQ(m.Text, Lines{"first"}); // the failing part's text is not shown
    ASSERT_EQ(m.Files.size(), 2u);
    EXPECT_EQ(m.Files[0].Data, "Hi!");
    EXPECT_EQ(m.Files[1].FileName, "bad.bin");
    EXPECT_EQ(m.Files[1].Data, "");
    EXPECT_EQ(m.Files[1].Lines, (Lines{"begin 644 bad.bin", "#2&DA", "#2&da"})); // the block without its empty line
    EXPECT_EQ(m.RawMail, raw);
    EXPECT_FALSE(m.Headers.empty());
}

TEST(KelMsgParse, RawMailFlagAndRepeatedParse) {
    const Lines raw = L("Subject: s\n\nbody\n");
    TKelMsg m;
    m.Parse(); // nothing to parse
    EXPECT_TRUE(m.Headers.empty() && m.Text.empty() && m.ContentType.empty());
    m.RawMail = raw;
    m.ClearRawMailAfterParse = false;
    m.Parse();
    m.Parse(); // a second parse appends
    EXPECT_EQ(m.Text, (Lines{"body", "body"}));
    EXPECT_EQ(m.Headers, (Lines{"Subject: s", "Subject: s"}));
    EXPECT_EQ(m.RawMail, raw);
}

// Views that point into RawMail's own lines stay valid while RawMail grows.
TEST(KelMsgParse, ParseLinesAfterLinesAlreadyInRawMail) {
    TKelMsg m;
    m.RawMail = L("Subject: s\n\nbody\n");
    const std::vector<std::string_view> views(m.RawMail.begin() + 2, m.RawMail.end());
    m.ParseLines(views);
    EXPECT_EQ(m.Subject, "s");
    EXPECT_EQ(m.Text, (Lines{"body", "body"}));
    EXPECT_TRUE(m.RawMail.empty());
    m.ParseLines({}); // nothing to parse
    EXPECT_EQ(m.Text.size(), 2u);
}

// Attachments through the whole parse: which parts are listed, under which
// name, with which bytes, and what stays in Text. Each row's library parse
// must also equal the step-by-step parser's.
TEST(KelMsgParse, AttachmentsAndTheirNames) {
    const std::string mixed = "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nbody\n";
    const auto part = [](const std::string& header, const std::string& body) { return "--b\n" + header + "\n\n" + body + "\n"; };
    const std::string end = "--b--\n";
    const struct {
        const char* name;
        std::string raw;
        Lines text;
        std::vector<std::string> files, datas;
    } rows[] = {
        {"text attachment with a name",
         mixed + part("Content-Type: text/plain\nContent-Disposition: attachment; filename=rhubarb.txt", "line 1\nline 2") + end,
         {"body"}, {"rhubarb.txt"}, {"line 1\r\nline 2"}},
        {"text attachment without a name",
         mixed + part("Content-Type: text/x-diff\nContent-Disposition: ATTACHMENT", "+a\n-b") + end, {"body"}, {""}, {"+a\r\n-b"}},
        {"quoted-printable text attachment",
         mixed + part("Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n"
                      "Content-Disposition: attachment; filename=\"q.txt\"", "caf=C3=A9=\n au lait") + end,
         {"body"}, {"q.txt"}, {"caf\xC3\xA9 au lait"}},
        {"inline text with a name stays text",
         mixed + part("Content-Type: text/plain; name=inline.txt\nContent-Disposition: inline", "shown") + end,
         {"body", "shown"}, {}, {}},
        {"RFC 2231 continuations, UTF-8",
         mixed + part("Content-Type: text/x-diff\nContent-Disposition: attachment;\n filename*0*=utf-8''%C3%A5;\n"
                      " filename*1*=.diff\nContent-Transfer-Encoding: base64", "KyBh") + end,
         {"body"}, {"\xC3\xA5.diff"}, {"+ a"}},
        {"RFC 2231 ISO-8859-1, pieces reversed",
         mixed + part("Content-Type: application/octet-stream; name*1=\".bin\"; name*0*=iso-8859-1''%E5%E5\n"
                      "Content-Transfer-Encoding: base64", "AAEC") + end,
         {"body"}, {"\xC3\xA5\xC3\xA5.bin"}, {std::string("\0\1\2", 3)}},
        {"RFC 2231 without charset",
         mixed + part("Content-Type: image/gif; name*0=\"a b\"; name*1=\".gif\"\nContent-Transfer-Encoding: base64", "R0lG") + end,
         {"body"}, {"a b.gif"}, {"GIF"}},
        {"empty type name, disposition filename",
         mixed + part("Content-Type: image/gif; name=\"\"\nContent-Disposition: attachment; filename=\"good.gif\"\n"
                      "Content-Transfer-Encoding: base64", "R0lG") + end,
         {"body"}, {"good.gif"}, {"GIF"}},
        {"disposition without filename, type name",
         mixed + part("Content-Type: image/gif; name=t.gif\nContent-Disposition: attachment\nContent-Transfer-Encoding: base64",
                      "R0lG") + end,
         {"body"}, {"t.gif"}, {"GIF"}},
        {"blanks around =",
         mixed + part("Content-Type: image/gif; name = \"x.gif\"\nContent-Transfer-Encoding: base64", "R0lG") + end,
         {"body"}, {"x.gif"}, {"GIF"}},
        {"encoded words in a quoted name",
         mixed + part("Content-Type: application/pdf; name=\"=?UTF-8?Q?R=C3=A9sum=C3=A9?= =?UTF-8?B?LnBkZg==?=\"\n"
                      "Content-Transfer-Encoding: base64", "UERG") + end,
         {"body"}, {"R\xC3\xA9sum\xC3\xA9.pdf"}, {"PDF"}},
        {"the name after the last backslash or colon",
         mixed + part("Content-Type: application/x; name*=utf-8''C%3A%5Cdir%5Cf.bin\nContent-Transfer-Encoding: base64", "QUJD") + end,
         {"body"}, {"Cdirf.bin"}, {"ABC"}},
        {"a bounce's message headers",
         "Content-Type: multipart/report; report-type=delivery-status; boundary=b\n\n--b\n\nnot delivered\n" +
             part("Content-Type: text/rfc822-headers\nContent-Disposition: attachment;\n filename=\"Undelivered Message Headers.txt\"",
                  "Subject: x") + end,
         {"not delivered"}, {"Undelivered Message Headers.txt"}, {"Subject: x"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto [lib, lit] = kel_literal::ParseBothWays(L(r.raw));
        EXPECT_TRUE(lib == lit);
        EXPECT_EQ(lib.Error, "");
        EXPECT_EQ(lib.Text, r.text);
        EXPECT_EQ(Field(lib, &kel_literal::Attachment::FileName), r.files);
        EXPECT_EQ(Field(lib, &kel_literal::Attachment::Data), r.datas);
    }
}

// A NUL is a byte like any other: nothing after it is lost.
TEST(KelMsgParse, NothingIsCutAtANul) {
    const std::string nul(1, '\0');
    std::string seven = "Subject: s" + nul + "x\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\ntext" + nul + "more\n";
    std::vector<std::string> sevenFiles;
    for (int k = 1; k <= 7; ++k) {
        sevenFiles.push_back("f" + std::to_string(k) + ".bin");
        seven += "--b\nContent-Type: application/x; name=" + sevenFiles.back() + "\nContent-Transfer-Encoding: base64\n\nAEE=\n";
    }
    seven += "--b--\n";
    const struct {
        const char* name;
        std::string raw;
        std::string subject;
        Lines text;
        std::vector<std::string> files, datas;
    } rows[] = {
        {"in a header line", "Subject: a" + nul + "b\nFrom: f@x\n\nbody\n", "a" + nul + "b", {"body"}, {}, {}},
        {"in the text", "Subject: s\n\nab" + nul + "cd\nnext\n", "s", {"ab" + nul + "cd", "next"}, {}, {}},
        {"in quoted-printable text", "Subject: s\nContent-Transfer-Encoding: quoted-printable\n\na=00b\nc" + nul + "d\n", "s",
         {"a" + nul + "b", "c" + nul + "d"}, {}, {}},
        {"in an attachment name",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: a/b; name=\"x" + nul + "y.bin\"\n\nz\n--b\n"
         "Content-Type: a/b; name=second.bin\n\nw\n--b--\n", "", {}, {"xy.bin", "second.bin"}, {"z", "w"}},
        {"seven attachments after NULs", seven, "s" + nul + "x", {"text" + nul + "more"}, sevenFiles,
         std::vector<std::string>(7, std::string("\0A", 2))},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto [lib, lit] = kel_literal::ParseBothWays(L(r.raw));
        EXPECT_TRUE(lib == lit);
        EXPECT_EQ(lib.Subject, r.subject);
        EXPECT_EQ(lib.Text, r.text);
        EXPECT_EQ(Field(lib, &kel_literal::Attachment::FileName), r.files);
        EXPECT_EQ(Field(lib, &kel_literal::Attachment::Data), r.datas);
    }
}

} // namespace

// OnLinesCopied lets the retrieval drop the pages of its spool as the parse
// goes: every byte of the shown text and of a base64 attachment is reported,
// inside the lines given, and with lkSplit nothing reported is read again, so
// spoiling each range as soon as it is reported changes nothing. Without
// lkSplit a multipart message is first looked over run by run, which
// reports ranges that are read again later: those must stay readable.
TEST(KelMsgParse, OnLinesCopiedReportsWhatTheParseIsDoneWith) {
    std::string raw = "From: a@b\r\nContent-Type: multipart/mixed; boundary=\"xx\"\r\n\r\n--xx\r\n"
                      "Content-Type: text/plain\r\n\r\n";
    for (int i = 0; i < 40000; ++i)
        raw += "text line " + std::to_string(i) + "\r\n";
    raw += "--xx\r\nContent-Type: application/octet-stream; name=\"b.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    std::string bytes;
    for (int i = 0; i < 3 << 20; ++i)
        bytes += static_cast<char>(i * 7 % 251);
    std::string encoded;
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t at = 0; at < bytes.size(); at += 3) { // 3 MiB: a multiple of 3, no padding
        const auto b = [&](size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[at + k])); };
        const unsigned v = b(0) << 16 | b(1) << 8 | b(2);
        for (const int shift : {18, 12, 6, 0})
            encoded += kDigits[v >> shift & 63];
    }
    for (size_t at = 0; at < encoded.size(); at += 76)
        raw += encoded.substr(at, 76) + "\r\n";
    raw += "--xx--\r\n";

    TKelMsg plain;
    std::vector<std::string_view> lines;
    kel::AppendSplitLines(lines, raw);
    plain.ParseLines(lines);
    ASSERT_EQ(plain.AttachedFiles.Count(), 1);
    ASSERT_EQ(plain.AttachedFiles.Items(0).Data, bytes);
    ASSERT_EQ(plain.Text.size(), 40000u);

    for (const kel::TLineKind kind : {kel::lkSplit, kel::lkAny}) {
        SCOPED_TRACE(kind);
        std::string spool = raw; // the lines are views into this copy
        std::vector<std::string_view> views;
        kel::AppendSplitLines(views, spool);
        std::vector<bool> reported(spool.size());
        TKelMsg m;
        m.OnLinesCopied = [&](const char* Begin, const char* End) {
            ASSERT_TRUE(Begin >= spool.data() && Begin < End && End <= spool.data() + spool.size());
            for (const char* p = Begin; p < End; ++p)
                reported[static_cast<size_t>(p - spool.data())] = true;
            if (kind == kel::lkSplit)
                std::fill(spool.data() + (Begin - spool.data()), spool.data() + (End - spool.data()), '#');
        };
        m.ParseLines(views, kind);
        EXPECT_TRUE(m.Text == plain.Text);
        ASSERT_EQ(m.AttachedFiles.Count(), 1);
        EXPECT_TRUE(m.AttachedFiles.Items(0).Data == bytes);
        // From the first text line to the last encoded one, line ends between
        // them aside, everything was reported.
        const size_t first = raw.find("text line 0"), last = raw.rfind("\r\n--xx--");
        size_t missed = 0;
        for (size_t at = first; at < last; ++at)
            missed += !reported[at] && raw[at] != '\r' && raw[at] != '\n';
        EXPECT_LT(missed, 150u) << "only the delimiter and the attachment's header lines go unreported";
    }
}
