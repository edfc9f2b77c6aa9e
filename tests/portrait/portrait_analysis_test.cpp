// The portrait analysis with fake face-parsing workers: what the worker is
// given, what is accepted back, and when it runs at all.

#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include <nlohmann/json.hpp>
#include <utime.h>

#include "engine/portrait/faces.h"
#include "engine/portrait/portrait_analysis.h"
#include "engine/portrait/worker_process.h"
#include "portrait/portrait_worker_support.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using PortraitTestSupport::ScopedVariable;
using PortraitTestSupport::writeScript;

// A worker that answers with a mask covering the face box it was given.
const std::string goodAnswer = R"(
inp = arg('--input'); out = arg('--output')
img = cv2.imread(inp, cv2.IMREAD_UNCHANGED)
h, w = img.shape[:2]
x1, y1, x2, y2 = [float(v) for v in args[-4:]]
mask = np.zeros((h, w), np.uint8)
mask[int(y1):int(y2), int(x1):int(x2)] = 255
path = os.path.join(out, 'mask-%d.png' % os.getpid())
cv2.imwrite(path, mask)
with open(os.path.join(here, 'input-size'), 'w') as f:
    f.write('%d %d %d' % (w, h, img.shape[2]))
print(json.dumps({'mask': path}))
)";

// A runtime folder with a fake worker, and the MERROW_PORTRAIT_ variables naming it.
class Runtime {
public:
    explicit Runtime(const std::string& answer) {
        fs::create_directories(dir / "assets");
        fs::create_directories(dir / "scratch");
        writeScript(dir / "worker.py", std::string(PortraitTestSupport::pythonPrelude) + answer, false);
    }
    std::vector<std::string> log() const { return PortraitTestSupport::logLines(dir / "log.jsonl"); }
    fs::path cache() const { return dir / "cache"; }
    fs::path scratch() const { return dir / "scratch"; }

    TestSupport::TempDir dir;
    ScopedVariable python{"MERROW_PORTRAIT_PYTHON", "/usr/bin/python3"};
    ScopedVariable worker{"MERROW_PORTRAIT_WORKER", (dir / "worker.py").string()};
    ScopedVariable assets{"MERROW_PORTRAIT_ASSETS", (dir / "assets").string()};
    ScopedVariable cacheVariable{"MERROW_PORTRAIT_CACHE", (dir / "cache").string()};
    ScopedVariable scratchVariable{"MERROW_PORTRAIT_SCRATCH", (dir / "scratch").string()};
};

// A private copy of a one-face fixture portrait (1350 × 1350).
fs::path portraitCopy(const TestSupport::TempDir& dir) {
    const fs::path copy = dir / "portrait.jpg";
    fs::copy_file(TestSupport::fixture("portraits/webmorph_london030_eastasian_woman_smile.jpg"), copy);
    return copy;
}

std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no failure";
}

Vision::FaceObservation face(double x, double y, double width, float confidence) {
    Vision::FaceObservation o;
    o.boundingBox = {x, y, width, width};
    o.confidence = confidence;
    return o;
}

TEST(PortraitAnalysis, TakesExactlyOneClearlyVisibleFaceOfAtLeastAHundredPixels) {
    struct Case {
        const char* name;
        std::vector<Vision::FaceObservation> faces;
        const char* failure;  // nullptr: accepted
    };
    const Case cases[] = {
        {"none", {}, PortraitAnalysis::needsOneFace},
        {"group, one much larger", {face(0.1, 0.1, 0.5, 0.99f), face(0.7, 0.7, 0.05, 0.85f)}, PortraitAnalysis::needsOneFace},
        {"unclear", {face(0.1, 0.1, 0.5, 0.79f)}, PortraitAnalysis::needsOneFace},
        {"99 pixels", {face(0.1, 0.1, 0.099, 0.9f)}, PortraitAnalysis::faceTooSmall},
        {"100 pixels", {face(0.1, 0.1, 0.1, 0.8f)}, nullptr},
    };
    for (const Case& c : cases) {
        const std::string failure = failureOf([&] { PortraitAnalysis::singleFace(c.faces, 1000, 500); });
        EXPECT_EQ(failure, c.failure ? c.failure : "no failure") << c.name;
    }
    // The box in bitmap pixels from the top-left.
    const auto box = PortraitAnalysis::singleFace({face(0.25, 0.5, 0.125, 0.9f)}, 1000, 800);
    EXPECT_DOUBLE_EQ(box.x1, 250);
    EXPECT_DOUBLE_EQ(box.x2, 375);
    EXPECT_DOUBLE_EQ(box.y1, (1 - 0.625) * 800);
    EXPECT_DOUBLE_EQ(box.y2, 400);
    EXPECT_DOUBLE_EQ(box.width, 125);
}

