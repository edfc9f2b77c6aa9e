#include "support/support.h"

using namespace TestSupport;

TEST(CommandLine, NoArgumentsPrintsUsageAndExitsWithTwo) {
    auto result = run(gelatin(), {});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("usage:\n  gelatin list  <folder> [--recursive]\n", 0), 0u);
}

#include <regex>
#include <set>

#include <nlohmann/json.hpp>

#include "engine/protocol/commands.h"

namespace {

const std::string usageText =
    "usage:\n  gelatin list  <folder> [--recursive]\n  gelatin scan  <folder>\n"
    "  gelatin probe <folder|file> [--limit N] [--max N]\n  gelatin serve\n";

struct FailingUse {
    std::vector<std::string> args;
    int status;
    std::string message;  // "{empty}" stands for the empty folder's path
};

TEST(CommandLine, FailingUsesWriteOneMessageAndTheirStatus) {
    TempDir empty;
    const std::string emptyPath = empty.path().string();
    const std::vector<FailingUse> cases = {
        {{}, 2, usageText},
        {{"LIST", emptyPath}, 2, usageText},
        {{"lists"}, 2, usageText},
        {{""}, 2, usageText},
        {{"list"}, 2, "missing folder\n"},
        {{"list", "--recursive"}, 2, "missing folder\n"},
        {{"scan"}, 2, "missing folder\n"},
        {{"probe", "--max", "--limit"}, 2, "missing path\n"},
        {{"list", emptyPath}, 1, "no supported files at " + emptyPath + "\n"},
        {{"list", "--recursive", emptyPath + "/nothing"}, 1, "no supported files at " + emptyPath + "/nothing\n"},
        {{"probe", emptyPath}, 1, "no supported files at " + emptyPath + "\n"},
        // The first argument that is not a flag is the path, even a flag's value.
        {{"probe", "--limit", "5", emptyPath}, 1, "no supported files at 5\n"},
    };
    for (const auto& use : cases) {
        auto result = run(gelatin(), use.args);
        std::string shown;
        for (const auto& a : use.args) shown += "[" + a + "]";
        EXPECT_EQ(result.status, use.status) << shown;
        EXPECT_EQ(result.err, use.message) << shown;
        EXPECT_EQ(result.out, "") << shown;
    }
}

TEST(CommandLine, FlagIntReadsOnlyWellFormedIntegers) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::int64_t> value;
    };
    const std::vector<Case> cases = {
        {{"probe", "/p", "--max", "1024"}, 1024},
        {{"probe", "--max", "+12", "/p"}, 12},
        {{"probe", "--max", "-3"}, -3},
        {{"probe", "--max", "007"}, 7},
        {{"probe", "--max", "9223372036854775807"}, 9223372036854775807LL},
        {{"probe", "--max", "-9223372036854775808"}, std::numeric_limits<std::int64_t>::min()},
        {{"probe", "--max", "1", "--max", "2"}, 1},
        {{"probe", "--max", "9223372036854775808"}, std::nullopt},
        {{"probe", "--max", "abc"}, std::nullopt},
        {{"probe", "--max", ""}, std::nullopt},
        {{"probe", "--max", "+"}, std::nullopt},
        {{"probe", "--max", "-"}, std::nullopt},
        {{"probe", "--max", "+-1"}, std::nullopt},
        {{"probe", "--max", "--1"}, std::nullopt},
        {{"probe", "--max", " 12"}, std::nullopt},
        {{"probe", "--max", "12 "}, std::nullopt},
        {{"probe", "--max", "1.5"}, std::nullopt},
        {{"probe", "--max", "1e3"}, std::nullopt},
        {{"probe", "--max", "0x10"}, std::nullopt},
        {{"probe", "/p", "--max"}, std::nullopt},
        {{"probe", "/p", "--MAX", "5"}, std::nullopt},
        {{"probe", "/p"}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(Protocol::flagInt(c.args, "--max"), c.value) << c.args.back();
}

TEST(CommandLine, ListWritesOneLinePerPhotoWithFlagsAnywhere) {
    TempDir dir;
    std::filesystem::create_directories(dir / "a/B");
    std::filesystem::create_directories(dir / "other");
    writeFile(dir / "a/IMG_2.CR3", "x");
    writeFile(dir / "a/img_1.jpg", "x");
    writeFile(dir / "a/notes.txt", "x");
    writeFile(dir / "a/B/b.dng", "x");
    writeFile(dir / "other/o.jpg", "x");
    const std::string a = (dir / "a").string();

    auto flat = run(gelatin(), {"list", a, (dir / "other").string()});
    EXPECT_EQ(flat.status, 0);
    EXPECT_EQ(flat.out, "{\"index\":0,\"path\":\"" + a + "/IMG_2.CR3\",\"name\":\"IMG_2.CR3\",\"label\":\"IMG_2.CR3\"}\n" +
                            "{\"index\":1,\"path\":\"" + a + "/img_1.jpg\",\"name\":\"img_1.jpg\",\"label\":\"img_1.jpg\"}\n");

    auto deep = run(gelatin(), {"list", "--recursive", a});
    EXPECT_EQ(deep.status, 0);
    auto lines = TestSupport::lines(deep.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "{\"index\":2,\"path\":\"" + a + "/B/b.dng\",\"name\":\"B/b.dng\",\"label\":\"b.dng\"}");
}

TEST(CommandLine, ScanReportsCountsAndNeverFails) {
    TempDir dir;
    std::filesystem::create_directories(dir / "B/C");
    writeFile(dir / "x.NEF", "x");
    writeFile(dir / "clip.mov", "x");
    writeFile(dir / "B/C/y.jpg", "x");
    auto result = run(gelatin(), {"scan", dir.path().string()});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "{\"photosHere\":1,\"videosHere\":1,\"photosNested\":1,\"videosNested\":0,"
              "\"folders\":[{\"name\":\"B\",\"photos\":1,\"videos\":0}],\"truncated\":false}\n");

    auto missing = run(gelatin(), {"scan", (dir / "missing").string()});
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.out,
              "{\"photosHere\":0,\"videosHere\":0,\"photosNested\":0,\"videosNested\":0,\"folders\":[],\"truncated\":false}\n");
    EXPECT_EQ(missing.err, "");
}

