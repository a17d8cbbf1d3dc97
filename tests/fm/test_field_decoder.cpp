#include "fm/field_decoder.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

QByteArray Hex(const char* Text) {
    return QByteArray::fromHex(Text);
}

struct FieldCase {
    const char* name;
    int kind;
    QByteArray bytes;
    int pos;
    int count;
    int decimals;
    FieldValue expected;
};

FieldValue Text(const char* T) {
    return FieldValue::FromText(T);
}
FieldValue Num(double N) {
    return FieldValue::FromNumber(N);
}

} // namespace

TEST(DecodeField, KnownAnswersForEveryKind) {
    const FieldCase cases[] = {
        {"bcd trimmed", 0, Hex("000123"), 0, 3, 0, Text("123")},
        {"bcd trimmed F run", 0, Hex("0FF123"), 0, 3, 0, Text("00123")},
        {"bcd all zero trims to nothing", 0, Hex("0000"), 0, 2, 0, Text("")},
        {"bcd untrimmed year", 1, Hex("2024"), 0, 2, 0, Text("2024")},
        {"bcd untrimmed keeps zero", 1, Hex("07"), 0, 1, 0, Text("07")},
        {"bcd upper-case hex", 1, Hex("2a"), 0, 1, 0, Text("2A")},
        {"bcd at an offset", 1, Hex("AA25BB"), 1, 1, 0, Text("25")},
        {"digits 005", 2, "005", 0, 3, 0, Text("0.05")},
        {"digits 123", 2, "123", 0, 3, 0, Text("1.23")},
        {"digits 000", 2, "000", 0, 3, 0, Text("0.00")},
        {"digits 001234", 2, "001234", 0, 6, 0, Text("12.34")},
        {"digits one left", 2, "07", 0, 2, 0, Text("0.07")},
        {"digits two left", 2, "042", 0, 3, 0, Text("0.42")},
        {"dmy hms", 3, Hex("150124134530"), 0, 6, 0,
         FieldValue::FromDateTime(QDate(2024, 1, 15), QTime(13, 45, 30))},
        {"dmy hms impossible date", 3, Hex("310224134530"), 0, 6, 0, FieldValue()},
        {"dmy hms impossible time", 3, Hex("150124250000"), 0, 6, 0, FieldValue()},
        {"dmy", 4, Hex("150124"), 0, 3, 0, FieldValue::FromDate(QDate(2024, 1, 15))},
        {"dmy 31 February", 4, Hex("310224"), 0, 3, 0, FieldValue()},
        {"dmy bad nibble", 4, Hex("1A0124"), 0, 3, 0, FieldValue()},
        {"kind 5 empty", 5, Hex("1234"), 0, 2, 0, FieldValue()},
        {"le 12345", 6, Hex("3930"), 0, 2, 0, Num(12345)},
        {"le 123.45", 6, Hex("3930"), 0, 2, 2, Num(123.45)},
        {"le 3 bytes unsigned", 6, Hex("FFFFFF"), 0, 3, 0, Num(16777215)},
        {"le 4 bytes signed min", 6, Hex("00000080"), 0, 4, 0, Num(-2147483648.0)},
        {"le 4 bytes -1", 6, Hex("FFFFFFFF"), 0, 4, 0, Num(-1)},
        {"le fifth byte adds nothing", 6, Hex("0100000007"), 0, 5, 0, Num(1)},
        {"le negative decimals divide nothing", 6, Hex("3930"), 0, 2, -1, Num(12345)},
        {"kind 7 exempt", 7, Hex("1027"), 0, 2, 2, Num(100.0)},
        {"kind 7 not in use", 7, Hex("0F27"), 0, 2, 2, Num(99.99)},
        {"kind 7 FFFF", 7, Hex("FFFF"), 0, 2, 2, Num(655.35)},
        {"text to NUL", 8, Hex("455500"), 0, 3, 0, Text("EU")},
        {"text without NUL", 8, "PLNX", 0, 3, 0, Text("PLN")},
        {"text absent", 8, Hex("00414243"), 0, 4, 0, Text("")},
        {"ymd hms", 9, Hex("240115134530"), 0, 6, 0,
         FieldValue::FromDateTime(QDate(2024, 1, 15), QTime(13, 45, 30))},
        {"ymd", 10, Hex("240229"), 0, 3, 0, FieldValue::FromDate(QDate(2024, 2, 29))},
        {"ymd not a leap year", 10, Hex("230229"), 0, 3, 0, FieldValue()},
        {"hm", 11, Hex("0930"), 0, 2, 0, FieldValue::FromTime(QTime(9, 30, 0))},
        {"hms", 11, Hex("093015"), 0, 3, 0, FieldValue::FromTime(QTime(9, 30, 15))},
        {"hm hour 25", 11, Hex("2500"), 0, 2, 0, FieldValue()},
        {"kind 12 empty", 12, Hex("00"), 0, 1, 0, FieldValue()},
        {"be 256", 13, Hex("000100"), 0, 3, 0, Num(256)},
        {"be 2 bytes unsigned", 13, Hex("FFFF"), 0, 2, 0, Num(65535)},
        {"be 8 bytes signed", 13, Hex("FFFFFFFFFFFFFFFF"), 0, 8, 0, Num(-1)},
        {"be decimals", 13, Hex("04D2"), 0, 2, 2, Num(12.34)},
        {"kind above 13", 14, Hex("1234"), 0, 2, 0, FieldValue()},
        {"kind 255", 255, Hex("1234"), 0, 2, 0, FieldValue()},
    };
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.name);
        const FieldValue v =
            DecodeField(static_cast<std::uint8_t>(c.kind), c.bytes, c.pos, c.count, c.decimals);
        EXPECT_EQ(v.type(), c.expected.type());
        EXPECT_EQ(v.text(), c.expected.text());
        EXPECT_EQ(v.number(), c.expected.number());
        EXPECT_EQ(v.date(), c.expected.date());
        EXPECT_EQ(v.time(), c.expected.time());
    }
}

