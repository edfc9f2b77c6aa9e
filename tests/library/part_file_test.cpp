// Writing through a ".part" file: previews (no sync) and renders (synced)
// behave the same in every other way.

#include "engine/library/part_file.h"
#include "library_support.h"

using namespace TestSupport;

namespace {

namespace fs = std::filesystem;

const std::vector<std::uint8_t> payload = {'n', 'e', 'w'};

TEST(PartFile, EveryDurabilityReplacesFailsAndCleansUpAlike) {
    for (auto durability : {PartFile::Durability::cache, PartFile::Durability::render}) {
        SCOPED_TRACE(durability == PartFile::Durability::cache ? "cache" : "render");
        TempDir dir;
        // A new file, and an old one replaced with a leftover temporary beside it.
        EXPECT_TRUE(PartFile::write(payload, dir / "new.jpg", durability));
        EXPECT_EQ(readFile(dir / "new.jpg"), "new");
        writeFile(dir / "old.jpg", "old");
        writeFile(dir / "old.jpg.part", "left over from an interrupted write");
        EXPECT_TRUE(PartFile::write(payload, dir / "old.jpg", durability));
        EXPECT_EQ(readFile(dir / "old.jpg"), "new");
        // An empty folder at the name gives way; a full one stays.
        fs::create_directory(dir / "empty.jpg");
        EXPECT_TRUE(PartFile::write(payload, dir / "empty.jpg", durability));
        EXPECT_EQ(readFile(dir / "empty.jpg"), "new");
        fs::create_directory(dir / "full.jpg");
        writeFile(dir / "full.jpg" / "keep.txt", "keep");
        EXPECT_FALSE(PartFile::write(payload, dir / "full.jpg", durability));
        EXPECT_EQ(readFile(dir / "full.jpg" / "keep.txt"), "keep");
        // A symbolic link at the temporary name is not followed.
        writeFile(dir / "target.txt", "target");
        fs::create_symlink(dir / "target.txt", dir / "linked.jpg.part");
        EXPECT_FALSE(PartFile::write(payload, dir / "linked.jpg", durability));
        EXPECT_EQ(readFile(dir / "target.txt"), "target");
        fs::remove(dir / "linked.jpg.part");
        // No folder, no name.
        EXPECT_FALSE(PartFile::write(payload, dir / "missing" / "a.jpg", durability));
        EXPECT_FALSE(PartFile::write(payload, fs::path(), durability));
        for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
            EXPECT_NE(entry.path().extension(), ".part") << entry.path();
    }
}

}  // namespace
