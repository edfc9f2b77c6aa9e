// Remove strokes: fills from small ONNX models built here with python3-onnx
// (the picture where the mask is 0, a constant colour where it is 1), patch
// requests and answers in the patch folder, and the pieces they are made of.
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "area_pictures.h"
#include "engine/healing/area_heal.h"
#include "engine/healing/remove_fill.h"

namespace {

using AreaHeal::Box;
using AreaHeal::Stroke;
using namespace AreaPictures;
namespace fs = std::filesystem;

// Sets an environment variable for the life of the object.
class Environment {
public:
    Environment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~Environment() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The test models (scripts/remove-test-models.py): output "output" = a
// constant colour, in 0…1 or 0…255, float32 or float16; "renamed" names its
// output "result". Built once for the whole program.
const fs::path& models() {
    static TestSupport::TempDir folder;
    static const bool built = [] {
        const TestSupport::ProcessResult r = TestSupport::run(
            "/usr/bin/python3", {(TestSupport::sourceDir() / "scripts" / "remove-test-models.py").string(), folder.path().string()});
        if (r.status != 0) ADD_FAILURE() << "building the test models needs python3-onnx (scripts/setup): " << r.err;
        return r.status == 0;
    }();
    (void)built;
    return folder.path();
}

bool samePixels(const Imaging::Image& a, const Imaging::Image& b) {
    return a.extent() == b.extent() && cv::norm(a.mat(), b.mat(), cv::NORM_INF) == 0;
}

double largestDifference(const Imaging::Bitmap& a, const Imaging::Bitmap& b) {
    int most = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) most = std::max(most, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
    return most;
}

// A textured picture with a dark disc, and the remove stroke over it.
struct Scene {
    Imaging::Image image;
    Stroke stroke;
    double cx, cy, size, rho;
};

Scene syntheticScene() {
    const int W = 640, H = 560;
    Imaging::Bitmap picture = textured(W, H, {120, 150, 170}, 12);
    paintDark(picture, disc(300, 260, 10));
    return {Imaging::fromBitmap(picture), stroke("remove", 18, {{300, 260}}, W, H), 300, 260, 10, 18};
}

// The rippled water of a photo enlarged to 900×600 (the model needs a picture of at least 512 pixels).
Scene photoScene() {
    const Imaging::Bitmap small = photo("jpeg_icc/photoprism_Iceland-sRGB.jpg");
    cv::Mat large;
    cv::resize(cv::Mat(small.height, small.width, CV_8UC4, const_cast<std::uint8_t*>(small.pixels.data())), large,
               cv::Size(900, 600), 0, 0, cv::INTER_CUBIC);
    Imaging::Bitmap picture(900, 600, 4);
    std::memcpy(picture.pixels.data(), large.data, picture.pixels.size());
    paintDark(picture, disc(450, 525, 14));
    return {Imaging::fromBitmap(picture), stroke("remove", 24, {{450, 525}}, 900, 600), 450, 525, 14, 24};
}

Imaging::Image removed(const Scene& scene) { return AreaHeal::apply(scene.image, std::vector<Stroke>{scene.stroke}); }

// ---------------------------------------------------------------- model

struct ModelCase {
    const char* name;
    bool photo;
};

void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.name; }

class RemoveWithModel : public ::testing::TestWithParam<ModelCase> {};

// Every model fills the disc with the same picture whatever its output scale
// and type; the fill takes the surrounding colour and grain, the same on every
// run, and nothing outside the stroke's padded box changes.
TEST_P(RemoveWithModel, fillMatchesTheSurroundings) {
    const ModelCase& c = GetParam();
    if (c.photo) REQUIRE_FIXTURES();
    const Scene scene = c.photo ? photoScene() : syntheticScene();
    const int W = scene.image.width(), H = scene.image.height();
    const Imaging::Bitmap original = Imaging::renderRGBA8(scene.image);
    const auto area = disc(scene.cx, scene.cy, scene.size);
    const auto around = ring(scene.cx, scene.cy, scene.rho + 2, scene.rho + 2 + 2 * scene.size);

    std::vector<Imaging::Bitmap> results;
    for (const char* model : {"unit.onnx", "bytes.onnx", "half.onnx", "half-bytes.onnx", "unit.onnx"}) {
        const Environment use("MERROW_REMOVE_MODEL", (models() / model).string());
        const Imaging::Image out = removed(scene);
        const Box box = *AreaHeal::bounds(scene.stroke, W, H);
        const Box padded = box.padded(std::max(3, int(std::round(0.5 * scene.rho))), W, H);
        for (int y = 0; y < H; y += 7)
            for (int x = 0; x < W; x += 3)
                if (x < padded.x || x >= padded.x + padded.w || y < padded.y || y >= padded.y + padded.h) {
                    ASSERT_EQ(std::memcmp(&out.at(x, y), &scene.image.at(x, y), sizeof(Imaging::Pixel)), 0) << model;
                }
        results.push_back(Imaging::renderRGBA8(out));
    }
    for (std::size_t i = 1; i < results.size(); ++i) EXPECT_LE(largestDifference(results[0], results[i]), 1) << i;
    EXPECT_EQ(results.front().pixels, results.back().pixels) << "the same fill and grain on every run";

    const Statistics filled = statistics(results[0], area), surroundings = statistics(results[0], around);
    EXPECT_LT(deltaE76(filled, surroundings), 5.0) << c.name;
    // The model's answer is one colour: what varies inside is the grain, which
    // follows the fine (3×3) texture around; on the synthetic picture that is all of it.
    EXPECT_GT(filled.lumaDeviation, c.photo ? 1.0 : 0.25 * surroundings.lumaDeviation) << c.name << ": grain";
    EXPECT_LT(filled.lumaDeviation, 1.5 * surroundings.lumaDeviation) << c.name;
    EXPECT_LT(statistics(original, area).g, 20);
}

INSTANTIATE_TEST_SUITE_P(Pictures, RemoveWithModel,
                         ::testing::Values(ModelCase{"textured", false}, ModelCase{"photo", true}),
                         [](const ::testing::TestParamInfo<ModelCase>& info) { return std::string(info.param.name); });

TEST(RemoveFill, modelWithoutOutputFails) {
    const Scene scene = syntheticScene();
    const Environment use("MERROW_REMOVE_MODEL", (models() / "renamed.onnx").string());
    try {
        removed(scene);
        FAIL() << "expected a failure";
    } catch (const RemoveFill::Failure& f) {
        EXPECT_EQ(f.description(), "The Remove model gave no picture");
    }
}

// No model, a model file that does not load, a picture smaller than the model
// square: the stroke is skipped and the picture stays as it was.
TEST(RemoveFill, withoutAModelNothingChanges) {
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir / "broken.onnx", "not a model");
    const Scene scene = syntheticScene();
    {
        const Environment none("MERROW_REMOVE_MODEL", "");
        EXPECT_TRUE(samePixels(removed(scene), scene.image));
    }
    {
        const Environment broken("MERROW_REMOVE_MODEL", (dir / "broken.onnx").string());
        EXPECT_FALSE(RemoveFill::model());
        EXPECT_TRUE(samePixels(removed(scene), scene.image));
    }
    {
        const Environment missing("MERROW_REMOVE_MODEL", (dir / "missing.onnx").string());
        EXPECT_TRUE(samePixels(removed(scene), scene.image));
    }
    const Environment use("MERROW_REMOVE_MODEL", (models() / "unit.onnx").string());
    const Imaging::Image small = Imaging::fromBitmap(textured(400, 300, {100, 100, 100}, 5));
    EXPECT_TRUE(samePixels(AreaHeal::apply(small, std::vector<Stroke>{stroke("remove", 10, {{200, 150}}, 400, 300)}), small));
}

