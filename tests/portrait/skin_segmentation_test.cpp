// The face skin model's interface: the exported C functions as built (no
// model runtime), and SkinSegmentation.predict / FaceSkinModel.mask through a
// test runtime behind the same three functions.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "engine/imaging/image.h"
#include "engine/portrait/face_skin_model.h"
#include "engine/portrait/skin_model_runtime.h"
#include "engine/portrait/skin_segmentation.h"
#include "support/support.h"

namespace {

constexpr const char* notBuiltIn = "Skin model not built in. Run npm run setup:skin and rebuild.";

// A scripted runtime: what create and predict do, and how often they ran.
struct Script {
    bool createFails = false;
    bool predictFails = false;
    float skinLogit = 4.0f;  // class 3; the other classes 0
    float poison = 0.0f;     // written over one logit when not zero
    int creates = 0;
    int predicts = 0;
    std::string path;
};
Script script;
int sessionToken;

void* fakeCreate(const char* path, char* error, std::size_t size) {
    ++script.creates;
    script.path = path;
    if (script.createFails) {
        std::snprintf(error, size, "%s", "no model here");
        return nullptr;
    }
    return &sessionToken;
}

bool fakePredict(void* session, const float* input, std::size_t inputCount, float* output, std::size_t outputCount,
                 char* error, std::size_t size) {
    ++script.predicts;
    if (session != &sessionToken || inputCount != 256 * 256 * 3 || outputCount != 256 * 256 * 6 || !input) return false;
    if (script.predictFails) {
        std::snprintf(error, size, "%s", "the interpreter gave up");
        return false;
    }
    for (std::size_t p = 0; p < outputCount; p += 6) {
        // Skin on the left half of the input only.
        const bool left = (p / 6) % 256 < 128;
        for (int c = 0; c < 6; ++c) output[p + c] = (c == 3 && left) ? script.skinLogit : 0.0f;
    }
    if (script.poison != 0.0f) output[12345] = script.poison;
    return true;
}

void fakeDestroy(void*) {}

class SkinModel : public ::testing::Test {
protected:
    void SetUp() override {
        script = {};
        static const SkinSegmentation::Runtime runtime{&fakeCreate, &fakePredict, &fakeDestroy};
        SkinSegmentation::useRuntimeForTesting(&runtime);
    }
    void TearDown() override { SkinSegmentation::useRuntimeForTesting(nullptr); }
};

Imaging::Bitmap grey(int w, int h, std::uint8_t v = 128) {
    Imaging::Bitmap b(w, h, 3);
    std::fill(b.pixels.begin(), b.pixels.end(), v);
    return b;
}

Vision::FaceObservation face(double x, double y, double w, double h) {
    Vision::FaceObservation f;
    f.boundingBox = {x, y, w, h};
    f.confidence = 0.95f;
    return f;
}

}  // namespace

TEST(SkinModelRuntime, AsBuiltCreateFailsWithItsMessageTruncatedToTheBuffer) {
    char error[512];
    std::memset(error, 'x', sizeof error);
    EXPECT_EQ(MWSkinCreate("/nowhere/selfie_multiclass.tflite", error, sizeof error), nullptr);
    EXPECT_STREQ(error, notBuiltIn);
    char small[8];
    EXPECT_EQ(MWSkinCreate("model", small, sizeof small), nullptr);
    EXPECT_STREQ(small, "Skin mo");
    EXPECT_EQ(MWSkinCreate("model", nullptr, 0), nullptr);
    // Predict leaves the buffers alone.
    float out[4] = {1, 2, 3, 4};
    char untouched[4] = {'a', 'b', 'c', '\0'};
    EXPECT_FALSE(MWSkinPredict(nullptr, nullptr, 0, out, 4, untouched, 4));
    EXPECT_EQ(out[2], 3);
    EXPECT_STREQ(untouched, "abc");
    MWSkinDestroy(nullptr);
}

TEST(SkinModelRuntime, GelatinExportsTheInterface) {
    const auto result = TestSupport::run("/usr/bin/nm", {"-D", "--defined-only", TestSupport::gelatin().string()});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* symbol : {"MWSkinCreate", "MWSkinPredict", "MWSkinDestroy"})
        EXPECT_NE(result.out.find(std::string(" T ") + symbol + "\n"), std::string::npos) << symbol;
}

TEST(SkinModelRuntime, AsBuiltEveryPredictionFailsAndTriesToCreateAgain) {
    SkinSegmentation::useRuntimeForTesting(nullptr);
    for (int i = 0; i < 2; ++i) {
        try {
            SkinSegmentation::predict(grey(300, 300));
            ADD_FAILURE() << "a prediction without a model runtime";
        } catch (const SkinSegmentation::Failure& e) {
            EXPECT_STREQ(e.what(), notBuiltIn);
        }
    }
    const Imaging::Image photo = Imaging::fromBitmap(grey(400, 400));
    EXPECT_FALSE(FaceSkinModel::mask(photo, {face(0.3, 0.3, 0.4, 0.4)}));
}

TEST_F(SkinModel, ModelPathFollowsTheAssetsVariable) {
    ::setenv(SkinSegmentation::assetsVariable, "/opt/skin", 1);
    EXPECT_EQ(SkinSegmentation::modelPath(), std::filesystem::path("/opt/skin/selfie_multiclass.tflite"));
    ::unsetenv(SkinSegmentation::assetsVariable);
    const auto path = SkinSegmentation::modelPath();
    EXPECT_EQ(path.filename(), "selfie_multiclass.tflite");
    EXPECT_EQ(path.parent_path().filename(), "skin-assets");
}

