// The request handler's routes, called in-process.
#include <filesystem>

#include "engine/library/extraction.h"
#include "engine/portrait/faces.h"
#include "engine/protocol/handler.h"
#include "engine/protocol/records.h"
#include "support/support.h"

using namespace Protocol;
namespace fs = std::filesystem;

namespace {

Request requestFor(const fs::path& src, std::int64_t id = 1) {
    Request request;
    request.id = id;
    request.src = src.string();
    return request;
}

// Skips without the shared photos; fails when the photo library cannot open one.
#define REQUIRE_OPENS(path)                                                            \
    do {                                                                               \
        REQUIRE_FIXTURES();                                                            \
        ASSERT_TRUE(Extraction::open(path)) << "the photo library cannot open " << (path); \
    } while (0)

TEST(Handler, LastPathComponent) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/photos/IMG_1.CR3", "IMG_1.CR3"}, {"IMG_1.CR3", "IMG_1.CR3"}, {"a/b/", "b"},
        {"/photos//x.dng//", "x.dng"},      {"/", "/"},                 {"", ""},
    };
    for (const auto& [path, name] : cases) EXPECT_EQ(lastPathComponent(path), name) << path;
}

TEST(Handler, UnreadableFileFailsEveryFileRouteWithOnlyTheCommonFields) {
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir / "empty.dng", "");
    for (const fs::path& src : {dir / "missing.dng", dir / "empty.dng"}) {
        for (bool develop : {false, true}) {
            Request request = requestFor(src, 42);
            request.gen = 9;
            request.develop = develop;
            request.out = (dir / "out/x.jpg").string();
            request.fp = true;
            Result result = handle(request);
            auto json = toJSON(result);
            EXPECT_EQ(json.dump(), nlohmann::ordered_json({{"id", 42}, {"gen", 9}, {"ok", false},
                                                           {"file", src.filename().string()}, {"ms", result.ms},
                                                           {"error", "unreadable"}})
                                       .dump());
            EXPECT_GE(result.ms, 0);
        }
    }
    EXPECT_FALSE(fs::exists(dir / "out")) << "nothing is created for a file that cannot be opened";
}

TEST(Handler, FacesRouteOnlyListsFaces) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    const fs::path photo = TestSupport::fixture("faces/facerec_obama.jpg");
    Request request = requestFor(photo);
    request.faces = true;
    request.develop = true;
    request.out = (dir / "out.jpg").string();
    Result result = handle(request);

    std::optional<Spots> expected;
    std::string failure;
    try {
        expected = PortraitFaces::list(photo);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    EXPECT_EQ(result.ok, expected.has_value());
    if (expected) {
        EXPECT_EQ(result.faces, expected);
        EXPECT_FALSE(result.error);
    } else {
        EXPECT_EQ(result.error, failure);
        EXPECT_FALSE(result.faces);
    }
    EXPECT_EQ(result.file, "facerec_obama.jpg");
    EXPECT_FALSE(result.camera || result.previewW || result.out || result.bytes);
    EXPECT_FALSE(fs::exists(dir / "out.jpg"));
}

TEST(Handler, PreviewWithoutOutWritesNothing) {
    const fs::path photo = TestSupport::fixture("raw/complete/photoprism_canon_eos_6d.dng");
    REQUIRE_OPENS(photo);
    for (bool develop : {false, true}) {  // develop without out is a preview request
        Request request = requestFor(photo);
        request.develop = develop;
        Result result = handle(request);
        ASSERT_TRUE(result.ok) << result.error.value_or("");
        EXPECT_EQ(result.file, "photoprism_canon_eos_6d.dng");
        ASSERT_TRUE(result.previewW && result.previewH);
        EXPECT_EQ(std::max(*result.previewW, *result.previewH), 400);
        EXPECT_TRUE(result.camera);
        EXPECT_FALSE(result.out || result.bytes || result.fp || result.analysis || result.error);
    }
}

TEST(Handler, PreviewIsWrittenIntoANewFolder) {
    const fs::path photo = TestSupport::fixture("orientation/recurser/Landscape_1.jpg");
    REQUIRE_OPENS(photo);
    TestSupport::TempDir dir;
    const fs::path out = dir / "cache/deeper/thumb.jpg";
    Request request = requestFor(photo);
    request.out = out.string();
    request.max = 200;
    request.fp = true;
    request.analysis = true;
    Result result = handle(request);
    ASSERT_TRUE(result.ok) << result.error.value_or("");
    EXPECT_EQ(result.out, out.string());
    ASSERT_TRUE(result.bytes);
    EXPECT_EQ(*result.bytes, std::int64_t(fs::file_size(out)));
    EXPECT_FALSE(fs::exists(out.string() + ".part"));
    EXPECT_EQ(std::max(*result.previewW, *result.previewH), 200);
    // The evidence comes from the same preview; present whenever the library can compute it.
    auto preview = Extraction::preview(*Extraction::open(photo), 200, true, true);
    ASSERT_TRUE(preview);
    EXPECT_EQ(result.fp, Extraction::featurePrint(*preview));
    EXPECT_EQ(result.analysis.has_value(), Extraction::localAnalysis(*preview).has_value());
}

TEST(Handler, TransformFalseKeepsTheStoredOrientation) {
    const fs::path photo = TestSupport::fixture("orientation/recurser/Landscape_6.jpg");
    REQUIRE_OPENS(photo);
    Request upright = requestFor(photo);
    Request stored = upright;
    stored.transform = false;
    Result a = handle(upright), b = handle(stored);
    ASSERT_TRUE(a.ok && b.ok);
    EXPECT_EQ(a.previewW, b.previewH);
    EXPECT_EQ(a.previewH, b.previewW);
    EXPECT_EQ(a.orientation, 6);
    EXPECT_EQ(b.orientation, 6);
}

TEST(Handler, RawWithoutEmbeddedPreviewStillReportsMetadata) {
    // The header of a camera file, cut off before its preview.
    const fs::path photo = TestSupport::fixture("raw/partial/exifpy_SonyA7III_header.arw");
    REQUIRE_OPENS(photo);
    TestSupport::TempDir dir;
    Request request = requestFor(photo);
    request.out = (dir / "thumbs/x.jpg").string();
    Result result = handle(request);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "no embedded preview");
    EXPECT_EQ(result.camera, "SONY ILCE-7M3");
    EXPECT_EQ(result.iso, 6400);
    EXPECT_FALSE(result.previewW || result.out || result.bytes);
    EXPECT_FALSE(fs::exists(dir / "thumbs/x.jpg"));
}

}  // namespace