TEST(CommandLine, PortraitCapabilitiesIgnoresFurtherArguments) {
    auto result = run(gelatin(), {"portrait-capabilities", "--verbose", "x"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "{\"nativePortrait\":false}\n");
    EXPECT_EQ(result.err, "");
}

TEST(CommandLine, ProbeAnswersEachKeptFileAndSummarises) {
    TempDir dir;
    for (const char* name : {"a.dng", "b.jpg", "c.nef", "d.txt"}) writeFile(dir / name, "not a photo");
    const std::regex summary(R"(\{"summary":true,"files":(\d+),"wallMs":\d+\.\d,"perFileMs":\d+\.\d\d\}\n)");
    struct Case {
        std::vector<std::string> args;
        std::set<std::string> files;
        int status = 0;
    };
    const std::string folder = dir.path().string();
    const std::vector<Case> cases = {
        {{"probe", folder}, {"a.dng", "b.jpg", "c.nef"}},
        {{"probe", folder, "--max", "abc", "--limit", "2"}, {"a.dng", "b.jpg"}},
        {{"probe", "--limit", "-1", folder}, {}, 1},  // the path is "-1": nothing there
        {{"probe", folder, "--limit", "-1"}, {"a.dng", "b.jpg", "c.nef"}},
        {{"probe", folder, "--limit", "0"}, {}},
        // A single file is probed whatever its extension.
        {{"probe", (dir / "d.txt").string()}, {"d.txt"}},
    };
    for (const auto& c : cases) {
        auto result = run(gelatin(), c.args);
        EXPECT_EQ(result.status, c.status);
        if (c.status != 0) continue;
        std::smatch match;
        ASSERT_TRUE(std::regex_match(result.err, match, summary)) << result.err;
        EXPECT_EQ(std::stoul(match[1]), c.files.size());
        std::set<std::string> files;
        std::set<std::int64_t> ids;
        for (const auto& line : TestSupport::lines(result.out)) {
            auto record = nlohmann::json::parse(line);
            files.insert(record["file"].get<std::string>());
            ids.insert(record["id"].get<std::int64_t>());
            EXPECT_EQ(record["ok"], false);
            EXPECT_EQ(record["error"], "unreadable");
        }
        EXPECT_EQ(files, c.files);
        EXPECT_EQ(ids.size(), c.files.size());
    }
}

TEST(CommandLine, ProbeReadsRealPhotos) {
    REQUIRE_FIXTURES();
    TempDir dir;
    for (const char* photo : {"jpeg_camera/ianare_Pentax_K10D.jpg", "raw/complete/photoprism_canon_eos_6d.dng"})
        std::filesystem::copy_file(fixture(photo), dir / std::filesystem::path(photo).filename());
    auto result = run(gelatin(), {"probe", dir.path().string(), "--max", "160"});
    EXPECT_EQ(result.status, 0);
    auto lines = TestSupport::lines(result.out);
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) {
        auto record = nlohmann::json::parse(line);
        EXPECT_EQ(record["ok"], true) << line;
        EXPECT_LE(std::max(record["previewW"].get<int>(), record["previewH"].get<int>()), 160) << line;
        EXPECT_FALSE(record.contains("out") || record.contains("bytes") || record.contains("analysis")) << line;
    }
}

}  // namespace
