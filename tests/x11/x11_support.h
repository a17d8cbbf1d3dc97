#pragma once

// Driving the window in a real X server (tests/x11/with-x-server starts one with a window
// manager): the application on the xcb platform, and key presses sent with xdotool, which
// goes through the XTest extension - the server turns them into key events exactly as it
// does for a keyboard, with the characters X11 attaches to them.

#include "tests/app/gui/gui_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QTest>

#include <functional>

namespace x11 {

inline QApplication& App() {
    return gui::TestApp("xcb");
}

using gui::WaitFor;

struct ToolResult {
    bool Ok = false;
    QString Output;
};

// Runs an X client tool and waits for it (bounded); Ok when it ran and exited with 0.
inline ToolResult RunTool(const QString& Program, const QStringList& Args, int TimeoutMs = 30000) {
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(Program, Args);
    ToolResult r;
    if (!p.waitForFinished(TimeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.Output = QString::fromUtf8(p.readAllStandardOutput());
    r.Ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return r;
}

// Presses and releases each key (xdotool names: "Tab", "Return", "Delete", "ctrl+v").
inline bool PressKeys(const QStringList& Keys) {
    return RunTool(QStringLiteral("xdotool"), QStringList{QStringLiteral("key")} + Keys).Ok;
}

// Types Text key by key.
inline bool TypeText(const QString& Text) {
    return RunTool(QStringLiteral("xdotool"), {QStringLiteral("type"), Text}).Ok;
}

} // namespace x11
