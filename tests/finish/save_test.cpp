// Whole saves through the lacquer program: the complete transaction, saves
// killed at every step and wait, and files changed behind its back.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <functional>
#include <thread>

#include "finish/delivery_jpeg.h"
#include "finish/reply.h"
#include "finish_support.h"

namespace {

using namespace FinishTest;
namespace fs = std::filesystem;

enum class Step { inspect, workCreate, writeRender, publish, metadata, swap, workClean, done };

const char* stepName(Step step) {
    switch (step) {
        case Step::inspect: return "inspect";
        case Step::workCreate: return "workCreate";
        case Step::writeRender: return "writeRender";
        case Step::publish: return "publish";
        case Step::metadata: return "metadata";
        case Step::swap: return "swap";
        case Step::workClean: return "workClean";
        case Step::done: return "done";
    }
    return "";
}

// A delivered photo (turned by orientation 6, wide-gamut profile, caption,
// keywords, artist, copyright) and the upright render that replaces it.
struct Photos {
    Bytes delivered, render, final;
    Photos() {
        const Bytes icc = wideProfile();
        PictureMetadata metadata;
        metadata.orientation = 6;
        metadata.artist = "Ana Example";
        metadata.copyright = "(c) 2024 Ana Example";
        metadata.caption = "Harbour at dawn / first light";
        metadata.keywords = {"harbour", "dawn", "boats"};
        delivered = makeJPEG(40, 24, 1, metadata, icc);
        PictureMetadata renderMetadata;
        renderMetadata.artist = "the renderer";
        render = makeJPEG(24, 40, 2, renderMetadata, icc);
        final = Finish::DeliveryJPEG::carryingMetadata(delivered, render);
    }
};

const Photos& photos() {
    static const Photos p;
    return p;
}

// One save in a delivery folder, step by step, keeping the receipts that each
// reply hands to the next request.
class Save {
public:
    Save(const fs::path& folder, const Bytes& render) : folder_(folder), render_(render) {}

    static constexpr const char* name = "photo.jpg";
    static constexpr const char* lockName = ".photo.jpg.lock";

    const std::string& work() const { return work_; }
    const std::string& temporary() const { return temporary_; }

    // The request of one step with the receipts known so far.
    json requestFor(Step step) const {
        switch (step) {
            case Step::inspect: return request("inspect", folder_, name);
            case Step::workCreate:
                return request("work-create", folder_, "render.jpg", {{"folderIdentity", folderIdentity_}, {"work", work_}});
            case Step::publish:
                return request("publish", folder_, "render.jpg",
                               {{"folderIdentity", folderIdentity_}, {"work", work_}, {"workIdentity", workIdentity_},
                                {"temporary", temporary_}, {"output", renderSnapshot_}});
            case Step::metadata:
                return request("metadata", folder_, name,
                               {{"folderIdentity", folderIdentity_}, {"temporary", temporary_}, {"source", source_},
                                {"output", renderSnapshot_}});
            case Step::swap:
                return request("swap", folder_, name,
                               {{"folderIdentity", folderIdentity_}, {"temporary", temporary_}, {"source", source_},
                                {"output", finalSnapshot_}});
            case Step::workClean:
                return request("work-clean", folder_, "render.jpg",
                               {{"folderIdentity", folderIdentity_}, {"work", work_}, {"workIdentity", workIdentity_}});
            default: return {};
        }
    }

    // Runs one step to its end and checks that it succeeded.
    void run(Step step) {
        SCOPED_TRACE(stepName(step));
        if (step == Step::writeRender) {
            writeBytes(folder_ / work_ / "render.jpg", render_);
            // The receipt the Studio gets from "work-inspect".
            const Reply r = runLacquer(request("work-inspect", folder_, "render.jpg",
                                               {{"folderIdentity", folderIdentity_}, {"work", work_},
                                                {"workIdentity", workIdentity_}}));
            ASSERT_EQ(r.status, 0) << r.out;
            renderSnapshot_ = r.last()["snapshot"];
            return;
        }
        const Reply r = runLacquer(requestFor(step), step == Step::swap ? std::vector<std::string>{"commit", "cleanup"}
                                                                          : std::vector<std::string>{});
        ASSERT_EQ(r.status, 0) << r.out;
        ASSERT_EQ(r.last()["ok"], true) << r.out;
        take(step, r.last());
    }

