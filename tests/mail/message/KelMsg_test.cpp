// The message model, the uuencode rules and the parsing of raw messages.

#include "KelMsg_literal.h"
#include "message/KelMsg.h"
#include "message/kel_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using kel::TKelMsg;

namespace {

using Lines = std::vector<std::string>;

// Lines of a message written with "\n" in the test source.
Lines L(const std::string& Text) {
    Lines out;
    std::string cur;
    for (char c : Text) {
        if (c == '\n') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

struct Parsed {
    std::unique_ptr<TKelMsg> Msg = std::make_unique<TKelMsg>();
    std::string Error;
};

Parsed ParseLines(const Lines& Raw, bool Clear = true) {
    Parsed p;
    p.Msg->RawMail = Raw;
    p.Msg->ClearRawMailAfterParse = Clear;
    try {
        p.Msg->Parse();
    } catch (const std::exception& e) {
        p.Error = e.what();
    }
    return p;
}

std::vector<std::string> Names(const TKelMsg& M) {
    std::vector<std::string> out;
    for (int i = 0; i < M.AttachedFiles.Count(); ++i)
        out.push_back(M.AttachedFiles.Items(i).FileName);
    return out;
}

std::vector<std::string> Datas(const TKelMsg& M) {
    std::vector<std::string> out;
    for (int i = 0; i < M.AttachedFiles.Count(); ++i)
        out.push_back(M.AttachedFiles.Items(i).Data);
    return out;
}

std::string ReadFile(const std::string& Name) {
    std::ifstream in(Name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- model ----

TEST(KelMsgModel, FreshMessageHasItsDefaults) {
    kel::TObject owner;
    TKelMsg m(&owner);
    EXPECT_EQ(m.Owner(), &owner);
    EXPECT_EQ(m.Priority, kel::prNormal);
    EXPECT_EQ(m.CharSet, "ISO-8859-1");
    EXPECT_TRUE(m.ClearRawMailAfterParse);
    EXPECT_EQ(m.TextEncoding, kel::te8Bit);
    EXPECT_EQ(m.Size, 0);
    EXPECT_TRUE(m.Text.empty() && m.ExtraHeaders.empty() && m.Headers.empty() && m.RawMail.empty());
    EXPECT_EQ(m.AttachedFiles.Count(), 0);
    EXPECT_TRUE(m.From.empty() && m.Subject.empty() && m.ContentType.empty() && m.ContentTransferEncoding.empty());
}

TEST(KelMsgModel, AssigningTextCopiesTheLines) {
    TKelMsg m;
    Lines given = {"a", "b"};
    m.Text = given;
    given.push_back("c");
    EXPECT_EQ(m.Text, (Lines{"a", "b"}));
}

TEST(KelMsgModel, AddTakesTheNameAfterTheLastBackslashOrColon) {
    struct Row {
        const char* name;
        const char* given;
        const char* fileName;
    } rows[] = {
        {"backslash path", "mail\\report.pdf", "report.pdf"},
        {"slash is no separator", "a/b.txt", "a/b.txt"},
        {"colon", "c:x.gif", "x.gif"},
        {"last of both", "a:b\\c:d.txt", "d.txt"},
        {"empty", "", ""},
    };
    kel::TAttachedFiles files;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        kel::TAttachedFile& f = files.Add(r.given);
        EXPECT_EQ(f.FileName, r.fileName);
        EXPECT_EQ(f.PathName, r.given);
        EXPECT_EQ(f.ContentType, kel::ContentTypeOfFile(r.given));
        EXPECT_TRUE(f.Lines.empty() && f.Data.empty());
        EXPECT_EQ(&files.Items(files.Count() - 1), &f);
    }
    EXPECT_EQ(files.Count(), 5);
    EXPECT_THROW(files.Items(5), kel::Exception);
    EXPECT_THROW(files.Items(-1), kel::Exception);
}

TEST(KelMsgModel, SaveToFileWritesEveryByteAndReplacesTheFile) {
    char dir[] = "/tmp/kelmsgtestXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string name = std::string(dir) + "/out.bin";
    kel::TAttachedFiles files;
    kel::TAttachedFile& f = files.Add("x.bin");

    f.Data = std::string("\0\xff\r\nabc", 7);
    f.SaveToFile(name);
    EXPECT_EQ(ReadFile(name), f.Data);

    f.Data.clear(); // an empty attachment gives an empty file, replacing the old one
    f.SaveToFile(name);
    EXPECT_EQ(ReadFile(name), "");

    EXPECT_THROW(f.SaveToFile(std::string(dir) + "/no/such/dir/x"), kel::EFileError);
    std::remove(name.c_str());
    rmdir(dir);
}

// ---- uuencode ----

TEST(KelMsgUU, CharValues) {
    EXPECT_EQ(kel::UUCharValue('`'), 0);
    EXPECT_EQ(kel::UUCharValue(' '), 0);
    EXPECT_EQ(kel::UUCharValue('!'), 1);
    EXPECT_EQ(kel::UUCharValue('_'), 63);
    for (char c : std::string("a~\x7f\x1f\0", 5))
        EXPECT_THROW(kel::UUCharValue(c), kel::Exception) << int(c);
    try {
        kel::UUCharValue('a');
    } catch (const kel::Exception& e) {
        EXPECT_STREQ(e.what(), "Oops...");
    }
}

TEST(KelMsgUU, LineRule) {
    // Sixty "!" (value 1 each): the bits 000001 repeated give the bytes 04 10 41.
    std::string ones;
    for (int i = 0; i < 15; ++i)
        ones += "\x04\x10\x41";
    struct Row {
        const char* name;
        std::string line;
        std::string bytes; // ignored when oops
        bool oops;
    } rows[] = {
        {"three bytes", "#2&DA", "Hi!", false},
        {"full line", "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL",
         std::string("\0\1\2\3\4\5\6\7\b\t\n\v\f\r\16\17\20\21\22\23\24\25\26\27\30\31\32\33\34\35\36\37 !\"#$%&'()*+,", 45),
         false},
        {"backquote alone", "`", "", false},
        {"empty line", "", "", false},
        {"count below the characters", "!2&DA", "H", false},
        {"count above the characters pads with zero bits", "%2&DA", std::string("Hi!\0\0", 5), false},
        {"count 63 gives at most 45", "_", std::string(45, '\0'), false},
        {"spaces count as zero", "#    ", std::string(3, '\0'), false},
        {"characters past 60 are not read", "!" + std::string(60, '!') + "abc", "\x04", false},
        {"lower case character", "#2&da", "", true},
        {"bad character past the count", "!2&DA~", "", true},
        {"45 announced, 59 given", "M" + std::string(59, '!'), "", true},
        {"45 announced, 60 given", "M" + std::string(60, '!'), ones, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string out = "pre";
        if (r.oops) {
            EXPECT_THROW(kel::UUDecodeLine(r.line, out), kel::Exception);
            EXPECT_THROW(kel_literal::UULine(r.line), kel::Exception);
        } else {
            kel::UUDecodeLine(r.line, out);
            EXPECT_EQ(out, "pre" + r.bytes);
            EXPECT_EQ(kel_literal::UULine(r.line), r.bytes);
        }
    }
}

// The shifting decoder against the bit-string one on random lines.
TEST(KelMsgUU, LineRuleMatchesBitByBitVersion) {
    std::mt19937 rng(7);
    for (int n = 0; n < 20000; ++n) {
        std::string line;
        size_t len = rng() % 70;
        for (size_t k = 0; k < len; ++k)
            line += static_cast<char>(rng() % 8 == 0 ? 'a' + rng() % 3 : 32 + rng() % 65);
        std::string a, b;
        bool ea = false, eb = false;
        try {
            kel::UUDecodeLine(line, a);
        } catch (const kel::Exception&) {
            ea = true;
        }
        try {
            b = kel_literal::UULine(line);
        } catch (const kel::Exception&) {
            eb = true;
        }
        ASSERT_EQ(ea, eb) << line;
        if (!ea) {
            ASSERT_EQ(a, b) << line;
        }
    }
}

TEST(KelMsgUU, BeginLines) {
    struct Row {
        const char* line;
        bool begin;
        const char* name;
    } rows[] = {
        {"begin 644 pic.gif", true, "pic.gif"},
        {"BEGIN 644 x", true, "x"},
        {"Begin 600 x", true, "x"},
        {"begin 777 x", false, ""},
        {"begin 000 xy", false, ""},
        {"begin 64 xyz", false, ""},     // "64 " does not convert
        {"begin  64 xyz", true, "xyz"},  // leading blanks do
        {"begin 0x1 abc", true, "abc"},  // nor is hex refused
        {"begin 644 ", false, ""},       // ten characters only
        {"begin-644 abc", true, "abc"},  // the 6th character is not examined
        {"begin 644 very long name", true, "very long name"},
        {"  begin 644 abc", false, ""},
        {"begun 644 abc", false, ""},
        {"begin -12 abc", false, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        std::string name = "unchanged";
        EXPECT_EQ(kel::IsUUBeginLine(r.line, &name), r.begin);
        if (r.begin) {
            EXPECT_EQ(name, r.name);
        }
    }
    std::string longName = "begin 644 " + std::string(100, 'n');
    std::string name;
    ASSERT_TRUE(kel::IsUUBeginLine(longName, &name));
    EXPECT_EQ(name, std::string(64, 'n'));
}

// ---- parsing ----

struct ParseRow {
    const char* name;
    std::string raw; // lines separated by "\n"
    Lines text;
    std::vector<std::string> files;    // FileName of each attachment
    std::vector<std::string> datas;    // Data of each attachment (checked when not empty)
    std::string error;                 // expected what(), empty for none
};

void CheckRow(const ParseRow& r) {
    SCOPED_TRACE(r.name);
    Parsed p = ParseLines(L(r.raw));
    EXPECT_EQ(p.Error, r.error);
    EXPECT_EQ(p.Msg->Text, r.text);
    EXPECT_EQ(Names(*p.Msg), r.files);
    if (!r.datas.empty()) {
        EXPECT_EQ(Datas(*p.Msg), r.datas);
    }
    // Every table row also goes through the plain parser.
    auto [lib, lit] = kel_literal::ParseBothWays(L(r.raw));
    EXPECT_TRUE(lib == lit);
}

TEST(KelMsgParse, HeaderFields) {
    Parsed p = ParseLines(L("Received: from mx\n"
                            "Subject: Re: one;\n"
                            " two\n"
                            "To: Desk <a1>, \"Sales, North\" <b2>, c3 (Info)\n"
                            "Reply-To: r@x\n"
                            "In-Reply-To: <id0>\n"
                            "cc: x@y\n"
                            "Message-ID: <id1>; x\n"
                            "Date: Mon, 1 Jan 2024 10:00:00 +0000\n"
                            "Return-Path: <rp>\n"
                            "Sender: s@x\n"
                            "Content-Type: Text/Plain; charset=utf-8\n"
                            "\n"
                            "body"));
    TKelMsg& m = *p.Msg;
    EXPECT_EQ(m.From, "ved: from mx");
    EXPECT_EQ(m.Subject, "Re: one");
    EXPECT_EQ(m.SendTo, "\"Desk\" <a1>, \"\" <b2>, \"Info\" <c3>");
    EXPECT_EQ(m.ReplyTo, "\"r@x\" <r@x>");
    EXPECT_EQ(m.InReplyTo, "<id0>");
    EXPECT_EQ(m.CC, "\"x@y\" <x@y>");
    EXPECT_EQ(m.MessageId, "<id1>");
    EXPECT_EQ(m.Date, "Mon, 1 Jan 2024 10:00:00 +0000");
    EXPECT_EQ(m.ReturnPath, "<rp>");
    EXPECT_EQ(m.Sender, "\"s@x\" <s@x>");
    EXPECT_EQ(m.ContentType, "TEXT/PLAIN");
    EXPECT_EQ(m.ContentTransferEncoding, "7BIT");
    EXPECT_EQ(m.Headers.size(), 12u);
    EXPECT_EQ(m.Text, Lines{"body"});
    EXPECT_TRUE(m.RawMail.empty());
}

TEST(KelMsgParse, HeaderFieldRows) {
    struct Row {
        const char* name;
        std::string raw;
        std::string TKelMsg::*field;
        std::string expected;
    } rows[] = {
        {"folded subject joins without blank", "Subject: Hello\n World\n\nx", &TKelMsg::Subject, "HelloWorld"},
        {"folded with tab", "Subject: a\n\tb\n\nx", &TKelMsg::Subject, "ab"},
        {"encoded words", "Subject: =?iso-8859-1?Q?Gr=FC=DFe?= x\n\n", &TKelMsg::Subject, "Gr\xFC\xDF" "e x"},
        {"missing From", "Received: from mx\nSubject: s\n\nbody", &TKelMsg::From, "ved: from mx"},
        {"short first line", "Abc\n\n", &TKelMsg::From, ""},
        {"first line cut at 72", "X-Long: " + std::string(100, 'y') + "\n\n", &TKelMsg::From, "g: " + std::string(69, 'y')},
        {"From decoded", "From: =?x?B?QUJD?= <a@b>\n\n", &TKelMsg::From, "ABC <a@b>"},
        {"From cut at semicolon", "From: a;b\n\n", &TKelMsg::From, "a"},
        {"blank before colon not found", "Subject : s\n\n", &TKelMsg::Subject, ""},
        {"To: does not match Reply-To", "Reply-To: r\n\n", &TKelMsg::SendTo, ""},
        {"field after the header not seen", "X: 1\n\nSubject: s", &TKelMsg::Subject, ""},
        {"no Content-Type", "X: 1\n\n", &TKelMsg::ContentType, "TEXT/PLAIN"},
        {"content type upper case", "Content-Type: multipart/Mixed; boundary=x\n\n", &TKelMsg::ContentType,
         "MULTIPART/MIXED"},
        {"encoding upper case", "Content-Transfer-Encoding: base64\n\n", &TKelMsg::ContentTransferEncoding, "BASE64"},
        {"first line empty: no header", "\nSubject: s\n", &TKelMsg::Subject, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Parsed p = ParseLines(L(r.raw));
        EXPECT_EQ(p.Error, "");
        EXPECT_EQ((*p.Msg).*r.field, r.expected);
    }
}

TEST(KelMsgParse, Bodies) {
    const ParseRow rows[] = {
        {"no Content-Type: body from its first non-blank line",
         "Subject: s\n\n  \nline 1\n\nline 3\n", {"line 1", "", "line 3"}, {}, {}, ""},
        {"header only", "Subject: s\nFrom: f", {}, {}, {}, ""},
        {"header and empty line only", "Subject: s\n\n", {}, {}, {}, ""},
        {"multipart/alternative shows plain then html source",
         "Content-Type: multipart/alternative; boundary=\"b\"\n\npreamble\n--b\nContent-Type: text/plain\n\nplain\n"
         "--b\nContent-Type: text/html\n\n<p>html</p>\n--b--\nepilogue\n",
         {"plain", "<p>html</p>"}, {}, {}, ""},
        {"text part with a file name is text",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n"
         "Content-Disposition: attachment; filename=\"a.txt\"\n\nshown\n--b--\n",
         {"shown"}, {}, {}, ""},
        {"name characters removed, base64 decoded",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/pdf; name='a:b?.pdf'\n"
         "Content-Transfer-Encoding: base64\n\nUERG\nREFU\nQQD/\n--b--\n",
         {}, {"ab.pdf"}, {std::string("PDFDATA\0\xff", 9)}, ""},
        {"nameless base64 part is a nameless attachment",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/octet-stream\n"
         "Content-Transfer-Encoding: base64\n\nQUJD\n--b--\n",
         {}, {""}, {"ABC"}, ""},
        {"Content-Type name wins over Content-Disposition filename",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/msword; name=\"x.doc\"\n"
         "Content-Disposition: attachment; filename=\"y.doc\"\n\nraw\n--b--\n",
         {}, {"x.doc"}, {"raw"}, ""},
        {"filename from Content-Disposition, encoded word",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: image/gif\n"
         "Content-Disposition: attachment;\n filename=\"=?x?Q?p_q?=.gif\"\n\nr1\nr2\n--b--\n",
         {}, {"p q.gif"}, {"r1\r\nr2"}, ""},
        {"nameless octet-stream in 7bit is text",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/octet-stream\n\nbytes\n--b--\n",
         {"bytes"}, {}, {}, ""},
        {"nested mixed and alternative in message order",
         "Content-Type: multipart/mixed; boundary=outer\n\n--outer\nContent-Type: multipart/alternative; boundary=inner\n\n"
         "--inner\n\nA\n--inner\nContent-Type: text/html\n\nB\n--inner--\n--outer\nContent-Type: image/png; name=p.png\n"
         "Content-Transfer-Encoding: base64\n\nQUJD\n--outer\n\nC\n--outer--\n",
         {"A", "B", "C"}, {"p.png"}, {"ABC"}, ""},
        {"close right after a later delimiter is the new part's first line",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nfirst\n--b\n--b--\nx: 1\n\nepilogue 1\nepilogue 2\n",
         {"first", "epilogue 1", "epilogue 2"}, {}, {}, ""},
        {"first delimiter followed by close gives one empty leaf",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n--b--\nafter\n", {}, {}, {}, ""},
        {"delimiter with trailing blank is body text",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b \ntwo\n--b--\n", {"one", "--b ", "two"}, {}, {}, ""},
        {"missing close ends the last part at the end",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b\n\ntwo\n", {"one", "two"}, {}, {}, ""},
        {"delimiter as the last line", "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b\n", {"one"}, {}, {}, ""},
        {"boundary never occurs drops the body", "Content-Type: multipart/mixed; boundary=b\n\ntext\n--c\n", {}, {}, {}, ""},
        {"no boundary parameter drops the body", "Content-Type: multipart/mixed\n\ntext\n--b\n", {}, {}, {}, ""},
        {"delimiters compared case-sensitively",
         "Content-Type: multipart/mixed; boundary=Ab\n\n--Ab\n\none\n--AB\n--Ab--\n", {"one", "--AB"}, {}, {}, ""},
        {"uuencoded block in text",
         "Subject: s\n\nbefore\nbegin 644 pic.gif\n#0V%T\n\n`\nend\nafter\n",
         {"before", "end", "after"}, {"pic.gif"}, {"Cat"}, ""},
        {"two blocks and a look-alike",
         "\nbegin 777 nope.bin\nbegin 644 a.bin\n#2&DA\nEND\nmid\nBEGIN 600 b.bin\n#0V%T\n end \n",
         {"begin 777 nope.bin", "END", "mid", " end "}, {"a.bin", "b.bin"}, {"Hi!", "Cat"}, ""},
        {"block without end runs to the last line", "\ntext\nbegin 644 x.bin\n#2&DA\n", {"text"}, {"x.bin"}, {"Hi!"}, ""},
        {"block name characters removed", "\nbegin 644 ../../x\n#2&DA\nend\n", {"end"}, {"....x"}, {"Hi!"}, ""},
        {"a block in text stops quoted-printable decoding",
         "Content-Transfer-Encoding: quoted-printable\n\na=3Db\nbegin 644 x.bin\n#2&DA\nend\n",
         {"a=3Db", "end"}, {"x.bin"}, {"Hi!"}, ""},
        {"quoted-printable text", "Content-Transfer-Encoding: quoted-printable\n\nsoft=\nbreak a_b =C3=A9\nx=3D\n",
         {"softbreak a b \xC3\xA9", "x="}, {}, {}, ""},
        {"base64 text split into lines", "Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\nbGluZSBvbmUNCmxp\nbmUgdHdvDQo=\n",
         {"line one", "line two"}, {}, {}, ""},
        {"embedded message adds its body and attachments",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nouter\n--b\nContent-Type: message/rfc822\n\n"
         "Subject: inner\nContent-Type: multipart/mixed; boundary=c\n\n--c\n\ninner text\n--c\n"
         "Content-Type: application/zip; name=z.zip\nContent-Transfer-Encoding: base64\n\nQUJD\n--c--\n--b--\n",
         {"outer", "inner text"}, {"z.zip"}, {"ABC"}, ""},
        {"named embedded message is an attachment of its text",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/rfc822; name=fw.eml\n\n"
         "Subject: inner\n\nhello\n--b--\n",
         {}, {"fw.eml"}, {"Subject: inner\r\n\r\nhello"}, ""},
        {"quoted-printable attachment", "Content-Type: application/x; name=q.txt\nContent-Transfer-Encoding: quoted-printable\n\na=\nb=0D=0Ac\nd\n",
         {}, {"q.txt"}, {"ab\r\nc\r\nd"}, ""},
        {"x-uuencode part", "Content-Type: application/x; name=u.bin\nContent-Transfer-Encoding: x-uuencode\n\n"
         "begin 644 u.bin\n#2&DA\n\n#0V%T\n`\nend\n", {}, {"u.bin"}, {"Hi!Cat"}, ""},
        {"x-uuencode part of an empty file: begin then end", "Content-Transfer-Encoding: x-uuencode\nContent-Type: a/b\n\n"
         "begin 644 e.bin\nend\n", {}, {""}, {""}, ""},
        {"x-uuencode part with the begin line only", "Content-Type: a/b; name=o.bin\nContent-Transfer-Encoding: X-UUENCODE\n\n"
         "begin 644 o.bin\n", {}, {"o.bin"}, {""}, ""},
        {"empty name parameter", "Content-Type: application/x; name=\nContent-Transfer-Encoding: base64\n\nQUJD\n",
         {}, {""}, {"ABC"}, ""},
        {"name of quotes only", "Content-Type: application/x; name=\"\"\n\nseen\n", {"seen"}, {}, {}, ""},
        {"hostile names", "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: a/b; name=\"..\"\n\nx\n"
         "--b\nContent-Type: a/b; name=\"../../etc/passwd\"\n\ny\n--b\nContent-Type: a/b; name=\"a\x01\x1b[31mb\x7f.txt\"\n\nz\n--b--\n",
         {}, {"", "....etcpasswd", "a[31mb.txt"}, {"x", "y", "z"}, ""},
        {"repeated names are separate attachments",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: a/b; name=d.gif\n\n1\n--b\nContent-Type: a/b; name=d.gif\n\n2\n--b--\n",
         {}, {"d.gif", "d.gif"}, {"1", "2"}, ""},
        {"html part without a name is text too", "Content-Type: text/html\n\n<b>x</b>\n", {"<b>x</b>"}, {}, {}, ""},
    };
    for (const ParseRow& r : rows)
        CheckRow(r);
}

TEST(KelMsgParse, BadUULineFailsWithOopsAndKeepsWhatWasFilled) {
    const Lines raw = L("Content-Type: multipart/mixed; boundary=b\n\n--b\n\nfirst\n--b\n\nkept back\n"
                        "begin 644 ok.bin\n#2&DA\nend\nbegin 644 bad.bin\n#2&DA\n\n#2&da\nend\nlater\n--b\n\nnever\n--b--\n");
    Parsed p = ParseLines(raw);
    EXPECT_EQ(p.Error, "Oops...");
    EXPECT_EQ(p.Msg->Text, Lines{"first"}); // the failing part's text is not shown
    ASSERT_EQ(p.Msg->AttachedFiles.Count(), 2);
    EXPECT_EQ(p.Msg->AttachedFiles.Items(0).Data, "Hi!");
    const kel::TAttachedFile& bad = p.Msg->AttachedFiles.Items(1);
    EXPECT_EQ(bad.FileName, "bad.bin");
    EXPECT_EQ(bad.Data, "");
    EXPECT_EQ(bad.Lines, (Lines{"begin 644 bad.bin", "#2&DA", "#2&da"})); // the block without its empty line
    EXPECT_EQ(p.Msg->RawMail, raw);
    EXPECT_FALSE(p.Msg->Headers.empty());

    auto [lib, lit] = kel_literal::ParseBothWays(raw);
    EXPECT_TRUE(lib == lit);
}

TEST(KelMsgParse, LyingUULines) {
    struct Row {
        const char* name;
        std::string line;
        std::string data;
        const char* error;
    } rows[] = {
        {"says 45, holds 4", "M2&DA", "", "Oops..."},
        {"says 3, holds 60", "#" + std::string(60, '!'), "\x04\x10\x41", ""},
        {"says 20, holds 4", "42&DA", std::string("Hi!", 3) + std::string(17, '\0'), ""},
        {"says 0, holds 8", "`2&DA2&DA", "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Parsed p = ParseLines(L("\n\nbegin 644 l.bin\n" + r.line + "\nend\n"));
        EXPECT_EQ(p.Error, r.error);
        ASSERT_EQ(p.Msg->AttachedFiles.Count(), 1);
        EXPECT_EQ(p.Msg->AttachedFiles.Items(0).Data, r.data);
    }
}

TEST(KelMsgParse, RawMailFollowsTheClearFlag) {
    const Lines raw = L("Subject: s\n\nbody\n");
    EXPECT_TRUE(ParseLines(raw, true).Msg->RawMail.empty());
    EXPECT_EQ(ParseLines(raw, false).Msg->RawMail, raw);

    TKelMsg empty;
    empty.Parse();
    EXPECT_TRUE(empty.Headers.empty() && empty.Text.empty() && empty.ContentType.empty());
}

TEST(KelMsgParse, SecondParseAppends) {
    TKelMsg m;
    m.RawMail = L("Subject: s\n\nbody\n");
    m.ClearRawMailAfterParse = false;
    m.Parse();
    m.Parse();
    EXPECT_EQ(m.Text, (Lines{"body", "body"}));
    EXPECT_EQ(m.Headers, (Lines{"Subject: s", "Subject: s"}));
}

// Lines given to Parse with CR, LF or NUL inside (as a caller other than the
// POP3 component may do) are split again where a multipart level joins and
// splits them, and kept as they are elsewhere.
TEST(KelMsgParse, LinesWithLineEndsInside) {
    const Lines multi = {"Content-Type: multipart/mixed; boundary=b", "", "--b\r", "\nx\rfirst", "--b", "",
                         std::string("cut\0gone", 8), "--b--"};
    Parsed p = ParseLines(multi);
    EXPECT_EQ(p.Msg->Text, (Lines{"x", "first", "cut"}));
    auto [lib, lit] = kel_literal::ParseBothWays(multi);
    EXPECT_TRUE(lib == lit);

    const Lines plain = {"Subject: s", "", "a\rb"};
    EXPECT_EQ(ParseLines(plain).Msg->Text, Lines{"a\rb"});
}

} // namespace

namespace {

// A CR, LF or NUL at any place of a line of any length makes a multipart
// message split again, as joining and splitting would.
TEST(KelMsgParse, LineEndsInsideLinesAreFoundAtEveryPlace) {
    for (size_t len = 1; len <= 40; ++len)
        for (size_t at = 0; at < len; ++at)
            for (char c : {'\r', '\n', '\0'}) {
                std::string line(len, 'x');
                line[at] = c;
                const Lines raw = {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "a", line, "z", "--b--"};
                auto [lib, lit] = kel_literal::ParseBothWays(raw);
                ASSERT_TRUE(lib == lit) << len << " " << at << " " << int(c);
                ASSERT_NE(lib.Text, (Lines{"a", line, "z"}));
            }
}

} // namespace
