// What does the message window list and save, and does a saved file hold
// exactly the bytes of what the user sees?
#include "app/windows/email.h"

#include "app/windows/Dialogs.h"
#include "mail/core/KelLines.h"
#include "mail/core/KelTempFile.h"
#include "mail/message/KelMsg.h"
#include "support/FileLimits.h"
#include "support/QtTestApp.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;
using namespace Qt::StringLiterals;

struct Attachment {
    std::string name;
    std::string data;
};

std::unique_ptr<kel::TKelMsg> MakeMsg(std::vector<std::string> text, const std::vector<Attachment>& files) {
    auto msg = std::make_unique<kel::TKelMsg>();
    msg->Text = kel::TTextLines(text);
    for (const Attachment& a : files)
        msg->AttachedFiles.Add(a.name).Data = a.data;
    return msg;
}

// The message as a retrieval parses it, so its fields are the model's.
std::unique_ptr<kel::TKelMsg> ParsedMsgOf(const std::string& raw) {
    auto msg = std::make_unique<kel::TKelMsg>();
    msg->RawMail = kel::SplitLines(raw);
    msg->Parse();
    return msg;
}

// What saving the text writes: each line with CR LF.
std::string JoinedText(const kel::TKelMsg& msg) {
    std::string out;
    for (const std::string_view line : msg.Text)
        (out += line) += "\r\n";
    return out;
}

class EmailTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureApp();
        ASSERT_TRUE(dir.isValid());
        folder = dir.path();
        form = std::make_unique<TForm3>(language);
        form->ExecuteSaveDialog = [this](TSaveDialog& d) { return ConfirmInFolder(d); };
        previousHook = sweepbox::SetMessageHook([this](QWidget*, const QString& text) { messages.push_back(text); });
    }
    void TearDown() override { sweepbox::SetMessageHook(previousHook); }

    // The "user" confirms the proposal (or the name in `chosen`) in folder.
    // Whatever the window proposes, nothing outside the test's own folder is
    // ever confirmed: such a name fails the test and cancels the dialog, so
    // the window writes nothing.
    bool ConfirmInFolder(TSaveDialog& d) {
        asked.push_back(d);
        if (!accept)
            return false;
        const QString path = QDir::cleanPath(QDir(folder).absoluteFilePath(chosen.isEmpty() ? d.FileName : chosen));
        if (!InsideTestFolder(path)) {
            ADD_FAILURE() << "the window would write outside the test's folder: " << path.toStdString();
            return false;
        }
        d.FileName = path;
        return true;
    }
    // A file in an existing folder under dir, with every link in the folder
    // names resolved.
    bool InsideTestFolder(const QString& path) const {
        const QString root = QFileInfo(dir.path()).canonicalFilePath();
        const QFileInfo target(path);
        const QString parent = target.dir().canonicalPath();
        const QString name = target.fileName();
        return !root.isEmpty() && !parent.isEmpty() && (parent == root || parent.startsWith(root + u'/')) &&
               !name.isEmpty() && name != u"."_s && name != u".."_s;
    }

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
    QString chosen;
    sweepbox::TLanguage language;
    bool accept = true;
    std::vector<TSaveDialog> asked;
    QStringList messages;
    sweepbox::TMessageHook previousHook;
    std::unique_ptr<TForm3> form;
};

