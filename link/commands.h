#pragma once

#include "link/link_transport.h"

#include <array>
#include <cstdint>

// Vocabulary of the device link: the 54 commands with their request-header templates, the
// transport kinds and the bit-rate tables.

// The device link's commands, in the device's ordinal order (the values travel nowhere, but
// callers and stored settings count on the order).
enum TEnumVarnCmd : std::uint8_t {
    H_PACK_OK,
    H_PACK_ERR,
    H_SETBAUD,
    H_PROGRAM64K,
    H_PROGRAM60K,
    H_LINE_OFF,
    H_UPLOAD_EPROM,
    H_UPLOAD_ROM,
    H_UPLOAD_RAM,
    H_UPLOAD_BC,
    H_UPLOAD_SETTING,
    H_UPLOAD_DEP,
    H_UPLOAD_PLU,
    H_UPLOAD_FIN,
    H_UPLOAD_PDEP,
    H_UPLOAD_PFIN,
    H_UPLOAD_PERIOD,
    H_UPLOAD_FISCAL,
    H_UPLOAD_TRADE,
    H_CHK_ECR,
    H_DOWNLOAD_SETTING,
    H_DOWNLOAD_DEP,
    H_DOWNLOAD_PLU,
    H_DOWNLOAD_FM,
    H_VARN_BUSY,
    H_DOWNLOAD_APLU,
    H_DOWNLOAD_MPLU,
    H_DOWNLOAD_UPLU,
    H_DOWNLOAD_KPLU,
    H_UPLOAD_TRANSACTION,
    H_DOWNLOAD_FTPPLUK,
    H_RESPONSE_PLU,
    H_UPLOAD_XRPT,
    H_UPLOAD_ZRPT,
    H_UPLOAD_CLERKRPT,
    H_DOWNLOAD_TAX,
    H_DOWNLOAD_LOGO,
    H_RESPONSE_TRADE,
    H_UPLOAD_COMDATA,
    H_DN_UpTrTaskOk,
    H_UP_PLUDATA,
    H_UP_DEPDATA,
    H_UP_TAXDATA,
    H_UP_TRINFO,
    H_DN_ADV,
    H_UP_NANDFLASH,
    H_DOWNLOAD_PPLU,
    H_Stock_Del,
    H_DOWNLOAD_SPLU,
    H_END_COMM,
    H_UPLOAD_Detail,
    H_UPLOAD_Summary,
    H_UPLOAD_Header,
    H_UPLOAD_Footer,
};
inline constexpr int kCommandCount = 54;

// What preparing a command does with its file.
enum class FileDirection : std::uint8_t {
    None,  // no file
    Write, // create or empty the file; received data is appended
    Read,  // open the file for reading; its contents are sent
};

// What the session does for a command once the bit rate has been agreed.
enum class StartAction : std::uint8_t {
    None,             // nothing further is sent; the current command stays H_SETBAUD
    DeviceCheckFirst, // send H_CHK_ECR; the command starts after its answer
    DownloadStart,    // the command becomes current, the next file packet may go
    UploadStart,      // the command becomes current, the next request may go
    EpromStart,       // as UploadStart, beginning at block 2038
    CurrentOnly,      // the command becomes current, nothing else
    SendUpTrTaskOk,   // send H_DN_UpTrTaskOk and make it current
};

struct CommandTemplate {
    const char* Name;
    std::uint8_t Class;
    std::uint8_t Code;
    std::uint8_t Byte7;
    std::uint8_t Byte8;
    int PacketSize; // 0 where no file is involved
    FileDirection File;
    StartAction After;
};

// A command's header row: nine 32-bit words; the low byte of word k is header byte k+1
// (words 0..3 address, 4 class, 5 code, 6 and 7 parameters, 8 the 16-bit sequence counter).
using CommandRow = std::array<std::uint32_t, 9>;
using CommandTable = std::array<CommandRow, kCommandCount>;

namespace detail {
using FD = FileDirection;
using SA = StartAction;
} // namespace detail

