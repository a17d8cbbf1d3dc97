#include "app/core/ini_section.h"

#include "tests/app/qt_print.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

struct ValueCase {
    const char* name;
    const char16_t* text;
    const char16_t* key;
    std::optional<QString> expected;
};

std::optional<QString> Q(const char16_t* text) {
    return QString::fromUtf16(text);
}

void PrintTo(const ValueCase& c, std::ostream* out) {
    *out << c.name;
}

class IniValue : public testing::TestWithParam<ValueCase> {};

TEST_P(IniValue, ReadsTheWayTheProfileReaderDoes) {
    const ValueCase& c = GetParam();
    const IniSection section =
        ParseIniSection(QString::fromUtf16(c.text), QStringLiteral("seting"));
    EXPECT_EQ(section.Find(QString::fromUtf16(c.key)), c.expected);
}

const ValueCase kValueCases[] = {
    {"Plain", u"[seting]\ns30=Koniec\n", u"s30", Q(u"Koniec")},
    {"BlanksAroundKeyAndValue", u"[seting]\n  s30  =   Koniec pracy   \n", u"s30",
     Q(u"Koniec pracy")},
    {"TabsAroundKeyAndValue", u"[seting]\n\ts30\t=\tKoniec\t\n", u"s30", Q(u"Koniec")},
    {"DoubleQuotesKeepInnerBlanks", u"[seting]\ns30=\"  Koniec  \"\n", u"s30", Q(u"  Koniec  ")},
    {"SingleQuotes", u"[seting]\ns30='Koniec'\n", u"s30", Q(u"Koniec")},
    {"OnlyOnePairOfQuotesRemoved", u"[seting]\ns30=\"\"Koniec\"\"\n", u"s30", Q(u"\"Koniec\"")},
    {"MismatchedQuotesStay", u"[seting]\ns30=\"Koniec'\n", u"s30", Q(u"\"Koniec'")},
    {"QuoteOnlyAtStartStays", u"[seting]\ns30=\"Koniec\n", u"s30", Q(u"\"Koniec")},
    {"LoneQuoteStays", u"[seting]\ns30=\"\n", u"s30", Q(u"\"")},
    {"QuotesInsideStay", u"[seting]\ns30=a \"b\" c\n", u"s30", Q(u"a \"b\" c")},
    {"EqualsInsideValue", u"[seting]\ns39=a=b = c\n", u"s39", Q(u"a=b = c")},
    {"CommasKept", u"[seting]\ns38=Wybierz, prosz\u0119,  w\u0142a\u015Bciwe urz\u0105dzenie\n",
     u"s38", Q(u"Wybierz, prosz\u0119,  w\u0142a\u015Bciwe urz\u0105dzenie")},
    {"NoBreakSpaceIsText", u"[seting]\ns7=\u00A0Od\u00A0\n", u"s7", Q(u"\u00A0Od\u00A0")},
    {"EmptyValueIsPresent", u"[seting]\ns30=\n", u"s30", Q(u"")},
    {"KeyWithoutEqualsIsNotAKey", u"[seting]\ns30\n", u"s30", std::nullopt},
    {"KeyCaseIgnoredInFile", u"[seting]\nS30=Koniec\n", u"s30", Q(u"Koniec")},
    {"KeyCaseIgnoredInLookup", u"[seting]\ns30=Koniec\n", u"S30", Q(u"Koniec")},
    {"FirstOfRepeatedKeyWins", u"[seting]\ns30=first\ns30=second\n", u"s30", Q(u"first")},
    {"PrefixIsNotTheKey", u"[seting]\ns291=RAM\n", u"s29", std::nullopt},
    {"CommentLine", u"[seting]\n;s30=Koniec\n", u"s30", std::nullopt},
    {"SectionNameCaseIgnored", u"[SETING]\ns30=Koniec\n", u"s30", Q(u"Koniec")},
    {"BlanksAroundSectionName", u"  [ seting ]  \ns30=Koniec\n", u"s30", Q(u"Koniec")},
    {"OtherSectionIgnored", u"[setting]\ns30=Koniec\n", u"s30", std::nullopt},
    {"KeysBeforeAnySectionIgnored", u"s30=Koniec\n[seting]\n", u"s30", std::nullopt},
    {"SectionEndsAtNextHeader", u"[seting]\ns1=A\n[other]\ns30=Koniec\n", u"s30", std::nullopt},
    {"SectionResumesWhenRepeated", u"[seting]\ns1=A\n[other]\ns30=X\n[Seting]\ns30=Koniec\n",
     u"s30", Q(u"Koniec")},
    {"CrLfLineEnds", u"[seting]\r\ns1=A\r\ns30=Koniec\r\n", u"s30", Q(u"Koniec")},
    {"LoneCrLineEnds", u"[seting]\rs1=A\rs30=Koniec\r", u"s30", Q(u"Koniec")},
    {"NoFinalLineEnd", u"[seting]\ns30=Koniec", u"s30", Q(u"Koniec")},
};

INSTANTIATE_TEST_SUITE_P(Cases, IniValue, testing::ValuesIn(kValueCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IniSection, CollectsOnlyTheNamedSectionKeysInFileOrder) {
    const IniSection section = ParseIniSection(
        QStringLiteral("[other]\nq=1\n[seting]\ns2=Detal\n\nbad line\ns1 = Typ\ns2=again\n"),
        QStringLiteral("seting"));
    EXPECT_EQ(section.Keys(), (QStringList{QStringLiteral("s2"), QStringLiteral("s1")}));
    EXPECT_EQ(section.Size(), 2);
    EXPECT_FALSE(section.Contains(QStringLiteral("q")));
    EXPECT_EQ(section.Value(QStringLiteral("missing")), QString());
}

} // namespace
