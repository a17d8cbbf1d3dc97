#pragma once

#include "link/port_manager.h"

// The real transports for a port manager: a serial line (TComm) for tmRS232 and a UDP
// socket (TNMUDP, remote and local port UdpPort, normally 5002) for tmTCPIP.
TVarnMPComm::TransportFactory DefaultTransportFactory(int UdpPort = TBsPort::kUdpPort);
