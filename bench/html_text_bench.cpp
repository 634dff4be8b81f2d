// How fast does HtmlToText read large and hostile markup? Each input is about
// the given size; the conversion must stay linear, so MB/s should be about
// the same for every shape (a quadratic case would fall by orders of
// magnitude as the size doubles).
//
// Usage: html_text_bench [megabytes=8] [rounds=5]
#include "BenchUtil.h"
#include "app/core/HtmlText.h"

#include <QString>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace bench;

QString Repeat(const QString& unit, size_t bytes) {
    QString out;
    out.reserve(static_cast<qsizetype>(bytes));
    while (static_cast<size_t>(out.size()) < bytes)
        out += unit;
    return out;
}

} // namespace

int main(int argc, char** argv) {
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const size_t size = mb * 1000000;
    const struct {
        const char* name;
        QString html;
    } inputs[] = {
        {"newsletter", Repeat(QStringLiteral("<h2>Angebot</h2><p>Gr&uuml;&szlig;e &ndash; <a href=\"https://shop."
                                             "example/x?a=1&amp;b=2\">zum Shop</a></p><table><tr><td>Tee</td><td>3,50"
                                             "&nbsp;&euro;</td></tr></table><ul><li>eins</li><li>zwei</li></ul>\n"),
                              size)},
        {"unclosed nested lists and links", Repeat(QStringLiteral("<ul><li><a href=\"x"), size)},
        {"unclosed quotes", Repeat(QStringLiteral("<img alt=\"a <b title='c "), size)},
        {"script without an end", QStringLiteral("<script>") + Repeat(QStringLiteral("</scrip </s x<"), size)},
        {"comment openers", Repeat(QStringLiteral("<!-- -- <! "), size)},
        {"entities", Repeat(QStringLiteral("&amp;&#x1F600;&#99999999999;&bogus;&"), size)},
        {"less-than signs", Repeat(QStringLiteral("< <<1 </ "), size)},
    };
    for (const auto& input : inputs) {
        std::vector<double> ms;
        qsizetype outSize = 0;
        for (int r = 0; r < rounds; ++r) {
            const auto t0 = Clock::now();
            outSize = HtmlToText(input.html).size();
            ms.push_back(MsSince(t0));
        }
        const double median = Median(ms);
        std::printf("%-32s %6.1f MB of UTF-16 input: %8.1f ms (median of %d), %6.1f MB/s, %lld characters out\n",
                    input.name, input.html.size() / 1e6, median, rounds, input.html.size() / 1e3 / median,
                    static_cast<long long>(outSize));
    }
    return 0;
}
