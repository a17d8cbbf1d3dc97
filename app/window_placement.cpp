#include "app/window_placement.h"

#include <algorithm>

QRect FitWindowToScreen(const QRect& Available, const QMargins& Frame, const QSize& Client,
                        const QSize& Minimum) {
    const int frameWidth = Frame.left() + Frame.right();
    const int frameHeight = Frame.top() + Frame.bottom();
    const int width =
        std::max(Minimum.width(), std::min(Client.width(), Available.width() - frameWidth));
    const int height =
        std::max(Minimum.height(), std::min(Client.height(), Available.height() - frameHeight));
    int left = Available.left() + (Available.width() - width - frameWidth) / 2;
    int top = Available.top() + (Available.height() - height - frameHeight) / 2;
    left = std::max(left, Available.left());
    top = std::max(top, Available.top());
    return QRect(left + Frame.left(), top + Frame.top(), width, height);
}
