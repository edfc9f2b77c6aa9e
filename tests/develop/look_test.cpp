#include "engine/develop/look.h"

#include <cmath>
#include <limits>
#include <string>
#include <unordered_set>

#include <gtest/gtest.h>

using Develop::Look;
using nlohmann::json;

namespace {

Look decoded(const std::string& text) {
    auto look = Develop::decodeLook(json::parse(text));
    EXPECT_TRUE(look) << text;
    return look.value_or(Look::neutral());
}

// --- decoding --------------------------------------------------------------

struct DecodeCase {
    const char* name;
    const char* json;
    bool accepted;
};

class LookDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(LookDecode, AcceptsOrRejectsAsAWhole) {
    const auto& c = GetParam();
    EXPECT_EQ(Develop::decodeLook(json::parse(c.json)).has_value(), c.accepted) << c.json;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LookDecode,
    ::testing::Values(
        DecodeCase{"empty", R"({})", true},
        DecodeCase{"nullsAreAbsent", R"({"exposure":null,"curve":null,"skinFaces":null,"crop":null})", true},
        DecodeCase{"integersAndFractions", R"({"contrast":12,"exposure":-1.5,"temperature":18446744073709551615})",
                   true},
        DecodeCase{"unknownKeysIgnored", R"({"contrast":1,"sparkle":"yes","nested":{"a":[1]}})", true},
        DecodeCase{"outOfRangeKept", R"({"contrast":400,"grainAmount":-3})", true},
        DecodeCase{"faceWithAt", R"({"skinFaces":[{"at":[0.5,0.4],"skinTone":10,"eyeWhites":null}]})", true},
        DecodeCase{"faceAtAnyLength", R"({"skinFaces":[{"at":[]},{"at":[1,2,3]}]})", true},
        DecodeCase{"faceWithoutAt", R"({"skinFaces":[{"skinSmooth":30}]})", false},
        DecodeCase{"faceAtNull", R"({"skinFaces":[{"at":null}]})", false},
        DecodeCase{"faceNotAnObject", R"({"skinFaces":[null]})", false},
        DecodeCase{"faceValueText", R"({"skinFaces":[{"at":[0.5,0.5],"skinSmooth":"30"}]})", false},
        DecodeCase{"cropAllEdges", R"({"crop":{"left":0,"top":0.1,"right":1,"bottom":0.9}})", true},
        DecodeCase{"cropWithoutBottom", R"({"crop":{"left":0,"top":0.1,"right":1}})", false},
        DecodeCase{"cropAngleText", R"({"crop":{"left":0,"top":0,"right":1,"bottom":1,"angle":"2"}})", false},
        DecodeCase{"contrastAsText", R"({"contrast":"12"})", false},
        DecodeCase{"contrastAsBoolean", R"({"contrast":true})", false},
        DecodeCase{"profileAsNumber", R"({"profile":3})", false},
        DecodeCase{"profileText", R"({"profile":"Camera Neutral"})", true},
        DecodeCase{"strokeComplete", R"({"removeAreas":[{"tool":"heal","r":0.02,"pts":[[0.1,0.2]],"fill":"x"}]})",
                   true},
        DecodeCase{"strokeWithoutTool", R"({"removeAreas":[{"r":0.02,"pts":[[0.1,0.2]]}]})", false},
        DecodeCase{"strokeWithoutRadius", R"({"removeAreas":[{"tool":"heal","pts":[[0.1,0.2]]}]})", false},
        DecodeCase{"strokeWithoutPoints", R"({"removeAreas":[{"tool":"heal","r":0.02}]})", false},
        DecodeCase{"strokePointNotAList", R"({"removeAreas":[{"tool":"heal","r":0.02,"pts":[0.1]}]})", false},
        DecodeCase{"strokePointHoldsNull", R"({"removeAreas":[{"tool":"heal","r":0.02,"pts":[[0.1,null]]}]})",
                   false},
        DecodeCase{"strokeToolNumber", R"({"removeAreas":[{"tool":1,"r":0.02,"pts":[]}]})", false},
        DecodeCase{"strokesNotAList", R"({"removeAreas":{"tool":"heal"}})", false},
        DecodeCase{"spotAddPoints", R"({"skinSpotAdd":[[0.1,0.2,0.01]],"skinBlemishKeep":[]})", true},
        DecodeCase{"spotAddFlat", R"({"skinSpotAdd":[0.1,0.2]})", false},
        DecodeCase{"curveLists", R"({"curve":{"master":[[0,0],[1,1]],"red":null,"blue":[[0.5]]}})", true},
        DecodeCase{"curvePointText", R"({"curve":{"green":[["0",0]]}})", false},
        DecodeCase{"curveNotAnObject", R"({"curve":[[0,0],[1,1]]})", false},
        DecodeCase{"colorMixBands", R"({"colorMix":{"red":{"hue":-100},"aqua":{},"blue":null}})", true},
        DecodeCase{"colorMixBandNumber", R"({"colorMix":{"red":5}})", false},
        DecodeCase{"colorMixSliderText", R"({"colorMix":{"green":{"luminance":"up"}}})", false},
        DecodeCase{"grayMix", R"({"grayscale":1,"grayMix":{"blue":-100,"red":null}})", true},
        DecodeCase{"grayMixBandObject", R"({"grayMix":{"blue":{"v":1}}})", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LookDecodeTopLevel, RejectsEverythingButAnObject) {
    for (const char* text : {"null", "[]", "12", "\"look\"", "true"})
        EXPECT_FALSE(Develop::decodeLook(json::parse(text))) << text;
}

TEST(LookDecodeTopLevel, ReadsEveryFieldOfAFullLook) {
    const auto look = decoded(R"({
        "exposure":0.5,"temperature":-200,"tint":3,"contrast":10,"highlights":-20,"shadows":30,
        "whites":5,"blacks":-5,"vibrance":15,"saturation":-10,"texture":20,"clarity":25,"dehaze":-5,
        "grainAmount":40,"grainSize":30,"grainRoughness":60,"skinTone":11,"skinUnderEye":12,
        "skinBlemishes":13,"skinBlemishKeep":[[0.1,0.2]],"skinFaces":[{"at":[0.3,0.4],"teethWhiten":7}],
        "skinSmooth":14,"skinRangeSmooth":15,"skinSpots":16,"skinSpotAdd":[[0.5,0.6,0.01]],
        "removeAreas":[{"tool":"remove","r":0.05,"pts":[[0.2,0.2],[0.3,0.3]],
                        "fill":"0123456789abcdef01234567"}],
        "skinRangeTone":17,"skinRangeUnderEye":18,"eyeWhites":19,"teethWhiten":20,"skinTexture":21,
        "skinDetailSize":22,"skinTextureSize":23,"skinConfidence":24,"skinMaskFeather":25,
        "skinFeatureProtection":26,"curveShadows":27,"curveDarks":28,"curveLights":29,"curveHighlights":30,
        "curve":{"master":[[0,0],[1,1]],"red":[[0,0.1],[1,0.9]]},
        "colorMix":{"orange":{"hue":5,"saturation":6,"luminance":7}},"grayscale":0.2,
        "grayMix":{"magenta":8},"profile":"Adobe Standard","sharpenAmount":40,"sharpenRadius":1.5,
        "sharpenDetail":30,"sharpenMasking":10,"noiseLuminance":20,"noiseColor":25,
        "crop":{"left":0.1,"top":0.2,"right":0.9,"bottom":0.8,"angle":1.5}})");

    EXPECT_EQ(look.exposure, 0.5);
    EXPECT_EQ(look.temperature, -200);
    EXPECT_EQ(look.skinFeatureProtection, 26);
    EXPECT_EQ(look.curveHighlights, 30);
    EXPECT_EQ(look.noiseColor, 25);
    EXPECT_EQ(look.profile, "Adobe Standard");
    ASSERT_TRUE(look.skinFaces);
    ASSERT_EQ(look.skinFaces->size(), 1u);
    EXPECT_EQ(look.skinFaces->front().at, (std::vector<double>{0.3, 0.4}));
    EXPECT_EQ(look.skinFaces->front().teethWhiten, 7);
    EXPECT_FALSE(look.skinFaces->front().eyeWhites);
    ASSERT_TRUE(look.removeAreas);
    EXPECT_EQ(look.removeAreas->front().tool, "remove");
    EXPECT_EQ(look.removeAreas->front().pts.size(), 2u);
    ASSERT_TRUE(look.curve && look.curve->red);
    EXPECT_EQ((*look.curve->red)[1], (std::vector<double>{1, 0.9}));
    ASSERT_TRUE(look.colorMix && look.colorMix->orange);
    EXPECT_EQ(look.colorMix->orange->luminance, 7);
    ASSERT_TRUE(look.grayMix);
    EXPECT_EQ(look.grayMix->magenta, 8);
    ASSERT_TRUE(look.crop);
    EXPECT_EQ(look.crop->bottom, 0.8);
    EXPECT_EQ(look.crop->angle, 1.5);

    // Every one of the 52 fields goes out again under its key, and comes back equal.
    const auto encoded = Develop::encodeLook(look);
    EXPECT_EQ(encoded.size(), 52u);
    EXPECT_EQ(Develop::decodeLook(encoded), look);
}

// --- encoding ---------------------------------------------------------------

TEST(LookEncode, WritesOnlyPresentFields) {
    EXPECT_EQ(Develop::decodeLook(json::object()), Look::neutral());
    EXPECT_EQ(Develop::encodeLook(Look::neutral()).dump(), "{}");

    const auto look = decoded(R"({"exposure":null,"contrast":12})");
    Look expected;
    expected.contrast = 12;
    EXPECT_EQ(look, expected);
    EXPECT_EQ(Develop::encodeLook(look), json::parse(R"({"contrast":12})"));

    const auto nested = decoded(R"({"crop":{"left":0,"top":0,"right":1,"bottom":1,"angle":null},
                                    "colorMix":{"red":{"hue":-10,"saturation":null}},
                                    "skinFaces":[{"at":[0.5,0.5],"skinSmooth":null}]})");
    ASSERT_TRUE(nested.crop);
    EXPECT_FALSE(nested.crop->angle);
    EXPECT_EQ(Develop::encodeLook(nested), json::parse(R"({"crop":{"left":0,"top":0,"right":1,"bottom":1},
                                                           "colorMix":{"red":{"hue":-10}},
                                                           "skinFaces":[{"at":[0.5,0.5]}]})"));
}

TEST(LookEncode, CacheTextIsSortedAndEqualForEqualLooks) {
    const auto a = decoded(R"({"saturation":5,"contrast":12,"crop":{"top":0,"left":0.1,"bottom":1,"right":1}})");
    const auto b = decoded(R"({"crop":{"left":0.1,"right":1,"top":0,"bottom":1},"contrast":12.0,"saturation":5})");
    EXPECT_EQ(a, b);
    EXPECT_EQ(Develop::cacheText(a), Develop::cacheText(b));
    EXPECT_EQ(Develop::cacheText(a),
              R"({"contrast":12.0,"crop":{"bottom":1.0,"left":0.1,"right":1.0,"top":0.0},"saturation":5.0})");
    EXPECT_EQ(std::hash<Look>{}(a), std::hash<Look>{}(b));

    // Negative zero equals zero, so it must give the same text and hash.
    const auto minusZero = decoded(R"({"exposure":-0.0})");
    const auto zero = decoded(R"({"exposure":0})");
    EXPECT_EQ(minusZero, zero);
    EXPECT_EQ(Develop::cacheText(minusZero), Develop::cacheText(zero));
    EXPECT_EQ(std::hash<Look>{}(minusZero), std::hash<Look>{}(zero));

    // Absent and zero are different looks with different keys.
    EXPECT_NE(zero, Look::neutral());
    EXPECT_NE(Develop::cacheText(zero), Develop::cacheText(Look::neutral()));

    std::unordered_set<Look> set{a, b, zero, minusZero, Look::neutral()};
    EXPECT_EQ(set.size(), 3u);
}

// --- derived values ---------------------------------------------------------

TEST(LookDerived, BlackAndWhiteDropsOnlyTheColourControls) {
    const auto colour = decoded(R"({"grayscale":0.49,"vibrance":10,"saturation":20,
                                    "colorMix":{"red":{"hue":5}},"grayMix":{"blue":-50}})");
    EXPECT_FALSE(colour.isBlackAndWhite());
    EXPECT_EQ(colour.asDeveloped(), colour);

