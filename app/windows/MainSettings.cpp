// The settings of the main window: remembered server/user pairs, window
// geometry and the list's column widths, all stored as text values.
#include "app/windows/Main.h"

#include "app/core/Settings.h"
#include "app/core/Summary.h"
#include "ui/MultiLst.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace settings = sweepbox::settings;

namespace {

// The stored size is used as it is, except that a window larger than the
// whole desktop would only cost memory for pixels nobody can see.
int LargestExtent(bool horizontal) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 4096;
    const QRect desktop = screen->virtualGeometry();
    return std::max(horizontal ? desktop.width() : desktop.height(), 1024);
}

// Window systems keep positions in 16 bits; beyond that Qt's own geometry
// arithmetic would overflow.
int ClampPosition(int v) { return std::clamp(v, -32768, 32767); }

// A window can be moved by the user while a good part of its title bar lies
// on a screen: its top edge within the screen's free area (a title bar above
// it could not be grabbed) and this much of its width, or all of a narrower one.
constexpr int kTitleBarHeight = 24;
constexpr int kTitleBarGrip = 100;

// The stored position (of the window's frame) if it leaves the window within
// reach; otherwise the nearest screen's free area, with as much of the
// window on it as fits. Desktop settings, a screen since taken away or a
// store edited by hand can all put a window where nobody could reach it.
QPoint ReachablePosition(QPoint at, QSize size) {
    const int grip = std::min(kTitleBarGrip, size.width());
    const QRect* nearest = nullptr;
    qint64 nearestDistance = 0;
    std::vector<QRect> areas;
    for (const QScreen* screen : QGuiApplication::screens())
        areas.push_back(screen->availableGeometry());
    for (const QRect& area : areas) {
        const int shown = std::min(at.x() + size.width(), area.right() + 1) - std::max(at.x(), area.left());
        if (at.y() >= area.top() && at.y() + kTitleBarHeight <= area.bottom() + 1 && shown >= grip)
            return at;
        const qint64 dx = std::max({area.left() - at.x(), 0, at.x() - area.right()});
        const qint64 dy = std::max({area.top() - at.y(), 0, at.y() - area.bottom()});
        if (!nearest || dx * dx + dy * dy < nearestDistance) {
            nearest = &area;
            nearestDistance = dx * dx + dy * dy;
        }
    }
    if (!nearest)
        return at;
    const QRect& area = *nearest;
    return {std::clamp(at.x(), area.left(), std::max(area.left(), area.right() + 1 - size.width())),
            std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height()))};
}

// TMultiList keeps a cell's text 1 pixel (in the first column) or 6 pixels
// from the cell's left edge and 3 from its right, and cuts a text that does
// not fit.
int CellTextMargins(int column) { return column == 0 ? 1 + 3 : 6 + 3; }

// The widths the columns take where none is stored: the form's, or wider
// where the list's font needs more room for the widest usual cells, which
// are made the way the rows are: message numbers up to 65535, sizes up to
// "999 KByte" and "99.9 MByte", a date in any month.
sweepbox::TColumnWidths DefaultColumnWidths(const QFont& font) {
    const QFontMetrics metrics(font);
    sweepbox::TColumnWidths widths = settings::kDefaultColumnWidths;
    auto fit = [&](int column, const std::string& cell) {
        const int needed = metrics.horizontalAdvance(QString::fromStdString(cell)) + CellTextMargins(column);
        widths[static_cast<size_t>(column)] = std::max(widths[static_cast<size_t>(column)], needed);
    };
    for (const char* size : {"999000", "99900000"}) {
        // " n |size |"
        const std::string row = summary::Row(65535, size, std::string());
        const size_t first = row.find('|');
        const size_t second = row.find('|', first + 1);
        fit(0, row.substr(0, first));
        fit(1, row.substr(first + 1, second - first - 1));
    }
    for (int month = 1; month <= 12; ++month) {
        summary::TDate date;
        date.Year = 2010;
        date.Month = month;
        date.Day = 28;
        fit(2, summary::DateText(date));
    }
    return widths;
}

} // namespace

void TForm1::GetFromIniFile() {
    const sweepbox::TSettings& store = *SettingsReg;
    for (const sweepbox::TRememberedPair& pair : store.Pairs()) {
        Username->addItem(pair.User);
        servername->addItem(pair.Server, QString(sweepbox::SecurityText(pair.Security)));
        const int index = servername->count() - 1;
        servername->setItemData(index, sweepbox::SignInWord(pair.SignIn), kSignInRole);
        servername->setItemData(index, pair.TokenCommand, kTokenCommandRole);
        servername->setItemData(index, pair.KeepPassword, kKeepPasswordRole);
    }

    const sweepbox::TWindowGeometry geometry = store.Geometry();
    const int width = std::min(geometry.Width, LargestExtent(true));
    const int height = std::min(geometry.Height, LargestExtent(false));
    // The minimum size raises smaller values.
    resize(std::max(width, 0), std::max(height, 0));
    const QPoint stored(ClampPosition(geometry.X), ClampPosition(geometry.Y));
    move(ReachablePosition(stored, size()));

    const int listWidth = std::max(width - 9, 0);
    mail_list->setListWidth(listWidth);
    mail_list->resize(listWidth, mail_list->height());
    mail_list->update();

    const sweepbox::TColumnWidths columnWidths = store.ColumnWidths(DefaultColumnWidths(mail_list->font()));
    for (int n = 0; n < settings::kListColumns; ++n)
        mail_list->setSectionWidth(n, columnWidths[static_cast<size_t>(n)]);

    SortColumn = store.SortColumn();
    SortDescending = store.SortDescending();
    ShowSortIndicator();
}

void TForm1::WriteToIniFile() {
    // Only whole pairs are written.
    std::vector<sweepbox::TRememberedPair> pairs;
    for (int i = 0; i < std::min(Username->count(), servername->count()); ++i) {
        const QString server = servername->itemText(i);
        pairs.push_back(
            {server, Username->itemText(i),
             sweepbox::SecurityFromText(servername->itemData(i).toString(), sweepbox::DefaultSecurity(server)),
             sweepbox::SignInFromWord(servername->itemData(i, kSignInRole).toString()),
             servername->itemData(i, kTokenCommandRole).toString(), servername->itemData(i, kKeepPasswordRole).toBool()});
    }
    SettingsReg->SetPairs(pairs);
}

void TForm1::FormResize(QObject*) {
    mail_list->update();
    if (!SettingsReg)
        return;
    SettingsReg->SetGeometry({x(), y(), width(), height()});
    sweepbox::TColumnWidths widths{};
    for (int n = 0; n < settings::kListColumns; ++n)
        widths[static_cast<size_t>(n)] = mail_list->sectionWidth(n);
    SettingsReg->SetColumnWidths(widths);
}

void TForm1::servernameClick(QObject*) {
    const int index = servername->currentIndex();
    if (index >= 0 && index < Username->count())
        Username->setCurrentIndex(index);
    ShowPairSecurity(index);
}

void TForm1::UsernameClick(QObject*) {
    const int index = Username->currentIndex();
    if (index >= 0 && index < servername->count())
        servername->setCurrentIndex(index);
    ShowPairSecurity(servername->currentIndex());
}
