// What does the message window list and save, and does a saved file hold
// exactly the bytes of what the user sees?
#include "email.h"

#include "Dialogs.h"
#include "message/KelMsg.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

using namespace std::string_literals;

void EnsureApp() {
    static int argc = 1;
    static char arg0[] = "email_test";
    static char* argv[] = {arg0, nullptr};
    // Never destroyed: Qt's statics are gone when static destructors run.
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

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

std::string ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<missing>";
    const QByteArray b = f.readAll();
    return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

class EmailTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApp();
        ASSERT_TRUE(dir.isValid());
        form = std::make_unique<TForm3>();
        form->LanguageIsGerman = [this] { return german; };
        // The "user" accepts whatever the dialog proposes, in the test folder.
        form->ExecuteSaveDialog = [this](TSaveDialog& d) {
            asked.push_back(d);
            if (!accept)
                return false;
            d.FileName = chosen.isEmpty() ? dir.filePath(d.FileName) : chosen;
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
    void Select(const QString& text, int nth = 0) {
        for (int i = 0; i < form->attachment_list->count(); ++i) {
            if (form->attachment_list->item(i)->text() == text && nth-- == 0) {
                form->attachment_list->setCurrentRow(i);
                return;
            }
        }
        FAIL() << "no entry " << text.toStdString();
    }
    QStringList FolderEntries() const {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir;
    bool german = false;
    bool accept = true;
    QString chosen;
    std::vector<TSaveDialog> asked;
    QStringList messages;
    sweepbox::TMessageHook previousHook;
    std::unique_ptr<TForm3> form;
};

TEST_F(EmailTest, CaptionsFollowTheLanguage) {
    struct Row {
        bool german;
        const char* title;
        const char* close;
        const char* saveEmail;
        const char* saveAttachment;
        const char* heading;
    };
    const Row rows[] = {
        {true, "Inhalt der e-mail  - Sweepbox -", "Schließen", "Speichere E-Mail", "Speichere Anhang", "Anhänge :"},
        {false, "Contents of e-mail  - Sweepbox -", "Close", "Save e-mail", "Save attachment", "Attachments :"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        german = row.german;
        form->show();
        EXPECT_EQ(form->windowTitle(), QString::fromUtf8(row.title));
        EXPECT_EQ(form->close_window->text(), QString::fromUtf8(row.close));
        EXPECT_EQ(form->save_email->text(), QString::fromUtf8(row.saveEmail));
        EXPECT_EQ(form->save_attachment->text(), QString::fromUtf8(row.saveAttachment));
        EXPECT_EQ(form->lab_anhang->text(), QString::fromUtf8(row.heading));
        for (const QLabel* label : {form->close_window, form->save_email, form->save_attachment, form->lab_anhang}) {
            EXPECT_LE(label->sizeHint().width(), label->width()) << label->objectName().toStdString();
            EXPECT_LE(label->sizeHint().height(), label->height()) << label->objectName().toStdString();
        }
        form->close();
    }
}

TEST_F(EmailTest, FixedLayoutAndDialogSettings) {
    EXPECT_EQ(form->size(), QSize(467, 443));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_EQ(form->memo_email_anzeigen->geometry(), QRect(0, 0, 467, 313));
    EXPECT_TRUE(form->memo_email_anzeigen->isReadOnly());
    EXPECT_EQ(form->attachment_list->size(), QSize(281, 97));
    EXPECT_EQ(form->attachment_list->selectionMode(), QAbstractItemView::SingleSelection);
    for (const QWidget* w : form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(form->rect().contains(w->geometry())) << w->objectName().toStdString();
    EXPECT_EQ(form->save_dialog_email.Title, QStringLiteral("Save E-Mail"));
    EXPECT_EQ(form->save_dialog_email.DefaultExt, QStringLiteral("txt"));
    EXPECT_EQ(form->save_dialog_email.Filter, QStringLiteral("ASCII; Text|*.txt"));
    EXPECT_EQ(form->save_dialog_attachment.Title, QStringLiteral("Save Attachment"));
    EXPECT_EQ(form->save_dialog_attachment.Filter, QStringLiteral("|*.*"));
    EXPECT_TRUE(form->save_dialog_attachment.DefaultExt.isEmpty());
}

TEST_F(EmailTest, ListIsSortedFirstEntrySelectedAndItsBytesAreSaved) {
    const auto msg = MakeMsg({"Hi"}, {{"zeta.zip", "ZIP"}, {"alpha.txt", "alpha bytes"}, {"Beta.bin", "B"}});
    form->AddMessage(msg.get());
    form->show();
    EXPECT_EQ(ListTexts(), (QStringList{QStringLiteral("alpha.txt"), QStringLiteral("Beta.bin"),
                                        QStringLiteral("zeta.zip")}));
    EXPECT_EQ(form->attachment_list->currentRow(), 0);
    EXPECT_TRUE(form->btn_save_attachments->isEnabled());

    QTest::mouseClick(form->btn_save_attachments, Qt::LeftButton);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].FileName, QStringLiteral("alpha.txt"));
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral("alpha.txt"))), "alpha bytes");
    EXPECT_TRUE(form->save_dialog_attachment.FileName.isEmpty()) << "cleared after the dialog";
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(EmailTest, BinaryAttachmentIsSavedByteForByte) {
    std::string binary = "\0\0\xFF\r\n\x1A"s;
    for (int i = 0; i < 70000; ++i)
        binary += static_cast<char>(i * 7 % 256);
    const auto msg = MakeMsg({}, {{"picture.png", binary}, {"empty.dat", ""}});
    form->AddMessage(msg.get());
    form->show();
    Select(QStringLiteral("picture.png"));
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral("picture.png"))), binary);

    Select(QStringLiteral("empty.dat"));
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral("empty.dat"))), "") << "an empty attachment gives an empty file";
}

