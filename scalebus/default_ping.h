#pragma once

#include <QString>

#include <functional>

namespace scalebus {

// The reachability check a new link uses for Connect in tmTCPIP mode: one ICMP echo request
// (TIcmpEcho::PingAddress) to a dotted IPv4 address, true when it is answered; false when the
// system grants no echo socket.
std::function<bool(const QString& Address)> DefaultPingAddress();

} // namespace scalebus
