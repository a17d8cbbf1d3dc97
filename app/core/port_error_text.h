#pragma once

#include "app/core/message_table.h"

#include <QString>
#include <QStringList>

// The memo lines under "port %s open fail!": the system's reason why the line did not open
// ("/dev/ttyUSB0: No such file or directory", "...: in use by another program"), and for a
// refused permission MsgPortPermissionHint. SystemError is the link's text, "component text
// (reason)" or a plain reason; empty gives no line.
QStringList PortErrorLines(const QString& SystemError, const MessageTable& Messages);
