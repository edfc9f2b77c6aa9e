// Damaged photo files: truncated, with flipped bytes in the header and in the
// compressed picture data, or with zeroed blocks. Made at run time from the
// shared samples (the same bytes on every run), they go through `gelatin
// probe` and through develop requests of `gelatin serve`. Each one must end
// in one result line — a preview, "unreadable", "no embedded preview" or
// "develop failed" — with no crash, no hang and nothing on standard error.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/support.h"

namespace fs = std::filesystem;

namespace {

// Small samples of each kind the engine opens itself: JPEG, HEIC, and RAW
// containers (DNG, CR2, Sony header, CR3 boxes, JPEG XL DNG with a preview).
// Develop requests take every n-th variant of a sample: the stripped iPhone
// DNG decodes a full 12-megapixel sensor of zeros each time (about a second).
struct Sample {
    std::string path;
    std::size_t developEvery = 1;
};
const std::vector<Sample> samples = {
    {"jpeg_camera/ianare_Canon_40D.jpg"},
    {"orientation/pillow/hopper_orientation_2.jpg"},
    {"jpeg_icc/pillow_hopper_gray.jpg"},
    {"heic/exiv2_Stonehenge.heic"},
    {"heic/ianare_samplefilehub.heif"},
    {"raw/partial/imagemeta_Canon1DsMkIII_truncated.cr2"},
    {"raw/complete/photoprism_canon_eos_6d.dng"},
    {"raw/complete/exifpy_nikon_z9_jxl_cropped.dng"},
    {"raw/partial/exiv2_IMG_1361.dng", 6},
    {"raw/partial/exifpy_SonyA7III_header.arw"},
    {"raw/partial/nomexif_CanonR6_truncated.cr3"},
};

// Seconds one batch of variants (one sample's) may take, and one variant alone.
constexpr int batchLimit = 40;
constexpr int fileLimit = 10;

struct Variant {
    std::string name;   // file name, keeping the sample's extension
    std::string bytes;
};

// Where the compressed picture data begins: after a JPEG's first start-of-scan
// marker, inside a HEIF file's media data box, otherwise the second half.
std::size_t dataStart(const std::string& bytes) {
    std::size_t at = bytes.find("\xFF\xDA");
    if (at == std::string::npos) at = bytes.find("mdat");
    if (at == std::string::npos || at + 64 >= bytes.size()) at = bytes.size() / 2;
    return at + 16;
}

std::vector<Variant> variants(const std::string& stem, const std::string& extension, const std::string& original,
                              std::mt19937& random) {
    std::vector<Variant> out;
    const std::size_t size = original.size();
    const std::size_t data = std::min(dataStart(original), size - 1);
    const std::size_t header = std::min<std::size_t>(size, 1024);
    auto add = [&](const std::string& kind, std::size_t n, std::string bytes) {
        out.push_back({stem + "-" + kind + "-" + std::to_string(n) + extension, std::move(bytes)});
    };
    auto below = [&](std::size_t limit) { return std::size_t(random() % std::max<std::size_t>(limit, 1)); };

    std::set<std::size_t> cuts = {1, 4, 12, 64, 300, data, data + 16};
    for (double fraction : {0.1, 0.25, 0.4, 0.5, 0.6, 0.75, 0.9, 0.99}) cuts.insert(std::size_t(double(size) * fraction));
    for (std::size_t cut : cuts)
        if (cut < size) add("cut", cut, original.substr(0, cut));

    for (int n = 0; n < 6; ++n) {
        std::string bytes = original;
        for (int flips = 1 + int(below(4)); flips > 0; --flips) bytes[below(header)] ^= char(1 + below(255));
        add("header", std::size_t(n), std::move(bytes));
    }
    for (int n = 0; n < 5; ++n) {
        std::string bytes = original;
        for (int flips = 0; flips < 8; ++flips) bytes[data + below(size - data)] ^= char(1 + below(255));
        add("data", std::size_t(n), std::move(bytes));
    }
    for (int n = 0; n < 4; ++n) {
        std::string bytes = original;
        const std::size_t at = n == 0 ? below(header) : below(size);
        std::fill(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(std::min(size, at + 512)), '\0');
        add("zero", std::size_t(n), std::move(bytes));
    }
    return out;
}

struct Corpus {
    fs::path folder;
    std::vector<std::string> names;
    std::size_t developEvery = 1;
};

// One folder per sample holding its damaged variants.
std::vector<Corpus> makeCorpus(const fs::path& root) {
    std::mt19937 random(27);
    std::vector<Corpus> corpus;
    for (const auto& entry : samples) {
        const fs::path sample = TestSupport::fixture(entry.path);
        const std::string original = TestSupport::readFile(sample);
        if (original.empty()) ADD_FAILURE() << "cannot read " << sample;
        if (original.size() < 2048) continue;
        Corpus batch{root / sample.stem(), {}, entry.developEvery};
        fs::create_directories(batch.folder);
        // Folder listings take ".heic" but not ".heif"; the content decides anyway.
        const std::string extension = sample.extension() == ".heif" ? ".heic" : sample.extension().string();
        for (auto& variant : variants(sample.stem().string(), extension, original, random)) {
            TestSupport::writeFile(batch.folder / variant.name, variant.bytes);
            batch.names.push_back(variant.name);
        }
        corpus.push_back(std::move(batch));
    }
    return corpus;
}

// Runs gelatin under a time limit; status 124 means the limit was reached.
TestSupport::ProcessResult gelatin(int seconds, const std::vector<std::string>& args, const std::string& input = {}) {
    std::vector<std::string> all = {"-k", "5", std::to_string(seconds), TestSupport::gelatin().string()};
    all.insert(all.end(), args.begin(), args.end());
    return TestSupport::run("/usr/bin/timeout", all, input);
}

const std::set<std::string> failures = {"unreadable", "no embedded preview", "develop failed"};

// The result lines of a run by file name; every line that is not a proper
// result is reported as a failure.
std::map<std::string, nlohmann::json> results(const std::string& out, const std::string& context) {
    std::map<std::string, nlohmann::json> byFile;
    for (const auto& line : TestSupport::lines(out)) {
        const auto record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_object() || !record.contains("file") || !record["file"].is_string()) {
            ADD_FAILURE() << context << ": not a result line: " << line;
            continue;
        }
        const bool ok = record.value("ok", false);
        if (ok ? !record.contains("previewW") : !failures.count(record.value("error", std::string())))
            ADD_FAILURE() << context << ": unexpected result " << line;
        byFile[record["file"].get<std::string>()] = record;
    }
    return byFile;
}

