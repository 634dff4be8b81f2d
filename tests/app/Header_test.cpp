// What does the header window show, and which way of closing it keeps the
// text for the next opening?
#include "Header.h"

#include <QApplication>
#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <memory>
#include <string>

void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

void EnsureApp() {
    static int argc = 1;
    static char arg0[] = "Header_test";
    static char* argv[] = {arg0, nullptr};
    // Never destroyed: Qt's statics are gone when static destructors run.
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

class HeaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApp();
        form = std::make_unique<TForm2>();
        form->LanguageIsGerman = [this] { return german; };
    }
    QString MemoText() const { return form->memo_header_anzeigen->toPlainText(); }

    bool german = false;
    std::unique_ptr<TForm2> form;
};

TEST_F(HeaderTest, CaptionsFollowTheLanguageOnEachShowing) {
    struct Row {
        bool german;
        QString title;
        QString button;
    };
    const Row rows[] = {
        {true, QStringLiteral("Header der e-mail  - Sweepbox -"), QString::fromUtf8("Schließen")},
        {false, QStringLiteral("Mail header  - Sweepbox -"), QStringLiteral("Close")},
        {true, QStringLiteral("Header der e-mail  - Sweepbox -"), QString::fromUtf8("Schließen")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.german ? "German" : "English");
        german = row.german;
        form->show();
        EXPECT_EQ(form->windowTitle(), row.title);
        EXPECT_EQ(form->btn_close->text(), row.button);
        const QPushButton* b = form->btn_close;
        EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 12, b->width()) << "caption fits";
        form->close();
    }
}

TEST_F(HeaderTest, FixedLayout) {
    EXPECT_EQ(form->size(), QSize(537, 332));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_EQ(form->memo_header_anzeigen->geometry(), QRect(0, 0, 537, 305));
    EXPECT_TRUE(form->memo_header_anzeigen->isReadOnly());
    EXPECT_EQ(form->btn_close->size(), QSize(75, 25));
    EXPECT_EQ(form->btn_close->geometry().center().x(), form->rect().center().x());
    EXPECT_GE(form->btn_close->y(), 305);
    EXPECT_LE(form->btn_close->geometry().bottom(), form->rect().bottom());
    EXPECT_TRUE(form->btn_close->isDefault());
}

TEST_F(HeaderTest, CloseButtonClearsTheMemo) {
    form->AddHeader("Subject: one\r\n\r\n.\r\n|");
    form->show();
    EXPECT_EQ(MemoText(), QStringLiteral("Subject: one\n\n.\n|"));
    QTest::mouseClick(form->btn_close, Qt::LeftButton);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_TRUE(MemoText().isEmpty());

    form->AddHeader("Subject: two\r\n|");
    EXPECT_EQ(MemoText(), QStringLiteral("Subject: two\n|")) << "only the second header";
}

TEST_F(HeaderTest, CloseBoxKeepsTheTextAndTheNextHeaderGoesBelow) {
    form->AddHeader("Subject: one\r\n|");
    form->show();
    form->close(); // what the title bar's close box does
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Rejected);
    form->AddHeader("Subject: two\r\n|");
    EXPECT_EQ(MemoText(), QStringLiteral("Subject: one\n|\nSubject: two\n|"));
}

TEST_F(HeaderTest, EnterPressesTheButtonUnlessTheMemoHasTheFocus) {
    form->AddHeader("Subject: one");
    form->show();
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    ASSERT_EQ(QApplication::focusWidget(), form->btn_close) << "the button has the focus on opening";

    form->memo_header_anzeigen->setFocus();
    QTest::keyClick(form->memo_header_anzeigen, Qt::Key_Return);
    EXPECT_TRUE(form->isVisible()) << "Enter in the memo does not close";

    form->btn_close->setFocus();
    QTest::keyClick(form->btn_close, Qt::Key_Return);
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(MemoText().isEmpty());
}

TEST_F(HeaderTest, BytesShowAsUtf8OrWindows1252AndShowTopPutsTheCaretOnLineOne) {
    form->AddHeader("Subject: Gr\xC3\xBC\xC3\x9F" "e\r\nFrom: J\xFCrgen\rTo: x\n|");
    EXPECT_EQ(MemoText(), QString::fromUtf8("Subject: Grüße\nFrom: Jürgen\nTo: x\n|"));
    form->ShowTop();
    const QTextCursor caret = form->memo_header_anzeigen->textCursor();
    EXPECT_EQ(caret.blockNumber(), 0);
    EXPECT_TRUE(caret.atBlockEnd());
}

TEST_F(HeaderTest, RendersInBothLanguages) {
    const QString dir = qEnvironmentVariable("SWEEPBOX_SHOTS_DIR");
    for (const bool g : {true, false}) {
        german = g;
        form->memo_header_anzeigen->clear();
        form->AddHeader("Return-Path: <list@example.org>\r\nReceived: from mx.example.org by pop.example.org\r\n"
                        "From: Sweepbox Test <test@example.org>\r\nTo: user@example.org\r\n"
                        "Subject: Gr\xC3\xBC\xC3\x9F" "e aus dem Testlauf\r\n"
                        "Date: Sun, 13 Feb 2000 10:00:00 +0100\r\n\r\n.\r\n|");
        form->ShowTop();
        form->show();
        const QPixmap shot = form->grab();
        EXPECT_EQ(shot.size(), QSize(537, 332));
        if (!dir.isEmpty()) {
            EXPECT_TRUE(shot.save(QDir(dir).filePath(g ? QStringLiteral("header-de.png")
                                                       : QStringLiteral("header-en.png"))));
        }
        form->close();
    }
}

} // namespace
