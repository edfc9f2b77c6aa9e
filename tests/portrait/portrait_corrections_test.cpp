// Local corrections by fake workers, blemishes, tone and the size limits.

#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "engine/portrait/portrait_blemishes.h"
#include "engine/portrait/portrait_local_correction.h"
#include "engine/portrait/worker_process.h"
#include "portrait/portrait_worker_support.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using PortraitTestSupport::ScopedVariable;
using PortraitTestSupport::writeScript;

std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no failure";
}

// Writes positive.png (grey 51 = 0.2 over the whole picture), negative.png
// (0) and, when asked, scores.png with the levels 0, 1, 63, 64, 128, 255, 0, 0
// per column (repeated), then prints `reply`.
std::string correctionAnswer(const std::string& reply, bool scores = true, int positiveWidthChange = 0) {
    std::string text = R"(
img = cv2.imread(arg('--input'), cv2.IMREAD_UNCHANGED)
h, w = img.shape[:2]
out = arg('--output')
with open(os.path.join(here, 'input-size'), 'w') as f:
    f.write('%dx%d %d' % (w, h, img.shape[2]))
cv2.imwrite(os.path.join(out, 'positive.png'), np.full((h, w + )" + std::to_string(positiveWidthChange) + R"(), 51, np.uint8))
cv2.imwrite(os.path.join(out, 'negative.png'), np.zeros((h, w), np.uint8))
)";
    if (scores)
        text += "levels = np.array([0, 1, 63, 64, 128, 255, 0, 0], np.uint8)\n"
                "cv2.imwrite(os.path.join(out, 'scores.png'), np.tile(levels, (h, w // 8)))\n";
    return text + "print(" + reply + ")\n";
}

// A runtime folder holding the worker scripts, the analysis folder and the scratch folder.
class Runtime {
public:
    Runtime() {
        fs::create_directories(dir / "analysis");
        fs::create_directories(dir / "scratch");
        analysis.directory = dir / "analysis";
        TestSupport::writeFile(dir / "weights.pt", "weights");
    }
    void worker(const std::string& name, const std::string& answer) {
        writeScript(dir / name, std::string(PortraitTestSupport::pythonPrelude) + answer, false);
    }
    std::vector<json> runs() const {
        std::vector<json> out;
        for (const auto& line : PortraitTestSupport::logLines(dir / "log.jsonl")) out.push_back(json::parse(line));
        return out;
    }

    TestSupport::TempDir dir;
    PortraitAnalysis::Result analysis;
    ScopedVariable python{"MERROW_PORTRAIT_PYTHON", "/usr/bin/python3"};
    ScopedVariable workerVariable{"MERROW_PORTRAIT_WORKER", (dir / "face_parsing.py").string()};
    ScopedVariable scratch{"MERROW_PORTRAIT_SCRATCH", (dir / "scratch").string()};
    ScopedVariable weights{"MERROW_BLEMISH_WEIGHTS", (dir / "weights.pt").string()};
};

Imaging::Image grey(int w, int h, float value) { return Imaging::Image::filled({0, 0, w, h}, {value, value, value, 1}); }

TEST(PortraitLocalCorrection, ThresholdLevels) {
    const std::pair<double, double> cases[] = {{0, 255}, {-1, 255}, {0.5, 64.5}, {1, 1}, {2, 1}, {0.25, 143.875}};
    for (const auto& [amount, level] : cases) EXPECT_DOUBLE_EQ(PortraitLocalCorrection::minimumLevel(amount), level) << amount;
    EXPECT_EQ(PortraitLocalCorrection::threshold(0), 1000);
    EXPECT_EQ(PortraitLocalCorrection::threshold(0.5), 64.5);
}