    auto mono = colour;
    mono.grayscale = 0.5;
    EXPECT_TRUE(mono.isBlackAndWhite());
    const auto developed = mono.asDeveloped();
    EXPECT_FALSE(developed.vibrance);
    EXPECT_FALSE(developed.saturation);
    EXPECT_FALSE(developed.colorMix);
    EXPECT_EQ(developed.grayMix, mono.grayMix);
    EXPECT_EQ(developed.grayscale, 0.5);
    EXPECT_EQ(mono.saturation, 20);  // the original is untouched

    EXPECT_FALSE(Look::neutral().isBlackAndWhite());
}

struct WantsCase {
    const char* json;
    bool blemishes, smoothing, tone, colorRange, detail;
};

TEST(LookDerived, WantsFollowTheLookAndItsFaces) {
    const WantsCase cases[] = {
        {R"({})", false, false, false, false, false},
        {R"({"skinBlemishes":0,"skinSmooth":-5,"skinTone":0,"sharpenAmount":0})", false, false, false, false, false},
        {R"({"skinBlemishes":1})", true, false, false, false, false},
        {R"({"skinSmooth":0.5})", false, true, false, false, false},
        {R"({"skinUnderEye":3})", false, false, true, false, false},
        {R"({"skinFaces":[{"at":[0.5,0.4],"skinTone":10}]})", false, false, true, false, false},
        {R"({"skinFaces":[{"at":[0.5,0.4],"skinBlemishes":10,"skinSmooth":1}]})", true, true, false, false, false},
        {R"({"skinFaces":[{"at":[0.5,0.4],"skinUnderEye":0}]})", false, false, false, false, false},
        {R"({"skinSpots":20})", false, false, false, true, false},
        {R"({"teethWhiten":1})", false, false, false, true, false},
        {R"({"skinSpotAdd":[]})", false, false, false, false, false},
        {R"({"skinSpotAdd":[[0.5,0.5,0.01]]})", false, false, false, true, false},
        {R"({"skinFaces":[{"at":[0.5,0.4],"eyeWhites":5}]})", false, false, false, true, false},
        // A face's texture and smoothing are no colour-range work.
        {R"({"skinFaces":[{"at":[0.5,0.4],"skinTexture":50}]})", false, false, false, false, false},
        {R"({"skinTexture":50})", false, false, false, false, false},
        {R"({"noiseColor":1})", false, false, false, false, true},
        {R"({"noiseLuminance":1})", false, false, false, false, true},
        {R"({"sharpenAmount":40})", false, false, false, false, true},
        {R"({"sharpenRadius":2,"sharpenDetail":50})", false, false, false, false, false},
    };
    for (const auto& c : cases) {
        const auto look = decoded(c.json);
        EXPECT_EQ(look.wantsBlemishes(), c.blemishes) << c.json;
        EXPECT_EQ(look.wantsSmoothing(), c.smoothing) << c.json;
        EXPECT_EQ(look.wantsTone(), c.tone) << c.json;
        EXPECT_EQ(look.wantsRetouch(), c.blemishes || c.smoothing || c.tone) << c.json;
        EXPECT_EQ(look.wantsColorRange(), c.colorRange) << c.json;
        EXPECT_EQ(look.wantsDetail(), c.detail) << c.json;
    }

    Look notANumber;
    notANumber.skinSmooth = std::numeric_limits<double>::quiet_NaN();
    notANumber.sharpenAmount = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(notANumber.wantsSmoothing());
    EXPECT_FALSE(notANumber.wantsDetail());
}

