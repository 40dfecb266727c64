// The panel's pure helpers: the manifest lookup, version comparison, the
// status line token lookup, the install command table and the path rules.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "codec_family.h"
#include "panel_paths.h"
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

} // namespace
