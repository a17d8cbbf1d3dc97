#pragma once

#include <QString>
#include <QStringList>

// The ports of the COM drop-down: "COM1" to "COM6" as the window always offered them, then
// the serial ports the system reports (names as "ttyUSB0", without "/dev/"), then Extra (a
// port named on the command line, such as a simulator's pseudo-terminal) when it is not
// already in the list. A system port that one of "COM1".."COM6" already reaches (ttyS0 to
// ttyS5) is not listed twice.
QStringList ComPortChoices(const QStringList& SystemPorts, const QString& Extra = {});

// The serial ports the system reports (QSerialPortInfo), sorted by name.
QStringList SystemSerialPorts();

// The entry of Choices that reaches the same device as Port (e.g. "COM1" for "/dev/ttyS0");
// -1 when none does.
int ComPortIndex(const QStringList& Choices, const QString& Port);
