// orvexfm-cli decode: turns an upload file into the program's report (text) or, for the
// change reports, into CSV or JSON records.

#include "cli/change_export.h"
#include "cli/cli_options.h"
#include "fm/change_report.h"
#include "fm/detail_report.h"
#include "fm/file_writer.h"
#include "fm/report_file.h"
#include "fm/upload_layout.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <optional>

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitNoReport = 1,
    kExitUsage = 2,
    kExitMissing = 3,
    kExitRange = 4,
    kExitUnreadable = 5,
};

const char kUsage[] =
    "usage: orvexfm-cli decode FILE --report detail|summary|tax|currency|ram\n"
    "                   [--machine 0|1|2] [--range all|z:FROM-TO|date:YYMMDD-YYMMDD]\n"
    "                   [--format text|csv|json] [--out PATH]\n"
    "\n"
    "Decodes an upload file (.hex) into a report.\n"
    "  --report   detail, summary: a printout upload; tax, currency, ram: a joined\n"
    "             change file (header, change data, footer)\n"
    "  --machine  printout width of detail/summary: 0 Lumo (20), 1 Pelta (40, default),\n"
    "             2 ZT9/ZT7 (42)\n"
    "  --range    entries of a change report: all (default), by Z number z:FROM-TO, or by\n"
    "             date date:YYMMDD-YYMMDD; bounds included. Detail and summary uploads\n"
    "             hold the range the device applied, so it is accepted and ignored.\n"
    "  --format   text (default): the report file's bytes (device text, CR LF);\n"
    "             csv, json: the selected change records in UTF-8 (change reports only)\n"
    "  --out      write to PATH instead of standard output. PATH is replaced only once\n"
    "             the new content is written whole; a symbolic link is written through;\n"
    "             a folder, pipe or device is refused\n"
    "\n"
    "exit status: 0 report written, 1 no report (upload of 256 bytes or less),\n"
    "  2 bad usage, 3 input file does not exist, 4 range invalid (Data Error),\n"
    "  5 file cannot be read or decoded (also: larger than any upload can be), or the\n"
    "  output cannot be written (the system's reason is told)\n";

struct Options {
    QString File;
    std::optional<ReportKind> Kind;
    int Machine = 1;
    RangeOption Range;
    QString RangeText = QStringLiteral("all");
    QString Format = QStringLiteral("text");
    QString Out;
};

const CliCommand kCli("decode", kExitUsage);

