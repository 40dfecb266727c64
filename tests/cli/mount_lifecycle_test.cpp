#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/mount_harness.hpp"
#include "support/test_env.hpp"

using namespace kov::test;

namespace {

// One source folder with one file, and a mount point.
struct MirrorFixture : MountFolders {
    std::string src = add_source("src", "note.txt", "hello through the mount\n");
};

struct StopCase {
    const char* name;
    bool shares;
    int sig;
    std::vector<std::string> extra; // FUSE options
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class MountStop : public ::testing::TestWithParam<StopCase> {};

// The limit line of /proc/<pid>/limits for open files: {soft, hard}.
std::pair<std::string, std::string> open_file_limits(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream fields(line.substr(14));
            std::string soft, hard;
            fields >> soft >> hard;
            return {soft, hard};
        }
    }
    return {};
}

} // namespace

TEST_P(MountStop, EndsCleanlyWithStatusZero)
{
    KOV_REQUIRE_FUSE();
    const StopCase& c = GetParam();
    MirrorFixture f;
    std::vector<std::string> args = c.extra;
    if (c.shares) {
        args.insert(args.end(), {"--share", "s=" + f.src, "--config", f.dir.file("none.conf"), f.mnt});
    } else {
        args.insert(args.end(), {f.src, f.mnt});
    }
    ServiceProcess svc(args, f.mnt);
    ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
    const std::string file = c.shares ? f.mnt + "/s/note.txt" : f.mnt + "/note.txt";
    EXPECT_EQ(read_file(file), read_file(f.src + "/note.txt"));

    // Servers raise their descriptor limit: every node known to the kernel holds one.
    const auto limits = open_file_limits(svc.pid());
    EXPECT_FALSE(limits.first.empty());
    EXPECT_EQ(limits.first, limits.second);

    svc.signal(c.sig);
    EXPECT_EQ(svc.wait_exit(), 0) << svc.err();
    EXPECT_FALSE(mounted_at(f.mnt));
    EXPECT_EQ(svc.err().find("reloaded"), std::string::npos) << svc.err();
}

INSTANTIATE_TEST_SUITE_P(Signals, MountStop,
                         ::testing::Values(StopCase{"MirrorSigint", false, SIGINT, {}},
                                           StopCase{"MirrorSigterm", false, SIGTERM, {}},
                                           StopCase{"MirrorSighup", false, SIGHUP, {}},
                                           StopCase{"MirrorSingleThreadSigterm", false, SIGTERM, {"-s"}},
                                           StopCase{"SharesSigint", true, SIGINT, {}},
                                           StopCase{"SharesSigterm", true, SIGTERM, {}},
                                           StopCase{"SharesCloneFdSigterm", true, SIGTERM, {"-o", "clone_fd"}}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(MountLifecycle, MirrorStartupLinesAndExternalUnmount)
{
    KOV_REQUIRE_FUSE();
    MirrorFixture f;
    ServiceProcess svc({f.src, f.mnt}, f.mnt);
    ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
    ASSERT_TRUE(svc.wait_for_err("kov-orvane: mirroring '" + f.src + "' at '" + f.mnt + "' (read-only)\n"))
        << svc.err();
    const std::string& err = svc.err();
    EXPECT_TRUE(err.find("kov-orvane: AAC decoder: ") != std::string::npos ||
                err.find("kov-orvane: no system libavcodec found; AAC audio will be silent (install ffmpeg / "
                         "libavcodec)\n") != std::string::npos)
        << err;
    auto names = list_dir(f.mnt);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "note.txt"}));

    // Someone else unmounting ends the service as a normal stop.
    const auto r = run_command({"fusermount3", "-u", f.mnt});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(svc.wait_exit(), 0) << svc.err();
}