TEST(PortraitLocalCorrection, RunsTheWorkerAsAgreedReadsItsSpotsAndRemovesTheWorkFolder) {
    Runtime runtime;
    const std::string spots = R"(json.dumps({'spots': [
    {'x': 3, 'y': 1, 'radius': 2, 'level': 300, 'state': 'found'},
    {'x': 0, 'y': 0, 'radius': 1.5, 'level': -4, 'state': 'kept'},
    {'x': 1, 'y': 2, 'radius': 1, 'level': 7, 'state': 'skipped'},
    {'x': 1, 'y': 2, 'radius': 1, 'state': 'found'},
    {'x': 1, 'y': 2, 'radius': 1, 'level': 7.5, 'state': 'found'},
    {'x': '1', 'y': 2, 'radius': 1, 'level': 7, 'state': 'found'},
    {'x': 1, 'y': 2, 'radius': 1, 'level': 7, 'state': None},
    7]}))";
    runtime.worker("studio_test.py", correctionAnswer(spots));
    const auto prepared = PortraitLocalCorrection::prepare(grey(16, 4, 0.5f), runtime.analysis, "studio_test.py",
                                                           {"--extra", "1.0"}, true);
    // The call: the script beside MERROW_PORTRAIT_WORKER, the work folder in the scratch folder.
    const auto runs = runtime.runs();
    ASSERT_EQ(runs.size(), 1u);
    const std::vector<std::string> argv = runs[0]["argv"];
    ASSERT_EQ(argv.size(), 9u);
    EXPECT_EQ(argv[0], (runtime.dir / "studio_test.py").string());
    const fs::path work = argv[6];
    EXPECT_EQ(work.parent_path(), runtime.dir / "scratch");
    EXPECT_EQ(work.filename().string().rfind("repair-", 0), 0u);
    EXPECT_EQ(work.filename().string().size(), std::string("repair-").size() + 36);
    EXPECT_EQ(argv, (std::vector<std::string>{argv[0], "--input", (work / "input.png").string(), "--analysis",
                                               (runtime.dir / "analysis").string(), "--output", work.string(), "--extra",
                                               "1.0"}));
    EXPECT_EQ(runs[0]["HF_HUB_OFFLINE"], "1");
    EXPECT_EQ(TestSupport::readFile(runtime.dir / "input-size"), "16x4 4");
    EXPECT_FALSE(fs::exists(work));

    // Spots: valid objects only, levels clamped.
    ASSERT_EQ(prepared.spots.size(), 3u);
    EXPECT_DOUBLE_EQ(prepared.spots[0].u, 3.5 / 16);
    EXPECT_DOUBLE_EQ(prepared.spots[0].v, 1.5 / 4);
    EXPECT_DOUBLE_EQ(prepared.spots[0].radius, 2.0 / 16);
    EXPECT_EQ(prepared.spots[0].level, 255);
    EXPECT_FALSE(prepared.spots[0].kept || prepared.spots[0].skipped);
    EXPECT_EQ(prepared.spots[1].level, 0);
    EXPECT_TRUE(prepared.spots[1].kept);
    EXPECT_FALSE(prepared.spots[1].skipped);
    EXPECT_TRUE(prepared.spots[2].skipped);
    EXPECT_EQ(prepared.spots[2].face, 0);
    EXPECT_FALSE(prepared.spots[2].own);
    EXPECT_TRUE(prepared.scores);
    EXPECT_FALSE(prepared.forced);
}

