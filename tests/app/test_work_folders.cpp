#include "app/core/work_folders.h"

#include "tests/app/qt_print.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
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

// The program's folder decides where the working folders go when nobody names one: a writable
// one keeps them (a build tree, a portable copy), a read-only one (an installed /usr/bin)
// sends them to the user's data folder.
TEST(WorkFolders, DefaultBaseIsTheProgramFolderOnlyWhenItIsWritable) {
    QTemporaryDir dir;
    const QString writable = dir.filePath(QStringLiteral("portable"));
    const QString readOnly = dir.filePath(QStringLiteral("installed"));
    ASSERT_TRUE(QDir().mkpath(writable));
    ASSERT_TRUE(QDir().mkpath(readOnly));
    QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                        QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    const QString userData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    ASSERT_FALSE(userData.isEmpty());

    struct Case {
        QString dir;
        bool writable;
    };
    const Case cases[] = {
        {writable, true},
        {readOnly, false},
        {dir.filePath(QStringLiteral("missing")), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FolderWritable(c.dir), c.writable) << c.dir.toStdString();
        EXPECT_EQ(DefaultWorkBase(c.dir), c.writable ? c.dir : userData) << c.dir.toStdString();
    }
    QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace
