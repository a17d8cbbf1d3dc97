#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

// What the simulated device keeps in its fiscal memory, and how a range request selects from
// it. The engine asks a ContentSource for the bytes of one upload and cuts them into blocks.

enum class FmArea { Detail, Summary, Header, Footer };

const char* FmAreaName(FmArea Area);

// The range a Detail or Summary request carries in its data field.
struct PrintoutRange {
    enum class Kind {
        Whole,    // no range (header and footer requests, or a bare request)
        ZNumbers, // data 00, first Z (2 BCD bytes), last Z (2 BCD bytes)
        Dates,    // data 01, first date yymmdd (3 BCD bytes), last date yymmdd (3 BCD bytes)
    };
    Kind RangeKind = Kind::Whole;
    int First = 0; // Z number, or a date as the decimal number yymmdd
    int Last = 0;

    bool operator==(const PrintoutRange&) const = default;
};

// Reads a request's data field. A field too short for its kind, or with a kind byte other
// than 0 or 1, is a request for everything. Returns nullopt when a range number is not valid
// packed BCD (a nibble above 9): the device refuses such a request.
std::optional<PrintoutRange> ParsePrintoutRange(const QByteArray& RequestData);

class ContentSource {
public:
    virtual ~ContentSource() = default;

    // The raw bytes of one fiscal-memory upload (printout lines for Detail/Summary, header or
    // footer text blocks). The engine pads them to whole 256-byte blocks and makes sure the
    // last block carries the end marker.
    virtual QByteArray FiscalMemory(FmArea Area, const PrintoutRange& Range) = 0;

    // The change-data area served as EPROM blocks 2038 onwards (normally 2560 bytes).
    virtual QByteArray ChangeData() = 0;
};

// Fixed bytes per area, the same for every range. Used for content read from files and for
// tests that need to know exactly what the device holds.
class FixedContent : public ContentSource {
public:
    void SetArea(FmArea Area, QByteArray Bytes);
    void SetChangeData(QByteArray Bytes);

    QByteArray FiscalMemory(FmArea Area, const PrintoutRange& Range) override;
    QByteArray ChangeData() override;

private:
    QByteArray m_areas[4];
    QByteArray m_changeData;
};

// File overrides on top of another source: an area with a file is served from the file, every
// other area from the fallback (which may be null: the area is then empty).
class FileContent : public ContentSource {
public:
    explicit FileContent(std::shared_ptr<ContentSource> Fallback);

    // Reads the file now; returns false and sets Error when it cannot be read.
    bool LoadArea(FmArea Area, const QString& Path, QString* Error);
    bool LoadChangeData(const QString& Path, QString* Error);

    QByteArray FiscalMemory(FmArea Area, const PrintoutRange& Range) override;
    QByteArray ChangeData() override;

private:
    std::shared_ptr<ContentSource> m_fallback;
    std::optional<QByteArray> m_areas[4];
    std::optional<QByteArray> m_changeData;
};
