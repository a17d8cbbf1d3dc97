#pragma once

#include <QString>
#include <QStringList>

struct DiscCheckResult;

// The archiving window's own messages. They are fixed English texts: the language file does not
// replace them.
inline constexpr char kMsgAspiInitError[] = "Error initializing ASPI Layer";
inline constexpr char kMsgInsufficientSpace[] =
    "INSUFFICIENT DISC SPACE. REQUIRED %s KB,AVAILABLE %s KB";
inline constexpr char kMsgBurning[] = "Burning CD - Please wait";
inline constexpr char kMsgFinalizingTrack[] = "FINALIZING TRACK - PLEASE WAIT";
inline constexpr char kMsgBurnDoneOk[] = "Burning done - No error";
inline constexpr char kMsgBurnDoneError[] = "Burning done - With error";
inline constexpr char kMsgVerifying[] = "Verifying - please wait";
inline constexpr char kMsgVerifyDone[] = "Verify done - %1 files match";
inline constexpr char kMsgVerifyFailed[] = "Verify FAILED - ";

// Blocks of 2048 bytes as whole kilobytes.
qint64 BlocksToKb(qint64 Blocks);

// The "does not fit" line: the image's size and the disc's free space, both in KB.
QString InsufficientSpaceText(qint64 NeedBlocks, qint64 FreeBlocks);

// What a read-back found, as the lines the window and the command line show: "Verify done - N
// files match", or "Verify FAILED - " with the first file that differs (or what is wrong when
// no file is to blame) and then, for a file, why.
QStringList VerifyOutcomeLines(const DiscCheckResult& Result);
