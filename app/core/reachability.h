#pragma once

// The reachability check the upload road runs before and during an upload over UDP: ICMP echo
// requests to the device's address (TIcmpEcho), with the main window's settings.

#include <QString>

#include <functional>
#include <memory>

class TIcmpEcho;

// The check's settings: four requests, each waiting at most 10 ms, time-to-live 64. Reachable
// means all four were answered.
inline constexpr int kReachabilityPingCount = 4;
inline constexpr unsigned kReachabilityTimeOutMs = 10;
inline constexpr int kReachabilityTTL = 64;

// Makes the echo component; throws EIcmpError when the system permits no echo socket.
using IcmpEchoFactory = std::function<std::unique_ptr<TIcmpEcho>()>;

// Returns a function for UploadAction::ReachabilityCheck: true when Host answers every echo
// request of one check.
//
// The echo component is made at the first check, that is when the first UDP upload starts, and
// kept for the later ones; an owner that only ever uploads over a serial port never needs an
// echo socket. When it cannot be made the check throws EIcmpError ("ICMP运行错误"), which the
// upload writes to the memo before it stops; the next check tries again.
//
// A host name that does not resolve (or an empty host) counts as unreachable: the address of
// an earlier check is never checked in its place.
//
// Every check blocks the calling thread for at most PingCount x TimeOut ms, plus the name
// lookup of a host name. Use the function from one thread only.
std::function<bool(const QString& Host)>
MakeIcmpReachabilityCheck(IcmpEchoFactory Factory = IcmpEchoFactory());
