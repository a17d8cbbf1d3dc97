// The list of reports as read from "FMList.txt": any bytes must parse, and what was parsed
// must survive being saved and read again unchanged (the program rewrites the file after
// every change, so a difference here is an entry lost or altered on disk).

#include "app/core/report_list_file.h"
#include "app/core/system_text.h"
#include "fuzz_input.h"

namespace {

using fuzzinput::Require;

bool IsAscii(const QByteArray& Bytes) {
    for (const char c : Bytes)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

bool FitsCodePage(const ReportListEntry& E) {
    return EncodeSystemText(E.ReportType) && EncodeSystemText(E.filename) &&
           EncodeSystemText(E.dCreate);
}

} // namespace

int FuzzReportListOneInput(const std::uint8_t* Data, std::size_t Size) {
    const QByteArray bytes(reinterpret_cast<const char*>(Data), qsizetype(Size));
    const ParsedReportList parsed = ParseReportList(bytes);
    Require(parsed.HasLines || parsed.Entries.isEmpty());

    bool singleByte = true;
    bool wellFormed = true; // a UTF-16 file may hold unpaired surrogates
    for (const ReportListEntry& e : parsed.Entries) {
        Require(e.ReportType.size() <= kReportTypeWidth);
        Require(e.dCreate.size() <= kDateCreateWidth);
        Require(FitReportListEntry(e) == e);
        for (const QString* field : {&e.ReportType, &e.filename, &e.dCreate})
            for (const QChar c : *field)
                Require(c.unicode() >= 0x20); // damaged lines are skipped, never taken in
        singleByte = singleByte && FitsCodePage(e);
        wellFormed = wellFormed && e.ReportType.isValidUtf16() && e.filename.isValidUtf16() &&
                     e.dCreate.isValidUtf16();
    }
    for (const ReportListIssue& issue : parsed.Issues)
        Require(issue.Line >= 1);

    const QByteArray saved = FormatReportList(parsed.Entries);
    // A list saved in the single-byte code page whose bytes also happen to be well-formed
    // UTF-8 is read back as UTF-8 (the reader cannot tell the two apart); that case is left
    // out of the round trip here.
    if (singleByte && !IsAscii(saved) && IsValidUtf8(saved))
        return 0;
    // An unpaired surrogate (only a damaged UTF-16 file gives one, and no file name holds one)
    // cannot be written as UTF-8; it is saved as a replacement character.
    if (!wellFormed)
        return 0;
    const ParsedReportList reread = ParseReportList(saved);
    Require(reread.Issues.isEmpty());
    Require(reread.Entries == parsed.Entries);
    Require(FormatReportList(reread.Entries) == saved);
    return 0;
}
