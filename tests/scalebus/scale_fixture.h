#pragma once

// A simulated scale in the test's own process, on a pseudo-terminal or on UDP, and a link set
// up to talk to it. The scale's I/O runs in the same event loop the link's waits run.

#include "scalebus/varn_ibus.h"
#include "sim/scale_devices.h"
#include "sim/scale_engine.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <memory>

struct SerialScale {
    explicit SerialScale(const ScaleConfig& Config) : Engine(Config), Device(Engine) {
        QString error;
        Ok = Device.Open(&error);
        EXPECT_TRUE(Ok) << error.toStdString();
        Link.SetMode(tmRS232);
        Link.SetCommName(Device.SlavePath());
        Link.SetLocalPort(0); // the UDP side is not used; keep port 5001 free
    }
    ScaleEngine Engine;
    ScalePtyDevice Device;
    scalebus::TVarnIBusComm Link;
    bool Ok = false;
};

struct UdpScale {
    explicit UdpScale(const ScaleConfig& Config) : Engine(Config), Device(Engine) {
        QString error;
        Ok = Device.Open(QStringLiteral("127.0.0.1"), 0, &error);
        EXPECT_TRUE(Ok) << error.toStdString();
        Link.SetMode(tmTCPIP);
        Link.SetLocalPort(0);
        Link.SetRemotePort(Device.LocalPort());
        Link.SetIP(QStringLiteral("127.0.0.1"));
        // The echo check is not what these tests are about: the address counts as reachable.
        Link.PingAddress = [this](const QString& Address) {
            PingedAddress = Address;
            return PingAnswers;
        };
    }
    ScaleEngine Engine;
    ScaleUdpDevice Device;
    scalebus::TVarnIBusComm Link;
    bool Ok = false;
    bool PingAnswers = true;
    QString PingedAddress;
};

// What a complete read of the simulated scale must produce.
inline QByteArray ExpectedMemory(std::uint32_t Seed) {
    QByteArray all;
    for (int block = 0; block < 2048; ++block)
        all.append(ScaleMemoryBlock(Seed, block));
    return all;
}
