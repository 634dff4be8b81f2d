// The windows under a light and a dark desktop palette: every text they show
// must read against what it is drawn on, measured on the rendered pixels
// (contrast 4.5:1 at least), and the designed colours stay where they read.
#include "app/windows/MainFixture.h"

#include "ui/Colours.h"
#include "ui/HyperLink.h"
#include "ui/MultiLst.h"
#include "ui/SpeedButton.h"
#include "ui/StatusBar.h"
#include "ui/StatusLabel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>

#include <algorithm>
#include <functional>
#include <map>
#include <vector>

namespace {

using namespace sweepbox::test;

QPalette DarkPalette() {
    QPalette p;
    const QColor window(45, 45, 48), base(30, 30, 30), text(230, 230, 230), button(53, 53, 56);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, QColor(80, 80, 84));
    p.setColor(QPalette::Midlight, QColor(66, 66, 70));
    p.setColor(QPalette::Mid, QColor(40, 40, 42));
    p.setColor(QPalette::Dark, QColor(25, 25, 26));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, window);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(127, 127, 127));
    return p;
}

// The lowest contrast a text of the widget has on the rendered pixels: the
// most common colour of its inner area is the background, the pixel
// farthest from it the text (anti-aliasing only adds colours in between).
double TextContrast(QWidget* w) {
    const QImage image = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect inner = QRect(QPoint(0, 0), image.size()).adjusted(3, 2, -3, -2);
    std::map<QRgb, int> counts;
    for (int y = inner.top(); y <= inner.bottom(); ++y)
        for (int x = inner.left(); x <= inner.right(); ++x)
            ++counts[image.pixel(x, y)];
    if (counts.size() < 2)
        return 21; // nothing drawn on it
    QRgb background = counts.begin()->first;
    for (const auto& [rgb, n] : counts)
        if (n > counts[background])
            background = rgb;
    double best = 1;
    for (const auto& [rgb, n] : counts)
        best = std::max(best, colours::Contrast(QColor(rgb), QColor(background)));
    return best;
}

bool ShowsText(QWidget* w) {
    if (!w->isVisible() || !w->isEnabled() || w->width() < 8 || w->height() < 8)
        return false;
    if (auto* label = qobject_cast<QLabel*>(w))
        return !label->text().trimmed().isEmpty();
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return !button->text().isEmpty();
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        return !edit->text().isEmpty();
    return qobject_cast<TMultiList*>(w) != nullptr;
}

class ThemeTest : public MainTest {
  protected:
    void TearDown() override {
        MainTest::TearDown();
        QApplication::setPalette(QPalette());
    }
    // Every text of the window and its children.
    void ExpectReadable(QWidget* window, const char* palette) {
        int checked = 0;
        QList<QWidget*> widgets = window->findChildren<QWidget*>();
        widgets.prepend(window);
        for (QWidget* w : widgets) {
            if (!ShowsText(w))
                continue;
            ++checked;
            EXPECT_GE(TextContrast(w), 4.5)
                << palette << ": " << w->metaObject()->className() << " " << w->objectName().toStdString();
        }
        EXPECT_GT(checked, 5) << palette;
    }
};

TEST(Colours, DesignedColoursStayWhereTheyReadAndMoveWhereTheyDoNot) {
    const struct {
        QColor want, background;
        double min;
        bool kept;
    } rows[] = {
        {QColor(128, 0, 0), Qt::white, 4.5, true},             // maroon on white
        {QColor(128, 0, 0), QColor(240, 240, 240), 4.5, true}, // on a light window
        {QColor(128, 0, 0), QColor(45, 45, 48), 4.5, false},   // on a dark one
        {QColor(0, 0, 128), QColor(20, 20, 20), 4.5, false},   // navy darker than nothing
        {QColor(255, 215, 60), Qt::white, 4.5, false},         // yellow on white
        {QColor(0, 70, 170), QColor(45, 45, 48), 3.0, false},  // a picture's blue, 3:1
        {QColor(0, 70, 170), Qt::white, 3.0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.want.name().toStdString() + " on " + row.background.name().toStdString());
        const QColor got = colours::Readable(row.want, row.background, row.min);
        EXPECT_GE(colours::Contrast(got, row.background), row.min);
        EXPECT_EQ(got == row.want, row.kept);
        // Moved just far enough: the hue is still there.
        if (!row.kept && row.want.hue() >= 0 && got != QColor(Qt::white) && got != QColor(Qt::black))
            EXPECT_NEAR(got.hue(), row.want.hue(), 3);
    }
    EXPECT_DOUBLE_EQ(colours::Contrast(Qt::black, Qt::white), 21.0);
}

