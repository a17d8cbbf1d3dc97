#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QTime>

#include <array>
#include <cstdint>
#include <optional>

// The value DecodeField produces: empty, text (device bytes), a double, or a date and/or a
// time of day. Callers convert it to what they need.
class FieldValue {
public:
    enum class Type { Empty, Text, Number, DateTime };

    FieldValue() = default;
    static FieldValue FromText(QByteArray Text);
    static FieldValue FromNumber(double Number);
    static FieldValue FromDate(QDate Date);
    static FieldValue FromTime(QTime Time);
    static FieldValue FromDateTime(QDate Date, QTime Time);

    Type type() const { return m_type; }
    bool isEmpty() const { return m_type == Type::Empty; }
    const QByteArray& text() const { return m_text; }
    double number() const { return m_number; }
    QDate date() const { return m_date; } // invalid when the value holds only a time
    QTime time() const { return m_time; } // invalid when the value holds only a date

    // Integer conversion: a text must be an optional sign and decimal digits (no other
    // characters) that fit 32 bits; a number is rounded half to even; empty gives 0.
    // std::nullopt when the value does not convert (a BCD nibble above 9, a date).
    std::optional<std::int32_t> toInt() const;
    // Double conversion: texts in C notation ("12.34"); empty gives 0.
    std::optional<double> toDouble() const;
    // Text conversion: texts as they are, numbers in shortest round-trip form, dates as
    // yyyy-MM-dd, times as HH:mm:ss, both joined by a space; empty gives an empty text.
    QByteArray toText() const;

    bool operator==(const FieldValue&) const = default;

private:
    Type m_type = Type::Empty;
    QByteArray m_text;
    double m_number = 0.0;
    QDate m_date;
    QTime m_time;
};

// Decodes Count bytes at Pos of Bytes by field kind 0..13 (see field_decoder.cpp for the
// table). Never throws and never reads outside Bytes: a run that does not fit in Bytes gives
// an empty value, as does any kind above 13.
FieldValue DecodeField(std::uint8_t Kind, QByteArrayView Bytes, int Pos, int Count, int Decimals);

// Drops leading '0' characters, then turns the run of 'F' characters that follows into '0'
// characters ("000123" -> "123", "0FF12" -> "0012").
QByteArray TrimBcdText(const QByteArray& Text);

// Base raised to |Exponent| in wrapping 32-bit arithmetic; a negative exponent gives
// 1 div that power.
std::int32_t IntPower(std::int32_t Base, std::int32_t Exponent);

// Packs the low Digits decimal digits of Value as BCD, most significant pair first, into
// the first (Digits + 1) div 2 bytes of the result (e.g. 4 digits of 2100 -> 21 00).
using PackedBcd = std::array<std::uint8_t, 19>;
PackedBcd IntToPackedBcd(int Digits, std::int64_t Value);

// Copies Count bytes; Count <= 0 copies nothing.
void CopyBytes(void* Dest, const void* Src, qsizetype Count);

// Parses a text the way the report's range fields are read: optional leading blanks,
// optional sign, decimal digits, within 32 bits.
std::optional<std::int32_t> ParseDecimalInt(QByteArrayView Text);
