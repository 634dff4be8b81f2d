// The settings of the main window: remembered server/user pairs, window
// geometry and the list's column widths, all stored as text values.
#include "Main.h"

#include "MultiLst.h"
#include "message/kel_util.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>

#include <algorithm>

namespace {

constexpr int kMaxPairs = 10;
constexpr int kDefaultLeft = 283;
constexpr int kDefaultTop = 185;
constexpr int kDefaultWidth = 458;
constexpr int kDefaultHeight = 452;
constexpr int kDefaultSections[] = {25, 75, 80, 95, 75};

QString Numbered(const char* word, int n) { return QString::fromLatin1(word) + QString::number(n); }

// A value that is missing, or stored as something other than text (a list,
// a byte array), reads as the default.
QString ReadString(QSettings& settings, const QString& name, const QString& fallback) {
    const QVariant value = settings.value(name);
    if (value.typeId() != QMetaType::QString)
        return fallback;
    return value.toString();
}

int ReadInteger(QSettings& settings, const QString& name, int fallback) {
    const QVariant value = settings.value(name);
    if (value.typeId() != QMetaType::QString)
        return fallback;
    return kel::StrToIntDef(value.toString().toStdString(), fallback);
}

void WriteInteger(QSettings& settings, const QString& name, int value) {
    settings.setValue(name, QString::number(value));
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
    for (int n = 1; n <= kMaxPairs; ++n) {
        const QString user = ReadString(reg, Numbered("User", n), QString());
        const QString server = ReadString(reg, Numbered("Server", n), QString());
        if (user.isEmpty() || server.isEmpty())
            continue;
        // A pair stored before the security was remembered takes the default.
        QString security = ReadString(reg, Numbered("Security", n), QString());
        if (security != QLatin1String("tls") && security != QLatin1String("starttls") &&
            security != QLatin1String("none"))
            security = DefaultSecurity(server);
        Username->addItem(user);
        servername->addItem(server, security);
    }

    const int width = std::min(ReadInteger(reg, QStringLiteral("Width"), kDefaultWidth), LargestExtent(true));
    const int height = std::min(ReadInteger(reg, QStringLiteral("Height"), kDefaultHeight), LargestExtent(false));
    move(ClampPosition(ReadInteger(reg, QStringLiteral("XPos"), kDefaultLeft)),
         ClampPosition(ReadInteger(reg, QStringLiteral("YPos"), kDefaultTop)));
    // The minimum size raises smaller values.
    resize(std::max(width, 0), std::max(height, 0));

    const int listWidth = std::max(width - 9, 0);
    mail_list->setListWidth(listWidth);
    mail_list->resize(listWidth, mail_list->height());
    mail_list->update();

    for (int n = 0; n < 5; ++n)
        mail_list->setSectionWidth(n, ReadInteger(reg, Numbered("Sec", n + 1), kDefaultSections[n]));

    const int column = ReadInteger(reg, QStringLiteral("SortColumn"), -1);
    SortColumn = column >= 0 && column <= 4 ? column : -1;
    SortDescending = ReadString(reg, QStringLiteral("SortOrder"), QString()) == QLatin1String("descending");
    ShowSortIndicator();
}

void TForm1::WriteToIniFile() {
    QSettings& reg = *SettingsReg;
    // Only whole pairs are written; the newest ten if there are more.
    const int pairs = std::min(Username->count(), servername->count());
    const int first = std::max(0, pairs - kMaxPairs);
    const int count = pairs - first;
    for (int i = 0; i < count; ++i) {
        reg.setValue(Numbered("User", i + 1), Username->itemText(first + i));
        reg.setValue(Numbered("Server", i + 1), servername->itemText(first + i));
        QString security = servername->itemData(first + i).toString();
        if (security.isEmpty())
            security = DefaultSecurity(servername->itemText(first + i));
        reg.setValue(Numbered("Security", i + 1), security);
    }
    for (int n = count + 1; n <= kMaxPairs; ++n) {
        reg.remove(Numbered("User", n));
        reg.remove(Numbered("Server", n));
        reg.remove(Numbered("Security", n));
    }
    reg.sync();
}

void TForm1::FormResize(QObject*) {
    mail_list->update();
    if (!SettingsReg)
        return;
    QSettings& reg = *SettingsReg;
    WriteInteger(reg, QStringLiteral("XPos"), x());
    WriteInteger(reg, QStringLiteral("YPos"), y());
    WriteInteger(reg, QStringLiteral("Width"), width());
    WriteInteger(reg, QStringLiteral("Height"), height());
    for (int n = 0; n < 5; ++n)
        WriteInteger(reg, Numbered("Sec", n + 1), mail_list->sectionWidth(n));
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