TEST(LookDerived, ReducedCopies) {
    const auto look = decoded(R"({
        "sharpenAmount":40,"sharpenRadius":1.5,"sharpenDetail":30,"sharpenMasking":10,"noiseColor":5,
        "skinRangeSmooth":1,"skinSpots":2,"skinSpotAdd":[[0.1,0.1,0.01]],"skinRangeTone":3,
        "skinRangeUnderEye":4,"eyeWhites":5,"teethWhiten":6,"skinTexture":7,"skinSmooth":8,
        "skinBlemishKeep":[[0.2,0.2]],"removeAreas":[{"tool":"heal","r":0.01,"pts":[[0.5,0.5]]}],
        "skinFaces":[{"at":[0.4,0.4],"skinRangeSmooth":1,"skinRangeTone":2,"skinRangeUnderEye":3,
                      "eyeWhites":4,"teethWhiten":5,"skinTexture":6,"skinSmooth":7,"skinTone":8,
                      "skinBlemishes":9,"skinUnderEye":10}]})");

    const auto noSharpening = look.withoutSharpening();
    EXPECT_EQ(Develop::encodeLook(noSharpening).size(), Develop::encodeLook(look).size() - 4);
    EXPECT_FALSE(noSharpening.sharpenAmount || noSharpening.sharpenRadius || noSharpening.sharpenDetail ||
                 noSharpening.sharpenMasking);
    EXPECT_EQ(noSharpening.noiseColor, 5);

    const Look::FaceField eyesAndTeeth[] = {&Look::FaceSettings::eyeWhites, &Look::FaceSettings::teethWhiten};
    const auto withoutEyes = look.withoutFaceValues(eyesAndTeeth);
    EXPECT_EQ(Develop::encodeLook(withoutEyes)["skinFaces"],
              json::parse(R"([{"at":[0.4,0.4],"skinRangeSmooth":1,"skinRangeTone":2,"skinRangeUnderEye":3,
                               "skinTexture":6,"skinSmooth":7,"skinTone":8,"skinBlemishes":9,"skinUnderEye":10}])"));
    EXPECT_EQ(withoutEyes.eyeWhites, 5);  // look-wide values stay

    EXPECT_FALSE(Look::neutral().withoutFaceValues(eyesAndTeeth).skinFaces);
    auto empty = Look::neutral();
    empty.skinFaces.emplace();
    EXPECT_EQ(empty.withoutFaceValues(eyesAndTeeth), empty);

    const auto keys = Look::basicFaceKeys();
    ASSERT_EQ(keys.size(), 6u);
    EXPECT_EQ(keys[0], &Look::FaceSettings::skinRangeSmooth);
    EXPECT_EQ(keys[5], &Look::FaceSettings::skinTexture);

    const auto noSpots = look.withoutSpots();
    EXPECT_EQ(Develop::encodeLook(noSpots),
              json::parse(R"({
        "sharpenAmount":40,"sharpenRadius":1.5,"sharpenDetail":30,"sharpenMasking":10,"noiseColor":5,
        "skinSmooth":8,"skinBlemishKeep":[[0.2,0.2]],"removeAreas":[{"tool":"heal","r":0.01,"pts":[[0.5,0.5]]}],
        "skinFaces":[{"at":[0.4,0.4],"skinSmooth":7,"skinTone":8,"skinBlemishes":9,"skinUnderEye":10}]})"));
    EXPECT_FALSE(noSpots.wantsColorRange());
    EXPECT_TRUE(noSpots.wantsRetouch());
}

