#pragma once

#include <QList>
#include <QRect>

// Where each memo line goes on the printed pages. The page is filled in columns: the column
// step is the page width divided by the number of columns, plus 40; a line that no longer
// fits above the bottom margin opens the next column, or a new page when the next column
// would not fit. Every line is drawn at the top left corner of its box and clipped to it.
//
// Each column's box spans the full column step from its own left edge: a column is never cut
// narrower than the first one, whatever the length of the line that happens to open it.

inline constexpr int kPrintMargin = 40;        // left and top margin, printer pixels
inline constexpr int kPrintBottomReserve = 80; // room kept free below the last line
inline constexpr int kPrintLineGap = 5;

struct PrintedLine {
    int Page = 0; // 0-based
    QRect Box;    // top left: where the text starts; the text is clipped to the box
};

struct PrintLayout {
    int Pages = 1;
    int ColumnStep = 0;
    QList<PrintedLine> Lines;
    // The boxes filled with the background colour: the first column of the job and every
    // column opened on a page, in the order they are opened.
    QList<PrintedLine> Columns;
};

// PageWidth and PageHeight in printer pixels; Columns at least 1; one height per line (an
// empty memo is printed as one empty line, so at least one height is expected).
PrintLayout LayOutPrint(int PageWidth, int PageHeight, int Columns, const QList<int>& LineHeights);
