#include "fm/sample_content.h"

#include "fm/cp1250.h"
#include "fm/field_decoder.h"
#include "fm/text_helpers.h"
#include "fm/upload_layout.h"

#include <QDate>
#include <QString>

#include <algorithm>
#include <cstdio>

namespace {

// SplitMix64: tiny, and the same sequence everywhere (unlike the standard distributions).
class Rng {
public:
    explicit Rng(std::uint64_t Seed) : m_state(Seed * 0x9E3779B97F4A7C15ull + 0x1234567ull) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Below(int N) { return N <= 0 ? 0 : int(Next() % std::uint64_t(N)); }
    int Between(int Lo, int Hi) { return Lo + Below(Hi - Lo + 1); }

private:
    std::uint64_t m_state;
};

QByteArray Dev(const char* Utf8) {
    return UnicodeToCp1250(QString::fromUtf8(Utf8));
}

std::uint8_t Bcd(int Value) {
    return static_cast<std::uint8_t>(((Value / 10) % 10) * 16 + Value % 10);
}

void PutText(QByteArray& Area, int Offset, int Width, const QByteArray& Text) {
    const QByteArray t = Text.left(Width);
    std::copy(t.begin(), t.end(), Area.begin() + Offset);
}

QByteArray Centred(const QByteArray& Text, int Width) {
    return PadLine(Text, QByteArray(), 2, Width).left(Width);
}

QByteArray Money(std::int64_t Grosze) {
    char buf[32];
    const int n =
        std::snprintf(buf, sizeof buf, "%lld,%02lld", static_cast<long long>(Grosze / 100),
                      static_cast<long long>(Grosze % 100));
    return QByteArray(buf, n);
}

QByteArray Pair(const QByteArray& Left, const QByteArray& Right, int Width) {
    return PadLine(Left, Right, 3, Width).left(Width);
}

const char* const kShops[] = {
    "PRZEDSIĘBIORSTWO HANDLOWE „ŁOŚ”",
    "SKLEP SPOŻYWCZY ŻABIŃSCY S.C.",
    "PIEKARNIA ŚWIĘTOKRZYSKA SP. Z O.O.",
    "DROGERIA ŹRÓDEŁKO",
};
const char* const kStreets[] = {
    "ul. Świętokrzyska 12",
    "ul. Łódzka 7/3",
    "al. Żołnierzy Września 41",
    "ul. Gęślarska 5",
};
const char* const kTowns[] = {
    "00-950 Warszawa",
    "90-001 Łódź",
    "25-004 Kielce",
    "80-831 Gdańsk",
};

struct RateSet {
    std::uint16_t Rates[9];
};

// Rate history in hundredths of a percent; 10000 exempt, 9999 not in use.
const RateSet kRateHistory[] = {
    {{2200, 700, 300, 0, 9999, 9999, 10000, 9999, 9999}},
    {{2300, 800, 500, 0, 9999, 9999, 10000, 9999, 9999}},
    {{2300, 800, 500, 0, 800, 9999, 10000, 9999, 9999}},
    {{2300, 800, 500, 0, 0, 9999, 10000, 9999, 9999}},
    {{2300, 800, 500, 0, 500, 2300, 10000, 9999, 9999}},
};

} // namespace

QByteArray EncodeTaxChange(const std::uint16_t (&Rates)[9], int Year, int Month, int Day,
                           int ZNumber) {
    QByteArray r(kTaxRecordSize, '\0');
    for (int i = 0; i < 9; ++i) {
        r[2 * i] = static_cast<char>(Rates[i] & 0xFF);
        r[2 * i + 1] = static_cast<char>(Rates[i] >> 8);
    }
    r[18] = static_cast<char>(Bcd(Day));
    r[19] = static_cast<char>(Bcd(Month));
    r[20] = static_cast<char>(Bcd(Year));
    r[21] = static_cast<char>(ZNumber & 0xFF);
    r[22] = static_cast<char>((ZNumber >> 8) & 0xFF);
    return r;
}