TEST_F(EmailTest, FixedLayoutAndCaptionsByLanguage) {
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    const auto msg = MakeMsg({"Hallo,", "", "Gru\xC3\x9F"}, {{"zeta.zip", "Z"}, {"T 2000.xls", "T"}});
    form->AddMessage(msg.get());
    for (const bool de : {true, false}) {
        SCOPED_TRACE(de ? "German" : "English");
        language.German = de;
        form->show();
        const QStringList texts = {form->windowTitle(), form->close_window->text(),
                                   form->save_email->text(), form->save_attachment->text(),
                                   form->lab_anhang->text(), form->memo_email_anzeigen->accessibleName()};
        EXPECT_EQ(texts, (de ? QStringList{u"Inhalt der e-mail  - Sweepbox -"_s, u"Schließen"_s,
                                           u"Speichere E-Mail"_s, u"Speichere Anhang"_s, u"Anhänge :"_s,
                                           u"Text der e-mail"_s}
                             : QStringList{u"Contents of e-mail  - Sweepbox -"_s, u"Close"_s,
                                           u"Save e-mail"_s, u"Save attachment"_s, u"Attachments :"_s,
                                           u"Text of the e-mail"_s}));
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

// A NUL in the text hides nothing after it: it shows as the symbol for one.
TEST_F(EmailTest, ANulInTheTextShowsAndWhatFollowsItStays) {
    auto msg = MakeMsg({std::string("before\0after", 12), "next line"}, {});
    form->AddMessage(msg.get(), 1);
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(),
              QStringLiteral("before") + QChar(0x2400) + QStringLiteral("after\nnext line"));
}

TEST_F(EmailTest, TextIsSavedFromTheOriginalBytesWithCrLfUnderANameFromTheSubject) {
    auto msg = MakeMsg({"Gr\xC3\xBC\xC3\x9F"
                        "e",
                        "J\xFCrgen \x80", "", "tab\there", "end"},
                       {});
    msg->Subject = "Re: Termin";
    form->AddMessage(msg.get(), 4);
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(), QString::fromUtf8("Grüße\nJürgen €\n\ntab\there\nend"));
    form->show();
    form->btn_save_emailClick(nullptr);
    form->btn_save_emailClick(nullptr);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].FileName, u"Re Termin.txt"_s) << "the same proposal every time";
    EXPECT_EQ(asked[0].Filter, u"Text|*.txt"_s) << "no original, no .eml";
    EXPECT_EQ(Saved(u"Re Termin.txt"_s), "Gr\xC3\xBC\xC3\x9F"
                                         "e\r\nJ\xFCrgen \x80\r\n\r\ntab\there\r\nend\r\n");
}

TEST(ProposedMessageName, NeverEmptyHiddenOrAPath) {
    const struct {
        const char* name;
        std::string subject;
        int number;
        bool german;
        QString proposed;
    } rows[] = {
        {"empty, English", "", 7, false, u"message-7"_s},
        {"empty, German", "", 7, true, u"Nachricht-7"_s},
        {"empty without a number", "", 0, false, u"message"_s},
        {"leading dot", ".hidden", 1, false, u"hidden"_s},
        {"only dots and blanks", " . .. ", 2, true, u"Nachricht-2"_s},
        {"separators go", "a/b:c\\d", 1, false, u"abcd"_s},
        {"right-to-left override",
         "Rechnung \xE2\x80\xAE"
         "fdp.exe",
         1, false, u"Rechnung _fdp.exe"_s},
        {"trailing dots and blanks", "Hallo ...  ", 1, false, u"Hallo"_s},
        {"umlauts stay",
         "Gr\xC3\xBC\xC3\x9F"
         "e",
         1, true, u"Grüße"_s},
        {"long subject cut", std::string(300, 'x'), 1, false, QString(80, u'x')},
        {"the cut keeps whole characters", std::string(79, 'x') + "\xF0\x9F\x98\x80yz", 1, false, QString(79, u'x')},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(TForm3::ProposedMessageName(row.subject, row.number, row.german), row.proposed);
    }
}

// A message as a retrieval leaves it: Original holds the bytes as served.
std::shared_ptr<const kel::TTempFile> OriginalOf(const std::string& bytes) {
    auto file = std::make_shared<kel::TTempFile>(kel::TTempFile::Unnamed());
    file->WriteAll(bytes);
    return file;
}

