// Request decoding, result encoding and the output channel.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <thread>

#include "engine/protocol/output.h"
#include "engine/protocol/records.h"
#include "support/support.h"

using namespace Protocol;

namespace {

struct DecodeCase {
    const char* line;
    bool accepted;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.line; }

class RequestDecoding : public testing::TestWithParam<DecodeCase> {};

TEST_P(RequestDecoding, AcceptsOrRejectsTheWholeLine) {
    EXPECT_EQ(decodeRequest(GetParam().line).has_value(), GetParam().accepted) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RequestDecoding,
    testing::Values(
        DecodeCase{R"({"id":1,"src":"/a.dng"})", true},
        DecodeCase{R"({"id":-7,"src":"","unknown":[1,{"x":2}]})", true},
        DecodeCase{R"({"id":1,"src":"/a.dng","fp":null,"out":null,"look":null,"max":null})", true},
        DecodeCase{R"({"id":1.0,"src":"/a.dng","max":400.0})", true},
        DecodeCase{R"({"id":9223372036854775807,"src":"/a"})", true},
        DecodeCase{R"({"id":1,"src":"/a","deliveryOutputFD":2147483647})", true},
        DecodeCase{R"({"id":1,"src":"/a","deliveryOutputFD":-2147483648})", true},
        DecodeCase{R"({"id":1,"src":"/a","quality":1})", true},
        DecodeCase{R"({"id":1,"src":"/a","look":{"exposure":0.5}})", true},
        DecodeCase{R"({"id":1,"src":"/a","transform":false,"urgent":true,"faces":false})", true},
        // Missing or null required fields.
        DecodeCase{R"({"src":"/a.dng"})", false},
        DecodeCase{R"({"id":1})", false},
        DecodeCase{R"({"id":null,"src":"/a"})", false},
        DecodeCase{R"({"id":1,"src":null})", false},
        // Wrong types.
        DecodeCase{R"({"id":"1","src":"/a"})", false},
        DecodeCase{R"({"id":1.5,"src":"/a"})", false},
        DecodeCase{R"({"id":9223372036854775808,"src":"/a"})", false},
        DecodeCase{R"({"id":1,"src":7})", false},
        DecodeCase{R"({"id":1,"src":"/a","fp":1})", false},
        DecodeCase{R"({"id":1,"src":"/a","fp":"true"})", false},
        DecodeCase{R"({"id":1,"src":"/a","max":400.5})", false},
        DecodeCase{R"({"id":1,"src":"/a","quality":"0.8"})", false},
        DecodeCase{R"({"id":1,"src":"/a","gen":true})", false},
        DecodeCase{R"({"id":1,"src":"/a","out":false})", false},
        DecodeCase{R"({"id":1,"src":"/a","deliveryOutputFD":2147483648})", false},
        DecodeCase{R"({"id":1,"src":"/a","deliveryOutputFD":-2147483649})", false},
        DecodeCase{R"({"id":1,"src":"/a","look":"neutral"})", false},
        DecodeCase{R"({"id":1,"src":"/a","look":[1]})", false},
        // Not one JSON object.
        DecodeCase{"", false},
        DecodeCase{"   ", false},
        DecodeCase{"[1,2]", false},
        DecodeCase{"42", false},
        DecodeCase{R"({"id":1,"src":"/a")", false},
        DecodeCase{R"({"id":1,"src":"/a"} {"id":2,"src":"/b"})", false}));

TEST(RequestDecoding, FillsEveryFieldAndDefaults) {
    auto bare = decodeRequest(R"({"id":5,"src":"/p/a.dng"})");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->id, 5);
    EXPECT_EQ(bare->src, "/p/a.dng");
    EXPECT_FALSE(bare->out || bare->max || bare->quality || bare->gen || bare->look || bare->deliveryOutputFD);
    EXPECT_FALSE(bare->fp || bare->analysis || bare->develop || bare->interactive || bare->live ||
                 bare->skinMaskOverlay || bare->urgent || bare->preserveJPEGProfile || bare->faces);
    EXPECT_TRUE(bare->transform);

    auto full = decodeRequest(
        R"({"id":6,"src":"s","out":"o.jpg","max":1024,"quality":0.5,"fp":true,"analysis":true,"gen":-3,)"
        R"("develop":true,"look":{"exposure":1},"interactive":true,"live":true,"skinMaskOverlay":true,)"
        R"("urgent":true,"preserveJPEGProfile":true,"deliveryOutputFD":3,"transform":false,"faces":true})");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->out, "o.jpg");
    EXPECT_EQ(full->max, 1024);
    EXPECT_EQ(full->quality, 0.5);
    EXPECT_EQ(full->gen, -3);
    EXPECT_EQ(full->deliveryOutputFD, 3);
    EXPECT_TRUE(full->look);
    EXPECT_TRUE(full->fp && full->analysis && full->develop && full->interactive && full->live &&
                full->skinMaskOverlay && full->urgent && full->preserveJPEGProfile && full->faces);
    EXPECT_FALSE(full->transform);
}

