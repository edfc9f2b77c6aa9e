// Runs the built ferry with real files and fake applications (shell scripts
// that record the arguments they were started with).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/support.h"

using namespace TestSupport;
namespace fs = std::filesystem;

namespace {

using Json = nlohmann::json;

// A fake Studio: every start leaves one record file "started-<pid>" in the
// folder, holding its arguments separated by NUL characters.
void writeFakeApplication(const fs::path& script, const fs::path& records) {
    writeFile(script,
              "#!/bin/sh\n"
              "record='" + records.string() + "'/started-$$\n"
              "printf '%s\\0' \"$@\" > \"$record.part\"\n"
              "mv \"$record.part\" \"$record\"\n");
    fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

// Waits (a few seconds at most) until `count` records are there and returns
// their argument lists, sorted.
std::multiset<std::vector<std::string>> waitForStarts(const fs::path& records, size_t count) {
    std::multiset<std::vector<std::string>> starts;
    for (int attempt = 0; attempt < 100; ++attempt) {
        starts.clear();
        for (const auto& entry : fs::directory_iterator(records)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("started-", 0) != 0 || name.ends_with(".part")) continue;
            std::vector<std::string> arguments;
            std::istringstream in(readFile(entry.path()));
            for (std::string argument; std::getline(in, argument, '\0');) arguments.push_back(argument);
            starts.insert(arguments);
        }
        if (starts.size() >= count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return starts;
}

std::string request(const std::string& application, const std::vector<std::string>& paths) {
    return Json{{"applicationPath", application}, {"paths", paths}}.dump();
}

// A folder with two readable photos, a fake application and its records folder.
struct Studio {
    TempDir dir;
    fs::path records = dir / "records";
    fs::path app = dir / "studio";
    fs::path first = dir / "first.CR3";
    fs::path second = dir / "second photo.jpg";
    Studio() {
        fs::create_directory(records);
        writeFakeApplication(app, records);
        writeFile(first, "raw");
        writeFile(second, "jpeg");
    }
};

struct FailureCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string input;     // $APP, $PHOTO and $DIR stand for the studio's paths
    std::string expected;  // the whole of standard error, or its beginning when it ends in ": "
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

std::string substituted(std::string text, const Studio& studio) {
    const std::map<std::string, std::string> names{
        {"$APP", studio.app.string()}, {"$PHOTO", studio.first.string()}, {"$DIR", studio.dir.path().string()}};
    for (const auto& [name, value] : names) {
        for (size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, name.size(), value);
    }
    return text;
}

class FerryFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(FerryFailure, WritesOneLineAndExitsWithOne) {
    const FailureCase& c = GetParam();
    Studio studio;
    fs::create_directory(studio.dir / "empty.app");
    writeFile(studio.dir / "plain", "not a program");
    writeFile(studio.dir / "nameless.desktop", "[Desktop Entry]\nName=Studio\n");

    auto result = run(ferry(), c.arguments, substituted(c.input, studio));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    if (c.expected.ends_with(": ")) {
        EXPECT_EQ(result.err.rfind(c.expected, 0), 0u) << result.err;
        EXPECT_GT(result.err.size(), c.expected.size() + 1) << result.err;
    } else {
        EXPECT_EQ(result.err, c.expected + "\n");
    }
    EXPECT_EQ(lines(result.err).size(), 1u) << result.err;
    EXPECT_EQ(result.err.back(), '\n');
}

const std::string absoluteOnly = "Lightroom requires absolute photo paths";
const std::string unreadable = "A selected original is no longer readable";
const std::string undecodable = "Could not read Lightroom photo paths: ";
const std::string notOpened = "Could not open Lightroom Import: ";

INSTANTIATE_TEST_SUITE_P(
    Ferry, FerryFailure,
    testing::Values(
        FailureCase{"EmptyInput", {}, "", undecodable},
        FailureCase{"NotJSON", {}, "{\"applicationPath\": \"$APP\",", undecodable},
        FailureCase{"TrailingText", {}, R"({"applicationPath":"$APP","paths":["$PHOTO"]} x)", undecodable},
        FailureCase{"InvalidUTF8", {}, "{\"applicationPath\":\"$APP\",\"paths\":[\"/ph\xff\xfeoto\"]}", undecodable},
        FailureCase{"NotAnObject", {}, R"(["$PHOTO"])", undecodable},
        FailureCase{"MissingPaths", {}, R"({"applicationPath":"$APP"})", undecodable},
        FailureCase{"MissingApplication", {"--validate"}, R"({"paths":["$PHOTO"]})", undecodable},
        FailureCase{"ApplicationNotText", {}, R"({"applicationPath":7,"paths":["$PHOTO"]})", undecodable},
        FailureCase{"PathsNotAList", {}, R"({"applicationPath":"$APP","paths":"$PHOTO"})", undecodable},
        FailureCase{"PathNotText", {}, R"({"applicationPath":"$APP","paths":["$PHOTO",null]})", undecodable},
        FailureCase{"NoPaths", {}, R"({"applicationPath":"$APP","paths":[]})", absoluteOnly},
        FailureCase{"RelativeApplication", {}, R"({"applicationPath":"studio","paths":["$PHOTO"]})", absoluteOnly},
        FailureCase{"SecondPathRelative", {}, R"({"applicationPath":"$APP","paths":["$PHOTO","photo.jpg"]})",
                    absoluteOnly},
        FailureCase{"EmptyPath", {}, R"({"applicationPath":"$APP","paths":[""]})", absoluteOnly},
        FailureCase{"NulInPath", {}, R"({"applicationPath":"$APP","paths":["$PHOTO\u0000.jpg"]})", absoluteOnly},
        FailureCase{"NulInApplication", {}, R"({"applicationPath":"$APP\u0000x","paths":["$PHOTO"]})",
                    absoluteOnly},
        FailureCase{"RelativePathWhenValidating", {"--validate"}, R"({"applicationPath":"$APP","paths":["a.jpg"]})",
                    absoluteOnly},
        FailureCase{"MissingPhoto", {}, R"({"applicationPath":"$APP","paths":["$DIR/gone.CR3"]})", unreadable},
        FailureCase{"SecondPhotoMissing", {}, R"({"applicationPath":"$APP","paths":["$PHOTO","$DIR/gone.CR3"]})",
                    unreadable},
        FailureCase{"MissingApplicationFile", {}, R"({"applicationPath":"$DIR/Studio","paths":["$PHOTO"]})",
                    notOpened + "No such file or directory"},
        FailureCase{"ApplicationNotExecutable", {}, R"({"applicationPath":"$DIR/plain","paths":["$PHOTO"]})",
                    notOpened + "Permission denied"},
        FailureCase{"BundleWithoutProgram", {}, R"({"applicationPath":"$DIR/empty.app","paths":["$PHOTO"]})",
                    notOpened + "Exec format error"},
        FailureCase{"DesktopEntryWithoutExec", {},
                    R"({"applicationPath":"$DIR/nameless.desktop","paths":["$PHOTO"]})",
                    notOpened + "Exec format error"},
        FailureCase{"MissingDesktopEntry", {}, R"({"applicationPath":"$DIR/gone.desktop","paths":["$PHOTO"]})",
                    notOpened + "No such file or directory"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(Ferry, UnreadablePhotoIsRefused) {
    Studio studio;
    fs::permissions(studio.second, fs::perms::none);
    const std::string input = request(studio.app.string(), {studio.first.string(), studio.second.string()});
    // Root reads every file, so as root ferry runs as nobody.
    const fs::path setpriv = "/usr/bin/setpriv";
    ProcessResult result;
    if (::geteuid() != 0) {
        result = run(ferry(), {}, input);
    } else if (fs::exists(setpriv)) {
        result = run(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", ferry().string()}, input);
    } else {
        GTEST_SKIP() << "root reads every file";
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, unreadable + "\n");
}

TEST(Ferry, ValidateEchoesThePathsWithoutOpening) {
    Studio studio;
    const std::vector<std::string> paths{"/nowhere/a.CR3", "/nowhere/b \"quoted\" ü.jpg", "/nowhere/c\\d.NEF"};
    const std::string input =
        R"({"applicationPath":"/nowhere/Studio","paths":)" + Json(paths).dump() + R"(,"extra":{"k":[1]}})";
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--validate"}, {"one", "--validate"}, {"--validate", "two", "--other"}}) {
        auto result = run(ferry(), arguments, input);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, R"(["\/nowhere\/a.CR3","\/nowhere\/b \"quoted\" ü.jpg","\/nowhere\/c\\d.NEF"])");
    }
}

// The echoed list is the platform serialiser's text byte for byte: every "/"
// written as "\/", also next to other escapes.
TEST(Ferry, ValidateWritesSlashesEscaped) {
    struct Case {
        std::vector<std::string> paths;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"/a/b.jpg"}, R"(["\/a\/b.jpg"])"},
        {{"/x\\/y.jpg", "/tab\there.jpg"}, R"(["\/x\\\/y.jpg","\/tab\there.jpg"])"},
        {{"/"}, R"(["\/"])"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const std::string input = R"({"applicationPath":"/nowhere/Studio","paths":)" + Json(c.paths).dump() + "}";
        const auto result = run(ferry(), {"--validate"}, input);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, c.out);
    }
}

struct OpenCase {
    const char* name;
    std::string entry;  // contents of a desktop entry, or "" to name the program itself; $APP is the fake program
    bool bundle;        // the application is a folder holding the program
    size_t starts;      // how many times the program is started
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class FerryOpens : public testing::TestWithParam<OpenCase> {};

TEST_P(FerryOpens, StartsTheApplicationWithThePhotos) {
    const OpenCase& c = GetParam();
    Studio studio;
    fs::path application = studio.app;
    if (c.bundle) {
        application = studio.dir / "Studio.app";
        fs::create_directory(application);
        fs::rename(studio.app, application / "studio");
        writeFile(application / "Info.txt", "not a program");
    } else if (!c.entry.empty()) {
        application = studio.dir / "studio.desktop";
        writeFile(application, substituted(c.entry, studio));
    }
    const std::vector<std::string> photos{studio.first.string(), studio.second.string()};

    auto result = run(ferry(), {"--other"}, request(application.string(), photos));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");

    std::multiset<std::vector<std::string>> expected;
    if (c.starts == 1) expected.insert(photos);
    else
        for (const auto& photo : photos) expected.insert({"--open", photo});
    EXPECT_EQ(waitForStarts(studio.records, c.starts), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ferry, FerryOpens,
    testing::Values(OpenCase{"Program", "", false, 1}, OpenCase{"Bundle", "", true, 1},
                    OpenCase{"DesktopEntryWithList", "[Desktop Entry]\nType=Application\nExec=\"$APP\" %i %F\n",
                             false, 1},
                    OpenCase{"DesktopEntryWithoutCode", "[Desktop Entry]\nExec=$APP\n", false, 1},
                    OpenCase{"DesktopEntryWithSingleFile", "[Desktop Entry]\nExec=$APP --open %f\n", false, 2}),
    [](const testing::TestParamInfo<OpenCase>& info) { return info.param.name; });

// The application runs in its own session, on /dev/null, in the root folder,
// and without the descriptors ferry was given.
TEST(Ferry, ApplicationIsDetached) {
    Studio studio;
    writeFile(studio.app,
              "#!/bin/sh\n"
              "r='" + studio.records.string() + "'/started-$$\n"
              "{ readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2 /proc/$$/cwd\n"
              "  [ -e /proc/$$/fd/47 ] && echo leaked || echo closed\n"
              "  cut -d' ' -f6 /proc/$$/stat; } | tr '\\n' '\\0' > \"$r.part\"\n"
              "mv \"$r.part\" \"$r\"\n");

    int marker = ::open(studio.first.c_str(), O_RDONLY);  // inherited by ferry, not close-on-exec
    ASSERT_GE(marker, 0);
    ASSERT_EQ(::dup2(marker, 47), 47);
    ::close(marker);
    auto result = run(ferry(), {}, request(studio.app.string(), {studio.first.string()}));
    ::close(47);

    EXPECT_EQ(result.status, 0) << result.err;
    auto starts = waitForStarts(studio.records, 1);
    ASSERT_EQ(starts.size(), 1u);
    const auto& facts = *starts.begin();
    ASSERT_EQ(facts.size(), 6u);
    EXPECT_EQ(facts[0], "/dev/null");
    EXPECT_EQ(facts[1], "/dev/null");
    EXPECT_EQ(facts[2], "/dev/null");
    EXPECT_EQ(facts[3], "/");
    EXPECT_EQ(facts[4], "closed");
    EXPECT_NE(facts[5], std::to_string(::getsid(0)));
}

// A desktop entry that only becomes readable after a while (a FIFO written
// a second later) stands for an application that is slow to open.
TEST(Ferry, SlowOpenStillSucceedsSilently) {
    Studio studio;
    fs::path entry = studio.dir / "slow.desktop";
    ASSERT_EQ(::mkfifo(entry.c_str(), 0600), 0);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        int fd = ::open(entry.c_str(), O_WRONLY);
        if (fd < 0) return;
        std::string text = "[Desktop Entry]\nExec=" + studio.app.string() + " %F\n";
        (void)!::write(fd, text.data(), text.size());
        ::close(fd);
    });
    auto started = std::chrono::steady_clock::now();
    auto result = run(ferry(), {}, request(entry.string(), {studio.first.string()}));
    auto took = std::chrono::steady_clock::now() - started;
    writer.join();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_GE(took, std::chrono::milliseconds(1000));
    EXPECT_EQ(waitForStarts(studio.records, 1), (std::multiset<std::vector<std::string>>{{studio.first.string()}}));
}

}  // namespace
