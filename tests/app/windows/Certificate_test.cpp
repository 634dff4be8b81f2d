// Can a certificate's names fool the user about whom they would trust?
#include "app/windows/Certificate.h"

#include "support/QtTestApp.h"

#include <QLabel>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Qt::StringLiterals;

TEST(CertificateDialog, DirectionControlsInTheNamesShowAsUnderscores) {
    sweepbox::test::EnsureApp();
    struct Row {
        const char* name;
        std::string value;
        QString shown;
    };
    const std::vector<Row> rows = {
        {"override", "CN=\xE2\x80\xAEgro.knab.liam", u"CN=_gro.knab.liam"_s},
        {"embedding and isolate",
         "O=a\xE2\x80\xAB"
         "b\xE2\x81\xA7"
         "c",
         u"O=a_b_c"_s},
        {"marks and a line separator", "CN=x\xE2\x80\x8E\xE2\x80\xA8y", u"CN=x__y"_s},
        {"control bytes", "CN=a\nb\x1B", u"CN=a_b_"_s},
        {"plain stays", "CN=mail.example.org", u"CN=mail.example.org"_s},
    };
    sweepbox::TLanguage language;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        kel::TCertificateInfo info;
        info.Problems = {kel::TCertProblem::Untrusted};
        info.Subject = row.value;
        info.Issuer = "Issuer " + row.value;
        TCertificateDialog dialog(info, u"mail.example.org:995"_s, language);
        EXPECT_EQ(dialog.Subject->text(), row.shown);
        EXPECT_EQ(dialog.Issuer->text(), u"Issuer "_s + row.shown);
    }
}

} // namespace
