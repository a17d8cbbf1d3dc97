#include "fm/report_file.h"

#include "fm/upload_layout.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString Candidate(const QString& Dir, const QString& Base, const QString& Extension, int N) {
    const QString name =
        N == 0 ? Base + Extension : Base + QLatin1Char('_') + QString::number(N) + Extension;
    return QDir(Dir).filePath(name);
}

} // namespace

QString FileTimeStamp(const QDateTime& When) {
    return When.toString(QStringLiteral("yyyyMMdd_mmzzz"));
}

QByteArray ReportFileBytes(const QList<QByteArray>& Lines) {
    qsizetype total = 0;
    for (const QByteArray& line : Lines)
        total += line.size() + 2;
    QByteArray out;
    out.reserve(total);
    for (const QByteArray& line : Lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

QString UniqueTimestampedPath(const QString& Dir, const QString& Prefix, const QString& Extension,
                              const QDateTime& When) {
    const QString base = Prefix + FileTimeStamp(When);
    for (int n = 0;; ++n) {
        const QString path = Candidate(Dir, base, Extension, n);
        if (!QFileInfo::exists(path))
            return path;
    }
}

QString WriteReportFile(const QString& Dir, const QString& Prefix, const QDateTime& When,
                        const QList<QByteArray>& Lines) {
    const QByteArray bytes = ReportFileBytes(Lines);
    const QString base = Prefix + FileTimeStamp(When);
    for (int n = 0;; ++n) {
        const QString path = Candidate(Dir, base, QStringLiteral(".txt"), n);
        if (QFileInfo::exists(path))
            continue;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (QFileInfo::exists(path))
                continue; // someone else took the name in between
            throw FileError(path, file.errorString());
        }
        if (file.write(bytes) != bytes.size() || !file.flush()) {
            const QString reason = file.errorString();
            file.close();
            file.remove();
            throw FileError(path, reason);
        }
        file.close();
        if (file.error() != QFileDevice::NoError)
            throw FileError(path, file.errorString());
        return path;
    }
}
