// The language file: any bytes (with or without a byte-order mark) are decoded and the
// "seting" section read. What was read must be consistent and must read back the same when
// written out again as an INI section.

#include "app/core/ini_section.h"
#include "app/core/language_file.h"
#include "app/core/system_text.h"
#include "fuzz_input.h"

namespace {

using fuzzinput::Require;

bool IsBlank(QChar C) {
    return C == u' ' || C == u'\t';
}

} // namespace

int FuzzLanguageFileOneInput(const std::uint8_t* Data, std::size_t Size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(Data), qsizetype(Size));
    const QString text = DecodeTextFile(bytes, DecodeSystemText);
    const QString section = QString::fromLatin1(kLanguageSection);
    const IniSection values = ParseIniSection(text, section);

    Require(values.Keys().size() == values.Size());
    for (const QString& key : values.Keys()) {
        Require(values.Contains(key));
        Require(!key.contains(u'=') && !key.contains(u'\r') && !key.contains(u'\n'));
        Require(!key.startsWith(u';'));
        if (!key.isEmpty())
            Require(!IsBlank(key.front()) && !IsBlank(key.back()));
        const QString value = values.Value(key);
        Require(!value.contains(u'\r') && !value.contains(u'\n'));
    }

    // The section name is matched without regard to letter case.
    const IniSection upper = ParseIniSection(text, section.toUpper());
    Require(upper.Keys() == values.Keys());

    // Written out again, every key once and every value quoted, the section reads back the
    // same keys with the same values.
    QString again = QStringLiteral("[") + section + QStringLiteral("]\r\n");
    for (const QString& key : values.Keys())
        again += key + QStringLiteral("=\"") + values.Value(key) + QStringLiteral("\"\r\n");
    const IniSection reread = ParseIniSection(again, section);
    Require(reread.Keys() == values.Keys());
    for (const QString& key : values.Keys())
        Require(reread.Find(key) == values.Find(key));
    return 0;
}