TEST_F(EmailTest, TheOriginalIsSavedAsReceivedAsEml) {
    const std::string served = "From: a@example.org\r\nSubject: Hallo\r\n\r\n.line\r\nlone\rcr\n\xE9\x00end\r\n"s;
    const struct {
        const char* name;
        int filterIndex; // the type the user picks
        QString chosen;  // the name the user confirms (empty: the proposal)
        QString file;    // where it lands
        bool original;
    } rows[] = {
        {"the second type", 2, u"Hallo"_s, u"Hallo"_s, true},
        {"a name ending in .eml", 1, u"x.EML"_s, u"x.EML"_s, true},
        {"the text type", 1, QString(), u"Hallo.txt"_s, false},
        {"the second type, but a name ending in .txt", 2, u"y.txt"_s, u"y.txt"_s, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto msg = ParsedMsgOf(served);
        msg->Original = OriginalOf(served);
        const std::string text = JoinedText(*msg);
        form->AddMessage(msg.get(), 3);
        // The message may go before the user saves: the original stays.
        form->ForgetMessage(msg.get());
        msg.reset();
        asked.clear();
        chosen = row.chosen;
        form->ExecuteSaveDialog = [this, &row](TSaveDialog& d) {
            d.FilterIndex = row.filterIndex;
            return ConfirmInFolder(d);
        };
        form->btn_save_emailClick(nullptr);
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].FileName, u"Hallo.txt"_s);
        EXPECT_EQ(asked[0].Filter.count(u'|'), 3) << "two types offered";
        EXPECT_EQ(Saved(row.file), row.original ? served : text);
        form->btn_closeClick(nullptr);
    }
    EXPECT_TRUE(messages.isEmpty());
}

// Control characters and the invisible formatting ones (among them the
// direction marks and overrides).
bool HasHiddenControl(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
    });
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
        TForm3 window(language);
        window.ExecuteSaveDialog = form->ExecuteSaveDialog;
        const auto msg = ParsedMsgOf(row.raw);
        window.AddMessage(msg.get());
        EXPECT_EQ(window.memo_email_anzeigen->toPlainText(), QString::fromUtf8(row.shown));
        QFile::remove(dir.filePath(u"message.txt"_s));
        window.btn_save_emailClick(nullptr);
        EXPECT_EQ(Saved(u"message.txt"_s), row.saved);
    }
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(EmailTest, HostileNamesStayInsideTheChosenFolder) {
    QDir(dir.path()).mkpath(QStringLiteral("a/b"));
    folder = dir.filePath(QStringLiteral("a/b"));
    std::vector<Attachment> files;
    for (const std::string& n : {"../../x"s, ".."s, "/etc/passwd"s, "a\x01\x1f" "b"s, "..\\..\\z"s, "\0/etc/x"s,
                                "e\xE2\x80\xAE/../gpj.exe"s})
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
        EXPECT_FALSE(HasHiddenControl(proposal));
    }
    // Nothing lands above a/b.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    EXPECT_EQ(QDir(dir.filePath(u"a"_s)).entryList(QDir::Files | QDir::Hidden), QStringList());
    EXPECT_FALSE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

// Whatever the window proposes, the dialog stand-in confirms no name outside
// the test's folder.
TEST_F(EmailTest, TheDialogStandInRefusesNamesOutsideTheTestFolder) {
    QDir(dir.path()).mkpath(u"in"_s);
    ASSERT_TRUE(QFile::link(QDir::rootPath(), dir.filePath(u"root"_s)));
    for (const QString& name : {u"/etc/sweepbox-test"_s, u"../sweepbox-test"_s, u"root/etc/sweepbox-test"_s, u"."_s}) {
        SCOPED_TRACE(name.toStdString());
        TSaveDialog d{u"d"_s, u"t"_s, u"|*.*"_s, QString(), name, QString()};
        bool confirmed = true;
        EXPECT_NONFATAL_FAILURE(confirmed = ConfirmInFolder(d), "outside the test's folder");
        EXPECT_FALSE(confirmed);
    }
    TSaveDialog inside{u"d"_s, u"t"_s, u"|*.*"_s, QString(), u"in/../in/x.bin"_s, QString()};
    EXPECT_TRUE(ConfirmInFolder(inside));
    EXPECT_EQ(inside.FileName, dir.filePath(u"in/x.bin"_s));
}

