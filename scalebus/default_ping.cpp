#include "scalebus/default_ping.h"

namespace scalebus {

std::function<bool(const QString& Address)> DefaultPingAddress() {
    // No echo component is linked in yet: without one, no address counts as reachable.
    return [](const QString&) { return false; };
}

} // namespace scalebus
