// What does the main window remember between runs, and what does it make of
// a settings store that is empty, odd or edited by hand?
#include "MainFixture.h"

#include "MultiLst.h"

#include <QComboBox>
#include <QFile>
#include <QStringList>

using maintest::MainTest;

namespace {

QStringList Items(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

std::map<QString, QString> Pairs(int count, const QString& prefix = QStringLiteral("")) {
    std::map<QString, QString> values;
    for (int n = 1; n <= count; ++n) {
        values[QStringLiteral("User%1").arg(n)] = prefix + QStringLiteral("user%1").arg(n);
        values[QStringLiteral("Server%1").arg(n)] = prefix + QStringLiteral("pop%1.example").arg(n);
    }
    return values;
}

QString Stored(const QString& name) {
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Larkmoor"), QStringLiteral("Sweepbox"));
    return s.value(name).toString();
}

bool IsStored(const QString& name) {
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Larkmoor"), QStringLiteral("Sweepbox"));
    return s.contains(name);
}

std::vector<int> SectionWidths(TForm1* form) {
    std::vector<int> widths;
    for (int n = 0; n < 5; ++n)
        widths.push_back(form->mail_list->sectionWidth(n));
    return widths;
}

} // namespace

TEST_F(MainTest, FirstRunTakesTheDefaults) {
    TForm1* form = Create();
    EXPECT_EQ(form->servername->count(), 0);
    EXPECT_EQ(form->Username->count(), 0);
    EXPECT_EQ(form->servername->currentIndex(), -1);
    EXPECT_EQ(form->pos(), QPoint(283, 185));
    // 458 is raised to the minimum width: 553, or more where the captions
    // need more room in the platform's font.
    EXPECT_GE(form->minimumWidth(), 553);
    EXPECT_EQ(form->width(), form->minimumWidth());
    EXPECT_EQ(form->height(), 452);
    EXPECT_EQ(form->mail_list->listWidth(), 449);
    EXPECT_EQ(form->mail_list->width(), 449);
    EXPECT_EQ(SectionWidths(form), (std::vector<int>{25, 75, 80, 95, 75}));
    // Nothing is written before the window is shown.
    EXPECT_FALSE(IsStored(QStringLiteral("Width")));
}

TEST_F(MainTest, ValuesThatAreNotIntegersReadAsDefaults) {
    struct Row {
        const char* name;
        std::map<QString, QString> stored;
        int width;
        int listWidth;
        int left;
        std::vector<int> sections;
    };
    const Row rows[] = {
        {"non-numeric width", {{QStringLiteral("Width"), QStringLiteral("wide")}}, 553, 449, 283,
         {25, 75, 80, 95, 75}},
        {"trailing text", {{QStringLiteral("Width"), QStringLiteral("700px")}, {QStringLiteral("XPos"), QStringLiteral("")}},
         553, 449, 283, {25, 75, 80, 95, 75}},
        {"hexadecimal and blanks",
         {{QStringLiteral("Width"), QStringLiteral("$2BC")}, {QStringLiteral("XPos"), QStringLiteral("  -40")},
          {QStringLiteral("Sec2"), QStringLiteral("0x30")}},
         700, 691, -40, {25, 48, 80, 95, 75}},
        {"out of range", {{QStringLiteral("Sec1"), QStringLiteral("99999999999")}}, 553, 449, 283,
         {25, 75, 80, 95, 75}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Store(row.stored, true);
        TForm1* form = Create();
        EXPECT_EQ(form->width(), std::max(row.width, form->minimumWidth()));
        EXPECT_EQ(form->mail_list->listWidth(), row.listWidth);
        EXPECT_EQ(form->mail_list->width(), row.listWidth);
        EXPECT_EQ(form->x(), row.left);
        EXPECT_EQ(SectionWidths(form), row.sections);
        sweepbox::DestroyApplicationWindows();
    }
}

TEST_F(MainTest, ValuesOfAnotherTypeReadAsMissing) {
    {
        QSettings s = Settings();
        s.setValue(QStringLiteral("User1"), QStringList{QStringLiteral("a"), QStringLiteral("b")});
        s.setValue(QStringLiteral("Server1"), QStringLiteral("pop.a"));
        s.setValue(QStringLiteral("User2"), QStringLiteral("bert"));
        s.setValue(QStringLiteral("Server2"), QStringLiteral("pop.b"));
        s.setValue(QStringLiteral("Height"), QByteArray("600"));
    }
    TForm1* form = Create();
    EXPECT_EQ(Items(form->Username), QStringList{QStringLiteral("bert")});
    EXPECT_EQ(Items(form->servername), QStringList{QStringLiteral("pop.b")});
    EXPECT_EQ(form->height(), 452);
}

TEST_F(MainTest, ThreePairsAreRewrittenAndTheRestDeleted) {
    std::map<QString, QString> stored = Pairs(3);
    // Left-overs above the count, as an older run may have left them.
    stored[QStringLiteral("User7")] = QStringLiteral("stale");
    stored[QStringLiteral("Server9")] = QStringLiteral("stale");
    Store(stored);
    TForm1* form = Start();
    EXPECT_EQ(Items(form->Username),
              (QStringList{QStringLiteral("user1"), QStringLiteral("user2"), QStringLiteral("user3")}));
    EXPECT_EQ(form->servername->currentText(), QStringLiteral("pop3.example"));
    EXPECT_EQ(form->Username->currentText(), QStringLiteral("user3"));
    form->close();
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(Stored(QStringLiteral("User%1").arg(n)), QStringLiteral("user%1").arg(n));
        EXPECT_EQ(Stored(QStringLiteral("Server%1").arg(n)), QStringLiteral("pop%1.example").arg(n));
    }
    for (int n = 4; n <= 10; ++n) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(IsStored(QStringLiteral("User%1").arg(n)));
        EXPECT_FALSE(IsStored(QStringLiteral("Server%1").arg(n)));
    }
}

