#pragma once

#include <QEventLoop>
#include <QTimer>

#include <functional>

// Runs the event loop until Condition holds or HangGuardMs has passed; the guard only keeps a
// broken component from hanging the run, it is not a measure of speed.
inline bool WaitFor(const std::function<bool()>& Condition, int HangGuardMs = 10000) {
    if (Condition())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (Condition())
            loop.quit();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    check.start();
    guard.start(HangGuardMs);
    loop.exec();
    return Condition();
}

// Lets the event loop run for a while; used only to give an event that must NOT come a
// chance to show up.
inline void RunEventsFor(int Ms) {
    QEventLoop loop;
    QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
    loop.exec();
}
