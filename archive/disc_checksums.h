#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The checksum list every written disc carries at its root, in the format of sha256sum, so the
// disc can be checked later with standard tools ("sha256sum -c SHA256SUMS").
inline constexpr char kChecksumListName[] = "SHA256SUMS";

struct ChecksumEntry {
    QString Name;      // path on the disc, '/'-separated, relative to the root
    QByteArray Sha256; // 32 raw bytes
};

// One line of the list: hex digest, two spaces, name, newline. A name holding a backslash or a
// line break is escaped as sha256sum escapes it (the line then starts with a backslash).
QByteArray ChecksumLine(const ChecksumEntry& Entry);
QByteArray ChecksumList(const QList<ChecksumEntry>& Entries);

// Reads a list as sha256sum -c does: "HASH  NAME" or "HASH *NAME", escaped lines included.
// Fails (empty list, Error set) on the first line it cannot read.
QList<ChecksumEntry> ParseChecksumList(const QByteArray& Text, QString* Error);

// The name a file gets on the disc: what Joliet can hold, so that the Joliet tree, the Rock
// Ridge tree and the checksum list all show the same name. Characters Joliet refuses become
// '_', and a name longer than Joliet's 103 characters is shortened before its extension.
QString DiscName(const QString& Name);
