#include "fm/report_outcome.h"

#include <iterator>

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

namespace {

// The names of each report kind, in the order of ReportKind.
struct ReportKindNames {
    const char* FilePrefix;
    const char* Caption;
};

constexpr ReportKindNames kReportKindNames[] = {
    {"Detail", "Detail"},           {"Summary", "Summary"},  {"Tax", "Change the tax rate"},
    {"Chy", "Change the currency"}, {"Ram", "RAM Clearing"},
};

const ReportKindNames* NamesOf(int Kind) {
    if (Kind < 0 || Kind >= int(std::size(kReportKindNames)))
        return nullptr;
    return &kReportKindNames[Kind];
}

} // namespace

QString ReportFilePrefix(int Kind) {
    const ReportKindNames* names = NamesOf(Kind);
    return names ? QString::fromLatin1(names->FilePrefix) : QString();
}

QString ReportTypeCaption(int Kind) {
    const ReportKindNames* names = NamesOf(Kind);
    return names ? QString::fromLatin1(names->Caption) : QString();
}
