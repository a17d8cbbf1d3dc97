#include "link/default_transports.h"

#include "link/serial_link_transport.h"
#include "link/udp_link_transport.h"

TVarnMPComm::TransportFactory DefaultTransportFactory(int UdpPort) {
    return [UdpPort](TMode mode) -> std::unique_ptr<LinkTransport> {
        if (mode == tmRS232)
            return std::make_unique<SerialLinkTransport>();
        return std::make_unique<UdpLinkTransport>(UdpPort, UdpPort);
    };
}
