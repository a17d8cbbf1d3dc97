// The headless report decoders: the report file, the list entry and what the operator is told.

#include "app/core/report_decoding.h"

#include "fm/change_report.h"
#include "fm/detail_report.h"
#include "fm/report_file.h"
#include "fm/sample_content.h"
#include "tests/support/file_bytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

bool WriteFile(const QString& Path, const QByteArray& Bytes) {
    QFile f(Path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(Bytes) == Bytes.size();
}

class ReportDecodingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        Settings.TxtfileDir = m_dir.filePath(QStringLiteral("Txtfile"));
        ASSERT_TRUE(QDir().mkpath(Settings.TxtfileDir));
        Settings.MachineIndex = 1;
        Settings.Now = [] { return QDateTime(QDate(2024, 1, 15), QTime(10, 7, 12, 123)); };
        Settings.AddListEntry = [this](const QString& Path, const QString& Caption) {
            Listed.append(Caption + QLatin1Char('|') + Path);
            return ListError;
        };
        ASSERT_TRUE(WriteFile(Path("detail.hex"), SampleDetailUpload(3, 40, 4)));
        ASSERT_TRUE(WriteFile(Path("joined.hex"), SampleJoinedChangeFile(3)));
        ASSERT_TRUE(WriteFile(Path("short.hex"), SampleDetailUpload(3, 40, 4).left(256)));
    }
    QString Path(const char* Name) const { return m_dir.filePath(QLatin1String(Name)); }

    ReportDecodeSettings Settings;
    MessageTable Messages;
    QStringList Listed;
    QString ListError;

private:
    QTemporaryDir m_dir;
};

