#include "fm/report_file.h"

#include "fm/file_writer.h"
#include "fm/upload_layout.h"

#include <QDir>
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
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            continue;
        QString error;
        switch (WriteNewFile(path, bytes, error)) {
        case NewFileResult::Written:
            return path;
        case NewFileResult::NameTaken:
            continue; // someone else took the name in between
        case NewFileResult::Failed:
            throw FileError(path, error);
        }
    }
}
