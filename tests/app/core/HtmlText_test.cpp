// Does an HTML body read as text, does nothing in it reach out, and does
// hostile markup stay harmless?
#include "app/core/HtmlText.h"

#include "mail/message/KelMsg.h"
#include "support/QtCoreTestApp.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace Qt::StringLiterals;

struct Row {
    const char* name;
    QString html;
    QString text;
};

void ExpectRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(HtmlToText(row.html), row.text);
    }
}

TEST(HtmlToText, ParagraphsBreaksAndHeadings) {
    ExpectRows({
        {"paragraphs are apart, blanks collapse", u"<p>One\n  two</p><p>Three</p>"_s, u"One two\n\nThree"_s},
        {"line breaks", u"a<br>b<BR/>c<br />"_s, u"a\nb\nc"_s},
        {"divs are lines", u"<div>a</div><div>b</div>"_s, u"a\nb"_s},
        {"headings underlined", u"<h1>Title</h1><h2>Sub</h2>text"_s, u"Title\n=====\n\nSub\n---\n\ntext"_s},
        {"pre keeps its lines and blanks", u"<pre>a  b\n c</pre>"_s, u"a  b\n c"_s},
        {"a rule", u"a<hr>b"_s, u"a\n"_s + QString(40, QChar(0x2500)) + u"\nb"_s},
    });
}

TEST(HtmlToText, ListsAndTables) {
    ExpectRows({
        {"bullets", u"<ul><li>one<li>two</ul>after"_s, u"  • one\n  • two\n\nafter"_s},
        {"numbers", u"<ol><li>one</li><li>two</li></ol>"_s, u"  1. one\n  2. two"_s},
        {"nested lists indent", u"<ul><li>a<ul><li>b</li></ul></li><li>c</li></ul>"_s, u"  • a\n    • b\n  • c"_s},
        {"cells separated, rows on lines",
         u"<table><tr><th>Name</th><th>Price</th></tr><tr><td>Tea</td> <td>3 &euro;</td></tr></table>"_s,
         u"Name | Price\nTea | 3 €"_s},
        {"an empty first cell adds no separator", u"<table><tr><td></td><td>x</td></tr></table>"_s, u"x"_s},
    });
}

TEST(HtmlToText, EntitiesNamedAndNumeric) {
    ExpectRows({
        {"common names", u"&lt;a&gt; &amp; &quot;q&quot; &auml;&ouml;&uuml;&szlig; &copy;&nbsp;x"_s,
         u"<a> & \"q\" äöüß © x"_s},
        {"decimal and hex", u"&#65;&#x42;&#X43;&#128512;"_s, u"ABC"_s + QString::fromUcs4(U"\U0001F600")},
        {"C1 references mean Windows-1252", u"&#128;&#150;"_s, u"€–"_s},
        {"invalid numbers are the replacement character", u"&#0;&#xD800;&#99999999999999;"_s,
         QString(3, QChar(0xFFFD))},
        {"unknown or unterminated names stay", u"&bogus; &amp &#;"_s, u"&bogus; &amp &#;"_s},
    });
}

TEST(HtmlToText, LinksShowTheirTargetAndNothingIsFetched) {
    ExpectRows({
        {"target after the text", u"<a href=\"https://example.org/x?a=1&amp;b=2\">Shop</a>"_s,
         u"Shop <https://example.org/x?a=1&b=2>"_s},
        {"no repetition when the text is the target", u"<a href='https://example.org'>https://example.org</a>"_s,
         u"https://example.org"_s},
        {"mailto shown as the address", u"<a href=mailto:a@example.org>write</a>"_s, u"write <a@example.org>"_s},
        {"a hidden direction override in the target shows", u"<a href=\"https://example.org/\u202Egpj.exe\">x</a>"_s,
         u"x <https://example.org/_gpj.exe>"_s},
        {"a remote image is at most its alt text", u"a<img src=\"http://tracker.example/p.gif\" alt=\"Logo\">b"_s,
         u"aLogob"_s},
        {"an image without alt text is nothing", u"<img src=http://tracker.example/p.gif width=1>"_s, QString()},
        {"style sheets and backgrounds leave no trace",
         u"<link rel=stylesheet href=http://x.example/s.css><body background=http://x.example/b.png>t"_s, u"t"_s},
    });
}

