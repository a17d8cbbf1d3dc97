#include "sim/content_source.h"

#include <QFile>

const char* FmAreaName(FmArea Area) {
    switch (Area) {
    case FmArea::Detail:
        return "Detail";
    case FmArea::Summary:
        return "Summary";
    case FmArea::Header:
        return "Header";
    case FmArea::Footer:
        return "Footer";
    }
    return "?";
}

namespace {

// Decodes Count packed-BCD bytes, most significant pair first.
std::optional<int> PackedBcd(const QByteArray& Bytes, int Offset, int Count) {
    int value = 0;
    for (int i = 0; i < Count; ++i) {
        const auto b = static_cast<std::uint8_t>(Bytes[Offset + i]);
        const int hi = b >> 4;
        const int lo = b & 0x0F;
        if (hi > 9 || lo > 9)
            return std::nullopt;
        value = value * 100 + hi * 10 + lo;
    }
    return value;
}

int AreaIndex(FmArea Area) {
    return static_cast<int>(Area);
}

} // namespace

std::optional<PrintoutRange> ParsePrintoutRange(const QByteArray& RequestData) {
    PrintoutRange range;
    if (RequestData.isEmpty())
        return range;
    const auto kind = static_cast<std::uint8_t>(RequestData[0]);
    int width = 0;
    if (kind == 0 && RequestData.size() >= 5) {
        range.RangeKind = PrintoutRange::Kind::ZNumbers;
        width = 2;
    } else if (kind == 1 && RequestData.size() >= 7) {
        range.RangeKind = PrintoutRange::Kind::Dates;
        width = 3;
    } else {
        return range;
    }
    const auto first = PackedBcd(RequestData, 1, width);
    const auto last = PackedBcd(RequestData, 1 + width, width);
    if (!first || !last)
        return std::nullopt;
    range.First = *first;
    range.Last = *last;
    return range;
}

void FixedContent::SetArea(FmArea Area, QByteArray Bytes) {
    m_areas[AreaIndex(Area)] = std::move(Bytes);
}

void FixedContent::SetChangeData(QByteArray Bytes) {
    m_changeData = std::move(Bytes);
}

QByteArray FixedContent::FiscalMemory(FmArea Area, const PrintoutRange&) {
    return m_areas[AreaIndex(Area)];
}

QByteArray FixedContent::ChangeData() {
    return m_changeData;
}

FileContent::FileContent(std::shared_ptr<ContentSource> Fallback)
    : m_fallback(std::move(Fallback)) {}

namespace {

std::optional<QByteArray> ReadWholeFile(const QString& Path, QString* Error) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (Error)
            *Error = QStringLiteral("cannot read %1: %2").arg(Path, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

} // namespace

bool FileContent::LoadArea(FmArea Area, const QString& Path, QString* Error) {
    auto bytes = ReadWholeFile(Path, Error);
    if (!bytes)
        return false;
    m_areas[AreaIndex(Area)] = std::move(bytes);
    return true;
}

bool FileContent::LoadChangeData(const QString& Path, QString* Error) {
    auto bytes = ReadWholeFile(Path, Error);
    if (!bytes)
        return false;
    m_changeData = std::move(bytes);
    return true;
}

QByteArray FileContent::FiscalMemory(FmArea Area, const PrintoutRange& Range) {
    if (const auto& fromFile = m_areas[AreaIndex(Area)])
        return *fromFile;
    return m_fallback ? m_fallback->FiscalMemory(Area, Range) : QByteArray();
}

QByteArray FileContent::ChangeData() {
    if (m_changeData)
        return *m_changeData;
    return m_fallback ? m_fallback->ChangeData() : QByteArray();
}
