// What a screen reader and a keyboard user get of the windows: a name for
// every control, the fields reachable with Tab in reading order, and Qt's
// own texts in the interface language.
#include "MainFixture.h"

#include "Certificate.h"
#include "Header.h"
#include "MultiLst.h"
#include "email.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QDialogButtonBox>
#include <QFile>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

namespace {

using namespace maintest;

// A widget the user works with: one that takes the focus, a button, or a
// progress or list display; not the inner parts of a compound control.
bool IsControl(QWidget* w) {
    if (qobject_cast<QScrollBar*>(w) || w->objectName().startsWith(QStringLiteral("qt_")))
        return false;
    for (QWidget* p = w->parentWidget(); p; p = p->parentWidget())
        if (qobject_cast<QComboBox*>(p) || qobject_cast<QAbstractScrollArea*>(p))
            return false;
    return w->focusPolicy() != Qt::NoFocus || qobject_cast<QAbstractButton*>(w) != nullptr;
}

// Controls of the window without an accessible name, as "class name".
QStringList Nameless(QWidget* window) {
    QStringList nameless;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!IsControl(w) || w->window() != window)
            continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        if (!a || a->text(QAccessible::Name).trimmed().isEmpty())
            nameless << QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(' ') + w->objectName();
    }
    return nameless;
}

class AccessibilityTest : public MainTest {};

TEST_F(AccessibilityTest, EveryControlHasANameInBothLanguages) {
    for (const bool german : {true, false}) {
        SCOPED_TRACE(german ? "German" : "English");
        TForm1* form = StartIn(german);
        EXPECT_EQ(Nameless(form), QStringList());
        // A field is named by its caption.
        EXPECT_EQ(QAccessible::queryAccessibleInterface(form->Password)->text(QAccessible::Name),
                  german ? Q("Passwort:") : Q("Password:"));
        // The other windows set their texts as they are shown.
        for (QDialog* window : std::initializer_list<QDialog*>{AboutBox, Form2, Form3}) {
            window->show();
            EXPECT_EQ(Nameless(window), QStringList()) << window->objectName().toStdString();
            window->hide();
        }
        kel::TCertificateInfo info;
        info.Problems = {kel::TCertProblem::SelfSigned};
        info.Subject = "CN=mail.example.org";
        TCertificateDialog dialog(info, QStringLiteral("mail.example.org:995"), german, nullptr);
        EXPECT_EQ(Nameless(&dialog), QStringList());
        sweepbox::DestroyApplicationWindows();
    }
}

// From the server field, Tab walks the login fields in the order they read.
TEST_F(AccessibilityTest, TabWalksTheLoginFieldsInReadingOrder) {
    TForm1* form = StartIn(false);
    form->activateWindow();
    form->servername->setFocus();
    QStringList visited;
    for (int i = 0; i < 4; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* at = QApplication::focusWidget();
        // The editable boxes hand the focus to their line edit.
        while (at && at->objectName().isEmpty() && at->parentWidget())
            at = at->parentWidget();
        visited << (at ? at->objectName() : QString());
    }
    EXPECT_EQ(visited, (QStringList{QStringLiteral("Security"), QStringLiteral("Username"), QStringLiteral("Password"),
                                    QStringLiteral("Header_Nein")}));
}

// Qt's own buttons and dialogs speak the interface language where Qt's
// translations are installed.
TEST_F(AccessibilityTest, QtsOwnTextsFollowTheInterfaceLanguage) {
    const QString translations = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!QFile::exists(translations + QStringLiteral("/qtbase_de.qm")))
        GTEST_SKIP() << "Qt's German translations are not installed in " << translations.toStdString();
    auto cancelText = [] {
        QDialogButtonBox box(QDialogButtonBox::Cancel);
        return box.button(QDialogButtonBox::Cancel)->text().remove(QLatin1Char('&'));
    };
    StartIn(true);
    EXPECT_EQ(cancelText(), Q("Abbrechen"));
    sweepbox::DestroyApplicationWindows();
    StartIn(false);
    EXPECT_EQ(cancelText(), Q("Cancel"));
}

} // namespace