TEST(PortraitAnalysis, AnIncompleteRuntimeIsNotConfiguredBeforeAnythingIsDecoded) {
    Runtime runtime(goodAnswer);
    writeScript(runtime.dir / "not-executable", "#!/bin/sh\n", false);
    struct Case {
        const char* variable;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"MERROW_PORTRAIT_PYTHON", std::nullopt},
        {"MERROW_PORTRAIT_PYTHON", "python3"},
        {"MERROW_PORTRAIT_PYTHON", (runtime.dir / "not-executable").string()},
        {"MERROW_PORTRAIT_PYTHON", runtime.dir.path().string()},  // a folder
        {"MERROW_PORTRAIT_WORKER", std::nullopt},
        {"MERROW_PORTRAIT_WORKER", "worker.py"},
        {"MERROW_PORTRAIT_WORKER", (runtime.dir / "missing.py").string()},
        {"MERROW_PORTRAIT_ASSETS", std::nullopt},
        {"MERROW_PORTRAIT_ASSETS", "assets"},
        {"MERROW_PORTRAIT_CACHE", std::nullopt},
        {"MERROW_PORTRAIT_CACHE", "cache"},
    };
    for (const Case& c : cases) {
        ScopedVariable changed(c.variable, c.value);
        // The photo does not exist: a decode would fail with another message.
        EXPECT_EQ(failureOf([&] { PortraitAnalysis::make(runtime.dir / "no-photo.jpg", {0, 0, 100, 100}); }),
                  PortraitAnalysis::notConfigured)
            << c.variable << " = " << c.value.value_or("(unset)");
    }
    EXPECT_TRUE(runtime.log().empty());
    // Complete, it gets as far as decoding.
    EXPECT_EQ(failureOf([&] { PortraitAnalysis::make(runtime.dir / "no-photo.jpg", {0, 0, 100, 100}); }),
              PortraitFaces::undecodable);
}

