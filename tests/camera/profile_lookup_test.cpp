// Finding a camera's profile: folder layout under the user's home folder,
// names, fallbacks to the neutral profile and to the stand-in camera, and the
// process-wide cache. Uses the real DCP files of Debian's rawtherapee-data.

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "engine/camera/camera_profile.h"
#include "engine/camera/dcp.h"
#include "support/support.h"

namespace fs = std::filesystem;

namespace {

const fs::path installed = "/usr/share/rawtherapee/dcpprofiles";
const fs::path profilesFolder = "Library/Application Support/Adobe/CameraRaw/CameraProfiles/Camera";

// Points HOME at a temporary folder for the life of the object.
class TemporaryHome {
public:
    TemporaryHome() {
        if (const char* old = std::getenv("HOME")) old_ = old;
        setenv("HOME", dir_.path().c_str(), 1);
    }
    ~TemporaryHome() {
        if (old_) setenv("HOME", old_->c_str(), 1);
        else unsetenv("HOME");
    }
    // Installs an installed profile file as <camera folder>/<camera folder> <profile>.dcp.
    void install(const std::string& folder, const std::string& profile, const std::string& source) const {
        const fs::path dir = dir_.path() / profilesFolder / folder;
        fs::create_directories(dir);
        fs::copy_file(installed / source, dir / (folder + " " + profile + ".dcp"), fs::copy_options::overwrite_existing);
    }
    const fs::path& path() const { return dir_.path(); }

private:
    TestSupport::TempDir dir_;
    std::optional<std::string> old_;
};

std::string profileNameOf(const std::string& source) { return CameraProfile::DCP::parse(installed / source)->name; }

bool cached(const std::string& key) {
    const auto keys = CameraProfile::cachedKeys();
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

const std::string dash = " \u2014 ";

}  // namespace

TEST(CameraProfileLookup, SearchRootsFollowHome) {
    TemporaryHome home;
    const auto roots = CameraProfile::searchRoots();
    ASSERT_EQ(roots.size(), 2u);
    EXPECT_EQ(roots[0], fs::path("/") / profilesFolder);
    EXPECT_EQ(roots[1], home.path() / profilesFolder);
}

TEST(CameraProfileLookup, KeysAndNames) {
    using CameraProfile::cacheKey;
    EXPECT_EQ(cacheKey("NIKON D850", "Camera Portrait"), "NIKON D850|Camera Portrait");
    EXPECT_EQ(cacheKey("NIKON D850", "Vivid"), "NIKON D850|Camera Neutral");
    EXPECT_EQ(cacheKey("NIKON D850", "camera portrait"), "NIKON D850|Camera Neutral");  // exact names only
    EXPECT_EQ(cacheKey("NIKON D850", std::nullopt), "NIKON D850|Camera Neutral");
    EXPECT_EQ(cacheKey("", "Camera Portrait"), std::nullopt);
}

TEST(CameraProfileLookup, FindsProfilesAndFallsBack) {
    if (!fs::is_directory(installed)) GTEST_SKIP() << "rawtherapee-data is not installed";
    TemporaryHome home;
    unsetenv("MERROW_DCP_SKIP");
    // The stand-in camera's folder: a good portrait profile, a neutral one, and
    // a standard profile that cannot be read (it has no tone curve).
    home.install("Canon EOS R6 Mark II", "Camera Portrait", "Canon EOS 20D.dcp");
    home.install("Canon EOS R6 Mark II", "Camera Neutral", "NIKON D850.dcp");
    home.install("Canon EOS R6 Mark II", "Camera Standard", "Canon EOS 450D.dcp");
    // A camera of its own with only a neutral profile.
    home.install("NIKON Z 6_2", "Camera Neutral", "Canon EOS 100D.dcp");

    const std::string portrait = "Canon EOS R6 Mark II" + dash + profileNameOf("Canon EOS 20D.dcp");
    const std::string standInNeutral = "Canon EOS R6 Mark II" + dash + profileNameOf("NIKON D850.dcp");
    const std::string nikonNeutral = "NIKON Z 6_2" + dash + profileNameOf("Canon EOS 100D.dcp");

    struct Case {
        std::string model;
        std::optional<std::string> named;
        std::string key;
        std::string name;
    };
    const Case cases[] = {
        {"Canon EOS R6 Mark II", "Camera Portrait", "Canon EOS R6 Mark II|Camera Portrait", portrait},
        {"Canon EOS R6 Mark II", "Camera Standard", "Canon EOS R6 Mark II|Camera Standard", standInNeutral},
        {"NIKON Z 6_2", "Camera Landscape", "NIKON Z 6_2|Camera Landscape", nikonNeutral},
        {"Nikon Z 6_2", "Vivid", "Nikon Z 6_2|Camera Neutral", nikonNeutral},
        {"Leica Q3", "Camera Portrait", "Leica Q3|Camera Portrait", portrait},
    };
    std::shared_ptr<const std::vector<float>> firstPortraitCube;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model + " / " + c.named.value_or("(none)"));
        const auto p = CameraProfile::profile(c.model, c.named);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->name, c.name);
        EXPECT_EQ(p->cubeDimension, 96);
        ASSERT_TRUE(p->cube);
        EXPECT_EQ(p->cube->size(), std::size_t(96 * 96 * 96 * 4));
        EXPECT_NEAR(p->headroom, 1 / (0.222228 + 0.440415 - 0.122012), 1e-9);
        EXPECT_TRUE(cached(c.key));
        if (c.name == portrait) {
            // The same file and bridge give the same cube, shared, whatever the camera asked for.
            if (firstPortraitCube) EXPECT_EQ(p->cube, firstPortraitCube);
            else firstPortraitCube = p->cube;
        }
        // A second lookup is answered from the cache with the same shared cube.
        const auto again = CameraProfile::profile(c.model, c.named);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->cube, p->cube);
    }

    // The skip list is read for each cube built: without the matrix there is no input scale.
    setenv("MERROW_DCP_SKIP", "matrix", 1);
    const auto unscaled = CameraProfile::profile("Sony ILCE-7M4", "Camera Neutral");
    unsetenv("MERROW_DCP_SKIP");
    ASSERT_TRUE(unscaled);
    EXPECT_EQ(unscaled->name, standInNeutral);
    EXPECT_EQ(unscaled->headroom, 1);
}

TEST(CameraProfileLookup, MissesAreCachedAndEmptyModelsAreNot) {
    if (!fs::is_directory(installed)) GTEST_SKIP() << "rawtherapee-data is not installed";
    TemporaryHome home;
    const auto before = CameraProfile::cachedKeys();
    EXPECT_FALSE(CameraProfile::profile("", "Camera Portrait"));
    EXPECT_EQ(CameraProfile::cachedKeys(), before);

    // No folder for the camera and none for the stand-in: nothing, remembered.
    EXPECT_FALSE(CameraProfile::profile("PENTAX K-3 Mark III", "Camera Neutral"));
    EXPECT_TRUE(cached("PENTAX K-3 Mark III|Camera Neutral"));
    // Files installed later are not noticed for a pair already looked up.
    home.install("PENTAX K-3 Mark III", "Camera Neutral", "RICOH PENTAX K-3.dcp");
    EXPECT_FALSE(CameraProfile::profile("PENTAX K-3 Mark III", "Camera Neutral"));
    // The model written differently is another key; the folder matches by its flattened name.
    const auto found = CameraProfile::profile("Pentax K-3 MarkIII", "Camera Neutral");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->name, "PENTAX K-3 Mark III" + dash + profileNameOf("RICOH PENTAX K-3.dcp"));
}