TEST(ResultEncoding, WritesKeysInRecordOrderAndLeavesAbsentOnesOut) {
    Result failed;
    failed.id = 3;
    failed.file = "a.dng";
    failed.ms = 1.5;
    failed.error = "unreadable";
    EXPECT_EQ(encodeLine(toJSON(failed), InvalidText::refuse),
              "{\"id\":3,\"ok\":false,\"file\":\"a.dng\",\"ms\":1.5,\"error\":\"unreadable\"}\n");
    failed.error.reset();
    EXPECT_EQ(encodeLine(toJSON(failed), InvalidText::refuse), "{\"id\":3,\"ok\":false,\"file\":\"a.dng\",\"ms\":1.5}\n");

    Result full;
    full.id = 1;
    full.gen = 2;
    full.ok = true;
    full.file = "f";
    full.rawW = 6000;
    full.rawH = 4000;
    full.previewW = 400;
    full.previewH = 267;
    full.bytes = 1234;
    full.shotAt = "2024:01:02 03:04:05";
    full.camera = "Canon EOS R5";
    full.cameraSerial = "0123";
    full.lens = "RF50mm F1.8 STM";
    full.focalLength = 50;
    full.exposureTime = 0.004;
    full.aperture = 1.8;
    full.iso = 200;
    full.orientation = 6;
    full.out = "/o.jpg";
    full.cameraTemperature = 5200.5;
    full.cameraTint = 3.25;
    full.blemishSpots = Spots{{0.1, 0.2, 0.01}};
    full.faces = Spots{{0.1, 0.2, 0.3, 0.4, 1}};
    full.fp = "AAAA";
    full.analysis = Extraction::LocalAnalysis{};
    full.ms = 0.25;
    full.error = "e";
    std::vector<std::string> keys;
    auto encoded = toJSON(full);
    for (const auto& item : encoded.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "gen", "ok", "file", "rawW", "rawH", "previewW", "previewH", "bytes",
                                              "shotAt", "camera", "cameraSerial", "lens", "focalLength", "exposureTime",
                                              "aperture", "iso", "orientation", "out", "cameraTemperature", "cameraTint",
                                              "blemishSpots", "faces", "fp", "analysis", "ms", "error"}));
    auto line = encodeLine(toJSON(full), InvalidText::refuse);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->find("\": "), std::string::npos) << "compact output only";
    EXPECT_EQ(line->find(", "), std::string::npos) << "compact output only";
    // Doubles read back to the same value.
    auto back = nlohmann::json::parse(*line);
    EXPECT_EQ(back["exposureTime"].get<double>(), 0.004);
    EXPECT_EQ(back["blemishSpots"], nlohmann::json::parse("[[0.1,0.2,0.01]]"));
}

TEST(ResultEncoding, NonFiniteDoubleMakesTheRecordUnwritable) {
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        Result result;
        result.ms = bad;
        EXPECT_FALSE(encodeLine(toJSON(result), InvalidText::replace));
        result.ms = 1;
        result.faces = Spots{{0, 0, 1, 1, 1}, {0, bad, 1, 1, 0}};
        EXPECT_FALSE(encodeLine(toJSON(result), InvalidText::replace));
    }
}

TEST(RecordEncoding, ListLineAndScanReportCarryEveryKey) {
    EXPECT_EQ(encodeLine(toJSON(ListLine{0, "/p/a.dng", "a.dng", "a.dng"}), InvalidText::refuse),
              "{\"index\":0,\"path\":\"/p/a.dng\",\"name\":\"a.dng\",\"label\":\"a.dng\"}\n");
    Extraction::Survey survey;
    survey.photosHere = 2;
    survey.videosHere = 1;
    survey.photosNested = 3;
    survey.folders = {{"B", 3, 0}};
    EXPECT_EQ(encodeLine(toJSON(survey), InvalidText::refuse),
              "{\"photosHere\":2,\"videosHere\":1,\"photosNested\":3,\"videosNested\":0,"
              "\"folders\":[{\"name\":\"B\",\"photos\":3,\"videos\":0}],\"truncated\":false}\n");
}

TEST(RecordEncoding, InvalidTextIsRefusedOrReplaced) {
    ListLine line{0, "/p/\xff.dng", "\xff.dng", "\xff.dng"};
    EXPECT_FALSE(encodeLine(toJSON(line), InvalidText::refuse));
    Result result;
    result.camera = "Caf\xe9";
    auto encoded = encodeLine(toJSON(result), InvalidText::replace);
    ASSERT_TRUE(encoded);
    EXPECT_NE(encoded->find("Caf\xef\xbf\xbd"), std::string::npos);
}

TEST(Channel, DropsUnwritableRecordsAndNeverInterleavesLines) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        Channel channel(fds[1]);
        Result bad;
        bad.ms = std::nan("");
        EXPECT_FALSE(channel.emit(toJSON(bad), InvalidText::replace));

        // Lines longer than the pipe's atomic size, from several threads at once.
        std::string reader;
        std::thread drain([&] {
            char buffer[65536];
            for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) reader.append(buffer, size_t(n));
        });
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&, t] {
                for (int i = 0; i < 20; ++i)
                    channel.emit(toJSON(ListLine{t, std::string(20000, char('a' + t)), "n", "l"}), InvalidText::refuse);
            });
        }
        for (auto& w : writers) w.join();
        close(fds[1]);
        drain.join();
        close(fds[0]);

        auto lines = TestSupport::lines(reader);
        ASSERT_EQ(lines.size(), 80u);
        for (const auto& text : lines) {
            auto record = nlohmann::json::parse(text);
            EXPECT_EQ(record["path"].get<std::string>(), std::string(20000, char('a' + record["index"].get<int>())));
        }
    }
}

}  // namespace
