#include <gtest/gtest.h>

#include "resolve_home.hpp"

#include <sys/stat.h>

using namespace kov::test;

namespace {

CommandResult register_cmd(const ResolveHome& home, const std::vector<std::string>& args, const std::string& cwd = "/")
{
    std::vector<std::string> argv{"sh", "-c", "cd \"$0\" && exec \"$@\"", cwd, "env", "HOME=" + home.home(),
                                  program_path(), "--resolve-register"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv);
}

} // namespace

TEST(ResolveRegister, ArgumentErrors)
{
    ResolveHome home;
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string usage = "usage: --resolve-register <add|remove|status> [path]\n";
    const Case cases[] = {
        {{}, usage},
        {{"Add", "/x"}, usage}, // the mode word is case-sensitive
        {{"list"}, usage},
        {{"add"}, "error: path required\n"},
        {{"remove"}, "error: path required\n"},
    };
    for (const auto& c : cases) {
        const auto r = register_cmd(home, c.args);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(ResolveRegister, MissingConfigurationRefusesAndCreatesNothing)
{
    ResolveHome home;
    ASSERT_TRUE(write_text(home.site(), "Site.1.FS.Count = 0\n"));
    for (const char* mode : {"add", "remove"}) {
        const auto r = register_cmd(home, {mode, "/mnt/x"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "error: Resolve config not found (is DaVinci Resolve installed?)\n");
    }
    EXPECT_FALSE(exists(home.iofs()));
    EXPECT_EQ(read_text(home.site()), "Site.1.FS.Count = 0\n");
    EXPECT_FALSE(exists(home.site() + ".kovbak"));
}

TEST(ResolveRegister, StatusListsBothFilesAndMarksMissingOne)
{
    ResolveHome home;
    ASSERT_TRUE(write_text(home.site(), "Site.1.FS.Count = 2\r\nSite.1.FS.4.Root = /a  \r\nSite.1.FS.4.Type = "
                                        "IOFileSys\r\nSite.1.FS.9.Root=/b c\r\nSite.1.FS.Root = /no"));
    auto r = register_cmd(home, {"status", "ignored"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ".config.data:\n  (missing)\nconfig.dat:\n  /a\n  /b c\n");

    ASSERT_TRUE(write_text(home.iofs(), "IoFsNum = 1\nIoFsMount_3 =   /m \nIoFsMappedMount_3 = /n\n"));
    r = register_cmd(home, {"status"});
    EXPECT_EQ(r.out, ".config.data:\n  /m\nconfig.dat:\n  /a\n  /b c\n");
}

TEST(ResolveRegister, AddAndRemoveReportWhatChanged)
{
    ResolveHome home;
    const std::string iofs = "IoFsNum = 1\r\nIoFsMount_1 = /srv/Orvane\r\n";
    ASSERT_TRUE(write_text(home.iofs(), iofs));
    ASSERT_TRUE(write_text(home.site(), "Other = 1"));

    // Listed in one file only: just the other file is rewritten.
    auto r = register_cmd(home, {"add", "/srv/Orvane", "extra"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/srv/Orvane added to Resolve Media Storage.\n");
    EXPECT_EQ(read_text(home.iofs()), iofs);
    EXPECT_FALSE(exists(home.iofs() + ".kovbak"));
    EXPECT_EQ(read_text(home.site()), "Other = 1\nSite.1.FS.Count = 1\nSite.1.FS.1.Type = IOFileSys\n"
                                      "Site.1.FS.1.Root = /srv/Orvane\nSite.1.FS.1.MappedRoot = \n"
                                      "Site.1.FS.1.DIO = 0\nSite.1.FS.1.BrightClip = 0\n");

    r = register_cmd(home, {"add", "/srv/Orvane"});
    EXPECT_EQ(r.out, "/srv/Orvane already present; no change.\n");

    r = register_cmd(home, {"remove", "/srv/Orvane"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/srv/Orvane removed from Resolve Media Storage.\n");
    EXPECT_EQ(read_text(home.iofs()), "IoFsNum = 0\n");
    EXPECT_EQ(read_text(home.iofs() + ".kovbak"), iofs);
    EXPECT_EQ(read_text(home.site()), "Other = 1\nSite.1.FS.Count = 0\n");

    r = register_cmd(home, {"remove", "/srv/Orvane"});
    EXPECT_EQ(r.out, "/srv/Orvane already absent; no change.\n");
}

TEST(ResolveRegister, RelativePathIsMadeAbsoluteAndNothingElse)
{
    ResolveHome home;
    ASSERT_TRUE(write_text(home.iofs(), ""));
    ASSERT_TRUE(write_text(home.site(), ""));
    ASSERT_EQ(::mkdir((home.home() + "/work").c_str(), 0755), 0);
    auto r = register_cmd(home, {"add", "media/../clips/"}, home.home() + "/work");
    const std::string registered = home.home() + "/work/media/../clips/";
    EXPECT_EQ(r.out, registered + " added to Resolve Media Storage.\n");
    r = register_cmd(home, {"status"});
    EXPECT_EQ(r.out, ".config.data:\n  " + registered + "\nconfig.dat:\n  " + registered + "\n");
}

TEST(ResolveRegister, FailedRewriteReportsNoChangeAndKeepsFiles)
{
    ResolveHome home;
    const std::string iofs = "IoFsNum = 0\r\n", site = "Site.1.FS.Count = 0";
    ASSERT_TRUE(write_text(home.iofs(), iofs));
    ASSERT_TRUE(write_text(home.site(), site));
    ASSERT_EQ(::mkdir((home.iofs() + ".kovtmp").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((home.site() + ".kovtmp").c_str(), 0755), 0);
    const auto r = register_cmd(home, {"add", "/mnt/x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/mnt/x already present; no change.\n");
    EXPECT_EQ(read_text(home.iofs()), iofs);
    EXPECT_EQ(read_text(home.site()), site);
}

// A process named exactly "resolve" blocks add and remove. It runs in a PID
// namespace of its own where one is available, so other tests running at the
// same time do not see it.
TEST(ResolveRegister, RunningEditorBlocksChangesButNotStatus)
{
    ResolveHome home;
    ASSERT_TRUE(write_text(home.iofs(), "IoFsNum = 0\n"));
    ASSERT_TRUE(write_text(home.site(), "Site.1.FS.Count = 0\n"));
    const std::string script = R"sh(
        cp "$(command -v sleep)" "$HOME/resolve" || exit 9
        "$HOME/resolve" 60 & fake=$!
        n=0; until pgrep -x resolve >/dev/null; do n=$((n+1)); [ $n -lt 200 ] || exit 8; sleep 0.05; done
        for mode in add remove; do "$0" --resolve-register $mode /mnt/x; echo "status=$?"; done
        "$0" --resolve-register status; echo "status=$?"
        kill $fake
    )sh";
    const bool isolated = run_shell("unshare -pf --mount-proc true >/dev/null 2>&1") == 0;
    std::vector<std::string> argv{"env", "HOME=" + home.home(), "sh", "-c", script, program_path()};
    if (isolated)
        argv.insert(argv.begin(), {"unshare", "-pf", "--mount-proc"});
    const auto r = run_command(argv);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string refused = "error: DaVinci Resolve is running; close it first (it overwrites these files on exit).\n";
    EXPECT_EQ(r.err, refused + refused);
    EXPECT_EQ(r.out, "status=1\nstatus=1\n.config.data:\nconfig.dat:\nstatus=0\n");
    EXPECT_EQ(read_text(home.iofs()), "IoFsNum = 0\n");
    EXPECT_FALSE(exists(home.iofs() + ".kovbak"));
}
