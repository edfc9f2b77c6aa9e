// scripts/demo without its setup step: the real gelatin on the bundled
// samples, into a temporary folder. The page it writes must name only files
// that are there, every picture it names must decode, it must show every
// picture the demo made, and it must need nothing from outside the folder.
#include <algorithm>
#include <map>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "support/support.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct DemoRun {
    TestSupport::ProcessResult process;
    fs::path out;
};

// One run of the demo per test process: it takes a few seconds.
const DemoRun& demoRun() {
    static TestSupport::TempDir folder;
    static const DemoRun run = [] {
        DemoRun made;
        made.out = folder / "demo out";  // a space in the path must not matter
        made.process = TestSupport::run(TestSupport::sourceDir() / "scripts" / "demo",
                                         {"--no-setup", "--out", made.out.string(), "--build",
                                          TestSupport::gelatin().parent_path().string()});
        return made;
    }();
    return run;
}

std::vector<json> jsonLines(const fs::path& path) {
    std::vector<json> values;
    for (const std::string& line : TestSupport::lines(TestSupport::readFile(path)))
        values.push_back(json::parse(line));
    return values;
}

// Every src= and href= value of the page, with the one entity file names can carry undone.
std::vector<std::string> references(const std::string& page, const std::string& attribute) {
    std::vector<std::string> found;
    std::string expression = "\\b";
    expression.append(attribute).append("=([\"'])(.*?)\\1");
    const std::regex pattern(expression);
    const std::regex ampersand("&amp;");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), pattern); it != std::sregex_iterator(); ++it) {
        found.push_back(std::regex_replace((*it)[2].str(), ampersand, "&"));
    }
    return found;
}

class Demo : public ::testing::Test {
protected:
    void SetUp() override {
        const DemoRun& run = demoRun();
        ASSERT_EQ(run.process.status, 0) << run.process.err << run.process.out;
        out = run.out;
        page = TestSupport::readFile(out / "index.html");
        ASSERT_FALSE(page.empty());
    }

    void everyPictureThePageNamesIsThereAndDecodes() {
        const auto pictures = references(page, "src");
        ASSERT_FALSE(pictures.empty());
        for (const std::string& name : pictures) {
            SCOPED_TRACE(name);
            ASSERT_FALSE(fs::path(name).is_absolute());
            const fs::path file = out / name;
            ASSERT_TRUE(fs::is_regular_file(file));
            const cv::Mat decoded = cv::imread(file.string(), cv::IMREAD_UNCHANGED);
            ASSERT_FALSE(decoded.empty());
            EXPECT_GE(std::min(decoded.cols, decoded.rows), 64);
        }
        for (const std::string& name : references(page, "href")) {
            SCOPED_TRACE(name);
            if (name.starts_with("#")) continue;
            EXPECT_TRUE(fs::is_regular_file(out / name));
        }
    }

    void thePageShowsEveryPictureTheDemoMade() {
        const auto named = references(page, "src");
        const std::set<std::string> shown(named.begin(), named.end());
        int pictures = 0;
        for (const auto& entry : fs::recursive_directory_iterator(out)) {
            if (entry.path().extension() != ".jpg") continue;
            ++pictures;
            EXPECT_TRUE(shown.count(fs::relative(entry.path(), out).string())) << entry.path();
        }
        // A preview of every photo in samples/, plus the renders and the rest.
        const auto listed = jsonLines(out / "list.jsonl");
        ASSERT_GE(listed.size(), 5u);
        EXPECT_GT(pictures, static_cast<int>(listed.size()));
        for (const json& photo : listed) {
            const std::string stem = fs::path(photo["name"].get<std::string>()).stem().string();
            EXPECT_TRUE(shown.count("previews/" + stem + ".jpg")) << stem;
        }
    }

