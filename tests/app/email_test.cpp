// What does the message window list and save, and does a saved file hold
// exactly the bytes of what the user sees?
#include "email.h"

#include "Dialogs.h"
#include "message/KelMsg.h"
#include "support/QtTestApp.h"

#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using namespace std::string_literals;
using namespace Qt::StringLiterals;

struct Attachment {
    std::string name;
    std::string data;
};

std::unique_ptr<kel::TKelMsg> MakeMsg(std::vector<std::string> text, const std::vector<Attachment>& files) {
    auto msg = std::make_unique<kel::TKelMsg>();
    msg->Text = std::move(text);
    for (const Attachment& a : files)
        msg->AttachedFiles.Add(a.name).Data = a.data;
    return msg;
}

class EmailTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureApp();
        ASSERT_TRUE(dir.isValid());
        folder = dir.path();
        form = std::make_unique<TForm3>();
        form->LanguageIsGerman = [this] { return german; };
        // The "user" confirms the proposal in folder.
        form->ExecuteSaveDialog = [this](TSaveDialog& d) {
            asked.push_back(d);
            if (!accept)
                return false;
            d.FileName = QDir(folder).filePath(d.FileName);
            return true;
        };
        previousHook = sweepbox::SetMessageHook([this](QWidget*, const QString& text) { messages.push_back(text); });
    }
    void TearDown() override { sweepbox::SetMessageHook(previousHook); }

    QStringList ListTexts() const {
        QStringList out;
        for (int i = 0; i < form->attachment_list->count(); ++i)
            out << form->attachment_list->item(i)->text();
        return out;
    }
    QStringList FolderEntries() const {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    std::string Saved(const QString& name) const {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : "<missing>";
    }

    QTemporaryDir dir;
    QString folder;
    bool german = false;
    bool accept = true;
    std::vector<TSaveDialog> asked;
    QStringList messages;
    sweepbox::TMessageHook previousHook;
    std::unique_ptr<TForm3> form;
};

TEST_F(EmailTest, FixedLayoutAndCaptionsByLanguage) {
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_TRUE(form->memo_email_anzeigen->isReadOnly());
    const auto msg = MakeMsg({"Hallo,", "", "Gru\xC3\x9F"}, {{"zeta.zip", "Z"}, {"T 2000.xls", "T"}});
    form->AddMessage(msg.get());
    for (const bool de : {true, false}) {
        SCOPED_TRACE(de ? "German" : "English");
        german = de;
        form->show();
        const QStringList texts = {form->windowTitle(), form->close_window->text(),
                                   form->save_email->text(), form->save_attachment->text(),
                                   form->lab_anhang->text()};
        EXPECT_EQ(texts, (de ? QStringList{u"Inhalt der e-mail  - Sweepbox -"_s, u"Schließen"_s,
                                           u"Speichere E-Mail"_s, u"Speichere Anhang"_s, u"Anhänge :"_s}
                             : QStringList{u"Contents of e-mail  - Sweepbox -"_s, u"Close"_s,
                                           u"Save e-mail"_s, u"Save attachment"_s, u"Attachments :"_s}));
        EXPECT_EQ(form->grab().size(), QSize(467, 443));
        form->close();
    }
}

TEST_F(EmailTest, ListIsSortedAndEachEntrySavesItsOwnDecodedBytes) {
    std::string binary = "\0\0\xFF\r\n\x1A"s;
    for (int i = 0; i < 70000; ++i)
        binary += static_cast<char>(i * 7 % 256);
    const auto sorted = MakeMsg({"Hi"}, {{"zeta.zip", "ZIP"}, {"alpha.txt", "alpha bytes"}, {"Beta.bin", "B"}});
    const auto raw = MakeMsg({}, {{"picture.png", binary}, {"empty.dat", ""}});
    const auto twins = MakeMsg({}, {{"same.txt", "first"}, {"other", "x"}, {"same.txt", "second"}});
    struct Row {
        const char* name;
        const kel::TKelMsg* msg;
        QStringList listed;
        int pick; // the entry the user selects; -1 keeps the first one
        std::string saved;
    };
    const Row rows[] = {
        {"sorted, the first entry selected and saved", sorted.get(),
         {u"alpha.txt"_s, u"Beta.bin"_s, u"zeta.zip"_s}, -1, "alpha bytes"},
        {"binary with NUL bytes", raw.get(), {u"empty.dat"_s, u"picture.png"_s}, 1, binary},
        {"second of two equal names", twins.get(), {u"other"_s, u"same.txt"_s, u"same.txt"_s}, 2,
         "second"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        asked.clear();
        form->AddMessage(row.msg);
        form->show();
        EXPECT_EQ(ListTexts(), row.listed);
        if (row.pick >= 0)
            form->attachment_list->setCurrentRow(row.pick);
        QTest::mouseClick(form->btn_save_attachments, Qt::LeftButton);
        const QString name = row.listed[std::max(row.pick, 0)];
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].FileName, name);
        EXPECT_EQ(Saved(name), row.saved);
        form->close();
    }
    EXPECT_EQ(asked[0].Title, QStringLiteral("Save Attachment"));
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(EmailTest, TextIsSavedFromTheOriginalBytesWithCrLfUnderTheProposalDotTxt) {
    const auto msg = MakeMsg({"Gr\xC3\xBC\xC3\x9F" "e", "J\xFCrgen \x80", "", "tab\there", "end"}, {});
    form->AddMessage(msg.get());
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(), QString::fromUtf8("Grüße\nJürgen €\n\ntab\there\nend"));
    form->show();
    form->btn_save_emailClick(nullptr);
    form->btn_save_emailClick(nullptr);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].FileName, QStringLiteral(".txt")) << "the proposal is \".txt\" every time";
    EXPECT_EQ(asked[0].Filter, QStringLiteral("ASCII; Text|*.txt"));
    EXPECT_EQ(Saved(u".txt"_s), "Gr\xC3\xBC\xC3\x9F" "e\r\nJ\xFCrgen \x80\r\n\r\ntab\there\r\nend\r\n");
}

