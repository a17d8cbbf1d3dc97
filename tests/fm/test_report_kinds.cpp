// The table of report kinds: lookups by selector position and command-line name agree with
// the rows, and each row is consistent with how its kind is uploaded and decoded.

#include "fm/report_kinds.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(ReportKinds, LookupsAgreeWithTheRows) {
    std::set<std::string> names;
    std::set<std::string> prefixes;
    int index = 0;
    for (const ReportKindInfo& k : ReportKinds()) {
        SCOPED_TRACE(k.CliName);
        EXPECT_EQ(static_cast<int>(k.Kind), index) << "rows in selector order";
        EXPECT_EQ(ReportKindAt(index), k.Kind);
        EXPECT_EQ(&ReportKindOf(k.Kind), &k);
        EXPECT_EQ(ReportKindByCliName(QLatin1String(k.CliName)), k.Kind);
        EXPECT_EQ(ReportFilePrefix(k.Kind), QLatin1String(k.FilePrefix));
        EXPECT_EQ(ReportTypeCaption(k.Kind), QLatin1String(k.Caption));
        EXPECT_TRUE(names.insert(k.CliName).second) << "command-line names differ";
        EXPECT_TRUE(prefixes.insert(k.FilePrefix).second) << "file prefixes differ";
        ++index;
    }
    EXPECT_EQ(index, 5);
    for (const int outside : {-1, 5, 100})
        EXPECT_FALSE(ReportKindAt(outside)) << outside;
    for (const char* name : {"", "Detail", "tax ", "chy"})
        EXPECT_FALSE(ReportKindByCliName(QLatin1String(name))) << name;
}

TEST(ReportKinds, PrintoutsAskForTheirRangeAndChangeReportsForHeaderAndFooter) {
    for (const ReportKindInfo& k : ReportKinds()) {
        SCOPED_TRACE(k.CliName);
        EXPECT_NE(k.Printout, k.NeedsHeaderFooter);
        if (k.Printout)
            EXPECT_TRUE(IsFiscalMemoryCommand(k.Command));
        else
            EXPECT_EQ(k.Command, H_UPLOAD_EPROM) << "change data comes from the EPROM";
    }
    EXPECT_EQ(ReportKindOf(ReportKind::Detail).Command, H_UPLOAD_Detail);
    EXPECT_EQ(ReportKindOf(ReportKind::Summary).Command, H_UPLOAD_Summary);
}

} // namespace