TEST_F(EmailTest, NoAttachmentsDisablesTheSaveButton) {
    const auto msg = MakeMsg({"just text"}, {});
    form->AddMessage(msg.get());
    form->show();
    EXPECT_EQ(form->attachment_list->count(), 0);
    EXPECT_FALSE(form->btn_save_attachments->isEnabled());
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_TRUE(asked.empty()) << "nothing listed, no dialog";
}

TEST_F(EmailTest, TextIsSavedFromTheOriginalBytesWithCrLf) {
    const std::vector<std::string> lines = {"Gr\xC3\xBC\xC3\x9F" "e", "J\xFCrgen \x80", "", "tab\there", "end"};
    const auto msg = MakeMsg(lines, {});
    form->AddMessage(msg.get());
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(), QString::fromUtf8("Grüße\nJürgen €\n\ntab\there\nend"));
    EXPECT_EQ(form->memo_email_anzeigen->blockCount(), 5);
    form->show();

    form->btn_save_emailClick(nullptr);
    form->btn_save_emailClick(nullptr);
    ASSERT_EQ(asked.size(), 2u);
    for (const TSaveDialog& d : asked)
        EXPECT_EQ(d.FileName, QStringLiteral(".txt")) << "the proposal is \".txt\" every time";
    EXPECT_EQ(form->save_dialog_email.FileName, QStringLiteral(".txt"));
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral(".txt"))),
              "Gr\xC3\xBC\xC3\x9F" "e\r\nJ\xFCrgen \x80\r\n\r\ntab\there\r\nend\r\n");
}

TEST_F(EmailTest, CancelledDialogsWriteNothing) {
    accept = false;
    const auto msg = MakeMsg({"a"}, {{"a.bin", "A"}});
    form->AddMessage(msg.get());
    form->show();
    form->btn_save_emailClick(nullptr);
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_TRUE(FolderEntries().isEmpty());
    EXPECT_EQ(form->save_dialog_email.FileName, QStringLiteral(".txt"));
    EXPECT_TRUE(form->save_dialog_attachment.FileName.isEmpty());
}

