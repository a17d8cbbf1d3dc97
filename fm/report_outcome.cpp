#include "fm/report_outcome.h"

#include "fm/upload_layout.h"

#include <QFileInfo>

QString ReportOutcome::message() const {
    switch (Error) {
    case ReportError::None:
        return {};
    case ReportError::InvalidInteger:
        return QStringLiteral("'%1' is not a valid integer value").arg(Detail);
    case ReportError::RangeError:
        return QStringLiteral("Data Error");
    case ReportError::FileMissing:
        return QStringLiteral("file not exists");
    case ReportError::DataError:
        return Detail.isEmpty() ? QStringLiteral("data error")
                                : QStringLiteral("data error: %1").arg(Detail);
    case ReportError::NoReport:
        return QStringLiteral("no report: the upload holds no printout");
    case ReportError::WriteFailed:
        return Detail;
    }
    return {};
}

std::optional<QByteArray> ReadUploadFile(const QString& Path, ReportOutcome& Out) {
    if (Path.isEmpty() || !QFileInfo::exists(Path)) {
        Out.Error = ReportError::FileMissing;
        Out.Detail = Path;
        return std::nullopt;
    }
    try {
        return ReadWholeFile(Path);
    } catch (const FileError& e) {
        Out.Error = ReportError::DataError;
        Out.Detail = QString::fromStdString(e.what());
        return std::nullopt;
    }
}
