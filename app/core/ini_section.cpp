#include "app/core/ini_section.h"

namespace {

bool IsBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

// Only spaces and tabs: QString::trimmed() would also eat characters such as the no-break
// space (0xA0 in the code page), which belong to a caption.
QStringView TrimBlanks(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

QStringView Unquote(QStringView value) {
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == u'"' || first == u'\'') && value.back() == first)
            return value.sliced(1, value.size() - 2);
    }
    return value;
}

// Calls OnLine for every line of Text; CR LF, LF and a lone CR each end a line.
template <typename F> void ForEachLine(QStringView text, F&& OnLine) {
    qsizetype start = 0;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = text[i];
        if (c == u'\r' || c == u'\n') {
            OnLine(text.sliced(start, i - start));
            if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')
                ++i;
            start = i + 1;
        }
        ++i;
    }
    if (start < n)
        OnLine(text.sliced(start));
}

} // namespace

void IniSection::Insert(const QString& Key, const QString& Value) {
    const QString folded = Fold(Key);
    if (m_values.contains(folded))
        return;
    m_values.insert(folded, Value);
    m_keys.append(Key);
}

std::optional<QString> IniSection::Find(const QString& Key) const {
    const auto it = m_values.constFind(Fold(Key));
    if (it == m_values.cend())
        return std::nullopt;
    return *it;
}

IniSection ParseIniSection(const QString& Text, const QString& Section) {
    IniSection result;
    bool inSection = false;
    ForEachLine(QStringView(Text), [&](QStringView raw) {
        const QStringView line = TrimBlanks(raw);
        if (line.isEmpty())
            return;
        if (line.front() == u'[') {
            qsizetype close = line.indexOf(u']');
            if (close < 0)
                close = line.size();
            const QStringView name = TrimBlanks(line.sliced(1, close - 1));
            inSection = name.compare(Section, Qt::CaseInsensitive) == 0;
            return;
        }
        if (!inSection || line.front() == u';')
            return;
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            return;
        const QStringView key = TrimBlanks(line.first(eq));
        if (key.isEmpty())
            return;
        result.Insert(key.toString(), Unquote(TrimBlanks(line.sliced(eq + 1))).toString());
    });
    return result;
}