    // Takes the receipts of a successful reply.
    void take(Step step, const json& reply) {
        switch (step) {
            case Step::inspect:
                folderIdentity_ = reply["folderIdentity"];
                source_ = reply["snapshot"];
                break;
            case Step::workCreate: workIdentity_ = reply["identity"]; break;
            case Step::metadata: finalSnapshot_ = reply["snapshot"]; break;
            default: break;
        }
    }

    void runUntil(Step last) {
        for (Step s = Step::inspect; s != last; s = Step(int(s) + 1)) {
            run(s);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }

    json folderIdentity_, source_, workIdentity_, renderSnapshot_, finalSnapshot_;

private:
    fs::path folder_;
    Bytes render_;
    std::string work_ = workName();
    std::string temporary_ = temporaryName();
};

struct Leftovers {
    std::vector<std::string> temporaries, works, others;
};

Leftovers leftoversIn(const fs::path& folder) {
    Leftovers found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string n = entry.path().filename().string();
        if (n == Save::name || n == Save::lockName) continue;
        if (Finish::temporaryName(n) && entry.is_regular_file() && !entry.is_symlink())
            found.temporaries.push_back(n);
        else if (Finish::validWork(n) && entry.is_directory() && !entry.is_symlink())
            found.works.push_back(n);
        else
            found.others.push_back(n);
    }
    return found;
}

// The folder is in one of the states a save may leave: the delivery name
// holds the complete old or the complete new file, with at most one temporary
// file and one working directory beside it.
void expectConsistent(const fs::path& folder, const Photos& p) {
    const Bytes held = readBytes(folder / Save::name);
    EXPECT_TRUE(held == p.delivered || held == p.final) << "the delivery name holds a broken file";
    const Leftovers left = leftoversIn(folder);
    EXPECT_LE(left.temporaries.size(), 1u);
    EXPECT_LE(left.works.size(), 1u);
    EXPECT_TRUE(left.others.empty()) << left.others.front();
    for (const auto& work : left.works) {
        for (const auto& entry : fs::directory_iterator(folder / work))
            EXPECT_EQ(entry.path().filename(), "render.jpg");
    }
}

// What the Studio does with leftovers: a fresh receipt and "discard" for a
// temporary, "work-clean" for a working directory.
void recover(const fs::path& folder, const json& folderIdentity) {
    const Leftovers left = leftoversIn(folder);
    for (const auto& temporary : left.temporaries) {
        const Reply snap = runLacquer(request("snapshot", folder, temporary, {{"folderIdentity", folderIdentity}}));
        ASSERT_EQ(snap.status, 0) << snap.out;
        const Reply gone = runLacquer(request("discard", folder, temporary,
                                              {{"folderIdentity", folderIdentity}, {"output", snap.last()["snapshot"]}}));
        ASSERT_EQ(gone.status, 0) << gone.out;
    }
    for (const auto& work : left.works) {
        struct stat st {};
        ASSERT_EQ(::lstat((folder / work).c_str(), &st), 0);
        const json identity = {{"device", std::uint64_t(st.st_dev)}, {"inode", std::uint64_t(st.st_ino)}};
        const Reply clean = runLacquer(request("work-clean", folder, "render.jpg",
                                               {{"folderIdentity", folderIdentity}, {"work", work}, {"workIdentity", identity}}));
        ASSERT_EQ(clean.status, 0) << clean.out;
    }
    const Leftovers after = leftoversIn(folder);
    EXPECT_TRUE(after.temporaries.empty() && after.works.empty() && after.others.empty());
}

json identityOf(const fs::path& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return {{"device", std::uint64_t(st.st_dev)}, {"inode", std::uint64_t(st.st_ino)}};
}

TEST(FinishSave, CompleteSaveReplacesTheDeliveryWithTheCarriedRender) {
    const Photos& p = photos();
    TestSupport::TempDir dir;
    writeBytes(dir / Save::name, p.delivered);

    Lacquer lock(request("lock", dir.path(), Save::lockName));
    ASSERT_EQ(lock.reply(), json({{"ok", true}, {"ready", true}}));
    // A second save of the same delivery is refused while the lock is held,
    // and so is the catalogue's export.
    EXPECT_EQ(runLacquer(request("lock", dir.path(), Save::lockName)).last(),
              errorReply("Delivery is already being saved"));

    Save save(dir.path(), p.render);
    save.runUntil(Step::swap);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(runLacquer(request("export-check", dir.path(), Save::name,
                                 {{"folderIdentity", save.folderIdentity_}, {"source", save.source_},
                                  {"lockFolder", dir.path().string()}, {"lockName", Save::lockName}}))
                  .last(),
              errorReply("Studio is saving this delivery"));

    // The swap, line by line.
    Lacquer swap(save.requestFor(Step::swap));
    EXPECT_EQ(swap.reply(), json({{"ok", true}, {"ready", true}}));
    EXPECT_EQ(readBytes(dir / Save::name), p.delivered);
    swap.send("commit");
    EXPECT_EQ(swap.reply(), json({{"exchanged", true}, {"ok", true}}));
    EXPECT_EQ(readBytes(dir / Save::name), p.final);
    EXPECT_EQ(readBytes(dir / save.temporary()), p.delivered);
    swap.send("cleanup");
    EXPECT_EQ(swap.reply(), json({{"ok", true}, {"snapshot", save.finalSnapshot_}, {"status", "committed"}}));
    EXPECT_EQ(swap.wait(), 0);
    save.run(Step::workClean);

    lock.send("done");
    EXPECT_EQ(lock.wait(), 0);
    EXPECT_EQ(runLacquer(request("export-check", dir.path(), Save::name,
                                 {{"folderIdentity", save.folderIdentity_}, {"source", save.finalSnapshot_},
                                  {"lockFolder", dir.path().string()}, {"lockName", Save::lockName}}))
                  .last(),
              json({{"ok", true}}));

    EXPECT_EQ(readBytes(dir / Save::name), p.final);
    EXPECT_EQ(scanData(p.final), scanData(p.render));
    const Leftovers left = leftoversIn(dir.path());
    EXPECT_TRUE(left.temporaries.empty() && left.works.empty() && left.others.empty());
    // The new delivery inspects like the old one, upright.
    const auto now = runLacquer(request("inspect", dir.path(), Save::name)).last()["jpeg"];
    auto expected = Finish::object(Finish::DeliveryJPEG::inspect(p.delivered));
    EXPECT_EQ(expected["orientation"], 6);
    expected["orientation"] = 1;
    EXPECT_EQ(now, expected);
}

// Where a save is interrupted: after a step, while a step runs (killed after
// a delay), or at one of the two waits of "swap".
struct Interruption {
    const char* name;
    Step step;
    enum Kind { after, during, atReady, atExchanged } kind;
    int delayMicroseconds = 0;
};

void PrintTo(const Interruption& cut, std::ostream* os) { *os << cut.name; }

class FinishCrash : public ::testing::TestWithParam<Interruption> {};

TEST_P(FinishCrash, FolderStaysConsistentAndTheWayForwardWorks) {
    const Interruption& cut = GetParam();
    const Photos& p = photos();
    TestSupport::TempDir dir;
    writeBytes(dir / Save::name, p.delivered);
    Lacquer lock(request("lock", dir.path(), Save::lockName));
    ASSERT_TRUE(lock.reply());

    Save save(dir.path(), p.render);
    if (cut.kind == Interruption::after) {
        save.runUntil(Step(int(cut.step) + 1));
    } else {
        save.runUntil(cut.step);
        ASSERT_FALSE(HasFatalFailure());
        Lacquer step(save.requestFor(cut.step));
        if (cut.kind == Interruption::during) {
            if (cut.step == Step::swap) {
                step.send("commit");
                step.send("cleanup");
            }
            std::this_thread::sleep_for(std::chrono::microseconds(cut.delayMicroseconds));
        } else {
            ASSERT_EQ(step.reply(), json({{"ok", true}, {"ready", true}}));
            if (cut.kind == Interruption::atExchanged) {
                step.send("commit");
                ASSERT_EQ(step.reply(), json({{"exchanged", true}, {"ok", true}}));
            }
        }
        step.kill();
    }
    ASSERT_FALSE(HasFatalFailure());
    // The Studio dies too: its lock goes with it.
    lock.kill();

    expectConsistent(dir.path(), p);
    if (cut.kind == Interruption::atReady) {
        EXPECT_EQ(readBytes(dir / Save::name), p.delivered);
    }
    if (cut.kind == Interruption::atExchanged) {
        EXPECT_EQ(readBytes(dir / Save::name), p.final);
        EXPECT_EQ(readBytes(dir / save.temporary()), p.delivered);
    }
    const json folderIdentity = identityOf(dir.path());
    recover(dir.path(), folderIdentity);
    ASSERT_FALSE(HasFatalFailure());
    const Bytes held = readBytes(dir / Save::name);
    EXPECT_TRUE(held == p.delivered || held == p.final);

    // A new save from whatever is delivered now goes through.
    Lacquer again(request("lock", dir.path(), Save::lockName));
    ASSERT_EQ(again.reply(), json({{"ok", true}, {"ready", true}}));
    Save next(dir.path(), p.render);
    next.runUntil(Step::done);
    ASSERT_FALSE(HasFatalFailure());
    again.closeInput();
    EXPECT_EQ(again.wait(), 0);
    EXPECT_EQ(readBytes(dir / Save::name), Finish::DeliveryJPEG::carryingMetadata(held, p.render));
    const Leftovers left = leftoversIn(dir.path());
    EXPECT_TRUE(left.temporaries.empty() && left.works.empty() && left.others.empty());
}

std::vector<Interruption> interruptions() {
    std::vector<Interruption> cuts;
    for (Step s : {Step::inspect, Step::workCreate, Step::writeRender, Step::publish, Step::metadata, Step::swap,
                   Step::workClean})
        cuts.push_back({stepName(s), s, Interruption::after});
    for (Step s : {Step::workCreate, Step::publish, Step::metadata, Step::swap, Step::workClean})
        for (int delay : {0, 3000})
            cuts.push_back({stepName(s), s, Interruption::during, delay});
    cuts.push_back({"swapReady", Step::swap, Interruption::atReady});
    cuts.push_back({"swapExchanged", Step::swap, Interruption::atExchanged});
    return cuts;
}

INSTANTIATE_TEST_SUITE_P(Interruptions, FinishCrash, ::testing::ValuesIn(interruptions()),
                         [](const auto& info) {
                             const Interruption& c = info.param;
                             std::string label = std::string(c.kind == Interruption::after    ? "after_"
                                                             : c.kind == Interruption::during ? "during_"
                                                                                              : "at_") +
                                                 c.name;
                             if (c.kind == Interruption::during) label += "_" + std::to_string(c.delayMicroseconds) + "us";
                             return label;
                         });

}  // namespace

