// The command line: run-mode dispatch and usage through the real binary, and
// the mount-mode parser's rules on argument vectors.

#include <cstdlib>

#include <gtest/gtest.h>

#include "cli/mount_settings.hpp"
#include "support/test_env.hpp"

using namespace kov;
using namespace kov::test;

namespace {

std::string usage_for(const std::string& p)
{
    return "Kov Orvane - read-only AAC-rewriting mirror\n"
           "usage: " + p + " <mount-point> [--config <file>] [--share name=path ...] [--writable] [--convert LIST] [FUSE opts]\n"
           "       " + p + " <source-dir> <mount-point> [FUSE opts]   (legacy single-dir)\n"
           "       " + p + " --probe <file.mp4|.mov> [--convert LIST]\n"
           "       " + p + " --emit <in.mp4> <out.mp4> [--convert LIST]\n"
           "       " + p + " --status [--scan] [--config <file>]\n"
           "       " + p + " --version\n"
           "\n"
           "Multi-share mode exposes one mount whose top-level folders are the\n"
           "configured shares. Without --share, shares are read from the config\n"
           "file (default: $XDG_CONFIG_HOME/kov-orvane/shares.conf) and\n"
           "reloaded live on SIGHUP. --convert names the audio codecs rewritten\n"
           "as PCM (default: every one the editor cannot read).\n"
           "example: " + p + " ~/kov-orvane -o allow_root\n";
}

std::optional<MountSettings> parse(std::vector<std::string> args)
{
    std::vector<char*> argv{const_cast<char*>("kov-orvane")};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return parse_mount_settings(static_cast<int>(argv.size() - 1), argv.data(), 1);
}

// Sets or clears an environment variable for one scope.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old, had_ = true;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvVar()
    {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

} // namespace

TEST(CommandLine, UsageErrorsPrintTheUsageText)
{
    const std::string p = program_path();
    const std::vector<std::vector<std::string>> cases{
        {p},                                         // no arguments
        {p, "--probe"},                              // --probe alone is a FUSE option, no mount point
        {p, "--share", "a=/x", "one", "two"},        // shares mode takes exactly one positional
        {p, "a", "b", "c"},                          // three positionals
        {p, "--config", "c.conf"},                   // shares mode without a mount point
    };
    for (const auto& argv : cases) {
        const auto r = run_command(argv);
        EXPECT_EQ(r.status, 2) << argv.back();
        EXPECT_EQ(r.err, usage_for(p)) << argv.back();
        EXPECT_EQ(r.out, "");
    }
}

TEST(CommandLine, VersionIgnoresFurtherArguments)
{
    const auto r = run_command({program_path(), "--version", "--probe", "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2026.10.28\n");
    EXPECT_EQ(r.err, "");
}

TEST(CommandLine, ShareWithoutEqualsSign)
{
    const auto r = run_command({program_path(), "/mnt/x", "--share", "nameonly"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kov-orvane: --share needs name=path\n");
    const auto empty = run_command({program_path(), "/mnt/x", "--share", ""});
    EXPECT_EQ(empty.status, 2);
    EXPECT_EQ(empty.err, "kov-orvane: --share needs name=path\n");
}

TEST(CommandLine, EmitWithOnePathIsAMountCommandLine)
{
    TempDir dir;
    // --emit becomes a FUSE option the library does not know: the run fails, not as a usage error.
    const auto r = run_command({program_path(), "--emit", dir.path()});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.find("usage:"), std::string::npos);
}

TEST(MountSettingsParse, InterleavedOptionsAndPositionals)
{
    const auto s = parse({"-f", "/src", "--writable", "-o", "allow_root", "/mnt", "-d"});
    ASSERT_TRUE(s);
    EXPECT_EQ(s->mode, MountMode::mirror);
    EXPECT_EQ(s->source_dir, "/src");
    EXPECT_EQ(s->mount_point, "/mnt");
    EXPECT_TRUE(s->writable);
    EXPECT_EQ(s->fuse_options, (std::vector<std::string>{"-f", "-o", "allow_root", "-d"}));
    EXPECT_EQ(fuse_argument_list(*s, "prog"), (std::vector<std::string>{"prog", "/mnt", "-f", "-o", "allow_root", "-d"}));

    const auto ro = parse({"rel/src", "rel/mnt", "-o", "x"});
    ASSERT_TRUE(ro);
    EXPECT_EQ(fuse_argument_list(*ro, "k"), (std::vector<std::string>{"k", "rel/mnt", "-oro", "-o", "x"}));
}

// Other users may reach the mount only with the kernel checking the source's
// modes for them; an option list that already asks for it is left alone.
TEST(MountSettingsParse, AllowOtherBringsDefaultPermissions)
{
    const struct {
        std::vector<std::string> options;
        bool added;
    } cases[] = {
        {{"-o", "allow_other"}, true},
        {{"-oallow_other"}, true},
        {{"-o", "noatime,allow_other,fsname=x"}, true},
        {{"-o", "allow_other,default_permissions"}, false},
        {{"-o", "allow_other", "-odefault_permissions"}, false},
        {{"-o", "allow_others"}, false},
        {{"-o", "allow_root"}, false},
        {{"-d"}, false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"/src", "/mnt"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto s = parse(args);
        ASSERT_TRUE(s);
        std::vector<std::string> want{"k", "/mnt", "-oro"};
        want.insert(want.end(), c.options.begin(), c.options.end());
        if (c.added)
            want.emplace_back("-odefault_permissions");
        EXPECT_EQ(fuse_argument_list(*s, "k"), want);
    }
}

TEST(MountSettingsParse, SharesAndConfig)
{
    const auto s = parse({"--share", "Media=/a=b", "/mnt", "--share", "=/empty-name", "--config", "one.conf",
                          "--config", "two.conf"});
    ASSERT_TRUE(s);
    EXPECT_EQ(s->mode, MountMode::shares);
    EXPECT_EQ(s->mount_point, "/mnt");
    EXPECT_EQ(s->config_path, "two.conf"); // the later --config wins
    EXPECT_TRUE(s->config_given);
    EXPECT_TRUE(s->shares_from_command_line);
    ASSERT_EQ(s->shares.size(), 2u);
    EXPECT_EQ(s->shares[0].name, "Media");
    EXPECT_EQ(s->shares[0].path, "/a=b"); // split at the first "="
    EXPECT_TRUE(s->shares[0].enabled);
    EXPECT_EQ(s->shares[1].name, "");
    EXPECT_EQ(s->shares[1].path, "/empty-name");

    // A dangling --config is a FUSE option and does not count as given.
    EnvVar xdg("XDG_CONFIG_HOME", "/xdg");
    const auto dangling = parse({"/src", "/mnt", "--config"});
    ASSERT_TRUE(dangling);
    EXPECT_EQ(dangling->mode, MountMode::mirror);
    EXPECT_FALSE(dangling->config_given);
    EXPECT_EQ(dangling->fuse_options, (std::vector<std::string>{"--config"}));
    const auto share_tail = parse({"/mnt", "--share"});
    ASSERT_TRUE(share_tail);
    EXPECT_EQ(share_tail->mode, MountMode::shares);
    EXPECT_EQ(share_tail->config_path, "/xdg/kov-orvane/shares.conf");

    EXPECT_TRUE(parse({"", "/mnt"})); // an empty argument is a positional
    EXPECT_FALSE(parse({}));
}

TEST(MountSettingsParse, DefaultConfigPath)
{
    struct Case {
        const char* xdg;
        const char* home;
        const char* want;
    };
    const Case cases[] = {
        {"/cfg", "/home/u", "/cfg/kov-orvane/shares.conf"},
        {"", "/home/u", "/home/u/.config/kov-orvane/shares.conf"},
        {nullptr, "/home/u", "/home/u/.config/kov-orvane/shares.conf"},
        {nullptr, "", ""},
        {nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        EnvVar xdg("XDG_CONFIG_HOME", c.xdg);
        EnvVar home("HOME", c.home);
        const auto s = parse({"/mnt"});
        ASSERT_TRUE(s);
        EXPECT_EQ(s->mode, MountMode::shares);
        EXPECT_EQ(s->config_path, c.want);
        // Also computed when the shares come from the command line: reload reads it.
        const auto with_share = parse({"/mnt", "--share", "a=/b"});
        ASSERT_TRUE(with_share);
        EXPECT_EQ(with_share->config_path, c.want);
        // Mirror mode has no config path.
        EXPECT_EQ(parse({"/src", "/mnt"})->config_path, "");
    }
}

// --convert names the codecs converted; a name that is not one, or one this
// build does not convert, stops the program before anything is mounted or read.
TEST(MountSettingsParse, ConvertList)
{
    const auto defaults = parse({"/m"});
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->convert, default_conversions());
    EXPECT_TRUE(defaults->convert.has(Codec::aac));
    EXPECT_FALSE(defaults->convert.has(Codec::ac3));
    EXPECT_FALSE(defaults->convert.has(Codec::mp3));
    EXPECT_FALSE(defaults->convert.has(Codec::pcm));

    const auto only_aac = parse({"--convert", "aac", "/src", "/m"});
    ASSERT_TRUE(only_aac);
    CodecSet aac;
    aac.add(Codec::aac);
    EXPECT_EQ(only_aac->convert, aac);
    EXPECT_EQ(only_aac->positional.size(), 2u);

    const std::string p = program_path();
    const struct {
        std::vector<std::string> argv;
        const char* message;
    } refused[]{
        {{p, "--convert", "aac,wma", "/m"}, "kov-orvane: --convert: unknown codec \"wma\"\n"},
        {{p, "--convert", "aac,", "/m"}, "kov-orvane: --convert: unknown codec \"\"\n"},
        {{p, "--convert", "pcm", "/m"}, "kov-orvane: --convert: converting pcm is not supported\n"},
        {{p, "--probe", "/nonexistent", "--convert", "AAC"}, "kov-orvane: --convert: unknown codec \"AAC\"\n"},
    };
    for (const auto& c : refused) {
        const auto r = run_command(c.argv);
        EXPECT_EQ(r.status, 2) << c.argv[2];
        EXPECT_EQ(r.err, c.message);
    }
}