TEST(LookDerived, FaceSettingsPairsTheNearestEntry) {
    // A face 0.5 wide centred at (0.5, 0.5) on a picture twice as wide as high.
    const Look::FaceRect face{0.25, 0.25, 0.5, 0.5};
    const double aspect = 0.5;
    struct Case {
        const char* faces;
        std::optional<double> expectedSmooth;  // identifies the chosen entry
    };
    const Case cases[] = {
        {R"([])", std::nullopt},
        {R"([{"at":[0.5,0.5],"skinSmooth":1}])", 1},
        // Just inside, and exactly at half the face width (0.25): only strictly closer matches.
        {R"([{"at":[0.74,0.5],"skinSmooth":1}])", 1},
        {R"([{"at":[0.75,0.5],"skinSmooth":1}])", std::nullopt},
        // Vertical distance counts at half: 0.46 below is 0.23 away.
        {R"([{"at":[0.5,0.96],"skinSmooth":1}])", 1},
        {R"([{"at":[0.5,0.5,0.1],"skinSmooth":1},{"at":[0.5],"skinSmooth":2}])", std::nullopt},
        {R"([{"at":[0.55,0.5],"skinSmooth":1},{"at":[0.52,0.5],"skinSmooth":2}])", 2},
        // Equal distances on both sides: the first listed wins.
        {R"([{"at":[0.625,0.5],"skinSmooth":1},{"at":[0.375,0.5],"skinSmooth":2}])", 1},
        {R"([{"at":[0.5,0.75],"skinSmooth":1},{"at":[0.625,0.5],"skinSmooth":2}])", 1},
    };
    for (const auto& c : cases) {
        const auto look = decoded(std::string(R"({"skinFaces":)") + c.faces + "}");
        const auto chosen = look.faceSettings(face, aspect);
        ASSERT_EQ(chosen.has_value(), c.expectedSmooth.has_value()) << c.faces;
        if (chosen) {
            EXPECT_EQ(chosen->skinSmooth, c.expectedSmooth) << c.faces;
        }
    }
    EXPECT_FALSE(Look::neutral().faceSettings(face, aspect));
}