namespace {

// Something another party does to the delivery folder between two steps, and
// how the next step must react: stop with `error` (nothing overwritten or
// removed), or go on when `error` is empty.
struct Race {
    const char* name;
    Step before;  // the step that runs after the change
    std::function<void(const fs::path& folder, const Save& save)> change;
    std::string error;
    // What must be in place afterwards (folder as the test sees it now).
    std::function<void(const fs::path& root, const Save& save)> check;
};

const Bytes& intruder() {
    static const Bytes b = makeJPEG(24, 40, 9);
    return b;
}

void overwriteInPlace(const fs::path& file) {
    Bytes b = readBytes(file);
    b[b.size() / 2] ^= 0x55;
    std::FILE* f = std::fopen(file.c_str(), "r+b");
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
}

void copyFolder(const fs::path& from, const fs::path& to) {
    fs::create_directory(to);
    for (const auto& e : fs::directory_iterator(from)) fs::copy(e.path(), to / e.path().filename(), fs::copy_options::recursive);
}

std::vector<Race> races() {
    const auto deliveredKept = [](const fs::path& root, const Save&) {
        EXPECT_EQ(readBytes(root / "delivery" / Save::name), photos().delivered);
    };
    return {
        {"DeliveredReplaced", Step::metadata,
         [](const fs::path& f, const Save&) {
             writeBytes(f / "other.tmp", intruder());
             fs::rename(f / "other.tmp", f / Save::name);
         },
         "Delivery JPEG changed",
         [](const fs::path& root, const Save& s) {
             EXPECT_EQ(readBytes(root / "delivery" / Save::name), intruder());
             EXPECT_EQ(readBytes(root / "delivery" / s.temporary()), photos().render);
         }},
        {"DeliveredEditedInPlace", Step::swap,
         [](const fs::path& f, const Save&) { overwriteInPlace(f / Save::name); }, "Delivery JPEG changed",
         [](const fs::path& root, const Save& s) {
             EXPECT_NE(readBytes(root / "delivery" / Save::name), photos().delivered);
             EXPECT_EQ(readBytes(root / "delivery" / s.temporary()), photos().final);
         }},
        {"DeliveredHardLinked", Step::metadata,
         [](const fs::path& f, const Save&) { fs::create_hard_link(f / Save::name, f / "copy.jpg"); },
         "Delivery JPEG must be a regular, unlinked file below 512 MiB", deliveredKept},
        {"DeliveredBecameASymbolicLink", Step::swap,
         [](const fs::path& f, const Save&) {
             fs::rename(f / Save::name, f / "kept.jpg");
             fs::create_symlink("kept.jpg", f / Save::name);
         },
         "Delivery file is missing or is a link",
         [](const fs::path& root, const Save&) {
             EXPECT_EQ(readBytes(root / "delivery" / "kept.jpg"), photos().delivered);
             EXPECT_TRUE(fs::is_symlink(root / "delivery" / Save::name));
         }},
        {"DeliveredTouchedOnly", Step::swap,
         [](const fs::path& f, const Save&) {
             fs::last_write_time(f / Save::name, fs::last_write_time(f / Save::name) + std::chrono::hours(1));
         },
         "",
         [](const fs::path& root, const Save&) {
             EXPECT_EQ(readBytes(root / "delivery" / Save::name), photos().final);
         }},
        {"FolderBecameASymbolicLink", Step::metadata,
         [](const fs::path& f, const Save&) {
             fs::rename(f, f.parent_path() / "moved");
             fs::create_directory_symlink("moved", f);
         },
         "Delivery folder is unavailable",
         [](const fs::path& root, const Save&) {
             EXPECT_EQ(readBytes(root / "moved" / Save::name), photos().delivered);
         }},
        {"FolderReplacedByACopy", Step::swap,
         [](const fs::path& f, const Save&) {
             fs::rename(f, f.parent_path() / "old");
             copyFolder(f.parent_path() / "old", f);
         },
         "Delivery folder was replaced",
         [](const fs::path& root, const Save&) {
             EXPECT_EQ(readBytes(root / "old" / Save::name), photos().delivered);
             EXPECT_EQ(readBytes(root / "delivery" / Save::name), photos().delivered);
         }},
        {"TemporaryAlreadyExists", Step::publish,
         [](const fs::path& f, const Save& s) { writeBytes(f / s.temporary(), intruder()); },
         "Cannot move Finish output without overwriting a file",
         [](const fs::path& root, const Save& s) {
             EXPECT_EQ(readBytes(root / "delivery" / s.temporary()), intruder());
             EXPECT_EQ(readBytes(root / "delivery" / s.work() / "render.jpg"), photos().render);
             EXPECT_EQ(readBytes(root / "delivery" / Save::name), photos().delivered);
         }},
        {"TemporaryChanged", Step::swap,
         [](const fs::path& f, const Save& s) { overwriteInPlace(f / s.temporary()); }, "Delivery JPEG changed",
         deliveredKept},
        {"WorkingDirectoryReplaced", Step::publish,
         [](const fs::path& f, const Save& s) {
             fs::rename(f / s.work(), f / "elsewhere");
             copyFolder(f / "elsewhere", f / s.work());
         },
         "Delivery folder was replaced",
         [](const fs::path& root, const Save& s) {
             EXPECT_EQ(readBytes(root / "delivery" / s.work() / "render.jpg"), photos().render);
             EXPECT_FALSE(fs::exists(root / "delivery" / s.temporary()));
         }},
        {"RenderBecameASymbolicLink", Step::publish,
         [](const fs::path& f, const Save& s) {
             fs::rename(f / s.work() / "render.jpg", f / "render-kept.jpg");
             fs::create_symlink("../render-kept.jpg", f / s.work() / "render.jpg");
         },
         "Delivery file is missing or is a link",
         [](const fs::path& root, const Save& s) {
             EXPECT_FALSE(fs::exists(root / "delivery" / s.temporary()));
             EXPECT_EQ(readBytes(root / "delivery" / Save::name), photos().delivered);
         }},
    };
}

void PrintTo(const Race& race, std::ostream* os) { *os << race.name; }

class FinishRace : public ::testing::TestWithParam<Race> {};

TEST_P(FinishRace, ChangesBehindTheSaveAreDetected) {
    const Race& race = GetParam();
    TestSupport::TempDir dir;
    const fs::path folder = dir / "delivery";
    fs::create_directory(folder);
    writeBytes(folder / Save::name, photos().delivered);
    Save save(folder, photos().render);
    save.runUntil(race.before);
    ASSERT_FALSE(HasFatalFailure());

    race.change(folder, save);
    const Reply r = runLacquer(save.requestFor(race.before),
                               race.before == Step::swap ? std::vector<std::string>{"commit", "cleanup"}
                                                         : std::vector<std::string>{});
    if (race.error.empty()) {
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.last()["ok"], true) << r.out;
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.last(), errorReply(race.error));
        EXPECT_EQ(r.lines.size(), 1u) << r.out;
    }
    race.check(dir.path(), save);
}

