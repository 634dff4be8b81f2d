#include "message/kel_util.h"

#include <gtest/gtest.h>

using namespace kel;

TEST(StrToIntDef, AcceptsOnlyTheDocumentedForms) {
    struct Row {
        const char* name;
        std::string text;
        int32_t expected;
    };
    const Row rows[] = {
        {"decimal", "110", 110},
        {"leading spaces", "   42", 42},
        {"plus sign", "+7", 7},
        {"minus sign", "-7", -7},
        {"dollar hex", "$1F", 31},
        {"x hex", "xff", 255},
        {"X hex", "XfF", 255},
        {"0x hex", "0x10", 16},
        {"0X hex", "0X10", 16},
        {"int max", "2147483647", 2147483647},
        {"int min", "-2147483648", INT32_MIN},
        {"hex max", "$7FFFFFFF", 2147483647},
        {"empty", "", -99},
        {"blanks only", "   ", -99},
        {"trailing blank", "12 ", -99},
        {"tab before", "\t12", -99},
        {"letters", "abc", -99},
        {"sign alone", "-", -99},
        {"prefix alone", "$", -99},
        {"0x alone", "0x", -99},
        {"signed hex", "-$10", -99},
        {"overflow", "2147483648", -99},
        {"underflow", "-2147483649", -99},
        {"hex overflow", "$80000000", -99},
        {"long digits", std::string(1000, '9'), -99},
        {"digits then letter", "12a", -99},
        {"NUL inside", std::string("1\0" "2", 3), -99},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(StrToIntDef(r.text, -99), r.expected);
    }
}

TEST(IsDottedAddress, TellsAddressesFromHostNames) {
    struct Row {
        const char* text;
        bool expected;
    };
    const Row rows[] = {
        {"10.0.0.1", true},         {"127.0.0.1", true},   {"255.255.255.255", true},
        {"0.0.0.0", true},          {"10.0.0", false},     {"10.0.0.1.5", false},
        {"256.1.1.1", false},       {"1..2.3", false},     {"", false},
        {"mail.example.org", false}, {"1.2.3.-1", false},  {"1.2.3.x10", true},
        {" 1.2.3.4", true},         {"1.2.3.4 ", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(IsDottedAddress(r.text), r.expected);
    }
}

TEST(NthWordAsInt, PicksTheWordAfterBlanks) {
    struct Row {
        std::string text;
        int n;
        int32_t expected;
    };
    const Row rows[] = {
        {"3 1200", 2, 1200},     {"3 1200", 1, 3},         {"  3    1200  ", 2, 1200},
        {"3", 2, 100},           {"", 1, 100},             {"3 12x", 2, 100},
        {"3 1200 extra", 2, 1200}, {"5 1647", 3, 100},     {"\t3\t1200", 2, 100},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(NthWordAsInt(r.text, r.n, 100), r.expected);
    }
}

TEST(Trim, RemovesControlCharactersAndBlanks) {
    EXPECT_EQ(Trim("\r\n\t a b \x01\x1f"), "a b");
    EXPECT_EQ(Trim(std::string("\0x\0", 3)), "x");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(Trim("\x7f"), "\x7f");
}
