#include "bench/soak/child_process.h"

#include <QFile>

SimChild::SimChild(const QString& Program, const QStringList& Args, const QString& LogFile)
    : m_logFile(LogFile) {
    m_p.setStandardErrorFile(LogFile, QIODevice::Truncate);
    QObject::connect(&m_p, &QProcess::finished, [this] { m_endedAfterMs = m_clock.elapsed(); });
    m_clock.start();
    m_p.start(Program, Args);
    if (!m_p.waitForStarted(10000))
        return;
    QElapsedTimer t;
    t.start();
    while (!m_p.canReadLine() && t.elapsed() < 10000 && m_p.state() == QProcess::Running)
        m_p.waitForReadyRead(100);
    m_firstLine = QString::fromLocal8Bit(m_p.readLine()).trimmed();
}

SimChild::~SimChild() {
    if (!m_stopped)
        Stop(true);
}

QString SimChild::Pty() const {
    return m_firstLine.startsWith(QLatin1String("PTY ")) ? m_firstLine.mid(4) : QString();
}

SimChild::End SimChild::Stop(bool Kill) {
    m_stopped = true;
    End end;
    if (m_p.state() != QProcess::NotRunning) {
        if (Kill) {
            m_p.kill();
            end.Killed = true;
        } else {
            m_p.terminate();
        }
        if (!m_p.waitForFinished(10000)) {
            m_p.kill();
            end.Killed = true;
            m_p.waitForFinished(10000);
        }
    }
    end.DiedBySignal = m_p.exitStatus() == QProcess::CrashExit && !end.Killed;
    end.ExitCode = m_p.exitCode();
    QFile log(m_logFile);
    if (log.open(QIODevice::ReadOnly))
        end.Log = log.readAll();
    return end;
}

CliRun RunCli(const QString& Program, const QStringList& Args, int LimitMs) {
    CliRun run;
    QProcess p;
    p.start(Program, Args);
    if (!p.waitForStarted(10000))
        return run;
    if (!p.waitForFinished(LimitMs)) {
        run.Hung = true;
        p.kill();
        p.waitForFinished(10000);
    }
    run.DiedBySignal = !run.Hung && p.exitStatus() == QProcess::CrashExit;
    run.ExitCode = p.exitCode();
    run.Out = p.readAllStandardOutput();
    run.Err = p.readAllStandardError();
    return run;
}