TEST(PortraitAnalysis, RunsTheWorkerOnceAsAgreedAndFitsItsMaskToEachExtent) {
    REQUIRE_FIXTURES();
    Runtime runtime(goodAnswer);
    const fs::path photo = portraitCopy(runtime.dir);

    const auto first = PortraitAnalysis::make(photo, {0, 0, 675, 675});
    ASSERT_EQ(runtime.log().size(), 1u);
    const auto run = nlohmann::json::parse(runtime.log()[0]);
    const std::vector<std::string> argv = run["argv"];
    ASSERT_EQ(argv.size(), 12u);
    EXPECT_EQ(argv[0], (runtime.dir / "worker.py").string());
    EXPECT_EQ(argv[1], "--input");
    const fs::path input = argv[2];
    EXPECT_EQ(input.parent_path(), runtime.scratch());
    EXPECT_TRUE(std::regex_match(input.filename().string(),
                                 std::regex("input-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.png")))
        << input;
    EXPECT_FALSE(fs::exists(input));  // removed after the call
    EXPECT_EQ(std::vector<std::string>(argv.begin() + 3, argv.begin() + 8),
              (std::vector<std::string>{"--output", runtime.cache().string(), "--assets", (runtime.dir / "assets").string(),
                                        "--bounds"}));
    // Decimal numbers with a fractional part, shortest form (no trailing zeros beyond ".0").
    for (int i = 8; i < 12; ++i)
        EXPECT_TRUE(std::regex_match(argv[i], std::regex("[0-9]+\\.([0-9]*[1-9]|0)"))) << argv[i];
    EXPECT_EQ(run["HF_HUB_OFFLINE"], "1");
    EXPECT_EQ(run["TORCH_HOME"], (runtime.cache() / "torch").string());
    EXPECT_EQ(TestSupport::readFile(runtime.dir / "input-size"), "1350 1350 4");
    EXPECT_TRUE(fs::is_directory(runtime.cache()));
    EXPECT_EQ(fs::status(runtime.cache()).permissions() & fs::perms::all, fs::perms::owner_all);

    EXPECT_EQ(first.image.extent(), (Imaging::Rect{0, 0, 675, 675}));
    const double x1 = std::stod(argv[8]), x2 = std::stod(argv[10]);
    EXPECT_NEAR(first.faceWidth, (x2 - x1) / 2, 1e-9);
    EXPECT_EQ(first.directory, runtime.cache());
    EXPECT_TRUE(first.regions.empty());
    EXPECT_TRUE(first.faces.empty());
    // The mask covers the face box and nothing far outside it.
    const double y1 = std::stod(argv[9]), y2 = std::stod(argv[11]);
    const int cx = int((x1 + x2) / 4), cy = int((y1 + y2) / 4);
    EXPECT_GT(first.image.at(cx, cy).r, 0.99f);
    EXPECT_LT(first.image.at(2, 2).r, 0.01f);

    // Another size of the same photo: the same mask, no second run.
    const auto second = PortraitAnalysis::make(photo, {0, 0, 300, 300});
    EXPECT_EQ(runtime.log().size(), 1u);
    EXPECT_EQ(second.image.extent(), (Imaging::Rect{0, 0, 300, 300}));
    EXPECT_NEAR(second.faceWidth, (x2 - x1) * 300 / 1350, 1e-9);
    EXPECT_GT(second.image.at(int(cx * 300 / 675), int(cy * 300 / 675)).r, 0.99f);

    // A rotated or offset extent does not fit, on a cache hit too.
    for (const Imaging::Rect extent : {Imaging::Rect{0, 0, 300, 400}, Imaging::Rect{10, 0, 300, 300}, Imaging::Rect{0, 0, 0, 0}})
        EXPECT_EQ(failureOf([&] { PortraitAnalysis::make(photo, extent); }), PortraitAnalysis::orientationMismatch);
    EXPECT_EQ(runtime.log().size(), 1u);

    // A touched file is a new version: the worker runs again.
    const auto later = fs::last_write_time(photo) + std::chrono::seconds(5);
    fs::last_write_time(photo, later);
    PortraitAnalysis::make(photo, {0, 0, 300, 300});
    EXPECT_EQ(runtime.log().size(), 2u);
}

