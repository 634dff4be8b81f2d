// Is the icon built into the program in every size, and does an icon theme
// that draws the program's id take its place (at start, only once the main
// window has been painted)?
#include "app/windows/Desktop.h"

#include "support/QtTestApp.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

class ProgramIconTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override { sweepbox::test::EnsureApp(); }
};

TEST_P(ProgramIconTest, BuiltInInThisSize) {
    const int size = GetParam();
    const QIcon icon = sweepbox::ProgramIcon();
    ASSERT_FALSE(icon.isNull());
    const QImage image(QStringLiteral(":/icons/sweepbox-%1.png").arg(size));
    EXPECT_EQ(image.size(), QSize(size, size));
    EXPECT_TRUE(image.hasAlphaChannel());
    EXPECT_EQ(icon.pixmap(QSize(size, size)).size(), QSize(size, size));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ProgramIconTest, ::testing::ValuesIn(sweepbox::kIconSizes));

// An icon theme in a scratch folder that draws the program's id in red at
// 16 pixels (or, with drawsId false, draws nothing), in use while it lives.
class TRedTheme {
  public:
    explicit TRedTheme(bool drawsId) {
        const QString theme = root.filePath(QStringLiteral("test-theme"));
        QDir().mkpath(theme + QStringLiteral("/16x16/apps"));
        QFile index(theme + QStringLiteral("/index.theme"));
        if (index.open(QIODevice::WriteOnly))
            index.write("[Icon Theme]\nName=test-theme\nDirectories=16x16/apps\n\n"
                        "[16x16/apps]\nSize=16\nType=Fixed\n");
        index.close();
        QImage red(16, 16, QImage::Format_ARGB32);
        red.fill(Qt::red);
        const QString name = drawsId ? QString(sweepbox::kDesktopId) : QStringLiteral("some-other-program");
        Ready = root.isValid() && red.save(theme + QStringLiteral("/16x16/apps/") + name + QStringLiteral(".png"));
        QIcon::setThemeSearchPaths({root.path()});
        QIcon::setThemeName(QStringLiteral("test-theme"));
    }
    ~TRedTheme() {
        QIcon::setThemeName(oldName);
        QIcon::setThemeSearchPaths(oldPaths);
    }
    bool Ready = false;

  private:
    QTemporaryDir root;
    const QStringList oldPaths = QIcon::themeSearchPaths();
    const QString oldName = QIcon::themeName();
};

QColor Centre16(const QIcon& icon) {
    const QImage image = icon.pixmap(QSize(16, 16)).toImage();
    return image.size() == QSize(16, 16) ? image.pixelColor(8, 8) : QColor();
}

TEST(ProgramIconTheme, ThemeDrawingTheIdWins) {
    sweepbox::test::EnsureApp();
    TRedTheme theme(true);
    ASSERT_TRUE(theme.Ready);
    EXPECT_EQ(Centre16(sweepbox::ProgramIcon()), QColor(Qt::red));
}

// The window starts with the built-in icon's small sizes; the theme is looked
// into only once the window has been painted, and then its icon takes over
// where the theme draws the id, else the built-in one in every size.
TEST(ProgramIconTheme, ThemeIsLookedIntoOnlyAfterTheFirstPaint) {
    sweepbox::test::EnsureApp();
    const QColor builtIn = Centre16(sweepbox::BuiltInIcon());
    ASSERT_TRUE(builtIn.isValid());
    ASSERT_NE(builtIn, QColor(Qt::red));
    for (const bool drawsId : {true, false}) {
        SCOPED_TRACE(drawsId ? "theme draws the id" : "theme draws another id");
        TRedTheme theme(drawsId);
        ASSERT_TRUE(theme.Ready);
        QApplication::setWindowIcon(QIcon());
        {
            QWidget window;
            window.resize(100, 80);
            sweepbox::UseProgramIcon(&window);
            QApplication::processEvents();
            // The start needs only the small sizes.
            EXPECT_EQ(Centre16(QApplication::windowIcon()), builtIn);
            EXPECT_EQ(Centre16(window.windowIcon()), builtIn);
            EXPECT_EQ(QApplication::windowIcon().availableSizes(),
                      (QList<QSize>{{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}}));
            window.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
            const QColor expected = drawsId ? QColor(Qt::red) : builtIn;
            const qsizetype sizes = drawsId ? 1 : qsizetype(std::size(sweepbox::kIconSizes));
            EXPECT_TRUE(QTest::qWaitFor(
                [&] {
                    return Centre16(QApplication::windowIcon()) == expected &&
                           QApplication::windowIcon().availableSizes().size() == sizes;
                },
                2000));
            EXPECT_EQ(Centre16(window.windowIcon()), expected);
        }
        QApplication::setWindowIcon(QIcon());
    }
}

// A window that goes before it is painted takes its watch with it.
TEST(ProgramIconTheme, AWindowGoneBeforeItsFirstPaintLeavesTheBuiltInIcon) {
    sweepbox::test::EnsureApp();
    TRedTheme theme(true);
    ASSERT_TRUE(theme.Ready);
    {
        QWidget window;
        sweepbox::UseProgramIcon(&window);
    }
    QApplication::processEvents();
    EXPECT_NE(Centre16(QApplication::windowIcon()), QColor(Qt::red));
    QApplication::setWindowIcon(QIcon());
}

} // namespace
