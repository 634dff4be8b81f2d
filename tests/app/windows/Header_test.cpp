// What does the header window show, and which way of closing it keeps the
// text for the next opening?
#include "app/windows/Header.h"

#include "support/QtTestApp.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Qt::StringLiterals;

class HeaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureApp();
        form = std::make_unique<TForm2>(language);
    }
    QString MemoText() const { return form->memo_header_anzeigen->toPlainText(); }

    sweepbox::TLanguage language;
    std::unique_ptr<TForm2> form;
};

TEST_F(HeaderTest, FixedLayoutAndCaptionsByLanguageOnEachShowing) {
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_TRUE(form->memo_header_anzeigen->isReadOnly());
    form->AddHeader("Subject: Gr\xC3\xBC\xC3\x9F" "e\r\n\r\n.\r\n|");
    for (const bool de : {true, false, true}) {
        SCOPED_TRACE(de ? "German" : "English");
        language.German = de;
        form->show();
        EXPECT_EQ(form->windowTitle(),
                  de ? u"Header der e-mail  - Sweepbox -"_s : u"Mail header  - Sweepbox -"_s);
        EXPECT_EQ(form->btn_close->text(), de ? u"Schließen"_s : u"Close"_s);
        EXPECT_EQ(form->grab().size(), QSize(537, 332));
        form->close();
    }
}

TEST_F(HeaderTest, OnlyTheButtonClearsTheTextBeforeTheNextHeader) {
    struct Row {
        const char* name;
        std::function<void(TForm2&)> close;
        QDialog::DialogCode result;
        QString after; // the memo once the next header was added
    };
    const auto enterOnButton = [](TForm2& f) {
        QApplication::setActiveWindow(&f);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
        ASSERT_EQ(QApplication::focusWidget(), f.btn_close) << "the button has the focus on opening";
        f.memo_header_anzeigen->setFocus();
        QTest::keyClick(f.memo_header_anzeigen, Qt::Key_Return);
        ASSERT_TRUE(f.isVisible()) << "Enter in the memo does not close";
        f.btn_close->setFocus();
        QTest::keyClick(f.btn_close, Qt::Key_Return);
    };
    const Row rows[] = {
        {"button clicked", [](TForm2& f) { QTest::mouseClick(f.btn_close, Qt::LeftButton); },
         QDialog::Accepted, QStringLiteral("Subject: two\n|")},
        {"Enter with the button focused", enterOnButton, QDialog::Accepted, QStringLiteral("Subject: two\n|")},
        {"title bar close box", [](TForm2& f) { f.close(); }, QDialog::Rejected,
         QStringLiteral("Subject: one\n\n.\n|\nSubject: two\n|")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        form = std::make_unique<TForm2>(language);
        form->AddHeader("Subject: one\r\n\r\n.\r\n|");
        form->show();
        EXPECT_EQ(MemoText(), QStringLiteral("Subject: one\n\n.\n|"));
        row.close(*form);
        EXPECT_FALSE(form->isVisible());
        EXPECT_EQ(form->result(), row.result);
        form->AddHeader("Subject: two\r\n|");
        EXPECT_EQ(MemoText(), row.after);
    }
}

TEST_F(HeaderTest, BytesShowAsUtf8OrWindows1252) {
    form->AddHeader("Subject: Gr\xC3\xBC\xC3\x9F" "e\r\nFrom: J\xFCrgen\rTo: x\n|");
    EXPECT_EQ(MemoText(), QString::fromUtf8("Subject: Grüße\nFrom: Jürgen\nTo: x\n|"));
}

// One header text a row, and the memo's text for it alone.
struct ShownRow {
    const char* name;
    std::string header;
    QString shown;
};

// A sender's direction override or isolate must not reorder how a field
// reads: each shows as "_", in raw bytes as in an encoded word's place.
// Raw 8-bit bytes: UTF-8 when they are valid UTF-8, else the charset the
// message declares for its body, else Windows-1252.
TEST_F(HeaderTest, HiddenControlsShowAsUnderscoresAndRawBytesFollowTheDeclaredCharset) {
    const std::vector<ShownRow> rows = {
        {"right-to-left override in a display name", "From: \"Eve \xE2\x80\xAEmoc.knab\" <eve@evil.example>",
         u"From: \"Eve _moc.knab\" <eve@evil.example>"_s},
        {"isolates and marks",
         "Subject: a\xE2\x81\xA6"
         "b\xE2\x81\xA9"
         "c\xE2\x80\x8F"
         "d",
         u"Subject: a_b_c_d"_s},
        {"C0 and C1 controls",
         "Subject: a\x01"
         "b\xC2\x85"
         "c\x7F",
         u"Subject: a_b_c_"_s},
        {"a folded line's tab is a blank", "Subject: one\r\n\ttwo", u"Subject: one\n two"_s},
        {"valid UTF-8 despite a declared Latin-1",
         "Subject: \xC3\xA9t\xC3\xA9\r\nContent-Type: text/plain; charset=iso-8859-1",
         u"Subject: été\nContent-Type: text/plain; charset=iso-8859-1"_s},
        {"KOI8-R as declared", "Subject: \xF0\xD2\xC9\xD7\xC5\xD4\r\nContent-Type: text/plain;\r\n charset=\"koi8-r\"",
         u"Subject: Привет\nContent-Type: text/plain;\n charset=\"koi8-r\""_s},
        {"undeclared 8-bit", "Subject: \xE9t\xE9 \x80", u"Subject: été €"_s},
    };
    for (const ShownRow& row : rows) {
        SCOPED_TRACE(row.name);
        form->memo_header_anzeigen->clear();
        form->AddHeader(row.header);
        EXPECT_EQ(MemoText(), row.shown);
    }
}

// Does the window open at the start of the first line, however long that
// line is and wherever the last opening was scrolled to?
TEST_F(HeaderTest, OpensScrolledToTheTopLeft) {
    std::string header = "Received: from a very long relay name " + std::string(600, 'r') + "\r\n";
    for (int i = 0; i < 100; ++i)
        header += "X-Line-" + std::to_string(i) + ": " + std::string(200, 'x') + "\r\n";
    QScrollBar* h = form->memo_header_anzeigen->horizontalScrollBar();
    QScrollBar* v = form->memo_header_anzeigen->verticalScrollBar();
    for (const char* opening : {"first", "again, after scrolling to the far end"}) {
        SCOPED_TRACE(opening);
        form->AddHeader(header);
        form->ShowTop();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        EXPECT_GT(h->maximum(), 0) << "the first line is wider than the memo";
        EXPECT_EQ(h->value(), 0);
        EXPECT_EQ(v->value(), 0);
        EXPECT_EQ(form->memo_header_anzeigen->textCursor().position(), 0);
        h->setValue(h->maximum());
        v->setValue(v->maximum());
        form->close(); // the close box keeps the text
    }
}

} // namespace