TEST(PortraitAnalysis, RefusesEveryUnusableAnswerAndRemovesItsInput) {
    REQUIRE_FIXTURES();
    const std::string failed = PortraitAnalysis::workerFailed;
    struct Case {
        const char* name;
        std::string answer;
        std::string failure;
        bool shortLimit = false;  // the runner's limit cut to a few seconds
    };
    const std::string makeMask = R"(
inp = arg('--input'); out = arg('--output')
img = cv2.imread(inp, cv2.IMREAD_UNCHANGED)
h, w = img.shape[:2]
)";
    const Case cases[] = {
        {"non-zero exit", makeMask + "print(json.dumps({'mask': 'x'}))\nsys.exit(1)\n", failed},
        {"killed", makeMask + "os.kill(os.getpid(), 9)\n", failed},
        {"hangs", "time.sleep(120)\n", failed, true},
        {"array", "print('[]')\n", failed},
        {"no mask", "print(json.dumps({'masks': 'x'}))\n", failed},
        {"mask not text", "print(json.dumps({'mask': 3}))\n", failed},
        {"outside the cache through ..",
         makeMask + "p = os.path.join(here, 'escaped.png')\ncv2.imwrite(p, np.zeros((h, w), np.uint8))\n"
                    "print(json.dumps({'mask': os.path.join(out, '..', 'escaped.png')}))\n",
         failed},
        {"the cache folder itself", makeMask + "print(json.dumps({'mask': out + '/.'}))\n", failed},
        {"not an image",
         makeMask + "p = os.path.join(out, 'm.png')\nopen(p, 'w').write('text')\nprint(json.dumps({'mask': p}))\n", failed},
        {"wrong size",
         makeMask + "p = os.path.join(out, 'm.png')\ncv2.imwrite(p, np.zeros((h, w - 1), np.uint8))\n"
                    "print(json.dumps({'mask': p}))\n",
         failed},
        {"not JSON", "print('mask?')\n", "json"},  // the parser's own error
    };
    for (const Case& c : cases) {
        WorkerProcess::setLimitForTesting(c.shortLimit ? std::chrono::milliseconds(4000) : WorkerProcess::standardLimit);
        Runtime runtime(c.answer);
        const fs::path photo = portraitCopy(runtime.dir);
        const std::string failure = failureOf([&] { PortraitAnalysis::make(photo, {0, 0, 1350, 1350}); });
        if (c.failure == "json")
            EXPECT_NE(failure.find("parse"), std::string::npos) << c.name << ": " << failure;
        else
            EXPECT_EQ(failure, c.failure) << c.name;
        EXPECT_EQ(runtime.log().size(), 1u) << c.name;
        EXPECT_TRUE(fs::is_empty(runtime.scratch())) << c.name;  // the input is gone
    }
    WorkerProcess::setLimitForTesting(WorkerProcess::standardLimit);
}

TEST(PortraitAnalysis, AGroupPhotoIsRefusedBeforeTheWorkerRuns) {
    REQUIRE_FIXTURES();
    Runtime runtime(goodAnswer);
    EXPECT_EQ(failureOf([&] {
                  PortraitAnalysis::make(TestSupport::fixture("portraits/singnet_laos_two_girls.jpg"), {0, 0, 960, 640});
              }),
              PortraitAnalysis::needsOneFace);
    EXPECT_TRUE(runtime.log().empty());
    EXPECT_TRUE(fs::is_empty(runtime.scratch()));
}

}  // namespace

namespace {

TEST(PortraitRetouch, KeepsThePreparationWhileOnlyTheSmoothingAmountMoves) {
    REQUIRE_FIXTURES();
    Runtime runtime(goodAnswer);
    const fs::path photo = portraitCopy(runtime.dir);
    const Imaging::Image image = Imaging::fromBitmap(PortraitFaces::analysisPicture(photo).bitmap);
    const std::string key = "retouch|" + runtime.dir.path().string();
    auto look = [](double smooth) {
        Develop::Look l;
        l.skinSmooth = smooth;
        return l;
    };
    const PortraitAnalysis::Retouch cached{key, std::nullopt, true, false};
    const auto half = PortraitAnalysis::retouch(image, look(50), photo, cached);
    ASSERT_TRUE(half);
    EXPECT_EQ(runtime.log().size(), 1u);

    // The runtime is gone, but the same key only blends another amount.
    ScopedVariable unset("MERROW_PORTRAIT_PYTHON", std::nullopt);
    const auto full = PortraitAnalysis::retouch(image, look(100), photo, cached);
    ASSERT_TRUE(full);
    cv::Mat difference;
    cv::absdiff(half->mat(), full->mat(), difference);
    EXPECT_GT(cv::norm(difference, cv::NORM_INF), 0.001);
    // Without the cache (or with another key) the analysis is needed again.
    EXPECT_EQ(failureOf([&] { PortraitAnalysis::retouch(image, look(100), photo, {key, std::nullopt, false, false}); }),
              PortraitAnalysis::notConfigured);
    EXPECT_EQ(failureOf([&] { PortraitAnalysis::retouch(image, look(100), photo, {key + "2", std::nullopt, true, false}); }),
              PortraitAnalysis::notConfigured);
}

}  // namespace