// One model per process for the current path, replaced when the path changes.
TEST(RemoveFill, modelCacheFollowsThePath) {
    std::shared_ptr<RemoveFill::Model> first, again, other;
    {
        const Environment use("MERROW_REMOVE_MODEL", (models() / "unit.onnx").string());
        first = RemoveFill::model();
        again = RemoveFill::model();
    }
    {
        const Environment use("MERROW_REMOVE_MODEL", (models() / "bytes.onnx").string());
        other = RemoveFill::model();
    }
    ASSERT_TRUE(first && other);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
}

// Model output of every element type, in 0…1 or 0…255, reads as the same bytes.
TEST(RemoveFill, readRGBScalesAndTypes) {
    const int dims[] = {1, 3, 512, 512};
    cv::Mat unit(4, dims, CV_32F);
    float* v = unit.ptr<float>();
    for (std::size_t i = 0; i < unit.total(); ++i) v[i] = float((i * 7919) % 256) / 255.0f;
    v[5] = 0.25f;                                 // red of pixel 5
    v[std::size_t(2) * 512 * 512 + 5] = 0.75f;    // blue of pixel 5
    const cv::Mat bytes = unit * 255.0;
    for (const cv::Mat& m : {unit, bytes}) {
        for (int type : {CV_32F, CV_64F, CV_16F}) {
            cv::Mat typed;
            m.convertTo(typed, type);
            const RemoveFill::RGB rgb = RemoveFill::readRGB(typed);
            ASSERT_EQ(rgb.size(), std::size_t(512) * 512);
            EXPECT_NEAR(rgb[5][0], 63.75, 0.1) << type;
            EXPECT_NEAR(rgb[5][2], 191.25, 0.2) << type;
        }
    }
}

