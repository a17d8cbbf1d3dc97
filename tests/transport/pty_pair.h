#pragma once

#include <QByteArray>
#include <QSocketNotifier>
#include <QString>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

// A pseudo-terminal made for one test: the component opens the slave path, the test plays the
// device on the master. A second slave descriptor is kept open so that the slave's settings
// can be read back and so that the master does not see a hang-up whenever the component
// closes its side.
class PtyPair {
public:
    PtyPair() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        const char* name = ::ptsname(m_master);
        if (!name)
            return;
        m_slavePath = QString::fromLocal8Bit(name);
        m_peek = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        m_notifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
    }
    ~PtyPair() {
        m_notifier.reset();
        CloseMaster();
        if (m_peek >= 0)
            ::close(m_peek);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return m_master >= 0 && m_peek >= 0 && !m_slavePath.isEmpty(); }
    const QString& SlavePath() const { return m_slavePath; }
    int Master() const { return m_master; }
    int Peek() const { return m_peek; }

    // Everything the component has sent so far (collected while the event loop runs and
    // reading is on).
    const QByteArray& Received() const { return m_received; }
    // Stop (or resume) taking bytes off the master, so that the component's writes back up.
    void SetReading(bool On) {
        m_reading = On;
        if (m_notifier)
            m_notifier->setEnabled(On);
        if (On)
            Drain();
    }

    // Writes all of Data to the master (the device sends it), waiting for room when needed.
    bool Send(const QByteArray& Data) {
        qsizetype done = 0;
        while (done < Data.size()) {
            const ssize_t n =
                ::write(m_master, Data.constData() + done, size_t(Data.size() - done));
            if (n > 0) {
                done += n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            fd_set set;
            FD_ZERO(&set);
            FD_SET(m_master, &set);
            timeval tv{5, 0};
            if (::select(m_master + 1, nullptr, &set, nullptr, &tv) <= 0)
                return false;
        }
        return true;
    }

    void CloseMaster() {
        m_notifier.reset();
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    void Drain() {
        if (!m_reading || m_master < 0)
            return;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            m_received.append(buffer, n);
        }
    }

    int m_master = -1;
    int m_peek = -1;
    QString m_slavePath;
    QByteArray m_received;
    bool m_reading = true;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
