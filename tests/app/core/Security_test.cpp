// Does each security keep its stored word and its meaning for the POP3
// component, and what does a word that names none read as?
#include "app/core/Security.h"

#include <gtest/gtest.h>

namespace {

using sweepbox::TSecurity;

TEST(Security, EachChoiceKeepsItsWordAndItsMeaning) {
    const struct {
        TSecurity security;
        const char* text;
        kel::TPopSecurity pop;
    } rows[] = {
        {TSecurity::Tls, "tls", kel::TPopSecurity::Tls},
        {TSecurity::StartTls, "starttls", kel::TPopSecurity::StartTls},
        {TSecurity::None, "none", kel::TPopSecurity::None},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(sweepbox::SecurityText(row.security), QLatin1StringView(row.text));
        EXPECT_EQ(sweepbox::ParseSecurity(QString::fromLatin1(row.text)), row.security);
        // A known word wins over any fallback.
        EXPECT_EQ(sweepbox::SecurityFromText(QString::fromLatin1(row.text), TSecurity::None), row.security);
        EXPECT_EQ(sweepbox::PopSecurity(row.security), row.pop);
    }
}

TEST(Security, AWordThatNamesNoneReadsAsTheFallback) {
    for (const char* text : {"", "TLS", " tls", "tls ", "ssl", "start-tls", "None", "plain"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(sweepbox::ParseSecurity(QString::fromLatin1(text)), std::nullopt);
        EXPECT_EQ(sweepbox::SecurityFromText(QString::fromLatin1(text)), TSecurity::Tls);
        EXPECT_EQ(sweepbox::SecurityFromText(QString::fromLatin1(text), TSecurity::None), TSecurity::None);
    }
}

TEST(Security, OnlyThisMachineDefaultsToUnencrypted) {
    const struct {
        const char* server;
        TSecurity expected;
    } rows[] = {
        {"127.0.0.1", TSecurity::None},
        {"127.0.0.1:1110", TSecurity::None},
        {"[::1]:995", TSecurity::None},
        {"pop.example.org", TSecurity::Tls},
        {"pop.example.org:110", TSecurity::Tls},
        {"192.0.2.7", TSecurity::Tls},
        {"", TSecurity::Tls},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.server);
        EXPECT_EQ(sweepbox::DefaultSecurity(QString::fromLatin1(row.server)), row.expected);
    }
}

} // namespace
