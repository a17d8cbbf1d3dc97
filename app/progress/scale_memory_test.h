#pragma once

// The hidden scale-memory test of the main window (Button3): reads scale 1234's whole memory
// over the scale bus link with the progress dialog up, and writes it to the test file.

#include "scalebus/scale_memory_read.h"

#include <QString>

class TProgressForm;

// The fixed file the test writes, in the program's data folder.
QString ScaleTestFile(const QString& DataDir);

// Sets the link's address to Address, shows Dialog (which Cancel then reaches the link
// through), runs the read and closes the dialog after a complete read. After an error the
// dialog stays up with OK until the operator presses it; the events of the program keep
// running meanwhile. The link's port is closed at the end in every case.
scalebus::ScaleReadResult ScaleMemoryTest(scalebus::TVarnIBusComm& Link, TProgressForm& Dialog,
                                          const QString& Address, const QString& TargetFile);
