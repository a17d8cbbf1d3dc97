#include "fm/upload_layout.h"

#include "fm/field_decoder.h"
#include "fm/file_writer.h"

#include <QFile>

#include <algorithm>
#include <cstdio>

namespace {

// A record buffer of exactly Size bytes: the available bytes of Source, then 0xFF (erased
// memory) for whatever lies past its end.
template <int Size> std::array<char, Size> RecordBytes(QByteArrayView Source) {
    std::array<char, Size> buf;
    buf.fill(static_cast<char>(0xFF));
    CopyBytes(buf.data(), Source.data(), std::min<qsizetype>(Size, Source.size()));
    return buf;
}

// A BCD byte as the record decoders read it: two hex digits taken as a decimal integer.
bool BcdField(QByteArrayView Record, int Pos, int& Out) {
    const auto v = DecodeField(1, Record, Pos, 1, 0).toInt();
    if (!v)
        return false;
    Out = *v;
    return true;
}

int NumberField(QByteArrayView Record, int Pos, int Count) {
    return DecodeField(6, Record, Pos, Count, 0).toInt().value_or(0);
}

QByteArray Format(const char* Pattern, int A, int B, int C = 0, int D = 0, int E = 0) {
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, Pattern, A, B, C, D, E);
    return QByteArray(buf, std::clamp(n, 0, int(sizeof buf) - 1));
}

QByteArray DateText(int Year, int Month, int Day) {
    return Format("20%.2d/%.2d/%.2d", Year, Month, Day);
}

QByteArray TimeText(int Hour, int Minute) {
    return Format("%.2d:%.2d", Hour, Minute);
}

// Bytes from Offset on, or an empty view when the file ends before it.
QByteArrayView From(QByteArrayView File, qsizetype Offset) {
    if (Offset < 0 || Offset >= File.size())
        return {};
    return File.sliced(Offset);
}

template <typename Record, int Size, typename Decode>
QList<TableEntry<Record>> ReadTable(QByteArrayView File, int Offset, int Capacity,
                                    Decode DecodeOne) {
    QList<TableEntry<Record>> table;
    const qsizetype start = qsizetype(HeaderAreaLength(File)) + Offset;
    for (int i = 0; i < Capacity; ++i) {
        const auto bytes = RecordBytes<Size>(From(File, start + qsizetype(i) * Size));
        const QByteArrayView record(bytes.data(), Size);
        if (IsErasedRecord(record, Size))
            break;
        TableEntry<Record> entry;
        entry.Decoded = DecodeOne(record, entry.Value);
        table.append(std::move(entry));
    }
    return table;
}

} // namespace

bool IsErasedRecord(QByteArrayView Bytes, int Count) {
    if (Count > Bytes.size())
        return false;
    for (int i = 0; i < Count; ++i) {
        if (static_cast<std::uint8_t>(Bytes[i]) != 0xFF)
            return false;
    }
    return true;
}

bool DecodeTaxChange(QByteArrayView Record, EPROM_TAX& Out) {
    Out = EPROM_TAX{};
    const auto bytes = RecordBytes<kTaxRecordSize>(Record);
    const QByteArrayView r(bytes.data(), bytes.size());
    for (int i = 0; i < kTaxLetterCount; ++i)
        Out.Rates[i] = DecodeField(7, r, 2 * i, 2, 2).toDouble().value_or(0.0);
    if (!BcdField(r, 18, Out.Day) || !BcdField(r, 19, Out.Month) || !BcdField(r, 20, Out.Year))
        return false;
    Out.ZNumber = NumberField(r, 21, 2);
    Out.DateText = DateText(Out.Year, Out.Month, Out.Day);
    return true;
}

bool DecodeCurrencyChange(QByteArrayView Record, EPROM_EURO& Out) {
    Out = EPROM_EURO{};
    const auto bytes = RecordBytes<kCurrencyRecordSize>(Record);
    const QByteArrayView r(bytes.data(), bytes.size());
    if (!BcdField(r, 0, Out.Year) || !BcdField(r, 1, Out.Month) || !BcdField(r, 2, Out.Day) ||
        !BcdField(r, 3, Out.Hour) || !BcdField(r, 4, Out.Minute))
        return false;
    Out.ZNumber = NumberField(r, 5, 2);
    Out.Currency = DecodeField(8, r, 7, 3, 0).toText();
    Out.DateText = DateText(Out.Year, Out.Month, Out.Day);
    Out.TimeText = TimeText(Out.Hour, Out.Minute);
    return true;
}