QByteArray EncodeCurrencyChange(int Year, int Month, int Day, int Hour, int Minute, int ZNumber,
                                const QByteArray& Currency) {
    QByteArray r(kCurrencyRecordSize, '\0');
    r[0] = static_cast<char>(Bcd(Year));
    r[1] = static_cast<char>(Bcd(Month));
    r[2] = static_cast<char>(Bcd(Day));
    r[3] = static_cast<char>(Bcd(Hour));
    r[4] = static_cast<char>(Bcd(Minute));
    r[5] = static_cast<char>(ZNumber & 0xFF);
    r[6] = static_cast<char>((ZNumber >> 8) & 0xFF);
    PutText(r, 7, 3, Currency);
    return r;
}

QByteArray EncodeRamClearing(int ZNumber, int Year, int Month, int Day, int Hour, int Minute,
                             bool DayFlag) {
    QByteArray r(kRamRecordSize, '\0');
    r[0] = static_cast<char>(ZNumber & 0xFF);
    r[1] = static_cast<char>((ZNumber >> 8) & 0xFF);
    r[2] = static_cast<char>(Bcd(Year));
    r[3] = static_cast<char>(Bcd(Month));
    r[4] = static_cast<char>(Bcd(Day) | (DayFlag ? 0x80 : 0));
    r[5] = static_cast<char>(Bcd(Hour));
    r[6] = static_cast<char>(Bcd(Minute));
    return r;
}

QByteArray SampleHeaderBlocks(std::uint32_t Seed, int BlockCount) {
    BlockCount = std::clamp(BlockCount, 1, 3);
    Rng rng(Seed);
    const int shop = rng.Below(4);
    QByteArray area(BlockCount * kHeaderBlockSize, '\0');
    QList<QByteArray> lines = {
        Centred(Dev(kShops[shop]), kTextFieldWidth),
        Centred(Dev(kStreets[shop]), kTextFieldWidth),
        Centred(Dev(kTowns[shop]), kTextFieldWidth),
    };
    char nip[40];
    // One draw per statement: the order of evaluation of arguments differs between compilers.
    const int nip1 = rng.Between(100, 999);
    const int nip2 = rng.Between(100, 999);
    const int nip3 = rng.Below(100);
    const int nip4 = rng.Below(100);
    std::snprintf(nip, sizeof nip, "NIP %03d-%03d-%02d-%02d", nip1, nip2, nip3, nip4);
    lines.append(Centred(nip, kTextFieldWidth));
    if (BlockCount > 1) {
        lines.append(Centred(Dev("Zapraszamy codziennie 7:00–21:00"), kTextFieldWidth));
        lines.append(Centred(Dev("Dziękujemy za zakupy!"), kTextFieldWidth));
    }
    // Spread the lines over the header's text fields, the last ones near its end.
    const int fields = BlockCount * kHeaderBlockSize / kTextFieldWidth;
    for (int i = 0; i < lines.size(); ++i) {
        const int field = i < 4 ? i : fields - int(lines.size()) + i;
        PutText(area, field * kTextFieldWidth, kTextFieldWidth, lines[i]);
    }
    area[area.size() - 2] = static_cast<char>(kBlockEndMarker);
    area[area.size() - 1] = static_cast<char>(kBlockEndMarker);
    return area;
}

QByteArray SampleFooterBlocks(std::uint32_t Seed) {
    Rng rng(Seed ^ 0xF00Du);
    QByteArray area(kFooterArea, '\0');
    char unique[40];
    std::snprintf(unique, sizeof unique, "NR UNIKATOWY: BCA %08d", rng.Between(10000000, 99999999));
    const int registryNumber = rng.Between(1000, 9999);
    const int registrySuffix = rng.Between(10, 99);
    const QByteArray registry =
        QByteArray::number(registryNumber) + "/" + QByteArray::number(registrySuffix);
    const QList<QByteArray> lines = {
        Centred(Dev("PAMIĘĆ FISKALNA"), kTextFieldWidth),
        Pair(Dev("Model:"), "ORVEX PELTA", kTextFieldWidth),
        Pair(Dev("Nr ewidencyjny:"), registry, kTextFieldWidth),
        Centred(unique, kTextFieldWidth),
        Centred(Dev("Urząd Skarbowy Warszawa-Śródmieście"), kTextFieldWidth),
    };
    for (int i = 0; i < lines.size(); ++i)
        PutText(area, i * kTextFieldWidth, kTextFieldWidth, lines[i]);
    // Only the last block carries the end marker: a marker in the first block would end the
    // device's footer upload there, one block short.
    area[area.size() - 2] = static_cast<char>(kBlockEndMarker);
    area[area.size() - 1] = static_cast<char>(kBlockEndMarker);
    return area;
}