TEST_F(EmailTest, ProposalsAndEntriesShowHiddenControlsAsUnderscores) {
    const struct {
        const char* name;
        std::string attachment;
        QString proposed;
    } rows[] = {
        {"ordinary name", "Bericht M\xC3\xA4rz.pdf", u"Bericht März.pdf"_s},
        {"right-to-left override", "evil\xE2\x80\xAEgpj.exe", u"evil_gpj.exe"_s},
        {"embeddings, pop and left-to-right override", "\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD.txt",
         u"____.txt"_s},
        {"isolates", "\xE2\x81\xA6x\xE2\x81\xA7y\xE2\x81\xA8z\xE2\x81\xA9.txt", u"_x_y_z_.txt"_s},
        {"direction marks", "a\xE2\x80\x8E" "b\xE2\x80\x8F" "c\xD8\x9C.txt", u"a_b_c_.txt"_s},
        {"C1 controls in UTF-8", "a\xC2\x85" "b\xC2\x9F.txt", u"a_b_.txt"_s},
        {"C1 controls of Windows-1252 bytes", "\x81" "caf\xE9\x8D.txt", u"_café_.txt"_s},
        {"NUL, C0 and DEL", "a\0b\x1f" "c\x7f.txt"s, u"a_b_c_.txt"_s},
        {"separators still go", "..\\a/b:c", u"..abc"_s},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(TForm3::ProposedFileName(row.attachment), row.proposed);
        const auto msg = MakeMsg({}, {{row.attachment, "x"}});
        form->AddMessage(msg.get());
        ASSERT_EQ(form->attachment_list->count(), 1);
        const QString entry = form->attachment_list->item(0)->text();
        EXPECT_FALSE(HasHiddenControl(entry)) << entry.toStdString();
        form->ForgetMessage(msg.get());
    }
}

TEST_F(EmailTest, SaveFailuresShowTheSystemsReason) {
    const QString full = sweepbox::test::FullDevice(dir.filePath(u"full.bin"_s));
    ASSERT_FALSE(full.isEmpty()) << "no full device to write to";
    const auto msg = MakeMsg({"some text"}, {{"full.bin", std::string(256 * 1024, 'f')}});
    const struct {
        const char* name;
        QString chosen;
        std::function<void(TForm3&)> save;
        QString reason;
    } rows[] = {
        {"an attachment onto a full device", u"full.bin"_s, [](TForm3& f) { f.btn_save_attachmentsClick(nullptr); },
         qt_error_string(ENOSPC)},
        {"the text onto a full device", u"full.bin"_s, [](TForm3& f) { f.btn_save_emailClick(nullptr); },
         qt_error_string(ENOSPC)},
        {"into a folder that does not exist", u"gone/x.txt"_s, [](TForm3& f) { f.btn_save_emailClick(nullptr); },
         qt_error_string(ENOENT)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.chosen.startsWith(u"gone/"_s)) {
            QDir(dir.path()).mkdir(u"gone"_s); // the dialog confirms a folder that is gone by the saving
            chosen = row.chosen;
            form->ExecuteSaveDialog = [this](TSaveDialog& d) {
                const bool ok = ConfirmInFolder(d);
                QDir(dir.path()).rmdir(u"gone"_s);
                return ok;
            };
        } else {
            chosen = row.chosen;
        }
        messages.clear();
        form->AddMessage(msg.get());
        form->show();
        row.save(*form);
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].contains(row.reason)) << messages[0].toStdString();
        EXPECT_FALSE(messages[0].contains(u"canceled"_s, Qt::CaseInsensitive)) << messages[0].toStdString();
        form->close();
    }
    EXPECT_TRUE(QFileInfo(full).exists() && !QFileInfo(full).isFile()) << "the device was written, not replaced";
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::System | QDir::Hidden), QStringList{u"full.bin"_s})
        << "no temporary file left behind";
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

    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(qt_error_string(EFBIG))) << messages[0].toStdString();
    EXPECT_EQ(Saved(u"keep.bin"_s), "old contents");
    EXPECT_EQ(FolderEntries(), QStringList{QStringLiteral("keep.bin")}) << "no temporary file left behind";
}

