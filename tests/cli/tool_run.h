#pragma once

// Runs one of the built programs to its end, as a script would.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

struct ToolRun {
    int exitCode = -1; // -1: it did not end by itself within the guard, or crashed
    QByteArray out;
    QByteArray err;
};

// Program is a file name in the build's bin folder. Prepare (when given) sets the process up
// before it starts.
inline ToolRun RunTool(const char* Program, const QStringList& Args,
                       const std::function<void(QProcess&)>& Prepare = {}) {
    QProcess p;
    if (Prepare)
        Prepare(p);
    p.start(QStringLiteral(ORVEXFM_BIN_DIR "/") + QLatin1String(Program), Args);
    ToolRun r;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}