QByteArray SampleChangeDataArea(std::uint32_t Seed) {
    Rng rng(Seed ^ 0xC4A96Eu);
    QByteArray area(kChangeDataSize, static_cast<char>(0xFF));
    // Fiscalisation bytes no report reads.
    for (int i = 0; i < kCurrencyTableOffset; ++i)
        area[i] = static_cast<char>(rng.Below(256));

    const int firstYear = 14 + rng.Below(4);
    int z = 1;
    // Tax-rate changes: the fiscalisation, then a change every year or two.
    int year = firstYear;
    const int taxChanges = 4 + rng.Below(2);
    for (int i = 0; i < taxChanges; ++i) {
        const RateSet& rates = kRateHistory[std::min(i, 4)];
        const int month = i == 0 ? rng.Between(1, 12) : 1;
        const int day = i == 0 ? rng.Between(1, 28) : 1;
        PutText(area, kTaxTableOffset + i * kTaxRecordSize, kTaxRecordSize,
                EncodeTaxChange(rates.Rates, year, month, day, z));
        year += 1 + rng.Below(2);
        z += 250 + rng.Below(120);
    }

    // Currency: the accounting currency at fiscalisation, a trial switch and back.
    const char* currencies[] = {"PLN", "EUR", "PLN"};
    for (int i = 0; i < 3; ++i) {
        const int month = rng.Between(1, 12);
        const int day = rng.Between(1, 28);
        const int hour = rng.Between(6, 22);
        const int minute = rng.Below(60);
        PutText(area, kCurrencyTableOffset + i * kCurrencyRecordSize, kCurrencyRecordSize,
                EncodeCurrencyChange(firstYear + 2 * i, month, day, hour, minute, 1 + 400 * i,
                                     currencies[i]));
    }

    // RAM clearings: service visits spread over the years.
    const int clearings = 5 + rng.Below(4);
    int ramZ = 1;
    for (int i = 0; i < clearings; ++i) {
        const int month = rng.Between(1, 12);
        const int day = rng.Between(1, 28);
        const int hour = rng.Between(7, 20);
        const int minute = rng.Below(60);
        const bool flag = rng.Below(2) == 1;
        PutText(area, kRamTableOffset + i * kRamRecordSize, kRamRecordSize,
                EncodeRamClearing(ramZ, firstYear + i, month, day, hour, minute, flag));
        ramZ += 150 + rng.Below(200);
    }
    return area;
}

QByteArray SampleJoinedChangeFile(std::uint32_t Seed, int HeaderBlocks) {
    return SampleHeaderBlocks(Seed, HeaderBlocks) + SampleChangeDataArea(Seed) +
           SampleFooterBlocks(Seed);
}

QList<QByteArray> SampleDetailLines(std::uint32_t Seed, int Width, int Days) {
    Rng rng(Seed ^ 0xDE7A11u);
    const bool narrow = Width < 30;
    QList<QByteArray> lines;
    const QDate start(2024, 1, 1);
    const QDate end = start.addDays(std::max(Days, 1) - 1);
    lines.append(Centred(Dev(kShops[Seed % 4]), Width));
    lines.append(Centred(Dev(narrow ? "RAPORT OKRESOWY" : "RAPORT FISKALNY OKRESOWY"), Width));
    lines.append(Pair(Dev("od"), start.toString(QStringLiteral("yyyy-MM-dd")).toLatin1(), Width));
    lines.append(Pair(Dev("do"), end.toString(QStringLiteral("yyyy-MM-dd")).toLatin1(), Width));
    const char* letters = "ABCD";
    const int rates[] = {2300, 800, 500, 0};
    std::int64_t total[4] = {};
    for (int d = 0; d < Days; ++d) {
        char title[48];
        std::snprintf(title, sizeof title, narrow ? "RAP.DOB. NR %04d" : "RAPORT DOBOWY NR %04d",
                      d + 1);
        lines.append(QByteArray(std::min(Width, 40), '-'));
        lines.append(title);
        lines.append(start.addDays(d).toString(QStringLiteral("yyyy-MM-dd")).toLatin1());
        std::int64_t vat = 0;
        std::int64_t gross = 0;
        for (int l = 0; l < 4; ++l) {
            const std::int64_t sales = rng.Between(0, 500000);
            const std::int64_t tax = sales * rates[l] / (10000 + rates[l]);
            total[l] += sales;
            vat += tax;
            gross += sales;
            lines.append(Pair(Dev(narrow ? "SPRZED. " : "SPRZEDAŻ OPODATK. ") + letters[l],
                              Money(sales), Width));
            if (rates[l] > 0)
                lines.append(Pair("PTU " + QByteArray(1, letters[l]), Money(tax), Width));
        }
        lines.append(Pair(Dev(narrow ? "ŁĄCZNA PTU" : "ŁĄCZNA KWOTA PTU"), Money(vat), Width));
        lines.append(Pair(Dev(narrow ? "NALEŻNOŚĆ" : "ŁĄCZNA NALEŻNOŚĆ"), Money(gross), Width));
        lines.append(Pair(Dev("Paragony:"), QByteArray::number(rng.Between(20, 400)), Width));
    }
    lines.append(QByteArray(std::min(Width, 40), '='));
    for (int l = 0; l < 4; ++l)
        lines.append(Pair(Dev("RAZEM ") + letters[l], Money(total[l]), Width));
    lines.append(Centred(Dev("KONIEC RAPORTU"), Width));
    return lines;
}