TEST(HtmlToText, ScriptStyleHeadAndCommentsAreDropped) {
    ExpectRows({
        {"script, even with markup inside", u"a<script>if (1 < 2) document.write('<p>x</p>')</script>b"_s, u"ab"_s},
        {"style and head", u"<html><head><title>T</title><style>p{color:red}</style></head><body>b</body>"_s, u"b"_s},
        {"end tag in any case", u"<SCRIPT type=x>evil()</ScRiPt >ok"_s, u"ok"_s},
        {"comment and doctype", u"<!DOCTYPE html><!-- <p>hidden</p> -->shown"_s, u"shown"_s},
    });
}

TEST(HtmlToText, MalformedMarkupStaysReadableAndEnds) {
    ExpectRows({
        {"unclosed tag at the end", u"text <b"_s, u"text"_s},
        {"unclosed script swallows only itself", u"a<script>while(1){}"_s, u"a"_s},
        {"unclosed comment", u"a<!-- b"_s, u"a"_s},
        {"a lone less-than sign is text", u"1 < 2 and 3 <4"_s, u"1 < 2 and 3 <4"_s},
        {"stray end tags", u"</p></li></ul></a>x</td>"_s, u"x"_s},
        {"unclosed quote ends with its tag", u"<a href=\"http://e.example>t</a> u"_s, u"t <http://e.example> u"_s},
        {"attribute value with a >", u"<img alt=\"a > b\">c"_s, u"a > bc"_s},
        {"empty", QString(), QString()},
    });
    // Deep nesting and thousands of unclosed elements: still one pass.
    QString deep;
    for (int i = 0; i < 20000; ++i)
        deep += u"<ul><li><a href=\"x"_s;
    const QString text = HtmlToText(deep);
    EXPECT_LT(text.size(), deep.size() * 4);
}

std::unique_ptr<kel::TKelMsg> Parsed(const std::string& raw) {
    auto msg = std::make_unique<kel::TKelMsg>();
    std::vector<std::string_view> lines;
    std::string_view rest(raw);
    while (!rest.empty()) {
        const size_t nl = rest.find('\n');
        lines.push_back(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
    msg->ParseLines(lines);
    return msg;
}

TEST(IsHtmlOnly, HtmlBodiesWithoutAPlainAlternative) {
    const struct {
        const char* name;
        std::string raw;
        bool html;
    } rows[] = {
        {"text/html", "Content-Type: text/html; charset=utf-8\n\n<p>x</p>", true},
        {"TEXT/HTML without parameters", "Content-Type: TEXT/HTML\n\nx", true},
        {"text/plain", "Content-Type: text/plain\n\n<html>x</html>", false},
        {"no content type", "Subject: s\n\n<html>x</html>", false},
        {"multipart with only an HTML part",
         "Content-Type: multipart/related; boundary=b\n\n--b\nContent-Type: text/html\n\n\n<html><p>x</p>\n--b--\n",
         true},
        {"an alternative's plain part first",
         "Content-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type: text/plain\n\nplain\n--b\n"
         "Content-Type: text/html\n\n<html><p>x</p>\n--b--\n",
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(IsHtmlOnly(*Parsed(row.raw)), row.html);
    }
}

} // namespace

namespace {

// In steps of any size the lines come out as in one go, and a line once
// given never changes nor goes away.
TEST(THtmlText, StepsGiveTheSameLinesAndNeverTakeOneBack) {
    QString html = u"<html><head><title>t</title></head><body>\n"_s;
    for (int k = 0; k < 40; ++k)
        html += u"<h2>Part %1</h2><p>a &amp; b<br>c</p><ul><li>x<li>y</ul><table><tr><td>1<td>2</table>"
                u"<pre>  p\n q</pre><a href=\"https://e.example/%1\">link</a><p>   </p><br><br>\n"_s.arg(k);
    const QStringList whole = HtmlToText(html).split(u'\n');
    for (const qsizetype budget : {1, 7, 64, 1000, 100000}) {
        SCOPED_TRACE(budget);
        THtmlText text(html);
        QStringList seen;
        int rounds = 0;
        bool done = false;
        while (!done && rounds++ < html.size() + 1) {
            done = text.Convert(budget);
            ASSERT_GE(text.LineCount(), seen.size());
            for (qsizetype k = 0; k < seen.size(); ++k)
                ASSERT_EQ(text.Line(k).toString(), seen[k]) << "line " << k << " changed";
            for (qsizetype k = seen.size(); k < text.LineCount(); ++k)
                seen << text.Line(k).toString();
        }
        ASSERT_TRUE(done);
        EXPECT_EQ(seen, whole);
    }
}

} // namespace
