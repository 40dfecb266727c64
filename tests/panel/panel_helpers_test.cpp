// The panel's pure helpers: the manifest lookup, version comparison, the
// status line token lookup, the install command table, the path rules, the
// mount table and share folder checks, and the registration command's answers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "codec_family.h"
#include "mount_check.h"
#include "panel_paths.h"
#include "resolve_answer.h"
#include "support/test_env.hpp"
#include "update_manifest.h"

namespace {

using kov::test::TempDir;

std::string or_none(char* owned)
{
    std::string s = owned != nullptr ? owned : "<none>";
    g_free(owned);
    return s;
}

TEST(JsonStringValue, ReadsTheFirstStringMember)
{
    EXPECT_EQ(or_none(json_string_value("{\"version\": \"2026.11.2\"}", "version")), "2026.11.2");
    EXPECT_EQ(or_none(json_string_value("{\"version\":\t\"1\"}", "version")), "1");
    EXPECT_EQ(or_none(json_string_value("{\"version\":\"\"}", "version")), "");
    EXPECT_EQ(or_none(json_string_value("{\"name\":\"x\",\"version\":\"2\",\"version\":\"3\"}", "version")), "2");
    // The quoted key is found anywhere, also where it is a value.
    EXPECT_EQ(or_none(json_string_value("{\"note\":\"version\",\"x\": \"old\",\"version\":\"9\"}", "version")), "old");
    EXPECT_EQ(or_none(json_string_value("{\"version\"\n: \"1\"}", "version")), "1");
    EXPECT_EQ(or_none(json_string_value("{\"a\":{\"version\":\"7\"},\"version\":\"8\"}", "version")), "7");
}

TEST(JsonStringValue, RejectsWhatIsNotAPlainString)
{
    for (const char* text : {"{\"version\": 2027}", "{\"version\": {\"a\":1}}", "{\"version\":\n\"1\"}",
                             "{\"version\": \"unterminated", "{\"version\" \"1\"}", "{\"versions\": \"1\"}", "{}", ""})
        EXPECT_EQ(or_none(json_string_value(text, "version")), "<none>") << text;
    EXPECT_EQ(json_string_value(nullptr, "version"), nullptr);
}

TEST(VersionCompare, ComparesNumbersComponentByComponent)
{
    struct Case {
        const char* manifest;
        int sign;
    };
    const Case cases[] = {
        {"2026.10.28.1", 1}, {"2026.10.28.0", 0}, {"2026.10.28", 0},  {"2026.9.30", -1},
        {"2027", 1},         {"2026.10.29", 1},   {"2026.10.3", -1},  {"2026.10", -1},
        {"2026.010.028", 0}, {"2026.10.28.x", 0}, {"2026.11beta", 1}, {"", -1},
    };
    for (const Case& c : cases) {
        const int got = version_compare(c.manifest, PANEL_VERSION);
        EXPECT_EQ((got > 0) - (got < 0), c.sign) << c.manifest;
        const int back = version_compare(PANEL_VERSION, c.manifest);
        EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.manifest;
    }
}

TEST(StatusValue, FindsTheKeyedToken)
{
    EXPECT_EQ(or_none(status_value("decoder=none version=2026.10.28", "decoder")), "none");
    EXPECT_EQ(or_none(status_value("decoder=libavcodec.so.59 version=2026.10.28", "decoder")), "libavcodec.so.59");
    EXPECT_EQ(or_none(status_value("decoder=libavcodec.so.59 version=2026.10.28", "version")), "2026.10.28");
    EXPECT_EQ(or_none(status_value("version=1  decoder=x", "decoder")), "x");
    EXPECT_EQ(or_none(status_value("decoder= version=1", "decoder")), "");
    EXPECT_EQ(or_none(status_value("mydecoder=none decoders=none", "decoder")), "<none>");
    EXPECT_EQ(or_none(status_value("decoder\tnone", "decoder")), "<none>");
    EXPECT_EQ(or_none(status_value("", "decoder")), "<none>");
    EXPECT_EQ(status_value(nullptr, "decoder"), nullptr);
}

TEST(CodecHint, NamesTheUndecodableCodecsFoundOrFallsBackToAac)
{
    struct Case {
        const char* status;
        const char* scan;
        const char* subjects; // joined by "+"; "<none>" for no hint
        bool in_shares;
    };
    const Case cases[] = {
        // No scan answer yet, or a service that prints no scan keys.
        {"decoder=none version=1 undecodable=aac,opus", nullptr, "aac", false},
        {"decoder=none version=1", "decoder=none version=1", "aac", false},
        {"decoder=libavcodec.so.61 version=1 undecodable=opus", nullptr, "<none>", false},
        {"version=1", "undecodable=opus present=opus", "<none>", false},
        {nullptr, nullptr, "<none>", false},
        // Only what is both undecodable and present, in the scan's order.
        {"decoder=none", "undecodable=aac,opus,flac present=flac,opus", "flac+opus", true},
        {"decoder=libavcodec.so.61", "undecodable=vorbis present=opus,vorbis", "vorbis", true},
        {"decoder=libavcodec.so.61", "undecodable=vorbis present=opus", "<none>", false},
        {"decoder=libavcodec.so.61", "undecodable=none present=none", "<none>", false},
        {"decoder=none", "undecodable=aac,opus present=none", "aac", false},
        {"decoder=none", "undecodable=aac present=", "aac", false},
    };
    for (const Case& c : cases) {
        gboolean in_shares = TRUE;
        char** subjects = codec_hint_subjects(c.status, c.scan, &in_shares);
        g_autofree char* joined = subjects != nullptr ? g_strjoinv("+", subjects) : nullptr;
        g_strfreev(subjects);
        EXPECT_EQ(joined != nullptr ? std::string(joined) : "<none>", c.subjects) << c.status << " / " << c.scan;
        EXPECT_EQ(bool(in_shares), c.in_shares) << c.status << " / " << c.scan;
    }
}

TEST(CodecHint, TextsWithoutAnInstallCommand)
{
    struct Case {
        std::vector<const char*> codecs;
        bool bound;
        bool in_shares;
        const char* title;
        const char* subtitle;
    };
    const Case cases[] = {
        {{"aac"}, false, false, "No AAC decoder on this system",
         "Install FFmpeg (libavcodec) from your distribution, then restart the service; AAC audio stays silent until "
         "then."},
        {{"opus"}, true, true, "No Opus decoder on this system",
         "Install FFmpeg (libavcodec) with this decoder from your distribution, then restart the service; Opus audio in "
         "your shares stays silent until then."},
        {{"eac3", "alac", "future"}, true, true, "No E-AC-3, ALAC or future decoder on this system",
         "Install FFmpeg (libavcodec) with these decoders from your distribution, then restart the service; E-AC-3, "
         "ALAC and future audio in your shares stays silent until then."},
    };
    for (const Case& c : cases) {
        std::vector<const char*> codecs = c.codecs;
        codecs.push_back(nullptr);
        g_autofree char* title = nullptr;
        g_autofree char* subtitle = nullptr;
        codec_hint_texts(codecs.data(), c.bound, c.in_shares, nullptr, &title, &subtitle);
        EXPECT_STREQ(title, c.title);
        EXPECT_STREQ(subtitle, c.subtitle);
    }
}

TEST(InstallCommand, ChoosesByWholeWordsOfIdAndIdLike)
{
    struct Case {
        const char* os_release;
        const char* command;
    };
    const Case cases[] = {
        {"NAME=\"Ubuntu\"\nID=ubuntu\nID_LIKE=debian\n", "sudo apt install ffmpeg"},
        {"ID=debian\n", "sudo apt install ffmpeg"},
        {"ID=\"rocky\"\nID_LIKE=\"rhel centos fedora\"\n", "sudo dnf install ffmpeg-free-libs"},
        {"ID=\"opensuse-tumbleweed\"\nID_LIKE=\"opensuse suse\"\n", "sudo zypper install ffmpeg"},
        {"ID=linuxmint\nID_LIKE=\"ubuntu debian\"\n", "sudo apt install ffmpeg"},
        {"ID=archarm\n", nullptr},
        {"ID=arch\n", "sudo pacman -S ffmpeg"},
        {"ID=alpine\n", "sudo apk add ffmpeg-libavcodec"},
        {"ID=nixos\n", nullptr},
        {"ID=gentoo\n", nullptr},
        {"NAME=Nothing\n", nullptr},
        {"", nullptr},
        // A later line of the same kind wins; quotes of either kind are not interpreted.
        {"ID=fedora\nID=arch\n", "sudo pacman -S ffmpeg"},
        {"ID='debian'\n", nullptr},
        {"VERSION_ID=12\nID=debian\n", "sudo apt install ffmpeg"},
        // Fedora's row comes first when both families are named.
        {"ID=ubuntu\nID_LIKE=fedora\n", "sudo dnf install ffmpeg-free-libs"},
    };
    for (const Case& c : cases) {
        const char* got = install_command_for_os_release(c.os_release);
        EXPECT_STREQ(got, c.command) << c.os_release;
    }
    EXPECT_EQ(install_command_for_os_release(nullptr), nullptr);
}

// Restores one environment variable when the test ends.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name), old_(g_strdup(g_getenv(name)))
    {
        if (value != nullptr)
            g_setenv(name, value, TRUE);
        else
            g_unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_ != nullptr)
            g_setenv(name_, old_, TRUE);
        else
            g_unsetenv(name_);
        g_free(old_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    char* old_;
};

std::string make_program(const std::string& path, mode_t mode)
{
    EXPECT_TRUE(kov::test::write_text(path, "#!/bin/sh\nexit 0\n"));
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
}

TEST(PanelPaths, ServiceProgramComesFromAppdirThenPathThenHome)
{
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("bin").c_str(), 0755), 0);
    const std::string on_path = make_program(dir.file("bin/kov-orvane"), 0755);
    ScopedEnv path("PATH", dir.file("bin").c_str());
    {
        ScopedEnv appdir("APPDIR", "/opt/app");
        EXPECT_EQ(or_none(panel_service_program()), "/opt/app/usr/bin/kov-orvane");
    }
    {
        ScopedEnv appdir("APPDIR", "");
        EXPECT_EQ(or_none(panel_service_program()), on_path);
    }
    ScopedEnv appdir("APPDIR", nullptr);
    EXPECT_EQ(or_none(panel_service_program()), on_path);
    ScopedEnv empty_path("PATH", dir.file("nothing-here").c_str());
    EXPECT_EQ(or_none(panel_service_program()), std::string(g_get_home_dir()) + "/.local/bin/kov-orvane");
}