// ---------------------------------------------------------------- pieces

TEST(RemoveFill, dilateIsASquareMaximum) {
    std::vector<std::uint8_t> mask(9 * 7, 0);
    mask[3 * 9 + 4] = 200;
    mask[0] = 50;
    const std::vector<std::uint8_t> grown = RemoveFill::dilate(mask, 9, 7, 2);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 9; ++x) {
            const int expected = (std::abs(x - 4) <= 2 && std::abs(y - 3) <= 2) ? 200 : (x <= 2 && y <= 2) ? 50 : 0;
            EXPECT_EQ(grown[std::size_t(y) * 9 + std::size_t(x)], expected) << x << "," << y;
        }
    EXPECT_EQ(RemoveFill::dilate(mask, 9, 7, 0), mask);
}

TEST(RemoveFill, cloudSquare) {
    struct Row {
        Box box;
        int W, H;
        Box square;
    };
    for (const Row& r : {Row{{100, 100, 50, 40}, 1000, 800, {65, 60, 120, 120}},   // 2.2·50 = 110 < 0.15·800
                         Row{{400, 300, 200, 100}, 1000, 800, {280, 130, 440, 440}},
                         Row{{0, 0, 60, 60}, 1000, 800, {0, 0, 132, 132}},          // clamped into the picture
                         Row{{900, 700, 100, 100}, 1000, 800, {780, 580, 220, 220}},
                         Row{{10, 10, 300, 200}, 400, 300, {10, 0, 300, 300}}})    // at most the picture's side
        EXPECT_EQ(RemoveFill::cloudSquare(r.box, r.W, r.H), r.square) << r.box.x;
}

// ---------------------------------------------------------------- patch folder

// The names moved into place in the folder, in order (inotify).
class MovesSeen {
public:
    explicit MovesSeen(const fs::path& folder) : fd_(inotify_init1(IN_NONBLOCK)) {
        inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    ~MovesSeen() { ::close(fd_); }
    std::vector<std::string> moved() {
        std::vector<std::string> names;
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            for (char* p = buffer; p < buffer + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(p);
                if ((e->mask & IN_MOVED_TO) && e->len) names.emplace_back(e->name);
                p += sizeof(inotify_event) + e->len;
            }
        }
        return names;
    }

private:
    int fd_;
};

