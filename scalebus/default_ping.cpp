#include "scalebus/default_ping.h"

#include "transport/icmp_echo.h"

#include <memory>

namespace scalebus {

std::function<bool(const QString& Address)> DefaultPingAddress() {
    // The echo component is made at the first check, not with the link: a system that grants
    // no echo socket then fails only the network connect, not the creation of the link (and of
    // the window that owns it). A failed attempt is tried again at the next check.
    auto echo = std::make_shared<std::unique_ptr<TIcmpEcho>>();
    return [echo](const QString& Address) {
        if (!*echo) {
            try {
                *echo = std::make_unique<TIcmpEcho>();
            } catch (const EIcmpError&) {
                return false;
            }
        }
        QString content;
        return (*echo)->PingAddress(Address, content);
    };
}

} // namespace scalebus
