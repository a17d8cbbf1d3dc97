#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// What an image file holds as seen through its Joliet tree: relative path -> contents, with
// folders as "path/" -> empty. Read back with xorriso, independently of the library that wrote
// it. Error is set (and the map empty) when xorriso is missing or fails.
QMap<QString, QByteArray> ReadJolietTree(const QString& ImagePath, QString* Error);

// Writes Bytes to Path (creating folders); false on failure.
bool WriteTestFile(const QString& Path, const QByteArray& Bytes);