TEST_F(ThemeTest, EveryTextReadsOnALightAndADarkPalette) {
    for (const bool dark : {false, true}) {
        const char* name = dark ? "dark" : "light";
        QApplication::setPalette(dark ? DarkPalette() : QPalette());
        TForm1* form = StartIn(true);
        // A listed mailbox, a status text and the status panels.
        form->info_fenster->hide();
        form->mail_list->show();
        form->mail_list->addItem(QStringLiteral(" 1 |2 KByte |06 Mar 2000|Jürgen Müller|Grüße aus Köln|"));
        form->mail_list->addItem(QStringLiteral(" 2 |15 Byte |07 Mar 2000|Mailing list|Weekly digest|"));
        form->mail_list->setSelected(2, true);
        form->Status->show();
        form->Status->Append(QStringLiteral("Fehler: Der Server antwortet nicht."));
        form->Status_leiste->SetPanelText(0, QStringLiteral("2 Mails"));
        QApplication::processEvents();
        ExpectReadable(form, name);
        // The status keeps its maroon where it reads, and only there.
        const QColor status = form->Status->palette().color(QPalette::WindowText);
        EXPECT_EQ(status == QColor(128, 0, 0), !dark) << name;

        AboutBox->show();
        QApplication::processEvents();
        ExpectReadable(AboutBox, name);
        AboutBox->hide();
        sweepbox::DestroyApplicationWindows();
    }
}

// Switching the desktop's palette while the program runs recolours it.
TEST_F(ThemeTest, APaletteChangeWhileRunningRecolours) {
    TForm1* form = StartIn(false);
    EXPECT_EQ(form->Status->palette().color(QPalette::WindowText), QColor(128, 0, 0));
    EXPECT_EQ(form->mail_list->columnLineColor(), QColor(Qt::black));
    QApplication::setPalette(DarkPalette());
    QApplication::processEvents();
    const QColor status = form->Status->palette().color(QPalette::WindowText);
    EXPECT_GE(colours::Contrast(status, DarkPalette().color(QPalette::Window)), 4.5);
    EXPECT_GE(colours::Contrast(form->mail_list->columnLineColor(), DarkPalette().color(QPalette::Base)), 3.0);
    EXPECT_NE(form->mail_list->columnLineColor(), QColor(Qt::black));
}

// The contrast of a toolbar button's picture against the toolbar, as WCAG
// 2.1 (1.4.11) measures a graphic: the picture's pixels are those that
// differ from the toolbar in a grab of the button without its caption; its
// significant ones are the quarter that stand out most (the outline and the
// strokes that give it its shape, not the anti-aliased edges or the fills
// inside it); the figure is the least contrast among them.
double GlyphContrast(TSpeedButton* button, QImage* shot = nullptr) {
    const QString caption = button->text();
    button->setText(QString());
    const QImage image = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
    button->setText(caption);
    if (shot)
        *shot = image;
    const QWidget* toolbar = button->parentWidget();
    const QColor ground = toolbar->palette().color(toolbar->backgroundRole());
    std::vector<double> drawn;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (const QColor px(image.pixel(x, y)); px != ground)
                drawn.push_back(colours::Contrast(px, ground));
    if (drawn.size() < 20)
        return 0; // no picture at all
    std::sort(drawn.begin(), drawn.end(), std::greater<>());
    return drawn[drawn.size() / 4];
}

// Every picture on the toolbar keeps 3:1 against it, light or dark.
TEST_F(ThemeTest, ToolbarPicturesKeepTheirContrastOnALightAndADarkPalette) {
    for (const bool dark : {false, true}) {
        const char* name = dark ? "dark" : "light";
        QApplication::setPalette(dark ? DarkPalette() : QPalette());
        TForm1* form = StartIn(false);
        QApplication::processEvents();
        int measured = 0;
        for (TSpeedButton* button : form->findChildren<TSpeedButton*>()) {
            // A disabled command's greyed picture needs no contrast (1.4.11).
            button->setEnabled(true);
            ++measured;
            EXPECT_GE(GlyphContrast(button), 3.0) << name << ": " << button->objectName().toStdString();
        }
        EXPECT_GE(measured, 9) << name;
        sweepbox::DestroyApplicationWindows();
    }
}

// The sort arrow is drawn on the sorted column's title, whichever it is, in
// a window wide enough to stretch the last column far to the right.
TEST_F(ThemeTest, TheSortArrowSitsOnTheSortedColumn) {
    TForm1* form = StartIn(false);
    form->resize(1200, form->height());
    form->info_fenster->hide();
    form->mail_list->show();
    form->mail_list->addItem(QStringLiteral(" 1 |2 KByte |06 Mar 2000|Anna|Hello|"));
    QHeaderView* header = form->mail_list->header();
    QApplication::processEvents();
    const auto grabbed = [&] { return header->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    form->SortColumn = -1;
    form->ShowSortIndicator();
    const QImage plain = grabbed();
    for (const int column : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(column);
        form->SortColumn = column;
        form->ShowSortIndicator();
        const QImage sorted = grabbed();
        ASSERT_EQ(sorted.size(), plain.size());
        // Where the arrow changed the picture.
        int left = sorted.width(), right = -1;
        for (int y = 0; y < sorted.height(); ++y)
            for (int x = 0; x < sorted.width(); ++x)
                if (sorted.pixel(x, y) != plain.pixel(x, y)) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
        ASSERT_GE(right, 0) << "no arrow drawn";
        const int from = header->sectionViewportPosition(column);
        EXPECT_GE(left, from);
        EXPECT_LT(right, from + header->sectionSize(column));
        // Beside the title, even in the last section, which reaches the edge.
        const QString title = form->mail_list->headerSections().value(column);
        EXPECT_LT(right, from + header->fontMetrics().horizontalAdvance(title) + 40) << title.toStdString();
    }
}

} // namespace
