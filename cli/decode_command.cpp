// orvexfm-cli decode: turns an upload file into the program's report (text) or, for the
// change reports, into CSV or JSON records.

#include "cli/change_export.h"
#include "fm/change_report.h"
#include "fm/detail_report.h"
#include "fm/report_file.h"
#include "fm/upload_layout.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

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
    "  --out      write to PATH instead of standard output\n"
    "\n"
    "exit status: 0 report written, 1 no report (upload of 256 bytes or less),\n"
    "  2 bad usage, 3 input file does not exist, 4 range invalid (Data Error),\n"
    "  5 file cannot be read or decoded, or the output cannot be written\n";

struct Options {
    QString File;
    int Kind = -1;
    int Machine = 1;
    int QueryType = 2;
    QString From;
    QString To;
    QString RangeText = QStringLiteral("all");
    QString Format = QStringLiteral("text");
    QString Out;
};

void Error(const QString& Message) {
    std::fprintf(stderr, "orvexfm-cli decode: %s\n", Message.toLocal8Bit().constData());
}

int UsageError(const QString& Message) {
    Error(Message);
    std::fprintf(stderr, "try 'orvexfm-cli decode --help'\n");
    return kExitUsage;
}

std::optional<int> KindOf(const QString& Name) {
    static const char* const names[] = {"detail", "summary", "tax", "currency", "ram"};
    for (int i = 0; i < 5; ++i) {
        if (Name == QLatin1String(names[i]))
            return i;
    }
    return std::nullopt;
}

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
    if (Text == QLatin1String("all")) {
        Opt.QueryType = 2;
        return true;
    }
    QString body;
    if (Text.startsWith(QLatin1String("z:"))) {
        Opt.QueryType = 0;
        body = Text.mid(2);
    } else if (Text.startsWith(QLatin1String("date:"))) {
        Opt.QueryType = 1;
        body = Text.mid(5);
    } else {
        return false;
    }
    const qsizetype dash = body.indexOf(QLatin1Char('-'), 1);
    if (dash < 0)
        return false;
    Opt.From = body.left(dash);
    Opt.To = body.mid(dash + 1);
    if (Opt.QueryType == 1)
        return IsSixDigits(Opt.From) && IsSixDigits(Opt.To);
    return !Opt.From.isEmpty() && !Opt.To.isEmpty();
}

// Writes Bytes to Path (replacing it only once complete) or to standard output.
bool WriteOutput(const QString& Path, const QByteArray& Bytes) {
    if (Path.isEmpty()) {
        const std::size_t n = std::fwrite(Bytes.constData(), 1, std::size_t(Bytes.size()), stdout);
        return std::fflush(stdout) == 0 && n == std::size_t(Bytes.size());
    }
    QSaveFile file(Path);
    if (!file.open(QIODevice::WriteOnly)) {
        Error(QStringLiteral("cannot write %1: %2").arg(Path, file.errorString()));
        return false;
    }
    if (file.write(Bytes) != Bytes.size() || !file.commit()) {
        Error(QStringLiteral("cannot write %1: %2").arg(Path, file.errorString()));
        return false;
    }
    return true;
}

QChar LocaleDecimalSeparator() {
    const char* point = std::localeconv()->decimal_point;
    if (point == nullptr || point[0] == '\0')
        return QLatin1Char('.');
    const QString text = QString::fromLocal8Bit(point);
    return text.isEmpty() ? QLatin1Char('.') : text.front();
}

} // namespace

