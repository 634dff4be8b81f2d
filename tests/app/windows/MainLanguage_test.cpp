// Which language does the window choose for which keyboard layouts, in the
// layout store's two forms and from the desktop's keyboard configuration?
#include "app/windows/MainFixture.h"

#include <QSettings>

using maintest::MainTest;

TEST_F(MainTest, KeyboardFileGivesTheFirstLayout) {
    struct Row {
        const char* name;
        QByteArray content;
        const char* id;
    };
    const Row rows[] = {
        {"Debian's form", "# KEYBOARD CONFIGURATION FILE\n\nXKBMODEL=\"pc105\"\nXKBLAYOUT=\"de\"\n",
         "00000407"},
        {"two layouts, German first", "XKBLAYOUT=\"de,us\"\nXKBVARIANT=\"nodeadkeys,\"\n", "00010407"},
        {"exported, later line wins, spaces, Swiss French",
         "export XKBLAYOUT=\"de\"\n  XKBLAYOUT = 'ch' \nXKBVARIANT='fr'\n", "00000409"},
        {"commented out", "#XKBLAYOUT=\"de\"\n", ""},
        {"binary junk", QByteArray("\0\xff\xfe=\n=\"\n", 8), ""},
        {"CR LF line ends", "XKBLAYOUT=\"de\"\r\nXKBVARIANT=\"\"\r\n", "00000407"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteKeyboardFile(row.content);
        EXPECT_EQ(sweepbox::DesktopKeyboardLayoutId(keyboardFile), QString::fromLatin1(row.id));
    }
    EXPECT_EQ(sweepbox::DesktopKeyboardLayoutId(scratch.filePath(QStringLiteral("missing"))), QString());
}

TEST_F(MainTest, TheWindowChoosesItsLanguageFromTheStoreThenTheDesktop) {
    struct Row {
        const char* name;
        std::map<QString, QVariant> layouts;
        QByteArray keyboard;
        bool german;
    };
    const QString subkey = QString::fromLatin1(sweepbox::kLayoutSubkeyValue);
    const QString list = QString::fromLatin1(sweepbox::kLayoutListValue);
    const Row rows[] = {
        {"subkey form", {{subkey, QStringLiteral("00000407")}}, "XKBLAYOUT=us\n", true},
        {"value form", {{list, QStringLiteral("00000807")}}, "XKBLAYOUT=us\n", true},
        {"English store wins over a German desktop", {{subkey, QStringLiteral("00000409")}}, "XKBLAYOUT=de\n",
         false},
        {"store empty, German desktop", {}, "XKBLAYOUT=de\nXKBVARIANT=nodeadkeys\n", true},
        {"blank values count as empty", {{subkey, QString()}, {list, QString()}}, "XKBLAYOUT=de\n", true},
        {"identifier with blanks", {{subkey, QStringLiteral(" 00000407")}}, "XKBLAYOUT=de\n", false},
        {"Austria is not one of the three", {{subkey, QStringLiteral("00000c07")}}, "XKBLAYOUT=de\n",
         false},
        {"either form German",
         {{subkey, QStringLiteral("00000409")}, {list, QStringLiteral("00000807")}}, "XKBLAYOUT=us\n",
         true},
        {"value not text", {{subkey, QStringList{QStringLiteral("00000407"), QStringLiteral("x")}}},
         "XKBLAYOUT=us\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        {
            QSettings s = Layouts();
            s.clear();
            for (const auto& [key, value] : row.layouts)
                s.setValue(key, value);
            s.sync();
        }
        WriteKeyboardFile(row.keyboard);
        TForm1* form = Start();
        EXPECT_EQ(form->IsGerman, row.german);
        EXPECT_EQ(AboutIsGerman, row.german);
        sweepbox::DestroyApplicationWindows();
    }
}
