// The DCP reader: hand-made files for the format's edge cases, and the real
// profiles that Debian's rawtherapee-data installs.

#include <filesystem>
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "dcp_builder.h"
#include "engine/camera/dcp.h"
#include "support/support.h"

using CameraProfile::DCP;
using CameraProfile::TableDims;
using DCPBuilder::File;
namespace Tag = CameraProfile::DCPTag;

namespace {

const std::vector<float> curve{0, 0, 0.5f, 0.6f, 1, 1};
const std::vector<float> table{0, 1, 1, 10, 0.5f, 0.9f, -5, 1.2f, 1, 0, 1, 1};  // 2 × 2 × 1 entries

// A complete little-endian or big-endian profile with every tag the reader takes.
File completeProfile(bool little) {
    File f(little);
    f.name("Camera Neutral")
        .floatsTag(Tag::toneCurve, curve)
        .longsTag(Tag::lookTableDims, {2, 2, 1})
        .floatsTag(Tag::lookTableData, table)
        .longsTag(Tag::lookTableEncoding, {1})
        .longsTag(Tag::hueSatMapDims, {2, 2, 1})
        .floatsTag(Tag::hueSatMapData2, table)
        .longsTag(Tag::hueSatMapEncoding, {0})
        .add(50721, 10, 9, std::vector<std::uint8_t>(72, 1));  // ColorMatrix1: ignored
    return f;
}

std::optional<DCP> parse(const std::vector<std::uint8_t>& bytes) { return DCP::parse(std::span(bytes)); }

struct Case {
    std::string name;
    std::function<std::vector<std::uint8_t>()> bytes;
    bool accepted;
    std::function<void(const DCP&)> check = [](const DCP&) {};
};

}  // namespace

