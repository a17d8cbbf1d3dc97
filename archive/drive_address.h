#pragma once

#include <QList>
#include <QString>

#include <optional>

// A drive as the engine addresses it: a device ("/dev/sr0") or a libburn "stdio:" pseudo-drive
// writing an image file. A file drive may carry a capacity, because libburn reports the free
// space of the file system the image file lives on, not of the disc it stands for.
struct DriveAddress {
    QString Address;                      // what libburn is given ("stdio:" paths made absolute)
    std::optional<qint64> CapacityBlocks; // 2048-byte blocks

    bool IsFile() const;
    QString FilePath() const; // the image file of a "stdio:" drive, else empty
};

inline constexpr char kExtraDrivesVariable[] = "ORVEXFM_EXTRA_DRIVES";

// Parses one address with an optional "#blocks" capacity suffix ("stdio:/tmp/disc.iso#2500").
// Fails (nullopt, Error says why) on an empty address, a "stdio:" without a path, or a capacity
// that is not a whole number of blocks.
std::optional<DriveAddress> ParseDriveAddress(const QString& Text, QString* Error = nullptr);

// The ';'-separated value of ORVEXFM_EXTRA_DRIVES: "stdio:" entries only. Empty entries are
// skipped, and so are entries that do not parse (each noted in Rejected when given).
QList<DriveAddress> ParseExtraDrives(const QString& Value, QStringList* Rejected = nullptr);
