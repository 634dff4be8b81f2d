// What does the main window remember between runs, and what does it make of
// a settings store that is empty, odd or edited by hand?
#include "MainFixture.h"

#include "MultiLst.h"

#include <QAction>
#include <QFile>
#include <QStringList>

using maintest::Items;
using maintest::MainTest;
using maintest::Pairs;
using maintest::Q;
using maintest::Values;

namespace {

std::vector<int> SectionWidths(TForm1* form) {
    std::vector<int> widths;
    for (int n = 0; n < 5; ++n)
        widths.push_back(form->mail_list->sectionWidth(n));
    return widths;
}

const std::vector<int> kDefaultSections = {25, 75, 80, 95, 75};

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
    const struct {
        const char* name;
        Values stored;
        QSize size; // raised to the minimum size
        QPoint pos;
        int listWidth;
        std::vector<int> sections;
    } rows[] = {
        {"trailing text", {{Q("Width"), Q("700px")}, {Q("XPos"), Q("")}}, {458, 452}, {283, 185}, 449,
         kDefaultSections},
        {"hexadecimal and blanks", {{Q("Width"), Q("$2BC")}, {Q("XPos"), Q("  -40")}, {Q("Sec2"), Q("0x30")}},
         {700, 452}, {-40, 185}, 691, {25, 48, 80, 95, 75}},
        {"out of range", {{Q("Sec1"), Q("99999999999")}}, {458, 452}, {283, 185}, 449, kDefaultSections},
        {"not text", {{Q("Height"), QByteArray("600")}, {Q("Width"), QStringList{Q("700")}}}, {458, 452},
         {283, 185}, 449, kDefaultSections},
        {"below the minimum, far off", {{Q("Width"), Q("100")}, {Q("Height"), Q("-5")}, {Q("XPos"), Q("2000000000")}},
         {100, 0}, {32767, 185}, 91, kDefaultSections},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Store(row.stored, true);
        TForm1* form = Create();
        EXPECT_EQ(form->size(), row.size.expandedTo(form->minimumSize()));
        EXPECT_EQ(form->pos(), row.pos);
        EXPECT_EQ(form->mail_list->listWidth(), row.listWidth);
        EXPECT_EQ(SectionWidths(form), row.sections);
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

TEST_F(MainTest, OnlyAResizeWritesGeometryAndColumnWidths) {
    Store({{Q("XPos"), Q("100")}, {Q("YPos"), Q("50")}});
    TForm1* form = Start();
    form->mail_list->setSectionWidth(2, 150);
    form->move(300, 300);
    form->close();
    sweepbox::DestroyApplicationWindows();
    form = Start();
    EXPECT_EQ(form->pos(), QPoint(100, 50));
    EXPECT_EQ(SectionWidths(form), kDefaultSections);

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
    EXPECT_EQ(SectionWidths(form), (std::vector<int>{25, 120, 80, 95, 75}));
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
