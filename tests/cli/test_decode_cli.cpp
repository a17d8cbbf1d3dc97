// Runs the built orvexfm-cli on fixture files and checks exit codes and output bytes.

#include "fm/sample_content.h"
#include "fm/upload_layout.h"
#include "tests/cli/tool_run.h"
#include "tests/support/file_size_limit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

using CliRun = ToolRun;

CliRun RunCli(const QStringList& Args, const QString& Locale = QStringLiteral("C"),
              const std::function<void(QProcess&)>& Prepare = {}) {
    return RunTool("orvexfm-cli", Args, [&](QProcess& p) {
        if (Prepare)
            Prepare(p);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), Locale);
        p.setProcessEnvironment(env);
    });
}

QByteArray Pair(const QByteArray& Left, const QByteArray& Right) {
    return Left + QByteArray(40 - Left.size() - Right.size(), ' ') + Right;
}

const QByteArray kSep = "- - - - - - - - - - - - - - - - - - - - ";

class DecodeCli : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        QByteArray header(256, '\0');
        header.replace(0, 10, "SKLEP \xA3\xD3\x8C\x21");
        header[254] = header[255] = '\xA5';
        QByteArray data(kChangeDataSize, '\xFF');
        const std::uint16_t rates[9] = {2300, 800, 500, 0, 9999, 9999, 10000, 9999, 9999};
        data.replace(kTaxTableOffset, 23, EncodeTaxChange(rates, 24, 1, 15, 123));
        data.replace(kCurrencyTableOffset, 20, EncodeCurrencyChange(24, 3, 1, 12, 30, 5, "PLN"));
        data.replace(kCurrencyTableOffset + 20, 20,
                     EncodeCurrencyChange(24, 5, 2, 9, 5, 9, "Z\xB3,"));
        data.replace(kRamTableOffset, 7, EncodeRamClearing(10, 23, 3, 1, 12, 30));
        data.replace(kRamTableOffset + 7, 7, EncodeRamClearing(20, 24, 3, 1, 7, 45, true));
        data.replace(kRamTableOffset + 14, 7, EncodeRamClearing(30, 24, 2, 30, 8, 0)); // 30 Feb
        QByteArray footer(512, '\0');
        footer.replace(0, 4, "STOP");
        joined_ = Write("joined.hex", header + data + footer);
        detail_ = Write("detail.hex", SampleDetailUpload(7, 40, 4));
        small_ = Write("small.hex", QByteArray(256, 'x'));
    }

    QString Write(const char* Name, const QByteArray& Bytes) {
        QFile f(dir_.filePath(QString::fromLatin1(Name)));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(Bytes);
        return f.fileName();
    }

    QTemporaryDir dir_;
    QString joined_, detail_, small_;
};

} // namespace

