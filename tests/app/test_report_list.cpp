#include "app/core/report_list.h"

#include "tests/app/qt_print.h"
#include "tests/support/file_size_limit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class ReportListTest : public testing::Test {
protected:
    void SetUp() override {
        list.OnCurrentChanged = [this](const QString& name) { shown.append(name); };
    }

    QString WriteFile(const QByteArray& bytes) {
        const QString path = dir.filePath(QStringLiteral("FMList.txt"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    QByteArray ReadFile(const QString& path) {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return file.readAll();
    }

    QTemporaryDir dir;
    ReportList list;
    QStringList shown; // file names handed to OnCurrentChanged, in order
};

const QDate kDay(2024, 3, 5);

TEST(FormatListDate, TheUsersDateSeparatorBetweenDayMonthAndYear) {
    struct Case {
        const char* ShortFormat;
        char16_t Separator;
    };
    const Case cases[] =
        {
            {"dd/MM/yyyy", u'/'}, {"M/d/yy", u'/'},     {"dd.MM.yyyy", u'.'},
            {"d. M. yyyy", u'.'}, {"yyyy-MM-dd", u'-'}, {"'Day' dd-MM-yy", u'-'},
            {"ddMMyyyy", u'/'}, // no separator at all: the list's own
        };
    for (const Case& c : cases)
        EXPECT_EQ(DateSeparatorOf(QLatin1String(c.ShortFormat)), QChar(c.Separator))
            << c.ShortFormat;
    EXPECT_EQ(FormatListDate(QDate(2024, 3, 5), u'.'), QStringLiteral("05.03.2024"));
    EXPECT_EQ(FormatListDate(QDate(999, 12, 31), u'-'), QStringLiteral("31-12-0999"));
    // Without a separator named: the one of the user's regional settings.
    const QChar system = SystemDateSeparator();
    EXPECT_EQ(FormatListDate(QDate(2024, 3, 5)), QStringLiteral("05") + system +
                                                     QStringLiteral("03") + system +
                                                     QStringLiteral("2024"));
}

TEST(FormatListDate, TwoDigitDayAndMonthFourDigitYear) {
    EXPECT_EQ(FormatListDate(QDate(2024, 3, 5)), QStringLiteral("05/03/2024"));
    EXPECT_EQ(FormatListDate(QDate(1999, 12, 31)), QStringLiteral("31/12/1999"));
    EXPECT_EQ(FormatListDate(QDate(2100, 1, 1)), QStringLiteral("01/01/2100"));
}

TEST_F(ReportListTest, AddListEntryCutsTheCaptionAndBecomesCurrentWhileEmpty) {
    struct Case {
        const char* caption;
        const char* stored;
    };
    const Case cases[] = {
        {"Detail", "Detail"},
        {"Summary", "Summary"},
        {"Change the tax rate", "Change t"},
        {"Change the currency", "Change t"},
        {"RAM Clearing", "RAM Clea"},
        {"Zmiana waluty", "Zmiana w"},
        {"", ""},
    };
    qsizetype n = 0;
    for (const Case& c : cases) {
        const QString file = QStringLiteral("/r/Txtfile/report%1.txt").arg(n);
        list.AddListEntry(file, QString::fromUtf8(c.caption), kDay);
        ++n;
        ASSERT_EQ(list.Count(), n);
        EXPECT_EQ(list.CurrentIndex(), n - 1);
        EXPECT_EQ(*list.Current(), (ReportListEntry{QString::fromUtf8(c.stored), file,
                                                    QStringLiteral("05/03/2024")}))
            << c.caption;
    }
    // The new entry is still empty when it becomes current, so the status line keeps its text.
    EXPECT_EQ(shown, QStringList(n, QString()));
}

TEST_F(ReportListTest, LoadMakesTheFirstEntryCurrent) {
    list.AddListEntry(QStringLiteral("/r/old.txt"), QStringLiteral("Detail"), kDay);
    shown.clear();

    const ReportListLoadResult result = list.Load(WriteFile("ReportType\tfilename\tdCreate\r\n"
                                                            "Detail\t/r/a.txt\t31/01/2024\r\n"
                                                            "Summary\t/r/b.txt\t01/02/2024\r\n"));
    EXPECT_EQ(result.State, ReportListLoadState::Loaded);
    EXPECT_TRUE(result.Issues.isEmpty());
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.At(1).filename, QStringLiteral("/r/b.txt"));
    EXPECT_EQ(list.CurrentIndex(), 0);
    EXPECT_EQ(shown, QStringList{QStringLiteral("/r/a.txt")});
}

TEST_F(ReportListTest, LoadThatFindsNoEntriesToReplaceLeavesTheListAlone) {
    struct Case {
        const char* name;
        std::optional<QByteArray> content; // nullopt: no file
        ReportListLoadState state;
        qsizetype count;
    };
    const Case cases[] = {
        {"missing file", std::nullopt, ReportListLoadState::Missing, 1},
        {"empty file", QByteArray(), ReportListLoadState::NoLines, 1},
        {"header only", QByteArray("ReportType\tfilename\tdCreate\r\n"),
         ReportListLoadState::Loaded, 0},
    };
    for (const Case& c : cases) {
        QTemporaryDir scratch;
        const QString path = scratch.filePath(QStringLiteral("FMList.txt"));
        if (c.content) {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(*c.content);
        }
        ReportList l;
        l.AddListEntry(QStringLiteral("/r/kept.txt"), QStringLiteral("Detail"), kDay);
        EXPECT_EQ(l.Load(path).State, c.state) << c.name;
        EXPECT_EQ(l.Count(), c.count) << c.name;
        EXPECT_EQ(l.CurrentIndex(), c.count - 1) << c.name;
    }
}

TEST_F(ReportListTest, LoadReportsDamagedLinesAndKeepsTheRest) {
    const ReportListLoadResult result =
        list.Load(WriteFile(QByteArray("ReportType\tfilename\tdCreate\r\n"
                                       "Detail\t/r/a.txt\t31/01/2024\r\n"
                                       "\0\0\0\0\r\n"
                                       "Summary\t/r/b.txt\t01/02/2024\r\n",
                                       29 + 28 + 6 + 29)));
    ASSERT_EQ(result.State, ReportListLoadState::Loaded);
    ASSERT_EQ(result.Issues.size(), 1);
    EXPECT_EQ(result.Issues[0].What, ReportListIssue::Kind::DamagedLine);
    EXPECT_EQ(result.Issues[0].Line, 3);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.At(0).filename, QStringLiteral("/r/a.txt"));
    EXPECT_EQ(list.At(1).filename, QStringLiteral("/r/b.txt"));
}