TEST(DCPReader, EdgeCases) {
    const std::vector<Case> cases{
        {"complete little-endian file", [] { return completeProfile(true).bytes(); }, true,
         [](const DCP& d) {
             EXPECT_EQ(d.name, "Camera Neutral");
             EXPECT_EQ(d.toneCurve, std::vector<double>(curve.begin(), curve.end()));
             EXPECT_EQ(d.lookDims, (TableDims{2, 2, 1}));
             EXPECT_EQ(d.lookTable, table);
             EXPECT_EQ(d.lookEncoding, 1u);
             EXPECT_EQ(d.hueSatDims, (TableDims{2, 2, 1}));
             EXPECT_EQ(d.hueSatTable, table);
             EXPECT_EQ(d.hueSatEncoding, 0u);
         }},
        {"first byte neither I nor M reads big-endian",
         [] {
             auto b = completeProfile(false).bytes();
             b[0] = b[1] = 'X';
             return b;
         },
         true, [](const DCP& d) { EXPECT_EQ(d.lookTable, table); }},
        {"tone curve and look table only", [] {
             return File().floatsTag(Tag::toneCurve, curve).floatsTag(Tag::lookTableData, table).bytes();
         }, true, [](const DCP& d) { EXPECT_TRUE(d.hueSatTable.empty()); }},
        {"tone curve and hue/saturation map only", [] {
             return File().floatsTag(Tag::toneCurve, curve).floatsTag(Tag::hueSatMapData2, table).bytes();
         }, true},
        {"tables without a tone curve", [] {
             return File().floatsTag(Tag::lookTableData, table).floatsTag(Tag::hueSatMapData2, table).bytes();
         }, false},
        {"tone curve without tables", [] { return File().floatsTag(Tag::toneCurve, curve).bytes(); }, false},
        {"only the first illuminant's map (ignored)", [] {
             return File().floatsTag(Tag::toneCurve, curve).floatsTag(50938, table).bytes();
         }, false},
        {"dims of two integers are not taken", [] {
             return completeProfile(true).longsTag(Tag::lookTableDims, {7, 8}).bytes();
         }, true, [](const DCP& d) { EXPECT_EQ(d.lookDims, (TableDims{2, 2, 1})); }},
        {"dims of two integers alone leave zeros", [] {
             return File().floatsTag(Tag::toneCurve, curve).floatsTag(Tag::lookTableData, table)
                 .longsTag(Tag::lookTableDims, {90, 30}).bytes();
         }, true, [](const DCP& d) { EXPECT_EQ(d.lookDims, (TableDims{0, 0, 0})); }},
        {"last occurrence wins; empty encoding is 0", [] {
             return completeProfile(true).name("Camera Standard").longsTag(Tag::lookTableEncoding, {}).bytes();
         }, true, [](const DCP& d) {
             EXPECT_EQ(d.name, "Camera Standard");
             EXPECT_EQ(d.lookEncoding, 0u);
         }},
        {"non-ASCII name gives an empty name", [] {
             return completeProfile(true).name("Cam\xc3\xa9ra").bytes();
         }, true, [](const DCP& d) { EXPECT_EQ(d.name, ""); }},
        {"name of count 0", [] { return completeProfile(true).add(Tag::profileName, 2, 0, {}).bytes(); }, true,
         [](const DCP& d) { EXPECT_EQ(d.name, ""); }},
        {"name of a type without size and a count past the file", [] {
             return completeProfile(true).add(Tag::profileName, 0, 0xFFFFFF, {'A', 'B', 0, 0}).bytes();
         }, true, [](const DCP& d) { EXPECT_EQ(d.name, ""); }},
        {"directory of 20 entries cut after 19", [] {
             File f;
             f.floatsTag(Tag::toneCurve, curve).floatsTag(Tag::lookTableData, table);
             for (int i = 0; i < 17; ++i) f.longsTag(40000 + i, {1});
             auto b = f.bytes(20);  // the directory ends where the 20th entry would start
             b.resize(8 + 2 + 12 * 19);
             return b;
         }, false},
        {"table outside the file is skipped, the rest read", [] {
             File f = completeProfile(true);
             f.entries[3].forcedOffset = 1'000'000;  // the look table
             return f.bytes();
         }, true, [](const DCP& d) {
             EXPECT_TRUE(d.lookTable.empty());
             EXPECT_EQ(d.hueSatTable, table);
         }},
        {"table whose end runs past the file is skipped", [] {
             File f = completeProfile(true);
             f.entries.pop_back();  // the colour matrix, so that the map's value comes last
             auto b = f.bytes();
             b.resize(b.size() - 4);  // the last value (hue/saturation map) loses its last float
             return b;
         }, true, [](const DCP& d) {
             // The hue/saturation map came last and was cut; the look table is whole.
             EXPECT_TRUE(d.hueSatTable.empty());
             EXPECT_EQ(d.lookTable, table);
         }},
        {"narrow declared type whose 4-byte reads would leave the file", [] {
             // A SHORT look table of 3 elements (6 bytes) placed at the very end:
             // three 4-byte reads would need 12 bytes, so the tag is skipped.
             File f;
             f.floatsTag(Tag::toneCurve, curve).floatsTag(Tag::hueSatMapData2, table);
             f.add(Tag::lookTableData, 3, 3, std::vector<std::uint8_t>(6, 0x3f));
             return f.bytes();
         }, true, [](const DCP& d) { EXPECT_TRUE(d.lookTable.empty()); }},
        {"narrow inline dims are read as 4-byte integers while inside the file", [] {
             // Three BYTEs fit inline; read as three 4-byte integers they run into
             // the next entry but stay inside the file, so the tag is read.
             File f = completeProfile(true);
             f.add(Tag::hueSatMapDims, 1, 3, {5, 0, 0});
             f.floatsTag(Tag::toneCurve, curve);
             return f.bytes();
         }, true, [](const DCP& d) { EXPECT_EQ(d.hueSatDims.hue, 5u); }},
        {"wrong magic", [] {
             auto b = completeProfile(true).bytes();
             b[2] = 0x2a;
             return b;
         }, false},
        {"eight bytes only", [] {
             auto b = completeProfile(true).bytes();
             b.resize(8);
             return b;
         }, false},
        {"directory beyond the end", [] {
             auto b = completeProfile(true).bytes();
             b[4] = 0xff;
             b[5] = 0xff;
             return b;
         }, false},
        {"empty file", [] { return std::vector<std::uint8_t>{}; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto dcp = parse(c.bytes());
        ASSERT_EQ(dcp.has_value(), c.accepted);
        if (dcp) c.check(*dcp);
    }
}

TEST(DCPReader, BigEndianTwinReadsLikeLittleEndian) {
    const auto little = completeProfile(true).bytes();
    const auto big = completeProfile(false).bytes();
    ASSERT_EQ(std::string(big.begin(), big.begin() + 4), "MMCR");
    ASSERT_EQ(std::string(little.begin(), little.begin() + 4), "IIRC");
    const auto a = parse(little), b = parse(big);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->name, b->name);
    EXPECT_EQ(a->toneCurve, b->toneCurve);
    EXPECT_EQ(a->lookDims, b->lookDims);
    EXPECT_EQ(a->lookTable, b->lookTable);
    EXPECT_EQ(a->hueSatTable, b->hueSatTable);
    EXPECT_EQ(a->lookEncoding, b->lookEncoding);
}

TEST(DCPReader, ProfileNameOfFifteenBytes) {
    File f;
    f.floatsTag(Tag::toneCurve, curve).floatsTag(Tag::lookTableData, table);
    const std::string text("Camera Neutral\0", 15);
    f.add(Tag::profileName, 2, 15, std::vector<std::uint8_t>(text.begin(), text.end()));
    const auto dcp = parse(f.bytes());
    ASSERT_TRUE(dcp);
    EXPECT_EQ(dcp->name, "Camera Neutral");
}

TEST(DCPReader, MissingFileAndFolder) {
    TestSupport::TempDir dir;
    EXPECT_FALSE(DCP::parse(dir / "absent.dcp"));
    EXPECT_FALSE(DCP::parse(dir.path()));
    const auto bytes = completeProfile(true).bytes();
    TestSupport::writeFile(dir / "p.dcp", std::string(bytes.begin(), bytes.end()));
    EXPECT_TRUE(DCP::parse(dir / "p.dcp"));
}

// Every installed profile is either refused (no tone curve or no table) or
// read with tables that agree with their dimensions.
TEST(DCPReader, InstalledProfiles) {
    const std::filesystem::path folder = "/usr/share/rawtherapee/dcpprofiles";
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "rawtherapee-data is not installed";
    int accepted = 0, refused = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".dcp") continue;
        SCOPED_TRACE(entry.path().filename().string());
        const auto dcp = DCP::parse(entry.path());
        if (!dcp) {
            ++refused;
            continue;
        }
        ++accepted;
        EXPECT_FALSE(dcp->name.empty());
        ASSERT_GE(dcp->toneCurve.size(), 4u);
        EXPECT_EQ(dcp->toneCurve.size() % 2, 0u);
        EXPECT_EQ(dcp->toneCurve.front(), 0.0);
        EXPECT_EQ(dcp->toneCurve[dcp->toneCurve.size() - 2], 1.0);
        auto agrees = [](const TableDims& d, const std::vector<float>& t) {
            return t.empty() || t.size() == std::size_t(d.hue) * d.sat * d.val * 3;
        };
        EXPECT_TRUE(agrees(dcp->lookDims, dcp->lookTable));
        EXPECT_TRUE(agrees(dcp->hueSatDims, dcp->hueSatTable));
        EXPECT_FALSE(dcp->lookTable.empty() && dcp->hueSatTable.empty());
    }
    EXPECT_GT(accepted, 0);
    EXPECT_GT(refused, 0);
}
