#pragma once

#include <QString>

#include <functional>

namespace scalebus {

// The reachability check a new link uses for Connect in tmTCPIP mode: one ICMP echo request
// to a dotted IPv4 address, true when it is answered.
std::function<bool(const QString& Address)> DefaultPingAddress();

} // namespace scalebus