TEST_F(ReportListTest, FolderInPlaceOfTheFileCountsAsMissing) {
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("FMList.txt")));
    EXPECT_EQ(list.Load(dir.filePath(QStringLiteral("FMList.txt"))).State,
              ReportListLoadState::Missing);
}

TEST_F(ReportListTest, SaveThenLoadGivesTheSameList) {
    list.AddListEntry(QStringLiteral("/r/Txtfile/Detail20240305_12345.txt"),
                      QStringLiteral("Detail"), kDay);
    list.AddListEntry(QString::fromUtf8("/r/Łódź/Tax20240305_12346.txt"),
                      QStringLiteral("Change the tax rate"), QDate(2024, 2, 29));
    list.AddListEntry(QString::fromUtf8("/home/报告/Chy.txt"),
                      QStringLiteral("Change the currency"), kDay);
    list.AddListEntry(QStringLiteral("/srv/") + QString(400, u'r') + QStringLiteral(".txt"),
                      QStringLiteral("RAM Clearing"), kDay);
    ASSERT_TRUE(list.SetCurrent(1));
    const QString path = dir.filePath(QStringLiteral("FMList.txt"));
    const ReportListSaveResult saved = list.Save(path);
    ASSERT_TRUE(saved.Ok) << saved.Error.toStdString();
    EXPECT_EQ(list.CurrentIndex(), 1);

    ReportList again;
    ASSERT_EQ(again.Load(path).State, ReportListLoadState::Loaded);
    EXPECT_EQ(again.Entries(), list.Entries());
}

