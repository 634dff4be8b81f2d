// Shared set-up of the main window tests: one QApplication per process,
// settings and keyboard layouts in a scratch folder per test, message boxes
// captured instead of shown.
#pragma once

#include "app/windows/Application.h"
#include "app/windows/Dialogs.h"
#include "app/windows/Main.h"
#include "app/core/Language.h"
#include "app/windows/info.h"

#include "support/BoundedWaits.h"
#include "support/QtTestApp.h"

#include <QComboBox>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <map>

namespace sweepbox::test {

inline QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

inline QStringList Items(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

using Values = std::map<QString, QVariant>;

// Remembered pairs 1..count as an earlier run stores them.
inline Values Pairs(int count) {
    Values values;
    for (int n = 1; n <= count; ++n) {
        values[QStringLiteral("User%1").arg(n)] = QStringLiteral("user%1").arg(n);
        values[QStringLiteral("Server%1").arg(n)] = QStringLiteral("pop%1.example").arg(n);
    }
    return values;
}

class MainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sweepbox::test::EnsureApp();
        ASSERT_TRUE(scratch.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, scratch.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, scratch.path());
        // The header cache too: no test reads what another one left.
        qputenv("XDG_CACHE_HOME", scratch.path().toUtf8());
        keyboardFile = scratch.filePath(QStringLiteral("keyboard"));
        previousHook = sweepbox::SetMessageHook(
            [this](QWidget*, const QString& text) { messages.push_back(text); });
    }

    void TearDown() override {
        sweepbox::DestroyApplicationWindows();
        sweepbox::SetMessageHook(previousHook);
    }

  public:
    // The settings store as the program opens it.
    static QSettings Settings() {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Larkmoor"),
                         QStringLiteral("Sweepbox"));
    }
    static QSettings Layouts() {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Keyboard layout"));
    }

  protected:
    // A stored value; an invalid QVariant when there is none.
    static QVariant Stored(const QString& name) { return Settings().value(name); }
    // Adds values to the store; with replace, the store holds only them.
    static void Store(const Values& values, bool replace = false) {
        QSettings s = Settings();
        if (replace)
            s.clear();
        for (const auto& [name, value] : values)
            s.setValue(name, value);
        s.sync();
    }
    // The layout store with a German or an English first layout in the
    // subkey form.
    static void SetLayout(bool german) {
        QSettings s = Layouts();
        s.setValue(QString::fromLatin1(sweepbox::kLayoutSubkeyValue),
                   german ? QStringLiteral("00000407") : QStringLiteral("00000409"));
        s.sync();
    }
    void WriteKeyboardFile(const QByteArray& content) {
        QFile f(keyboardFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

    // Creates the windows as the program does; Form1 stays hidden.
    TForm1* Create() {
        sweepbox::CreateApplicationWindows();
        Form1->DesktopKeyboardFile = keyboardFile;
        sweepbox::test::BoundWaits(Form1->pop3);
        return Form1;
    }
    // Creates and shows the main window, which runs the language decision.
    TForm1* Start() {
        TForm1* form = Create();
        form->show();
        EXPECT_TRUE(QTest::qWaitFor([form] { return form->LanguageSelected(); }));
        return form;
    }
    TForm1* StartIn(bool german) {
        SetLayout(german);
        return Start();
    }

    QTemporaryDir scratch;
    QString keyboardFile;
    std::vector<QString> messages;
    sweepbox::TMessageHook previousHook;
};

} // namespace sweepbox::test
