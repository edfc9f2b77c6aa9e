// The experimental portrait path through `gelatin serve`, with fake workers.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "portrait/portrait_worker_support.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using PortraitTestSupport::writeScript;

// The face-parsing worker: a mask over the face box; logs the input's size.
const std::string analysisWorker = R"(
img = cv2.imread(arg('--input'), cv2.IMREAD_UNCHANGED)
h, w = img.shape[:2]
x1, y1, x2, y2 = [float(v) for v in args[-4:]]
mask = np.zeros((h, w), np.uint8)
mask[int(y1):int(y2), int(x1):int(x2)] = 255
path = os.path.join(arg('--output'), 'mask-%d.png' % os.getpid())
cv2.imwrite(path, mask)
with open(os.path.join(here, 'analysis-sizes'), 'a') as f:
    f.write('%dx%d\n' % (w, h))
sys.stderr.write('face parsing done\n')
print(json.dumps({'mask': path}))
)";

// The blemish worker: two spots, a score map, and its run's start and end times.
const std::string blemishWorker = R"(
start = time.time()
img = cv2.imread(arg('--input'), cv2.IMREAD_UNCHANGED)
h, w = img.shape[:2]
out = arg('--output')
positive = np.zeros((h, w), np.uint8); positive[:h // 2, :] = 20
cv2.imwrite(os.path.join(out, 'positive.png'), positive)
cv2.imwrite(os.path.join(out, 'negative.png'), np.zeros((h, w), np.uint8))
scores = np.zeros((h, w), np.uint8); scores[:, :w // 2] = 100
cv2.imwrite(os.path.join(out, 'scores.png'), scores)
time.sleep(0.5)
with open(os.path.join(here, 'blemish-runs'), 'a') as f:
    f.write('%f %f %s\n' % (start, time.time(), arg('--keep')))
print(json.dumps({'spots': [{'x': 9.5, 'y': 19.5, 'radius': 4, 'level': 100, 'state': 'found'},
                            {'x': 29.5, 'y': 9.5, 'radius': 2, 'level': 3, 'state': 'kept'},
                            {'x': 1, 'y': 1, 'radius': 2, 'state': 'found'}]}))
)";

const std::string toneWorker = R"(
print('{}')
)";

std::map<int, json> resultsById(const std::string& out) {
    std::map<int, json> results;
    for (const std::string& line : TestSupport::lines(out)) {
        const json result = json::parse(line);
        results[result["id"].get<int>()] = result;
    }
    return results;
}

