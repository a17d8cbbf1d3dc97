#include "bench/soak/proc_probe.h"

#include <QDir>
#include <QFile>

namespace {

long StatusField(const QByteArray& Status, const char* Name) {
    for (const QByteArray& line : Status.split('\n')) {
        if (line.startsWith(Name)) {
            const QByteArray value = line.mid(qsizetype(qstrlen(Name))).trimmed();
            return value.split(' ').value(0).toLong();
        }
    }
    return -1;
}

} // namespace

ProcSample SampleProc() {
    ProcSample s;
    // The listing's own descriptor is among the entries, in every sample alike.
    s.Fds = int(QDir(QStringLiteral("/proc/self/fd"))
                    .entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)
                    .size());
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        const QByteArray text = status.readAll();
        s.Threads = int(StatusField(text, "Threads:"));
        s.RssKb = StatusField(text, "VmRSS:");
    }
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks) {
        QFile children(QStringLiteral("/proc/self/task/%1/children").arg(task));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& pid : children.readAll().simplified().split(' '))
            if (!pid.isEmpty())
                s.Children.append(pid_t(pid.toInt()));
    }
    return s;
}
