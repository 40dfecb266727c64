#include <gtest/gtest.h>

#include "support/mount_harness.hpp"
#include "unit_file.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

extern char** environ;

using namespace kov::test;

namespace {

// Runs the unit's command lines the way the user manager does: %h is the
// home folder, $MAINPID the main process, a leading "-" ignores failure.
class UnitRunner {
public:
    explicit UnitRunner(const std::string& home) : home_(home)
    {
        unit_ = parse_unit(read_text(built_unit_path()));
    }
    ~UnitRunner()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        run_command({"fusermount3", "-uz", mount_point()});
    }
    UnitRunner(const UnitRunner&) = delete;
    UnitRunner& operator=(const UnitRunner&) = delete;

    std::string mount_point() const { return home_ + "/Orvane"; }
    std::string log() const { return home_ + "/service.log"; }
    pid_t pid() const { return pid_; }

    // False when a command without "-" failed.
    bool run(const std::string& key)
    {
        const auto it = unit_.find(key);
        if (it == unit_.end())
            return false;
        for (const auto& line : it->second) {
            const bool may_fail = line.starts_with("-");
            auto argv = expand(may_fail ? line.substr(1) : line);
            argv.insert(argv.begin(), {"env", "HOME=" + home_});
            if (run_command(argv).status != 0 && !may_fail)
                return false;
        }
        return true;
    }

    // ExecStart with this build's program in place of the installed one.
    bool start()
    {
        auto argv = expand(unit_.at("Service.ExecStart").at(0));
        argv[0] = program_path();
        argv.insert(argv.begin(), {"env", "-u", "XDG_CONFIG_HOME", "HOME=" + home_});
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, log().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int rc = ::posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        return rc == 0;
    }

    // Exit status of the main process, or 128 + signal.
    int wait_exit()
    {
        int st = 0;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

private:
    std::vector<std::string> expand(std::string line) const
    {
        for (std::size_t at; (at = line.find("%h")) != std::string::npos;)
            line.replace(at, 2, home_);
        for (std::size_t at; (at = line.find("$MAINPID")) != std::string::npos;)
            line.replace(at, 8, std::to_string(pid_));
        return split_words(line);
    }

    std::string home_;
    UnitEntries unit_;
    pid_t pid_ = -1;
};

bool eventually(const std::function<bool()>& done)
{
    for (int i = 0; i < 200; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

} // namespace

// Start, reload, a crash that leaves a dead mount, a new start, and a stop,
// each through the unit's own command lines.
TEST(UserUnit, CommandLinesMountReloadRecoverAndStop)
{
    KOV_REQUIRE_FUSE();
    ASSERT_TRUE(have_program("fusermount3"));

    TempDir home;
    UnitRunner unit(home.path());
    ASSERT_EQ(run_shell("mkdir -p '" + home.path() + "/.config/kov-orvane' '" + home.path() + "/one' '" +
                        home.path() + "/two' && echo x > '" + home.path() + "/one/a.txt'"),
              0);
    const std::string list = home.path() + "/.config/kov-orvane/shares.conf";
    ASSERT_TRUE(write_text(list, "1\tOne\t" + home.path() + "/one\n"));

    ASSERT_TRUE(unit.run("Service.ExecStartPre"));
    ASSERT_TRUE(unit.start());
    ASSERT_TRUE(eventually([&] { return exists(unit.mount_point() + "/One/a.txt"); })) << read_text(unit.log());

    ASSERT_TRUE(write_text(list, "1\tOne\t" + home.path() + "/one\n1\tTwo\t" + home.path() + "/two\n"));
    ASSERT_TRUE(unit.run("Service.ExecReload"));
    EXPECT_TRUE(eventually([&] { return exists(unit.mount_point() + "/Two"); }));
    EXPECT_TRUE(mounted_at(unit.mount_point()));

    // Both processes killed outright (the service manager's last resort)
    // leave the mount behind with no process serving it. The supervisor is
    // held still first, or it would detach the mount of its dead child.
    const pid_t child = first_child(unit.pid());
    ASSERT_GT(child, 0);
    ASSERT_EQ(::kill(unit.pid(), SIGSTOP), 0);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_EQ(::kill(unit.pid(), SIGKILL), 0);
    EXPECT_EQ(unit.wait_exit(), 128 + SIGKILL);
    EXPECT_TRUE(eventually([&] { return process_ended(child); }));
    struct stat st {};
    EXPECT_NE(::stat(unit.mount_point().c_str(), &st), 0);
    EXPECT_EQ(errno, ENOTCONN);
    // The next start clears it on its own, even without the stop clean-up.
    ASSERT_TRUE(unit.run("Service.ExecStartPre"));
    EXPECT_FALSE(mounted_at(unit.mount_point()));
    ASSERT_TRUE(unit.start());
    ASSERT_TRUE(eventually([&] { return exists(unit.mount_point() + "/Two"); }));

    // Stopping sends SIGTERM; the program unmounts and exits cleanly.
    ASSERT_EQ(::kill(unit.pid(), SIGTERM), 0);
    EXPECT_EQ(unit.wait_exit(), 0);
    EXPECT_FALSE(mounted_at(unit.mount_point()));
    EXPECT_TRUE(unit.run("Service.ExecStopPost"));
}
