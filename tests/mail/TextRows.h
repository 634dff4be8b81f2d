// Table rows for functions from text to text, checked through one function.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace kel_test {

struct TextRow {
    const char* name;
    std::string text;
    std::string expected;
};

template <typename F> void CheckRows(std::initializer_list<TextRow> Rows, F Fn) {
    for (const TextRow& r : Rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(Fn(r.text), r.expected);
    }
}

} // namespace kel_test
