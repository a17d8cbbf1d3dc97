#include "fm/report_file.h"
#include "fm/upload_layout.h"
#include "tests/support/file_size_limit.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QDateTime kWhen(QDate(2024, 1, 15), QTime(13, 7, 45, 123));

} // namespace

TEST(ReportFile, StampHasMinuteAndMillisecondOnly) {
    EXPECT_EQ(FileTimeStamp(kWhen), "20240115_07123");
    EXPECT_EQ(FileTimeStamp(QDateTime(QDate(2031, 12, 3), QTime(23, 59, 0, 5))), "20311203_59005");
}

TEST(ReportFile, LinesEndWithCrLfAndKeepTheirBytes) {
    EXPECT_EQ(ReportFileBytes({"A\xA5", "", "B"}), QByteArray("A\xA5\r\n\r\nB\r\n"));
    EXPECT_EQ(ReportFileBytes({}), QByteArray());
}

TEST(ReportFile, TakenNamesGetANumberBeforeTheExtension) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString first = UniqueTimestampedPath(dir.path(), "Tax", ".txt", kWhen);
    EXPECT_EQ(first, QDir(dir.path()).filePath("Tax20240115_07123.txt"));
    const QStringList expected = {"Tax20240115_07123.txt", "Tax20240115_07123_1.txt",
                                  "Tax20240115_07123_2.txt"};
    QStringList written;
    for (int i = 0; i < 3; ++i) {
        const QString path =
            WriteReportFile(dir.path(), "Tax", kWhen, {"report " + QByteArray::number(i)});
        written.append(QFileInfo(path).fileName());
    }
    EXPECT_EQ(written, expected);
    // Earlier reports keep their content.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ReadWholeFile(QDir(dir.path()).filePath(expected[i])),
                  "report " + QByteArray::number(i) + "\r\n");
    EXPECT_EQ(QFileInfo(UniqueTimestampedPath(dir.path(), "Tax", ".txt", kWhen)).fileName(),
              "Tax20240115_07123_3.txt");
    // The rule is shared by other file kinds (the link's .hex uploads).
    EXPECT_EQ(QFileInfo(UniqueTimestampedPath(dir.path(), "Header", ".hex", kWhen)).fileName(),
              "Header20240115_07123.hex");
}

TEST(ReportFile, UnwritableFolderRaisesTheFileError) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_THROW(WriteReportFile(dir.filePath("no/such/folder"), "Ram", kWhen, {"x"}), FileError);
}

// A full disk in small: a report that does not fit whole is not left behind cut short.
TEST(ReportFile, ReportThatDoesNotFitLeavesNoFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString error;
    {
        testsupport::FileSizeLimit limit(10);
        ASSERT_TRUE(limit.Active());
        try {
            WriteReportFile(dir.path(), "Ram", kWhen, {"a report line longer than ten bytes"});
        } catch (const FileError& e) {
            error = QString::fromStdString(e.what());
        }
    }
    EXPECT_EQ(error,
              QDir(dir.path()).filePath("Ram20240115_07123.txt") + ": " + qt_error_string(EFBIG));
    EXPECT_TRUE(QDir(dir.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}
