// Whole saves as the Studio runs them — lacquer for every step, gelatin for the
// render into the working directory — checked for what the final file keeps:
// every tag that exiftool reads, the delivered file's permissions, large
// printer profiles and text that is not UTF-8.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <lcms2.h>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <set>

#include "finish/delivery_jpeg.h"
#include "finish_support.h"
#include "jpegprofile/jpegprofile.h"

extern char** environ;

namespace {

using namespace FinishTest;
namespace fs = std::filesystem;

// Runs `gelatin serve` for one develop request that writes "render.jpg" into
// `work`, handed over as descriptor 3.
void renderInto(const fs::path& work, const fs::path& source, std::int64_t longEdge) {
    const int dir = ::open(work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    int in[2], out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, dir, 3);
    const std::string program = TestSupport::gelatin().string();
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("serve"), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(dir);
    ASSERT_EQ(rc, 0);
    const json request = {{"id", 1},        {"src", source.string()}, {"develop", true},
                          {"out", "render.jpg"}, {"look", json::object()}, {"max", longEdge},
                          {"preserveJPEGProfile", true}, {"deliveryOutputFD", 3}};
    const std::string line = request.dump() + "\n";
    ASSERT_EQ(::write(in[1], line.data(), line.size()), ssize_t(line.size()));
    ::close(in[1]);
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) reply.append(buffer, std::size_t(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_EQ(json::parse(reply)["ok"], true) << reply;
}

json succeeded(const json& request, const std::vector<std::string>& more = {}) {
    const Reply r = runLacquer(request, more);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.last()["ok"], true) << r.out;
    return r.last();
}

// A whole save of the delivered file `name` in `folder`; returns the render
// that gelatin wrote.
Bytes save(const fs::path& folder, const std::string& name) {
    const json inspected = succeeded(request("inspect", folder, name));
    const json folderIdentity = inspected["folderIdentity"];
    const json source = inspected["snapshot"];
    const std::string work = workName(), temporary = temporaryName();
    const json workIdentity =
        succeeded(request("work-create", folder, "render.jpg", {{"folderIdentity", folderIdentity}, {"work", work}}))
            ["identity"];
    const std::int64_t longEdge =
        std::max(inspected["jpeg"]["width"].get<std::int64_t>(), inspected["jpeg"]["height"].get<std::int64_t>());
    renderInto(folder / work, folder / name, longEdge);
    if (::testing::Test::HasFatalFailure()) return {};
    const Bytes render = readBytes(folder / work / "render.jpg");
    const json workFields = {{"folderIdentity", folderIdentity}, {"work", work}, {"workIdentity", workIdentity}};
    const json rendered = succeeded(request("work-inspect", folder, "render.jpg", workFields))["snapshot"];
    json publish = workFields;
    publish["temporary"] = temporary;
    publish["output"] = rendered;
    succeeded(request("publish", folder, "render.jpg", publish));
    const json carried = succeeded(request("metadata", folder, name,
                                           {{"folderIdentity", folderIdentity}, {"temporary", temporary},
                                            {"source", source}, {"output", rendered}}))["snapshot"];
    const json committed = succeeded(request("swap", folder, name,
                                             {{"folderIdentity", folderIdentity}, {"temporary", temporary},
                                              {"source", source}, {"output", carried}}),
                                     {"commit", "cleanup"});
    EXPECT_EQ(committed["status"], "committed");
    succeeded(request("work-clean", folder, "render.jpg", workFields));
    return render;
}

// ---- Every tag exiftool reads --------------------------------------------------

std::optional<fs::path> exiftool() {
    for (const char* candidate : {"/usr/bin/exiftool", "/usr/local/bin/exiftool"})
        if (fs::exists(candidate)) return fs::path(candidate);
    return std::nullopt;
}

// "[Group] Tag: value" for every tag, duplicates included.
std::multiset<std::string> tagsOf(const fs::path& file) {
    const auto result = TestSupport::run(*exiftool(), {"-a", "-G1", "-s", "-n", file.string()});
    std::multiset<std::string> tags;
    for (const auto& line : TestSupport::lines(result.out)) {
        const std::size_t close = line.find(']');
        const std::size_t colon = line.find(": ", close);
        if (close == std::string::npos || colon == std::string::npos) continue;
        std::string tag = line.substr(close + 1, colon - close - 1);
        tag.erase(0, tag.find_first_not_of(' '));
        tag.erase(tag.find_last_not_of(' ') + 1);
        tags.insert(line.substr(0, close + 1) + " " + tag + ": " + line.substr(colon + 2));
    }
    return tags;
}

std::string groupOf(const std::string& entry) { return entry.substr(1, entry.find(']') - 1); }
std::string tagOf(const std::string& entry) {
    const std::size_t from = entry.find("] ") + 2;
    return entry.substr(from, entry.find(": ", from) - from);
}

// What a save may change: the orientation, the pixel dimensions, and what
// describes the file and its compressed image rather than its metadata (file
// system facts, the frame and its coding, values exiftool derives from them,
// where in the file the EXIF thumbnail now starts; the byte order of an EXIF
// structure made for a file that had none). When the render's scan is
// coded with other colour components than the delivered file's (a CMYK
// delivery), the segments that say how the scan is coded are the render's.
struct Allowed {
    bool hadProfile = true;
    bool recoded = false;
    bool hadExif = true;
    bool operator()(const std::string& entry) const {
        static const std::set<std::string> changing = {"Orientation", "ExifImageWidth", "ExifImageHeight",
                                                       "ThumbnailOffset"};
        static const std::set<std::string> frame = {"ImageWidth",  "ImageHeight",      "EncodingProcess",
                                                    "BitsPerSample", "ColorComponents", "YCbCrSubSampling"};
        const std::string group = groupOf(entry), tag = tagOf(entry);
        if (changing.contains(tag) || group == "System" || group == "Composite") return true;
        if (group == "File" && frame.contains(tag)) return true;
        // A delivered file without EXIF gets one for its orientation.
        if (!hadExif && group == "File" && tag == "ExifByteOrder") return true;
        if (recoded && (group == "Adobe" || group == "JFIF")) return true;
        // A delivered file without a profile gets sRGB's.
        return !hadProfile && group.starts_with("ICC");
    }
};

std::string componentsOf(const std::multiset<std::string>& tags) {
    for (const auto& entry : tags)
        if (entry.starts_with("[File] ColorComponents: ")) return entry;
    return "";
}

void expectSameTags(const fs::path& before, const fs::path& after, bool hadProfile) {
    const auto was = tagsOf(before), is = tagsOf(after);
    const bool hadExif = std::any_of(was.begin(), was.end(),
                                     [](const std::string& e) { return e.starts_with("[File] ExifByteOrder: "); });
    const Allowed allowed{hadProfile, componentsOf(was) != componentsOf(is), hadExif};
    std::vector<std::string> lost, gained;
    std::set_difference(was.begin(), was.end(), is.begin(), is.end(), std::back_inserter(lost));
    std::set_difference(is.begin(), is.end(), was.begin(), was.end(), std::back_inserter(gained));
    for (const auto& entry : lost) EXPECT_TRUE(allowed(entry)) << "lost " << entry;
    for (const auto& entry : gained) EXPECT_TRUE(allowed(entry)) << "gained " << entry;
    // The final file says it is upright.
    EXPECT_TRUE(is.contains("[IFD0] Orientation: 1"));
}

TEST(CarriedSave, FixturesKeepEveryTagButOrientationAndSize) {
    REQUIRE_FIXTURES();
    if (!exiftool()) GTEST_SKIP() << "exiftool is not installed (scripts/setup installs it)";
    std::vector<fs::path> files;
    for (const char* folder : {"jpeg_iptc", "jpeg_icc"})
        for (const auto& entry : fs::directory_iterator(TestSupport::fixture(folder))) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 20u);

