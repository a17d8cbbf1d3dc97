#pragma once

#include "e2e_support.h"

#include "fm/sample_content.h"
#include "sim/device_engine.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace e2e {

inline constexpr std::uint32_t kSeed = 7;
inline constexpr int kWidth = 40; // machine 1, Pelta

// What the device serves: files the test writes and hands to the simulator, so the bytes
// every upload must produce are known exactly.
struct DeviceContent : DeviceAreas {
    DeviceContent() {
        Detail = SampleDetailUpload(kSeed, kWidth, 6);
        Summary = SampleSummaryUpload(kSeed, kWidth, 3);
        Header = SampleHeaderBlocks(kSeed, 2);
        Footer = SampleFooterBlocks(kSeed);
        Eprom = SampleChangeDataArea(kSeed);
    }
};

// The names a report kind goes by, written out here rather than read from the program's
// table, so that a wrong row there shows up as a failed upload.
struct KindNames {
    const char* Cli;        // --report value
    const char* FilePrefix; // start of the report file's name
    const char* Caption;    // report type of the list entry
};

inline const KindNames& NamesOf(ReportKind Kind) {
    static const KindNames names[] = {
        {"detail", "Detail", "Detail"},        {"summary", "Summary", "Summary"},
        {"tax", "Tax", "Change the tax rate"}, {"currency", "Chy", "Change the currency"},
        {"ram", "Ram", "RAM Clearing"},
    };
    return names[static_cast<int>(Kind)];
}

inline const char* ReportName(ReportKind Kind) {
    return NamesOf(Kind).Cli;
}

// A work folder and the device content files in it.
class UploadFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_TRUE(WriteFile(Path("detail.bin"), Content.Detail));
        ASSERT_TRUE(WriteFile(Path("summary.bin"), Content.Summary));
        ASSERT_TRUE(WriteFile(Path("header.bin"), Content.Header));
        ASSERT_TRUE(WriteFile(Path("footer.bin"), Content.Footer));
        ASSERT_TRUE(WriteFile(Path("eprom.bin"), Content.Eprom));
        ASSERT_TRUE(QDir().mkpath(WorkDir()));
    }

    QString Path(const char* Name) const { return m_dir.filePath(QLatin1String(Name)); }
    QString WorkDir() const { return m_dir.filePath(QStringLiteral("work")); }

    // Simulator arguments that serve the content files.
    QStringList ContentArgs() const {
        return {QStringLiteral("--detail"), Path("detail.bin"),         QStringLiteral("--summary"),
                Path("summary.bin"),        QStringLiteral("--header"), Path("header.bin"),
                QStringLiteral("--footer"), Path("footer.bin"),         QStringLiteral("--eprom"),
                Path("eprom.bin")};
    }

    // orvexfm-cli decode of Bytes: the report the upload must have written.
    QByteArray ReferenceReport(const QByteArray& Bytes, ReportKind Kind,
                               const QString& Range = QStringLiteral("all")) {
        const QString file = m_dir.filePath(QStringLiteral("reference-%1.hex").arg(m_refs++));
        EXPECT_TRUE(WriteFile(file, Bytes));
        const CliResult r = RunCli({QStringLiteral("decode"), file, QStringLiteral("--report"),
                                    QLatin1String(ReportName(Kind)), QStringLiteral("--machine"),
                                    QStringLiteral("1"), QStringLiteral("--range"), Range});
        EXPECT_TRUE(r.Finished);
        EXPECT_EQ(r.ExitCode, 0) << r.ErrText().toStdString();
        return r.Out;
    }

    // The entries of Data/FMList.txt after its header line, as (type, file name) pairs.
    QList<QPair<QString, QString>> ListEntries() const {
        QList<QPair<QString, QString>> out;
        const QList<QByteArray> lines =
            ReadAll(WorkDir() + QStringLiteral("/Data/FMList.txt")).split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines[i].trimmed().split('\t');
            if (fields.size() >= 2)
                out.append({QString::fromLatin1(fields[0]), QString::fromLocal8Bit(fields[1])});
        }
        return out;
    }

    QStringList DufileNames(const QString& Prefix) const {
        return QDir(WorkDir() + QStringLiteral("/Dufile"))
            .entryList({Prefix + QStringLiteral("*.hex")}, QDir::Files, QDir::Name);
    }

    QStringList UploadArgs(const QStringList& Link, ReportKind Kind, const QString& Out,
                           const QStringList& More = {}) const {
        return QStringList{QStringLiteral("upload")} + Link +
               QStringList{QStringLiteral("--report"),   QLatin1String(ReportName(Kind)),
                           QStringLiteral("--out"),      Out,
                           QStringLiteral("--machine"),  QStringLiteral("1"),
                           QStringLiteral("--work-dir"), WorkDir()} +
               More;
    }

    // Everything one finished upload leaves behind: the .hex file, the report (the decode of
    // the expected bytes), the path on the last line of standard output, the list entry.
    void ExpectFinishedUpload(const CliResult& R, ReportKind Kind, const QString& HexPath,
                              const QByteArray& ExpectedHex,
                              const QString& Range = QStringLiteral("all")) {
        ASSERT_TRUE(R.Finished) << R.ErrText().toStdString();
        ASSERT_EQ(R.ExitCode, 0) << R.ErrText().toStdString();
        EXPECT_EQ(ReadAll(HexPath), ExpectedHex);
        const QString report = R.LastOutLine();
        EXPECT_TRUE(QFileInfo(report).isAbsolute()) << report.toStdString();
        EXPECT_TRUE(
            QFileInfo(report).fileName().startsWith(QLatin1String(NamesOf(Kind).FilePrefix)))
            << report.toStdString();
        EXPECT_EQ(QFileInfo(report).absolutePath(),
                  QFileInfo(WorkDir() + QStringLiteral("/Txtfile")).absoluteFilePath());
        EXPECT_EQ(ReadAll(report), ReferenceReport(ExpectedHex, Kind, Range));
        const auto entries = ListEntries();
        ASSERT_FALSE(entries.isEmpty());
        // The list keeps the first eight characters of the caption.
        EXPECT_EQ(entries.last().first, QString::fromLatin1(NamesOf(Kind).Caption).left(8));
        EXPECT_EQ(entries.last().second, report);
        EXPECT_TRUE(R.ErrText().contains(QStringLiteral("Finish")));
    }

    DeviceContent Content;

private:
    QTemporaryDir m_dir;
    int m_refs = 0;
};

} // namespace e2e
