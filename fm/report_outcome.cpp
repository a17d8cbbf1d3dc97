#include "fm/report_outcome.h"

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
    }
    return {};
}

QString ReportFilePrefix(int Kind) {
    switch (Kind) {
    case 0:
        return QStringLiteral("Detail");
    case 1:
        return QStringLiteral("Summary");
    case 2:
        return QStringLiteral("Tax");
    case 3:
        return QStringLiteral("Chy");
    case 4:
        return QStringLiteral("Ram");
    default:
        return {};
    }
}
