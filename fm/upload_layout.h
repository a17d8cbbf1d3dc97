#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <stdexcept>

// Layout of a joined change file: header area (256, 512, 768 or 1024 bytes), the change-data
// area as the device sent it, then the 512-byte footer upload.
inline constexpr int kHeaderBlockSize = 256;
inline constexpr int kMaxHeaderArea = 1024;
inline constexpr int kTextFieldWidth = 40;
inline constexpr int kFooterArea = 512;
inline constexpr int kFooterTextFields = 6;
inline constexpr std::uint8_t kBlockEndMarker = 0xA5;
inline constexpr int kChangeDataBlocks = 10;
inline constexpr int kChangeDataSize = kChangeDataBlocks * 256;

// Change-data tables, offsets counted from the start of the change data.
inline constexpr int kCurrencyTableOffset = 16;
inline constexpr int kCurrencyRecordSize = 20;
inline constexpr int kCurrencyTableCapacity = 10;
inline constexpr int kRamTableOffset = 370;
inline constexpr int kRamRecordSize = 7;
inline constexpr int kRamTableCapacity = 200;
inline constexpr int kTaxTableOffset = 1770;
inline constexpr int kTaxRecordSize = 23;
inline constexpr int kTaxTableCapacity = 30;

inline constexpr int kTaxLetterCount = 9;
inline constexpr char kTaxLetters[] = "ABCDEFGHI";
// Stored rate values with a meaning of their own, in percent after decoding.
inline constexpr double kExemptRate = 100.0;
inline constexpr double kNotInUseRate = 99.99;

struct EPROM_TAX {
    std::array<double, kTaxLetterCount> Rates{}; // percent, letters A..I
    int Year = 0;
    int Month = 0;
    int Day = 0;
    int ZNumber = 0;
    QByteArray DateText; // "20yy/mm/dd"
};

struct EPROM_EURO {
    int Year = 0;
    int Month = 0;
    int Day = 0;
    int Hour = 0;
    int Minute = 0;
    int ZNumber = 0;
    QByteArray DateText; // "20yy/mm/dd"
    QByteArray TimeText; // "hh:nn"
    QByteArray Currency; // up to 3 device characters
};

// One currency-change entry; the trailing bytes are kept only for the record's size.
struct EPROM_CHGCY {
    EPROM_EURO Euro;
    std::array<std::uint8_t, 24> Reserved{};
};

struct EPROM_RECOVERY {
    int Year = 0;
    int Month = 0;
    int Day = 0;
    int Hour = 0;
    int Minute = 0;
    int ZNumber = 0;
    QByteArray TimeText;  // "hh:nn"
    QByteArray StampText; // "dd-mm-yy hh:nn"
    QByteArray DateText;  // "20yy/mm/dd"
};

// A table entry with the decoder's result: false when a BCD byte did not convert, in which
// case the fields after it are 0 and the texts empty.
template <typename Record> struct TableEntry {
    Record Value;
    bool Decoded = true;
};

bool IsErasedRecord(QByteArrayView Bytes, int Count);

// Each decoder reads exactly its record size from Record; missing bytes read as 0xFF.
bool DecodeTaxChange(QByteArrayView Record, EPROM_TAX& Out);
bool DecodeCurrencyChange(QByteArrayView Record, EPROM_EURO& Out);
bool DecodeRamClearing(QByteArrayView Record, EPROM_RECOVERY& Out);

// The header area length H of a joined file: 256, 512 or 768 when that block ends with
// A5 A5 (smallest wins), else 1024.
int HeaderAreaLength(QByteArrayView File);

// Cuts FieldCount fields of FieldWidth bytes from Area (bytes past its end read as NUL);
// each field's text ends at its first NUL and fields whose first byte is NUL are left out.
QList<QByteArray> CutTextFields(QByteArrayView Area, int FieldWidth, int FieldCount);

QList<QByteArray> HeaderLines(QByteArrayView File);
// The six text fields of the footer's first block; none when the file is shorter than 512.
QList<QByteArray> FooterLines(QByteArrayView File);

// Table readers: records from H + the table offset until an erased record or the capacity.
// Bytes past the end of File read as 0xFF.
QList<TableEntry<EPROM_TAX>> ReadTaxTable(QByteArrayView File);
QList<TableEntry<EPROM_CHGCY>> ReadCurrencyTable(QByteArrayView File);
QList<TableEntry<EPROM_RECOVERY>> ReadRamTable(QByteArrayView File);

// A file that could not be read or written; what() names the file and the reason.
class FileError : public std::runtime_error {
public:
    FileError(const QString& Path, const QString& Reason);
    const QString& path() const { return m_path; }

private:
    QString m_path;
};

// The largest file an upload can leave, so that readers never take an unbounded input (a
// mistaken /dev/zero, a huge file) whole. An exchange asks for its blocks by a 16-bit
// counter, so it makes at most 65536 requests, and each packet written moves the counter on
// by one per whole 256 bytes it carries, at least by one: no step brings 512 bytes or more.
// The closing packet, which does not move the counter, fits in that slack. A joined change
// file holds three exchanges: header, change data and footer.
inline constexpr qint64 kMaxExchangeBytes = qint64(65536) * 512;     // 32 MiB
inline constexpr qint64 kMaxUploadFileBytes = 3 * kMaxExchangeBytes; // 96 MiB

// Reads a whole file of at most MaxBytes; throws FileError, also for a larger file or stream.
QByteArray ReadWholeFile(const QString& Path, qint64 MaxBytes = kMaxUploadFileBytes);

// Replaces DataFile by HeaderFile + DataFile + FooterFile (ReplaceFileContents: a failed
// write leaves the change data as it was). Throws FileError.
void JoinUploadFiles(const QString& HeaderFile, const QString& FooterFile, const QString& DataFile);