// The message as a retrieval parses it, so its TextCharSet is the model's.
std::unique_ptr<kel::TKelMsg> ParsedMsg(const std::string& raw) {
    auto msg = std::make_unique<kel::TKelMsg>();
    msg->RawMail = kel::SplitLines(raw);
    msg->Parse();
    return msg;
}

TEST_F(EmailTest, TextShowsInItsDeclaredCharsetAndSavesAsReceived) {
    const struct {
        const char* name;
        std::string raw;
        const char* shown; // UTF-8
        std::string saved;
    } rows[] = {
        {"KOI8-R", "Content-Type: text/plain; charset=koi8-r\r\n\r\n\xFA\xC4\xD2\xC1\xD7\xD3\xD4\xD7\xD5\xCA\xD4\xC5\r\n"
                   "\xED\xC9\xD2\r\n",
         "Здравствуйте\nМир", "\xFA\xC4\xD2\xC1\xD7\xD3\xD4\xD7\xD5\xCA\xD4\xC5\r\n\xED\xC9\xD2\r\n"},
        {"ISO-8859-2, quoted-printable",
         "Content-Type: text/plain; charset=\"ISO-8859-2\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
         "=A3=F3d=BC\r\n",
         "Łódź", "\xA3\xF3" "d\xBC\r\n"},
        {"Shift_JIS, base64",
         "Content-Type: text/plain;\r\n charset=Shift_JIS\r\nContent-Transfer-Encoding: base64\r\n\r\n"
         "k/qWe4zqgsyDZYNYg2cNCoLFgrc=\r\n",
         "日本語のテスト\nです", "\x93\xFA\x96{\x8C\xEA\x82\xCC\x83" "e\x83X\x83g\r\n\x82\xC5\x82\xB7\r\n"},
        {"multipart: the first text part's windows-1251",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain; charset=windows-1251\r\n"
         "\r\n\xCF\xF0\xE8\xE2\xE5\xF2\r\n--b\r\nContent-Type: application/octet-stream; name=a.bin\r\n\r\nA\r\n"
         "--b--\r\n",
         "Привет", "\xCF\xF0\xE8\xE2\xE5\xF2\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TForm3 window;
        window.ExecuteSaveDialog = form->ExecuteSaveDialog;
        const auto msg = ParsedMsg(row.raw);
        window.AddMessage(msg.get());
        EXPECT_EQ(window.memo_email_anzeigen->toPlainText(), QString::fromUtf8(row.shown));
        QFile::remove(dir.filePath(u".txt"_s));
        window.btn_save_emailClick(nullptr);
        EXPECT_EQ(Saved(u".txt"_s), row.saved);
    }
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(EmailTest, HostileNamesStayInsideTheChosenFolder) {
    QDir(dir.path()).mkpath(QStringLiteral("a/b"));
    folder = dir.filePath(QStringLiteral("a/b"));
    std::vector<Attachment> files;
    for (const char* n : {"../../x", "..", "/etc/passwd", "a\x01\x1f" "b", "..\\..\\z"})
        files.push_back({n, "payload"});
    const auto msg = MakeMsg({}, files);
    form->AddMessage(msg.get());
    form->show();
    for (int row = 0; row < form->attachment_list->count(); ++row) {
        SCOPED_TRACE(form->attachment_list->item(row)->text().toStdString());
        form->attachment_list->setCurrentRow(row);
        asked.clear();
        form->btn_save_attachmentsClick(nullptr);
        ASSERT_EQ(asked.size(), 1u);
        const QString proposal = asked[0].FileName;
        EXPECT_FALSE(proposal.contains(QLatin1Char('/')) || proposal.contains(QLatin1Char('\\')));
        EXPECT_NE(proposal, QStringLiteral(".."));
        EXPECT_FALSE(proposal.contains(QChar(1)));
    }
    // Nothing lands above a/b.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    EXPECT_EQ(QDir(dir.filePath(u"a"_s)).entryList(QDir::Files | QDir::Hidden), QStringList());
    EXPECT_FALSE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(EmailTest, WriteFailingHalfwayKeepsTheOldFileWhole) {
    // A file size limit makes the write fail after some bytes were written.
    const auto msg = MakeMsg({}, {{"keep.bin", std::string(64 * 1024, 'n')}});
    form->AddMessage(msg.get());
    form->show();
    QFile old(dir.filePath(QStringLiteral("keep.bin")));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly) && old.write("old contents") == 12);
    old.close();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    form->btn_save_attachmentsClick(nullptr);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousSignal);

    EXPECT_EQ(messages.size(), 1);
    EXPECT_EQ(Saved(u"keep.bin"_s), "old contents");
    EXPECT_EQ(FolderEntries(), QStringList{QStringLiteral("keep.bin")}) << "no temporary file left behind";
}