    int saved = 0, carried = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        TestSupport::TempDir dir;
        const Bytes delivered = readBytes(file);
        writeBytes(dir / "photo.jpg", delivered);
        // Deliveries whose profile is not RGB are refused before anything is written.
        const Reply inspected = runLacquer(request("inspect", dir.path(), "photo.jpg"));
        if (inspected.status != 0) {
            EXPECT_EQ(inspected.last(), errorReply("Delivery JPEG needs a supported RGB colour profile"));
            continue;
        }
        const bool hadProfile = JPEGColourProfile::source(delivered).icc != JPEGColourProfile::sRGBProfile();
        if (hadProfile) {
            // The whole save: gelatin renders with the delivered profile, lacquer carries and swaps.
            const Bytes render = save(dir.path(), "photo.jpg");
            ASSERT_FALSE(HasFatalFailure());
            EXPECT_EQ(scanData(readBytes(dir / "photo.jpg")), scanData(render));
            writeBytes(dir / "delivered.jpg", delivered);
            expectSameTags(dir / "delivered.jpg", dir / "photo.jpg", true);
            ++saved;
        } else {
            // Without a profile the render carries sRGB's, whose bytes the
            // engine and the finisher must agree on (the save tests cover
            // that); here the carrying itself, onto a render of this process.
            const auto d = Finish::DeliveryJPEG::inspect(delivered);
            const Bytes render =
                makeJPEG(int(d.width), int(d.height), 4, {}, JPEGColourProfile::sRGBProfile());
            writeBytes(dir / "final.jpg", Finish::DeliveryJPEG::carryingMetadata(delivered, render));
            expectSameTags(dir / "photo.jpg", dir / "final.jpg", false);
            ++carried;
        }
    }
    EXPECT_GE(saved, 9);
    EXPECT_GE(carried, 7);
}

// ---- Permissions -----------------------------------------------------------------