TEST(DecodeField, NeverReadsOutsideTheBuffer) {
    const QByteArray three = Hex("123456");
    struct Case {
        int kind, pos, count;
    } cases[] = {
        {1, 2, 2}, {6, 0, 4}, {8, 3, 1},  {13, -1, 2}, {1, 0, -1}, {3, 0, 1}, // kind 3 needs 6
        {9, 0, 6}, {4, 1, 3}, {11, 2, 2}, {11, 1, 3},  {2, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << " pos " << c.pos);
        EXPECT_TRUE(
            DecodeField(static_cast<std::uint8_t>(c.kind), three, c.pos, c.count, 0).isEmpty());
    }
    // Kind 13 with more than 8 bytes keeps the last eight instead of overrunning its value.
    EXPECT_EQ(DecodeField(13, Hex("FF0000000000000102"), 0, 9, 0).number(), 258);
}

TEST(FieldValue, Conversions) {
    EXPECT_EQ(DecodeField(1, Hex("07"), 0, 1, 0).toInt(), 7);
    EXPECT_EQ(DecodeField(1, Hex("25"), 0, 1, 0).toInt(), 25);
    EXPECT_EQ(DecodeField(1, Hex("2A"), 0, 1, 0).toInt(), std::nullopt);
    EXPECT_EQ(DecodeField(1, Hex("A0"), 0, 1, 0).toInt(), std::nullopt);
    EXPECT_EQ(FieldValue().toInt(), 0);
    EXPECT_EQ(FieldValue::FromText("").toInt(), std::nullopt);
    EXPECT_EQ(FieldValue::FromNumber(2.5).toInt(), 2); // rounds half to even
    EXPECT_EQ(FieldValue::FromNumber(3.5).toInt(), 4);
    EXPECT_EQ(FieldValue::FromNumber(-2147483648.0).toInt(), INT_MIN);
    EXPECT_EQ(FieldValue::FromNumber(3e9).toInt(), std::nullopt);
    EXPECT_EQ(FieldValue::FromDate(QDate(2024, 1, 1)).toInt(), std::nullopt);
    EXPECT_EQ(DecodeField(2, "001234", 0, 6, 0).toDouble(), 12.34);
    EXPECT_EQ(FieldValue().toDouble(), 0.0);
    EXPECT_EQ(DecodeField(3, Hex("150124134530"), 0, 6, 0).toText(), "2024-01-15 13:45:30");
    EXPECT_EQ(DecodeField(11, Hex("0930"), 0, 2, 0).toText(), "09:30:00");
    EXPECT_EQ(FieldValue::FromNumber(123.45).toText(), "123.45");
}

