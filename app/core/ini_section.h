#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

// The key/value pairs of one section of an INI file, read the way the Windows profile reader
// delivers them. Keys are compared without regard to letter case.
class IniSection {
public:
    // The reader stops at the first line that names a key, so a repeated key keeps its first
    // value; Insert does the same.
    void Insert(const QString& Key, const QString& Value);

    std::optional<QString> Find(const QString& Key) const;
    // The value, or an empty text when the key is absent.
    QString Value(const QString& Key) const { return Find(Key).value_or(QString()); }
    bool Contains(const QString& Key) const { return Find(Key).has_value(); }

    qsizetype Size() const { return m_values.size(); }
    bool IsEmpty() const { return m_values.isEmpty(); }
    // The keys as the file spells them, in file order.
    const QStringList& Keys() const { return m_keys; }

private:
    static QString Fold(const QString& Key) { return Key.toCaseFolded(); }

    QHash<QString, QString> m_values; // folded key -> value
    QStringList m_keys;
};

// Collects the keys of every section named Section (letter case ignored) from INI text.
//  - Lines end at CR LF, LF or CR. Blanks (spaces, tabs) around a line are ignored.
//  - "[name]" starts a section; blanks around the name do not count.
//  - "key=value": the key is the text before the first "=", the value everything after it,
//    both without surrounding blanks; a value enclosed in one pair of matching single or
//    double quotes loses them. Further "=" and commas are part of the value.
//  - Lines without "=" and lines starting with ";" are not keys.
IniSection ParseIniSection(const QString& Text, const QString& Section);
