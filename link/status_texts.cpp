#include "link/status_texts.h"

#include <array>
#include <utility>

namespace {

using Row = std::pair<LinkText, const char16_t*>;

// In the order of LinkText, so the table is indexed by the value (checked below).
constexpr std::array kTexts{
    Row{LinkText::BadRequestDataLength, u"Bad request data len=%1, at most %2 allowed"},
    Row{LinkText::SendFailed, u"send data(len=%1) failed: %2"},
    Row{LinkText::NoTransport, u"no transport"},
    Row{LinkText::ReceivedChunk, u"receive data(len=%1):%2"},
    Row{LinkText::BadHeaderSum, u"Bad DataPack command ChkSum"},
    Row{LinkText::FrameTooLong, u"Bad DataPack data len=%1 exceeds buffer %2"},
    Row{LinkText::BadFrameCrc, u"Bad DataPack data len=%1 CRCValue:%2<>%3"},
    Row{LinkText::Refused, u"Receive VARN answer: command err"},
    Row{LinkText::LateCopyIgnored,
        u"Late copy of an earlier exchange's packet (sequence %1) ignored"},
    Row{LinkText::CannotOpenFile, u"Can not open file %1: %2"},
    Row{LinkText::CannotCreateFile, u"Can not create file %1: %2"},
    Row{LinkText::WriteFailedReason, u"Write file %1 fail: %2"},
    Row{LinkText::WriteFailed, u"Write file %1 fail"},
    Row{LinkText::ReadFailed, u"Read file %1 fail: %2"},
    Row{LinkText::AckTimeoutRetry, u"延迟 %1 毫秒, 再试: %2 次"},
    Row{LinkText::AckFailed, u"VARN 命令: ack 失败"},
    Row{LinkText::UdpOpenFailed, u"Open UDP %1 fail: %2"},
    Row{LinkText::TryBaudRate, u"Set baudrate: try baudrate: %1"},
    Row{LinkText::BaudTimeoutRetry, u"Elapse %1 ms, try again: %2"},
    Row{LinkText::BaudAckFailed, u"Varn Command: catch ack fail"},
    Row{LinkText::BaudRateSet, u"Set Baudrate successful."},
    Row{LinkText::BadDeviceVersion, u"Bad device software version %1%2"},
    Row{LinkText::ReceiptOpenOrZDue, u"Receipt is open or Z Report must be taken!"},
    Row{LinkText::ZReportDue, u"Z Report must be taken!"},
    Row{LinkText::ProgramFileTooShort, u"Program file %1 is too short: no version at 0x7FF2"},
    Row{LinkText::ProgramFileBadVersion, u"Program file %1: bad version %2 at 0x7FF2"},
    Row{LinkText::Program64KDone, u"Finish trans VARN 64K program!"},
    Row{LinkText::Program60KDone, u"Finish trans VARN 60K program!"},
    Row{LinkText::DeviceVersion, u"iEcrSWVerNO: %1"},
    Row{LinkText::ProgramVersion, u"iPrgVerNO: %1"},
    Row{LinkText::ProgramAddress, u"iAddr:"},
    Row{LinkText::DetailDone, u"数据上载完毕!"},
    Row{LinkText::SummaryDone, u"部门报表上载完毕!"},
    Row{LinkText::EpromDone, u"Finish upload EPROM data!"},
    Row{LinkText::RomDone, u"Finish upload ROM data!"},
    Row{LinkText::RamDone, u"Finish upload RAM data!"},
    Row{LinkText::NandFlashDone, u"Finish upload NANDFLASH data!"},
    Row{LinkText::FiscalReportDone, u"Finish upload FISCAL report!"},
    Row{LinkText::HourlyReportDone, u"Finish upload hourly report!"},
    Row{LinkText::ZReportDone, u"Finish upload Z report!"},
    Row{LinkText::ClerkReportDone, u"Finish upload clerk report!"},
    Row{LinkText::FinancialReportDone, u"Finish upload financial affairs report!"},
    Row{LinkText::PeriodDepartmentReportDone, u"Finish upload period department report!"},
    Row{LinkText::PeriodFinancialReportDone, u"Finish upload period financial affairs report!"},
    Row{LinkText::BroadcastDone, u"Finish upload broadcast result data!"},
    Row{LinkText::BusyHourlyReport, u"Varn/Fiscal Printer is busy,can not upload hourly report"},
    Row{LinkText::BusyXReport, u"Varn/Fiscal Printer is busy,can not upload X report"},
    Row{LinkText::BusyZReport, u"Varn/Fiscal Printer is busy,can not clear Z report"},
    Row{LinkText::BusyClerkReport, u"Varn/Fiscal Printer is busy,can not upload cashier report"},
    Row{LinkText::ZReportError94, u"Can not upload Z report.(Ecr Error 94)"},
    Row{LinkText::NoEndMarker,
        u"No end marker up to block %1, the last a request can name: upload stopped"},
    Row{LinkText::LineDisconnected, u"Line %1 disconnected: %2"},
    Row{LinkText::FrameOverdue,
        u"Frame incomplete %1 ms after its last bytes (%2 of %3 bytes came): searched again "
        u"from its next byte"},
};

constexpr bool InEnumOrder() {
    for (std::size_t i = 0; i < kTexts.size(); ++i)
        if (static_cast<std::size_t>(kTexts[i].first) != i)
            return false;
    return true;
}
static_assert(InEnumOrder(), "kTexts must list every LinkText in the enum's order");
static_assert(kTexts.size() == static_cast<std::size_t>(LinkText::FrameOverdue) + 1);

} // namespace

QString LinkStatusText(LinkText Id) {
    return QString::fromUtf16(kTexts[static_cast<std::size_t>(Id)].second);
}