// Standard error apart from probe's one summary line.
std::string strayErrors(const std::string& err, bool probe) {
    std::string stray;
    for (const auto& line : TestSupport::lines(err))
        if (!(probe && line.rfind("{\"summary\":true,", 0) == 0)) stray += line + "\n";
    return stray;
}

using Runner = std::function<TestSupport::ProcessResult(const Corpus&, const std::vector<std::string>&, int)>;

// Runs each sample's variants as one batch; when a batch crashes, hangs or
// leaves a file unanswered, the files run again one by one to name the culprit.
void check(const std::vector<Corpus>& corpus, bool probe, const Runner& runner) {
    std::size_t files = 0;
    for (const auto& batch : corpus) {
        files += batch.names.size();
        auto result = runner(batch, batch.names, batchLimit);
        EXPECT_EQ(strayErrors(result.err, probe), "") << batch.folder.filename();
        auto answered = results(result.out, batch.folder.filename().string());
        std::vector<std::string> missing;
        for (const auto& name : batch.names)
            if (!answered.count(name)) missing.push_back(name);
        if (result.status == 0 && missing.empty()) continue;
        ADD_FAILURE() << batch.folder.filename() << ": exit status " << result.status << ", " << missing.size()
                      << " files unanswered";
        // A crash after the last answer names no file: every file runs alone.
        for (const auto& name : missing.empty() ? batch.names : missing) {
            auto alone = runner(batch, {name}, fileLimit);
            if (alone.status == 124)
                ADD_FAILURE() << name << ": no answer within " << fileLimit << " s";
            else if (alone.status != 0 || results(alone.out, name).size() != 1)
                ADD_FAILURE() << name << ": exit status " << alone.status << "\n" << alone.err;
        }
    }
    EXPECT_GT(files, probe ? 250u : 200u);
}

}  // namespace

TEST(CorruptFiles, ProbeAnswersEveryDamagedFile) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    const auto corpus = makeCorpus(dir.path());
    check(corpus, true, [](const Corpus& batch, const std::vector<std::string>& names, int seconds) {
        // A whole folder in one run; one file by its path.
        const fs::path target = names.size() == batch.names.size() ? batch.folder : batch.folder / names.front();
        return gelatin(seconds, {"probe", target.string(), "--max", "96"});
    });
}

TEST(CorruptFiles, DevelopAnswersEveryDamagedFile) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    const auto corpus = makeCorpus(dir / "in");
    fs::create_directories(dir / "out");
    const std::string look = R"({"exposure":0.3,"contrast":20,"clarity":30,"sharpenAmount":40})";
    auto sparse = corpus;
    for (auto& batch : sparse) {
        std::vector<std::string> kept;
        for (std::size_t i = batch.developEvery - 1; i < batch.names.size(); i += batch.developEvery)
            kept.push_back(batch.names[i]);
        batch.names = kept;
    }
    check(sparse, false, [&](const Corpus& batch, const std::vector<std::string>& names, int seconds) {
        std::string input;
        for (std::size_t i = 0; i < names.size(); ++i) {
            nlohmann::json request = {{"id", i},
                                      {"src", (batch.folder / names[i]).string()},
                                      {"develop", true},
                                      {"max", 96},
                                      {"out", (dir / "out" / (names[i] + ".jpg")).string()},
                                      {"look", nlohmann::json::parse(look)}};
            input += request.dump() + "\n";
        }
        return gelatin(seconds, {"serve"}, input);
    });
}

// Damaged files found by the fuzz targets, as bytes: each must still get one
// failure result from probe, and the process must end normally.
TEST(CorruptFiles, FuzzFindingsAreAnswered) {
    const auto box = [](std::uint32_t size, const char* type, std::size_t payload) {
        std::string bytes = {char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
        return bytes + std::string(type, 4) + std::string(payload, '\0');
    };
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        // No "meta" box and the media data running past the end: libheif
        // aborted the process on an assertion.
        {"no-meta-box.heic", box(24, "ftyp", 0).substr(0, 8) + "heic" + std::string(4, '\0') + "mif1heic" +
                                 box(16, "free", 8) + box(1000, "mdat", 8)},
    };
    for (const auto& c : cases) {
        TestSupport::TempDir dir;
        TestSupport::writeFile(dir / c.name, c.bytes);
        const auto result = gelatin(fileLimit, {"probe", (dir / c.name).string()});
        EXPECT_EQ(result.status, 0) << c.name << "\n" << result.err;
        EXPECT_EQ(strayErrors(result.err, true), "") << c.name;
        const auto answered = results(result.out, c.name);
        ASSERT_EQ(answered.size(), 1u) << c.name;
        EXPECT_FALSE(answered.begin()->second.value("ok", true)) << c.name;
    }
}
