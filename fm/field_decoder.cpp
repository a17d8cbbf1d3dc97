#include "fm/field_decoder.h"

#include <QLocale>

#include <cmath>
#include <cstring>
#include <limits>

// Field kinds:
//   0   BCD digits as text ("%2.2X" per byte), then TrimBcdText
//   1   BCD digits as text, untrimmed (20 24 -> "2024")
//   2   decimal digit characters with two implied decimals ("001234" -> "12.34")
//   3   date-time from BCD day, month, year, hour, minute, second (6 bytes)
//   4   date from BCD day, month, year (3 bytes)
//   5   empty
//   6,7 little-endian integer summed in wrapping 32-bit terms, divided by 10 Decimals times
//   8   characters up to the first NUL, at most Count
//   9   date-time from BCD year, month, day, hour, minute, second (6 bytes)
//   10  date from BCD year, month, day (3 bytes)
//   11  time from BCD hour, minute and, when Count > 2, second
//   12  empty
//   13  big-endian signed 64-bit integer of up to 8 bytes, divided by 10 Decimals times
// Years are two digits within 2000..2099.

FieldValue FieldValue::FromText(QByteArray Text) {
    FieldValue v;
    v.m_type = Type::Text;
    v.m_text = std::move(Text);
    return v;
}

FieldValue FieldValue::FromNumber(double Number) {
    FieldValue v;
    v.m_type = Type::Number;
    v.m_number = Number;
    return v;
}

FieldValue FieldValue::FromDate(QDate Date) {
    return FromDateTime(Date, QTime());
}

FieldValue FieldValue::FromTime(QTime Time) {
    return FromDateTime(QDate(), Time);
}

FieldValue FieldValue::FromDateTime(QDate Date, QTime Time) {
    FieldValue v;
    v.m_type = Type::DateTime;
    v.m_date = Date;
    v.m_time = Time;
    return v;
}

