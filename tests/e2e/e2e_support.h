#pragma once

// Running orvexfm-sim and orvexfm-cli as processes, as an operator's script would.

#include "tests/support/file_bytes.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

namespace e2e {

// Hang guards only: every wait ends as soon as the process is done.
inline constexpr int kStartGuardMs = 10000;
inline constexpr int kRunGuardMs = 90000;

inline QString BinPath(const char* Name) {
    return QStringLiteral(ORVEXFM_BIN_DIR "/") + QLatin1String(Name);
}

// A long-running helper process (a simulated device, the relay): its first line of standard
// output is read at the start; it is stopped (SIGTERM, then kill) when it goes out of scope.
class Daemon {
public:
    explicit Daemon(const QStringList& Command) {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(Command.front(), Command.mid(1));
        if (!m_process.waitForStarted(kStartGuardMs))
            return;
        QElapsedTimer t;
        t.start();
        while (!m_process.canReadLine() && t.elapsed() < kStartGuardMs &&
               m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(100);
        m_firstLine = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    ~Daemon() { Stop(); }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    QString FirstLine() const { return m_firstLine; }
    // The port of a first line "UDP ADDR:PORT" or "RELAY ADDR:PORT".
    int Port() const {
        return m_firstLine.mid(m_firstLine.lastIndexOf(QLatin1Char(':')) + 1).toInt();
    }

    // Stops the process and returns its standard error (a device's summary line).
    QString Stop() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(kStartGuardMs)) {
                m_process.kill();
                m_process.waitForFinished(kStartGuardMs);
            }
            m_stderr += QString::fromLocal8Bit(m_process.readAllStandardError());
        }
        return m_stderr;
    }

private:
    QProcess m_process;
    QString m_firstLine;
    QString m_stderr;
};

// One simulated device; its first line is "PTY /dev/pts/N" or "UDP 127.0.0.2:PORT".
class Sim : public Daemon {
public:
    explicit Sim(const QStringList& Args) : Daemon(QStringList{BinPath("orvexfm-sim")} + Args) {}

    QString PtyPath() const {
        return FirstLine().startsWith(QStringLiteral("PTY ")) ? FirstLine().mid(4) : QString();
    }
    int UdpPort() const { return FirstLine().startsWith(QStringLiteral("UDP ")) ? Port() : 0; }
};

// orvexfm-cli's link options for a simulated device: its pseudo-terminal, or its UDP port on
// 127.0.0.2.
inline QStringList PortArgs(const Sim& S) {
    return {QStringLiteral("--port"), S.PtyPath()};
}
inline QStringList UdpArgs(const Sim& S) {
    return {QStringLiteral("--udp"), QStringLiteral("127.0.0.2"), QStringLiteral("--udp-port"),
            QString::number(S.UdpPort())};
}
// orvexfm-sim on UDP on a free port of its own, so tests may run side by side.
inline QStringList UdpSimArgs() {
    return {QStringLiteral("--udp"), QStringLiteral("--bind"), QStringLiteral("127.0.0.2"),
            QStringLiteral("--port"), QStringLiteral("0")};
}

struct CliResult {
    bool Finished = false; // false: the hang guard killed it
    int ExitCode = -1;
    QByteArray Out;
    QByteArray Err;

    QString LastOutLine() const {
        const QList<QByteArray> lines = Out.trimmed().split('\n');
        return lines.isEmpty() ? QString() : QString::fromLocal8Bit(lines.last().trimmed());
    }
    QString ErrText() const { return QString::fromLocal8Bit(Err); }
};

// Runs orvexfm-cli with Args. While it runs, During (when given) is called every 50 ms with the
// process; it returns true once it has done its job. Prepare (when given) sets the process up
// before it starts.
inline CliResult RunCli(const QStringList& Args, int GuardMs = kRunGuardMs,
                        const std::function<bool(QProcess&)>& During = {},
                        const std::function<void(QProcess&)>& Prepare = {}) {
    CliResult r;
    QProcess p;
    if (Prepare)
        Prepare(p);
    p.start(BinPath("orvexfm-cli"), Args);
    if (!p.waitForStarted(kStartGuardMs))
        return r;
    QElapsedTimer t;
    t.start();
    bool done = !During;
    while (p.state() != QProcess::NotRunning && t.elapsed() < GuardMs) {
        p.waitForFinished(50);
        if (!done)
            done = During(p);
    }
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(kStartGuardMs);
        r.Out = p.readAllStandardOutput();
        r.Err = p.readAllStandardError();
        return r;
    }
    r.Finished = p.exitStatus() == QProcess::NormalExit;
    r.ExitCode = p.exitCode();
    r.Out = p.readAllStandardOutput();
    r.Err = p.readAllStandardError();
    return r;
}

inline bool WriteFile(const QString& Path, const QByteArray& Bytes) {
    QFile f(Path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(Bytes) == Bytes.size();
}

} // namespace e2e
