#include "mail/TextRows.h"
#include "mail/core/KelText.h"

#include <gtest/gtest.h>

using namespace kel;
using kel_test::CheckRows;

TEST(StrToIntDef, AcceptsOnlyTheDocumentedForms) {
    const struct {
        std::string text;
        int32_t expected;
    } rows[] = {
        {"110", 110}, {"   42", 42}, {"+7", 7}, {"-7", -7}, {"$1F", 31}, {"XfF", 255}, {"0x10", 16},
        {"", -99}, {"12 ", -99}, {"\t12", -99}, {"-", -99}, {"0x", -99}, {"-$10", -99}, {"2147483648", -99},
        {std::string("1\0" "2", 3), -99},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(StrToIntDef(r.text, -99), r.expected);
    }
}

TEST(SmallHelpers, DottedAddressNthWordTrimRemoveCharStripQuotes) {
    for (const char* yes : {"10.0.0.1", "1.2.3.x10", " 1.2.3.4"})
        EXPECT_TRUE(IsDottedAddress(yes)) << yes;
    for (const char* no : {"10.0.0.1.5", "256.1.1.1", "1..2.3", "", "1.2.3.4 "})
        EXPECT_FALSE(IsDottedAddress(no)) << no;
    EXPECT_EQ(NthWordAsInt("  3    1200  ", 2, 100), 1200);
    EXPECT_EQ(NthWordAsInt("\t3\t1200", 2, 100), 100);
    EXPECT_EQ(Trim("\r\n\t a b \x01\x1f"), "a b");
    EXPECT_EQ(Trim(std::string("\0x\0", 3)), "x");
    EXPECT_EQ(RemoveChar(std::string("a\0b", 3), '\0'), "ab");
    CheckRows({{"both", "\"a\"", "a"}, {"mixed", "'a\"", "a"}, {"front", "'a", "a"}, {"back", "a'", "a"},
               {"lone", "\"", ""}, {"three", "'''", "'"}},
              StripQuotes);
}

TEST(SmallHelpers, CaseFoldsOnlyAscii) {
    struct Row {
        std::string a, b;
        bool same;
    } rows[] = {
        {"Content-Type", "CONTENT-TYPE", true}, {"", "", true},          {"a", "", false},
        {"ab", "abc", false},                   {"[", "{", false},        {"@", "`", false},
        {"\xc4", "\xe4", false},                {"Zz", "zZ", true},      {"mar", "MAR", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.a + "|" + r.b);
        EXPECT_EQ(SameText(r.a, r.b), r.same);
        EXPECT_EQ(LowerCase(r.a) == LowerCase(r.b), r.same);
        EXPECT_EQ(UpperCase(r.a) == UpperCase(r.b), r.same);
    }
    EXPECT_EQ(LowerCase("A\xc4Z@[`{"), "a\xc4z@[`{");
    EXPECT_EQ(UpperCase("a\xe4z@[`{"), "A\xe4Z@[`{");
}
