#pragma once

#include "link/link_transport.h"

#include <memory>

class TComm;

// The device link over a serial line (TComm): 8 data bits, no parity, 1 stop bit, no flow
// control, RTS on, DTR off, starting at 9600 bit/s.
class SerialLinkTransport : public LinkTransport {
public:
    SerialLinkTransport();
    ~SerialLinkTransport() override;

    void SetEndpoint(const QString& Endpoint) override;
    QString Endpoint() const override;
    bool OpenLine() override;
    void Close() override;
    bool IsOpen() const override;
    QString LastError() const override { return m_lastError; }
    bool Write(const QByteArray& Bytes) override;
    void DiscardInput() override;
    bool AgreesBitRate() const override { return true; }
    bool IsDatagram() const override { return false; }
    void SetBaudRate(int BitsPerSecond) override;
    void ExpectBytes(int Count) override;
    std::uint32_t ModemStatus() const override;

    TComm& Comm() { return *m_comm; }

private:
    std::unique_ptr<TComm> m_comm;
    QString m_lastError;
    int m_bitRate = 9600;
};
