// The device check (H_CHK_ECR) that precedes some commands, and the program downloads
// (H_PROGRAM64K, H_PROGRAM60K) that send an image to the device 256 bytes at a time.

#include "link/bsport.h"
#include "link/status_texts.h"

#include <algorithm>
#include <optional>

namespace {

constexpr std::uint8_t kZReportDueBit = 0x40;
constexpr std::uint8_t kReceiptOpen = 3;
constexpr qint64 kProgramVersionOffset = 0x7FF2;
constexpr qint64 kProgramPacket = 256;
constexpr int kTailVersion = 50;
// Appended to some 64K packets; the device takes the first two of these bytes.
constexpr char kProgramTail[] = {0x66, static_cast<char>(0xF0), 0x00};
constexpr int kProgramTailSent = 2;

// Two bytes whose four hex digits are read as a decimal number: 01 23 gives 123. A digit
// above 9 makes it no decimal number at all.
std::optional<std::uint16_t> HexDigitsAsDecimal(std::uint8_t High, std::uint8_t Low) {
    int value = 0;
    for (const int nibble : {High >> 4, High & 0x0F, Low >> 4, Low & 0x0F}) {
        if (nibble > 9)
            return std::nullopt;
        value = value * 10 + nibble;
    }
    return static_cast<std::uint16_t>(value);
}

} // namespace

// ---------------------------------------------------------------------------------------
// Device check

void TBsPort::HandleDeviceCheckAnswer(const DeviceFrame& Frame) {
    const QByteArray& data = Frame.Data;
    // Positions the answer does not carry read as 0, as from a cleared receive buffer.
    const auto at = [&](qsizetype i) -> std::uint8_t {
        return i < data.size() ? static_cast<std::uint8_t>(data[i]) : 0;
    };
    const std::uint8_t state = at(1);
    ZReportDue = (state & kZReportDueBit) != 0;

    const TEnumVarnCmd cmd = EnumVarnCmd;
    DeviceSequence = std::max(DeviceSequence + 1, static_cast<int>(Commands[cmd][8]));
    Commands[cmd][8] = static_cast<std::uint32_t>(std::max<std::uint32_t>(
                           static_cast<std::uint32_t>(DeviceSequence), Commands[H_CHK_ECR][8])) &
                       0xFFFF;

    if (const auto version = HexDigitsAsDecimal(at(5), at(6))) {
        SwVersion = *version;
    } else {
        SwVersion = 0;
        ReportStatus(LinkStatusText(LinkText::BadDeviceVersion,
                                    QStringLiteral("%1").arg(at(5), 2, 16, QLatin1Char('0')),
                                    QStringLiteral("%1").arg(at(6), 2, 16, QLatin1Char('0'))));
    }

    const auto refuse = [&](int Result, const QString& Text) {
        DownloadState = -1;
        ReportStatus(Text);
        EndSession(SessionEnd::NotPossible, Result);
    };
    // The command starts now; its answers echo its own sequence counter from here on.
    const auto startDownload = [&] {
        CurrentCommand = cmd;
        CheckedCommand = cmd;
        DownloadState = 0;
    };

    switch (cmd) {
    case H_PROGRAM64K:
        if (state == kReceiptOpen) {
            refuse(-1, LinkStatusText(LinkText::ReceiptOpenOrZDue));
            return;
        }
        startDownload();
        break;
    case H_DOWNLOAD_SETTING:
    case H_DOWNLOAD_DEP:
    case H_DOWNLOAD_TAX:
        if (ZReportDue) {
            refuse(-2, LinkStatusText(LinkText::ZReportDue));
            return;
        }
        LinkState = 'L';
        startDownload();
        return;
    default:
        break;
    }
    if (StopAfter == 1)
        EndSession(SessionEnd::Finished, 3);
}

// ---------------------------------------------------------------------------------------
// Program downloads

// The image's version sits in the two bytes at 0x7FF2. An image too short to hold them, or
// whose version is no decimal number, is not sent: which tail the device expects depends on
// that version, and a wrong guess would write a broken program into the device.
bool TBsPort::ReadProgramVersion() {
    QByteArray bytes;
    if (m_inputFile.seek(kProgramVersionOffset))
        bytes = m_inputFile.read(2);
    m_inputFile.seek(0);
    if (bytes.size() != 2) {
        ReportStatus(LinkStatusText(LinkText::ProgramFileTooShort, m_inputFile.fileName()));
        return false;
    }
    const auto version = HexDigitsAsDecimal(static_cast<std::uint8_t>(bytes[0]),
                                            static_cast<std::uint8_t>(bytes[1]));
    if (!version) {
        ReportStatus(LinkStatusText(LinkText::ProgramFileBadVersion, m_inputFile.fileName(),
                                    QString::fromLatin1(bytes.toHex())));
        return false;
    }
    PrgVersion = *version;
    return true;
}

void TBsPort::BuildProgramPacket() {
    if (DownloadState != 0 || FileState != 1)
        return;
    const TEnumVarnCmd cmd = CurrentCommand;
    QByteArray packet = m_inputFile.read(kProgramPacket);
    if (packet.isNull() && m_inputFile.error() != QFileDevice::NoError) {
        // A read error is not the end of the image: the device must not be told it is done.
        ReportStatus(LinkStatusText(LinkText::ReadFailed, m_inputFile.fileName(),
                                    m_inputFile.errorString()));
        DownloadState = -1;
        EndSession(SessionEnd::FileFailed, 2);
        return;
    }
    const std::uint16_t block = BlockCounter;
    CommandRow& row = Commands[cmd];
    row[6] = block >> 8;
    row[7] = block & 0xFF;
    BumpSequence(cmd);
    BlockCounter = static_cast<std::uint16_t>(BlockCounter + 1);

    if (packet.isEmpty()) {
        DownloadState = -1;
        const QString finish = cmd == H_PROGRAM64K ? LinkStatusText(LinkText::Program64KDone)
                                                   : LinkStatusText(LinkText::Program60KDone);
        FinishText = finish;
        ReportStatus(finish, StatusKind::Completion);
        EndSession(SessionEnd::Finished, 3);
        return;
    }

    if (cmd == H_PROGRAM64K) {
        ReportStatus(LinkStatusText(LinkText::DeviceVersion, SwVersion));
        ReportStatus(LinkStatusText(LinkText::ProgramVersion, PrgVersion));
        ReportStatus(LinkStatusText(LinkText::ProgramAddress));
        const bool newDevice = SwVersion >= kTailVersion;
        const bool newProgram = PrgVersion >= kTailVersion;
        const bool tail = (newDevice && (newProgram || block < kProgram60KFirstBlock)) ||
                          (!newDevice && newProgram && block >= kProgram60KFirstBlock);
        if (tail)
            packet.append(kProgramTail, kProgramTailSent);
    }
    SendFrame(row, reinterpret_cast<const std::uint8_t*>(packet.constData()), true,
              static_cast<int>(packet.size()));
    DownloadState = 1;
    RetriesLeft = kDefaultRetries;
    SentAt = Now();
}