INSTANTIATE_TEST_SUITE_P(Races, FinishRace, ::testing::ValuesIn(races()),
                         [](const auto& info) { return std::string(info.param.name); });

// The swap's own refusals and its conflict: the delivered file is never lost.
TEST(FinishSwap, RefusalsAndConflictKeepEveryFile) {
    const Photos& p = photos();
    TestSupport::TempDir dir;
    writeBytes(dir / Save::name, p.delivered);
    Save save(dir.path(), p.render);
    save.runUntil(Step::metadata);
    ASSERT_FALSE(HasFatalFailure());

    // The render before its metadata was carried does not match the delivery.
    {
        json swapRender = save.requestFor(Step::swap);
        swapRender["output"] = save.renderSnapshot_;
        const Reply r = runLacquer(swapRender, {"commit"});
        EXPECT_EQ(r.lines.back(), errorReply("Delivery output validation failed"));
        EXPECT_EQ(r.status, 1);
    }
    save.run(Step::metadata);
    ASSERT_FALSE(HasFatalFailure());

    // Cancelled, or input closed, at the first wait: nothing changes.
    for (const std::vector<std::string>& lines : {std::vector<std::string>{"cancel"}, std::vector<std::string>{}}) {
        const Reply r = runLacquer(save.requestFor(Step::swap), lines);
        ASSERT_EQ(r.lines.size(), 2u) << r.out;
        EXPECT_EQ(r.lines[0], json({{"ok", true}, {"ready", true}}));
        EXPECT_EQ(r.lines[1], errorReply("Canceled before replacement"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readBytes(dir / Save::name), p.delivered);
        EXPECT_EQ(readBytes(dir / save.temporary()), p.final);
    }

    // No "cleanup": the new file is in place and the old one waits under the
    // temporary name until it is discarded with its receipt.
    {
        const Reply r = runLacquer(save.requestFor(Step::swap), {"commit", "later"});
        ASSERT_EQ(r.lines.size(), 3u) << r.out;
        EXPECT_EQ(r.lines[1], json({{"exchanged", true}, {"ok", true}}));
        EXPECT_EQ(r.lines[2], errorReply("Replacement awaits recovery cleanup"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readBytes(dir / Save::name), p.final);
        EXPECT_EQ(readBytes(dir / save.temporary()), p.delivered);
        // The displaced file is only removed against its own receipt.
        EXPECT_EQ(runLacquer(request("discard", dir.path(), save.temporary(),
                                     {{"folderIdentity", save.folderIdentity_}, {"output", save.finalSnapshot_}}))
                      .last(),
                  errorReply("Delivery JPEG changed"));
        EXPECT_EQ(runLacquer(request("discard", dir.path(), save.temporary(),
                                     {{"folderIdentity", save.folderIdentity_}, {"output", save.source_}}))
                      .last(),
                  json({{"ok", true}}));
        EXPECT_FALSE(fs::exists(dir / save.temporary()));
    }
}

TEST(FinishSwap, DeliveryReplacedBeforeCommitIsAConflict) {
    const Photos& p = photos();
    TestSupport::TempDir dir;
    writeBytes(dir / Save::name, p.delivered);
    Save save(dir.path(), p.render);
    save.runUntil(Step::swap);
    ASSERT_FALSE(HasFatalFailure());

    Lacquer swap(save.requestFor(Step::swap));
    ASSERT_EQ(swap.reply(), json({{"ok", true}, {"ready", true}}));
    writeBytes(dir / "other.tmp", intruder());
    fs::rename(dir / "other.tmp", dir / Save::name);
    swap.send("commit");
    EXPECT_EQ(swap.reply(), json({{"ok", true},
                                  {"reason", "Delivery changed during saving; displaced file preserved"},
                                  {"status", "conflict"}}));
    EXPECT_EQ(swap.wait(), 0);
    // Both files are kept: the render under the delivery name, the other
    // party's file under the temporary name.
    EXPECT_EQ(readBytes(dir / Save::name), p.final);
    EXPECT_EQ(readBytes(dir / save.temporary()), intruder());
}

}  // namespace
