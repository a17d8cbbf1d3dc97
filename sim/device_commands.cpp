#include "sim/device_commands.h"

#include <QStringList>

#include <array>

namespace simcmd {

namespace {

struct NamedCommand {
    const char* Name;
    std::uint8_t Class;
    std::uint8_t Code;
};

// Where several commands share class and code, the first row is the one this device serves
// (the fiscal-memory uploads win over the department and PLU uploads with the same bytes).
constexpr std::array kCommands{
    NamedCommand{"H_PACK_OK", 0x80, 0x0E},
    NamedCommand{"H_PACK_ERR", 0x80, 0x0D},
    NamedCommand{"H_SETBAUD", 0x80, 0x00},
    NamedCommand{"H_UPLOAD_Detail", 0x80, 0x10},
    NamedCommand{"H_UPLOAD_Summary", 0x80, 0x11},
    NamedCommand{"H_UPLOAD_Header", 0x80, 0x12},
    NamedCommand{"H_UPLOAD_Footer", 0x80, 0x13},
    NamedCommand{"H_UPLOAD_EPROM", 0x83, 0x00},
    // Requests this device serves under bytes that other commands share.
    NamedCommand{"H_UPLOAD_XRPT", 0x80, 0x06},
    NamedCommand{"H_UPLOAD_CLERKRPT", 0x80, 0x07},
    NamedCommand{"H_UPLOAD_COMDATA", 0x80, 0x08},
    NamedCommand{"H_PROGRAM64K", 0x90, 0x03},
    NamedCommand{"H_PROGRAM60K", 0x90, 0x05},
    NamedCommand{"H_LINE_OFF", 0x80, 0x02},
    NamedCommand{"H_UPLOAD_ROM", 0x82, 0x00},
    NamedCommand{"H_UPLOAD_RAM", 0x81, 0x00},
    NamedCommand{"H_UPLOAD_BC", 0x80, 0x01},
    NamedCommand{"H_UPLOAD_SETTING", 0x80, 0x03},
    NamedCommand{"H_UPLOAD_DEP", 0x80, 0x04},
    NamedCommand{"H_UPLOAD_PLU", 0x80, 0x05},
    NamedCommand{"H_UPLOAD_FIN", 0x80, 0x06},
    NamedCommand{"H_UPLOAD_PDEP", 0x80, 0x07},
    NamedCommand{"H_UPLOAD_PFIN", 0x80, 0x08},
    NamedCommand{"H_UPLOAD_PERIOD", 0x80, 0x09},
    NamedCommand{"H_UPLOAD_FISCAL", 0x80, 0x0A},
    NamedCommand{"H_UPLOAD_TRADE", 0x80, 0x0B},
    NamedCommand{"H_CHK_ECR", 0x80, 0x0C},
    NamedCommand{"H_DOWNLOAD_SETTING", 0x90, 0x00},
    NamedCommand{"H_DOWNLOAD_DEP", 0x90, 0x01},
    NamedCommand{"H_DOWNLOAD_FM", 0x90, 0x02},
    NamedCommand{"H_VARN_BUSY", 0x80, 0x0F},
    NamedCommand{"H_DOWNLOAD_APLU", 0x90, 0x08},
    NamedCommand{"H_DOWNLOAD_MPLU", 0x90, 0x06},
    NamedCommand{"H_DOWNLOAD_KPLU", 0x90, 0x07},
    NamedCommand{"H_UPLOAD_TRANSACTION", 0x91, 0x01},
    NamedCommand{"H_DOWNLOAD_FTPPLUK", 0x90, 0x09},
    NamedCommand{"H_RESPONSE_PLU", 0x91, 0x02},
    NamedCommand{"H_DOWNLOAD_TAX", 0x90, 0x0A},
    NamedCommand{"H_DOWNLOAD_LOGO", 0x90, 0x0B},
    NamedCommand{"H_RESPONSE_TRADE", 0x91, 0x03},
    NamedCommand{"H_DN_UpTrTaskOk", 0x90, 0x0C},
    NamedCommand{"H_DN_ADV", 0x90, 0x0D},
    NamedCommand{"H_DOWNLOAD_PPLU", 0x90, 0x10},
    NamedCommand{"H_Stock_Del", 0x90, 0x11},
    NamedCommand{"H_DOWNLOAD_SPLU", 0x90, 0x12},
    NamedCommand{"H_END_COMM", 0x80, 0x20},
};

std::optional<int> ParseHexByte(QString Text) {
    Text = Text.trimmed();
    if (Text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        Text = Text.mid(2);
    bool ok = false;
    const int value = Text.toInt(&ok, 16);
    if (!ok || Text.isEmpty() || value < 0 || value > 0xFF)
        return std::nullopt;
    return value;
}

} // namespace

QString CommandName(CommandKey Key) {
    for (const auto& c : kCommands) {
        if (c.Class == Key.Class && c.Code == Key.Code)
            return QString::fromLatin1(c.Name);
    }
    return QStringLiteral("0x%1:0x%2")
        .arg(Key.Class, 2, 16, QLatin1Char('0'))
        .arg(Key.Code, 2, 16, QLatin1Char('0'));
}

std::optional<CommandKey> ParseCommand(const QString& Text) {
    for (const auto& c : kCommands) {
        if (Text.trimmed().compare(QLatin1String(c.Name), Qt::CaseInsensitive) == 0)
            return CommandKey{c.Class, c.Code};
    }
    const QStringList parts = Text.split(QLatin1Char(':'));
    if (parts.size() != 2)
        return std::nullopt;
    const auto cls = ParseHexByte(parts[0]);
    const auto code = ParseHexByte(parts[1]);
    if (!cls || !code)
        return std::nullopt;
    return CommandKey{static_cast<std::uint8_t>(*cls), static_cast<std::uint8_t>(*code)};
}

} // namespace simcmd