QList<QByteArray> SampleSummaryLines(std::uint32_t Seed, int Width, int Months) {
    Rng rng(Seed ^ 0x5AAA5u);
    const bool narrow = Width < 30;
    QList<QByteArray> lines;
    lines.append(Centred(Dev(kShops[Seed % 4]), Width));
    lines.append(Centred(Dev(narrow ? "PODSUMOWANIE" : "RAPORT PODSUMOWUJĄCY"), Width));
    std::int64_t all = 0;
    for (int m = 0; m < Months; ++m) {
        const QDate month(2024, 1 + m % 12, 1);
        const std::int64_t gross = rng.Between(1000000, 9000000);
        all += gross;
        lines.append(QByteArray(std::min(Width, 40), '-'));
        lines.append(
            Pair(Dev("Miesiąc"), month.toString(QStringLiteral("yyyy-MM")).toLatin1(), Width));
        lines.append(Pair(Dev(narrow ? "Raporty dob." : "Raporty dobowe"),
                          QByteArray::number(month.daysInMonth()), Width));
        lines.append(Pair(Dev("Należność"), Money(gross), Width));
        lines.append(Pair(Dev("PTU"), Money(gross * 23 / 123), Width));
    }
    lines.append(QByteArray(std::min(Width, 40), '='));
    lines.append(Pair(Dev("RAZEM"), Money(all), Width));
    return lines;
}

QByteArray PackPrintoutBlocks(const QList<QByteArray>& Lines, int Width) {
    Width = std::clamp(Width, 1, 256);
    const int perBlock = 256 / Width;
    const qsizetype blocks = std::max<qsizetype>(1, (Lines.size() + perBlock - 1) / perBlock);
    QByteArray out(blocks * 256, '\0');
    for (qsizetype i = 0; i < Lines.size(); ++i) {
        const qsizetype offset = (i / perBlock) * 256 + (i % perBlock) * Width;
        PutText(out, int(offset), Width, Lines[i]);
    }
    out[out.size() - 2] = static_cast<char>(kBlockEndMarker);
    out[out.size() - 1] = static_cast<char>(kBlockEndMarker);
    return out;
}

QByteArray SampleDetailUpload(std::uint32_t Seed, int Width, int Days) {
    return PackPrintoutBlocks(SampleDetailLines(Seed, Width, Days), Width);
}

QByteArray SampleSummaryUpload(std::uint32_t Seed, int Width, int Months) {
    return PackPrintoutBlocks(SampleSummaryLines(Seed, Width, Months), Width);
}

QList<SampleFile> ShippedSampleFiles() {
    constexpr std::uint32_t seed = 2024;
    constexpr int peltaWidth = 40;
    return {
        {"detail-pelta.hex", SampleDetailUpload(seed, peltaWidth, 12)},
        {"summary-pelta.hex", SampleSummaryUpload(seed, peltaWidth, 6)},
        {"changes-joined.hex", SampleJoinedChangeFile(seed, 1)},
    };
}