bool DecodeRamClearing(QByteArrayView Record, EPROM_RECOVERY& Out) {
    Out = EPROM_RECOVERY{};
    auto bytes = RecordBytes<kRamRecordSize>(Record);
    // Bit 7 of the day byte is a flag of the device's own; it is not part of the date.
    bytes[4] = static_cast<char>(bytes[4] & 0x7F);
    const QByteArrayView r(bytes.data(), bytes.size());
    Out.ZNumber = NumberField(r, 0, 2);
    if (!BcdField(r, 2, Out.Year) || !BcdField(r, 3, Out.Month) || !BcdField(r, 4, Out.Day) ||
        !BcdField(r, 5, Out.Hour) || !BcdField(r, 6, Out.Minute))
        return false;
    Out.DateText = DateText(Out.Year, Out.Month, Out.Day);
    Out.TimeText = TimeText(Out.Hour, Out.Minute);
    Out.StampText =
        Format("%.2d-%.2d-%.2d %.2d:%.2d", Out.Day, Out.Month, Out.Year, Out.Hour, Out.Minute);
    return true;
}

int HeaderAreaLength(QByteArrayView File) {
    for (int k = 1; k <= 3; ++k) {
        const qsizetype end = qsizetype(k) * kHeaderBlockSize;
        if (File.size() >= end && static_cast<std::uint8_t>(File[end - 2]) == kBlockEndMarker &&
            static_cast<std::uint8_t>(File[end - 1]) == kBlockEndMarker)
            return int(end);
    }
    return kMaxHeaderArea;
}

QList<QByteArray> CutTextFields(QByteArrayView Area, int FieldWidth, int FieldCount) {
    QList<QByteArray> lines;
    if (FieldWidth <= 0)
        return lines;
    for (int i = 0; i < FieldCount; ++i) {
        const qsizetype pos = qsizetype(i) * FieldWidth;
        if (pos >= Area.size())
            break; // the rest reads as NUL: absent fields
        QByteArrayView field = Area.sliced(pos, std::min<qsizetype>(FieldWidth, Area.size() - pos));
        const qsizetype nul = field.indexOf('\0');
        if (nul >= 0)
            field = field.first(nul);
        if (!field.isEmpty())
            lines.append(field.toByteArray());
    }
    return lines;
}

QList<QByteArray> HeaderLines(QByteArrayView File) {
    const int h = HeaderAreaLength(File);
    return CutTextFields(File.first(std::min<qsizetype>(h, File.size())), kTextFieldWidth,
                         h / kTextFieldWidth);
}

QList<QByteArray> FooterLines(QByteArrayView File) {
    if (File.size() < kFooterArea)
        return {};
    return CutTextFields(File.sliced(File.size() - kFooterArea, 256), kTextFieldWidth,
                         kFooterTextFields);
}

QList<TableEntry<EPROM_TAX>> ReadTaxTable(QByteArrayView File) {
    return ReadTable<EPROM_TAX, kTaxRecordSize>(File, kTaxTableOffset, kTaxTableCapacity,
                                                DecodeTaxChange);
}

QList<TableEntry<EPROM_CHGCY>> ReadCurrencyTable(QByteArrayView File) {
    return ReadTable<EPROM_CHGCY, kCurrencyRecordSize>(
        File, kCurrencyTableOffset, kCurrencyTableCapacity,
        [](QByteArrayView r, EPROM_CHGCY& out) { return DecodeCurrencyChange(r, out.Euro); });
}

QList<TableEntry<EPROM_RECOVERY>> ReadRamTable(QByteArrayView File) {
    return ReadTable<EPROM_RECOVERY, kRamRecordSize>(File, kRamTableOffset, kRamTableCapacity,
                                                     DecodeRamClearing);
}

FileError::FileError(const QString& Path, const QString& Reason)
    : std::runtime_error((Path + QStringLiteral(": ") + Reason).toStdString()), m_path(Path) {}

QByteArray ReadWholeFile(const QString& Path, qint64 MaxBytes) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(Path, file.errorString());
    const FileError tooLarge(
        Path, QStringLiteral("larger than any upload can be (more than %1 bytes)").arg(MaxBytes));
    // A pipe or a device has no size to check first: it is read in pieces and given up as
    // soon as it passes the bound, so an endless stream never fills the memory.
    QByteArray data;
    if (!file.isSequential()) {
        if (file.size() > MaxBytes)
            throw tooLarge;
        data.reserve(file.size());
    }
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0)
            throw FileError(Path, file.errorString());
        if (n == 0)
            return data;
        if (data.size() + n > MaxBytes)
            throw tooLarge;
        data.append(chunk.constData(), n);
    }
}

void JoinUploadFiles(const QString& HeaderFile, const QString& FooterFile,
                     const QString& DataFile) {
    const QByteArray data = ReadWholeFile(DataFile);
    const QByteArray joined = ReadWholeFile(HeaderFile) + data + ReadWholeFile(FooterFile);
    if (const QString error = ReplaceFileContents(DataFile, joined); !error.isEmpty())
        throw FileError(DataFile, error);
}