TEST(PanelPaths, UpdaterIsAnExecutableAppimageOnly)
{
    TempDir dir;
    const std::string runnable = make_program(dir.file("Kov.AppImage"), 0755);
    const std::string plain = make_program(dir.file("plain.AppImage"), 0644);
    {
        ScopedEnv appimage("APPIMAGE", runnable.c_str());
        EXPECT_EQ(or_none(panel_updater()), runnable);
    }
    for (const char* value : {plain.c_str(), "", "/nonexistent/Kov.AppImage", static_cast<const char*>(nullptr)}) {
        ScopedEnv appimage("APPIMAGE", value);
        EXPECT_EQ(panel_updater(), nullptr) << (value ? value : "(unset)");
    }
}

TEST(PanelPaths, ListAndMountFollowTheUserFolders)
{
    EXPECT_EQ(or_none(panel_list_path()), std::string(g_get_user_config_dir()) + "/kov-orvane/shares.conf");
    EXPECT_EQ(or_none(panel_mount_root()), std::string(g_get_home_dir()) + "/Orvane");
}

TEST(PanelPaths, HomeIsShownAsATildeOnlyForWholeComponents)
{
    const std::string home = g_get_home_dir();
    if (home == "/" || home.empty())
        GTEST_SKIP() << "the home folder is the root";
    const std::pair<std::string, std::string> cases[] = {
        {home, "~"},
        {home + "/", "~/"},
        {home + "/Videos/Interviews", "~/Videos/Interviews"},
        {home + "x/Videos", home + "x/Videos"}, // a neighbour of home, not inside it
        {"/srv" + home, "/srv" + home},
        {"relative/path", "relative/path"},
    };
    for (const auto& [path, shown] : cases)
        EXPECT_EQ(or_none(panel_display_path(path.c_str())), shown) << path;
}

