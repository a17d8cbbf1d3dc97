#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

// One orvexfm-sim child: started, its first line read ("PTY /dev/pts/N" or "UDP A:P"), its
// standard error (the --verbose log and the closing summary) kept in a file, and stopped and
// reaped at the end of the upload.
class SimChild {
public:
    SimChild(const QString& Program, const QStringList& Args, const QString& LogFile);
    ~SimChild();

    bool Started() const { return !m_firstLine.isEmpty(); }
    QString FirstLine() const { return m_firstLine; }
    QString Pty() const; // the pseudo-terminal's path, empty for UDP
    // The process ended by itself while the upload ran (it should run until it is stopped).
    bool EndedEarly() const { return m_p.state() == QProcess::NotRunning; }
    qint64 EndedAfterMs() const { return m_endedAfterMs; } // -1 while it runs

    struct End {
        bool DiedBySignal = false; // a signal other than the soak's own SIGKILL ended it
        bool Killed = false;       // it did not stop on SIGTERM and was killed
        int ExitCode = 0;
        QByteArray Log; // everything it wrote to standard error
    };
    // SIGTERM (the device writes its summary and exits), SIGKILL if it does not; reaps it.
    // Kill: SIGKILL at once (after a hang).
    End Stop(bool Kill = false);

private:
    QProcess m_p;
    QString m_logFile;
    QString m_firstLine;
    bool m_stopped = false;
    QElapsedTimer m_clock;
    qint64 m_endedAfterMs = -1;
};

// One orvexfm-cli run to its end, or killed at the time limit.
struct CliRun {
    bool Hung = false;
    bool DiedBySignal = false;
    int ExitCode = -1;
    QByteArray Out;
    QByteArray Err;
};
CliRun RunCli(const QString& Program, const QStringList& Args, int LimitMs);