// clang-format off
inline constexpr std::array<CommandTemplate, kCommandCount> CommandTemplates = {{
    {"H_PACK_OK",            0x80, 0x0E, 0x00, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_PACK_ERR",           0x80, 0x0D, 0x00, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_SETBAUD",            0x80, 0x00, 0x01, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_PROGRAM64K",         0x90, 0x03, 0x00, 0x00,  256, detail::FD::Read,  detail::SA::DeviceCheckFirst},
    {"H_PROGRAM60K",         0x90, 0x05, 0x00, 0x00,  256, detail::FD::Read,  detail::SA::DownloadStart},
    {"H_LINE_OFF",           0x80, 0x02, 0x00, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_UPLOAD_EPROM",       0x83, 0x00, 0x00, 0x00,  256, detail::FD::Write, detail::SA::EpromStart},
    {"H_UPLOAD_ROM",         0x82, 0x00, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_RAM",         0x81, 0x00, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_BC",          0x80, 0x01, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_SETTING",     0x80, 0x03, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_DEP",         0x80, 0x04, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_PLU",         0x80, 0x05, 0x00, 0x00,  256, detail::FD::Write, detail::SA::DeviceCheckFirst},
    {"H_UPLOAD_FIN",         0x80, 0x06, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_PDEP",        0x80, 0x07, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_PFIN",        0x80, 0x08, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_PERIOD",      0x80, 0x09, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_FISCAL",      0x80, 0x0A, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_TRADE",       0x80, 0x0B, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_CHK_ECR",            0x80, 0x0C, 0x00, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_DOWNLOAD_SETTING",   0x90, 0x00, 0x00, 0x00, 2048, detail::FD::Read,  detail::SA::DeviceCheckFirst},
    {"H_DOWNLOAD_DEP",       0x90, 0x01, 0x00, 0x00, 1440, detail::FD::Read,  detail::SA::DeviceCheckFirst},
    {"H_DOWNLOAD_PLU",       0x90, 0x02, 0x00, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_DOWNLOAD_FM",        0x90, 0x02, 0x00, 0x00, 1024, detail::FD::Read,  detail::SA::DownloadStart},
    {"H_VARN_BUSY",          0x80, 0x0F, 0x00, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_DOWNLOAD_APLU",      0x90, 0x08, 0x00, 0x00,  640, detail::FD::Read,  detail::SA::DeviceCheckFirst},
    {"H_DOWNLOAD_MPLU",      0x90, 0x06, 0x00, 0x00,  640, detail::FD::Read,  detail::SA::DeviceCheckFirst},
    {"H_DOWNLOAD_UPLU",      0x90, 0x08, 0x00, 0x00,  108, detail::FD::Read,  detail::SA::DeviceCheckFirst},
    {"H_DOWNLOAD_KPLU",      0x90, 0x07, 0x00, 0x00, 2048, detail::FD::Read,  detail::SA::DownloadStart},
    {"H_UPLOAD_TRANSACTION", 0x91, 0x01, 0x00, 0x00,    0, detail::FD::None,  detail::SA::UploadStart},
    {"H_DOWNLOAD_FTPPLUK",   0x90, 0x09, 0x00, 0x00, 2048, detail::FD::Read,  detail::SA::DownloadStart},
    {"H_RESPONSE_PLU",       0x91, 0x02, 0x00, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_UPLOAD_XRPT",        0x80, 0x06, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_ZRPT",        0x80, 0x06, 0x01, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_CLERKRPT",    0x80, 0x07, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_DOWNLOAD_TAX",       0x90, 0x0A, 0x00, 0x00, 2048, detail::FD::Read,  detail::SA::DeviceCheckFirst},
    {"H_DOWNLOAD_LOGO",      0x90, 0x0B, 0x00, 0x00,  256, detail::FD::Read,  detail::SA::DownloadStart},
    {"H_RESPONSE_TRADE",     0x91, 0x03, 0x00, 0x00, 2048, detail::FD::Read,  detail::SA::None},
    {"H_UPLOAD_COMDATA",     0x80, 0x08, 0x00, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_DN_UpTrTaskOk",      0x90, 0x0C, 0x00, 0x00,    0, detail::FD::None,  detail::SA::SendUpTrTaskOk},
    {"H_UP_PLUDATA",         0x80, 0x11, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UP_DEPDATA",         0x80, 0x10, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UP_TAXDATA",         0x80, 0x12, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UP_TRINFO",          0x80, 0x0B, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_DN_ADV",             0x90, 0x0D, 0x00, 0x00, 1024, detail::FD::Read,  detail::SA::DownloadStart},
    {"H_UP_NANDFLASH",       0x80, 0x13, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_DOWNLOAD_PPLU",      0x90, 0x10, 0x00, 0x00,  640, detail::FD::Read,  detail::SA::CurrentOnly},
    {"H_Stock_Del",          0x90, 0x11, 0x00, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_DOWNLOAD_SPLU",      0x90, 0x12, 0x00, 0x00,  640, detail::FD::Read,  detail::SA::None},
    {"H_END_COMM",           0x80, 0x20, 0x00, 0x00,    0, detail::FD::None,  detail::SA::None},
    {"H_UPLOAD_Detail",      0x80, 0x10, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_Summary",     0x80, 0x11, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_Header",      0x80, 0x12, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
    {"H_UPLOAD_Footer",      0x80, 0x13, 0x00, 0x00,  256, detail::FD::Write, detail::SA::UploadStart},
}};
// clang-format on

inline constexpr const CommandTemplate& TemplateOf(TEnumVarnCmd Cmd) {
    return CommandTemplates[Cmd];
}

// The row the constant table gives a command: address 00 00 00 01, sequence 0.
constexpr CommandRow TemplateRow(TEnumVarnCmd Cmd) {
    const CommandTemplate& t = CommandTemplates[Cmd];
    return {0x00, 0x00, 0x00, 0x01, t.Class, t.Code, t.Byte7, t.Byte8, 0};
}

// The constant table as rows; a link copies it when created.
CommandTable DefaultCommandTable();

// The fiscal-memory uploads 50..53 (they share one request builder and packet handler).
constexpr bool IsFiscalMemoryCommand(TEnumVarnCmd Cmd) {
    return Cmd == H_UPLOAD_Detail || Cmd == H_UPLOAD_Summary || Cmd == H_UPLOAD_Header ||
           Cmd == H_UPLOAD_Footer;
}

// The commands whose refusal ends the upload at once.
constexpr bool IsUploadRefusalFatal(TEnumVarnCmd Cmd) {
    return IsFiscalMemoryCommand(Cmd) || Cmd == H_UPLOAD_EPROM;
}

// Bit rates of the device link's serial line, in index order.
enum TBaudRate : std::uint8_t {
    tbr1200,
    tbr2400,
    tbr4800,
    tbr9600,
    tbr19200,
    tbr38400,
    tbr57600,
    tbr115200,
};
inline constexpr int kBaudRateCount = 8;
inline constexpr std::array<int, kBaudRateCount> BaudRates = {1200,  2400,  4800,  9600,
                                                              19200, 38400, 57600, 115200};
// 115200 divided by the rate: what H_SETBAUD asks for in header byte 7.
inline constexpr std::array<std::uint8_t, kBaudRateCount> BaudDivisors = {96, 48, 24, 12,
                                                                          6,  3,  2,  1};
inline constexpr int kBaudIndex9600 = tbr9600;
inline constexpr int kBaudIndex115200 = tbr115200;

// 1200 -> 0 ... 115200 -> 7; any rate not in the table (9600 included) -> 3.
int BaudIndexOf(int BitRate);

// Bit rate of an index. An index outside the table gives 9600 rather than reading past it.
int BaudRateOfIndex(int Index);

const char* CommandName(TEnumVarnCmd Cmd);
