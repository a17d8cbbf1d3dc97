#pragma once

#include <QMargins>
#include <QRect>
#include <QSize>

// Where a window opens on a screen. Client is the wished size of its client area, Frame the
// window manager's frame around it (title bar included), Available the screen's area left
// free by panels. The client area keeps Client where the framed window fits in Available;
// otherwise it is made as large as fits, never below Minimum. The frame is centred in
// Available and kept inside it from the top left, so the title bar stays reachable even when
// Minimum does not fit. Returns the client area's geometry in screen coordinates.
QRect FitWindowToScreen(const QRect& Available, const QMargins& Frame, const QSize& Client,
                        const QSize& Minimum);