namespace {

bool ended_within_5s(pid_t pid)
{
    for (int i = 0; i < 100; ++i) {
        if (process_ended(pid))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

} // namespace

// The started process supervises the one that serves; whichever of them is
// killed outright, the mount goes with it rather than staying behind dead.
TEST(MountLifecycle, KillingEitherProcessTakesTheMountAlong)
{
    KOV_REQUIRE_FUSE();
    for (const bool kill_supervisor : {false, true}) {
        SCOPED_TRACE(kill_supervisor ? "supervisor killed" : "serving process killed");
        MirrorFixture f;
        ServiceProcess svc({f.src, f.mnt}, f.mnt);
        ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
        const pid_t child = first_child(svc.pid());
        ASSERT_GT(child, 0);
        ::kill(kill_supervisor ? svc.pid() : child, SIGKILL);
        EXPECT_EQ(svc.wait_exit(std::chrono::seconds(5)), 128 + SIGKILL) << svc.err();
        EXPECT_TRUE(ended_within_5s(child));
        EXPECT_FALSE(mounted_at(f.mnt));
    }
}

TEST(MountLifecycle, StartupFailuresExitOneAndLeaveNothingMounted)
{
    KOV_REQUIRE_FUSE();
    MirrorFixture f;
    const std::string regular = f.src + "/note.txt";
    struct Case {
        std::vector<std::string> args;
        std::string mount_point;
        std::string message; // empty: the wording is libfuse's own
    } cases[] = {
        {{regular, f.mnt}, f.mnt, "kov-orvane: cannot open source '" + regular + "': " + strerror(ENOTDIR) + "\n"},
        {{f.dir.file("missing"), f.mnt},
         f.mnt,
         "kov-orvane: cannot open source '" + f.dir.file("missing") + "': " + strerror(ENOENT) + "\n"},
        {{f.src, f.dir.file("no-mount-point")}, f.dir.file("no-mount-point"), ""},
        {{f.src, f.mnt, "-o", "no_such_fuse_option"}, f.mnt, ""},
    };
    for (const auto& c : cases) {
        ServiceProcess svc(c.args, c.mount_point);
        EXPECT_EQ(svc.wait_exit(), 1) << c.args[0] << " " << c.args[1] << "\n" << svc.err();
        if (!c.message.empty()) {
            EXPECT_EQ(svc.err(), c.message);
        }
        EXPECT_FALSE(mounted_at(c.mount_point));
    }
    EXPECT_FALSE(mounted_at(f.mnt));
}

TEST(MountLifecycle, FailedMountInSharesModeStopsTheReloadThreadAndExitsOne)
{
    KOV_REQUIRE_FUSE();
    if (run_command({"unshare", "-m", "true"}).status != 0)
        GTEST_SKIP() << "cannot make a private mount namespace here (unshare -m)";
    MirrorFixture f;
    // In a mount namespace of its own, /dev/fuse is replaced by /dev/null: the
    // session and the reload thread exist, then the mount itself fails.
    const std::string script = "mount --bind /dev/null /dev/fuse || exit 99; exec \"$0\" \"$@\"";
    const auto r = run_command({"timeout", "60", "unshare", "-m", "sh", "-c", script, program_path(), "--share",
                                "s=" + f.src, "--config", f.dir.file("none.conf"), f.mnt});
    if (r.status == 99)
        GTEST_SKIP() << "cannot make a private mount namespace here";
    EXPECT_EQ(r.status, 1) << r.err; // 124 would mean the process hung on its reload thread
    EXPECT_NE(r.err.find("kov-orvane: 1 active share"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("serving shares"), std::string::npos) << r.err;
    EXPECT_FALSE(mounted_at(f.mnt));
}

TEST(MountLifecycle, WithoutLibavcodecAacAudioIsSilence)
{
    KOV_REQUIRE_FUSE();
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is missing";
    if (run_command({"unshare", "-m", "true"}).status != 0)
        GTEST_SKIP() << "cannot make a private mount namespace here (unshare -m)";
    MirrorFixture f;
    ASSERT_TRUE(
        ffmpeg_make({"-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-c:a", "aac", "-ar", "48000", "-ac", "2"},
                    f.src + "/clip.mp4"));
    const std::string copy = f.dir.file("copy.mp4");
    // In a mount namespace of its own every libavcodec file reads as empty, so
    // nothing can be bound; the mount must still work and serve silence.
    const std::string script = R"(
        for lib in $(ls /usr/lib/*/libavcodec.so* /usr/lib/libavcodec.so* /lib/*/libavcodec.so* 2>/dev/null); do
            [ -L "$lib" ] || mount --bind /dev/null "$lib" || exit 99
        done
        prog=$0 src=$1 mnt=$2 copy=$3
        "$prog" "$src" "$mnt" &
        pid=$!
        i=0
        until grep -q " $mnt " /proc/self/mountinfo; do
            i=$((i + 1)); [ $i -gt 400 ] && { kill -KILL $pid; exit 98; }; sleep 0.05
        done
        cp "$mnt/clip.mp4" "$copy"
        kill -TERM $pid
        wait $pid
    )";
    const auto r =
        run_command({"timeout", "120", "unshare", "-m", "sh", "-c", script, program_path(), f.src, f.mnt, copy});
    if (r.status == 99)
        GTEST_SKIP() << "cannot hide libavcodec here";
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("kov-orvane: no system libavcodec found; AAC audio will be silent (install ffmpeg / "
                         "libavcodec)\n"),
              std::string::npos)
        << r.err;

    // ffmpeg, the independent reader, sees 16-bit PCM that is all zeros.
    const auto probe = run_command({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                                    "stream=codec_name", "-of", "csv=p=0", copy});
    EXPECT_EQ(probe.out, "pcm_s16le\n") << probe.err;
    const auto pcm = run_command({"ffmpeg", "-v", "error", "-i", copy, "-map", "0:a", "-f", "s16le", "-"});
    ASSERT_EQ(pcm.status, 0) << pcm.err;
    ASSERT_GT(pcm.out.size(), 48000u * 4 / 2);
    EXPECT_EQ(pcm.out.find_first_not_of('\0'), std::string::npos);
}