TEST_F(ReportListTest, SavingAnEmptyListWritesOnlyTheHeader) {
    const QString path = WriteFile("ReportType\tfilename\tdCreate\r\nDetail\t/r/a.txt\t\r\n");
    ASSERT_TRUE(list.Save(path).Ok);
    EXPECT_EQ(ReadFile(path), QByteArray("ReportType\tfilename\tdCreate\r\n"));
}

TEST_F(ReportListTest, FailedSaveLeavesTheOldFile) {
    const QByteArray old("ReportType\tfilename\tdCreate\r\nDetail\t/r/a.txt\t31/01/2024\r\n");
    const QString path = WriteFile(old);
    // The new text is written beside the file and moved over it; a folder that cannot take
    // the temporary file fails before anything is replaced.
    const QString badPath = dir.filePath(QStringLiteral("no-such-folder/FMList.txt"));
    const ReportListSaveResult result = list.Save(badPath);
    EXPECT_FALSE(result.Ok);
    EXPECT_FALSE(result.Error.isEmpty());
    EXPECT_EQ(ReadFile(path), old);
}

// A full disk in small: the longer list does not fit under the file-size limit. The 40 entries
// on disk stay as they were, and the error names the file and the system's reason.
TEST_F(ReportListTest, SaveOnAFullDiskKeepsTheWholeOldList) {
    for (int i = 0; i < 40; ++i)
        list.AddListEntry(QStringLiteral("/reports/Detail%1.txt").arg(i), QStringLiteral("Detail"),
                          QDate(2024, 1, 31));
    const QString path = dir.filePath(QStringLiteral("FMList.txt"));
    ASSERT_TRUE(list.Save(path).Ok);
    const QByteArray old = ReadFile(path);
    list.AddListEntry(QStringLiteral("/reports/Detail40.txt"), QStringLiteral("Detail"));
    ReportListSaveResult result;
    {
        testsupport::FileSizeLimit limit(rlim_t(old.size()));
        ASSERT_TRUE(limit.Active());
        result = list.Save(path);
    }
    EXPECT_FALSE(result.Ok);
    EXPECT_EQ(result.Error,
              QStringLiteral("Cannot write %1: %2").arg(path, qt_error_string(EFBIG)));
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"FMList.txt"});
}

TEST_F(ReportListTest, DeleteCurrentMovesToTheNextOrElseThePrevious) {
    for (const char* name : {"/r/0.txt", "/r/1.txt", "/r/2.txt", "/r/3.txt"})
        list.AddListEntry(QString::fromUtf8(name), QStringLiteral("Detail"), kDay);
    ASSERT_TRUE(list.SetCurrent(1));
    shown.clear();

    struct Step {
        qsizetype setCurrent; // -1: leave as is
        qsizetype currentAfter;
        const char* shownAfter;
        const char* remaining;
    };
    const Step steps[] = {
        {-1, 1, "/r/2.txt", "/r/0.txt /r/2.txt /r/3.txt"},
        {2, 1, "/r/2.txt", "/r/0.txt /r/2.txt"},
        {0, 0, "/r/2.txt", "/r/2.txt"},
        {-1, -1, "", ""},
    };
    for (const Step& s : steps) {
        if (s.setCurrent >= 0) {
            ASSERT_TRUE(list.SetCurrent(s.setCurrent));
        }
        shown.clear();
        ASSERT_TRUE(list.DeleteCurrent());
        EXPECT_EQ(list.CurrentIndex(), s.currentAfter);
        EXPECT_EQ(shown, QStringList{QString::fromUtf8(s.shownAfter)});
        QStringList names;
        for (const ReportListEntry& e : list.Entries())
            names.append(e.filename);
        EXPECT_EQ(names.join(u' '), QString::fromUtf8(s.remaining));
    }
    EXPECT_FALSE(list.DeleteCurrent());
    EXPECT_EQ(list.Current(), nullptr);
}

