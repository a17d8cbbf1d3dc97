#pragma once

#include "sim/content_source.h"

#include <QList>

#include <cstdint>
#include <memory>

// The fiscal memory of the simulated device, built by the deterministic sample generator: a
// shop that issued one daily (Z) report a day from 2024-01-01 on, Days of them in all.
struct GeneratedContentSettings {
    std::uint32_t Seed = 1;
    int Width = 40; // printout width of the device model: 20, 40 or 42
    int Days = 60;  // daily reports in the fiscal memory (Z numbers 1..Days)
    int HeaderBlocks = 1;
};

class GeneratedContent : public ContentSource {
public:
    explicit GeneratedContent(GeneratedContentSettings Settings);

    // Detail: the periodic report cut to the daily reports the range selects (by Z number or
    // by date); the grand totals are printed only when every report of the memory is in it.
    // Summary: one section per month from January 2024 up to the month of the last selected
    // daily report.
    QByteArray FiscalMemory(FmArea Area, const PrintoutRange& Range) override;
    QByteArray ChangeData() override;

    // The printout lines before they are packed into blocks (for tests).
    QList<QByteArray> DetailLines(const PrintoutRange& Range) const;

private:
    // Z numbers of the first and last selected daily report; First > Last when none.
    std::pair<int, int> SelectedReports(const PrintoutRange& Range) const;

    GeneratedContentSettings m_settings;
};

std::shared_ptr<ContentSource> MakeDefaultContent(GeneratedContentSettings Settings = {});
