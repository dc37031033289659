// The README's quick start and recipes, run as they are written, on loop devices over this
// test's own images: the README's drive number N and device /dev/sdX become the test's,
// `sudo` runs its command as it is (these cases run as root), `vorlent` is the test build,
// whose drives reach nothing but these loop devices, and `vorlent-drives` is the shipped
// one, which only reads. Drive 0 is an image standing for the system disk, which must come
// out untouched. Without root or loop devices the cases skip.
#include "end_to_end.h"
#include "loop_device.h"

#include <cstdlib>
#include <memory>
#include <sstream>
#include <sys/mount.h>
#include <unistd.h>

namespace {

// The ```sh blocks of the README section whose heading starts with `title`, up to the
// next heading.
std::vector<std::string> shell_blocks(const std::string& title)
{
    std::istringstream readme(read_whole_file(VORLENT_README));
    std::vector<std::string> blocks;
    std::string line, level;
    bool in_fence = false, in_shell = false;
    while (std::getline(readme, line)) {
        if (line.rfind("```", 0) == 0) {
            in_shell = !in_fence && !level.empty() && line == "```sh";
            in_fence = !in_fence;
            if (in_shell)
                blocks.emplace_back();
        } else if (in_shell) {
            blocks.back() += line + "\n";
        } else if (!in_fence && line.rfind("#", 0) == 0) {
            std::string marks = line.substr(0, line.find(' '));
            if (!level.empty())
                break;
            if (line.compare(marks.size() + 1, title.size(), title) == 0)
                level = marks;
        }
    }
    return blocks;
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    std::size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// `image` partitioned by sfdisk from `script`.
bool partitioned(const std::string& image, const std::string& script)
{
    return std::system(("printf '" + script + "' | sfdisk -q " + image + " >/dev/null 2>&1")
                           .c_str()) == 0;
}

// A file system of its own on a loop device's partition, mounted as a desktop mounts a card
// (read-only, so that the mount changes none of the bytes compared), through a node made
// from the partition's numbers: nothing here makes nodes for partitions. Unmounted on every
// way out that the recipe did not take.
struct MountedPartition {
    std::string node, mount_point;
    MountedPartition(const LoopDevice& loop, int number, const std::string& at)
        : node(at + "-node"), mount_point(at)
    {
        std::filesystem::create_directories(mount_point);
        if (make_partition_node(loop, number, node).empty() ||
            std::system(("mke2fs -q -F -t ext2 " + node + " >/dev/null 2>&1").c_str()) != 0 ||
            mount(node.c_str(), mount_point.c_str(), "ext2", MS_RDONLY, nullptr) != 0)
            mount_point.clear();
    }
    ~MountedPartition()
    {
        if (!mount_point.empty())
            umount2(mount_point.c_str(), MNT_DETACH);
    }
};

class ReadmeRecipes : public EndToEnd {
protected:
    ReadmeRecipes() { backend = linux_backend(); }

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "attaching loop devices needs root";
        for (const char* tool : {"losetup", "xz", "cmp", "sfdisk", "mke2fs"}) {
            if (output_of(std::string("command -v ") + tool).empty())
                GTEST_SKIP() << "no " << tool;
        }
        EndToEnd::SetUp();
        std::filesystem::create_directories(at("bin"));
        ASSERT_EQ(symlink(VORLENT_E2E_PROGRAM, at("bin/vorlent").c_str()), 0);
        ASSERT_EQ(symlink(VORLENT_SHIPPED_DRIVES_PROGRAM, at("bin/vorlent-drives").c_str()), 0);
        attach_image(0, system_disk);
    }

    void TearDown() override
    {
        if (!IsSkipped()) {
            EXPECT_TRUE(same_bytes(read_whole_file(image(0)), system_disk)) << "drive 0";
        }
        EndToEnd::TearDown();
    }

    // An image file of `bytes`, named `name` in the working directory.
    std::string card_image(const std::string& name, const std::string& bytes)
    {
        write_whole_file(at(name), bytes);
        return at(name);
    }

    // The README's names of a card's device, its partitions and its number, for `loop`.
    static std::vector<std::pair<std::string, std::string>> card_names(
        const LoopDevice& loop, const MountedPartition& boot, const MountedPartition& root)
    {
        return {{"/dev/sdX1", boot.node}, {"/dev/sdX2", root.node}, {"/dev/sdX", loop.device},
                {" N ", " 1 "}};
    }

    // Runs `block` with the README's names replaced by `names`, in a terminal, typing a key
    // each of the `keys` times a run waits for one there.
    ProgramRun run_recipe(std::string block,
                          const std::vector<std::pair<std::string, std::string>>& names, int keys)
    {
        for (const auto& name : names)
            block = replaced(block, name.first, name.second);
        // Job control on, as in a terminal where a user pastes the recipe.
        write_whole_file(at("recipe.sh"),
                         "set -m\nPATH='" + at("bin") + "':$PATH\n"
                         "sudo() { [ \"$1\" = -v ] || \"$@\"; }\n" + block);
        return run_in_terminal({"bash", at("recipe.sh")}, work.path,
                               std::vector<KeyStep>(keys, KeyStep{PRESS_ANY_KEY, "k"}));
    }

    const std::string system_disk = random_bytes(65536, 70);
    // A card image of three chunks, the last one short of a whole sector.
    const std::string card = random_bytes(2 * CHUNK + 1000, 71);
    const std::string SUCCESS = "The operation completed successfully";
    const std::size_t CARD_SIZE = 4 * 1024 * 1024;
    // A card of two partitions with a master boot record, as the quick start expects.
    const std::string TWO_PARTITIONS = "start=2048,size=2048\\nstart=4096\\n";
};

#define REQUIRE_LOOP(loop, image)                                      \
    do {                                                               \
        if ((loop).device.empty())                                     \
            GTEST_SKIP() << "no loop device could be attached";        \
        ASSERT_TRUE(is_loop_over((loop), (image))) << (loop).device;   \
        ASSERT_TRUE(backend->attach_drive(1, (loop).device));          \
    } while (0)

#define REQUIRE_MOUNTED(boot, root)                                     \
    do {                                                                \
        if ((boot).mount_point.empty() || (root).mount_point.empty())  \
            GTEST_SKIP() << "cannot mount the card's partitions here"; \
    } while (0)

TEST_F(ReadmeRecipes, QuickStartFindsUnmountsWritesChecksAndWritesWhatFits)
{
    std::string before = random_bytes(6 * 1024 * 1024, 72);
    std::string disk = card_image("sdb.img", before);
    ASSERT_TRUE(partitioned(disk, TWO_PARTITIONS));
    LoopDevice loop(disk, true);
    REQUIRE_LOOP(loop, disk);
    MountedPartition boot(loop, 1, at("bootfs")), root(loop, 2, at("rootfs"));
    REQUIRE_MOUNTED(boot, root);
    write_whole_file(at("card.img"), card);
    const std::string big = random_bytes(7 * 1024 * 1024, 73);
    write_whole_file(at("big.img"), big);
    std::vector<std::string> blocks = shell_blocks("Write an image to a card");
    ASSERT_EQ(blocks.size(), 3u);

    ProgramRun listed = run_recipe(blocks[0], {}, 0);
    EXPECT_TRUE(ended_with_status_0(listed));
    EXPECT_NE(listed.output.find(": " + loop.device + "\n"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("mounted on " + root.mount_point), std::string::npos);

    output_of("blockdev --flushbufs " + loop.device);  // what mkfs wrote through the partitions
    before = read_whole_file(loop.device);
    ASSERT_TRUE(is_loop_over(loop, disk));
    ProgramRun written = run_recipe(blocks[1], card_names(loop, boot, root), 1);
    EXPECT_TRUE(ended_with_status_0(written, 1));
    EXPECT_TRUE(ends_with(written.output, COMPLETED + "same\n")) << written.output;
    EXPECT_TRUE(output_of("grep -F ' " + root.mount_point + " ' /proc/self/mountinfo").empty());
    EXPECT_TRUE(same_bytes(read_whole_file(loop.device), card + before.substr(card.size())));

    auto names = card_names(loop, boot, root);
    names.push_back({"31914983424", std::to_string(before.size())});
    ASSERT_TRUE(is_loop_over(loop, disk));
    ProgramRun cut = run_recipe(blocks[2], names, 1);
    EXPECT_TRUE(ended_with_status_0(cut, 1));
    EXPECT_TRUE(ends_with(cut.output, COMPLETED + "same\n")) << cut.output;
    EXPECT_TRUE(same_bytes(read_whole_file(loop.device), big.substr(0, before.size())));
}

// A pipe is the image and the key at once: the run ends by itself once the pipe has ended.
TEST_F(ReadmeRecipes, CompressedImageUnmountsCompletesWithNoKeyAndIsChecked)
{
    std::string before = random_bytes(CARD_SIZE, 75);
    std::string disk = card_image("sdb.img", before);
    ASSERT_TRUE(partitioned(disk, TWO_PARTITIONS));
    LoopDevice loop(disk, true);
    REQUIRE_LOOP(loop, disk);
    MountedPartition boot(loop, 1, at("bootfs")), root(loop, 2, at("rootfs"));
    REQUIRE_MOUNTED(boot, root);
    write_whole_file(at("card.img"), card);
    ASSERT_EQ(std::system(("xz -0 -T1 " + at("card.img")).c_str()), 0);
    std::vector<std::string> blocks = shell_blocks("Write a compressed image");
    ASSERT_EQ(blocks.size(), 1u);

    output_of("blockdev --flushbufs " + loop.device);
    before = read_whole_file(loop.device);
    ASSERT_TRUE(is_loop_over(loop, disk));
    ProgramRun piped = run_recipe(blocks[0], card_names(loop, boot, root), 0);
    EXPECT_TRUE(ended_with_status_0(piped));
    EXPECT_TRUE(ends_with(piped.output, COMPLETED + "same\n")) << piped.output;
    EXPECT_TRUE(same_bytes(read_whole_file(loop.device), card + before.substr(card.size())));
}

// A GPT card whose partitions end well before it does: the backup is the size vorlent-drives
// shows, and the restore rebuilds the backup table that the card lost meanwhile.
TEST_F(ReadmeRecipes, BackUpAndRestoreACardToItsPartitionsEndAndItsBootSector)
{
    const std::size_t size = 6 * 1024 * 1024, parts_end = 4 * 1024 * 1024;
    std::string disk = card_image("sdb.img", random_bytes(size, 74));
    ASSERT_TRUE(partitioned(disk, "label: gpt\\nstart=2048,size=2048\\nstart=4096,size=4096\\n"));
    LoopDevice loop(disk, true);
    REQUIRE_LOOP(loop, disk);
    std::vector<std::string> blocks = shell_blocks("Back up and restore");
    ASSERT_EQ(blocks.size(), 3u);
    std::string listing = output_of("'" + at("bin/vorlent-drives") + "'");
    std::string shown = ": " + loop.device + "\n  Size:      6291456 bytes (6.0 MiB)\n"
                        "  Parts end: 4194304 bytes (4.0 MiB)\n";
    ASSERT_NE(listing.find(shown), std::string::npos) << listing;
    const std::string card_bytes = read_whole_file(loop.device);

    ProgramRun saved = run_recipe(blocks[0], {{"/dev/sdX", loop.device}, {" N ", " 1 "},
                                              {"3825205248", std::to_string(parts_end)}},
                                  1);
    EXPECT_TRUE(ended_with_status_0(saved, 1));
    EXPECT_TRUE(ends_with(saved.output, COMPLETED + "same\n")) << saved.output;
    EXPECT_TRUE(same_bytes(read_whole_file(at("backup.img")), card_bytes.substr(0, parts_end)));

    // Meanwhile the card got file systems, mounted, and lost its backup table (the last 33
    // sectors).
    MountedPartition boot(loop, 1, at("bootfs")), root(loop, 2, at("rootfs"));
    REQUIRE_MOUNTED(boot, root);
    ASSERT_TRUE(is_loop_over(loop, disk));
    ASSERT_EQ(std::system(("dd if=/dev/zero of=" + loop.device + " bs=512 count=33 seek=" +
                           std::to_string(size / 512 - 33) + " conv=notrunc,fsync status=none")
                              .c_str()),
              0);
    ProgramRun restored = run_recipe(blocks[1], card_names(loop, boot, root), 1);
    EXPECT_TRUE(ended_with_status_0(restored, 1));
    EXPECT_NE(restored.output.find(COMPLETED + "same\n"), std::string::npos) << restored.output;
    output_of("blockdev --flushbufs " + loop.device);
    std::string card_now = read_whole_file(loop.device);
    EXPECT_TRUE(same_bytes(card_now.substr(0, parts_end), card_bytes.substr(0, parts_end)));
    EXPECT_EQ(card_now.substr(size - 512, 8), "EFI PART");  // the backup table's header

    ASSERT_TRUE(is_loop_over(loop, disk));
    ProgramRun boot_sector = run_recipe(blocks[2], card_names(loop, boot, root), 2);
    EXPECT_TRUE(ended_with_status_0(boot_sector, 2));
    EXPECT_TRUE(ends_with(boot_sector.output, COMPLETED + "same\n")) << boot_sector.output;
    EXPECT_TRUE(same_bytes(read_whole_file(at("boot.bin")), card_bytes.substr(0, 512)));
}

TEST_F(ReadmeRecipes, SeveralCardsAtOnceEachReportHowTheyEnded)
{
    std::vector<std::string> disks;
    std::vector<std::unique_ptr<LoopDevice>> loops;
    for (int number = 1; number <= 3; ++number) {
        disks.push_back(card_image("sd" + std::string(1, 'a' + number) + ".img",
                                   std::string(3 * 1024 * 1024, '\0')));
        loops.push_back(std::make_unique<LoopDevice>(disks.back()));
        if (loops.back()->device.empty())
            GTEST_SKIP() << "no loop device could be attached";
        ASSERT_TRUE(backend->attach_drive(number, loops.back()->device));
    }
    write_whole_file(at("card.img"), card);
    std::vector<std::string> blocks = shell_blocks("Several cards at once");
    ASSERT_EQ(blocks.size(), 1u);

    for (int number = 1; number <= 3; ++number)
        ASSERT_TRUE(is_loop_over(*loops[number - 1], disks[number - 1]));
    ProgramRun run = run_recipe(blocks[0], {}, 0);
    EXPECT_TRUE(ended_with_status_0(run));
    // Under job control, as in a terminal, a run in the background that waited for a key
    // there would be stopped, and `wait` would say so.
    EXPECT_EQ(run.output.find("stopped"), std::string::npos) << run.output;
    for (int number = 1; number <= 3; ++number) {
        std::string device = read_whole_file(loops[number - 1]->device);
        EXPECT_NE(run.output.find("card " + std::to_string(number) + ": " + SUCCESS + "\n"),
                  std::string::npos)
            << run.output;
        EXPECT_TRUE(same_bytes(device.substr(0, card.size()), card)) << "drive " << number;
    }
}

}  // namespace