std::optional<std::int32_t> ParseDecimalInt(QByteArrayView Text) {
    qsizetype i = 0;
    while (i < Text.size() && (Text[i] == ' ' || Text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) {
        negative = Text[i] == '-';
        ++i;
    }
    if (i >= Text.size())
        return std::nullopt;
    std::int64_t value = 0;
    for (; i < Text.size(); ++i) {
        const char c = Text[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::optional<std::int32_t> FieldValue::toInt() const {
    switch (m_type) {
    case Type::Empty:
        return 0;
    case Type::Text:
        return ParseDecimalInt(m_text);
    case Type::Number: {
        if (!std::isfinite(m_number))
            return std::nullopt;
        const double r = std::nearbyint(m_number);
        if (r < std::numeric_limits<std::int32_t>::min() ||
            r > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
        return static_cast<std::int32_t>(r);
    }
    case Type::DateTime:
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<double> FieldValue::toDouble() const {
    switch (m_type) {
    case Type::Empty:
        return 0.0;
    case Type::Number:
        return m_number;
    case Type::Text: {
        bool ok = false;
        const double d = m_text.toDouble(&ok);
        return ok ? std::optional<double>(d) : std::nullopt;
    }
    case Type::DateTime:
        return std::nullopt;
    }
    return std::nullopt;
}

QByteArray FieldValue::toText() const {
    switch (m_type) {
    case Type::Empty:
        return {};
    case Type::Text:
        return m_text;
    case Type::Number:
        return QByteArray::number(m_number, 'g', QLocale::FloatingPointShortest);
    case Type::DateTime: {
        QByteArray out;
        if (m_date.isValid())
            out = m_date.toString(QStringLiteral("yyyy-MM-dd")).toLatin1();
        if (m_time.isValid()) {
            if (!out.isEmpty())
                out += ' ';
            out += m_time.toString(QStringLiteral("HH:mm:ss")).toLatin1();
        }
        return out;
    }
    }
    return {};
}

QByteArray TrimBcdText(const QByteArray& Text) {
    qsizetype start = 0;
    while (start < Text.size() && Text[start] == '0')
        ++start;
    QByteArray out = Text.mid(start);
    for (qsizetype i = 0; i < out.size() && out[i] == 'F'; ++i)
        out[i] = '0';
    return out;
}

std::int32_t IntPower(std::int32_t Base, std::int32_t Exponent) {
    // Unsigned arithmetic gives the wrap-around without undefined behaviour; squaring is
    // exact modulo 2^32, so it matches multiplying |Exponent| times.
    std::uint32_t result = 1;
    std::uint32_t base = static_cast<std::uint32_t>(Base);
    std::uint64_t times = Exponent < 0 ? std::uint64_t(-std::int64_t(Exponent)) : Exponent;
    while (times > 0) {
        if (times & 1)
            result *= base;
        base *= base;
        times >>= 1;
    }
    const auto power = static_cast<std::int32_t>(result);
    if (Exponent >= 0)
        return power;
    if (power == 0)
        return 0; // 1 div 0 has no value; nothing passes a negative exponent anyway
    if (power == -1)
        return -1;
    return 1 / power;
}

PackedBcd IntToPackedBcd(int Digits, std::int64_t Value) {
    PackedBcd out{};
    int k = (Digits - 1) / 2; // truncates toward zero, so Digits 0 still fills byte 0
    if (k > int(out.size()) - 1) {
        // More digits than the result can hold: the high ones are dropped, as digits beyond
        // Digits are.
        k = int(out.size()) - 1;
    }
    for (; k >= 0; --k) {
        const std::int64_t pair = ((Value / 10) % 10) * 16 + (Value % 10);
        out[k] = static_cast<std::uint8_t>(pair);
        Value /= 100;
    }
    return out;
}

void CopyBytes(void* Dest, const void* Src, qsizetype Count) {
    if (Count > 0)
        std::memmove(Dest, Src, static_cast<std::size_t>(Count));
}

namespace {

// A BCD byte read the way the device's digits are: as two hexadecimal digits taken as a
// decimal number, so a nibble above 9 does not convert.
std::optional<int> BcdByte(std::uint8_t Byte) {
    const int hi = Byte >> 4;
    const int lo = Byte & 0x0F;
    if (hi > 9 || lo > 9)
        return std::nullopt;
    return hi * 10 + lo;
}

QByteArray HexDigits(QByteArrayView Run) {
    static const char digits[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(Run.size() * 2);
    for (const char c : Run) {
        const auto b = static_cast<std::uint8_t>(c);
        out.append(digits[b >> 4]);
        out.append(digits[b & 0x0F]);
    }
    return out;
}

double DivideByTen(double Value, int Decimals) {
    for (int i = 0; i < Decimals; ++i)
        Value /= 10.0;
    return Value;
}

// Reads N BCD bytes into Out; false on the first one that does not convert.
bool ReadBcd(QByteArrayView Run, int N, int* Out) {
    for (int i = 0; i < N; ++i) {
        const auto v = BcdByte(static_cast<std::uint8_t>(Run[i]));
        if (!v)
            return false;
        Out[i] = *v;
    }
    return true;
}

FieldValue DecodeDateTime(QByteArrayView Run, bool DayFirst, bool WithTime) {
    const int n = WithTime ? 6 : 3;
    if (Run.size() < n)
        return {};
    int f[6] = {};
    if (!ReadBcd(Run, n, f))
        return {};
    const int day = DayFirst ? f[0] : f[2];
    const int year = DayFirst ? f[2] : f[0];
    const QDate date(2000 + year, f[1], day);
    if (!date.isValid())
        return {};
    if (!WithTime)
        return FieldValue::FromDate(date);
    const QTime time(f[3], f[4], f[5]);
    if (!time.isValid())
        return {};
    return FieldValue::FromDateTime(date, time);
}

FieldValue DecodeTime(QByteArrayView Run, int Count) {
    const int n = Count > 2 ? 3 : 2;
    if (Run.size() < n)
        return {};
    int f[3] = {};
    if (!ReadBcd(Run, n, f))
        return {};
    const QTime time(f[0], f[1], n == 3 ? f[2] : 0);
    if (!time.isValid())
        return {};
    return FieldValue::FromTime(time);
}

} // namespace

FieldValue DecodeField(std::uint8_t Kind, QByteArrayView Bytes, int Pos, int Count, int Decimals) {
    if (Pos < 0 || Count < 0 || qsizetype(Pos) > Bytes.size())
        return {};
    // The date kinds read a fixed number of bytes whatever Count says.
    int need = Count;
    switch (Kind) {
    case 3:
    case 9:
        need = 6;
        break;
    case 4:
    case 10:
        need = 3;
        break;
    case 11:
        need = Count > 2 ? 3 : 2;
        break;
    case 5:
    case 12:
        return {};
    default:
        break;
    }
    if (Kind > 13 || qsizetype(need) > Bytes.size() - Pos)
        return {};
    const QByteArrayView run = Bytes.sliced(Pos, need);

    switch (Kind) {
    case 0:
        return FieldValue::FromText(TrimBcdText(HexDigits(run)));
    case 1:
        return FieldValue::FromText(HexDigits(run));
    case 2: {
        qsizetype start = 0;
        while (start < run.size() && run[start] == '0')
            ++start;
        QByteArray digits = run.sliced(start).toByteArray();
        if (digits.size() < 3)
            digits = QByteArray(3 - digits.size(), '0') + digits;
        digits.insert(digits.size() - 2, '.');
        return FieldValue::FromText(digits);
    }
    case 3:
    case 4:
        return DecodeDateTime(run, true, Kind == 3);
    case 9:
    case 10:
        return DecodeDateTime(run, false, Kind == 9);
    case 11:
        return DecodeTime(run, Count);
    case 6:
    case 7: {
        // Each term byte * 256^i wraps in 32-bit signed arithmetic before it is added, so
        // four bytes read as a signed number and a fifth or later byte adds nothing.
        double sum = 0.0;
        for (int i = int(run.size()) - 1; i >= 0; --i) {
            const std::uint32_t term = std::uint32_t(static_cast<std::uint8_t>(run[i])) *
                                       static_cast<std::uint32_t>(IntPower(256, i));
            sum += static_cast<std::int32_t>(term);
        }
        return FieldValue::FromNumber(DivideByTen(sum, Decimals));
    }
    case 8: {
        const qsizetype nul = run.indexOf('\0');
        return FieldValue::FromText((nul >= 0 ? run.first(nul) : run).toByteArray());
    }
    case 13: {
        // Big-endian; only the last eight bytes fit the 64-bit value.
        std::uint64_t value = 0;
        const qsizetype first = run.size() > 8 ? run.size() - 8 : 0;
        for (qsizetype i = first; i < run.size(); ++i)
            value = (value << 8) | static_cast<std::uint8_t>(run[i]);
        return FieldValue::FromNumber(
            DivideByTen(static_cast<double>(static_cast<std::int64_t>(value)), Decimals));
    }
    default:
        return {};
    }
}
