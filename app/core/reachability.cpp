#include "app/core/reachability.h"

#include "transport/icmp_echo.h"

namespace {

struct EchoCheck {
    IcmpEchoFactory Factory;
    std::unique_ptr<TIcmpEcho> Echo;

    bool Check(const QString& Host) {
        if (!Echo) {
            std::unique_ptr<TIcmpEcho> made = Factory ? Factory() : std::make_unique<TIcmpEcho>();
            if (!made)
                throw EIcmpError(kIcmpRunError);
            made->SetPingCount(kReachabilityPingCount);
            made->SetTimeOut(kReachabilityTimeOutMs);
            made->SetTTL(kReachabilityTTL);
            Echo = std::move(made);
        }
        // The component keeps the address of its last successful lookup and checks that one
        // when a new name does not resolve: a device whose name cannot be found would pass the
        // check on the strength of an earlier device. Clearing the address first leaves the
        // lookup of Host as the only source of the target.
        Echo->SetRemoteIP(QString());
        Echo->SetRemoteHost(Host);
        QString content;
        return Echo->PingRemote(content);
    }
};

} // namespace

std::function<bool(const QString& Host)> MakeIcmpReachabilityCheck(IcmpEchoFactory Factory) {
    auto state = std::make_shared<EchoCheck>();
    state->Factory = std::move(Factory);
    return [state](const QString& Host) { return state->Check(Host); };
}