struct RequestCase {
    const char* name;
    int side;                               // the picture is side × side
    std::vector<std::array<double, 2>> points;
    int expected;                           // side of the request files, 0 for none
};

// A stroke with a fill identifier and no answer leaves a request: the mask
// first, then the picture, scaled to at most 1024 in steps of 16; squares
// under 256 pixels leave none. Either way the model fills the stroke.
TEST(RemoveFill, patchRequests) {
    const std::string id = "0123456789abcdef01234567";
    for (const RequestCase& c : {RequestCase{"square_300", 300, {{100, 150}, {180, 150}}, 288},
                                 RequestCase{"square_1500", 1500, {{500, 750}, {900, 750}}, 1024},
                                 RequestCase{"square_200", 200, {{80, 100}, {120, 100}}, 0}}) {
        TestSupport::TempDir folder;
        const Environment patches("MERROW_REMOVE_PATCHES", folder.path().string());
        const Environment model("MERROW_REMOVE_MODEL", (models() / "unit.onnx").string());
        Stroke s = stroke("remove", 0.1 * c.side, c.points, c.side, c.side);
        s.fill = id;
        Imaging::Bitmap picture = textured(c.side, c.side, {90, 130, 110}, 10);
        const Imaging::Image image = Imaging::fromBitmap(picture);
        MovesSeen watch(folder.path());
        const Box box = *AreaHeal::bounds(s, c.side, c.side);
        const auto delta = RemoveFill::fill(s, box, image, c.side, c.side);
        const std::vector<std::string> moved = watch.moved();
        if (c.expected == 0) {
            EXPECT_TRUE(moved.empty()) << c.name;
            EXPECT_TRUE(fs::is_empty(folder.path())) << c.name;
            continue;
        }
        EXPECT_EQ(moved, (std::vector<std::string>{id + ".mask.png", id + ".in.png"})) << c.name;
        const cv::Mat in = cv::imread((folder / (id + ".in.png")).string(), cv::IMREAD_UNCHANGED);
        const cv::Mat mask = cv::imread((folder / (id + ".mask.png")).string(), cv::IMREAD_UNCHANGED);
        EXPECT_EQ(in.cols, c.expected) << c.name;
        EXPECT_EQ(in.rows, c.expected) << c.name;
        EXPECT_EQ(in.type(), CV_8UC3) << c.name;
        EXPECT_EQ(mask.cols, c.expected) << c.name;
        EXPECT_EQ(mask.type(), CV_8UC1) << c.name;
        EXPECT_NE(TestSupport::readFile(folder / (id + ".in.png")).find("sRGB"), std::string::npos) << c.name;
        EXPECT_GT(cv::countNonZero(mask), 0) << c.name;
        // The model square fits these pictures, so the model fills the stroke meanwhile.
        EXPECT_EQ(bool(delta), c.side >= 512) << c.name;
        // An existing request is left as it is.
        const auto written = fs::last_write_time(folder / (id + ".in.png"));
        RemoveFill::fill(s, box, image, c.side, c.side);
        EXPECT_TRUE(watch.moved().empty()) << c.name;
        EXPECT_EQ(fs::last_write_time(folder / (id + ".in.png")), written) << c.name;
        for (const auto& entry : fs::directory_iterator(folder.path()))
            EXPECT_EQ(entry.path().string().find(".part-"), std::string::npos) << entry.path();
    }
}

