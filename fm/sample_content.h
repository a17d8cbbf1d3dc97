#pragma once

#include <QByteArray>
#include <QList>

#include <cstdint>

// Realistic device content for samples, tests, the simulator and benchmarks. Everything is
// deterministic from the seed (the same seed gives the same bytes on every platform). Text
// is Windows-1250 device text with Polish letters.

// A header upload of BlockCount (1..3) 256-byte blocks: shop name, address and tax number in
// 40-byte text fields; only the last block ends with A5 A5.
QByteArray SampleHeaderBlocks(std::uint32_t Seed, int BlockCount = 1);

// A footer upload: two 256-byte blocks, text fields in the first, each ending with A5 A5.
QByteArray SampleFooterBlocks(std::uint32_t Seed);

// The ten-block change-data area: tax-rate changes over several years, currency changes
// (PLN, EUR, PLN), RAM clearings; everything else is erased memory (0xFF).
QByteArray SampleChangeDataArea(std::uint32_t Seed);

// Header + change data + footer, as the upload leaves it.
QByteArray SampleJoinedChangeFile(std::uint32_t Seed, int HeaderBlocks = 1);

// Printout lines of a periodic fiscal report covering Days daily reports, and of a summary
// report over Months months; lines are at most Width characters.
QList<QByteArray> SampleDetailLines(std::uint32_t Seed, int Width, int Days);
QList<QByteArray> SampleSummaryLines(std::uint32_t Seed, int Width, int Months);

// Packs printout lines into 256-byte blocks of 256 div Width fields (a line shorter than
// Width ends with NUL), unused fields NUL, and the last block ending with A5 at bytes 254
// and 255. Lines longer than Width are cut.
QByteArray PackPrintoutBlocks(const QList<QByteArray>& Lines, int Width);

QByteArray SampleDetailUpload(std::uint32_t Seed, int Width, int Days);
QByteArray SampleSummaryUpload(std::uint32_t Seed, int Width, int Months);

// The files shipped in samples/, by file name: a Pelta (width 40) Detail upload, a Summary
// upload and a joined change file with a one-block header.
struct SampleFile {
    const char* Name;
    QByteArray Bytes;
};
QList<SampleFile> ShippedSampleFiles();

// A 23-byte tax-rate-change record, a 20-byte currency-change record and a 7-byte
// RAM-clearing record, for building fixtures. Rates in hundredths of a percent; dates and
// times as plain numbers (encoded as BCD here).
QByteArray EncodeTaxChange(const std::uint16_t (&Rates)[9], int Year, int Month, int Day,
                           int ZNumber);
QByteArray EncodeCurrencyChange(int Year, int Month, int Day, int Hour, int Minute, int ZNumber,
                                const QByteArray& Currency);
QByteArray EncodeRamClearing(int ZNumber, int Year, int Month, int Day, int Hour, int Minute,
                             bool DayFlag = false);
