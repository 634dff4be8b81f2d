// What does the main window remember between runs, and what does it make of
// a settings store that is empty, odd or edited by hand?
#include "app/windows/MainFixture.h"

#include "ui/MultiLst.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QScreen>
#include <QStringList>

#include <map>

#include <sys/stat.h>

using sweepbox::test::Items;
using sweepbox::test::MainTest;
using sweepbox::test::Pairs;
using sweepbox::test::Q;
using sweepbox::test::Values;

namespace {

std::vector<int> SectionWidths(TForm1* form) {
    std::vector<int> widths;
    for (int n = 0; n < 5; ++n)
        widths.push_back(form->mail_list->sectionWidth(n));
    return widths;
}

// The widths the form was drawn with; the columns never start narrower.
const std::vector<int> kFormSections = {25, 75, 80, 95, 75};

// The column widths of a window whose store holds none.
std::vector<int> DefaultSections() {
    MainTest::Settings().clear();
    sweepbox::CreateApplicationWindows();
    const std::vector<int> widths = SectionWidths(Form1);
    sweepbox::DestroyApplicationWindows();
    return widths;
}

// The store holds exactly these pairs, numbered from 1, and no others.
void ExpectStoredPairs(const QStringList& users, const QStringList& servers) {
    for (int n = 1; n <= 10; ++n) {
        SCOPED_TRACE(n);
        const QString user = QStringLiteral("User%1").arg(n), server = QStringLiteral("Server%1").arg(n);
        QSettings s = MainTest::Settings();
        EXPECT_EQ(s.contains(user), n <= users.size());
        EXPECT_EQ(s.contains(server), n <= servers.size());
        if (n <= users.size()) {
            EXPECT_EQ(s.value(user).toString(), users[n - 1]);
            EXPECT_EQ(s.value(server).toString(), servers[n - 1]);
        }
    }
}

} // namespace