bool IsSixDigits(const QString& Text) {
    if (Text.size() != 6)
        return false;
    for (const QChar c : Text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// "all", "z:FROM-TO" or "date:YYMMDD-YYMMDD" into the window's query type and texts. Z texts
// are passed on as they are (their integer check is the report's own); a leading sign of
// FROM does not count as the separator.
bool ParseRangeOption(const QString& Text, Options& Opt) {
    Opt.RangeText = Text;
    const auto range = SplitRangeOption(Text, true);
    if (!range)
        return false;
    Opt.Range = *range;
    if (range->QueryType == 1)
        return IsSixDigits(range->From) && IsSixDigits(range->To);
    return range->QueryType == 2 || (!range->From.isEmpty() && !range->To.isEmpty());
}

// Writes Bytes to Path (replacing it only once complete; see ReplaceFileContents) or to
// standard output.
bool WriteOutput(const QString& Path, const QByteArray& Bytes) {
    if (Path.isEmpty()) {
        const std::size_t n = std::fwrite(Bytes.constData(), 1, std::size_t(Bytes.size()), stdout);
        if (n == std::size_t(Bytes.size()) && std::fflush(stdout) == 0)
            return true;
        kCli.Error(QStringLiteral("cannot write standard output: %1").arg(qt_error_string(errno)));
        return false;
    }
    if (const QString error = ReplaceFileContents(Path, Bytes); !error.isEmpty()) {
        kCli.Error(QStringLiteral("cannot write %1: %2").arg(Path, error));
        return false;
    }
    return true;
}

} // namespace

int RunDecodeCommand(const QStringList& Args) {
    std::setlocale(LC_ALL, "");
    Options opt;
    ArgumentReader reader(Args);
    reader.AcceptEndOfOptions();
    for (auto kind = reader.Next(); kind != ArgumentReader::Kind::End; kind = reader.Next()) {
        const QString& name = reader.Name();
        const QString& value = reader.Value();
        if (kind == ArgumentReader::Kind::Help) {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (kind == ArgumentReader::Kind::Plain || kind == ArgumentReader::Kind::EndOfOptions) {
            QString file = name;
            if (kind == ArgumentReader::Kind::EndOfOptions) {
                const auto next = reader.TakeRaw();
                if (!next)
                    return kCli.UsageError(QStringLiteral("missing FILE after --"));
                file = *next;
            }
            if (!opt.File.isEmpty())
                return kCli.UsageError(QStringLiteral("more than one FILE given"));
            opt.File = file;
            continue;
        }
        if (kind == ArgumentReader::Kind::MissingValue)
            return kCli.UsageError(QStringLiteral("%1 needs a value").arg(name));
        if (name == QLatin1String("--report")) {
            const auto report = ReportKindOption(value);
            if (!report)
                return kCli.UsageError(QStringLiteral("unknown report '%1'").arg(value));
            opt.Kind = *report;
        } else if (name == QLatin1String("--machine")) {
            const auto machine = MachineOption(value);
            if (!machine)
                return kCli.UsageError(QStringLiteral("machine must be 0, 1 or 2"));
            opt.Machine = *machine;
        } else if (name == QLatin1String("--range")) {
            if (!ParseRangeOption(value, opt))
                return kCli.UsageError(QStringLiteral("bad range '%1'").arg(value));
        } else if (name == QLatin1String("--format")) {
            if (value != QLatin1String("text") && value != QLatin1String("csv") &&
                value != QLatin1String("json"))
                return kCli.UsageError(QStringLiteral("unknown format '%1'").arg(value));
            opt.Format = value;
        } else if (name == QLatin1String("--out")) {
            if (value.isEmpty())
                return kCli.UsageError(QStringLiteral("--out needs a path"));
            opt.Out = value;
        } else {
            return kCli.UsageError(QStringLiteral("unknown option '%1'").arg(name));
        }
    }
    if (opt.File.isEmpty())
        return kCli.UsageError(QStringLiteral("no FILE given"));
    if (!opt.Kind)
        return kCli.UsageError(QStringLiteral("--report is required"));
    const ReportKind kind = *opt.Kind;
    const bool printout = ReportKindOf(kind).Printout;
    if (printout && opt.Format != QLatin1String("text"))
        return kCli.UsageError(
            QStringLiteral("--format %1 is for tax, currency and ram reports").arg(opt.Format));

    // The range is checked before the file, as the window does.
    ReportRange range;
    if (!printout) {
        const RangeParse parsed =
            ParseReportRange(opt.Range.QueryType, opt.Range.From, opt.Range.To);
        if (parsed.Error == ReportError::InvalidInteger)
            return kCli.UsageError(
                QStringLiteral("'%1' is not a valid integer value").arg(parsed.Detail));
        if (parsed.Error == ReportError::RangeError) {
            kCli.Error(QStringLiteral("Data Error"));
            return kExitRange;
        }
        range = parsed.Range;
    }

    ReportOutcome read;
    const std::optional<QByteArray> file = ReadUploadFile(opt.File, read);
    if (read.Error == ReportError::FileMissing) {
        kCli.Error(QStringLiteral("file not exists: %1").arg(opt.File));
        return kExitMissing;
    }
    if (!file) {
        kCli.Error(QStringLiteral("cannot read %1").arg(read.Detail));
        return kExitUnreadable;
    }
    const QByteArray& data = *file;

    QByteArray output;
    if (printout) {
        const ReportError error =
            CutDetailSummaryToFileBytes(data, PrintoutWidth(opt.Machine), output);
        if (error == ReportError::NoReport) {
            kCli.Error(QStringLiteral("no report: %1 holds %2 bytes, no printout block")
                           .arg(opt.File)
                           .arg(data.size()));
            return kExitNoReport;
        }
        if (error != ReportError::None) {
            kCli.Error(ReportOutcome{error, {}, {}}.message());
            return kExitUnreadable;
        }
        return WriteOutput(opt.Out, output) ? kExitOk : kExitUnreadable;
    }

    if (opt.Format == QLatin1String("csv")) {
        output = ChangeReportCsv(data, kind, range);
    } else if (opt.Format == QLatin1String("json")) {
        output = ChangeReportJson(data, kind, range, opt.RangeText);
    } else {
        const ReportOutcome report = BuildChangeReport(data, kind, range, LocaleDecimalSeparator());
        if (!report.ok()) {
            kCli.Error(report.message());
            return kExitUnreadable;
        }
        output = ReportFileBytes(report.Lines);
    }
    return WriteOutput(opt.Out, output) ? kExitOk : kExitUnreadable;
}
