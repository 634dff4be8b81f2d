// What does the about window show in each language, and do its links open
// their targets from the keyboard?
#include "info.h"

#include "HyperLink.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

// Takes what the links hand to the desktop.
class UrlSink : public QObject {
    Q_OBJECT
  public:
    std::vector<QUrl> opened;
  public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

namespace {

void EnsureApp() {
    static int argc = 1;
    static char arg0[] = "info_test";
    static char* argv[] = {arg0, nullptr};
    // Never destroyed: Qt's statics are gone when static destructors run.
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

const QColor kMaroon(0x80, 0, 0);

class AboutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApp();
        for (const char* scheme : {"https", "mailto"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &sink, "open");
        box = std::make_unique<TAboutBox>();
    }
    void TearDown() override {
        box.reset();
        for (const char* scheme : {"https", "mailto"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        AboutIsGerman = false;
    }
    void ShowActive() {
        box->show();
        QApplication::setActiveWindow(box.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(box.get()));
    }

    UrlSink sink;
    std::unique_ptr<TAboutBox> box;
};

TEST_F(AboutTest, OnlyTheReleaseDateFollowsTheLanguage) {
    struct Row {
        bool german;
        QString date;
    };
    for (const Row& row : {Row{true, QStringLiteral("13. Februar 2000")}, Row{false, QStringLiteral("13 February 2000")},
                           Row{true, QStringLiteral("13. Februar 2000")}}) {
        SCOPED_TRACE(row.date.toStdString());
        AboutIsGerman = row.german;
        box->show();
        EXPECT_EQ(box->Comments->text(), row.date);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Information"));
        EXPECT_EQ(box->ProductName->text(), QStringLiteral("Sweepbox 2.14"));
        EXPECT_EQ(box->Label1->text(), QStringLiteral("e-mail:"));
        EXPECT_EQ(box->Label2->text(), QStringLiteral("Internet:"));
        EXPECT_EQ(box->OKButton->text(), QStringLiteral("OK"));
        EXPECT_LE(box->Comments->sizeHint().width(), box->Comments->width()) << "the date fits its label";
        box->close();
    }
}

TEST_F(AboutTest, LayoutKeepsEveryTextInsideThePanel) {
    EXPECT_EQ(box->size(), QSize(281, 149));
    EXPECT_EQ(box->minimumSize(), box->maximumSize());
    EXPECT_EQ(box->Panel1->geometry(), QRect(0, 0, 281, 121));
    EXPECT_EQ(box->ProgramIcon->geometry(), QRect(8, 8, 65, 57));
    EXPECT_EQ(box->OKButton->geometry(), QRect(103, 124, 75, 25));
    EXPECT_TRUE(box->OKButton->isDefault());
    EXPECT_EQ(box->Comments->size(), QSize(113, 17));
    const QRect inner = box->Panel1->contentsRect();
    for (const QWidget* w : box->Panel1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        SCOPED_TRACE(w->objectName().toStdString());
        EXPECT_TRUE(inner.contains(w->geometry()));
        const auto* label = qobject_cast<const QLabel*>(w);
        if (label && label->pixmap().isNull()) {
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
        }
    }
    EXPECT_FALSE(box->ProductName->geometry().intersects(box->Label1->geometry()));
    // The size rule leaves a margin below the text that may run under the
    // next link; the text rows themselves must not overlap.
    EXPECT_GE(box->HyperLink2->y() - box->HyperLink1->y(), box->HyperLink1->fontMetrics().height());
}

TEST_F(AboutTest, ProductLineIsGreenAndBold) {
    EXPECT_EQ(box->ProductName->palette().color(QPalette::WindowText), QColor(0, 0x80, 0));
    EXPECT_TRUE(box->ProductName->font().bold());
    EXPECT_EQ(box->ProductName->font().pixelSize(), 19);
    EXPECT_FALSE(box->ProgramIcon->toolTip().isEmpty());
}

TEST_F(AboutTest, LinksPointAtTheMakerAndKeepTheirColourWhenHovered) {
    EXPECT_EQ(box->HyperLink1->HREF, QStringLiteral("mailto:") + box->HyperLink1->Caption());
    EXPECT_TRUE(box->HyperLink1->Caption().endsWith(QStringLiteral("@example.org")));
    EXPECT_TRUE(QUrl(box->HyperLink2->HREF).host().endsWith(QStringLiteral("example.org")));
    for (const THyperLink* link : {box->HyperLink1, box->HyperLink2}) {
        SCOPED_TRACE(link->objectName().toStdString());
        EXPECT_EQ(link->NotPressedColor, kMaroon);
        EXPECT_EQ(link->OverColor, kMaroon);
        EXPECT_EQ(link->PressedColor, QColor(255, 0, 0));
        EXPECT_TRUE(link->font().bold());
        EXPECT_TRUE(link->font().underline());
        EXPECT_EQ(link->StatusBar, nullptr);
    }
}

TEST_F(AboutTest, TabReachesTheLinksInOrderAndEnterOpensThem) {
    ShowActive();
    box->HyperLink1->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTest::keyClick(box->HyperLink1, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), box->HyperLink2);
    QTest::keyClick(box->HyperLink2, Qt::Key_Return);
    ASSERT_EQ(sink.opened.size(), 2u);
    EXPECT_EQ(sink.opened[0], QUrl(box->HyperLink1->HREF));
    EXPECT_EQ(sink.opened[1], QUrl(box->HyperLink2->HREF));
    EXPECT_TRUE(box->isVisible()) << "Enter on a link does not close the window";

    QTest::keyClick(box->HyperLink2, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), box->OKButton);
    QTest::keyClick(box->OKButton, Qt::Key_Return);
    EXPECT_FALSE(box->isVisible());
    EXPECT_EQ(box->result(), QDialog::Accepted);
}

TEST_F(AboutTest, RendersInBothLanguages) {
    const QString shots = qEnvironmentVariable("SWEEPBOX_SHOTS_DIR");
    for (const bool g : {true, false}) {
        AboutIsGerman = g;
        box->show();
        const QPixmap shot = box->grab();
        EXPECT_EQ(shot.size(), QSize(281, 149));
        if (!shots.isEmpty()) {
            EXPECT_TRUE(shot.save(QDir(shots).filePath(g ? QStringLiteral("about-de.png")
                                                         : QStringLiteral("about-en.png"))));
        }
        box->close();
    }
}

} // namespace

#include "info_test.moc"
