// The settings of the main window: remembered server/user pairs, window
// geometry and the list's column widths, all stored as text values.
#include "Main.h"

#include "MultiLst.h"
#include "SettingsNames.h"
#include "message/kel_util.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>

#include <algorithm>

namespace settings = sweepbox::settings;

namespace {

// A value that is missing, or stored as something other than text (a list,
// a byte array), reads as the default.
QString ReadString(QSettings& store, const QString& name, const QString& fallback) {
    const QVariant value = store.value(name);
    if (value.typeId() != QMetaType::QString)
        return fallback;
    return value.toString();
}

int ReadInteger(QSettings& store, const QString& name, int fallback) {
    const QVariant value = store.value(name);
    if (value.typeId() != QMetaType::QString)
        return fallback;
    return kel::StrToIntDef(value.toString().toStdString(), fallback);
}

void WriteInteger(QSettings& store, const QString& name, int value) {
    store.setValue(name, QString::number(value));
}

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

} // namespace

void TForm1::GetFromIniFile() {
    QSettings& reg = *SettingsReg;
    // Pairs are read by their number so that a half pair (one value missing
    // or empty) is dropped whole instead of shifting one list against the other.
    for (int n = 1; n <= settings::kRememberedPairs; ++n) {
        const QString user = ReadString(reg, settings::UserKey(n), QString());
        const QString server = ReadString(reg, settings::ServerKey(n), QString());
        if (user.isEmpty() || server.isEmpty())
            continue;
        // A pair stored before the security was remembered takes the default.
        QString security = ReadString(reg, settings::SecurityKey(n), QString());
        if (security != QLatin1String("tls") && security != QLatin1String("starttls") &&
            security != QLatin1String("none"))
            security = DefaultSecurity(server);
        Username->addItem(user);
        servername->addItem(server, security);
    }

    const int width = std::min(ReadInteger(reg, settings::kWidth, settings::kDefaultWidth), LargestExtent(true));
    const int height = std::min(ReadInteger(reg, settings::kHeight, settings::kDefaultHeight), LargestExtent(false));
    move(ClampPosition(ReadInteger(reg, settings::kXPos, settings::kDefaultXPos)),
         ClampPosition(ReadInteger(reg, settings::kYPos, settings::kDefaultYPos)));
    // The minimum size raises smaller values.
    resize(std::max(width, 0), std::max(height, 0));

    const int listWidth = std::max(width - 9, 0);
    mail_list->setListWidth(listWidth);
    mail_list->resize(listWidth, mail_list->height());
    mail_list->update();

    for (int n = 0; n < settings::kListColumns; ++n)
        mail_list->setSectionWidth(n, ReadInteger(reg, settings::ColumnWidthKey(n), settings::kDefaultColumnWidths[n]));

    const int column = ReadInteger(reg, settings::kSortColumn, -1);
    SortColumn = column >= 0 && column < settings::kListColumns ? column : -1;
    SortDescending = ReadString(reg, settings::kSortOrder, QString()) == settings::kDescending;
    ShowSortIndicator();
}

void TForm1::WriteToIniFile() {
    QSettings& reg = *SettingsReg;
    // Only whole pairs are written; the newest ten if there are more.
    const int pairs = std::min(Username->count(), servername->count());
    const int first = std::max(0, pairs - settings::kRememberedPairs);
    const int count = pairs - first;
    for (int i = 0; i < count; ++i) {
        reg.setValue(settings::UserKey(i + 1), Username->itemText(first + i));
        reg.setValue(settings::ServerKey(i + 1), servername->itemText(first + i));
        QString security = servername->itemData(first + i).toString();
        if (security.isEmpty())
            security = DefaultSecurity(servername->itemText(first + i));
        reg.setValue(settings::SecurityKey(i + 1), security);
    }
    for (int n = count + 1; n <= settings::kRememberedPairs; ++n) {
        reg.remove(settings::UserKey(n));
        reg.remove(settings::ServerKey(n));
        reg.remove(settings::SecurityKey(n));
    }
    reg.sync();
}

void TForm1::FormResize(QObject*) {
    mail_list->update();
    if (!SettingsReg)
        return;
    QSettings& reg = *SettingsReg;
    WriteInteger(reg, settings::kXPos, x());
    WriteInteger(reg, settings::kYPos, y());
    WriteInteger(reg, settings::kWidth, width());
    WriteInteger(reg, settings::kHeight, height());
    for (int n = 0; n < settings::kListColumns; ++n)
        WriteInteger(reg, settings::ColumnWidthKey(n), mail_list->sectionWidth(n));
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