TEST(Mountinfo, FindsTheMountInEffectAtAPoint)
{
    const char* fuse = "fuse.kov-orvane";
    struct Case {
        const char* table;
        const char* point;
        bool live;
    };
    const Case cases[] = {
        {"61 25 0:52 / /home/u/Orvane rw,nosuid shared:30 - fuse.kov-orvane kov-orvane ro\n", "/home/u/Orvane", true},
        // Any number of optional fields before the separator.
        {"61 25 0:52 / /home/u/Orvane rw - fuse.kov-orvane kov-orvane ro", "/home/u/Orvane", true},
        {"61 25 0:52 / /home/u/Orvane rw shared:1 master:2 propagate_from:3 - fuse.kov-orvane k ro", "/home/u/Orvane",
         true},
        // The kernel writes blanks, tabs and backslashes in octal.
        {"61 25 0:52 / /home/Ann\\040Lee/Orvane rw - fuse.kov-orvane k ro", "/home/Ann Lee/Orvane", true},
        {"61 25 0:52 / /home/a\\134b/Orvane rw - fuse.kov-orvane k ro", "/home/a\\b/Orvane", true},
        {"61 25 0:52 / /home/Ann\\040Lee/Orvane rw - fuse.kov-orvane k ro", "/home/Ann\\040Lee/Orvane", false},
        // A later mount on the same point covers the earlier one, and the other way round.
        {"61 25 0:52 / /m rw - fuse.kov-orvane k ro\n70 61 0:60 / /m rw - tmpfs tmpfs rw\n", "/m", false},
        {"70 25 0:60 / /m rw - tmpfs tmpfs rw\n71 70 0:52 / /m rw - fuse.kov-orvane k ro\n", "/m", true},
        {"61 25 0:52 / /m rw - fuse.kov-orvane2 k ro", "/m", false},
        {"61 25 0:52 / /m rw - fuse k ro", "/m", false},
        {"61 25 0:52 / /m/ rw - fuse.kov-orvane k ro", "/m", false},
        {"61 25 0:52 / /mm rw - fuse.kov-orvane k ro", "/m", false},
        // Lines the panel cannot read are no mount.
        {"61 25 0:52 / /m rw fuse.kov-orvane k ro", "/m", false},
        {"61 25 0:52 / /m", "/m", false},
        {"", "/m", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bool(mountinfo_has_mount(c.table, c.point, fuse)), c.live) << c.table << " at " << c.point;
    EXPECT_FALSE(mountinfo_has_mount(nullptr, "/m", fuse));
}

TEST(Mountinfo, TheMountPointIsAlsoFoundWithItsParentsLinksResolved)
{
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(dir.file("real").c_str(), dir.file("home").c_str()), 0);
    ASSERT_TRUE(kov::test::write_text(dir.file("mountinfo"),
                                      "61 25 0:52 / " + dir.file("real/Orvane") + " rw - fuse.kov-orvane k ro\n"));
    EXPECT_TRUE(panel_mount_is_live(dir.file("mountinfo").c_str(), dir.file("home/Orvane").c_str()));
    EXPECT_TRUE(panel_mount_is_live(dir.file("mountinfo").c_str(), dir.file("real/Orvane").c_str()));
    EXPECT_FALSE(panel_mount_is_live(dir.file("mountinfo").c_str(), dir.file("home/Other").c_str()));
    EXPECT_FALSE(panel_mount_is_live(dir.file("no-table").c_str(), dir.file("real/Orvane").c_str()));
}