TEST_F(SkinModel, PredictGivesSoftmaxProbabilitiesAndKeepsItsSession) {
    const auto p = SkinSegmentation::predict(grey(500, 300));
    ASSERT_EQ(p.size(), 256u * 256u * 6u);
    const double e = std::exp(4.0), skin = e / (e + 5);
    EXPECT_NEAR(p[3], skin, 1e-6);          // left half
    EXPECT_NEAR(p[0], 1 / (e + 5), 1e-6);
    EXPECT_NEAR(p[200 * 6 + 3], 1.0 / 6, 1e-6);  // right half: all logits equal
    for (std::size_t px = 0; px < p.size(); px += 6 * 997) {
        double sum = 0;
        for (int c = 0; c < 6; ++c) sum += p[px + c];
        EXPECT_NEAR(sum, 1.0, 1e-5);
    }
    SkinSegmentation::predict(grey(64, 64));
    EXPECT_EQ(script.creates, 1);
    EXPECT_EQ(script.predicts, 2);
    EXPECT_EQ(std::filesystem::path(script.path).filename(), "selfie_multiclass.tflite");
}

TEST_F(SkinModel, FailuresCarryTheRuntimesMessage) {
    struct Case {
        const char* name;
        bool createFails, predictFails;
        float poison;
        const char* message;
    };
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    for (const Case& c : {Case{"create", true, false, 0, "no model here"},
                          Case{"predict", false, true, 0, "the interpreter gave up"},
                          Case{"infinity", false, false, inf, "Skin model returned invalid logits"},
                          Case{"minus infinity", false, false, -inf, "Skin model returned invalid logits"},
                          Case{"nan", false, false, nan, "Skin model returned invalid logits"}}) {
        SCOPED_TRACE(c.name);
        script.createFails = c.createFails;
        script.predictFails = c.predictFails;
        script.poison = c.poison;
        try {
            SkinSegmentation::predict(grey(100, 100));
            ADD_FAILURE() << "no failure";
        } catch (const SkinSegmentation::Failure& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        const Imaging::Image photo = Imaging::fromBitmap(grey(400, 400));
        EXPECT_FALSE(FaceSkinModel::mask(photo, {face(0.3, 0.3, 0.4, 0.4)}));
    }
    // A creation that failed is tried again on the next call.
    SetUp();
    script.createFails = true;
    EXPECT_THROW(SkinSegmentation::predict(grey(10, 10)), SkinSegmentation::Failure);
    EXPECT_THROW(SkinSegmentation::predict(grey(10, 10)), SkinSegmentation::Failure);
    EXPECT_EQ(script.creates, 2);
    EXPECT_THROW(SkinSegmentation::predict(Imaging::Bitmap()), SkinSegmentation::Failure);
}

TEST_F(SkinModel, MaskPlacesEachFacesSkinInItsCrop) {
    const int W = 800, H = 600;
    const Imaging::Image photo = Imaging::fromBitmap(grey(W, H));
    // A face box 100 x 100 px centred at (400, 300) in picture coordinates.
    const auto f = face(350.0 / W, 250.0 / H, 100.0 / W, 100.0 / H);
    const Imaging::Rect crop = FaceSkinModel::cropFor(f.boundingBox, W, H);
    EXPECT_EQ(crop, (Imaging::Rect{295, 207, 210, 210}));
    const auto mask = FaceSkinModel::mask(photo, {f});
    ASSERT_TRUE(mask);
    ASSERT_EQ(mask->rows, H);
    ASSERT_EQ(mask->cols, W);
    const double skin = std::exp(4.0) / (std::exp(4.0) + 5);
    const int row = H - 1 - 312;  // a stored row inside the crop
    EXPECT_NEAR(mask->at<float>(row, 330), skin, 0.01);  // left half of the crop
    EXPECT_NEAR(mask->at<float>(row, 480), 1.0 / 6, 0.01);  // right half
    EXPECT_EQ(mask->at<float>(row, 100), 0.0f);  // outside every crop
    EXPECT_EQ(mask->at<float>(10, 400), 0.0f);
    // A second face: the maximum of both.
    const auto g = face(100.0 / W, 100.0 / H, 60.0 / W, 60.0 / H);
    const auto both = FaceSkinModel::mask(photo, {f, g});
    ASSERT_TRUE(both);
    EXPECT_NEAR(both->at<float>(row, 330), skin, 0.01);
    EXPECT_GT(both->at<float>(H - 1 - 140, 110), 0.5f);
    EXPECT_EQ(script.predicts, 3);
}

TEST_F(SkinModel, MaskIsNothingWithoutFacesOrWithACropBelow32Pixels) {
    const Imaging::Image photo = Imaging::fromBitmap(grey(400, 300));
    EXPECT_FALSE(FaceSkinModel::mask(photo, {}));
    // A face at the left edge whose crop is clipped to 20 pixels wide spoils the whole call.
    const auto wide = face(0.4, 0.4, 0.2, 0.2);
    const auto edge = face(-0.06, 0.4, 0.08, 0.1);
    EXPECT_LT(FaceSkinModel::cropFor(edge.boundingBox, 400, 300).width, 32);
    EXPECT_FALSE(FaceSkinModel::mask(photo, {wide, edge}));
    // A tiny face.
    EXPECT_FALSE(FaceSkinModel::mask(photo, {face(0.5, 0.5, 0.02, 0.02)}));
    EXPECT_TRUE(FaceSkinModel::mask(photo, {wide}));
}