TEST_F(EmailTest, SaveDialogsStartInTheFolderLastUsed) {
    const auto msg = MakeMsg({"text"}, {{"a.bin", "A"}});
    const QString sub = dir.filePath(u"sub"_s);
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"sub"_s));
    form->AddMessage(msg.get());
    form->show();
    const struct {
        const char* name;
        std::function<void()> step;
        QString opensIn;
    } rows[] = {
        {"the first dialog: home", [&] { form->btn_save_emailClick(nullptr); }, QDir::homePath()},
        {"the other dialog: where the text went", [&] {
             folder = sub;
             form->btn_save_attachmentsClick(nullptr);
         }, dir.path()},
        {"after the attachment", [&] {
             accept = false;
             form->btn_save_emailClick(nullptr);
         }, sub},
        {"a cancelled dialog changes nothing", [&] { form->btn_save_emailClick(nullptr); }, sub},
        {"a folder that is gone: home", [&] {
             QDir(sub).removeRecursively();
             form->btn_save_emailClick(nullptr);
         }, QDir::homePath()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        asked.clear();
        row.step();
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].Folder, row.opensIn);
    }

    // The file dialog itself opens there.
    TForm3 window(language);
    QString opened;
    const auto previous = sweepbox::SetModalHook([&](QDialog& dialog) {
        if (auto* files = qobject_cast<QFileDialog*>(&dialog))
            opened = files->directory().absolutePath();
        dialog.reject();
    });
    window.btn_save_emailClick(nullptr);
    sweepbox::SetModalHook(previous);
    EXPECT_EQ(opened, QDir::homePath());
}

