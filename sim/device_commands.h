#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// The device's view of the command set: what a request's class and code bytes select. The
// host tells several commands apart only by what its session runs; the device answers by class
// and code, so each (class, code) pair maps to the one request this device serves for it.
namespace simcmd {

inline constexpr std::uint8_t kClassControl = 0x80;
inline constexpr std::uint8_t kClassFiscalData = 0x90;
inline constexpr std::uint8_t kClassEprom = 0x83;

inline constexpr std::uint8_t kCodeSetBaud = 0x00;
inline constexpr std::uint8_t kCodeLineOff = 0x02;
inline constexpr std::uint8_t kCodeRefuse = 0x0D;
inline constexpr std::uint8_t kCodeAcknowledge = 0x0E;
inline constexpr std::uint8_t kCodeDetail = 0x10;
inline constexpr std::uint8_t kCodeSummary = 0x11;
inline constexpr std::uint8_t kCodeHeader = 0x12;
inline constexpr std::uint8_t kCodeFooter = 0x13;
inline constexpr std::uint8_t kCodeEndComm = 0x20;
inline constexpr std::uint8_t kCodeEprom = 0x00;

// The ten 256-byte blocks of the change-data area sit at EPROM blocks 2038..2047; asking for
// the block after them ends an upload.
inline constexpr int kEpromFirstChangeBlock = 2038;
inline constexpr int kEpromChangeBlocks = 10;
inline constexpr int kBlockSize = 256;

// The end marker of the last fiscal-memory block, at data position 254 or 255.
inline constexpr std::uint8_t kEndMarker = 0xA5;

struct CommandKey {
    std::uint8_t Class = 0;
    std::uint8_t Code = 0;
    bool operator==(const CommandKey&) const = default;
    std::uint16_t Packed() const { return static_cast<std::uint16_t>((Class << 8) | Code); }
};

// Name for logs and the exit summary, e.g. "H_UPLOAD_Detail"; unknown pairs give "0x80:0x45".
QString CommandName(CommandKey Key);

// Accepts a command name (H_UPLOAD_Detail, case-insensitive) or "CLASS:CODE" in hex
// ("0x80:0x10" or "80:10").
std::optional<CommandKey> ParseCommand(const QString& Text);

} // namespace simcmd
