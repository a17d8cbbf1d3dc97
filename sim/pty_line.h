#pragma once

#include <QByteArray>
#include <QSocketNotifier>
#include <QString>

#include <functional>
#include <memory>

// The pseudo-terminal a simulated device sits on. The host opens the slave side as its serial
// port; the device keeps the slave open as well, so that the host closing it does not end the
// master side with an error, and so that it can read the line speed the host has set.
class PtyLine {
public:
    PtyLine() = default;
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // A raw 8N1 line at Rate until the host sets its own; OnReadable runs from the event loop
    // whenever the host has written.
    bool Open(int Rate, std::function<void()> OnReadable, QString* Error);
    QString SlavePath() const { return m_slavePath; }
    // The master side, non-blocking, for a device that watches it for room to write.
    int Master() const { return m_master; }

    // The speed the slave side is set to now (0 if unknown).
    int HostRate() const;
    // One chunk the host wrote; false once nothing is left to read.
    bool Read(QByteArray& Chunk);
    // Closes the device's side and its own hold on the slave, as an unplugged adapter would:
    // the host's reads end in a hang-up.
    void HangUp();
    // Bytes sent at Rate as the host receives them: noise when it samples the line at another
    // speed.
    QByteArray AsHeard(QByteArray Bytes, int Rate) const;

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Bits per second of a termios speed constant (0 for ones a device does not use).
int TermiosSpeedToRate(unsigned Speed);
