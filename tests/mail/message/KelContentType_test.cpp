#include "mail/core/KelTempFile.h"
#include "mail/message/KelContentType.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kel;

TEST(ContentTypeOfFile, ParsesTheTableAndTakesTheExtensionAfterTheLastSeparator) {
    std::unordered_map<std::string, std::string> t;
    ParseMimeTypesTable("# comment line\napplication/pdf\t\tpdf\ntext/plain  txt TEXT  # trailing comment\n"
                        "image/x-first jpg\nimage/jpeg jpg jpeg\r\napplication/x-nothing\n   \n",
                        t);
    EXPECT_EQ(t, (std::unordered_map<std::string, std::string>{{"pdf", "application/pdf"}, {"txt", "text/plain"},
                                                                {"text", "text/plain"}, {"jpg", "image/x-first"},
                                                                {"jpeg", "image/jpeg"}})); // the first registration wins

    const struct {
        const char* name;
        bool needsTable; // rows that need /etc/mime.types with the common types
        std::string expected;
    } rows[] = {
        {"REPORT.PDF", true, "application/pdf"},          {"mail\\report.pdf", true, "application/pdf"},
        {"a.pdf\\noext", false, "application/octet-stream"}, {"a.pdf:noext", false, "application/octet-stream"},
        {"x.no-such-extension-here", false, "application/octet-stream"}, {"a.b/c", false, "application/octet-stream"},
    };
    struct stat st {};
    const bool haveTable = ::stat("/etc/mime.types", &st) == 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        if (!r.needsTable || haveTable) {
            EXPECT_EQ(ContentTypeOfFile(r.name), r.expected);
        }
    }
    if (!haveTable)
        GTEST_SKIP() << "/etc/mime.types is missing: only the fallback rows ran";
}