TEST(CarriedSave, TheDeliveredFileKeepsItsPermissions) {
    for (const mode_t mode : {mode_t(0644), mode_t(0640), mode_t(0600)}) {
        SCOPED_TRACE(mode);
        TestSupport::TempDir dir;
        PictureMetadata metadata;
        metadata.orientation = 6;
        writeBytes(dir / "photo.jpg", makeJPEG(40, 24, 1, metadata, wideProfile()));
        ASSERT_EQ(::chmod((dir / "photo.jpg").c_str(), mode), 0);
        // A group of its own where this user may set one (root may set any).
        struct stat st {};
        ASSERT_EQ(::stat((dir / "photo.jpg").c_str(), &st), 0);
        gid_t group = st.st_gid;
        if (::geteuid() == 0 && ::chown((dir / "photo.jpg").c_str(), uid_t(-1), 4242) == 0) group = 4242;
        save(dir.path(), "photo.jpg");
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(::stat((dir / "photo.jpg").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(st.st_gid, group);
        EXPECT_EQ(Finish::DeliveryJPEG::inspect(readBytes(dir / "photo.jpg")).orientation, 1);
    }
}

// ---- A printer profile in 25 chunks, an artist in Latin-1 ---------------------

cmsHTRANSFORM toPCS = nullptr;
int samplePCS(const cmsUInt16Number in[], cmsUInt16Number out[], void*) {
    cmsDoTransform(toPCS, in, out, 1);
    return 1;
}

// A valid RGB printer profile of about 1.6 MB: a matrix-shaper with a 64-point
// 16-bit colour table from RGB to XYZ, so that it fills 25 chunks.
Bytes printerProfile() {
    const Bytes base = wideProfile();
    cmsHPROFILE profile = cmsOpenProfileFromMem(base.data(), cmsUInt32Number(base.size()));
    cmsHPROFILE xyz = cmsCreateXYZProfile();
    toPCS = cmsCreateTransform(profile, TYPE_RGB_16, xyz, TYPE_XYZ_16, INTENT_PERCEPTUAL, 0);
    cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 3, 3);
    cmsStage* table = cmsStageAllocCLut16bit(nullptr, 64, 3, 3, nullptr);
    cmsStageSampleCLut16bit(table, samplePCS, nullptr, 0);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsPipelineInsertStage(pipeline, cmsAT_END, table);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
    cmsMLU* description = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(description, "en", "US", "MOAB Anasazi Canvas");
    cmsWriteTag(profile, cmsSigProfileDescriptionTag, description);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsMLUfree(description);
    cmsPipelineFree(pipeline);
    cmsDeleteTransform(toPCS);
    cmsCloseProfile(xyz);
    cmsCloseProfile(profile);
    return bytes;
}

std::string rawArtistOf(const Bytes& jpeg) {
    auto image = Exiv2::ImageFactory::open(jpeg.data(), long(jpeg.size()));
    image->readMetadata();
    const auto& exif = image->exifData();
    const auto it = exif.findKey(Exiv2::ExifKey("Exif.Image.Artist"));
    if (it == exif.end()) return "";
    Bytes raw(std::size_t(it->size()));
    it->copy(raw.data(), Exiv2::littleEndian);
    return std::string(raw.begin(), raw.end());
}

TEST(CarriedSave, PrinterProfileAndLatin1Artist) {
    static const Bytes printer = printerProfile();
    ASSERT_TRUE(JPEGColourProfile::isRGBProfile(printer));
    ASSERT_EQ((printer.size() + JPEGColourProfile::maxChunkBytes - 1) / JPEGColourProfile::maxChunkBytes, 25u);
    const std::string latin1 = "Ren\xE9 M\xFCller";  // "René Müller" in ISO 8859-1
    struct Case {
        const char* what;
        Bytes icc;
        std::string artist;
    };
    const std::vector<Case> cases = {
        {"printer profile", printer, "Rene"},
        {"Latin-1 artist", wideProfile(), latin1},
        {"both", printer, latin1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestSupport::TempDir dir;
        PictureMetadata metadata;
        metadata.orientation = 6;
        metadata.artist = c.artist;
        metadata.caption = "Canvas proof";
        metadata.keywords = {"print"};
        const Bytes delivered = makeJPEG(64, 48, 3, metadata, c.icc);
        writeBytes(dir / "photo.jpg", delivered);
        save(dir.path(), "photo.jpg");
        ASSERT_FALSE(HasFatalFailure());
        const Bytes final = readBytes(dir / "photo.jpg");
        EXPECT_EQ(JPEGColourProfile::source(final).icc, c.icc);
        EXPECT_EQ(rawArtistOf(final).substr(0, c.artist.size()), c.artist);
        auto expected = Finish::DeliveryJPEG::inspect(delivered);
        expected.orientation = 1;
        EXPECT_EQ(Finish::DeliveryJPEG::inspect(final), expected);
    }
}

}  // namespace
