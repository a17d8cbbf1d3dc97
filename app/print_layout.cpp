#include "app/print_layout.h"

#include <algorithm>

PrintLayout LayOutPrint(int PageWidth, int PageHeight, int Columns, const QList<int>& LineHeights) {
    PrintLayout layout;
    const int step = PageWidth / std::max(1, Columns) + kPrintMargin;
    layout.ColumnStep = step;
    int page = 0;
    int left = kPrintMargin;
    int top = kPrintMargin;
    const auto box = [&] { return QRect(left, top, step, std::max(0, PageHeight - top)); };
    layout.Columns.append({page, box()});

    for (const int h : LineHeights) {
        if (h + top + kPrintBottomReserve < PageHeight) {
            top += h + kPrintLineGap;
        } else if (left + step < PageWidth) {
            top = kPrintMargin;
            left += step;
            layout.Columns.append({page, box()});
        } else {
            top = kPrintMargin;
            left = kPrintMargin;
            ++page;
            layout.Columns.append({page, box()});
        }
        layout.Lines.append({page, box()});
    }
    layout.Pages = page + 1;
    return layout;
}
