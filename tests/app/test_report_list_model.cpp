#include "app/core/report_list_model.h"

#include "tests/app/qt_print.h"

#include <QAbstractItemModelTester>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

namespace {

struct RowChange {
    char kind; // 'i' inserted, 'r' removed, 'R' reset
    int first;
    int last;
    bool operator==(const RowChange&) const = default;
};

void PrintTo(const RowChange& c, std::ostream* out) {
    *out << c.kind << '(' << c.first << ',' << c.last << ')';
}

class ReportListModelTest : public testing::Test {
protected:
    void SetUp() override {
        QObject::connect(&model, &QAbstractItemModel::rowsInserted,
                         [this](const QModelIndex&, int f, int l) {
                             changes.push_back({'i', f, l});
                         });
        QObject::connect(&model, &QAbstractItemModel::rowsRemoved,
                         [this](const QModelIndex&, int f, int l) {
                             changes.push_back({'r', f, l});
                         });
        QObject::connect(&model, &QAbstractItemModel::modelReset, [this] {
            changes.push_back({'R', 0, 0});
        });
    }

    QStringList Column(int column) const {
        QStringList out;
        for (int row = 0; row < model.rowCount(); ++row)
            out.append(model.data(model.index(row, column)).toString());
        return out;
    }

    ReportList list;
    ReportListModel model{list};
    // Checks every change against the rules views rely on; a broken rule aborts the test.
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
    std::vector<RowChange> changes;
};

TEST_F(ReportListModelTest, ShowsFileNameAndDateUnderCentredTitles) {
    EXPECT_EQ(model.columnCount(), 2);
    EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Filename"));
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Update Date"));
    EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>(),
              Qt::Alignment(Qt::AlignCenter));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("FMList.txt"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("dCreate\tReportType\tfilename\r\n"
               "31/01/2024\tDetail\t/r/a.txt\r\n"
               "01/02/2024\tSummary\t/r/b.txt\r\n");
    file.close();

    EXPECT_EQ(model.Load(path).State, ReportListLoadState::Loaded);
    EXPECT_EQ(Column(0), (QStringList{QStringLiteral("/r/a.txt"), QStringLiteral("/r/b.txt")}));
    EXPECT_EQ(Column(1), (QStringList{QStringLiteral("31/01/2024"), QStringLiteral("01/02/2024")}));
    EXPECT_EQ(changes, (std::vector<RowChange>{{'R', 0, 0}}));
}

TEST_F(ReportListModelTest, AddAndDeleteAnnounceTheirRows) {
    const QDate day(2024, 3, 5);
    model.AddListEntry(QStringLiteral("/r/0.txt"), QStringLiteral("Detail"), day);
    model.AddListEntry(QStringLiteral("/r/1.txt"), QStringLiteral("Summary"), day);
    model.AddListEntry(QStringLiteral("/r/2.txt"), QStringLiteral("RAM Clearing"), day);
    ASSERT_TRUE(model.SetCurrent(1));
    EXPECT_TRUE(model.DeleteCurrent());
    EXPECT_TRUE(model.DeleteCurrent()); // "/r/2.txt" moved up into row 1
    EXPECT_TRUE(model.DeleteCurrent());
    EXPECT_FALSE(model.DeleteCurrent());

    EXPECT_EQ(changes,
              (std::vector<RowChange>{
                  {'i', 0, 0}, {'i', 1, 1}, {'i', 2, 2}, {'r', 1, 1}, {'r', 1, 1}, {'r', 0, 0}}));
    EXPECT_EQ(model.rowCount(), 0);
}

} // namespace