TEST(TrimBcdText, DropsLeadingZerosThenTurnsTheFRunIntoZeros) {
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"000123", "123"}, {"0FF12", "0012"}, {"0000", ""},     {"", ""},
        {"F0F", "00F"},    {"120", "120"},    {"FFFF", "0000"}, {"00F1F", "01F"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(TrimBcdText(in), out) << in.constData();
}

TEST(IntPower, WrapsIn32Bits) {
    const struct {
        int base, exponent, expected;
    } cases[] = {
        {256, 0, 1},      {256, 1, 256},       {256, 3, 16777216},   {256, 4, 0}, {256, 7, 0},
        {2, 31, INT_MIN}, {3, 2, 9},           {-2, 3, -8},          {2, -1, 0},  {1, -5, 1},
        {7, 0, 1},        {10, 9, 1000000000}, {10, 10, 1410065408},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IntPower(c.base, c.exponent), c.expected) << c.base << "^" << c.exponent;
}

TEST(IntToPackedBcd, PacksMostSignificantPairFirst) {
    const struct {
        int digits;
        std::int64_t value;
        QByteArray head; // the bytes expected at the start; every later byte is 0
    } cases[] = {
        {4, 1, Hex("0001")},
        {4, 2100, Hex("2100")},
        {6, 240115, Hex("240115")},
        {4, 123456, Hex("3456")}, // digits beyond Digits are dropped
        {3, 123, Hex("0123")},
        {0, 7, Hex("07")},     // (0 - 1) div 2 truncates to 0: one byte
        {-1, 5, QByteArray()}, // nothing
        {38, 1, QByteArray(18, '\0') + Hex("01")},
        {60, 1, QByteArray(18, '\0') + Hex("01")}, // more digits than bytes: no overrun
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.digits << " digits of " << c.value);
        const PackedBcd bcd = IntToPackedBcd(c.digits, c.value);
        QByteArray expected = c.head;
        expected.append(QByteArray(19 - expected.size(), '\0'));
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(bcd.data()), 19).toHex(),
                  expected.toHex());
    }
}

TEST(CopyBytes, CopiesCountBytesAndNothingForZeroOrLess) {
    char dest[4] = {'a', 'b', 'c', 'd'};
    CopyBytes(dest, "XYZ", 0);
    CopyBytes(dest, "XYZ", -3);
    EXPECT_EQ(QByteArray(dest, 4), "abcd");
    CopyBytes(dest, "XYZ", 2);
    EXPECT_EQ(QByteArray(dest, 4), "XYcd");
}

TEST(ParseDecimalInt, AcceptsWholeNumbersOnly) {
    const std::pair<QByteArray, std::optional<int>> cases[] = {
        {"5", 5},
        {"  12", 12},
        {"-3", -3},
        {"+7", 7},
        {"", {}},
        {"12a", {}},
        {"1 2", {}},
        {"-", {}},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"2147483648", {}},
        {"99999999999999999999", {}},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(ParseDecimalInt(text), value) << text.constData();
}
