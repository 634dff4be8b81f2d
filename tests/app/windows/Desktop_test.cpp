// Is the icon built into the program in every size, and does an icon theme
// that draws the program's id take its place?
#include "app/windows/Desktop.h"

#include "support/QtTestApp.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>

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

TEST(ProgramIconTheme, ThemeDrawingTheIdWins) {
    sweepbox::test::EnsureApp();
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString theme = root.filePath(QStringLiteral("test-theme"));
    ASSERT_TRUE(QDir().mkpath(theme + QStringLiteral("/16x16/apps")));
    QFile index(theme + QStringLiteral("/index.theme"));
    ASSERT_TRUE(index.open(QIODevice::WriteOnly));
    index.write("[Icon Theme]\nName=test-theme\nDirectories=16x16/apps\n\n"
                "[16x16/apps]\nSize=16\nType=Fixed\n");
    index.close();
    QImage red(16, 16, QImage::Format_ARGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(
        red.save(theme + QStringLiteral("/16x16/apps/") + QString(sweepbox::kDesktopId) + QStringLiteral(".png")));

    const QStringList oldPaths = QIcon::themeSearchPaths();
    const QString oldName = QIcon::themeName();
    QIcon::setThemeSearchPaths({root.path()});
    QIcon::setThemeName(QStringLiteral("test-theme"));
    const QImage drawn = sweepbox::ProgramIcon().pixmap(QSize(16, 16)).toImage();
    QIcon::setThemeName(oldName);
    QIcon::setThemeSearchPaths(oldPaths);

    ASSERT_EQ(drawn.size(), QSize(16, 16));
    EXPECT_EQ(drawn.pixelColor(8, 8), QColor(Qt::red));
}

} // namespace
