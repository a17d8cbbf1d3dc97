#include "archive/disc_checksums.h"

#include <QStringList>

namespace {

// Joliet names hold at most this many UCS-2 characters (libisofs' "long names").
constexpr qsizetype kJolietMaxChars = 103;

bool JolietRefuses(char16_t C) {
    return C < 0x20 || C == u'*' || C == u'/' || C == u':' || C == u';' || C == u'?' || C == u'\\';
}

} // namespace

QByteArray ChecksumLine(const ChecksumEntry& Entry) {
    QByteArray name = Entry.Name.toUtf8();
    const bool escaped = name.contains('\\') || name.contains('\n') || name.contains('\r');
    if (escaped)
        name.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r");
    return (escaped ? "\\" : "") + Entry.Sha256.toHex() + "  " + name + '\n';
}

QByteArray ChecksumList(const QList<ChecksumEntry>& Entries) {
    QByteArray text;
    for (const ChecksumEntry& entry : Entries)
        text += ChecksumLine(entry);
    return text;
}

QList<ChecksumEntry> ParseChecksumList(const QByteArray& Text, QString* Error) {
    QList<ChecksumEntry> entries;
    const QList<QByteArray> lines = Text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.isEmpty() && i == lines.size() - 1)
            break;
        auto fail = [&] {
            *Error = QStringLiteral("%1 line %2 is not a checksum line")
                         .arg(QString::fromLatin1(kChecksumListName))
                         .arg(i + 1);
            return QList<ChecksumEntry>();
        };
        const bool escaped = line.startsWith('\\');
        if (escaped)
            line.remove(0, 1);
        if (line.size() < 64 + 2 || (line[64] != ' ') || (line[65] != ' ' && line[65] != '*'))
            return fail();
        const QByteArray hex = line.left(64);
        const QByteArray digest = QByteArray::fromHex(hex);
        if (digest.size() != 32 || digest.toHex() != hex.toLower())
            return fail();
        QByteArray name = line.mid(66);
        if (escaped) {
            QByteArray plain;
            for (qsizetype k = 0; k < name.size(); ++k) {
                if (name[k] != '\\' || k + 1 == name.size()) {
                    plain += name[k];
                    continue;
                }
                const char next = name[++k];
                plain += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
            }
            name = plain;
        }
        if (name.isEmpty())
            return fail();
        entries.append({QString::fromUtf8(name), digest});
    }
    return entries;
}

QString DiscName(const QString& Name) {
    QString name;
    for (const QChar c : Name) {
        // Characters beyond the 16-bit range have no UCS-2 form: one '_' each.
        if (c.isLowSurrogate())
            continue;
        name += JolietRefuses(c.unicode()) || c.isHighSurrogate() ? QChar(u'_') : c;
    }
    if (name.size() <= kJolietMaxChars)
        return name;
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString extension = dot > 0 && name.size() - dot <= 16 ? name.mid(dot) : QString();
    return name.left(kJolietMaxChars - extension.size()) + extension;
}
