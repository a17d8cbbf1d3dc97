#include "fm/report_kinds.h"

#include <iterator>

namespace {

constexpr ReportKindInfo kReportKinds[] = {
    {ReportKind::Detail, H_UPLOAD_Detail, false, true, "Detail", "Detail", "detail"},
    {ReportKind::Summary, H_UPLOAD_Summary, false, true, "Summary", "Summary", "summary"},
    {ReportKind::Tax, H_UPLOAD_EPROM, true, false, "Tax", "Change the tax rate", "tax"},
    {ReportKind::Currency, H_UPLOAD_EPROM, true, false, "Chy", "Change the currency", "currency"},
    {ReportKind::Ram, H_UPLOAD_EPROM, true, false, "Ram", "RAM Clearing", "ram"},
};

} // namespace

std::span<const ReportKindInfo> ReportKinds() {
    return kReportKinds;
}

std::optional<ReportKind> ReportKindAt(int Index) {
    if (Index < 0 || Index >= int(std::size(kReportKinds)))
        return std::nullopt;
    return kReportKinds[Index].Kind;
}

const ReportKindInfo& ReportKindOf(ReportKind Kind) {
    return kReportKinds[static_cast<int>(Kind)];
}

std::optional<ReportKind> ReportKindByCliName(const QString& Name) {
    for (const ReportKindInfo& k : kReportKinds)
        if (Name == QLatin1String(k.CliName))
            return k.Kind;
    return std::nullopt;
}

QString ReportFilePrefix(ReportKind Kind) {
    return QString::fromLatin1(ReportKindOf(Kind).FilePrefix);
}

QString ReportTypeCaption(ReportKind Kind) {
    return QString::fromLatin1(ReportKindOf(Kind).Caption);
}
