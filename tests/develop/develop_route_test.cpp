// The develop route end to end: `gelatin serve` rendering camera files.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "develop/sample_raw.h"
#include "engine/develop/render.h"
#include "jpegprofile/jpegprofile.h"
#include "support/support.h"

namespace fs = std::filesystem;

TEST(DevelopRoute, ServeRendersARawFileWithALook) {
    REQUIRE_SAMPLE_DNG(dng, "jpeg_camera/ianare_DSCN0010.jpg", 0.25);  // 160 × 120
    TestSupport::TempDir dir;
    const fs::path out = dir / "renders" / "a.jpg";
    const nlohmann::json request{{"id", 7},
                                 {"src", dng->string()},
                                 {"out", out.string()},
                                 {"develop", true},
                                 {"max", 100},
                                 {"look", {{"exposure", 0.5}, {"crop", {{"left", 0}, {"top", 0}, {"right", 0.5}, {"bottom", 1}}}}}};
    const nlohmann::json missing{{"id", 8}, {"src", (dir / "gone.dng").string()}, {"out", (dir / "b.jpg").string()}, {"develop", true}};
    const auto result = TestSupport::run(TestSupport::gelatin(), {"serve"}, request.dump() + "\n" + missing.dump() + "\n");
    ASSERT_EQ(result.status, 0) << result.err;
    std::map<int, nlohmann::json> replies;
    for (const auto& line : TestSupport::lines(result.out)) {
        const auto reply = nlohmann::json::parse(line);
        replies[reply.at("id").get<int>()] = reply;
    }
    ASSERT_EQ(replies.size(), 2u) << result.out;
    const auto& rendered = replies[7];
    EXPECT_EQ(rendered.value("camera", ""), "Nikon Test D7100") << rendered;
    EXPECT_TRUE(rendered.value("ok", false)) << rendered;
    EXPECT_EQ(rendered.value("previewW", 0), 50);
    EXPECT_EQ(rendered.value("previewH", 0), 75);
    EXPECT_EQ(rendered.value("bytes", 0LL), static_cast<long long>(fs::file_size(out)));
    EXPECT_NEAR(rendered.value("cameraTemperature", 0.0), 6500, 100);
    EXPECT_TRUE(rendered.contains("cameraTint"));
    EXPECT_FALSE(fs::exists(out.string() + ".part"));
    EXPECT_FALSE(replies[8].value("ok", true));
    EXPECT_FALSE(fs::exists(dir / "b.jpg"));
}
