#include "handoff/desktop_entry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::vector<std::string>>;

const std::vector<std::string> files{"/photos/a.CR3", "/photos/b c.jpg"};

struct ExecCase {
    const char* name;
    std::string exec;  // an Exec value with its string escapes already resolved
    std::optional<Lines> expected;
};

void PrintTo(const ExecCase& c, std::ostream* os) { *os << c.exec; }

class ExecLine : public testing::TestWithParam<ExecCase> {};

TEST_P(ExecLine, ExpandsIntoCommandLines) {
    const ExecCase& c = GetParam();
    std::optional<Lines> lines;
    if (auto arguments = DesktopEntry::splitExec(c.exec)) lines = DesktopEntry::commandLines(*arguments, files);
    EXPECT_EQ(lines, c.expected) << c.exec;
}

INSTANTIATE_TEST_SUITE_P(
    DesktopEntry, ExecLine,
    testing::Values(
        ExecCase{"ListCode", "studio %F", Lines{{"studio", "/photos/a.CR3", "/photos/b c.jpg"}}},
        ExecCase{"UrlListCode", "studio --new %U", Lines{{"studio", "--new", "/photos/a.CR3", "/photos/b c.jpg"}}},
        ExecCase{"SingleCodeStartsOncePerFile", "studio --open %f",
                 Lines{{"studio", "--open", "/photos/a.CR3"}, {"studio", "--open", "/photos/b c.jpg"}}},
        ExecCase{"SingleCodeInsideArgument", "studio --file=%u",
                 Lines{{"studio", "--file=/photos/a.CR3"}, {"studio", "--file=/photos/b c.jpg"}}},
        ExecCase{"NoCodeAppendsFiles", "studio", Lines{{"studio", "/photos/a.CR3", "/photos/b c.jpg"}}},
        ExecCase{"OtherCodesRemoved", "\"/opt/My Studio/studio\" %i %c %k --x%d %F",
                 Lines{{"/opt/My Studio/studio", "--x", "/photos/a.CR3", "/photos/b c.jpg"}}},
        ExecCase{"PercentSign", "studio 100%% %F", Lines{{"studio", "100%", "/photos/a.CR3", "/photos/b c.jpg"}}},
        ExecCase{"QuotedEscapes", R"(sh -c "echo \"\$1\" \`x\` \\ \n" %F)",
                 Lines{{"sh", "-c", R"(echo "$1" `x` \ \n)", "/photos/a.CR3", "/photos/b c.jpg"}}},
        ExecCase{"EmptyQuotedArgumentKept", "studio \"\" %F", Lines{{"studio", "", "/photos/a.CR3", "/photos/b c.jpg"}}},
        ExecCase{"RepeatedSpaces", "  studio   %F  ", Lines{{"studio", "/photos/a.CR3", "/photos/b c.jpg"}}},
        ExecCase{"QuoteLeftOpen", "studio \"--open %F", std::nullopt},
        ExecCase{"ListCodeInsideArgument", "studio --files=%F", std::nullopt},
        ExecCase{"TwoFileCodes", "studio %f %F", std::nullopt},
        ExecCase{"Empty", "   ", std::nullopt},
        ExecCase{"NoProgramLeft", "%i %F", std::nullopt}),
    [](const testing::TestParamInfo<ExecCase>& info) { return info.param.name; });

TEST(DesktopEntry, ReadsTheEntryGroupOnly) {
    const std::string text =
        "# Studio launcher\n"
        "[Desktop Action Other]\n"
        "Exec=other %F\n"
        "\n"
        "[Desktop Entry]\r\n"
        "Type=Application\n"
        "Exec[de]=studio-de %F\n"
        "Exec = \"/opt/My\\sStudio/studio\" \"a\\\\\\\\b\" %F\n"
        "Exec=second %F\n"
        "Path=/opt/My Studio\n"
        "[Desktop Action New]\n"
        "Exec=new-window\n";
    auto entry = DesktopEntry::parse(text);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->exec, R"("/opt/My Studio/studio" "a\\b" %F)");
    EXPECT_EQ(entry->path, "/opt/My Studio");
    auto arguments = DesktopEntry::splitExec(entry->exec);
    ASSERT_TRUE(arguments);
    EXPECT_EQ(*arguments, (std::vector<std::string>{"/opt/My Studio/studio", "a\\b", "%F"}));

    EXPECT_FALSE(DesktopEntry::parse("[Desktop Entry]\nName=Studio\n[Desktop Action New]\nExec=studio\n"));
    EXPECT_FALSE(DesktopEntry::parse("Exec=studio\n"));
}

}  // namespace
