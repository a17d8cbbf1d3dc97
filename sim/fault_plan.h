#pragma once

#include "sim/device_commands.h"

#include <cstdint>
#include <set>
#include <vector>

// Faults the simulated device can be told to commit, so that a host's recovery paths can be
// exercised. Every random choice comes from one generator seeded with Seed, so a run with the
// same options and the same requests behaves the same way.
//
// Answers and requests are counted from 1 in the order the device produces or receives them.
// A request counts when a valid frame arrives at the device's line rate.
struct FaultPlan {
    std::uint32_t Seed = 1;

    // Each answer goes out in pieces of SplitMin..SplitMax bytes, one write (or datagram) each.
    bool SplitChunks = false;
    int SplitMin = 1;
    int SplitMax = 64;

    // Percentage of answers whose check is spoilt: the CRC of a frame with data, the header
    // checksum of a header-only frame.
    int CorruptPercent = 0;

    std::set<int> DropAnswers; // answer numbers never sent
    int DropPercent = 0;

    std::set<int> DuplicateAnswers; // answer numbers sent twice
    int DuplicatePercent = 0;

    std::vector<simcmd::CommandKey> RefuseCommands; // always refused (code 0x0D)
    std::set<int> RefuseRequests;                   // request numbers refused

    int SilentAfter = -1; // after this many answers nothing more is sent; -1 never

    // Before each answer, 0..GarbageMax bytes of noise (never the start byte 0xAA).
    int GarbageMax = 0;

    // The device works only at this line rate (0: any rate): it starts there, ignores requests
    // sent at any other rate and does not acknowledge H_SETBAUD for any other rate.
    int OnlyRate = 0;

    // A loop-back or half-duplex adapter in front of the device: every byte the host sends
    // comes back to it, ahead of the device's answer, at the host's own line rate.
    bool EchoRequests = false;

    // The device never puts the end marker into a fiscal-memory block and answers every block
    // asked for, past its content with blocks of NUL bytes.
    bool NoEndMarker = false;

    // Before these answers (or this percentage of them), noise that passes for a frame
    // header: the answer's own header bytes with a data length of 4000..4094 and a header sum
    // that fits. The real answer follows right behind it.
    std::set<int> FalseHeaderAnswers;
    int FalseHeaderPercent = 0;

    // Once this many answers have gone out the device hangs up: it closes its side of the
    // line (a pseudo-terminal's master, a UDP socket) and hears nothing more. -1 never.
    int HangUpAfter = -1;

    // Before these answers, a stale answer without data: the same class and code, the
    // sequence byte of the request before (one less), as a late answer of an earlier
    // request would carry. Over UDP it is a datagram of its own.
    std::set<int> StaleEmptyAnswers;

    // These answers are sent once more, LateCopyMs after the first time: by then the host
    // may have gone on to its next exchange.
    std::set<int> LateCopyAnswers;
    int LateCopyMs = 150;

    bool Any() const {
        return SplitChunks || CorruptPercent > 0 || !DropAnswers.empty() || DropPercent > 0 ||
               !DuplicateAnswers.empty() || DuplicatePercent > 0 || !RefuseCommands.empty() ||
               !RefuseRequests.empty() || SilentAfter >= 0 || GarbageMax > 0 || OnlyRate > 0 ||
               EchoRequests || NoEndMarker || !FalseHeaderAnswers.empty() ||
               FalseHeaderPercent > 0 || HangUpAfter >= 0 || !StaleEmptyAnswers.empty() ||
               !LateCopyAnswers.empty();
    }
};
