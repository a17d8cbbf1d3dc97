#include "app/core/system_text.h"

#include "tests/app/qt_print.h"

#include <gtest/gtest.h>

namespace {

TEST(SystemText, EncodesOnlyWhatWindows1250Holds) {
    struct Case {
        const char* text;
        std::optional<QByteArray> bytes;
    };
    const Case cases[] = {
        {"C:\\OrvexFM\\Data\\", QByteArray("C:\\OrvexFM\\Data\\")},
        {"Łódź żółw", QByteArray("\xA3\xF3"
                                 "d\x9F \xBF\xF3\xB3w")},
        {"€ „cudzysłów”", QByteArray("\x80 \x84"
                                     "cudzys\xB3\xF3w\x94")},
        {"报告", std::nullopt},
        {"Łódź 报告", std::nullopt},
        {"ä ö ü ß", QByteArray("\xE4 \xF6 \xFC \xDF")},
        {"ñ", std::nullopt}, // Spanish, not Central European
    };
    for (const Case& c : cases) {
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(EncodeSystemText(text), c.bytes) << c.text;
        if (c.bytes) {
            EXPECT_EQ(DecodeSystemText(*c.bytes), text) << c.text;
        }
    }
}

TEST(SystemText, RecognisesUtf8) {
    struct Case {
        QByteArray bytes;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xC5\x82\xC3\xB3"
         "d\xC5\xBA",
         true},
        {"\xE6\x8A\xA5\xE5\x91\x8A", true},
        {"\xA3\xF3"
         "d\x9F",
         false},                 // Windows-1250 "Łódź"
        {"abc\xC5", false},      // cut inside a character
        {"\xC0\xAF", false},     // overlong form of "/"
        {"\xED\xA0\x80", false}, // a lone surrogate
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.bytes.toHex().constData();
}

} // namespace
