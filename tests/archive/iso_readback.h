#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// What an image file holds as seen through its Joliet tree: relative path -> contents, with
// folders as "path/" -> empty. Read back with xorriso, independently of the library that wrote
// it. Every written image carries a checksum list at its root; it is taken out of the map (and
// handed to ChecksumList when given), and its absence is an error. Error is set (and the map
// empty) when xorriso is missing or fails.
QMap<QString, QByteArray> ReadJolietTree(const QString& ImagePath, QString* Error,
                                         QByteArray* ChecksumList = nullptr);

// Checks an image with standard tools alone: "sha256sum -c SHA256SUMS" in the tree xorriso
// extracts through Joliet names, then xorriso's check of the session's recorded MD5 sum and of
// every file's. Empty when all three pass, else what failed and the tools' output.
QString CheckWithStandardTools(const QString& ImagePath);

// The first 2048-byte block of a file's data in an image, as xorriso reports it; -1 if none.
qint64 FileDataBlock(const QString& ImagePath, const QString& DiscPath);

// Changes (inverts) the byte at Offset of a file; false on failure.
bool FlipByte(const QString& Path, qint64 Offset);

// Writes Bytes to Path (creating folders); false on failure.
bool WriteTestFile(const QString& Path, const QByteArray& Bytes);
