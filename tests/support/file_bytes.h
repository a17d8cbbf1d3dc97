#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The whole content of a file; empty when it cannot be read.
inline QByteArray ReadAll(const QString& Path) {
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
