// Which language is decided for which keyboard layouts, in the layout
// store's two forms and from the desktop's keyboard configuration, and does
// the one value say each text in it?
#include "app/core/Language.h"

#include "support/QtCoreTestApp.h"

#include <QFile>
#include <QSettings>

#include <gtest/gtest.h>

#include <map>

namespace {

class LanguageTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(scratch.Folder.isValid()); }
    void WriteKeyboardFile(const QByteArray& content) {
        QFile f(keyboardFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }
    static QSettings Layouts() {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Keyboard layout"));
    }

    sweepbox::test::ScratchSettings scratch;
    QString keyboardFile = scratch.Path(QStringLiteral("keyboard"));
};

TEST_F(LanguageTest, KeyboardFileGivesTheFirstLayout) {
    struct Row {
        const char* name;
        QByteArray content;
        const char* id;
    };
    const Row rows[] = {
        {"Debian's form", "# KEYBOARD CONFIGURATION FILE\n\nXKBMODEL=\"pc105\"\nXKBLAYOUT=\"de\"\n", "00000407"},
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
    EXPECT_EQ(sweepbox::DesktopKeyboardLayoutId(scratch.Path(QStringLiteral("missing"))), QString());
}

TEST_F(LanguageTest, DecidedFromTheStoreThenTheDesktop) {
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
        {"English store wins over a German desktop", {{subkey, QStringLiteral("00000409")}}, "XKBLAYOUT=de\n", false},
        {"store empty, German desktop", {}, "XKBLAYOUT=de\nXKBVARIANT=nodeadkeys\n", true},
        {"blank values count as empty", {{subkey, QString()}, {list, QString()}}, "XKBLAYOUT=de\n", true},
        {"identifier with blanks", {{subkey, QStringLiteral(" 00000407")}}, "XKBLAYOUT=de\n", false},
        {"Austria is not one of the three", {{subkey, QStringLiteral("00000c07")}}, "XKBLAYOUT=de\n", false},
        {"either form German",
         {{subkey, QStringLiteral("00000409")}, {list, QStringLiteral("00000807")}},
         "XKBLAYOUT=us\n",
         true},
        {"value not text",
         {{subkey, QStringList{QStringLiteral("00000407"), QStringLiteral("x")}}},
         "XKBLAYOUT=us\n",
         false},
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
        QSettings store = Layouts();
        EXPECT_EQ(sweepbox::LanguageOfLayouts(&store, keyboardFile).German, row.german);
    }
    // Without a layout store only the desktop counts.
    WriteKeyboardFile("XKBLAYOUT=ch\n");
    EXPECT_TRUE(sweepbox::LanguageOfLayouts(nullptr, keyboardFile).German);
    EXPECT_FALSE(sweepbox::LanguageOfLayouts(nullptr, scratch.Path(QStringLiteral("missing"))).German);
}

TEST(Language, SaysAndPicksTheTextOfItsLanguage) {
    const struct {
        bool german;
        const char* expected;
    } rows[] = {{true, "Schließen"}, {false, "Close"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.german);
        sweepbox::TLanguage language;
        language.German = row.german;
        // The bytes are UTF-8: a Latin-1 reading would break the umlaut.
        EXPECT_EQ(language.Say("Schließen", "Close"), QString::fromUtf8(row.expected));
        EXPECT_EQ(language.Pick(QStringLiteral("Schließen"), QStringLiteral("Close")), QString::fromUtf8(row.expected));
    }
    EXPECT_FALSE(sweepbox::TLanguage().German) << "English until decided";
}

TEST(Language, WelcomeTextsAreOnePerLanguage) {
    EXPECT_TRUE(sweepbox::WelcomeTextGerman().startsWith(QStringLiteral("Herzlich willkommen bei Sweepbox!")));
    EXPECT_TRUE(sweepbox::WelcomeTextGerman().contains(QStringLiteral("Größe")));
    EXPECT_TRUE(sweepbox::WelcomeTextEnglish().startsWith(QStringLiteral("Welcome to Sweepbox!")));
}

} // namespace
