#include "sim/sim_content.h"

#include "fm/sample_content.h"

#include <QDate>

#include <algorithm>

namespace {

const QDate kFirstDay(2024, 1, 1);

int AsYymmdd(const QDate& Date) {
    return (Date.year() % 100) * 10000 + Date.month() * 100 + Date.day();
}

QByteArray DateText(const QDate& Date) {
    return Date.toString(QStringLiteral("yyyy-MM-dd")).toLatin1();
}

} // namespace

GeneratedContent::GeneratedContent(GeneratedContentSettings Settings) : m_settings(Settings) {
    m_settings.Days = std::max(0, m_settings.Days);
    m_settings.HeaderBlocks = std::clamp(m_settings.HeaderBlocks, 1, 3);
}

std::pair<int, int> GeneratedContent::SelectedReports(const PrintoutRange& Range) const {
    const int days = m_settings.Days;
    switch (Range.RangeKind) {
    case PrintoutRange::Kind::Whole:
        return {1, days};
    case PrintoutRange::Kind::ZNumbers:
        return {std::max(1, Range.First), std::min(days, Range.Last)};
    case PrintoutRange::Kind::Dates: {
        // Daily reports are one a day, so the selected ones are a contiguous run.
        int first = 0;
        int last = -1;
        for (int z = 1; z <= days; ++z) {
            const int date = AsYymmdd(kFirstDay.addDays(z - 1));
            if (date < Range.First || date > Range.Last)
                continue;
            if (first == 0)
                first = z;
            last = z;
        }
        return {first == 0 ? 1 : first, last};
    }
    }
    return {1, 0};
}

QList<QByteArray> GeneratedContent::DetailLines(const PrintoutRange& Range) const {
    const int width = m_settings.Width;
    const QList<QByteArray> all = SampleDetailLines(m_settings.Seed, width, m_settings.Days);
    const auto [first, last] = SelectedReports(Range);
    if (first == 1 && last == m_settings.Days)
        return all;

    // The generated printout: title lines, "od"/"do" dates, one section per daily report
    // opened by a dashed line, then the totals opened by a line of '='.
    const QByteArray dashes(std::min(width, 40), '-');
    const QByteArray equals(std::min(width, 40), '=');
    QList<QByteArray> out;
    int z = 0;
    bool inTotals = false;
    for (qsizetype i = 0; i < all.size(); ++i) {
        const QByteArray& line = all[i];
        if (line == dashes) {
            ++z;
        } else if (line == equals) {
            inTotals = true;
        }
        if (z == 0) {
            QByteArray header = line;
            if (i == 2 || i == 3) {
                // The period lines name the selected reports' dates.
                if (first > last)
                    continue;
                const QDate from = kFirstDay;
                const QDate to = kFirstDay.addDays(m_settings.Days - 1);
                if (i == 2)
                    header.replace(DateText(from), DateText(kFirstDay.addDays(first - 1)));
                else
                    header.replace(DateText(to), DateText(kFirstDay.addDays(last - 1)));
            }
            out.append(header);
        } else if (inTotals) {
            // Grand totals cover the whole memory: left out of a part of it.
            if (line == equals || i == all.size() - 1)
                out.append(line);
        } else if (z >= first && z <= last) {
            out.append(line);
        }
    }
    return out;
}

QByteArray GeneratedContent::FiscalMemory(FmArea Area, const PrintoutRange& Range) {
    switch (Area) {
    case FmArea::Detail:
        return PackPrintoutBlocks(DetailLines(Range), m_settings.Width);
    case FmArea::Summary: {
        const auto [first, last] = SelectedReports(Range);
        int months = 0;
        if (first <= last) {
            const QDate lastDay = kFirstDay.addDays(last - 1);
            months = (lastDay.year() - kFirstDay.year()) * 12 + lastDay.month();
        }
        return SampleSummaryUpload(m_settings.Seed, m_settings.Width, months);
    }
    case FmArea::Header:
        return SampleHeaderBlocks(m_settings.Seed, m_settings.HeaderBlocks);
    case FmArea::Footer:
        return SampleFooterBlocks(m_settings.Seed);
    }
    return {};
}

QByteArray GeneratedContent::ChangeData() {
    return SampleChangeDataArea(m_settings.Seed);
}

std::shared_ptr<ContentSource> MakeDefaultContent(GeneratedContentSettings Settings) {
    return std::make_shared<GeneratedContent>(Settings);
}