TEST_F(MainTest, TenPairsPreselectTheLastAndANewLoginDropsTheOldest) {
    Store(Pairs(10));
    TForm1* form = Start();
    EXPECT_EQ(form->servername->currentIndex(), 9);
    EXPECT_EQ(form->Username->currentIndex(), 9);
    EXPECT_EQ(form->servername->currentText(), QStringLiteral("pop10.example"));
    // What a successful login with a new pair leaves in the lists.
    form->servername->removeItem(0);
    form->Username->removeItem(0);
    form->servername->addItem(QStringLiteral("pop.new"));
    form->Username->addItem(QStringLiteral("newbie"));
    form->close();
    EXPECT_EQ(Stored(QStringLiteral("User1")), QStringLiteral("user2"));
    EXPECT_EQ(Stored(QStringLiteral("Server1")), QStringLiteral("pop2.example"));
    EXPECT_EQ(Stored(QStringLiteral("User10")), QStringLiteral("newbie"));
    EXPECT_EQ(Stored(QStringLiteral("Server10")), QStringLiteral("pop.new"));
}

TEST_F(MainTest, MoreThanTenPairsKeepTheNewestTen) {
    TForm1* form = Create();
    for (int i = 1; i <= 12; ++i) {
        form->servername->addItem(QStringLiteral("pop%1").arg(i));
        form->Username->addItem(QStringLiteral("user%1").arg(i));
    }
    form->WriteToIniFile();
    EXPECT_EQ(Stored(QStringLiteral("User1")), QStringLiteral("user3"));
    EXPECT_EQ(Stored(QStringLiteral("Server10")), QStringLiteral("pop12"));
    EXPECT_FALSE(IsStored(QStringLiteral("User11")));
}