TEST_F(EmailTest, CloseBoxKeepsEntriesThatStillSaveTheirOwnMessage) {
    const auto first = MakeMsg({"first text"}, {{"report.pdf", "bytes of the first message"}});
    const auto second = MakeMsg({"second text"}, {});
    const auto third = MakeMsg({"third text"}, {{"report.pdf", "bytes of the third message"}});

    form->AddMessage(first.get());
    form->show();
    form->close(); // the title bar's close box
    form->AddMessage(second.get());
    form->show();
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(), QStringLiteral("first text\nsecond text"));
    EXPECT_EQ(ListTexts(), QStringList{QStringLiteral("report.pdf")}) << "old entries stay";
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_EQ(Saved(u"report.pdf"_s), "bytes of the first message");
    form->btn_save_emailClick(nullptr);
    EXPECT_EQ(Saved(u".txt"_s), "first text\r\nsecond text\r\n");

    form->close();
    form->AddMessage(third.get());
    form->show();
    EXPECT_EQ(form->ListedMessage(), third.get());
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_EQ(Saved(u"report.pdf"_s), "bytes of the third message");
}

TEST_F(EmailTest, EntriesOutliveTheirReleasedMessage) {
    auto first = MakeMsg({}, {{"b.bin", "B"}, {"a.bin", "A"}});
    form->AddMessage(first.get());
    form->ForgetMessage(first.get());
    first.reset(); // the POP3 component releases it
    EXPECT_EQ(form->ListedMessage(), nullptr);
    form->AddMessage(MakeMsg({"no attachments"}, {}).get());
    form->show();
    EXPECT_EQ(ListTexts(), (QStringList{QStringLiteral("a.bin"), QStringLiteral("b.bin")}));
    form->attachment_list->setCurrentRow(1);
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_EQ(Saved(u"b.bin"_s), "B");
}

// The captions beside the buttons click them too (here: "Close" and, while
// its button is disabled, "Save attachment").
TEST_F(EmailTest, CloseButtonClearsEverythingAndNoAttachmentsMeansNoSaving) {
    const auto msg = MakeMsg({"text"}, {{"a.txt", "A"}});
    form->AddMessage(msg.get());
    form->show();
    QTest::mouseClick(form->close_window, Qt::LeftButton);
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(form->TextLines().empty());
    EXPECT_EQ(form->attachment_list->count(), 0);

    const auto next = MakeMsg({"next"}, {});
    form->AddMessage(next.get());
    form->show();
    EXPECT_FALSE(form->btn_save_attachments->isEnabled());
    QTest::mouseClick(form->save_attachment, Qt::LeftButton);
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_TRUE(asked.empty()) << "nothing listed, no dialog";
    form->btn_save_emailClick(nullptr);
    EXPECT_EQ(Saved(u".txt"_s), "next\r\n");

    // Cancelled dialogs write nothing.
    accept = false;
    QFile::remove(dir.filePath(QStringLiteral(".txt")));
    form->btn_save_emailClick(nullptr);
    EXPECT_TRUE(FolderEntries().isEmpty());
}

} // namespace
