#include <gtest/gtest.h>

#include "unit_file.hpp"

#include <sys/stat.h>

using namespace kov::test;

namespace {

std::string unit_text()
{
    return read_text(built_unit_path());
}

// The unit as installed, except that ExecStart names the program of this
// build, since systemd-analyze insists that the program exists.
std::string unit_for_this_build()
{
    std::string text = unit_text();
    const auto at = text.find("\nExecStart=");
    if (at == std::string::npos)
        return text;
    const auto begin = at + 11, end = text.find(' ', begin);
    return text.replace(begin, end - begin, program_path());
}

} // namespace

TEST(UserUnit, ServesSharesAtHomeOrvaneAndReloadsWithHangup)
{
    const auto unit = parse_unit(unit_text());
    ASSERT_FALSE(unit.empty()) << built_unit_path();
    const auto one = [&](const std::string& key) {
        const auto it = unit.find(key);
        return it != unit.end() && it->second.size() == 1 ? it->second[0] : std::string("<not once>");
    };
    EXPECT_EQ(one("Service.Type"), "simple");

    // Shares mode: one positional argument, the mount point, and nothing that
    // would bypass the share list the panel writes.
    const auto start = split_words(one("Service.ExecStart"));
    ASSERT_EQ(start.size(), 2u) << one("Service.ExecStart");
    EXPECT_EQ(start[0].front(), '/');
    EXPECT_TRUE(start[0].ends_with("/bin/kov-orvane")) << start[0];
    EXPECT_EQ(start[1], "%h/Orvane");

    EXPECT_EQ(one("Service.ExecReload"), "kill -HUP $MAINPID");
    // A stale mount left by a crash is cleared before the folder is made.
    EXPECT_EQ(unit.at("Service.ExecStartPre"),
              (std::vector<std::string>{"-fusermount3 -uz %h/Orvane", "mkdir -p %h/Orvane"}));
    EXPECT_EQ(one("Service.ExecStopPost"), "-fusermount3 -uz %h/Orvane");
    EXPECT_EQ(one("Service.Restart"), "on-failure");
    EXPECT_EQ(unit.count("Service.KillSignal"), 0u); // the default SIGTERM ends the loop cleanly
    EXPECT_EQ(one("Install.WantedBy"), "default.target");
}

TEST(UserUnit, PassesSystemdAnalyzeVerify)
{
    if (!have_program("systemd-analyze"))
        GTEST_FAIL() << "systemd-analyze is missing (package systemd)";
    TempDir dir;
    const std::string unit = dir.file("kov-orvane.service");
    ASSERT_TRUE(write_text(unit, unit_for_this_build()));
    // Documentation=man:kov-orvane(1) is checked too: serve our own page.
    ASSERT_EQ(::mkdir(dir.file("man1").c_str(), 0755), 0);
    ASSERT_EQ(run_shell("cp '" KOV_SOURCE_DIR "/doc/kov-orvane.1' '" + dir.file("man1") + "/'"), 0);
    ASSERT_EQ(::mkdir(dir.file("run").c_str(), 0700), 0);

    const auto r = run_command({"env", "HOME=" + dir.path(), "XDG_RUNTIME_DIR=" + dir.file("run"),
                                "MANPATH=" + dir.path(), "systemd-analyze", "--user", "verify", unit});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");

    // The check is real: a unit whose program is missing fails it.
    std::string broken = unit_for_this_build();
    broken.replace(broken.find(program_path()), program_path().size(), dir.file("no-such-program"));
    ASSERT_TRUE(write_text(unit, broken));
    const auto bad = run_command({"env", "HOME=" + dir.path(), "XDG_RUNTIME_DIR=" + dir.file("run"),
                                  "MANPATH=" + dir.path(), "systemd-analyze", "--user", "verify", unit});
    EXPECT_NE(bad.status, 0);
}