TEST(PortraitLocalCorrection, TheAmountThresholdsTheScoresOrBlendsWithoutThem) {
    Runtime runtime;
    runtime.worker("studio_test.py", correctionAnswer("'{}'"));
    const Imaging::Image image = grey(8, 2, 0.5f);
    const auto scored = PortraitLocalCorrection::prepare(image, runtime.analysis, "studio_test.py", {}, true);
    // Columns hold the levels 0, 1, 63, 64, 128, 255, 0, 0; corrected pixels gain 0.2.
    struct Case {
        double amount;
        std::vector<int> corrected;  // per column
    };
    const Case cases[] = {
        {0, {0, 0, 0, 0, 0, 0, 0, 0}},
        {0.5, {0, 0, 0, 1, 1, 1, 0, 0}},
        {1, {0, 1, 1, 1, 1, 1, 0, 0}},
        {-1, {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const Imaging::Image out = scored.apply(image, c.amount);
        for (int col = 0; col < 8; ++col) {
            EXPECT_NEAR(out.at(col, 1).g, 0.5f + 0.2f * float(c.corrected[col]), 1e-6) << c.amount << " column " << col;
            EXPECT_EQ(out.at(col, 1).a, 1.0f);
        }
    }
    // Without scores the amount is a blend factor.
    const auto plain = PortraitLocalCorrection::prepare(image, runtime.analysis, "studio_test.py", {}, false);
    EXPECT_FALSE(plain.scores);
    EXPECT_NEAR(plain.apply(image, 0.5).at(0, 0).r, 0.6f, 1e-6);
    EXPECT_NEAR(plain.apply(image, 1).at(7, 1).b, 0.7f, 1e-6);
}

TEST(PortraitLocalCorrection, EveryFailureLeavesNoWorkFolder) {
    const std::string failed = PortraitLocalCorrection::workerFailed;
    struct Case {
        const char* name;
        std::string answer;
        std::string failure;
        bool shortLimit = false;
    };
    const Case cases[] = {
        {"non-zero exit", correctionAnswer("'{}'") + "sys.exit(2)\n", failed},
        {"array", correctionAnswer("'[]'"), failed},
        {"not JSON", correctionAnswer("'spots'"), failed},
        {"hangs", "time.sleep(120)\n", failed, true},
        {"positive one pixel narrower", correctionAnswer("'{}'", true, -1), PortraitLocalCorrection::geometryMismatch},
        {"scores missing", correctionAnswer("'{}'", false), "No such file"},
        {"success", correctionAnswer("'{}'"), "no failure"},
    };
    for (const Case& c : cases) {
        WorkerProcess::setLimitForTesting(c.shortLimit ? std::chrono::milliseconds(4000) : WorkerProcess::standardLimit);
        Runtime runtime;
        runtime.worker("studio_test.py", c.answer);
        const std::string failure = failureOf([&] {
            PortraitLocalCorrection::prepare(grey(8, 2, 0.5f), runtime.analysis, "studio_test.py", {}, true);
        });
        EXPECT_NE(failure.find(c.failure), std::string::npos) << c.name << ": " << failure;
        EXPECT_EQ(runtime.runs().size(), 1u) << c.name;
        EXPECT_TRUE(fs::is_empty(runtime.dir / "scratch")) << c.name;
    }
    WorkerProcess::setLimitForTesting(WorkerProcess::standardLimit);
}

TEST(PortraitLocalCorrection, NeedsThePythonAndWorkerVariablesAndDefaultsToTheAnalysisFolder) {
    Runtime runtime;
    runtime.worker("studio_test.py", correctionAnswer("'{}'"));
    for (const char* variable : {"MERROW_PORTRAIT_PYTHON", "MERROW_PORTRAIT_WORKER"}) {
        ScopedVariable unset(variable, std::nullopt);
        EXPECT_EQ(failureOf([&] {
                      PortraitLocalCorrection::prepare(grey(8, 2, 0.5f), runtime.analysis, "studio_test.py", {}, true);
                  }),
                  PortraitLocalCorrection::notConfigured);
    }
    ScopedVariable noScratch("MERROW_PORTRAIT_SCRATCH", std::nullopt);
    PortraitLocalCorrection::prepare(grey(8, 2, 0.5f), runtime.analysis, "studio_test.py", {}, true);
    const std::string work = runtime.runs().at(0)["argv"][6];
    EXPECT_EQ(fs::path(work).parent_path(), runtime.dir / "analysis");
    EXPECT_TRUE(fs::is_empty(runtime.dir / "analysis"));
}

TEST(PortraitBlemishes, KeptPointsAreAtMost160PairsOfFractions) {
    const double nan = std::nan("");
    struct Case {
        const char* name;
        Develop::Look::Points keep;
        bool valid;
    };
    const Case cases[] = {
        {"none", {}, true},
        {"160", Develop::Look::Points(160, {0.5, 0.5}), true},
        {"161", Develop::Look::Points(161, {0.5, 0.5}), false},
        {"[1.0, 0.0]", {{1.0, 0.0}}, true},
        {"[1.01, 0.5]", {{1.01, 0.5}}, false},
        {"[-0.01, 0.5]", {{-0.01, 0.5}}, false},
        {"one number", {{0.5}}, false},
        {"three numbers", {{0.5, 0.5, 0.5}}, false},
        {"NaN", {{nan, 0.5}}, false},
        {"infinite", {{0.5, HUGE_VAL}}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(failureOf([&] { PortraitBlemishes::validated(c.keep); }),
                  c.valid ? "no failure" : PortraitBlemishes::invalidKeep)
            << c.name;
}

TEST(PortraitBlemishes, TheWeightsMustBeConfiguredUnlessThereIsNothingToDo) {
    Runtime runtime;
    runtime.worker("studio_blemishes.py", correctionAnswer("'{}'"));
    const Imaging::Image image = grey(8, 2, 0.5f);
    const std::optional<std::string> cases[] = {std::nullopt, "weights.pt", (runtime.dir / "missing.pt").string()};
    for (const auto& value : cases) {
        ScopedVariable weights("MERROW_BLEMISH_WEIGHTS", value);
        // Amount 0 without per-face amounts: the picture as it was, no check.
        const Imaging::Image same = PortraitBlemishes::apply(image, runtime.analysis, "k", 0, {std::nullopt, 0.0}, {});
        EXPECT_EQ(same.mat().data, image.mat().data);
        EXPECT_EQ(failureOf([&] { PortraitBlemishes::apply(image, runtime.analysis, "k", 0.5, {}, {}); }),
                  PortraitBlemishes::notConfigured)
            << value.value_or("(unset)");
        EXPECT_EQ(failureOf([&] { PortraitBlemishes::apply(image, runtime.analysis, "k", 0, {0.3}, {}); }),
                  PortraitBlemishes::notConfigured);
    }
    EXPECT_TRUE(runtime.runs().empty());
}

TEST(PortraitBlemishes, PreparesOncePerKeyAndReportsEachSpotsState) {
    Runtime runtime;
    runtime.worker("studio_blemishes.py", correctionAnswer(R"(json.dumps({'spots': [
    {'x': 0, 'y': 0, 'radius': 1, 'level': 64, 'state': 'found'},
    {'x': 1, 'y': 0, 'radius': 1, 'level': 63, 'state': 'found'},
    {'x': 2, 'y': 0, 'radius': 1, 'level': 200, 'state': 'kept'},
    {'x': 3, 'y': 0, 'radius': 1, 'level': 200, 'state': 'skipped'}]}))"));
    const Imaging::Image image = grey(8, 2, 0.5f);
    const Develop::Look::Points keep{{0.25, 0.5}, {1.0, 0.0}};
    const std::string key = "photo|" + std::to_string(::getpid());

    const Imaging::Image half = PortraitBlemishes::apply(image, runtime.analysis, key, 0.5, {}, keep);
    EXPECT_NEAR(half.at(3, 0).r, 0.7f, 1e-6);  // level 64 passes at 0.5
    EXPECT_NEAR(half.at(2, 0).r, 0.5f, 1e-6);  // 63 does not
    const Imaging::Image full = PortraitBlemishes::apply(image, runtime.analysis, key, 1, {}, keep);
    EXPECT_NEAR(full.at(2, 0).r, 0.7f, 1e-6);
    ASSERT_EQ(runtime.runs().size(), 1u);  // the second amount only re-blends
    const std::vector<std::string> argv = runtime.runs()[0]["argv"];
    EXPECT_EQ(std::vector<std::string>(argv.end() - 4, argv.end()),
              (std::vector<std::string>{"--weights", (runtime.dir / "weights.pt").string(), "--keep", "[[0.25,0.5],[1.0,0.0]]"}));

    using Rows = std::vector<std::vector<double>>;
    struct Case {
        double amount;
        std::vector<double> states;
    };
    const Case cases[] = {{0, {2, 2, 0, 3}}, {0.5, {1, 2, 0, 3}}, {1, {1, 1, 0, 3}}};
    for (const Case& c : cases) {
        const Rows rows = PortraitBlemishes::spots(image, runtime.analysis, key, c.amount, {}, keep);
        ASSERT_EQ(rows.size(), 4u);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ASSERT_EQ(rows[i].size(), 5u);
            EXPECT_EQ(rows[i][3], c.states[i]) << c.amount << " spot " << i;
            EXPECT_EQ(rows[i][4], 0.0);
        }
        EXPECT_DOUBLE_EQ(rows[1][0], 1.5 / 8);
        EXPECT_DOUBLE_EQ(rows[1][1], 0.5 / 2);
        EXPECT_DOUBLE_EQ(rows[1][2], 1.0 / 8);
    }
    EXPECT_EQ(runtime.runs().size(), 1u);
    // An invalid kept point fails before anything runs.
    EXPECT_EQ(failureOf([&] { PortraitBlemishes::spots(image, runtime.analysis, key + "x", 0.5, {}, {{1.01, 0.5}}); }),
              PortraitBlemishes::invalidKeep);
    EXPECT_EQ(runtime.runs().size(), 1u);
}

TEST(PortraitTone, RunsWhenAnyToneIsAskedForAndAppliesTheWholeDifference) {
    Runtime runtime;
    runtime.worker("studio_tone.py", correctionAnswer("'{}'", false));
    const Imaging::Image image = grey(8, 2, 0.5f);
    const std::string key = "tone|" + std::to_string(::getpid());

    // Nothing asked: the picture as it was.
    EXPECT_EQ(PortraitTone::apply(image, runtime.analysis, key, 0, 0, {std::nullopt}, {0.0}).mat().data, image.mat().data);
    EXPECT_TRUE(runtime.runs().empty());

    // One face's own tone is enough.
    const Imaging::Image toned = PortraitTone::apply(image, runtime.analysis, key, 0, 0, {20.0}, {});
    EXPECT_NEAR(toned.at(5, 1).g, 0.7f, 1e-6);
    ASSERT_EQ(runtime.runs().size(), 1u);
    std::vector<std::string> argv = runtime.runs()[0]["argv"];
    EXPECT_EQ(std::vector<std::string>(argv.end() - 4, argv.end()),
              (std::vector<std::string>{"--tone", "0.0", "--under-eye", "0.0"}));

    // The same key again does not run the worker; a new key does.
    PortraitTone::apply(image, runtime.analysis, key, 0, 0, {20.0}, {});
    EXPECT_EQ(runtime.runs().size(), 1u);
    PortraitTone::apply(image, runtime.analysis, key + "|35", 35, 12.5, {}, {});
    ASSERT_EQ(runtime.runs().size(), 2u);
    argv = runtime.runs()[1]["argv"].get<std::vector<std::string>>();
    EXPECT_EQ(std::vector<std::string>(argv.end() - 4, argv.end()),
              (std::vector<std::string>{"--tone", "35.0", "--under-eye", "12.5"}));
}

TEST(PortraitLimits, BoundsTheFullSizeRetouches) {
    auto look = [](const char* text) { return *Develop::decodeLook(json::parse(text)); };
    struct Case {
        const char* look;
        double width, height;
        const char* failure;
    };
    const char* retouch = PortraitLimits::retouchTooLarge;
    const char* smoothing = PortraitLimits::smoothingTooLarge;
    const Case cases[] = {
        {R"({"skinBlemishes": 40})", 6000, 4001, retouch},
        {R"({"skinBlemishes": 40})", 6000, 4000, nullptr},
        {R"({"skinTone": 10, "skinSmooth": 50})", 6000, 4001, retouch},
        {R"({"skinUnderEye": 10})", 6000, 4001, retouch},
        {R"({"skinSmooth": 50})", 6000, 4001, nullptr},
        {R"({"skinSmooth": 50})", 10000, 6000, nullptr},
        {R"({"skinSmooth": 50})", 10000, 6001, smoothing},
        {R"({"skinSmooth": 50})", 0, 100, smoothing},
        {R"({"skinSmooth": 50})", HUGE_VAL, 100, smoothing},
        {R"({"exposure": 1})", 100000, 100000, nullptr},
        {R"({"skinFaces": [{"at": [0.5, 0.5], "skinBlemishes": 20}]})", 6000, 4001, retouch},
    };
    for (const Case& c : cases)
        EXPECT_EQ(failureOf([&] { PortraitLimits::validateSize(c.width, c.height, look(c.look)); }),
                  c.failure ? c.failure : "no failure")
            << c.look << " " << c.width << "×" << c.height;
    // The picture's own extent.
    EXPECT_EQ(failureOf([&] { PortraitLimits::validate(Imaging::Image(), look(R"({"skinSmooth": 50})")); }), smoothing);
    EXPECT_EQ(failureOf([&] { PortraitLimits::validate(grey(8, 2, 0.5f), look(R"({"skinSmooth": 50})")); }), "no failure");
}

}  // namespace
