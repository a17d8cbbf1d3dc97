#include "link/port_manager.h"

#include <QDir>
#include <QFile>
#include <QTextStream>
#include <QTimer>

namespace {

QString NormalisedName(const QString& Name) {
    return Name.trimmed().toUpper();
}

} // namespace

TVarnMPComm::TVarnMPComm(TransportFactory Factory, QObject* Parent) : QObject(Parent) {
    for (int i = 0; i < kPortCount; ++i) {
        auto* link = new TBsPort(this);
        if (Factory) {
            link->SetTransport(tmRS232, Factory(tmRS232));
            link->SetTransport(tmTCPIP, Factory(tmTCPIP));
        }
        link->SetCommName(QStringLiteral("COM%1").arg(i + 1));
        // A new session may fall due before the pass the driver waits for, and an ended one
        // may leave nothing to wait for: look at once.
        const auto lookNow = [this] {
            if (m_driving)
                m_ticker->start(0);
        };
        connect(link, &TBsPort::SessionOpened, this, lookNow);
        connect(link, &TBsPort::SessionClosed, this, lookNow);
        m_ports[i] = {link, false};
    }
    m_ticker = new QTimer(this);
    m_ticker->setSingleShot(true);
    connect(m_ticker, &QTimer::timeout, this, &TVarnMPComm::TickAll);
}

TVarnMPComm::~TVarnMPComm() {
    StopWorker();
    for (int i = 0; i < kPortCount; ++i) {
        TBsPort* link = m_ports[i].Port;
        if (!link)
            continue;
        if (link->IsDebug && !DebugDir.isEmpty()) {
            QFile f(QDir(DebugDir).filePath(QStringLiteral("Debug%1.log").arg(i + 1)));
            if (f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
                QTextStream out(&f);
                for (const QString& line : link->DebugLines)
                    out << line << '\n';
            }
        }
        if (LinkTransport* serial = link->Transport(tmRS232))
            serial->Close();
        if (LinkTransport* udp = link->Transport(tmTCPIP))
            udp->Close();
        delete link;
        m_ports[i] = {};
    }
}

TBsPort* TVarnMPComm::Port(int Index) const {
    if (Index < 0 || Index >= kPortCount)
        return nullptr;
    return m_ports[Index].Port;
}

int TVarnMPComm::FindEntry(const QString& Name) const {
    const QString wanted = NormalisedName(Name);
    for (int i = 0; i < kPortCount; ++i)
        if (NormalisedName(m_ports[i].Port->CommName()) == wanted)
            return i;
    return -1;
}

int TVarnMPComm::FindPort(const QString& Name) const {
    if (m_mode != tmRS232)
        return -1;
    const int i = FindEntry(Name);
    if (i >= 0)
        return m_ports[i].Active ? i : -2;
    // A name the table does not hold yet is still openable while an entry is free: the
    // table's default names must not decide which of the system's ports exist.
    for (const TPortEntry& e : m_ports)
        if (!e.Active)
            return -2;
    return -1;
}

void TVarnMPComm::ApplyOpenTimeouts(TBsPort& Link) {
    Link.AckTimeoutMs = Link.MaxBaudIndex == kBaudIndex115200 ? 5000 : 8000;
    if (Link.IsModem) {
        Link.AckTimeoutMs = 8000;
        Link.BaudTimeoutMs = 8000;
    }
}

bool TVarnMPComm::OpenPort(const QString& Name) {
    m_lastError.clear();
    if (m_mode != tmRS232) {
        m_lastError = QStringLiteral("not in serial mode");
        return false;
    }
    int i = FindEntry(Name);
    if (i >= 0 && m_ports[i].Active) {
        LinkTransport* line = m_ports[i].Port->Transport(tmRS232);
        if (!line || line->IsOpen())
            return line != nullptr;
        // The session closed the line after its final time-out: open it again.
        if (line->Open())
            return true;
        m_lastError = line->LastError();
        return false;
    }
    // Prefer the entry that already bears the name, so renaming never takes a name away
    // from a port another upload may want next.
    if (i < 0) {
        for (int k = 0; k < kPortCount; ++k) {
            if (!m_ports[k].Active) {
                i = k;
                break;
            }
        }
    }
    if (i < 0) {
        m_lastError = QStringLiteral("all %1 links are in use").arg(kPortCount);
        return false;
    }
    TBsPort& link = *m_ports[i].Port;
    LinkTransport* line = link.Transport(tmRS232);
    if (!line) {
        m_lastError = QStringLiteral("no serial transport");
        return false;
    }
    line->Close();
    link.SetCommName(Name);
    ApplyOpenTimeouts(link);
    if (!line->Open()) {
        m_lastError = line->LastError();
        return false;
    }
    m_ports[i].Active = true;
    return true;
}

void TVarnMPComm::ClosePort(const QString& Name) {
    if (m_mode != tmRS232)
        return;
    const QString wanted = NormalisedName(Name);
    for (TPortEntry& e : m_ports) {
        if (e.Active && NormalisedName(e.Port->CommName()) == wanted) {
            if (LinkTransport* line = e.Port->Transport(tmRS232))
                line->Close();
            e.Active = false;
            return;
        }
    }
}

void TVarnMPComm::StartWorker(int IntervalMs) {
    m_driving = true;
    m_leastSpacingMs = std::max(1, IntervalMs);
    m_ticker->start(0);
}

void TVarnMPComm::StopWorker() {
    m_driving = false;
    if (m_ticker)
        m_ticker->stop();
}

bool TVarnMPComm::WorkerRunning() const {
    return m_driving;
}

bool TVarnMPComm::Ticking() const {
    return m_ticker && m_ticker->isActive();
}

void TVarnMPComm::TickAll() {
    m_passes += 1;
    std::optional<qint64> nextMs;
    for (const TPortEntry& e : m_ports) {
        if (e.Port && (e.Active || e.Port->Mode() == tmTCPIP)) {
            e.Port->Tick();
            if (const std::optional<qint64> due = e.Port->MsUntilDue())
                nextMs = std::min(nextMs.value_or(*due), *due);
        }
    }
    // Nothing to time while no session runs: the driver sleeps until one opens. Otherwise it
    // sleeps until the first thing falls due, never longer than a link's idle check (so a
    // time-out shortened behind its back is still seen) and never shorter than the spacing.
    if (!nextMs || !m_driving) {
        m_ticker->stop();
        return;
    }
    const qint64 sleepMs =
        std::clamp<qint64>(*nextMs, m_leastSpacingMs, TBsPort::kIdleSessionCheckMs);
    m_ticker->start(static_cast<int>(sleepMs));
}
