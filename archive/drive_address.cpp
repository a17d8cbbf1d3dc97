#include "archive/drive_address.h"

#include <QFileInfo>
#include <QStringList>

namespace {

constexpr QStringView kStdioPrefix = u"stdio:";

} // namespace

bool DriveAddress::IsFile() const {
    return Address.startsWith(kStdioPrefix);
}

QString DriveAddress::FilePath() const {
    return IsFile() ? Address.mid(kStdioPrefix.size()) : QString();
}

std::optional<DriveAddress> ParseDriveAddress(const QString& Text, QString* Error) {
    auto fail = [&](const QString& Why) -> std::optional<DriveAddress> {
        if (Error)
            *Error = Why;
        return std::nullopt;
    };
    QString address = Text.trimmed();
    DriveAddress result;
    // Only the last '#' starts a capacity, so a path may itself hold '#'.
    const qsizetype hash = address.lastIndexOf(u'#');
    if (hash >= 0) {
        const QString blocks = address.mid(hash + 1).trimmed();
        bool ok = false;
        const qint64 value = blocks.toLongLong(&ok);
        if (!ok || value < 0 || blocks.startsWith(u'+'))
            return fail(QStringLiteral("\"%1\": the capacity after '#' must be a whole number of "
                                       "2048-byte blocks")
                            .arg(Text));
        result.CapacityBlocks = value;
        address = address.first(hash).trimmed();
    }
    if (address.isEmpty())
        return fail(QStringLiteral("\"%1\": no drive address").arg(Text));
    if (address.startsWith(kStdioPrefix)) {
        const QString path = address.mid(kStdioPrefix.size());
        if (path.isEmpty())
            return fail(QStringLiteral("\"%1\": \"stdio:\" needs a file path").arg(Text));
        // libburn resolves nothing against the working folder; hand it an absolute path.
        address = kStdioPrefix.toString() + QFileInfo(path).absoluteFilePath();
    }
    result.Address = address;
    return result;
}

QList<DriveAddress> ParseExtraDrives(const QString& Value, QStringList* Rejected) {
    QList<DriveAddress> drives;
    for (const QString& part : Value.split(u';', Qt::SkipEmptyParts)) {
        if (part.trimmed().isEmpty())
            continue;
        QString error;
        std::optional<DriveAddress> drive = ParseDriveAddress(part, &error);
        if (drive && !drive->IsFile())
            error = QStringLiteral("\"%1\": only \"stdio:\" drives may be added").arg(part);
        if (!drive || !drive->IsFile()) {
            if (Rejected)
                Rejected->append(error);
            continue;
        }
        drives.append(*drive);
    }
    return drives;
}
