#include "app/core/report_decoding.h"

#include "fm/change_report.h"
#include "fm/detail_report.h"
#include "fm/report_file.h"
#include "fm/upload_layout.h"

namespace {

const QString kWarning = QStringLiteral("warning");

QDateTime StampTime(const ReportDecodeSettings& Settings) {
    return Settings.Now ? Settings.Now() : QDateTime::currentDateTime();
}

QString CaptionOf(const ReportDecodeSettings& Settings, ReportKind Kind) {
    return Settings.ReportCaption.isEmpty() ? ReportTypeCaption(Kind) : Settings.ReportCaption;
}

} // namespace

void WriteFailed(ReportDecodeResult& Result, const QString& Why) {
    Result.Error = ReportError::WriteFailed;
    Result.Detail = Why;
    Result.Failed = true;
    Result.Message = {Why, kWarning, false};
}

namespace {

// Writes the report and adds its list entry. On failure the result carries the error; the
// caller chooses the message.
bool WriteAndRegister(const QList<QByteArray>& Lines, ReportKind Kind,
                      const ReportDecodeSettings& Settings, ReportDecodeResult& Result) {
    const QString prefix = ReportFilePrefix(Kind);
    try {
        Result.ReportPath =
            WriteReportFile(Settings.TxtfileDir, prefix, StampTime(Settings), Lines);
    } catch (const FileError& e) {
        WriteFailed(Result,
                    QStringLiteral("Cannot write %1").arg(QString::fromStdString(e.what())));
        return false;
    }
    if (!Settings.AddListEntry)
        return true;
    const QString error = Settings.AddListEntry(Result.ReportPath, CaptionOf(Settings, Kind));
    if (!error.isEmpty()) {
        WriteFailed(Result, error);
        return false;
    }
    Result.ListEntryAdded = true;
    return true;
}

void FileMissing(ReportDecodeResult& Result, const MessageTable& Messages, const QString& HexFile) {
    Result.Error = ReportError::FileMissing;
    Result.Detail = HexFile;
    Result.Failed = true;
    Result.Message = {Messages.MsgFileNotExists, kWarning, true};
}

} // namespace

ReportDecodeResult DecodeDetailSummary(const QString& HexFile, ReportKind Kind,
                                       const ReportDecodeSettings& Settings,
                                       const MessageTable& Messages) {
    ReportDecodeResult result;
    const ReportOutcome outcome = DecodeDetailSummaryFile(HexFile, Settings.MachineIndex);
    if (outcome.Error == ReportError::FileMissing) {
        FileMissing(result, Messages, HexFile);
        return result;
    }
    if (outcome.Error == ReportError::NoReport) {
        // Nothing but the end block came: no report, and nothing went wrong.
        result.Error = ReportError::NoReport;
        return result;
    }
    const bool printout = ReportKindOf(Kind).Printout;
    if (outcome.ok() && printout && WriteAndRegister(outcome.Lines, Kind, Settings, result))
        return result;
    if (result.Error == ReportError::WriteFailed)
        return result; // the machine is not to blame: the operator learns the reason
    if (!outcome.ok()) {
        result.Error = outcome.Error;
        result.Detail = outcome.Detail;
    } else if (!printout) {
        result.Error = ReportError::DataError;
        result.Detail =
            QStringLiteral("report kind %1 is not a printout report").arg(static_cast<int>(Kind));
    }
    result.Failed = true;
    result.Message = {Messages.MsgChooseMachine, QString(), false};
    return result;
}

ReportDecodeResult DecodeChangeReport(const QString& HexFile, ReportKind Kind,
                                      const ReportDecodeSettings& Settings,
                                      const MessageTable& Messages) {
    ReportDecodeResult result;
    const ReportOutcome outcome =
        DecodeChangeReportFile(HexFile, Kind, Settings.QueryType, Settings.FromText,
                               Settings.ToText, Settings.DecimalSeparator);
    switch (outcome.Error) {
    case ReportError::None:
        if (WriteAndRegister(outcome.Lines, Kind, Settings, result) ||
            result.Error == ReportError::WriteFailed)
            return result;
        break;
    case ReportError::FileMissing:
        FileMissing(result, Messages, HexFile);
        return result;
    case ReportError::InvalidInteger:
    case ReportError::RangeError:
        result.Error = outcome.Error;
        result.Detail = outcome.Detail;
        result.Failed = true;
        result.Message = {outcome.message(), QString(), false};
        return result;
    default:
        result.Error = outcome.Error;
        result.Detail = outcome.Detail;
        break;
    }
    result.Failed = true;
    result.Message = {QStringLiteral("data error"), kWarning, false};
    return result;
}
