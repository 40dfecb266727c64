// Names to nodes: one node per source object, inode 1 for the root, nodes
// that go away when the kernel forgets them, reached again by name once their
// descriptors were let go, and the numbers programs see.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <vector>

#include "fs/mirror.hpp"
#include "fs/mirror_state.hpp"
#include "support/test_env.hpp"

namespace kov::test {
namespace {

class InodeTableTest : public ::testing::Test {
protected:
    void use_root(const std::string& path)
    {
        const int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        struct stat st {};
        ASSERT_EQ(::fstatat(fd, "", &st, AT_EMPTY_PATH), 0);
        set_mirror_root(UniqueFd(fd), st.st_dev, st.st_ino);
    }
    void TearDown() override { inode_table().clear(); }
    InodeTable& table() { return inode_table(); }
};

TEST_F(InodeTableTest, HardLinksShareOneNode)
{
    TempDir src;
    write_text(src.file("a.txt"), "same bytes");
    ASSERT_EQ(::link(src.file("a.txt").c_str(), src.file("b.txt").c_str()), 0);
    use_root(src.path());

    fuse_entry_param a{}, b{};
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "a.txt", a), 0);
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "b.txt", b), 0);
    EXPECT_EQ(a.ino, b.ino);
    EXPECT_NE(a.ino, FUSE_ROOT_ID);
    EXPECT_EQ(table().size(), 1u);
    EXPECT_EQ(table().lookup_count(table().node_of(a.ino)), 2u);
    EXPECT_EQ(a.attr.st_size, 10);
    EXPECT_EQ(a.attr_timeout, 1.0);
    EXPECT_EQ(a.entry_timeout, 1.0);
    EXPECT_EQ(a.generation, 0u);
}

TEST_F(InodeTableTest, HardLinkedAacFileSharesOneLayoutUntilItChanges)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    TempDir src;
    ASSERT_TRUE(ffmpeg_make({"-f", "lavfi", "-i", "sine=duration=0.5", "-c:a", "aac"}, src.file("a.m4a")));
    ASSERT_EQ(::link(src.file("a.m4a").c_str(), src.file("b.m4a").c_str()), 0);
    use_root(src.path());
    fuse_entry_param a{}, b{};
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "a.m4a", a), 0);
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "b.m4a", b), 0);
    ASSERT_EQ(a.ino, b.ino);
    MirrorNode& node = *table().node_of(a.ino);
    const auto first = current_layout(node);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(current_layout(node), first); // nothing changed: no new analysis
    EXPECT_EQ(static_cast<std::uint64_t>(a.attr.st_size), first->total_size);

    // A new modification time alone makes the node decide again.
    const timespec times[2] = {{0, UTIME_OMIT}, {1234567890, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, src.file("a.m4a").c_str(), times, 0), 0);
    const auto second = current_layout(node);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->total_size, first->total_size);

    // Cut short, it no longer scans as a complete movie and passes through.
    ASSERT_EQ(::truncate(src.file("a.m4a").c_str(), 100), 0);
    EXPECT_EQ(current_layout(node), nullptr);
    EXPECT_EQ(forms_of(node)->state, LayoutState::pass_through);
}

TEST_F(InodeTableTest, AFileShownUnchangedIsDecidedAgainWhenItBecomesAClip)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    TempDir src;
    ASSERT_TRUE(ffmpeg_make({"-f", "lavfi", "-i", "sine=duration=0.5", "-c:a", "aac"}, src.file("clip.m4a")));
    write_text(src.file("later.m4a"), "not yet a clip");
    use_root(src.path());
    fuse_entry_param e{};
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "later.m4a", e), 0);
    EXPECT_EQ(e.attr.st_size, 14);
    MirrorNode& node = *table().node_of(e.ino);
    // Asked again unchanged (its state may have been let go meanwhile).
    EXPECT_EQ(current_layout(node), nullptr);
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "later.m4a", e), 0);
    EXPECT_EQ(e.attr.st_size, 14);

    // The same file written anew in place: now shown rewritten.
    const auto clip = read_file(src.file("clip.m4a"));
    ASSERT_TRUE(write_file(src.file("later.m4a"), clip));
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "later.m4a", e), 0);
    const auto layout = current_layout(node);
    ASSERT_NE(layout, nullptr);
    EXPECT_EQ(static_cast<std::uint64_t>(e.attr.st_size), layout->total_size);
    EXPECT_GT(layout->total_size, clip.size());
}

TEST_F(InodeTableTest, NameLeadingBackToTheRootAnswersInodeOne)
{
    // ".." of "/" is "/" itself: the same device and inode as the root.
    use_root("/");
    const std::uint64_t before = table().lookup_count(&table().root());
    fuse_entry_param e{};
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "..", e), 0);
    EXPECT_EQ(e.ino, FUSE_ROOT_ID);
    EXPECT_EQ(table().lookup_count(&table().root()), before + 1);
    EXPECT_EQ(table().size(), 0u);
    // The root is never freed, whatever the kernel forgets.
    table().forget_node(&table().root(), 1000);
    EXPECT_EQ(table().lookup_count(&table().root()), before + 1);
}

