#pragma once

#include <QByteArray>

#include <optional>

class TBsPort;

// Request data of the Detail and Summary uploads (the range the device is asked for).
// Numbers travel as packed BCD, most significant digit pair first.

inline constexpr int kZNumberDigits = 4; // a Z number: 0..9999
inline constexpr int kDateDigits = 6;    // a date as yymmdd
inline constexpr int kMaxZNumber = 9999;
inline constexpr int kMaxDateNumber = 999999;

// Byte 0 = 0, first and last Z number as four digits each: 5 bytes.
// Numbers outside 0..9999 give nothing.
std::optional<QByteArray> ZRangeRequest(int FirstZ, int LastZ);
// Byte 0 = 1, first and last date as yymmdd (six digits each, e.g. 240131): 7 bytes.
// Numbers outside 0..999999 give nothing.
std::optional<QByteArray> DateRangeRequest(int FirstYymmdd, int LastYymmdd);
// The whole fiscal memory: Z numbers 1 to 2100, as a Z range (00 00 01 21 00).
QByteArray WholeMemoryRequest();

// Copies Data into the link's RequestData and sets RequestDataLen. False (link unchanged)
// when Data is longer than a request may carry.
bool SetRequestData(TBsPort& Link, const QByteArray& Data);
