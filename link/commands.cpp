#include "link/commands.h"

CommandTable DefaultCommandTable() {
    CommandTable table{};
    for (int i = 0; i < kCommandCount; ++i)
        table[i] = TemplateRow(static_cast<TEnumVarnCmd>(i));
    return table;
}

int BaudIndexOf(int BitRate) {
    for (int i = 0; i < kBaudRateCount; ++i)
        if (BaudRates[i] == BitRate)
            return i;
    return kBaudIndex9600;
}

int BaudRateOfIndex(int Index) {
    if (Index < 0 || Index >= kBaudRateCount)
        return BaudRates[kBaudIndex9600];
    return BaudRates[Index];
}

const char* CommandName(TEnumVarnCmd Cmd) {
    if (Cmd >= kCommandCount)
        return "?";
    return CommandTemplates[Cmd].Name;
}
