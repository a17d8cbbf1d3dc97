#pragma once

#include <QByteArray>

// Lays Left and Right out on a line of Width single-byte characters. Mode 1 right-aligns
// both texts, mode 2 centres them (without filling the right side out to Width), mode 3
// puts Left at the left edge and Right at the right edge. Nothing is ever cut: when the two
// texts already fill Width the result is simply Left followed by Right.
QByteArray PadLine(const QByteArray& Left, const QByteArray& Right, int Mode, int Width);