// An answer in the folder is used, even when a model is configured (this one
// would fail): the stripes of the answer show in the filled stroke.
TEST(RemoveFill, patchAnswerComesFirst) {
    TestSupport::TempDir folder;
    const std::string id = "00000000000000000000beef";
    const Environment patches("MERROW_REMOVE_PATCHES", folder.path().string());
    const Environment model("MERROW_REMOVE_MODEL", (models() / "renamed.onnx").string());
    const Scene scene = syntheticScene();
    Stroke s = scene.stroke;
    s.fill = id;
    const Box square = RemoveFill::cloudSquare(*AreaHeal::bounds(s, 640, 560), 640, 560);
    cv::Mat answer(300, 300, CV_8UC3);
    for (int y = 0; y < 300; ++y) answer.row(y).setTo(cv::Scalar::all((y / 3) % 2 ? 230 : 30));
    ASSERT_TRUE(cv::imwrite((folder / (id + ".png")).string(), answer));

    const Imaging::Image out = AreaHeal::apply(scene.image, std::vector<Stroke>{s});
    const Imaging::Bitmap rendered = Imaging::renderRGBA8(out);
    const Statistics filled = statistics(rendered, disc(scene.cx, scene.cy, 6));
    EXPECT_GT(filled.lumaDeviation, 50) << "the stripes of the answer";
    EXPECT_FALSE(fs::exists(folder / (id + ".in.png"))) << "no request beside an answer";
    EXPECT_GT(square.w, 0);

    // A file that is not a square picture of at least 16 pixels is no answer.
    cv::imwrite((folder / (id + ".png")).string(), cv::Mat(20, 30, CV_8UC3, cv::Scalar::all(9)));
    EXPECT_FALSE(RemoveFill::readPatch((folder / (id + ".png")).string()));
    cv::imwrite((folder / (id + ".png")).string(), cv::Mat(12, 12, CV_8UC3, cv::Scalar::all(9)));
    EXPECT_FALSE(RemoveFill::readPatch((folder / (id + ".png")).string()));
    EXPECT_FALSE(RemoveFill::readPatch((folder / "missing.png").string()));
    // Nor is one too large to hold: refused from its header (a 60000-pixel square would need 86 GB as RGB values).
    TestSupport::writeFile(folder / "huge.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\xea\x60\0\0\xea\x60", 24) +
                                                    std::string(1000, '\0'));
    EXPECT_FALSE(RemoveFill::readPatch((folder / "huge.png").string()));
    cv::imwrite((folder / "ok.png").string(), cv::Mat(16, 16, CV_8UC3, cv::Scalar(10, 20, 30)));
    const auto small = RemoveFill::readPatch((folder / "ok.png").string());
    ASSERT_TRUE(small);
    EXPECT_EQ(small->second, 16);
    EXPECT_EQ(small->first[0], (std::array<double, 3>{30, 20, 10}));
}

// Several processes writing the same request at once: each writes its own
// temporary and moves it into place, so the file is always whole and no
// temporary is left behind.
TEST(RemoveFill, severalProcessesWriteTheSameRequest) {
    TestSupport::TempDir folder;
    const std::string target = (folder / "0123456789abcdef01234567.in.png").string();
    const int side = 512;
    Imaging::Bitmap picture = textured(side, side, {30, 160, 220}, 30);
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (int round = 0; round < 5; ++round) ok = RemoveFill::writePNG(picture.pixels.data(), side, side, 4, target) && ok;
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const cv::Mat written = cv::imread(target, cv::IMREAD_COLOR);
    ASSERT_EQ(written.cols, side);
    for (int y = 0; y < side; y += 37)
        for (int x = 0; x < side; x += 29) {
            const std::uint8_t* p = picture.row(y) + x * 4;
            const cv::Vec3b q = written.at<cv::Vec3b>(y, x);
            ASSERT_EQ(q, cv::Vec3b(p[2], p[1], p[0]));
        }
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(folder.path())) ++entries, (void)entry;
    EXPECT_EQ(entries, 1) << "no temporary left";
    // A folder that does not exist: nothing written, nothing thrown.
    EXPECT_FALSE(RemoveFill::writePNG(picture.pixels.data(), side, side, 4, (folder / "no" / "x.png").string()));
}

}  // namespace