TEST_F(ReportListTest, SetCurrentRejectsRowsOutsideTheList) {
    list.AddListEntry(QStringLiteral("/r/0.txt"), QStringLiteral("Detail"), kDay);
    list.AddListEntry(QString(), QStringLiteral("Detail"), kDay);
    shown.clear();
    for (qsizetype bad : {qsizetype(-1), qsizetype(2), qsizetype(100)}) {
        EXPECT_FALSE(list.SetCurrent(bad));
        EXPECT_EQ(list.CurrentIndex(), 1);
    }
    EXPECT_TRUE(shown.isEmpty());
    EXPECT_TRUE(list.SetCurrent(0));
    EXPECT_TRUE(list.SetCurrent(1)); // an entry without a file name leaves the status line be
    EXPECT_EQ(shown, (QStringList{QStringLiteral("/r/0.txt"), QString()}));
}

} // namespace

namespace {

TEST(AddReportToListFile, StartsOrExtendsTheListFile) {
    struct Case {
        const char* name;
        std::optional<QByteArray> before; // nullopt: no file yet
        QByteArray after;
    };
    const QByteArray header("ReportType\tfilename\tdCreate\r\n");
    const Case cases[] = {
        {"no file yet", std::nullopt, header + "Change t\t/r/Tax.txt\t05/03/2024\r\n"},
        {"header only", header, header + "Change t\t/r/Tax.txt\t05/03/2024\r\n"},
        {"entries kept in their bytes",
         QByteArray("filename\tReportType\r\nC:\\\xA3\xF3"
                    "d\x9F\\a.txt\tDetail\r\n"),
         header + "Detail\tC:\\\xA3\xF3"
                  "d\x9F\\a.txt\t\r\n"
                  "Change t\t/r/Tax.txt\t05/03/2024\r\n"},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("FMList.txt"));
        if (c.before) {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(*c.before);
        }
        const ReportListUpdateResult result = AddReportToListFile(
            path, QStringLiteral("/r/Tax.txt"), QStringLiteral("Change the tax rate"), kDay);
        EXPECT_TRUE(result.Ok) << c.name << ": " << result.Error.toStdString();
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), c.after) << c.name;
    }
}

} // namespace

namespace {

// A file that opens but fails on reading: the process's own memory file has nothing mapped at
// offset 0.
constexpr char kUnreadableFile[] = "/proc/self/mem";

TEST(UnreadableListFile, IsNeitherLoadedNorOverwritten) {
    const QString path = QString::fromLatin1(kUnreadableFile);
    if (!QFileInfo(path).isFile())
        GTEST_SKIP() << "no " << kUnreadableFile << " on this system";
    ReportList list;
    list.AddListEntry(QStringLiteral("/r/kept.txt"), QStringLiteral("Detail"), kDay);
    const ReportListLoadResult loaded = list.Load(path);
    EXPECT_EQ(loaded.State, ReportListLoadState::Unreadable);
    EXPECT_FALSE(loaded.Error.isEmpty());
    EXPECT_EQ(list.Count(), 1);

    const ReportListUpdateResult added =
        AddReportToListFile(path, QStringLiteral("/r/new.txt"), QStringLiteral("Detail"), kDay);
    EXPECT_FALSE(added.Ok);
    // The read failure is what stopped it, not a failed attempt to write.
    EXPECT_EQ(added.Error, loaded.Error);
}

} // namespace