TEST_F(DecodeCli, ExitCodes) {
    const QString missing = dir_.filePath("missing.hex");
    const struct {
        const char* name;
        QStringList args;
        int exitCode;
    } cases[] = {
        {"tax report", {"decode", joined_, "--report", "tax"}, 0},
        {"detail with every option",
         {"decode", detail_, "--report=detail", "--machine", "2", "--range", "z:1-9", "--format",
          "text"},
         0},
        {"no report in a 256-byte detail", {"decode", small_, "--report", "summary"}, 1},
        {"no command", {}, 2},
        {"unknown command", {"frobnicate"}, 2},
        {"no file", {"decode", "--report", "tax"}, 2},
        {"no report option", {"decode", joined_}, 2},
        {"two files", {"decode", joined_, joined_, "--report", "tax"}, 2},
        {"unknown report", {"decode", joined_, "--report", "vat"}, 2},
        {"bad machine", {"decode", detail_, "--report", "detail", "--machine", "3"}, 2},
        {"bad format", {"decode", joined_, "--report", "tax", "--format", "xml"}, 2},
        {"csv of a detail upload", {"decode", detail_, "--report", "detail", "--format", "csv"}, 2},
        {"json of a summary upload",
         {"decode", detail_, "--report", "summary", "--format", "json"},
         2},
        {"range without bounds", {"decode", joined_, "--report", "tax", "--range", "z:5"}, 2},
        {"range kind unknown", {"decode", joined_, "--report", "tax", "--range", "week:1-2"}, 2},
        {"date range not yymmdd",
         {"decode", joined_, "--report", "tax", "--range", "date:2401-2412"},
         2},
        {"z range not a number", {"decode", joined_, "--report", "tax", "--range", "z:a-5"}, 2},
        {"option without value", {"decode", joined_, "--report"}, 2},
        {"unknown option", {"decode", joined_, "--report", "tax", "--colour"}, 2},
        {"missing file", {"decode", missing, "--report", "ram"}, 3},
        {"missing detail file", {"decode", missing, "--report", "detail"}, 3},
        {"z range backwards", {"decode", joined_, "--report", "tax", "--range", "z:6-5"}, 4},
        {"date range backwards",
         {"decode", joined_, "--report", "ram", "--range", "date:241231-240101"},
         4},
        {"range checked before the file",
         {"decode", missing, "--report", "ram", "--range", "z:6-5"},
         4},
        {"a directory", {"decode", dir_.path(), "--report", "tax"}, 5},
        {"output not writable",
         {"decode", joined_, "--report", "tax", "--out", dir_.filePath("no/such/x.txt")},
         5},
    };
    for (const auto& c : cases) {
        const CliRun r = RunCli(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err.constData();
        if (c.exitCode != 0) {
            EXPECT_TRUE(r.out.isEmpty()) << c.name;
            EXPECT_FALSE(r.err.isEmpty()) << c.name;
        }
    }
    EXPECT_TRUE(RunCli({"decode", joined_, "--report", "tax", "--range", "z:6-5"})
                    .err.contains("Data Error"));
    EXPECT_TRUE(RunCli({"decode", joined_, "--report", "tax", "--range", "z:a-5"})
                    .err.contains("'a' is not a valid integer value"));
}

TEST_F(DecodeCli, HelpGoesToStandardOutput) {
    for (const QStringList& args : {QStringList{"--help"}, QStringList{"decode", "--help"}}) {
        const CliRun r = RunCli(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.out.contains("usage: orvexfm-cli")) << r.out.constData();
        EXPECT_TRUE(r.err.isEmpty());
    }
    EXPECT_TRUE(RunCli({"--help"}).out.contains("decode"));
    EXPECT_TRUE(RunCli({"decode", "--help"}).out.contains("--range"));
}

TEST_F(DecodeCli, TextIsTheReportFileByteForByte) {
    const QByteArray expected =
        "SKLEP \xA3\xD3\x8C\x21\r\n" + kSep + "\r\n\r\n" + Pair("2024/03/01", "07:45") + "\r\n" +
        Pair("ZEROWANIE RAM Z", "NR002") + "\r\n" + kSep + "\r\n" + "STOP\r\n";
    const CliRun r = RunCli({"decode", joined_, "--report", "ram", "--range", "z:15-25"});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, expected);

    // --out holds the same bytes; standard output stays empty.
    const QString out = dir_.filePath("ram.txt");
    const CliRun toFile =
        RunCli({"decode", joined_, "--report", "ram", "--range", "z:15-25", "--out", out});
    ASSERT_EQ(toFile.exitCode, 0);
    EXPECT_TRUE(toFile.out.isEmpty());
    EXPECT_EQ(ReadWholeFile(out), expected);

    const CliRun tax =
        RunCli({"decode", joined_, "--report", "tax", "--range", "date:240115-240115"});
    ASSERT_EQ(tax.exitCode, 0);
    const QList<QByteArray> lines = tax.out.split('\n');
    EXPECT_EQ(lines[2], Pair("2024/01/15", "000123") + "\r");
    EXPECT_EQ(lines[3], Pair("PTU A", "23.00%") + "\r");
    EXPECT_EQ(lines[9], Pair("G", "SP.ZW.PTU") + "\r");

    const CliRun currency = RunCli({"decode", joined_, "--report", "currency", "--range", "z:5-5"});
    EXPECT_TRUE(currency.out.contains(Pair("WALUTA EWIDENC.", "PLN") + "\r\n"));
    EXPECT_FALSE(currency.out.contains("Z\xB3"));
}

TEST_F(DecodeCli, DetailUsesTheMachineWidthAndIgnoresTheRange) {
    QByteArray block(256, '\0');
    block.replace(0, 42, QByteArray(21, 'a') + QByteArray(21, 'b'));
    const QString file = Write("widths.hex", block + block);
    const struct {
        const char* machine;
        QByteArray firstLine;
    } cases[] = {{"0", QByteArray(20, 'a')},
                 {"1", QByteArray(21, 'a') + QByteArray(19, 'b')},
                 {"2", QByteArray(21, 'a') + QByteArray(21, 'b')}};
    for (const auto& c : cases) {
        const CliRun r = RunCli({"decode", file, "--report", "detail", "--machine", c.machine});
        ASSERT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.out.startsWith(c.firstLine + "\r\n")) << c.machine;
    }
    const CliRun plain = RunCli({"decode", detail_, "--report", "detail"});
    const CliRun ranged =
        RunCli({"decode", detail_, "--report", "detail", "--range", "date:240101-240102"});
    ASSERT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.out, ranged.out);
    QByteArray expected;
    for (const QByteArray& line : SampleDetailLines(7, 40, 4))
        expected += line + "\r\n";
    EXPECT_EQ(plain.out, expected);
}