TEST(LookDerived, StrokeValidity) {
    struct Case {
        const char* stroke;
        bool valid;
    };
    const Case cases[] = {
        {R"({"tool":"heal","r":0.1,"pts":[[0,0],[1,1]]})", true},
        {R"({"tool":"anything","r":0.02,"pts":[[0.5,0.5]]})", true},
        {R"({"tool":"heal","r":0.1000001,"pts":[[0.5,0.5]]})", false},
        {R"({"tool":"heal","r":0,"pts":[[0.5,0.5]]})", false},
        {R"({"tool":"heal","r":-0.01,"pts":[[0.5,0.5]]})", false},
        {R"({"tool":"heal","r":0.05,"pts":[]})", false},
        {R"({"tool":"heal","r":0.05,"pts":[[0.5]]})", false},
        {R"({"tool":"heal","r":0.05,"pts":[[0.5,0.5,0.5]]})", false},
        {R"({"tool":"heal","r":0.05,"pts":[[0.5,1.2]]})", false},
        {R"({"tool":"heal","r":0.05,"pts":[[-0.01,0.5]]})", false},
        {R"({"tool":"remove","r":0.05,"pts":[[0.5,0.5]],"fill":"0123456789abcdef01234567"})", true},
        {R"({"tool":"remove","r":0.05,"pts":[[0.5,0.5]],"fill":"0123456789ABCDEF01234567"})", false},
        {R"({"tool":"remove","r":0.05,"pts":[[0.5,0.5]],"fill":"0123456789abcdef0123456"})", false},
        {R"({"tool":"remove","r":0.05,"pts":[[0.5,0.5]],"fill":"0123456789abcdef012345678"})", false},
        {R"({"tool":"remove","r":0.05,"pts":[[0.5,0.5]],"fill":"0123456789abcdef0123456g"})", false},
    };
    for (const auto& c : cases) {
        const auto look = decoded(std::string(R"({"removeAreas":[)") + c.stroke + "]}");
        ASSERT_TRUE(look.removeAreas);
        EXPECT_EQ(look.removeAreas->front().isValid(), c.valid) << c.stroke;
    }

    Look::RemoveArea stroke{"heal", 0.05, Look::Points(400, {0.5, 0.5}), std::nullopt};
    EXPECT_TRUE(stroke.isValid());
    stroke.pts.push_back({0.5, 0.5});
    EXPECT_FALSE(stroke.isValid());
    stroke.pts = {{0.5, std::numeric_limits<double>::infinity()}};
    EXPECT_FALSE(stroke.isValid());
    stroke.pts = {{std::nan(""), 0.5}};
    EXPECT_FALSE(stroke.isValid());
    stroke.pts = {{0.5, 0.5}};
    stroke.r = std::nan("");
    EXPECT_FALSE(stroke.isValid());
}

