// Whole saves as the Studio runs them — lacquer for every step, gelatin for the
// render into the working directory — checked for what the final file keeps.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>

#include <filesystem>

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

}  // namespace