TEST_F(MainTest, HalfPairsAreDroppedWholeAndTheRestStayPaired) {
    struct Row {
        const char* name;
        std::map<QString, QString> stored;
        QStringList users;
        QStringList servers;
    };
    auto without = [](std::map<QString, QString> m, const char* key) {
        m.erase(QString::fromLatin1(key));
        return m;
    };
    auto blank = [](std::map<QString, QString> m, const char* key) {
        m[QString::fromLatin1(key)] = QString();
        return m;
    };
    const Row rows[] = {
        {"server 2 missing", without(Pairs(3), "Server2"),
         {QStringLiteral("user1"), QStringLiteral("user3")},
         {QStringLiteral("pop1.example"), QStringLiteral("pop3.example")}},
        {"user 1 empty", blank(Pairs(3), "User1"),
         {QStringLiteral("user2"), QStringLiteral("user3")},
         {QStringLiteral("pop2.example"), QStringLiteral("pop3.example")}},
        {"only servers", without(without(Pairs(2), "User1"), "User2"), {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Store(row.stored, true);
        TForm1* form = Create();
        EXPECT_EQ(Items(form->Username), row.users);
        EXPECT_EQ(Items(form->servername), row.servers);
        form->WriteToIniFile();
        for (int n = 1; n <= 10; ++n) {
            const bool whole = n <= row.users.size();
            EXPECT_EQ(IsStored(QStringLiteral("User%1").arg(n)), whole) << n;
            EXPECT_EQ(IsStored(QStringLiteral("Server%1").arg(n)), whole) << n;
            if (whole) {
                EXPECT_EQ(Stored(QStringLiteral("User%1").arg(n)), row.users[n - 1]);
                EXPECT_EQ(Stored(QStringLiteral("Server%1").arg(n)), row.servers[n - 1]);
            }
        }
        sweepbox::DestroyApplicationWindows();
    }
}

TEST_F(MainTest, ListsOfDifferentLengthWriteOnlyWholePairs) {
    TForm1* form = Create();
    form->Username->addItems({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    form->servername->addItems({QStringLiteral("pa"), QStringLiteral("pb")});
    form->WriteToIniFile();
    EXPECT_EQ(Stored(QStringLiteral("User2")), QStringLiteral("b"));
    EXPECT_EQ(Stored(QStringLiteral("Server2")), QStringLiteral("pb"));
    EXPECT_FALSE(IsStored(QStringLiteral("User3")));
    EXPECT_FALSE(IsStored(QStringLiteral("Server3")));
}

TEST_F(MainTest, ResizingWritesGeometryAndWidthsAsText) {
    TForm1* form = Start();
    form->mail_list->setSectionWidth(1, 120);
    form->resize(700, 500);
    EXPECT_EQ(Stored(QStringLiteral("Width")), QStringLiteral("700"));
    EXPECT_EQ(Stored(QStringLiteral("Height")), QStringLiteral("500"));
    EXPECT_EQ(Stored(QStringLiteral("XPos")), QString::number(form->x()));
    EXPECT_EQ(Stored(QStringLiteral("Sec2")), QStringLiteral("120"));
    EXPECT_EQ(Stored(QStringLiteral("Sec5")), QStringLiteral("75"));
    form->close();

    QFile file(scratch.filePath(QStringLiteral("Larkmoor/Sweepbox.conf")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    EXPECT_TRUE(content.contains("Width=700")) << content.toStdString();
    EXPECT_FALSE(content.contains("@Variant")) << content.toStdString();

    sweepbox::DestroyApplicationWindows();
    TForm1* again = Create();
    EXPECT_EQ(again->size(), QSize(700, 500));
    EXPECT_EQ(SectionWidths(again), (std::vector<int>{25, 120, 80, 95, 75}));
}

TEST_F(MainTest, ColumnWidthsWithoutAResizeAreNotKept) {
    TForm1* form = Start();
    form->mail_list->setSectionWidth(2, 150);
    form->close();
    sweepbox::DestroyApplicationWindows();
    TForm1* again = Create();
    EXPECT_EQ(again->mail_list->sectionWidth(2), 80);
}

TEST_F(MainTest, MovingWithoutResizingWritesNothing) {
    Store({{QStringLiteral("XPos"), QStringLiteral("100")}, {QStringLiteral("YPos"), QStringLiteral("50")}});
    TForm1* form = Start();
    form->move(300, 300);
    form->close();
    EXPECT_EQ(Stored(QStringLiteral("XPos")), QStringLiteral("100"));
    sweepbox::DestroyApplicationWindows();
    EXPECT_EQ(Create()->pos(), QPoint(100, 50));
}

TEST_F(MainTest, TheWindowKeepsItsMinimumAndStaysWithinTheDesktop) {
    Store({{QStringLiteral("Width"), QStringLiteral("100")},
           {QStringLiteral("Height"), QStringLiteral("-5")},
           {QStringLiteral("XPos"), QStringLiteral("2000000000")}});
    TForm1* form = Create();
    const QSize minimum(std::max(553, form->minimumWidth()), 452);
    EXPECT_EQ(form->minimumSize(), minimum);
    EXPECT_EQ(form->size(), minimum);
    EXPECT_LE(form->x(), 32767);
    form->resize(10, 10);
    EXPECT_EQ(form->size(), minimum);
    sweepbox::DestroyApplicationWindows();

    // A stored size far beyond any screen would only cost memory.
    Store({{QStringLiteral("Width"), QStringLiteral("2000000")}, {QStringLiteral("Height"), QStringLiteral("2000000")}});
    form = Create();
    EXPECT_LE(form->width(), 16384);
    EXPECT_LE(form->height(), 16384);
}

TEST_F(MainTest, PickingAnEntrySelectsItsPartner) {
    Store(Pairs(3));
    TForm1* form = Start();
    form->Username->setCurrentIndex(1);
    // The user picks the third server from the drop-down list.
    form->servername->setCurrentIndex(2);
    emit form->servername->activated(2);
    EXPECT_EQ(form->Username->currentIndex(), 2);
    EXPECT_EQ(form->Username->currentText(), QStringLiteral("user3"));
    // And a user selects the server of the same index.
    form->Username->setCurrentIndex(0);
    emit form->Username->activated(0);
    EXPECT_EQ(form->servername->currentText(), QStringLiteral("pop1.example"));
}

TEST_F(MainTest, PickingWithAShorterPartnerListChangesNothing) {
    TForm1* form = Create();
    form->servername->addItems({QStringLiteral("pa"), QStringLiteral("pb")});
    form->Username->addItem(QStringLiteral("a"));
    form->Username->setCurrentIndex(0);
    form->servername->setCurrentIndex(1);
    form->servernameClick(form->servername);
    EXPECT_EQ(form->Username->currentIndex(), 0);
}
