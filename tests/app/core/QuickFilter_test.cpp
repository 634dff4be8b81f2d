// Which texts does the quick filter find, case and accents aside; how often
// does it ask for a message's text; and how does the count panel read while
// it filters?
#include "app/core/QuickFilter.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>

// Failures show the text, not its code units.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

TEST(SearchFolded, FindsAcrossCaseAccentsAndCompatibilityForms) {
    const struct {
        const char* name;
        const char* typed; // UTF-8
        const char* shown;
        bool found;
    } rows[] = {
        {"upper case typed", "MEETING", "Weekly meeting", true},
        {"no accent typed, umlaut shown", "grusse", "Grüße aus Köln", true},
        {"umlaut typed, none shown", "müller", "Mueller, Muller", true},
        {"accent typed, precomposed shown", "café", "CAFÉ au lait", true},
        {"decomposed shown (e and a combining acute)", "cafe", "cafe\xcc\x81", true},
        {"sharp s typed as ss", "strasse", "Hauptstraße 1", true},
        {"capital sharp s shown", "STRASSE", "HAUPTSTRA\xe1\xba\x9e" "E", true},
        {"ligature shown", "office", "the o\xef\xac\x83" "ce party", true},
        {"full-width letters shown", "abc", "\xef\xbc\xa1\xef\xbc\xa2\xef\xbc\xa3 news", true},
        {"Greek final sigma", "ΟΔΟΣ", "οδος", true},
        {"Polish l with stroke stays itself", "lodz", "Łódź", false},
        {"different word", "invoice", "Rechnung", false},
        {"typed accent where none is shown still matches the bare letter", "é", "e", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(sweepbox::SearchFolded(U(row.shown)).contains(sweepbox::SearchFolded(U(row.typed))), row.found)
            << sweepbox::SearchFolded(U(row.shown)).toStdString();
    }
}

// Sender and subject of three messages, with a count of how often each was asked.
struct Messages {
    std::map<int, QStringList> texts{
        {1, {U("Jürgen"), U("Grüße aus Köln")}}, {2, {U("Anna"), U("Meeting")}}, {3, {U("news"), U("RÉSUMÉ")}}};
    std::map<int, int> asked;
    sweepbox::TQuickFilter filter{[this](int n) {
        ++asked[n];
        const auto it = texts.find(n);
        return it == texts.end() ? QStringList() : it->second;
    }};
    std::vector<int> Found() {
        std::vector<int> found;
        for (int n = -1; n <= 4; ++n)
            if (filter.Matches(n))
                found.push_back(n);
        return found;
    }
};

TEST(TQuickFilter, MatchesSenderOrSubjectAndAsksEachMessageOnce) {
    Messages m;
    EXPECT_FALSE(m.filter.Active());
    EXPECT_EQ(m.Found(), (std::vector<int>{-1, 0, 1, 2, 3, 4})) << "off: everything is shown";
    EXPECT_TRUE(m.asked.empty()) << "off: no text is made";

    const struct {
        const char* typed;
        std::vector<int> found;
    } typing[] = {
        {"  ", {-1, 0, 1, 2, 3, 4}}, {"j", {1}}, {"JURG", {1}}, {"resume", {3}}, {"e", {1, 2, 3}},
        {"koln", {1}},               {"n\nm", {}}, {"xyz", {}},    {"", {-1, 0, 1, 2, 3, 4}},
    };
    for (const auto& step : typing) {
        SCOPED_TRACE(step.typed);
        m.filter.SetText(U(step.typed));
        EXPECT_EQ(m.Found(), step.found);
    }
    // "n\nm" does not reach across the end of Anna's sender into the subject.
    EXPECT_EQ(m.asked, (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}}));

    // A new listing: the texts are asked again.
    m.texts[2] = {U("Bob"), U("Invoice")};
    m.filter.Forget();
    m.filter.SetText(U("invoice"));
    EXPECT_EQ(m.Found(), (std::vector<int>{2}));
    EXPECT_EQ(m.asked[2], 2);
}

TEST(FilteredCountText, GroupsThousandsAsEachLanguageWrites) {
    const struct {
        bool german;
        int shown, total;
        const char* text;
    } rows[] = {
        {false, 12, 5000, "12 of 5,000 Mails"},   {true, 12, 5000, "12 von 5.000 Mails"},
        {false, 1234, 50000, "1,234 of 50,000 Mails"}, {true, 0, 3, "0 von 3 Mails"},
        {false, 1, 1, "1 of 1 Mails"},
    };
    for (const auto& row : rows) {
        sweepbox::TLanguage language;
        language.German = row.german;
        EXPECT_EQ(sweepbox::FilteredCountText(row.shown, row.total, language), U(row.text));
    }
}

} // namespace