TEST_F(EmailTest, EveryWayOfClosingLetsGoOfTheMessage) {
    const auto first = MakeMsg({"first text", "second line"}, {{"report.pdf", "bytes of the first message"}});
    const auto second = MakeMsg({"next text"}, {{"other.pdf", "bytes of the next message"}});
    const struct {
        const char* name;
        std::function<void(TForm3&)> close;
    } rows[] = {
        {"close button", [](TForm3& f) { QTest::mouseClick(f.btn_close, Qt::LeftButton); }},
        {"its caption", [](TForm3& f) { QTest::mouseClick(f.close_window, Qt::LeftButton); }},
        {"title bar close box", [](TForm3& f) { f.close(); }},
        {"Escape in the text", [](TForm3& f) { QTest::keyClick(f.memo_email_anzeigen, Qt::Key_Escape); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TForm3 window(language);
        window.ExecuteSaveDialog = form->ExecuteSaveDialog;
        window.AddMessage(first.get());
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        EXPECT_EQ(window.memo_email_anzeigen->lineCount(), 2);
        row.close(window);
        EXPECT_FALSE(window.isVisible());
        EXPECT_EQ(window.TextLineCount(), 0u);
        EXPECT_EQ(window.memo_email_anzeigen->source(), nullptr);
        EXPECT_EQ(window.attachment_list->count(), 0);
        EXPECT_EQ(window.ListedMessage(), nullptr);

        // The next message shows on its own.
        window.AddMessage(second.get());
        window.show();
        EXPECT_EQ(window.memo_email_anzeigen->toPlainText(), u"next text"_s);
        EXPECT_EQ(window.attachment_list->count(), 1);
        window.btn_save_attachmentsClick(nullptr);
        EXPECT_EQ(Saved(u"other.pdf"_s), "bytes of the next message");
    }
}

TEST_F(EmailTest, TextOutlivesItsReleasedMessage) {
    auto msg = ParsedMsgOf("Content-Type: text/plain; charset=koi8-r\r\n\r\n\xED\xC9\xD2\r\nline two\r\n");
    form->AddMessage(msg.get());
    form->show();
    form->ForgetMessage(msg.get());
    msg.reset(); // the POP3 component releases it
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(), QString::fromUtf8("Мир\nline two"));
    form->btn_save_emailClick(nullptr);
    EXPECT_EQ(Saved(u"message.txt"_s), "\xED\xC9\xD2\r\nline two\r\n");
}

// The view converts only the start of a long line; cut through a multibyte
// character, that start must still read in the line's charset.
TEST_F(EmailTest, StartsOfLongLinesReadInTheirCharset) {
    const auto repeat = [](const std::string& piece, int times) {
        std::string out;
        for (int i = 0; i < times; ++i)
            out += piece;
        return out;
    };
    const struct {
        const char* name;
        std::string charset;
        std::string line; // longer than the view converts at first, odd-sized pieces
        QString start;    // its first ten characters
        QString whole;
    } rows[] = {
        {"UTF-8 without a charset", "", "x" + repeat("\xC3\xA4", 50000), u"xäääääääää"_s,
         u"x"_s + QString(50000, u'ä')},
        {"Shift_JIS", "Shift_JIS", "x" + repeat("\x93\xFA", 50000), u"x日日日日日日日日日"_s,
         u"x"_s + QString(50000, QChar(0x65E5))},
        {"KOI8-R", "koi8-r", repeat("\xED", 100000), QString(10, QChar(0x041C)), QString(100000, QChar(0x041C))},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TForm3 window(language);
        auto msg = MakeMsg({"before", row.line}, {});
        msg->TextCharSet = row.charset;
        window.AddMessage(msg.get());
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        window.memo_email_anzeigen->setSelection({1, 0}, {1, 10});
        EXPECT_EQ(window.memo_email_anzeigen->selectedText(), row.start);
        EXPECT_EQ(window.memo_email_anzeigen->toPlainText(), u"before\n"_s + row.whole);
    }
}

TEST_F(EmailTest, LongLinesOpenUnwrappedFromTheirStart) {
    const std::string megabyte(1 << 20, 'm');
    const auto msg = MakeMsg({"short", megabyte + "END", "after"}, {});
    form->AddMessage(msg.get());
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const TTextView* view = form->memo_email_anzeigen;
    EXPECT_FALSE(form->grab().isNull());
    EXPECT_EQ(view->lineCount(), 3);
    EXPECT_EQ(view->firstVisibleColumn(), 0);
    EXPECT_TRUE(view->horizontalScrollBar()->isVisible());
    EXPECT_GT(view->horizontalScrollBar()->maximum(), (1 << 20) - 100);
    form->btn_save_emailClick(nullptr);
    EXPECT_EQ(Saved(u"message.txt"_s), "short\r\n" + megabyte + "END\r\nafter\r\n");
}

TEST_F(EmailTest, EntriesOutliveTheirReleasedMessage) {
    auto first = MakeMsg({}, {{"b.bin", "B"}, {"a.bin", "A"}});
    form->AddMessage(first.get());
    form->ForgetMessage(first.get());
    first.reset(); // the POP3 component releases it
    EXPECT_EQ(form->ListedMessage(), nullptr);
    // The message shown now lives while the window shows it, as the
    // component keeps it until the window has let go.
    const auto second = MakeMsg({"no attachments"}, {});
    form->AddMessage(second.get());
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
    EXPECT_EQ(form->TextLineCount(), 0u);
    EXPECT_EQ(form->attachment_list->count(), 0);

    const auto next = MakeMsg({"next"}, {});
    form->AddMessage(next.get());
    form->show();
    EXPECT_FALSE(form->btn_save_attachments->isEnabled());
    QTest::mouseClick(form->save_attachment, Qt::LeftButton);
    form->btn_save_attachmentsClick(nullptr);
    EXPECT_TRUE(asked.empty()) << "nothing listed, no dialog";
    form->btn_save_emailClick(nullptr);
    EXPECT_EQ(Saved(u"message.txt"_s), "next\r\n");

    // Cancelled dialogs write nothing.
    accept = false;
    QFile::remove(dir.filePath(QStringLiteral("message.txt")));
    form->btn_save_emailClick(nullptr);
    EXPECT_TRUE(FolderEntries().isEmpty());
}

// An HTML message without a plain part reads as text; its markup is one
// click away, and the model keeps the markup it received.
TEST_F(EmailTest, HtmlOnlyMessageShowsItsTextAndItsSourceOnRequest) {
    const std::string raw =
        "Subject: Angebot\r\nContent-Type: text/html; charset=iso-8859-1\r\n\r\n"
        "<html><head><style>p{color:red}</style><script>track()</script></head><body>\r\n"
        "<h1>Angebot</h1><p>Gr&uuml;&szlig;e aus K\xF6ln, <a href=\"https://shop.example/\">zum Shop</a></p>\r\n"
        "<img src=\"http://tracker.example/p.gif\" width=1><ul><li>Tee</li><li>Kaffee</li></ul></body></html>\r\n";
    auto msg = ParsedMsgOf(raw);
    const kel::TTextLines received = msg->Text;
    form->AddMessage(msg.get(), 1);
    form->show();
    ASSERT_TRUE(form->chk_source->isVisible());
    EXPECT_EQ(form->chk_source->text(), u"Show source"_s);
    const QString converted =
        u"Angebot\n=======\n\nGrüße aus Köln, zum Shop <https://shop.example/>\n\n  • Tee\n  • Kaffee"_s;
    EXPECT_TRUE(form->ShowsConvertedHtml());
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(), converted);

    form->chk_source->click();
    EXPECT_FALSE(form->ShowsConvertedHtml());
    const QString source = form->memo_email_anzeigen->toPlainText();
    EXPECT_TRUE(source.startsWith(u"<html><head><style>"_s)) << source.toStdString();
    EXPECT_TRUE(source.contains(u"Gr&uuml;&szlig;e aus Köln"_s));
    form->chk_source->click();
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(), converted);
    EXPECT_EQ(msg->Text, received) << "the conversion is the display's";

    // Saving the text writes the markup as received, as for any message.
    form->btn_save_emailClick(nullptr);
    EXPECT_EQ(Saved(u"Angebot.txt"_s), JoinedText(*msg));

    form->btn_closeClick(nullptr);
    auto plain = ParsedMsgOf("Content-Type: text/plain\r\n\r\n<html>not markup</html>\r\n");
    form->AddMessage(plain.get());
    form->show();
    EXPECT_FALSE(form->chk_source->isVisible());
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(), u"<html>not markup</html>"_s);
}

