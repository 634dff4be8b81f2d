// TReplyReader: does every reply come out the same whatever the receives
// were, whole, one byte at a time or cut at any offset, and does what
// follows a reply stay for the next one?
#include "mail/pop3/KelReplyReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using kel::TReplyReader;
using Step = TReplyReader::TStep;
using Strings = std::vector<std::string>;

namespace {

// One reply to take: 'L' a line, 'D' unstuffed data, 'R' data as sent.
struct Take {
    char kind;
    uint64_t limit = UINT64_MAX;
};

struct Outcome {
    Strings taken; // each take's result; "<more>" and "<too long>" mark how it ended
    std::string rest;
    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << ::testing::PrintToString(o.taken) << " rest " << ::testing::PrintToString(o.rest);
}

// InPlace: data goes in through FeedData where a data take waits for it.
Outcome Play(const Strings& pieces, const std::vector<Take>& takes, bool InPlace) {
    TReplyReader r;
    Outcome out;
    size_t next = 0;
    bool begun = false, stopped = false;
    std::string current;
    for (const std::string& piece : pieces) {
        bool fed = false;
        while (next < takes.size() && !stopped) {
            const Take& t = takes[next];
            Step step;
            if (t.kind == 'L') {
                if (!fed)
                    r.Feed(piece);
                fed = true;
                step = r.TakeLine(current);
            } else {
                if (!begun)
                    r.BeginData(t.kind == 'D', t.limit);
                begun = true;
                if (!fed && InPlace) {
                    step = r.FeedData(piece, current);
                } else {
                    if (!fed)
                        r.Feed(piece);
                    step = r.TakeData(current);
                }
                fed = true;
            }
            if (step == Step::More)
                break;
            out.taken.push_back(step == Step::Done ? current : current + "<too long>");
            stopped = step == Step::TooLong;
            current.clear();
            begun = false;
            ++next;
        }
        if (!fed)
            r.Feed(piece);
    }
    if (next < takes.size() && !stopped)
        out.taken.push_back(current + "<more>");
    out.rest = std::string(r.Pending());
    return out;
}

} // namespace

TEST(ReplyReader, SameRepliesAndRestWhateverTheReceives) {
    using std::string_literals::operator""s;
    const std::string longLine(TReplyReader::kMaxLine, 'x');
    struct Row {
        const char* name;
        std::string stream;
        std::vector<Take> takes;
        Strings taken;
        std::string rest;
    };
    const Row rows[] = {
        {"single line", "+OK hi\r\n", {{'L'}}, {"+OK hi"}, ""},
        {"a reply followed by the start of the next", "+OK 1\r\n-ERR x", {{'L'}}, {"+OK 1"}, "-ERR x"},
        {"two replies in one receive", "+OK a\r\n-ERR b\r\n", {{'L'}, {'L'}}, {"+OK a", "-ERR b"}, ""},
        {"a lone CR or LF does not end a line", "+OK a\rb\nc\r\n", {{'L'}}, {"+OK a\rb\nc"}, ""},
        {"a line without CR LF waits", "+OK", {{'L'}}, {"<more>"}, "+OK"},
        {"the longest line", longLine + "\r\n", {{'L'}}, {longLine}, ""},
        {"one byte longer", longLine + "x\r\n", {{'L'}}, {"<too long>"}, longLine + "x\r\n"},
        {"stuffed lines", "+OK\r\nA: 1\r\n..\r\n...x\r\n..\r\n.\r\n", {{'L'}, {'D'}},
         {"+OK", "A: 1\r\n.\r\n..x\r\n.\r\n"}, ""},
        {"stuffed lines as sent", "+OK\r\nA: 1\r\n..\r\n...x\r\n.\r\n", {{'L'}, {'R'}},
         {"+OK", "A: 1\r\n..\r\n...x\r\n"}, ""},
        {"empty data", "+OK\r\n.\r\n", {{'L'}, {'D'}}, {"+OK", ""}, ""},
        {"an empty line, then the end", "+OK\r\n\r\n.\r\n", {{'L'}, {'D'}}, {"+OK", "\r\n"}, ""},
        {"CR . CR LF does not end", "+OK\r\nx\r.\r\ny\r\n.\r\n", {{'L'}, {'D'}}, {"+OK", "x\r.\r\ny\r\n"}, ""},
        {"LF . CR LF does not end", "+OK\r\nbefore\n.\r\nafter\r\n.\r\n", {{'L'}, {'D'}},
         {"+OK", "before\n.\r\nafter\r\n"}, ""},
        {"a stuffed line after a lone CR", "+OK\r\nx\r..y\r\n.\r\n", {{'L'}, {'D'}}, {"+OK", "x\r.y\r\n"}, ""},
        {"a stuffed line after a lone LF", "+OK\r\nx\n..y\r\n.\r\n", {{'L'}, {'D'}}, {"+OK", "x\n.y\r\n"}, ""},
        {"a dot before NUL stays (NUL ends the line)", "+OK\r\n.\0z\r\n.\r\n"s, {{'L'}, {'D'}},
         {"+OK", ".\0z\r\n"s}, ""},
        {"a reply, then the next", "+OK\r\nA\r\n.\r\n+OK 2 3\r\n", {{'L'}, {'D'}, {'L'}}, {"+OK", "A\r\n", "+OK 2 3"},
         ""},
        {"a reply, then the start of the next", "+OK\r\nA\r\n.\r\n-E", {{'L'}, {'D'}}, {"+OK", "A\r\n"}, "-E"},
        {"the terminator's start waits", "+OK\r\nabc\r\n.\r", {{'L'}, {'D'}}, {"+OK", "abc\r\n<more>"}, ".\r"},
        {"a dot at the end waits", "+OK\r\nabc\r\n.", {{'L'}, {'D'}}, {"+OK", "abc\r\n<more>"}, "."},
        {"data up to its bound", "+OK\r\n0123456\r\n.\r\n", {{'L'}, {'D', 12}}, {"+OK", "0123456\r\n"}, ""},
        {"data past its bound", "+OK\r\n01234567\r\n.\r\n", {{'L'}, {'D', 12}}, {"+OK", "01234567\r\n<too long>"},
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome expected{row.taken, row.rest};
        for (bool inPlace : {false, true}) {
            SCOPED_TRACE(inPlace ? "fed in place" : "fed, then taken");
            EXPECT_EQ(Play({row.stream}, row.takes, inPlace), expected) << "whole";
            Strings bytes;
            for (char c : row.stream)
                bytes.emplace_back(1, c);
            EXPECT_EQ(Play(bytes, row.takes, inPlace), expected) << "one byte at a time";
            if (row.stream.size() > 1000)
                continue; // the long lines: whole and byte by byte are enough
            for (size_t cut = 1; cut < row.stream.size(); ++cut)
                EXPECT_EQ(Play({row.stream.substr(0, cut), row.stream.substr(cut)}, row.takes, inPlace), expected)
                    << "cut at " << cut;
        }
    }
}

// A flood without a line end is refused once it passes the bound, however
// it arrives, and the reader holds no more than the bound and one receive.
TEST(ReplyReader, AFloodWithoutLineEndIsRefusedAtTheBound) {
    TReplyReader r;
    std::string line;
    const std::string piece(1024, 'x');
    size_t fed = 0;
    Step step = Step::More;
    while (step == Step::More && fed < (10u << 20)) {
        r.Feed(piece);
        fed += piece.size();
        step = r.TakeLine(line);
    }
    EXPECT_EQ(step, Step::TooLong);
    EXPECT_LE(fed, TReplyReader::kMaxLine + piece.size());
}
