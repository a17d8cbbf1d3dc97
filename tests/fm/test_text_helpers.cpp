#include "fm/cp1250.h"
#include "fm/text_helpers.h"

#include <gtest/gtest.h>

TEST(PadLine, LaysOutBothTextsWithoutEverCutting) {
    const QByteArray text45(45, 'x');
    const QByteArray text40(40, 'y');
    const struct {
        const char* name;
        QByteArray left, right;
        int mode, width;
        QByteArray expected;
    } cases[] = {
        {"pair line", "WALUTA EWIDENC.", "PLN", 3, 40,
         "WALUTA EWIDENC." + QByteArray(22, ' ') + "PLN"},
        {"pair line already full", text40, "Z", 3, 40, text40 + "Z"},
        {"pair line exactly full", QByteArray(20, 'a'), QByteArray(20, 'b'), 3, 40,
         QByteArray(20, 'a') + QByteArray(20, 'b')},
        {"right aligned", "ab", "c", 1, 5, "  abc"},
        {"right aligned too long", text45, "", 1, 40, text45},
        {"centred, not filled out", QByteArray(10, 'c'), "", 2, 40,
         QByteArray(15, ' ') + QByteArray(10, 'c') + QByteArray(7, ' ')},
        {"centred odd", "abc", "", 2, 10, "   abc  "},
        {"centred full width unchanged", text40, "", 2, 40, text40},
        {"centred too long", text45, "", 2, 40, text45},
        {"empty texts", "", "", 3, 4, "    "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PadLine(c.left, c.right, c.mode, c.width), c.expected);
    }
}

TEST(Cp1250, MapsPolishLettersBothWays) {
    const struct {
        unsigned char byte;
        char16_t unicode;
    } cases[] = {
        {0xA5, u'Ą'}, {0xB9, u'ą'}, {0xC6, u'Ć'}, {0xE6, u'ć'}, {0xCA, u'Ę'}, {0xEA, u'ę'},
        {0xA3, u'Ł'}, {0xB3, u'ł'}, {0xD1, u'Ń'}, {0xF1, u'ń'}, {0xD3, u'Ó'}, {0xF3, u'ó'},
        {0x8C, u'Ś'}, {0x9C, u'ś'}, {0x8F, u'Ź'}, {0x9F, u'ź'}, {0xAF, u'Ż'}, {0xBF, u'ż'},
        {0x80, u'€'}, {0x84, u'„'}, {0x94, u'”'}, {0x41, u'A'},
    };
    for (const auto& c : cases) {
        const QByteArray byte(1, static_cast<char>(c.byte));
        EXPECT_EQ(Cp1250ToUnicode(byte), QString(QChar(c.unicode))) << int(c.byte);
        EXPECT_EQ(UnicodeToCp1250(QString(QChar(c.unicode))), byte) << int(c.byte);
    }
}

TEST(Cp1250, EveryByteSurvivesARoundTripAndForeignCharactersAreReplaced) {
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    const QString text = Cp1250ToUnicode(all);
    EXPECT_EQ(text.size(), 256);
    EXPECT_EQ(UnicodeToCp1250(text), all);
    EXPECT_EQ(UnicodeToCp1250(QStringLiteral("a中b")), "a?b");
    EXPECT_EQ(UnicodeToCp1250(QString::fromUtf8("x\xF0\x9F\x98\x80y")), "x?y"); // one emoji, one ?
    EXPECT_EQ(UnicodeToCp1250(QStringLiteral("ä"), '#'), "\xE4");
    EXPECT_EQ(UnicodeToCp1250(QStringLiteral("å"), '#'), "#");
}