TEST(LookDerived, NestedRecordPredicates) {
    struct Case {
        const char* json;
        bool curveEmpty, mixEmpty;
    };
    const Case cases[] = {
        {R"({"curve":{},"colorMix":{}})", true, true},
        {R"({"curve":{"master":[[0,0]],"red":[]},"colorMix":{"red":{},"blue":{"hue":0,"saturation":0}}})", true,
         true},
        {R"({"curve":{"blue":[[0,0],[0,0]]},"colorMix":{"magenta":{"luminance":-1}}})", false, false},
        {R"({"curve":{"green":[[0,0],[1,1]]},"colorMix":{"aqua":{"hue":0,"saturation":3}}})", false, false},
    };
    for (const auto& c : cases) {
        const auto look = decoded(c.json);
        EXPECT_EQ(look.curve->isEmpty(), c.curveEmpty) << c.json;
        EXPECT_EQ(look.colorMix->isEmpty(), c.mixEmpty) << c.json;
    }

    const auto mix = decoded(R"({"grayMix":{"red":50,"green":-400,"blue":100,"magenta":-0.5}})").grayMix.value();
    EXPECT_EQ(mix.low(), (std::array<double, 4>{0.5, 0, 0, -1}));
    EXPECT_EQ(mix.high(), (std::array<double, 4>{0, 1, 0, -0.005}));

    struct FrameCase {
        const char* json;
        bool active;
    };
    const FrameCase frames[] = {
        {R"({"left":0,"top":0,"right":1,"bottom":1})", false},
        {R"({"left":0.0001,"top":0,"right":0.9999,"bottom":1,"angle":-0.001})", false},
        {R"({"left":0.00011,"top":0,"right":1,"bottom":1})", true},
        {R"({"left":0,"top":0,"right":1,"bottom":0.99989})", true},
        {R"({"left":0,"top":0,"right":1,"bottom":1,"angle":-0.0011})", true},
    };
    for (const auto& f : frames) {
        const auto look = decoded(std::string(R"({"crop":)") + f.json + "}");
        EXPECT_EQ(look.crop->isActive(), f.active) << f.json;
    }
    EXPECT_DOUBLE_EQ(Develop::tintScale, 1.65);
}

}  // namespace