TEST(PortraitServe, RendersOneAtATimeReusesTheAnalysisAndReportsBlemishSpotsForTheOverlay) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    fs::create_directories(dir / "runtime");
    fs::create_directories(dir / "out");
    const std::string prelude = PortraitTestSupport::pythonPrelude;
    writeScript(dir / "runtime" / "face_parsing.py", prelude + analysisWorker, false);
    writeScript(dir / "runtime" / "studio_blemishes.py", prelude + blemishWorker, false);
    writeScript(dir / "runtime" / "studio_tone.py", prelude + toneWorker, false);
    TestSupport::writeFile(dir / "weights.pt", "weights");
    const fs::path one = dir / "one.jpg";  // 1350 × 1350
    fs::copy_file(TestSupport::fixture("portraits/webmorph_london030_eastasian_woman_smile.jpg"), one);

    auto request = [&](int id, const fs::path& src, int max, const json& look, bool overlay) {
        json r = {{"id", id}, {"src", src.string()}, {"develop", true}, {"max", max},
                  {"out", (dir / "out" / (std::to_string(id) + ".jpg")).string()}, {"look", look}};
        if (overlay) {
            r["interactive"] = true;
            r["skinMaskOverlay"] = true;
        }
        return r.dump() + "\n";
    };
    const json smooth = {{"skinSmooth", 60}};
    const json blemishes = {{"skinBlemishes", 50}, {"skinSmooth", 30}, {"skinBlemishKeep", {{0.25, 0.5}}}};
    const std::string input = request(1, one, 800, smooth, false) + request(2, one, 400, smooth, false) +
                              request(3, one, 400, blemishes, true) + request(4, one, 300, blemishes, false) +
                              request(5, one, 400, json::object(), false);
    const auto served = TestSupport::run(
        TestSupport::gelatin(), {"serve"}, input,
        {"MERROW_EXPERIMENTAL_SKIN=1", "MERROW_PORTRAIT_PYTHON=/usr/bin/python3",
         "MERROW_PORTRAIT_WORKER=" + (dir / "runtime" / "face_parsing.py").string(),
         "MERROW_PORTRAIT_ASSETS=" + (dir / "assets").string(), "MERROW_PORTRAIT_CACHE=" + (dir / "cache").string(),
         "MERROW_BLEMISH_WEIGHTS=" + (dir / "weights.pt").string()});
    ASSERT_EQ(served.status, 0) << served.err;
    const auto results = resultsById(served.out);
    ASSERT_EQ(results.size(), 5u) << served.out;
    for (const auto& [id, result] : results) EXPECT_TRUE(result["ok"].get<bool>()) << result.dump();

    // The worker writes to the engine's own standard error.
    EXPECT_EQ(served.err, "face parsing done\n");

    // One analysis, whatever the render sizes.
    EXPECT_EQ(TestSupport::lines(TestSupport::readFile(dir / "runtime" / "analysis-sizes")),
              std::vector<std::string>{"1350x1350"});
    EXPECT_EQ(results.at(1)["previewW"], 800);
    EXPECT_EQ(results.at(2)["previewW"], 400);

    // The smoothing works inside the mask (the face box in the middle of the
    // picture) and leaves the rest alone.
    const cv::Mat smoothed = cv::imread((dir / "out" / "2.jpg").string());
    const cv::Mat plain = cv::imread((dir / "out" / "5.jpg").string());
    ASSERT_EQ(smoothed.size(), plain.size());
    cv::Mat difference;
    cv::absdiff(smoothed, plain, difference);
    const cv::Rect centre(150, 150, 100, 100), corner(0, 0, 60, 60);
    EXPECT_GT(cv::mean(difference(centre))[1], 0.5);  // about 1.5 levels on average
    EXPECT_LT(cv::mean(difference(corner))[1], 0.05);

    // The spots of the overlay render: found at level 100 (corrected at 0.5),
    // kept; the one without a level dropped. Other renders report none.
    ASSERT_TRUE(results.at(3).contains("blemishSpots")) << results.at(3).dump();
    const auto spots = results.at(3)["blemishSpots"];
    ASSERT_EQ(spots.size(), 2u) << spots.dump();
    EXPECT_EQ(spots[1][3], 0.0);
    EXPECT_EQ(spots[0][3], 1.0);
    EXPECT_EQ(spots[0][4], 0.0);
    for (int id : {1, 2, 4, 5}) EXPECT_FALSE(results.at(id).contains("blemishSpots")) << id;

    // The blemish workers of the two blemish renders (different sizes, so
    // different keys) never overlap: renders are serialised.
    const auto runs = TestSupport::lines(TestSupport::readFile(dir / "runtime" / "blemish-runs"));
    ASSERT_EQ(runs.size(), 2u);
    std::vector<std::pair<double, double>> spans;
    for (const std::string& run : runs) {
        std::istringstream fields(run);
        double start = 0, end = 0;
        std::string keep;
        fields >> start >> end >> keep;
        EXPECT_EQ(keep, "[[0.25,0.5]]");
        spans.emplace_back(start, end);
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i) EXPECT_GE(spans[i].first, spans[i - 1].second);
    // No work folder or input picture is left behind.
    for (const auto& entry : fs::directory_iterator(dir / "cache"))
        EXPECT_EQ(entry.path().filename().string().rfind("mask-", 0), 0u) << entry.path();
}

}  // namespace
