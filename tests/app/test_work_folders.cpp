#include "app/core/work_folders.h"

#include "tests/app/qt_print.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(WorkFolders, PathsBelowTheBaseFolder) {
    for (const char* base : {"/opt/orvex", "/opt/orvex/"}) {
        const WorkFolders f = WorkFoldersBelow(QString::fromUtf8(base));
        EXPECT_EQ(f.DataDir, QStringLiteral("/opt/orvex/Data/"));
        EXPECT_EQ(f.DufileDir, QStringLiteral("/opt/orvex/Dufile/"));
        EXPECT_EQ(f.TxtfileDir, QStringLiteral("/opt/orvex/Txtfile/"));
        EXPECT_EQ(f.ReportListPath(), QStringLiteral("/opt/orvex/Data/FMList.txt"));
    }
    EXPECT_EQ(WorkFoldersBelow(QString()).DataDir, QStringLiteral("./Data/"));
}

TEST(WorkFolders, CreatesMissingFoldersAndKeepsExistingOnes) {
    QTemporaryDir dir;
    const WorkFolders f = WorkFoldersBelow(dir.filePath(QStringLiteral("fresh")));
    EXPECT_TRUE(CreateWorkFolders(f).isEmpty());
    for (const QString& d : {f.DataDir, f.DufileDir, f.TxtfileDir})
        EXPECT_TRUE(QFileInfo(d).isDir()) << d.toStdString();

    QFile keep(f.ReportListPath());
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.write("x");
    keep.close();
    EXPECT_TRUE(CreateWorkFolders(f).isEmpty());
    EXPECT_EQ(QFileInfo(f.ReportListPath()).size(), 1);
}

TEST(WorkFolders, ReportsEachFolderItCannotMake) {
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("Dufile")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const WorkFolders f = WorkFoldersBelow(dir.path());
    const QStringList errors = CreateWorkFolders(f);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(f.DufileDir)) << errors[0].toStdString();
    EXPECT_TRUE(QFileInfo(f.DataDir).isDir());
    EXPECT_TRUE(QFileInfo(f.TxtfileDir).isDir());
}

} // namespace