TEST_F(EmailTest, EqualNamesKeepTheirOwnAttachments) {
    const auto msg = MakeMsg({}, {{"same.txt", "first"}, {"other", "x"}, {"same.txt", "second"}});
    form->AddMessage(msg.get());
    form->show();
    EXPECT_EQ(ListTexts(), (QStringList{QStringLiteral("other"), QStringLiteral("same.txt"),
                                        QStringLiteral("same.txt")}));
    Select(QStringLiteral("same.txt"), 1);
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral("same.txt"))), "second");
    Select(QStringLiteral("same.txt"), 0);
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral("same.txt"))), "first");
}

TEST_F(EmailTest, HostileNamesStayInsideTheChosenFolder) {
    QDir(dir.path()).mkpath(QStringLiteral("a/b"));
    const QString folder = dir.filePath(QStringLiteral("a/b"));
    const std::vector<std::string> names = {"../../x", "..", ".", "/etc/passwd", "sub/../../y", "a\x01\x1f" "b",
                                            "..\\..\\z", "c:evil"};
    std::vector<Attachment> files;
    for (const std::string& n : names)
        files.push_back({n, "payload"});
    const auto msg = MakeMsg({}, files);
    form->AddMessage(msg.get());
    form->show();
    for (int row = 0; row < form->attachment_list->count(); ++row) {
        SCOPED_TRACE(form->attachment_list->item(row)->text().toStdString());
        form->attachment_list->setCurrentRow(row);
        asked.clear();
        chosen.clear();
        // The user confirms the proposal in folder a/b.
        form->ExecuteSaveDialog = [&](TSaveDialog& d) {
            asked.push_back(d);
            if (d.FileName.isEmpty())
                return false; // nothing to confirm
            d.FileName = QDir(folder).filePath(d.FileName);
            return true;
        };
        form->btn_save_attachmentsClick(nullptr);
        ASSERT_EQ(asked.size(), 1u);
        const QString proposal = asked[0].FileName;
        EXPECT_FALSE(proposal.contains(QLatin1Char('/')));
        EXPECT_FALSE(proposal.contains(QLatin1Char('\\')));
        EXPECT_NE(proposal, QStringLiteral(".."));
        EXPECT_NE(proposal, QStringLiteral("."));
        for (const QChar c : proposal)
            EXPECT_GE(c.unicode(), 0x20);
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList()) << "nothing above a/b";
    EXPECT_EQ(QDir(dir.filePath(QStringLiteral("a"))).entryList(QDir::Files | QDir::Hidden), QStringList());
    EXPECT_FALSE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(EmailTest, WriteFailureIsReportedAndLeavesNoFile) {
    const auto msg = MakeMsg({"line"}, {{"a.bin", "A"}});
    form->AddMessage(msg.get());
    form->show();
    struct Row {
        const char* name;
        QString target;
    };
    QDir(dir.path()).mkpath(QStringLiteral("taken/inside"));
    const Row rows[] = {
        {"folder does not exist", dir.filePath(QStringLiteral("missing/out.txt"))},
        {"name is a folder", dir.filePath(QStringLiteral("taken"))},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        german = false;
        messages.clear();
        chosen = row.target;
        form->btn_save_emailClick(nullptr);
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].startsWith(QStringLiteral("The file "))) << messages[0].toStdString();
        EXPECT_TRUE(messages[0].contains(row.target));
        EXPECT_EQ(FolderEntries(), QStringList{QStringLiteral("taken")});
        EXPECT_EQ(form->save_dialog_email.FileName, QStringLiteral(".txt"));

        german = true;
        messages.clear();
        form->btn_save_attachmentsClick(nullptr);
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].startsWith(QStringLiteral("Die Datei "))) << messages[0].toStdString();
        EXPECT_EQ(FolderEntries(), QStringList{QStringLiteral("taken")});
    }
}

TEST_F(EmailTest, WriteFailingHalfwayKeepsTheOldFileWhole) {
    // A file size limit makes the write fail after some bytes were written.
    const std::string big(64 * 1024, 'n');
    const auto msg = MakeMsg({}, {{"keep.bin", big}});
    form->AddMessage(msg.get());
    form->show();
    const QString target = dir.filePath(QStringLiteral("keep.bin"));
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old contents");
    }
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
    EXPECT_EQ(ReadFile(target), "old contents");
    EXPECT_EQ(FolderEntries(), QStringList{QStringLiteral("keep.bin")}) << "no temporary file left behind";
}