TEST_F(MainTest, GeometryIsReadAsTextAndOddValuesReadAsDefaults) {
    const std::vector<int> defaults = DefaultSections();
    const struct {
        const char* name;
        Values stored;
        QSize size; // raised to the minimum size
        QPoint pos;
        int listWidth;
        std::map<int, int> sections; // the columns not at their default width
    } rows[] = {
        {"trailing text", {{Q("Width"), Q("700px")}, {Q("XPos"), Q("")}}, {458, 452}, {283, 185}, 449, {}},
        {"hexadecimal and blanks",
         {{Q("Width"), Q("$2BC")}, {Q("XPos"), Q("  -40")}, {Q("Sec2"), Q("0x30")}},
         {700, 452},
         {-40, 185},
         691,
         {{1, 48}}},
        {"out of range", {{Q("Sec1"), Q("99999999999")}}, {458, 452}, {283, 185}, 449, {}},
        {"not text", {{Q("Height"), QByteArray("600")}, {Q("Width"), QStringList{Q("700")}}}, {458, 452},
         {283, 185}, 449, {}},
        {"below the minimum", {{Q("Width"), Q("100")}, {Q("Height"), Q("-5")}}, {100, 0}, {283, 185}, 91, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Store(row.stored, true);
        TForm1* form = Create();
        EXPECT_EQ(form->size(), row.size.expandedTo(form->minimumSize()));
        EXPECT_EQ(form->pos(), row.pos);
        EXPECT_EQ(form->mail_list->listWidth(), row.listWidth);
        std::vector<int> sections = defaults;
        for (const auto& [column, width] : row.sections)
            sections[static_cast<size_t>(column)] = width;
        EXPECT_EQ(SectionWidths(form), sections);
        // Nothing is written before the window is shown.
        EXPECT_EQ(Settings().allKeys().size(), static_cast<int>(row.stored.size()));
        sweepbox::DestroyApplicationWindows();
    }
    // A stored size far beyond any screen would only cost memory.
    Store({{Q("Width"), Q("2000000")}, {Q("Height"), Q("2000000")}});
    TForm1* form = Create();
    EXPECT_LE(form->width(), 16384);
    EXPECT_LE(form->height(), 16384);
}

TEST_F(MainTest, PairsAreReadWholePreselectedAndWrittenBackOnClose) {
    auto with = [](Values m, const char* key, QVariant value) {
        if (value.isValid())
            m[Q(key)] = value;
        else
            m.erase(Q(key));
        return m;
    };
    const QStringList three = {Q("user1"), Q("user2"), Q("user3")},
                      threeServers = {Q("pop1.example"), Q("pop2.example"), Q("pop3.example")};
    const struct {
        const char* name;
        Values stored;
        QStringList users, servers;
    } rows[] = {
        // Left-overs above the count, as an older run may have left them.
        {"three and left-overs", with(with(Pairs(3), "User7", Q("stale")), "Server9", Q("stale")), three,
         threeServers},
        {"server 2 missing", with(Pairs(3), "Server2", {}), {three[0], three[2]}, {threeServers[0], threeServers[2]}},
        {"user 1 empty", with(Pairs(3), "User1", Q("")), three.mid(1), threeServers.mid(1)},
        {"only servers", with(with(Pairs(2), "User1", {}), "User2", {}), {}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Store(row.stored, true);
        TForm1* form = Start();
        EXPECT_EQ(Items(form->Username), row.users);
        EXPECT_EQ(Items(form->servername), row.servers);
        EXPECT_EQ(form->Username->currentText(), row.users.value(row.users.size() - 1));
        EXPECT_EQ(form->servername->currentText(), row.servers.value(row.servers.size() - 1));
        form->Datei_Close->trigger();
        ExpectStoredPairs(row.users, row.servers);
        sweepbox::DestroyApplicationWindows();
    }
}

// Other local users must not read the remembered pairs or the trusted
// certificates: the store is private from the window's start, whether it is
// new or an earlier run left it readable, and is made so again when it is
// written, should it have been loosened meanwhile.
TEST_F(MainTest, TheSettingsFileIsPrivateFromTheStartAndAfterEachWrite) {
    const QString file = Settings().fileName();
    const QString folder = QFileInfo(file).absolutePath();
    auto mode = [](const QString& path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? QString::number(st.st_mode & 07777, 8)
                                                                       : QStringLiteral("missing");
    };
    auto loosen = [&] {
        ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0644), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
    };
    for (const bool earlierRun : {false, true}) {
        SCOPED_TRACE(earlierRun ? "left readable by an earlier run" : "first run");
        QDir(folder).removeRecursively();
        const QStringList users = earlierRun ? QStringList{Q("user1"), Q("user2")} : QStringList{};
        const QStringList servers = earlierRun ? QStringList{Q("pop1.example"), Q("pop2.example")} : QStringList{};
        if (earlierRun) {
            Store(Pairs(2), true);
            loosen();
        }
        TForm1* form = Start();
        EXPECT_EQ(mode(folder), Q("700"));
        EXPECT_EQ(mode(file), Q("600"));
        EXPECT_EQ(Items(form->Username), users);
        if (earlierRun)
            loosen();
        form->Datei_Close->trigger();
        EXPECT_EQ(mode(folder), Q("700"));
        EXPECT_EQ(mode(file), Q("600"));
        ExpectStoredPairs(users, servers);
        sweepbox::DestroyApplicationWindows();
    }
}

TEST_F(MainTest, OnlyAResizeWritesGeometryAndColumnWidths) {
    const std::vector<int> defaults = DefaultSections();
    Store({{Q("XPos"), Q("100")}, {Q("YPos"), Q("50")}});
    TForm1* form = Start();
    form->mail_list->setSectionWidth(2, 150);
    form->move(300, 300);
    form->close();
    sweepbox::DestroyApplicationWindows();
    form = Start();
    EXPECT_EQ(form->pos(), QPoint(100, 50));
    EXPECT_EQ(SectionWidths(form), defaults);

    form->mail_list->setSectionWidth(1, 120);
    form->resize(800, 500);
    EXPECT_EQ(Stored(Q("Sec2")).toString(), Q("120"));
    form->close();
    QFile file(scratch.filePath(QStringLiteral("Larkmoor/Sweepbox.conf")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    EXPECT_TRUE(content.contains("Width=800") && !content.contains("@Variant")) << content.toStdString();
    sweepbox::DestroyApplicationWindows();
    form = Create();
    EXPECT_EQ(form->size(), QSize(800, 500));
    std::vector<int> changed = defaults;
    changed[1] = 120;
    EXPECT_EQ(SectionWidths(form), changed);
}

TEST_F(MainTest, AStoredPlaceOffTheScreensComesBackWithinReach) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const int right = area.right() + 1, bottom = area.bottom() + 1;
    auto text = [](int v) { return QString::number(v); };
    const struct {
        const char* name;
        QString x, y;
        bool kept;
    } rows[] = {
        {"the default place", QString(), QString(), true},
        {"partly off the left edge", text(area.left() - 40), text(area.top() + 10), true},
        {"a hand's width of the title bar on screen", text(right - 100), text(area.top() + 10), true},
        {"the lowest number", Q("-2147483648"), Q("-2147483648"), false},
        {"the highest number", Q("2147483647"), Q("2147483647"), false},
        {"left of the screens", Q("-2147483648"), text(area.top() + 10), false},
        {"far right", Q("2000000000"), text(area.top() + 10), false},
        {"a sliver on the right", text(right - 10), text(area.top() + 10), false},
        {"the title bar above the top", text(area.left() + 10), text(area.top() - 5), false},
        {"below the bottom", text(area.left() + 10), text(bottom - 5), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Values stored;
        if (!row.x.isNull())
            stored = {{Q("XPos"), row.x}, {Q("YPos"), row.y}};
        Store(stored, true);
        TForm1* form = Create();
        const QRect placed(form->pos(), form->size());
        ASSERT_LE(placed.width(), area.width()) << "the window fits the screen";
        if (row.kept) {
            const QPoint expected = row.x.isNull() ? QPoint(283, 185) : QPoint(row.x.toInt(), row.y.toInt());
            EXPECT_EQ(form->pos(), expected);
        } else {
            EXPECT_TRUE(area.contains(placed)) << placed.x() << "," << placed.y();
        }
        sweepbox::DestroyApplicationWindows();
    }
}

TEST_F(MainTest, DefaultColumnsShowTheWidestUsualCellsUncutInAnyFont) {
    const QFont platformFont = QApplication::font();
    const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // The list keeps the size of its own font and takes the family of the
    // program's; a missing family falls back to another.
    for (const char* family : {"", "DejaVu Sans Mono", "DejaVu Serif"}) {
        SCOPED_TRACE(*family ? family : "the platform font");
        QFont font = platformFont;
        if (*family)
            font.setFamilies({Q(family)});
        QApplication::setFont(font);
        Store({}, true);
        TForm1* form = Start();
        const std::vector<int> widths = SectionWidths(form);
        for (size_t n = 0; n < widths.size(); ++n)
            EXPECT_GE(widths[n], kFormSections[n]) << "column " << n;

        // The list as a listing leaves it: the widest numbers, sizes of
        // both units and a date in every month.
        TMultiList* list = form->mail_list;
        form->info_fenster->hide();
        form->info_fenster_eng->hide();
        list->show();
        for (int m = 0; m < 12; ++m)
            list->addItem(QStringLiteral(" 65535 |%1 |25 %2 2010|someone|subject|")
                              .arg(m % 2 ? Q("99.9 MByte") : Q("999 KByte"), Q(months[m])));
        auto cells = [list](const std::vector<int>& columnWidths) {
            for (int n = 0; n < 5; ++n)
                list->setSectionWidth(n, columnWidths[static_cast<size_t>(n)]);
            QCoreApplication::processEvents();
            return list->viewport()->grab().toImage();
        };
        const QImage shown = cells(widths);
        // Each column again with room to spare: a cell drawn cut differs from
        // its uncut self. The first two columns are aligned right.
        const int spare = 150;
        int left = 0;
        for (int n = 0; n < 3; ++n) {
            std::vector<int> roomier = widths;
            roomier[static_cast<size_t>(n)] += spare;
            const QImage roomy = cells(roomier);
            const int shift = n < 2 ? spare : 0;
            const int width = widths[static_cast<size_t>(n)];
            for (int row = 1; row <= 12; ++row) {
                const QRect r = list->itemRect(row);
                ASSERT_LT(r.bottom(), shown.height());
                ASSERT_LE(left + width + spare, shown.width());
                // Inside the row, and clear of the column line at the right.
                const QRect text(left, r.top() + 1, width - 3, r.height() - 2);
                EXPECT_EQ(shown.copy(text), roomy.copy(text.translated(shift, 0)))
                    << "column " << n << ", row " << row << ": " << list->item(row).toStdString();
            }
            left += width;
        }
        sweepbox::DestroyApplicationWindows();
    }
    QApplication::setFont(platformFont);
}

TEST_F(MainTest, PickingAnEntrySelectsItsPartner) {
    Store(Pairs(3));
    TForm1* form = Start();
    form->Username->setCurrentIndex(1);
    // The user picks the third server from the drop-down list.
    form->servername->setCurrentIndex(2);
    emit form->servername->activated(2);
    EXPECT_EQ(form->Username->currentText(), Q("user3"));
    form->Username->setCurrentIndex(0);
    emit form->Username->activated(0);
    EXPECT_EQ(form->servername->currentText(), Q("pop1.example"));
    // Without a partner of the same index nothing changes.
    form->Username->removeItem(2);
    form->servername->setCurrentIndex(2);
    form->servernameClick(form->servername);
    EXPECT_EQ(form->Username->currentIndex(), 0);
}
