// What does each command line ask for, and what does the program say back?
// No application object exists in this binary, as in main() before the
// interface starts.
#include "app/core/CommandLine.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

namespace {

using sweepbox::ParseCommandLine;
using sweepbox::TCommandLine;

struct TCase {
    const char* name;
    QStringList arguments;
    TCommandLine::TAction action;
    QString text;
};

void PrintTo(const TCase& c, std::ostream* os) {
    *os << c.name;
}

const QString kHelp =
    QStringLiteral("Usage: sweepbox [options]\n"
                   "Lists the mail waiting on a POP3 server and deletes unwanted messages without downloading them.\n"
                   "\n"
                   "Options:\n"
                   "  -h, --help     Displays help on commandline options.\n"
                   "  -v, --version  Displays version information.\n");

QString Error(const QString& why) {
    return QStringLiteral("sweepbox: %1\nTry 'sweepbox --help' for more information.\n").arg(why);
}

class CommandLineTest : public ::testing::TestWithParam<TCase> {
  protected:
    static void SetUpTestSuite() {
        QCoreApplication::setApplicationName(QStringLiteral("Sweepbox"));
        QCoreApplication::setApplicationVersion(QStringLiteral("9.8"));
    }
};

TEST_P(CommandLineTest, ActionAndText) {
    const TCommandLine result = ParseCommandLine(GetParam().arguments);
    EXPECT_EQ(result.Action, GetParam().action);
    EXPECT_EQ(result.Text.toStdString(), GetParam().text.toStdString());
}

QString s(const char* text) {
    return QString::fromUtf8(text);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineTest,
    ::testing::Values(
        TCase{"nothing", {s("sweepbox")}, TCommandLine::clStart, {}},
        TCase{"not even the program", {}, TCommandLine::clStart, {}},
        TCase{"end of options alone", {s("sweepbox"), s("--")}, TCommandLine::clStart, {}},
        TCase{"long help", {s("sweepbox"), s("--help")}, TCommandLine::clHelp, kHelp},
        TCase{"short help", {s("sweepbox"), s("-h")}, TCommandLine::clHelp, kHelp},
        TCase{"help names the program without its folder",
              {s("/usr/bin/sweepbox"), s("-h")},
              TCommandLine::clHelp,
              kHelp},
        TCase{"help wins over version", {s("sweepbox"), s("-vh")}, TCommandLine::clHelp, kHelp},
        TCase{"long version", {s("sweepbox"), s("--version")}, TCommandLine::clVersion, s("Sweepbox 9.8\n")},
        TCase{"short version", {s("sweepbox"), s("-v")}, TCommandLine::clVersion, s("Sweepbox 9.8\n")},
        TCase{"unknown long option",
              {s("sweepbox"), s("--bogus")},
              TCommandLine::clError,
              Error(s("Unknown option 'bogus'."))},
        TCase{
            "unknown short option", {s("./sweepbox"), s("-x")}, TCommandLine::clError, Error(s("Unknown option 'x'."))},
        TCase{"no help with Qt's options",
              {s("sweepbox"), s("--help-all")},
              TCommandLine::clError,
              Error(s("Unknown option 'help-all'."))},
        TCase{"an error beats help",
              {s("sweepbox"), s("--help"), s("--bogus")},
              TCommandLine::clError,
              Error(s("Unknown option 'bogus'."))},
        TCase{"value given to a switch",
              {s("sweepbox"), s("--version=2")},
              TCommandLine::clError,
              Error(s("Unexpected value after '--version'."))},
        TCase{"a file",
              {s("sweepbox"), s("mail.eml")},
              TCommandLine::clError,
              Error(s("Unexpected argument 'mail.eml'."))},
        TCase{"an option after the end of options",
              {s("sweepbox"), s("--"), s("--help")},
              TCommandLine::clError,
              Error(s("Unexpected argument '--help'."))},
        TCase{"an argument like a placeholder",
              {s("sweepbox"), s("%2%1")},
              TCommandLine::clError,
              Error(s("Unexpected argument '%2%1'."))},
        TCase{"an empty argument",
              {s("sweepbox"), QString()},
              TCommandLine::clError,
              Error(s("Unexpected argument ''."))},
        TCase{
            "a program without a name", {QString(), s("-z")}, TCommandLine::clError, Error(s("Unknown option 'z'."))}),
    [](const auto& info) {
        std::string name;
        for (const char* c = info.param.name; *c; ++c)
            name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return name;
    });

// Only Qt's own options wait for the application object; any other mistake
// is reported before the interface starts (no display needed).
TEST(CommandLineArguments, OnlyQtsOwnOptionsWaitForTheInterface) {
    const struct {
        QStringList arguments;
        bool forQt;
    } rows[] = {
        {{s("sweepbox"), s("-platform"), s("offscreen")}, true},
        {{s("sweepbox"), s("--style=fusion")}, true},
        {{s("sweepbox"), s("-display"), s(":1"), s("--bogus")}, true},
        {{s("sweepbox"), s("--bogus")}, false},
        {{s("sweepbox"), s("-x"), s("mail.eml")}, false},
        {{s("sweepbox"), s("--"), s("-platform")}, false},
        {{s("sweepbox"), s("platform")}, false},
        {{}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString());
        EXPECT_EQ(sweepbox::MayBeForQt(row.arguments), row.forQt);
    }
}

TEST(CommandLineArguments, TakesArgvUpToCountOrEnd) {
    const char* argv[] = {"sweepbox", "--v\xff", "\xc3\xa4", nullptr};
    const QStringList all = sweepbox::ArgumentList(3, argv);
    ASSERT_EQ(all.size(), 3);
    EXPECT_EQ(all[0], QStringLiteral("sweepbox"));
    EXPECT_EQ(all[2], QString::fromUtf8("\xc3\xa4"));
    // A count past the terminating null stops at the null.
    EXPECT_EQ(sweepbox::ArgumentList(9, argv).size(), 3);
    EXPECT_TRUE(sweepbox::ArgumentList(0, argv).isEmpty());
    // Undecodable bytes make an option the parser rejects, not a crash.
    EXPECT_EQ(ParseCommandLine(all).Action, TCommandLine::clError);
}

} // namespace
