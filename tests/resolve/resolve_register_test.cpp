#include <gtest/gtest.h>

#include "resolve_home.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

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

// One key a line: a path that would break a line (or hide in a terminal) is
// refused before either file is touched.
TEST(ResolveRegister, PathWithControlCharacterChangesNothing)
{
    ResolveHome home;
    const std::string iofs = "IoFsNum = 1\nIoFsMount_1 = /srv/a\n", site = "Site.1.FS.Count = 0\n";
    ASSERT_TRUE(write_text(home.iofs(), iofs));
    ASSERT_TRUE(write_text(home.site(), site));
    for (const std::string path : {"/mnt/a\nIoFsNum = 99", "/mnt/a\rb", "/mnt/\tx", "rel\x1b[0m", "/mnt/a\x7f"}) {
        for (const char* mode : {"add", "remove"}) {
            const auto r = register_cmd(home, {mode, path});
            EXPECT_EQ(r.status, 2) << mode << " " << path;
            EXPECT_EQ(r.err, "error: the path holds a control character (such as a newline); nothing changed\n");
            EXPECT_EQ(r.out, "");
        }
    }
    EXPECT_EQ(read_text(home.iofs()), iofs);
    EXPECT_EQ(read_text(home.site()), site);
    EXPECT_FALSE(exists(home.iofs() + ".kovbak"));
    EXPECT_FALSE(exists(home.site() + ".kovbak"));
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

// Hazards of a real home folder: whatever is in the way, the command either
// does the job without touching anything else, or says what failed and exits
// 1 with both files, their owner, mode and links exactly as they were. Each
// run has a time limit, so a hang shows as a failure.
TEST(ResolveRegister, HazardsNeverCostTheOriginalOrPassForSuccess)
{
    const bool root = ::geteuid() == 0;
    const std::string iofs_before = "IoFsNum = 1\nIoFsMount_1 = /srv/a\n", site_before = "Site.1.FS.Count = 0\n";
    struct Hazard {
        const char* what;
        bool needs_root;
        bool done;             // the job can and must be done
        std::function<void(const ResolveHome&)> plant;
        bool as_other_user = false;
    };
    const auto fill_disk = [](const ResolveHome& h) {
        // A small filesystem of its own, almost full: the new backup cannot be written whole.
        ASSERT_EQ(run_shell("mount -t tmpfs -o size=64k kovtest '" + h.dir() + "'"), 0);
        write_text(h.iofs(), "IoFsNum = 1\nIoFsMount_1 = /srv/a\n" + std::string(12000, '#') + "\n");
        write_text(h.iofs() + ".kovbak", "the good backup\n");
        write_text(h.site(), "Site.1.FS.Count = 0\n");
        run_shell("dd if=/dev/zero of='" + h.dir() + "/filler' bs=4096 count=100 2>/dev/null");
    };
    const auto other_owns = [](const ResolveHome& h) {
        for (const auto& f : {h.iofs(), h.site()}) {
            ASSERT_EQ(::chown(f.c_str(), 4242, 4242), 0);
            ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
        }
    };
    const Hazard hazards[] = {
        {"full filesystem", true, false, fill_disk},
        {"hard link planted at .kovtmp", false, true,
         [](const ResolveHome& h) { ::link((h.home() + "/victim").c_str(), (h.site() + ".kovtmp").c_str()); }},
        {"hard link planted at .kovbak", false, true,
         [](const ResolveHome& h) { ::link((h.home() + "/victim").c_str(), (h.iofs() + ".kovbak").c_str()); }},
        {"symbolic link planted at .kovtmp", false, false,
         [](const ResolveHome& h) { ::symlink((h.home() + "/victim").c_str(), (h.iofs() + ".kovtmp").c_str()); }},
        {"FIFO planted at .kovtmp", false, false,
         [](const ResolveHome& h) { ::mkfifo((h.iofs() + ".kovtmp").c_str(), 0600); }},
        {"configuration file is a FIFO", false, false,
         [](const ResolveHome& h) {
             ::unlink(h.site().c_str());
             ::mkfifo(h.site().c_str(), 0600);
         }},
        {"configuration file is a symbolic link", false, true,
         [](const ResolveHome& h) {
             ASSERT_EQ(::rename(h.site().c_str(), (h.home() + "/real-config.dat").c_str()), 0);
             ASSERT_EQ(::symlink((h.home() + "/real-config.dat").c_str(), h.site().c_str()), 0);
         }},
        {"another user's files, edited by root", true, true, other_owns},
        {"key lines of 30,000 digits and blanks", false, true,
         [](const ResolveHome& h) {
             write_text(h.iofs(), "IoFsNum = 1\nIoFsMount_1 = /srv/a\nIoFsMount_" + std::string(30000, '9') + " = /d\n" +
                                      "IoFsMappedMount_1" + std::string(30000, ' ') + "= x\n");
         }},
        {"read-only folder", true, false,
         [](const ResolveHome& h) {
             run_shell("chown -R 4242:4242 '" + h.home() + "' && chmod 0555 '" + h.dir() + "'");
         },
         true},
        {"unreadable file", true, false,
         [](const ResolveHome& h) {
             run_shell("chown -R 4242:4242 '" + h.home() + "' && chmod 0 '" + h.site() + "'");
         },
         true},
        {"second file fails after the first changed", false, false,
         [](const ResolveHome& h) { ::mkdir((h.site() + ".kovtmp").c_str(), 0755); }},
    };
    for (const auto& hz : hazards) {
        SCOPED_TRACE(hz.what);
        if (hz.needs_root && !root) {
            std::printf("skipped (needs root): %s\n", hz.what);
            continue;
        }
        ResolveHome home;
        ASSERT_TRUE(write_text(home.iofs(), iofs_before));
        ASSERT_TRUE(write_text(home.site(), site_before));
        ASSERT_TRUE(write_text(home.home() + "/victim", "precious\n"));
        hz.plant(home);
        struct Snapshot {
            std::string bytes;
            struct stat st {};
            bool link = false;
        };
        const auto snapshot = [&] {
            std::vector<Snapshot> all;
            for (const auto& f : {home.iofs(), home.site(), home.iofs() + ".kovbak"}) {
                Snapshot s;
                struct stat lst {};
                s.link = ::lstat(f.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode);
                ::stat(f.c_str(), &s.st);
                if (S_ISREG(s.st.st_mode) && (s.st.st_mode & 0444))
                    s.bytes = read_text(f);
                all.push_back(s);
            }
            return all;
        };
        const auto before = snapshot();
        std::vector<std::string> argv{"timeout", "10"};
        if (hz.as_other_user)
            argv.insert(argv.end(), {"setpriv", "--reuid=4242", "--regid=4242", "--clear-groups"});
        argv.insert(argv.end(), {"env", "HOME=" + home.home(), program_path(), "--resolve-register", "add", "/mnt/x"});
        const auto r = run_command(argv);
        const auto after = snapshot();
        EXPECT_EQ(read_text(home.home() + "/victim"), "precious\n");
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(after[i].link, before[i].link) << "file " << i;
            EXPECT_EQ(after[i].st.st_uid, before[i].st.st_uid) << "file " << i;
            EXPECT_EQ(after[i].st.st_mode, before[i].st.st_mode) << "file " << i;
        }
        if (hz.done) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, "/mnt/x added to Resolve Media Storage.\n");
            const auto status = run_command({"env", "HOME=" + home.home(), program_path(), "--resolve-register", "status"});
            EXPECT_NE(status.out.find("config.dat:\n  /mnt/x\n"), std::string::npos) << status.out;
            EXPECT_NE(status.out.find("  /srv/a\n"), std::string::npos) << status.out;
        } else {
            EXPECT_EQ(r.status, 1) << r.out << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind("error: " + home.dir(), 0), 0u) << r.err;
            EXPECT_EQ(after[0].bytes, before[0].bytes);
            EXPECT_EQ(after[1].bytes, before[1].bytes);
            if (!before[2].bytes.empty()) { // an earlier backup is never lost
                EXPECT_EQ(after[2].bytes, before[2].bytes);
            }
        }
        run_shell("umount -l '" + home.dir() + "' 2>/dev/null; chmod -R u+rwX '" + home.home() + "'");
    }
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
