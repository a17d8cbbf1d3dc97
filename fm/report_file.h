#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// The time stamp of generated file names: year, month, day, "_", minute, millisecond
// ("yyyyMMdd_nnZZZ": no hour and no second).
QString FileTimeStamp(const QDateTime& When);

// Report file content: every line followed by CR LF, the device's bytes as they are.
QByteArray ReportFileBytes(const QList<QByteArray>& Lines);

// Dir/Prefix + stamp + Extension (Extension with its dot, e.g. ".txt"). Because the stamp
// repeats every hour, a taken name gets "_1", "_2", ... before the extension, so an
// earlier file is never overwritten.
QString UniqueTimestampedPath(const QString& Dir, const QString& Prefix, const QString& Extension,
                              const QDateTime& When);

// Writes a new report file named as UniqueTimestampedPath gives (created exclusively, so a
// file appearing between the check and the write is not overwritten either) and returns its
// path. A file that cannot be written whole (a full disk) is removed again. Throws FileError.
QString WriteReportFile(const QString& Dir, const QString& Prefix, const QDateTime& When,
                        const QList<QByteArray>& Lines);