int RunDecodeCommand(const QStringList& Args) {
    std::setlocale(LC_ALL, "");
    Options opt;
    for (qsizetype i = 0; i < Args.size(); ++i) {
        QString arg = Args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (!arg.startsWith(QLatin1String("--")) || arg == QLatin1String("--")) {
            if (arg == QLatin1String("--")) {
                if (++i >= Args.size())
                    return UsageError(QStringLiteral("missing FILE after --"));
                arg = Args[i];
            }
            if (!opt.File.isEmpty())
                return UsageError(QStringLiteral("more than one FILE given"));
            opt.File = arg;
            continue;
        }
        QString name = arg;
        QString value;
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        if (eq >= 0) {
            name = arg.left(eq);
            value = arg.mid(eq + 1);
        } else {
            if (i + 1 >= Args.size())
                return UsageError(QStringLiteral("%1 needs a value").arg(name));
            value = Args[++i];
        }
        if (name == QLatin1String("--report")) {
            const auto kind = KindOf(value);
            if (!kind)
                return UsageError(QStringLiteral("unknown report '%1'").arg(value));
            opt.Kind = *kind;
        } else if (name == QLatin1String("--machine")) {
            if (value != QLatin1String("0") && value != QLatin1String("1") &&
                value != QLatin1String("2"))
                return UsageError(QStringLiteral("machine must be 0, 1 or 2"));
            opt.Machine = value.toInt();
        } else if (name == QLatin1String("--range")) {
            if (!ParseRangeOption(value, opt))
                return UsageError(QStringLiteral("bad range '%1'").arg(value));
        } else if (name == QLatin1String("--format")) {
            if (value != QLatin1String("text") && value != QLatin1String("csv") &&
                value != QLatin1String("json"))
                return UsageError(QStringLiteral("unknown format '%1'").arg(value));
            opt.Format = value;
        } else if (name == QLatin1String("--out")) {
            if (value.isEmpty())
                return UsageError(QStringLiteral("--out needs a path"));
            opt.Out = value;
        } else {
            return UsageError(QStringLiteral("unknown option '%1'").arg(name));
        }
    }
    if (opt.File.isEmpty())
        return UsageError(QStringLiteral("no FILE given"));
    if (opt.Kind < 0)
        return UsageError(QStringLiteral("--report is required"));
    const bool printout = opt.Kind <= 1;
    if (printout && opt.Format != QLatin1String("text"))
        return UsageError(
            QStringLiteral("--format %1 is for tax, currency and ram reports").arg(opt.Format));

    // The range is checked before the file, as the window does.
    ReportRange range;
    if (!printout) {
        const RangeParse parsed = ParseReportRange(opt.QueryType, opt.From, opt.To);
        if (parsed.Error == ReportError::InvalidInteger)
            return UsageError(
                QStringLiteral("'%1' is not a valid integer value").arg(parsed.Detail));
        if (parsed.Error == ReportError::RangeError) {
            Error(QStringLiteral("Data Error"));
            return kExitRange;
        }
        range = parsed.Range;
    }

    if (!QFileInfo::exists(opt.File)) {
        Error(QStringLiteral("file not exists: %1").arg(opt.File));
        return kExitMissing;
    }
    QByteArray data;
    try {
        data = ReadWholeFile(opt.File);
    } catch (const FileError& e) {
        Error(QStringLiteral("cannot read %1").arg(QString::fromStdString(e.what())));
        return kExitUnreadable;
    }

    QByteArray output;
    if (printout) {
        const ReportError error =
            CutDetailSummaryToFileBytes(data, PrintoutWidth(opt.Machine), output);
        if (error == ReportError::NoReport) {
            Error(QStringLiteral("no report: %1 holds %2 bytes, no printout block")
                      .arg(opt.File)
                      .arg(data.size()));
            return kExitNoReport;
        }
        if (error != ReportError::None) {
            Error(ReportOutcome{error, {}, {}}.message());
            return kExitUnreadable;
        }
        return WriteOutput(opt.Out, output) ? kExitOk : kExitUnreadable;
    }

    if (opt.Format == QLatin1String("csv")) {
        output = ChangeReportCsv(data, opt.Kind, range);
    } else if (opt.Format == QLatin1String("json")) {
        output = ChangeReportJson(data, opt.Kind, range, opt.RangeText);
    } else {
        const ReportOutcome report =
            BuildChangeReport(data, opt.Kind, range, LocaleDecimalSeparator());
        if (!report.ok()) {
            Error(report.message());
            return kExitUnreadable;
        }
        output = ReportFileBytes(report.Lines);
    }
    return WriteOutput(opt.Out, output) ? kExitOk : kExitUnreadable;
}