    void thePageNeedsNothingFromOutside() {
        for (const char* attribute : {"src", "href"})
            for (const std::string& value : references(page, attribute)) {
                EXPECT_EQ(value.find(':'), std::string::npos) << value;  // no http:, file: or data: address
                EXPECT_FALSE(value.starts_with("/")) << value;
            }
        for (const char* outside : {"<script", "<link", "<iframe", "@import", "url(", "http://", "https://"})
            EXPECT_EQ(page.find(outside), std::string::npos) << outside;
    }

    void everyRequestHasItsResultAndItsSummaryLine() {
        const auto requests = jsonLines(out / "requests.jsonl");
        const auto results = jsonLines(out / "results.jsonl");
        ASSERT_EQ(results.size(), requests.size());
        std::map<std::int64_t, json> byId;
        for (const json& result : results) byId[result["id"].get<std::int64_t>()] = result;
        const std::string& printed = demoRun().process.out;
        for (const json& request : requests) {
            const auto id = request["id"].get<std::int64_t>();
            SCOPED_TRACE(id);
            ASSERT_TRUE(byId.count(id));
            EXPECT_NE(printed.find("\n  " + std::to_string(id) + " "), std::string::npos);
        }
        // The unreadable file fails on its own line; the faces and develop requests answer.
        bool unreadable = false, faces = false, developed = false;
        for (const json& request : requests) {
            const json& result = byId[request["id"].get<std::int64_t>()];
            if (!result["ok"].get<bool>() && result.value("error", "") == "unreadable") unreadable = true;
            if (request.contains("faces")) faces = true;
            if (request.contains("develop") && result["ok"].get<bool>()) developed = true;
        }
        EXPECT_TRUE(unreadable);
        EXPECT_TRUE(faces);
        EXPECT_TRUE(developed);
    }

    void theSummaryIsShortAndEndsWithHowToOpenThePage() {
        const auto printed = TestSupport::lines(demoRun().process.out);
        ASSERT_FALSE(printed.empty());
        for (const std::string& line : printed) EXPECT_LT(line.size(), 200u) << line.substr(0, 200);
        const std::string& text = demoRun().process.out;
        EXPECT_NE(text.find((out / "index.html").string()), std::string::npos);
        EXPECT_NE(text.find("xdg-open"), std::string::npos);
        // The feature prints are in results.jsonl in full, not on the screen.
        const std::string results = TestSupport::readFile(out / "results.jsonl");
        EXPECT_NE(results.find("\"fp\":\""), std::string::npos);
    }

    void facesAreDrawnOverThePortraitWhenFound() {
        json facesResult;
        for (const json& result : jsonLines(out / "results.jsonl"))
            if (result.contains("faces") && !result.contains("out")) facesResult = result;
        ASSERT_FALSE(facesResult.is_null());
        if (!facesResult["ok"].get<bool>()) {
            // Without the face models the page says why instead.
            EXPECT_NE(page.find(facesResult["error"].get<std::string>()), std::string::npos);
            return;
        }
        std::size_t boxes = 0;
        for (std::size_t at = 0; (at = page.find("class='box", at)) != std::string::npos; ++at) ++boxes;
        EXPECT_EQ(boxes, facesResult["faces"].size());
    }

    fs::path out;
    std::string page;
};

// Each test runs the whole demo in its own process (a few seconds), so the
// checks are grouped: the page, then what the demo prints and stores.
TEST_F(Demo, ThePageShowsEveryPictureTheDemoMadeAndNeedsNothingFromOutside) {
    everyPictureThePageNamesIsThereAndDecodes();
    thePageShowsEveryPictureTheDemoMade();
    thePageNeedsNothingFromOutside();
    facesAreDrawnOverThePortraitWhenFound();
}

TEST_F(Demo, EveryRequestHasItsResultAndAShortSummaryLine) {
    everyRequestHasItsResultAndItsSummaryLine();
    theSummaryIsShortAndEndsWithHowToOpenThePage();
}

}  // namespace
