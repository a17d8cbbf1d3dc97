#pragma once

// The platform part of TComm: one open serial device, watched from the event loop of the
// thread that owns the component. A back-end opens, configures, reads and writes the device and
// reports back through SerialBackendEvents. TComm keeps the settings and what every platform
// shares: the send-data-empty flag, and the order in which one report reaches the owner's
// handlers, any of which may close or even release the component.
//
// Each platform's source file defines CreateSerialBackend and SerialDevicePath (spcomm.h); the
// build compiles exactly one (transport/CMakeLists.txt).

#include "transport/serial_line_settings.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QObject;

// How long writes wait after new line settings.
inline constexpr int kSerialSettleMs = 5;

// What a back-end reports. Each report is the last thing the back-end does in that turn of the
// event loop: the owner's handler behind it may close or even release the component.
struct SerialBackendEvents {
    // 1..kCommReadChunk received bytes, in order; Data is valid only during the call.
    std::function<void(const char* Data, int Count)> Bytes;
    // Line errors (kLineErrorXxx) and/or a modem event (kModemEventXxx) seen since the last
    // report; at least one of them is not 0.
    std::function<void(std::uint32_t LineErrors, std::uint32_t ModemEvent)> LinesChanged;
    // Reading or writing failed unexpectedly: watching has stopped, the device stays open and
    // later writes are refused until it is closed. Reason says why, in the system's words.
    std::function<void(const QString& Reason)> Hangup;
    // The transmit side has drained: once after every open and once after every burst of
    // writes, never for writes discarded by Close.
    std::function<void()> Drained;
};

class SerialBackend {
public:
    virtual ~SerialBackend() = default;

    // Opens the device at Path (already mapped by SerialDevicePath) for exclusive use, purges
    // both directions, applies Line and starts watching. Throws ECommsError with one of the
    // kCommErrorXxx texts and the system's reason; after a failure the back-end is closed.
    virtual void Open(const QString& Path, const SerialLineSettings& Line) = 0;
    // Stops watching, drops queued writes and what the driver holds in either direction,
    // gives back what the open changed and closes the device. Does nothing when closed.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    // Applies the whole line state to the open device. Once the driver has it, nothing is sent
    // for kSerialSettleMs (queued writes wait, the thread goes on): the UART and the device on
    // the other end settle at the new settings first.
    virtual void ApplyLineSettings(const SerialLineSettings& Line) = 0;
    // Drops received bytes not read yet.
    virtual void DiscardInput() = 0;
    // Leaves received bytes with the driver for Ms milliseconds, then reads on.
    virtual void PauseReading(int Ms) = 0;
    // Queues a copy of Count (> 0) bytes. False when closed or hung up.
    virtual bool Write(const char* Data, int Count) = 0;
    // The modem lines as kModemXxx bits; nothing when closed or the device has none.
    virtual std::optional<std::uint32_t> ModemStatus() const = 0;
};

// The back-end of the platform this program is built for. Its timers and notifiers are
// children of Context (the component), so they live in the component's thread.
std::unique_ptr<SerialBackend> CreateSerialBackend(QObject* Context, SerialBackendEvents Events);
