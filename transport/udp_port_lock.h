#pragma once

#include <QString>

// A machine-wide hold on a local UDP port number, for as long as a link talks through it.
//
// The link's socket binds its port with address reuse, so that a device simulator or a relay
// on another loopback address can use the same number; that leaves nothing to stop a second
// program on this machine from binding the port as well, and the answers meant for one
// would then reach the other. The hold is an abstract-namespace socket named after the port:
// only one process can have it, it goes away with its process, and whoever asks for it
// while it is held can learn which process holds it.
class UdpPortLock {
public:
    UdpPortLock() = default;
    ~UdpPortLock() { Release(); }
    UdpPortLock(const UdpPortLock&) = delete;
    UdpPortLock& operator=(const UdpPortLock&) = delete;

    // Takes the hold on Port (1..65535). False when it is held already (by another process
    // or another link of this one) or cannot be taken; Error then says so, naming the holder
    // when it can be found.
    bool Acquire(int Port, QString* Error);
    void Release();
    bool Held() const { return m_fd >= 0; }
    int Port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};