TEST_F(DecodeCli, CsvColumns) {
    const CliRun tax = RunCli({"decode", joined_, "--report", "tax", "--format", "csv"});
    ASSERT_EQ(tax.exitCode, 0);
    const QList<QByteArray> taxRows = tax.out.split('\n');
    EXPECT_EQ(taxRows[0], "position,date,z_number,letter,status,rate_percent,decoded\r");
    EXPECT_EQ(taxRows[1], "1,2024-01-15,123,A,rate,23.00,true\r");
    EXPECT_EQ(taxRows[5], "1,2024-01-15,123,E,not_in_use,,true\r");
    EXPECT_EQ(taxRows[7], "1,2024-01-15,123,G,exempt,,true\r");
    EXPECT_EQ(taxRows.size(), 1 + 9 + 1); // the last split part is empty

    const CliRun currency = RunCli({"decode", joined_, "--report", "currency", "--format", "csv"});
    EXPECT_EQ(currency.out, QByteArray("position,date,time,z_number,currency,decoded\r\n"
                                       "1,2024-03-01,12:30,5,PLN,true\r\n"
                                       "2,2024-05-02,09:05,9,\"Zł,\",true\r\n"));

    const CliRun ram = RunCli(
        {"decode", joined_, "--report", "ram", "--format", "csv", "--range", "date:240101-241231"});
    EXPECT_EQ(ram.out, QByteArray("position,date,time,z_number,decoded\r\n"
                                  "2,2024-03-01,07:45,20,true\r\n"
                                  "3,,08:00,30,true\r\n")); // 30 February is no ISO date
}

TEST_F(DecodeCli, JsonRecords) {
    const CliRun r =
        RunCli({"decode", joined_, "--report", "tax", "--format", "json", "--range", "z:100-200"});
    ASSERT_EQ(r.exitCode, 0);
    QJsonParseError error;
    const QJsonObject root = QJsonDocument::fromJson(r.out, &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError);
    EXPECT_EQ(root["report"].toString(), "tax");
    EXPECT_EQ(root["range"].toString(), "z:100-200");
    EXPECT_EQ(root["header"].toArray().at(0).toString(), QString::fromUtf8("SKLEP ŁÓŚ!"));
    EXPECT_EQ(root["footer"].toArray().at(0).toString(), "STOP");
    const QJsonArray records = root["records"].toArray();
    ASSERT_EQ(records.size(), 1);
    const QJsonObject rec = records[0].toObject();
    EXPECT_EQ(rec["position"].toInt(), 1);
    EXPECT_EQ(rec["date"].toString(), "2024-01-15");
    EXPECT_EQ(rec["z_number"].toInt(), 123);
    EXPECT_TRUE(rec["decoded"].toBool());
    const QJsonArray rates = rec["rates"].toArray();
    ASSERT_EQ(rates.size(), 9);
    EXPECT_EQ(rates[0].toObject()["percent"].toDouble(), 23.0);
    EXPECT_EQ(rates[0].toObject()["status"].toString(), "rate");
    EXPECT_EQ(rates[6].toObject()["status"].toString(), "exempt");
    EXPECT_TRUE(rates[6].toObject()["percent"].isNull());
    EXPECT_EQ(rates[8].toObject()["status"].toString(), "not_in_use");

    const CliRun cur = RunCli({"decode", joined_, "--report", "currency", "--format", "json"});
    EXPECT_EQ(QJsonDocument::fromJson(cur.out).object()["report"].toString(), "currency");
    const QJsonArray curRecords = QJsonDocument::fromJson(cur.out).object()["records"].toArray();
    ASSERT_EQ(curRecords.size(), 2);
    EXPECT_EQ(curRecords[1].toObject()["currency"].toString(), QString::fromUtf8("Zł,"));
    EXPECT_EQ(curRecords[1].toObject()["time"].toString(), "09:05");

    const CliRun none =
        RunCli({"decode", joined_, "--report", "ram", "--format", "json", "--range", "z:999-1000"});
    EXPECT_EQ(QJsonDocument::fromJson(none.out).object()["report"].toString(), "ram");
    EXPECT_TRUE(QJsonDocument::fromJson(none.out).object()["records"].toArray().isEmpty());
}