TEST_F(InodeTableTest, ForgetFreesANodeOnlyWhenItsCountIsUsedUp)
{
    TempDir src;
    write_text(src.file("f"), "x");
    ::mkdir(src.file("d").c_str(), 0755);
    use_root(src.path());

    fuse_entry_param e{};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "f", e), 0);
    MirrorNode* node = table().node_of(e.ino);
    table().forget_node(node, 2);
    EXPECT_EQ(table().size(), 1u);
    EXPECT_EQ(table().lookup_count(node), 1u);
    table().forget_node(node, 5); // more than it holds still frees it
    EXPECT_EQ(table().size(), 0u);

    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "f", e), 0);
    EXPECT_EQ(table().size(), 1u);
    EXPECT_EQ(table().lookup_count(table().node_of(e.ino)), 1u);

    // Nested names resolve against their parent's node.
    fuse_entry_param d{}, missing{};
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "d", d), 0);
    EXPECT_EQ(lookup_entry(d.ino, "nothing", missing), -ENOENT);
    EXPECT_TRUE(S_ISDIR(d.attr.st_mode));
}

TEST_F(InodeTableTest, SymbolicLinksAreHeldAsLinks)
{
    TempDir src;
    ::mkdir(src.file("real").c_str(), 0755);
    ASSERT_EQ(::symlink("real", src.file("alias").c_str()), 0);
    use_root(src.path());
    fuse_entry_param link{}, inside{};
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "alias", link), 0);
    EXPECT_TRUE(S_ISLNK(link.attr.st_mode));
    // Nothing can be looked up through a link node.
    EXPECT_LT(lookup_entry(link.ino, "x", inside), 0);
}

TEST_F(InodeTableTest, NodesAreReachedAgainByNameOnceTheirDescriptorsAreLetGo)
{
    TempDir src;
    ::mkdir(src.file("d").c_str(), 0755);
    write_text(src.file("d/f"), "f");
    write_text(src.file("d/g"), "g");
    write_text(src.file("other"), "other");
    use_root(src.path());
    fuse_entry_param d{}, f{}, g{};
    ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, "d", d), 0);
    ASSERT_EQ(lookup_entry(d.ino, "f", f), 0);
    ASSERT_EQ(lookup_entry(d.ino, "g", g), 0);
    MirrorNode& file = *table().node_of(f.ino);
    struct stat source {}, st{};
    ASSERT_EQ(::stat(src.file("d/f").c_str(), &source), 0);

    // A descriptor lent out stays open while the table lets go of its own.
    HeldFd held;
    ASSERT_EQ(table().descriptor(file, held), 0);
    table().shed_descriptors();
    ASSERT_EQ(stat_fd(held->get(), st), 0);
    EXPECT_EQ(st.st_ino, source.st_ino);
    held.reset();

    struct Case {
        const char* what;
        void (*change)(const TempDir&);
        const char* new_folder_name; // looked up afterwards, as the kernel would
        MirrorNode* node;
        int expected;
    };
    const Case cases[] = {
        {"unchanged", [](const TempDir&) {}, nullptr, &file, 0},
        {"folder renamed, not yet looked up again",
         [](const TempDir& s) { ::rename(s.file("d").c_str(), s.file("e").c_str()); }, nullptr, &file, -ENOENT},
        {"folder looked up under its new name", [](const TempDir&) {}, "e", &file, 0},
        {"name replaced by another file",
         [](const TempDir& s) { ::rename(s.file("other").c_str(), s.file("e/g").c_str()); }, nullptr,
         table().node_of(g.ino), -ESTALE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.change(src);
        if (c.new_folder_name != nullptr) {
            fuse_entry_param again{};
            ASSERT_EQ(lookup_entry(FUSE_ROOT_ID, c.new_folder_name, again), 0);
            EXPECT_EQ(again.ino, d.ino);
        }
        table().shed_descriptors();
        EXPECT_EQ(stat_node(*c.node, st), c.expected);
        if (c.expected == 0) {
            EXPECT_EQ(st.st_ino, source.st_ino);
        }
    }
}

TEST_F(InodeTableTest, NumbersAreUniqueAndStableForEveryDeviceAndInode)
{
    TempDir src;
    use_root(src.path());
    struct stat root {};
    ASSERT_EQ(::stat(src.path().c_str(), &root), 0);
    EXPECT_EQ(table().number_of(root.st_dev, root.st_ino), 1u);

    // Many devices (more than the numbers have room to tell apart by their
    // bits), small and huge inodes, and inode 0.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> objects;
    for (std::uint64_t device = 1; device <= 70; ++device)
        for (const std::uint64_t inode : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{12345},
                                          std::uint64_t{1} << 57, std::uint64_t{1} << 58, UINT64_MAX})
            objects.emplace_back(device, inode);
    std::set<std::uint64_t> seen;
    std::vector<std::uint64_t> first;
    for (const auto& [device, inode] : objects) {
        const std::uint64_t n = table().number_of(device, inode);
        EXPECT_GT(n, 1u) << device << ":" << inode;
        EXPECT_TRUE(seen.insert(n).second) << device << ":" << inode << " got a number already given";
        first.push_back(n);
    }
    for (std::size_t i = 0; i < objects.size(); ++i)
        EXPECT_EQ(table().number_of(objects[i].first, objects[i].second), first[i]);
}

} // namespace
} // namespace kov::test