TEST_F(ReportDecodingTest, WritesTheReportAndAddsTheEntry) {
    struct Case {
        ReportKind Kind;
        const char* File;
        const char* Name;
        const char* Caption;
    };
    const Case cases[] = {
        {ReportKind::Detail, "detail.hex", "Detail20240115_07123.txt", "Detail"},
        {ReportKind::Summary, "detail.hex", "Summary20240115_07123.txt", "Summary"},
        {ReportKind::Tax, "joined.hex", "Tax20240115_07123.txt", "Change the tax rate"},
        {ReportKind::Currency, "joined.hex", "Chy20240115_07123.txt", "Change the currency"},
        {ReportKind::Ram, "joined.hex", "Ram20240115_07123.txt", "RAM Clearing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Listed.clear();
        const ReportDecodeResult r =
            ReportKindOf(c.Kind).Printout
                ? DecodeDetailSummary(Path(c.File), c.Kind, Settings, Messages)
                : DecodeChangeReport(Path(c.File), c.Kind, Settings, Messages);
        EXPECT_FALSE(r.Failed);
        EXPECT_TRUE(r.Message.Text.isEmpty());
        EXPECT_EQ(QFileInfo(r.ReportPath).fileName(), QLatin1String(c.Name));
        EXPECT_TRUE(r.ListEntryAdded);
        EXPECT_EQ(Listed, QStringList{QLatin1String(c.Caption) + QLatin1Char('|') + r.ReportPath});
        const QByteArray file = ReadAll(Path(c.File));
        const ReportOutcome expected =
            ReportKindOf(c.Kind).Printout
                ? CutDetailSummary(file, 40)
                : BuildChangeReport(file, c.Kind, ReportRange{}, QLatin1Char('.'));
        EXPECT_EQ(ReadAll(r.ReportPath), ReportFileBytes(expected.Lines));
    }
}

// The stamp repeats every hour: a second report in the same millisecond gets a new name and
// the first report is kept.
TEST_F(ReportDecodingTest, NeverOverwritesAnEarlierReport) {
    const ReportDecodeResult first =
        DecodeDetailSummary(Path("detail.hex"), ReportKind::Detail, Settings, Messages);
    const QByteArray firstBytes = ReadAll(first.ReportPath);
    Settings.MachineIndex = 0;
    const ReportDecodeResult second =
        DecodeDetailSummary(Path("detail.hex"), ReportKind::Detail, Settings, Messages);
    ASSERT_FALSE(second.Failed);
    EXPECT_NE(first.ReportPath, second.ReportPath);
    EXPECT_EQ(ReadAll(first.ReportPath), firstBytes);
    EXPECT_NE(ReadAll(second.ReportPath), firstBytes);
}

TEST_F(ReportDecodingTest, FailuresSayWhatTheWindowShows) {
    Messages.MsgFileNotExists = QStringLiteral("no file");
    Messages.MsgChooseMachine = QStringLiteral("wrong machine?");
    struct Case {
        const char* Name;
        ReportKind Kind;
        const char* File;
        int QueryType;
        QString From, To;
        bool BreakTxtDir;
        QString ListFailure;
        ReportError Error;
        QString Text;
        QString Caption;
        bool Failed;
        bool ReportKept; // the report file was written before the failure
    };
    const Case cases[] = {
        {"detail missing",
         ReportKind::Detail,
         "none.hex",
         2,
         {},
         {},
         false,
         {},
         ReportError::FileMissing,
         QStringLiteral("no file"),
         QStringLiteral("warning"),
         true,
         false},
        {"tax missing",
         ReportKind::Tax,
         "none.hex",
         2,
         {},
         {},
         false,
         {},
         ReportError::FileMissing,
         QStringLiteral("no file"),
         QStringLiteral("warning"),
         true,
         false},
        {"detail of one block",
         ReportKind::Detail,
         "short.hex",
         2,
         {},
         {},
         false,
         {},
         ReportError::NoReport,
         {},
         {},
         false,
         false},
        // A file that cannot be written is no fault of the machine or the data: the operator
        // is told which file and the system's reason.
        {"detail report not writable",
         ReportKind::Summary,
         "detail.hex",
         2,
         {},
         {},
         true,
         {},
         ReportError::WriteFailed,
         QStringLiteral("Cannot write %1/Summary20240115_07123.txt: %2")
             .arg(Path("detail.hex"), qt_error_string(ENOTDIR)),
         QStringLiteral("warning"),
         true,
         false},
        {"detail list entry fails",
         ReportKind::Detail,
         "detail.hex",
         2,
         {},
         {},
         false,
         QStringLiteral("Cannot write Data/FMList.txt: No space left on device"),
         ReportError::WriteFailed,
         QStringLiteral("Cannot write Data/FMList.txt: No space left on device"),
         QStringLiteral("warning"),
         true,
         true},
        {"ram list entry fails",
         ReportKind::Ram,
         "joined.hex",
         2,
         {},
         {},
         false,
         QStringLiteral("ro"),
         ReportError::WriteFailed,
         QStringLiteral("ro"),
         QStringLiteral("warning"),
         true,
         true},
        {"tax report not writable",
         ReportKind::Tax,
         "joined.hex",
         2,
         {},
         {},
         true,
         {},
         ReportError::WriteFailed,
         QStringLiteral("Cannot write %1/Tax20240115_07123.txt: %2")
             .arg(Path("detail.hex"), qt_error_string(ENOTDIR)),
         QStringLiteral("warning"),
         true,
         false},
        {"range backwards",
         ReportKind::Currency,
         "joined.hex",
         0,
         QStringLiteral("6"),
         QStringLiteral("5"),
         false,
         {},
         ReportError::RangeError,
         QStringLiteral("Data Error"),
         {},
         true,
         false},
        {"range not a number",
         ReportKind::Currency,
         "none.hex",
         0,
         QStringLiteral("x"),
         QStringLiteral("5"),
         false,
         {},
         ReportError::InvalidInteger,
         QStringLiteral("'x' is not a valid integer value"),
         {},
         true,
         false},
    };
    const QString txtDir = Settings.TxtfileDir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Listed.clear();
        ListError = c.ListFailure;
        Settings.TxtfileDir = c.BreakTxtDir ? Path("detail.hex") : txtDir; // a file, not a folder
        Settings.QueryType = c.QueryType;
        Settings.FromText = c.From;
        Settings.ToText = c.To;
        const ReportDecodeResult r =
            ReportKindOf(c.Kind).Printout
                ? DecodeDetailSummary(Path(c.File), c.Kind, Settings, Messages)
                : DecodeChangeReport(Path(c.File), c.Kind, Settings, Messages);
        EXPECT_EQ(r.Error, c.Error);
        EXPECT_EQ(r.Message.Text, c.Text);
        EXPECT_EQ(r.Message.Caption, c.Caption);
        EXPECT_EQ(r.Message.Information, c.Error == ReportError::FileMissing);
        EXPECT_EQ(r.Failed, c.Failed);
        EXPECT_FALSE(r.ListEntryAdded);
        EXPECT_EQ(!r.ReportPath.isEmpty(), c.ReportKept);
        if (c.ListFailure.isEmpty() && c.Error != ReportError::DataError) {
            EXPECT_TRUE(Listed.isEmpty());
        }
    }
}

} // namespace
