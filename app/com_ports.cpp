#include "app/com_ports.h"

#include "transport/spcomm.h"

#include <QSerialPortInfo>

#include <algorithm>

namespace {

constexpr int kDesignPorts = 6;

} // namespace

QStringList ComPortChoices(const QStringList& SystemPorts, const QString& Extra) {
    QStringList choices;
    QStringList reached; // device paths the list already reaches
    const auto add = [&](const QString& Name) {
        const QString trimmed = Name.trimmed();
        if (trimmed.isEmpty())
            return;
        const QString device = SerialDevicePath(trimmed);
        if (reached.contains(device) || choices.contains(trimmed, Qt::CaseInsensitive))
            return;
        choices << trimmed;
        reached << device;
    };
    for (int i = 1; i <= kDesignPorts; ++i)
        add(QStringLiteral("COM%1").arg(i));
    for (const QString& port : SystemPorts)
        add(port);
    add(Extra);
    return choices;
}

QStringList SystemSerialPorts() {
    QStringList names;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        names << info.portName();
    std::sort(names.begin(), names.end());
    return names;
}

int ComPortIndex(const QStringList& Choices, const QString& Port) {
    const QString device = SerialDevicePath(Port.trimmed());
    for (int i = 0; i < Choices.size(); ++i)
        if (SerialDevicePath(Choices.at(i)) == device)
            return i;
    return -1;
}
