// Camera profiles in whole renders: a RAW file made from a real photograph,
// developed without a profile, with a named profile and with a missing one
// (which falls back to the camera's neutral profile). The profiles are real
// DCP files from Debian's rawtherapee-data, installed under a temporary home.

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "engine/develop/look.h"
#include "engine/develop/render.h"
#include "engine/library/extraction.h"
#include "support/support.h"

namespace fs = std::filesystem;

TEST(CameraProfileRender, ProfilesChangeTheRender) {
    REQUIRE_FIXTURES();
    const fs::path installed = "/usr/share/rawtherapee/dcpprofiles";
    if (!fs::is_directory(installed)) GTEST_SKIP() << "rawtherapee-data is not installed";
    TestSupport::TempDir dir;
    const fs::path tool = *TestSupport::fixturesDir() / ".." / "tools" / "make-dng";
    const fs::path dng = dir / "photo.dng";
    const auto made = TestSupport::run("/usr/bin/python3", {tool.string(), TestSupport::fixture("jpeg_camera/ianare_DSCN0010.jpg").string(),
                                                            dng.string(), "--scale", "0.25", "--make", "Merrow",
                                                            "--model", "Profile Test Mark II"});
    if (made.status != 0) GTEST_SKIP() << "make-dng is not available";
    const auto source = Extraction::open(dng);
    const auto camera = source ? Extraction::metadata(*source).camera : std::nullopt;
    ASSERT_TRUE(camera && !camera->empty()) << "the photo library reports no camera model";

    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    auto render = [&](const fs::path& home, const std::optional<std::string>& profile, const std::string& name) {
        setenv("HOME", home.c_str(), 1);
        Develop::Look look;
        look.profile = profile;
        const fs::path out = dir / (name + ".jpg");
        const auto rendered = Develop::renderToJPEG(
            Develop::RenderRequest{.source = dng, .look = look, .dest = out, .longEdge = 256, .quality = 0.9});
        EXPECT_TRUE(rendered) << name;
        return TestSupport::readFile(out);
    };

    // No profile installed: the camera-look path.
    TestSupport::TempDir emptyHome;
    const std::string plain = render(emptyHome.path(), std::nullopt, "plain");

    // A folder for the camera, named as the capture metadata names it.
    TestSupport::TempDir home;
    const fs::path folder = home.path() / "Library/Application Support/Adobe/CameraRaw/CameraProfiles/Camera" / *camera;
    fs::create_directories(folder);
    fs::copy_file(installed / "Canon EOS 20D.dcp", folder / (*camera + " Camera Portrait.dcp"));
    fs::copy_file(installed / "NIKON D850.dcp", folder / (*camera + " Camera Neutral.dcp"));
    const std::string portrait = render(home.path(), "Camera Portrait", "portrait");
    const std::string landscape = render(home.path(), "Camera Landscape", "landscape");  // missing: the neutral one
    if (!savedHome.empty()) setenv("HOME", savedHome.c_str(), 1);

    ASSERT_FALSE(plain.empty());
    EXPECT_NE(portrait, plain);
    EXPECT_NE(landscape, plain);
    EXPECT_NE(landscape, portrait);
}