// A long HTML message shows its start at once and the rest while the
// window is open; closing it stops the conversion.
TEST_F(EmailTest, LongHtmlMessageOpensWithItsStartAndConvertsTheRestWhileShown) {
    constexpr int kParagraphs = 5000;
    std::string raw = "Content-Type: text/html; charset=utf-8\r\n\r\n";
    QStringList expected;
    for (int k = 0; k < kParagraphs; ++k) {
        raw += "<p>Absatz " + std::to_string(k) + " &ndash; gr&uuml;n</p>\r\n";
        expected << u"Absatz %1 – grün"_s.arg(k);
    }
    const qsizetype lines = 2 * kParagraphs - 1;
    auto msg = ParsedMsgOf(raw);
    form->AddMessage(msg.get());
    form->show();
    const qsizetype first = form->memo_email_anzeigen->lineCount();
    EXPECT_GT(first, 0);
    EXPECT_LT(first, lines) << "the window does not wait for the whole conversion";
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->memo_email_anzeigen->lineCount() == lines; }, 20000));
    EXPECT_EQ(form->memo_email_anzeigen->toPlainText(), expected.join(u"\n\n"_s));

    form->btn_closeClick(nullptr);
    form->AddMessage(msg.get());
    form->btn_closeClick(nullptr);
    QTest::qWait(20);
    EXPECT_EQ(form->TextLineCount(), 0u) << "nothing converted after closing";
}

} // namespace