// A full disk in small (the child may not grow a file past 16 bytes): the report does not
// fit, --out keeps its old content and the run ends with 5 and the system's reason.
TEST_F(DecodeCli, OutputThatCannotBeWrittenKeepsTheOldFile) {
    const QString out = dir_.filePath("report.txt");
    const QByteArray old = "the report of yesterday";
    Write("report.txt", old);
    const auto limited = [](QProcess& p) { testsupport::LimitChildFileSize(p, 16); };
    const QStringList names = QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden);

    const CliRun toFile =
        RunCli({"decode", joined_, "--report", "tax", "--out", out}, QStringLiteral("C"), limited);
    EXPECT_EQ(toFile.exitCode, 5);
    EXPECT_TRUE(toFile.err.contains("cannot write " + out.toLocal8Bit() + ": " +
                                    qt_error_string(EFBIG).toLocal8Bit()))
        << toFile.err.constData();
    EXPECT_EQ(ReadWholeFile(out), old);
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), names)
        << "no temporary file is left behind";

    // Standard output redirected to a file on that disk.
    const QString redirected = dir_.filePath("stdout.txt");
    const CliRun toStdout =
        RunCli({"decode", joined_, "--report", "tax"}, QStringLiteral("C"), [&](QProcess& p) {
            limited(p);
            p.setStandardOutputFile(redirected);
        });
    EXPECT_EQ(toStdout.exitCode, 5);
    EXPECT_TRUE(toStdout.err.contains("cannot write standard output: " +
                                      qt_error_string(EFBIG).toLocal8Bit()))
        << toStdout.err.constData();
}

// --out is replaced only when it is a regular file: a symbolic link is written through, and a
// named pipe (which would block the run for ever), a device or a folder is refused untouched.
TEST_F(DecodeCli, OutputThatIsNoRegularFile) {
    const CliRun reference = RunCli({"decode", joined_, "--report", "ram"});
    ASSERT_EQ(reference.exitCode, 0);

    Write("target.txt", "old");
    ASSERT_TRUE(QFile::link("target.txt", dir_.filePath("link.txt")));
    const CliRun viaLink =
        RunCli({"decode", joined_, "--report", "ram", "--out", dir_.filePath("link.txt")});
    EXPECT_EQ(viaLink.exitCode, 0) << viaLink.err.constData();
    EXPECT_EQ(ReadWholeFile(dir_.filePath("target.txt")), reference.out);
    EXPECT_TRUE(QFileInfo(dir_.filePath("link.txt")).isSymLink());

    const QString fifo = dir_.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    struct Case {
        QString path;
        QByteArray reason;
        mode_t type;
    };
    QList<Case> cases = {
        {fifo, "is a named pipe (FIFO), not a regular file", S_IFIFO},
        {dir_.path(), qt_error_string(EISDIR).toLocal8Bit(), S_IFDIR},
    };
    // A device node of one's own (root only): /dev/full itself is never put at risk here.
    const QString device = dir_.filePath("full");
    if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 7)) == 0)
        cases.append({device, "is a device, not a regular file", S_IFCHR});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        const CliRun r = RunCli({"decode", joined_, "--report", "ram", "--out", c.path});
        EXPECT_EQ(r.exitCode, 5);
        EXPECT_TRUE(r.err.contains("cannot write " + c.path.toLocal8Bit() + ": " + c.reason))
            << r.err.constData();
        struct stat st {};
        ASSERT_EQ(::lstat(QFile::encodeName(c.path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, c.type) << "replaced by a file";
    }
}

// No upload is larger than kMaxUploadFileBytes: a huge file or an endless stream is refused
// with a message instead of being read whole.
TEST_F(DecodeCli, InputLargerThanAnyUploadIsRefused) {
    const QString huge = dir_.filePath("huge.hex");
    {
        QFile f(huge);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(qint64(3) << 30)); // sparse: takes no disk space
    }
    const QString bound = QString::number(kMaxUploadFileBytes);
    for (const QString& input : {huge, QStringLiteral("/dev/zero")}) {
        for (const char* report : {"detail", "tax"}) {
            SCOPED_TRACE((input + QLatin1Char(' ') + QLatin1String(report)).toStdString());
            const CliRun r = RunCli({"decode", input, "--report", report});
            EXPECT_EQ(r.exitCode, 5);
            EXPECT_TRUE(r.err.contains(
                ("larger than any upload can be (more than " + bound + " bytes)").toLocal8Bit()))
                << r.err.constData();
            EXPECT_TRUE(r.out.isEmpty());
        }
    }
    // The largest file an upload can leave is still read.
    const QString largest = dir_.filePath("largest.hex");
    {
        QFile f(largest);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(kMaxUploadFileBytes));
    }
    const CliRun r = RunCli({"decode", largest, "--report", "ram", "--format", "csv"});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
}