TEST(ShareFolder, OnlyARealFolderIsUsable)
{
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);
    ASSERT_TRUE(kov::test::write_text(dir.file("file"), "x"));
    ASSERT_EQ(::symlink(dir.file("folder").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
    EXPECT_EQ(share_folder_check(dir.file("folder").c_str()), SHARE_FOLDER_OK);
    EXPECT_EQ(share_folder_check(dir.file("file").c_str()), SHARE_FOLDER_NOT_FOLDER);
    EXPECT_EQ(share_folder_check(dir.file("link").c_str()), SHARE_FOLDER_LINK);
    EXPECT_EQ(share_folder_check(dir.file("dangling").c_str()), SHARE_FOLDER_LINK);
    EXPECT_EQ(share_folder_check(dir.file("gone").c_str()), SHARE_FOLDER_MISSING);
    EXPECT_EQ(share_folder_check("/dev/null"), SHARE_FOLDER_NOT_FOLDER);
}

TEST(ResolveAnswer, StatusListingSaysWhetherThePathIsRegistered)
{
    const char* path = "/home/u/Orvane";
    struct Case {
        const char* output;
        ResolveRegistration registration;
    };
    const Case cases[] = {
        {".config.data:\n  /mnt/media\n  /home/u/Orvane\nconfig.dat:\n  /home/u/Orvane\n", RESOLVE_REGISTERED},
        {".config.data:\nconfig.dat:\n", RESOLVE_NOT_REGISTERED},
        // In one file only: adding completes it.
        {".config.data:\n  /home/u/Orvane\nconfig.dat:\n  /mnt/media\n", RESOLVE_NOT_REGISTERED},
        {".config.data:\nconfig.dat:\n  /home/u/Orvane\n", RESOLVE_NOT_REGISTERED},
        // Only the same bytes count: no trailing slash, no prefix.
        {".config.data:\n  /home/u/Orvane/\nconfig.dat:\n  /home/u/Orvane/\n", RESOLVE_NOT_REGISTERED},
        {".config.data:\n  /home/u/Orvane2\nconfig.dat:\n  /home/u/Orvane2\n", RESOLVE_NOT_REGISTERED},
        {".config.data:\n  (missing)\nconfig.dat:\n  /home/u/Orvane\n", RESOLVE_CONFIG_MISSING},
        {".config.data:\n  /home/u/Orvane\nconfig.dat:\n  (missing)", RESOLVE_CONFIG_MISSING},
        {"", RESOLVE_UNKNOWN},
        {"usage: --resolve-register <add|remove|status> [path]", RESOLVE_UNKNOWN},
        {".config.data:\n  /home/u/Orvane\n", RESOLVE_UNKNOWN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(resolve_registration_from_status(c.output, path), c.registration) << c.output;
    EXPECT_EQ(resolve_registration_from_status(nullptr, path), RESOLVE_UNKNOWN);
}

TEST(ResolveAnswer, ChangeResultFollowsTheExitStatusAndTheDocumentedMessages)
{
    struct Case {
        int status;
        const char* out;
        const char* err;
        ResolveChange change;
        const char* message;
    };
    const Case cases[] = {
        {0, "/h/Orvane added to Resolve Media Storage.\n", "", RESOLVE_CHANGED, nullptr},
        {0, "/h/Orvane removed from Resolve Media Storage.\n", "", RESOLVE_CHANGED, nullptr},
        {0, "/h/Orvane already present; no change.\n", "", RESOLVE_NO_CHANGE, nullptr},
        {0, "/h/Orvane already absent; no change.\n", "", RESOLVE_NO_CHANGE, nullptr},
        {1, "", "error: DaVinci Resolve is running; close it first (it overwrites these files on exit).\n",
         RESOLVE_REFUSED_RUNNING, nullptr},
        {1, "", "error: Resolve config not found (is DaVinci Resolve installed?)\n", RESOLVE_CHANGE_CONFIG_MISSING,
         nullptr},
        // Any other failure: the command's own last line, without its "error: ".
        {1, "", "warning: x\nerror: cannot write /c/config.dat: No space left on device\n\n", RESOLVE_CHANGE_FAILED,
         "cannot write /c/config.dat: No space left on device"},
        {1, "/h/Orvane added to Resolve Media Storage.\n", "restored .config.data from its backup\n",
         RESOLVE_CHANGE_FAILED, "restored .config.data from its backup"},
        {2, "", "", RESOLVE_CHANGE_FAILED, "kov-orvane ended with status 2"},
        {-1, nullptr, nullptr, RESOLVE_CHANGE_FAILED, "kov-orvane could not be run"},
    };
    for (const Case& c : cases) {
        char* message = nullptr;
        EXPECT_EQ(resolve_change_result(c.status, c.out, c.err, &message), c.change) << c.err;
        EXPECT_EQ(or_none(message), c.message != nullptr ? c.message : "<none>") << c.err;
    }
}

} // namespace