TEST_F(EmailTest, CloseBoxKeepsEntriesThatStillSaveTheirOwnMessage) {
    const auto first = MakeMsg({"first text"}, {{"report.pdf", "bytes of the first message"}});
    const auto second = MakeMsg({"second text"}, {});
    auto third = MakeMsg({"third text"}, {{"report.pdf", "bytes of the third message"}});

    form->AddMessage(first.get());
    form->show();
    form->close(); // the title bar's close box
    form->AddMessage(second.get());
    form->show();
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(), QStringLiteral("first text\nsecond text"));
    EXPECT_EQ(ListTexts(), QStringList{QStringLiteral("report.pdf")}) << "old entries stay";
    EXPECT_TRUE(form->btn_save_attachments->isEnabled());
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral("report.pdf"))), "bytes of the first message");

    form->btn_save_emailClick(nullptr);
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral(".txt"))), "first text\r\nsecond text\r\n");

    form->close();
    form->AddMessage(third.get());
    form->show();
    EXPECT_EQ(form->ListedMessage(), third.get());
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral("report.pdf"))), "bytes of the third message");
}

TEST_F(EmailTest, EntriesOutliveTheirReleasedMessage) {
    auto first = MakeMsg({}, {{"b.bin", "B"}, {"a.bin", "A"}});
    const auto other = MakeMsg({}, {{"x", "X"}});
    form->AddMessage(first.get());
    form->ForgetMessage(other.get()); // not listed: no effect
    EXPECT_EQ(form->ListedMessage(), first.get());

    form->ForgetMessage(first.get());
    first.reset(); // the POP3 component releases it
    EXPECT_EQ(form->ListedMessage(), nullptr);
    form->AddMessage(MakeMsg({"no attachments"}, {}).get());
    form->show();
    EXPECT_EQ(ListTexts(), (QStringList{QStringLiteral("a.bin"), QStringLiteral("b.bin")}));
    Select(QStringLiteral("b.bin"));
    form->btn_save_attachmentsClick(nullptr);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].FileName, QStringLiteral("b.bin"));
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral("b.bin"))), "B");
}

TEST_F(EmailTest, CloseButtonClearsEverything) {
    const auto msg = MakeMsg({"text"}, {{"a.txt", "A"}});
    form->AddMessage(msg.get());
    form->show();
    QTest::mouseClick(form->btn_close, Qt::LeftButton);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_TRUE(form->memo_email_anzeigen->toPlainText().isEmpty());
    EXPECT_TRUE(form->TextLines().empty());
    EXPECT_EQ(form->attachment_list->count(), 0);

    const auto next = MakeMsg({"next"}, {});
    form->AddMessage(next.get());
    form->show();
    EXPECT_FALSE(form->btn_save_attachments->isEnabled());
    form->btn_save_emailClick(nullptr);
    EXPECT_EQ(ReadFile(dir.filePath(QStringLiteral(".txt"))), "next\r\n");
}

TEST_F(EmailTest, RendersInBothLanguages) {
    const QString shots = qEnvironmentVariable("SWEEPBOX_SHOTS_DIR");
    const auto msg = MakeMsg({"Hallo,", "", "anbei die Unterlagen f\xC3\xBCr das Treffen am Montag.",
                              "Die Tabelle enth\xE4lt die Zahlen von 1999 und 2000.", "", "Gru\xC3\x9F", "Test"},
                             {{"zeta.zip", "Z"}, {"alpha.txt", "A"}, {"Tabelle 2000.xls", "T"}});
    for (const bool g : {true, false}) {
        german = g;
        form->AddMessage(msg.get());
        form->show();
        const QPixmap shot = form->grab();
        EXPECT_EQ(shot.size(), QSize(467, 443));
        if (!shots.isEmpty()) {
            EXPECT_TRUE(shot.save(QDir(shots).filePath(g ? QStringLiteral("email-de.png")
                                                         : QStringLiteral("email-en.png"))));
        }
        form->btn_closeClick(nullptr);
    }
}

} // namespace
