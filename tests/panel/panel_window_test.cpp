// The real panel window under Xvfb, driven from inside through GTK by its
// self-test build, against stand-ins: a systemctl that records its arguments
// and answers is-active from a state file, a kov-orvane that prints a chosen
// status line and answers the registration command, an updater, and an HTTP
// server for the update manifest.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_env.hpp"

namespace {

using kov::test::TempDir;
using kov::test::write_text;

constexpr const char* header = "# kov-orvane shares\n"
                               "# one share per line, tab-separated: <enabled 0|1>\\t<name>\\t<path>\n";

std::string path_env()
{
    const char* path = std::getenv("PATH");
    return path != nullptr ? path : "/usr/bin:/bin";
}

// Answers every request on 127.0.0.1 with one fixed status and body.
class ManifestServer {
  public:
    ManifestServer(int status, std::string body) : status_(status), body_(std::move(body))
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ManifestServer()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    ManifestServer(const ManifestServer&) = delete;
    ManifestServer& operator=(const ManifestServer&) = delete;

    bool ok() const { return port_ != 0; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/orvane/latest.json"; }
    std::vector<std::string> request_lines() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    void serve()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
                pollfd c{client, POLLIN, 0};
                if (::poll(&c, 1, 2000) <= 0)
                    break;
                const ssize_t n = ::read(client, buf, sizeof buf);
                if (n <= 0)
                    break;
                request.append(buf, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request.substr(0, request.find("\r\n")));
            }
            const std::string reply =
                "HTTP/1.1 " + std::to_string(status_) + " Answer\r\nContent-Type: application/json\r\n" +
                "Content-Length: " + std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
            (void)!::write(client, reply.data(), reply.size());
            ::close(client);
        }
    }

    int status_;
    std::string body_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_; // guards requests_
    std::vector<std::string> requests_;
};

struct PanelRun {
    int status = -1;
    std::string out;
    std::string err;
};

class PanelWindow : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!kov::test::have_program("xvfb-run"))
            GTEST_SKIP() << "xvfb-run is not installed";
        for (const char* sub : {"bin", "home", "config", "appdir", "appdir/usr", "appdir/usr/bin", "pics"})
            ASSERT_EQ(::mkdir(dir_.file(sub).c_str(), 0755), 0) << sub;
        // start mounts the service at ~/Orvane in the fake mount table, as the
        // real unit does; stop takes it away.
        script("bin/systemctl", "echo \"$*\" >> '" + dir_.file("systemctl.log") +
                                    "'\n"
                                    "case \"$2\" in\n"
                                    "  is-active) cat '" +
                                    dir_.file("state") +
                                    "' ;;\n"
                                    "  start) [ -e '" +
                                    dir_.file("start-fails") + "' ] || { echo active > '" + dir_.file("state") +
                                    "'; echo '" + mount_line() + "' > '" + dir_.file("mountinfo") +
                                    "'; } ;;\n"
                                    "  stop) echo inactive > '" +
                                    dir_.file("state") + "'; : > '" + dir_.file("mountinfo") +
                                    "' ;;\n"
                                    "esac\n");
        ASSERT_EQ(::symlink(KOV_PANEL_STANDIN, dir_.file("appdir/usr/bin/kov-orvane").c_str()), 0);
        script("updater", "echo \"$*\" > '" + dir_.file("updater.args") + "'\n" + "sleep 1\n" + ". '" +
                              dir_.file("updater.sh") + "'\n");
        set_state("inactive");
        set_status_line("decoder=libavcodec.so.59 version=2026.10.28");
        set_updater("exit 0\n");
        set_resolve("ok", "");
        ASSERT_TRUE(write_text(dir_.file("mountinfo"), ""));
    }

    std::string root() const { return dir_.file("home/Orvane"); }
    // The kernel's line for a live mount of the service at ~/Orvane.
    std::string mount_line() const
    {
        return "61 25 0:52 / " + root() + " rw,nosuid,nodev,relatime shared:30 - fuse.kov-orvane kov-orvane ro";
    }
    void set_resolve(const std::string& which, const std::string& listed)
    {
        ASSERT_TRUE(write_text(dir_.file("resolve-case"), which + "\n"));
        ASSERT_TRUE(write_text(dir_.file("resolve-listed"), listed.empty() ? "" : listed + "\n"));
    }

    void script(const std::string& name, const std::string& body)
    {
        ASSERT_TRUE(write_text(dir_.file(name), "#!/bin/sh\n" + body));
        ASSERT_EQ(::chmod(dir_.file(name).c_str(), 0755), 0);
    }
    void set_state(const std::string& state) { ASSERT_TRUE(write_text(dir_.file("state"), state + "\n")); }
    void set_status_line(const std::string& line) { ASSERT_TRUE(write_text(dir_.file("status-line"), line + "\n")); }
    void set_updater(const std::string& body) { ASSERT_TRUE(write_text(dir_.file("updater.sh"), body)); }
    void set_os_release(const std::string& content) { ASSERT_TRUE(write_text(dir_.file("os-release"), content)); }
    void set_shares(const std::string& content)
    {
        ASSERT_EQ(::mkdir(dir_.file("config/kov-orvane").c_str(), 0755), 0);
        ASSERT_TRUE(write_text(conf_path(), content));
    }
    std::string conf_path() const { return dir_.file("config/kov-orvane/shares.conf"); }
    std::string systemctl_log() const { return kov::test::read_text(dir_.file("systemctl.log")); }

    // Runs the self-test panel with the given steps; env entries are NAME=value.
    PanelRun run(const std::vector<std::string>& steps, const std::vector<std::string>& env = {})
    {
        // Spread concurrent test processes over distinct display numbers.
        const std::string display_base = std::to_string(200 + ::getpid() % 700);
        std::vector<std::string> argv = {
            "xvfb-run", "-a", "-n", display_base, "-s", "-screen 0 1024x768x24", "env", "-u", "APPIMAGE", "-u",
            "KOV_SELFTEST_UPDATE_URL", "PATH=" + dir_.file("bin") + ":" + path_env(), "HOME=" + dir_.file("home"),
            "XDG_CONFIG_HOME=" + dir_.file("config"), "APPDIR=" + dir_.file("appdir"),
            "KOV_SELFTEST_OS_RELEASE=" + dir_.file("os-release"), "KOV_SELFTEST_MOUNTINFO=" + dir_.file("mountinfo"),
            "KOV_STANDIN_DIR=" + dir_.path(),
            "GSK_RENDERER=cairo", "GTK_A11Y=none",
            "GSETTINGS_BACKEND=memory", "G_DEBUG=fatal-criticals", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
            // GTK and fontconfig keep caches for the life of the process.
            "ASAN_OPTIONS=detect_leaks=0"};
        argv.insert(argv.end(), env.begin(), env.end());
        argv.push_back(KOV_PANEL_SELFTEST);
        argv.insert(argv.end(), steps.begin(), steps.end());
        const kov::test::CommandResult r = kov::test::run_command(argv);
        return {r.status, r.out, r.err};
    }

    PanelRun run_ok(const std::vector<std::string>& steps, const std::vector<std::string>& env = {})
    {
        PanelRun r = run(steps, env);
        EXPECT_EQ(r.status, 0) << "stdout:\n" << r.out << "\nstderr:\n" << r.err;
        return r;
    }

    TempDir dir_;
};

// The text of one group in a dump, from its "group" line to the next one.
std::string group_text(const std::string& dump, const std::string& title)
{
    const std::size_t at = dump.find("group \"" + title + "\"");
    if (at == std::string::npos)
        return {};
    const std::size_t next = dump.find("\ngroup ", at + 1);
    const std::size_t end = dump.find("\nend", at + 1);
    return dump.substr(at, std::min(next, end) - at);
}

// Each "dump" step's output, in order.
std::vector<std::string> dumps(const std::string& out)
{
    std::vector<std::string> found;
    for (std::size_t at = out.find("window \""); at != std::string::npos;) {
        const std::size_t end = out.find("\nend\n", at);
        found.push_back(out.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? end : out.find("window \"", end);
    }
    return found;
}

bool contains(const std::string& haystack, const std::string& needle)
{
    return haystack.find(needle) != std::string::npos;
}

TEST_F(PanelWindow, OpensWithItsFiveGroupsAndPresentsTheSameWindowAgain)
{
    const PanelRun r = run_ok({"dump", "activate"});
    const std::string& out = r.out;
    EXPECT_TRUE(contains(out, "window \"Kov Orvane\" 560x640")) << out;

    const std::size_t service =
        out.find("group \"Service\" visible description \"Don’t toggle while DaVinci Resolve is running.\"");
    const std::size_t update = out.find("group \"Update\" hidden");
    const std::size_t resolve = out.find("group \"DaVinci Resolve\" visible");
    const std::size_t shares = out.find("group \"Shares\" visible");
    const std::size_t decoder = out.find("group \"Audio decoding\" hidden");
    ASSERT_NE(service, std::string::npos) << out;
    ASSERT_NE(update, std::string::npos) << out;
    ASSERT_NE(resolve, std::string::npos) << out;
    ASSERT_NE(shares, std::string::npos) << out;
    ASSERT_NE(decoder, std::string::npos) << out;
    EXPECT_TRUE(service < update && update < resolve && resolve < shares && shares < decoder) << out;

    const std::string service_group = group_text(out, "Service");
    EXPECT_TRUE(contains(service_group, "row \"Kov Orvane\" subtitle \"Stopped · version 2026.10.28\""))
        << service_group;
    EXPECT_TRUE(contains(service_group,
                         "image icon=dialog-warning-symbolic tooltip=\"Don’t toggle while DaVinci Resolve is "
                         "running\" valign=center class=warning\n    switch active=0 state=0 valign=center"))
        << service_group;

    const std::string update_group = group_text(out, "Update");
    EXPECT_TRUE(contains(update_group, "image icon=software-update-available-symbolic")) << update_group;
    EXPECT_TRUE(contains(update_group, "label=\"Update now\" sensitive=1 valign=center class=suggested-action"))
        << update_group;

    const std::string shares_group = group_text(out, "Shares");
    EXPECT_TRUE(contains(
        shares_group,
        "header button icon=list-add-symbolic label=\"\" sensitive=1 tooltip=\"Add folder\" valign=center class=flat"))
        << shares_group;
    EXPECT_TRUE(contains(shares_group, "row \"No shares yet\" subtitle \"Use + to add a folder.\"")) << shares_group;
    EXPECT_TRUE(
        contains(shares_group, "row \"In DaVinci Resolve, import from\" subtitle \"~/Orvane\""))
        << shares_group;
    EXPECT_TRUE(contains(shares_group, "image icon=folder-symbolic\n    button icon= label=\"Open\" sensitive=1 valign=center\n"
                                       "    button icon=edit-copy-symbolic label=\"\" "
                                       "sensitive=1 tooltip=\"Copy path\" valign=center class=flat"))
        << shares_group;

    // A decoder is bound: the last group has no rows.
    EXPECT_FALSE(contains(group_text(out, "Audio decoding"), "row ")) << out;

    // A second activation only presents the window: one window, one state query.
    EXPECT_TRUE(contains(out, "windows 1\n")) << out;
    EXPECT_EQ(systemctl_log(), "--user is-active kov-orvane.service\n");
}

TEST_F(PanelWindow, AddingAFolderWritesTheFileAndReloadsARunningService)
{
    set_state("active");
    set_shares("# kept? no\n0\tOff\t/off\ntrue\tpics\t/p\n1\tbad\tline\textra\n");
    const PanelRun r = run_ok({"add", dir_.file("pics"), "-", "toast", "dump", "click", "Copy path", "clipboard"});

    EXPECT_TRUE(contains(r.out, "dialog label \"Name this folder\"\ndialog label \"" + dir_.file("pics") + "\""))
        << r.out;
    EXPECT_TRUE(contains(r.out, "suggested \"pics-2\"")) << r.out;
    EXPECT_TRUE(contains(r.out, "toast \"Added “pics-2”\"")) << r.out;
    EXPECT_EQ(kov::test::read_text(conf_path()),
              std::string(header) + "0\tOff\t/off\n1\tpics\t/p\n1\tpics-2\t" + dir_.file("pics") + "\n");
    EXPECT_EQ(systemctl_log(), "--user is-active kov-orvane.service\n" // the window's first refresh
                               "--user is-active kov-orvane.service\n"
                               "--user reload kov-orvane.service\n");

    const std::string shares = group_text(r.out, "Shares");
    EXPECT_FALSE(contains(shares, "No shares yet")) << shares;
    const std::size_t off =
        shares.find("row \"Off\" subtitle \"/off\nFolder not found — left out of ~/Orvane\"");
    const std::size_t added =
        shares.find("row \"pics-2\" subtitle \"" + dir_.file("pics") + "\nmounts at ~/Orvane/pics-2\"");
    const std::size_t import = shares.find("row \"In DaVinci Resolve, import from\"");
    EXPECT_TRUE(off != std::string::npos && added != std::string::npos && off < added && added < import) << shares;
    EXPECT_TRUE(contains(shares, "<span alpha='55%'>mounts at ")) << shares;
    EXPECT_TRUE(contains(
        shares, "button icon=user-trash-symbolic label=\"\" sensitive=1 tooltip=\"Remove\" valign=center class=flat"))
        << shares;
    EXPECT_TRUE(contains(r.out, "clipboard \"" + dir_.file("home/Orvane") + "\"")) << r.out;
}

TEST_F(PanelWindow, WithTheServiceStoppedAddOnlyWritesTheFileAndCancelWritesNothing)
{
    const PanelRun r = run_ok({"add-cancel", dir_.file("pics"), "add", dir_.file("pics"), "  my/pics\t", "toast"});
    EXPECT_TRUE(contains(r.out, "toast \"Added “my-pics”\"")) << r.out;
    EXPECT_EQ(kov::test::read_text(conf_path()), std::string(header) + "1\tmy-pics\t" + dir_.file("pics") + "\n");
    EXPECT_EQ(systemctl_log(), "--user is-active kov-orvane.service\n--user is-active kov-orvane.service\n");
}

TEST_F(PanelWindow, AFailedWriteIsReportedAndNoReloadIsAsked)
{
    set_state("active");
    ASSERT_TRUE(write_text(dir_.file("config/kov-orvane"), "a file where the folder belongs"));
    const PanelRun r = run_ok({"add", dir_.file("pics"), "-", "toast", "dump"});
    EXPECT_TRUE(
        contains(r.out, "toast \"Couldn’t save the share list: Cannot create " + dir_.file("config/kov-orvane") + ": "))
        << r.out;
    EXPECT_EQ(systemctl_log(), "--user is-active kov-orvane.service\n");
    // The panel's list keeps the change, so a later successful write carries it.
    EXPECT_TRUE(contains(group_text(r.out, "Shares"), "row \"pics\"")) << r.out;
}

TEST_F(PanelWindow, NamesAreShownLiterallyAndRemovingTheLastShareBringsBackTheEmptyRow)
{
    set_state("active");
    ASSERT_EQ(::mkdir(dir_.file("home/A&B").c_str(), 0755), 0);
    set_shares(std::string(header) + "1\tA&B <x>\t" + dir_.file("home/A&B") + "\n");
    const PanelRun r = run_ok({"dump", "remove", "A&amp;B &lt;x&gt;", "toast", "dump"});
    const std::vector<std::string> shown = dumps(r.out);
    ASSERT_EQ(shown.size(), 2u) << r.out;
    const std::string before = group_text(shown[0], "Shares");
    const std::string after = group_text(shown[1], "Shares");

    EXPECT_TRUE(contains(before, "shows \"A&B <x>\" from \"A&amp;B &lt;x&gt;\"")) << before;
    EXPECT_TRUE(contains(before, "shows \"~/A&B\nmounts at ~/Orvane/A&B <x>\"")) << before;
    EXPECT_TRUE(contains(r.out, "toast \"Removed “A&B <x>”\"")) << r.out;
    EXPECT_TRUE(contains(after, "row \"No shares yet\"")) << after;
    EXPECT_FALSE(contains(after, "A&B")) << after;
    EXPECT_EQ(kov::test::read_text(conf_path()), header);
    EXPECT_TRUE(contains(systemctl_log(), "--user reload kov-orvane.service\n"));
}

struct SwitchCase {
    const char* name;
    const char* initial_state;
    bool start_fails;
    const char* commands; // what the toggle runs after the window's first refresh
    const char* final_switch;
    const char* final_subtitle;
};

void PrintTo(const SwitchCase& c, std::ostream* os)
{
    *os << c.name;
}

class PanelSwitch : public PanelWindow, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(PanelSwitch, RunsBothCommandsThenShowsWhatSystemdReports)
{
    const SwitchCase& c = GetParam();
    set_state(c.initial_state);
    if (c.start_fails) {
        ASSERT_TRUE(write_text(dir_.file("start-fails"), ""));
    }
    const PanelRun r = run_ok({"toggle", "dump"});
    EXPECT_EQ(systemctl_log(), std::string("--user is-active kov-orvane.service\n") + c.commands +
                                   "--user is-active kov-orvane.service\n");
    const std::string service = group_text(r.out, "Service");
    EXPECT_TRUE(contains(service, c.final_subtitle)) << service;
    EXPECT_TRUE(contains(service, c.final_switch)) << service;
}

INSTANTIATE_TEST_SUITE_P(
    States, PanelSwitch,
    ::testing::Values(SwitchCase{"On", "inactive", false,
                                 "--user enable kov-orvane.service\n--user start kov-orvane.service\n",
                                 "switch active=1 state=1", "Running · no shares at ~/Orvane yet · version 2026.10.28"},
                      SwitchCase{"Off", "active", false,
                                 "--user disable kov-orvane.service\n--user stop kov-orvane.service\n",
                                 "switch active=0 state=0", "Stopped · version 2026.10.28"},
                      SwitchCase{"FailedStartFallsBack", "inactive", true,
                                 "--user enable kov-orvane.service\n--user start kov-orvane.service\n",
                                 "switch active=0 state=0", "Stopped · version 2026.10.28"},
                      SwitchCase{"ActivatingCountsAsStopped", "activating", false,
                                 "--user enable kov-orvane.service\n--user start kov-orvane.service\n",
                                 "switch active=1 state=1", "Running · no shares at ~/Orvane yet · version 2026.10.28"}),
    [](const auto& p) { return std::string(p.param.name); });

struct DecoderCase {
    const char* name;
    const char* os_release; // nullptr: no os-release file
    const char* command;    // nullptr: the generic subtitle without a button
};

void PrintTo(const DecoderCase& c, std::ostream* os)
{
    *os << c.name;
}

class PanelDecoderHint : public PanelWindow, public ::testing::WithParamInterface<DecoderCase> {};

TEST_P(PanelDecoderHint, ShowsTheInstallCommandForTheDistribution)
{
    const DecoderCase& c = GetParam();
    set_status_line("decoder=none version=2026.10.28");
    if (c.os_release != nullptr) {
        set_os_release(c.os_release);
    }
    std::vector<std::string> steps = {"dump"};
    if (c.command != nullptr)
        steps.insert(steps.end(), {"click", "Copy install command", "clipboard", "toast"});
    const PanelRun r = run_ok(steps);
    const std::string group = group_text(r.out, "Audio decoding");
    EXPECT_TRUE(contains(group, "group \"Audio decoding\" visible")) << group;
    EXPECT_TRUE(contains(group, "row \"No AAC decoder on this system\"")) << group;
    EXPECT_TRUE(contains(group, "image icon=dialog-error-symbolic")) << group;
    if (c.command != nullptr) {
        EXPECT_TRUE(contains(group, std::string("AAC audio stays silent until FFmpeg is installed. Run in a terminal, "
                                                "then restart the service:\n<tt>") +
                                        c.command + "</tt>\""))
            << group;
        EXPECT_TRUE(contains(group, "button icon=edit-copy-symbolic label=\"\" sensitive=1 tooltip=\"Copy install "
                                    "command\" valign=center class=flat"))
            << group;
        EXPECT_TRUE(contains(r.out, std::string("clipboard \"") + c.command + "\"")) << r.out;
        EXPECT_TRUE(contains(r.out, "toast \"Command copied — paste it into a terminal\"")) << r.out;
    } else {
        EXPECT_TRUE(contains(group, "subtitle \"Install FFmpeg (libavcodec) from your distribution, then restart the "
                                    "service; AAC audio stays silent until then.\""))
            << group;
        EXPECT_FALSE(contains(group, "button ")) << group;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Distributions, PanelDecoderHint,
    ::testing::Values(DecoderCase{"Ubuntu", "ID=ubuntu\nID_LIKE=debian\n", "sudo apt install ffmpeg"},
                      DecoderCase{"Rocky", "ID=\"rocky\"\nID_LIKE=\"rhel centos fedora\"\n",
                                  "sudo dnf install ffmpeg-free-libs"},
                      DecoderCase{"Tumbleweed", "ID=\"opensuse-tumbleweed\"\nID_LIKE=\"opensuse suse\"\n",
                                  "sudo zypper install ffmpeg"},
                      DecoderCase{"ArchArm", "ID=archarm\n", nullptr}, DecoderCase{"NoOsRelease", nullptr, nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(PanelWindow, ADecoderTokenOtherThanNoneOrNoAnswerShowsNoHint)
{
    for (const char* line : {"decoder=libavcodec.so.61 version=2026.10.28", "version=2026.10.28", ""}) {
        set_status_line(line);
        const PanelRun r = run_ok({"dump"});
        EXPECT_TRUE(contains(r.out, "group \"Audio decoding\" hidden")) << line << "\n" << r.out;
        EXPECT_FALSE(contains(group_text(r.out, "Audio decoding"), "row ")) << line;
    }
}

struct CodecHintCase {
    const char* name;
    const char* status;
    const char* scan;     // nullptr: no scan is asked for
    const char* title;    // nullptr: no row once the scan answered
    const char* subtitle; // before the command line
};

void PrintTo(const CodecHintCase& c, std::ostream* os)
{
    *os << c.name;
}

class PanelCodecHint : public PanelWindow, public ::testing::WithParamInterface<CodecHintCase> {};

// The share scan answers a second late: until then the row is what the status
// line alone says, and the window is not held up by the scan.
TEST_P(PanelCodecHint, NamesTheUndecodableCodecsTheSharesHold)
{
    const CodecHintCase& c = GetParam();
    set_status_line(c.status);
    if (c.scan != nullptr) {
        ASSERT_TRUE(write_text(dir_.file("scan-lines"), std::string(c.scan) + "\n"));
    }
    ASSERT_TRUE(write_text(dir_.file("scan-delay"), "1\n"));
    set_os_release("ID=ubuntu\nID_LIKE=debian\n");
    const PanelRun r = run_ok({"dump", "wait-scan", "dump"});
    const std::vector<std::string> shown = dumps(r.out);
    ASSERT_EQ(shown.size(), 2u) << r.out;

    const bool unbound = contains(c.status, "decoder=none");
    const std::string before = group_text(shown[0], "Audio decoding");
    EXPECT_EQ(contains(before, "row \"No AAC decoder on this system\""), unbound) << before;
    EXPECT_EQ(contains(before, "\"AAC audio stays silent until FFmpeg is installed. Run in a terminal, then restart "
                               "the service:\n<tt>sudo apt install ffmpeg</tt>\""),
              unbound)
        << before;
    EXPECT_EQ(contains(before, "row "), unbound) << before;

    const std::string after = group_text(shown[1], "Audio decoding");
    if (c.title != nullptr) {
        EXPECT_TRUE(contains(after, std::string("group \"Audio decoding\" visible"))) << after;
        EXPECT_TRUE(contains(after, std::string("row \"") + c.title + "\"")) << after;
        EXPECT_TRUE(contains(after, std::string("\"") + c.subtitle +
                                        " Run in a terminal, then restart the service:\n<tt>sudo apt install "
                                        "ffmpeg</tt>\""))
            << after;
        EXPECT_TRUE(contains(after, "image icon=dialog-error-symbolic")) << after;
        EXPECT_TRUE(contains(after, "tooltip=\"Copy install command\"")) << after;
    } else {
        EXPECT_TRUE(contains(after, "group \"Audio decoding\" hidden")) << after;
        EXPECT_FALSE(contains(after, "row ")) << after;
    }
    EXPECT_EQ(kov::test::read_text(dir_.file("scan.log")),
              c.scan != nullptr ? "--status --scan --config " + conf_path() + "\n" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PanelCodecHint,
    ::testing::Values(
        CodecHintCase{"NoLibraryOpusAndFlacFound", "decoder=none version=2026.10.28 reset=off undecodable=aac,opus,flac",
                      "decoder=none version=2026.10.28 reset=off undecodable=aac,opus,flac present=opus,flac "
                      "scanned=40 complete=yes",
                      "No Opus or FLAC decoder on this system",
                      "Opus and FLAC audio in your shares stays silent until FFmpeg is installed."},
        CodecHintCase{"NoLibraryNothingFound", "decoder=none version=2026.10.28 reset=off undecodable=aac,opus",
                      "decoder=none version=2026.10.28 reset=off undecodable=aac,opus present=none scanned=0 "
                      "complete=yes",
                      "No AAC decoder on this system", "AAC audio stays silent until FFmpeg is installed."},
        CodecHintCase{"LibraryLacksThreeAllFound",
                      "decoder=libavcodec.so.61 version=2026.10.28 reset=on undecodable=eac3,opus,vorbis",
                      "decoder=libavcodec.so.61 version=2026.10.28 reset=on undecodable=eac3,opus,vorbis "
                      "present=eac3,opus,vorbis scanned=20000 complete=no",
                      "No E-AC-3, Opus or Vorbis decoder on this system",
                      "E-AC-3, Opus and Vorbis audio in your shares stays silent until FFmpeg with these decoders "
                      "is installed."},
        CodecHintCase{"LibraryLacksOneNotInShares",
                      "decoder=libavcodec.so.61 version=2026.10.28 reset=on undecodable=vorbis",
                      "decoder=libavcodec.so.61 version=2026.10.28 reset=on undecodable=vorbis present=none "
                      "scanned=12 complete=yes",
                      nullptr, nullptr},
        CodecHintCase{"LibraryDecodesAll", "decoder=libavcodec.so.61 version=2026.10.28 reset=on undecodable=none",
                      nullptr, nullptr, nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(PanelWindow, AChangedShareListIsScannedAgain)
{
    const std::string status = "decoder=libavcodec.so.61 version=2026.10.28 reset=on undecodable=opus";
    set_status_line(status);
    ASSERT_TRUE(write_text(dir_.file("scan-lines"), status + " present=none scanned=3 complete=yes\n" + status +
                                                        " present=opus scanned=9 complete=yes\n"));
    ASSERT_EQ(::mkdir(dir_.file("home/A").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir_.file("home/B").c_str(), 0755), 0);
    set_shares(std::string(header) + "1\tA\t" + dir_.file("home/A") + "\n1\tB\t" + dir_.file("home/B") + "\n");
    const PanelRun r = run_ok({"wait-scan", "dump", "remove", "A", "wait-scan", "dump"});
    const std::vector<std::string> shown = dumps(r.out);
    ASSERT_EQ(shown.size(), 2u) << r.out;
    EXPECT_TRUE(contains(shown[0], "group \"Audio decoding\" hidden")) << shown[0];
    EXPECT_TRUE(contains(group_text(shown[1], "Audio decoding"), "row \"No Opus decoder on this system\"")) << r.out;
    const std::string scan = "--status --scan --config " + conf_path() + "\n";
    EXPECT_EQ(kov::test::read_text(dir_.file("scan.log")), scan + scan);
}

TEST_F(PanelWindow, ANewerManifestOffersTheUpdateAndADeferredUpdateSaysSo)
{
    ManifestServer server(200, "{\"name\": \"orvane\", \"version\": \"2026.10.28.1\"}");
    ASSERT_TRUE(server.ok());
    set_updater("echo 'Installed 2026.10.28.1'\necho 'Resolve is running'\nexit 0\n");
    const PanelRun r =
        run_ok({"wait-manifest", "dump", "click", "Update now", "dump", "toast", "wait-label", "Update now", "dump"},
               {"APPIMAGE=" + dir_.file("updater"), "KOV_SELFTEST_UPDATE_URL=" + server.url()});
    ASSERT_EQ(server.request_lines(), std::vector<std::string>{"GET /orvane/latest.json HTTP/1.1"});

    const std::vector<std::string> shown = dumps(r.out);
    ASSERT_EQ(shown.size(), 3u) << r.out;
    const std::string offered = group_text(shown[0], "Update");
    const std::string updating = group_text(shown[1], "Update");
    const std::string done = group_text(shown[2], "Update");
    EXPECT_TRUE(contains(offered, "group \"Update\" visible")) << offered;
    EXPECT_TRUE(contains(offered, "row \"Version 2026.10.28.1 is available\" subtitle \"You have 2026.10.28. Close "
                                  "DaVinci Resolve before updating.\""))
        << offered;
    EXPECT_TRUE(contains(updating, "label=\"Updating…\" sensitive=0")) << updating;
    EXPECT_TRUE(contains(r.out, "toast \"Updated. Takes effect after you close Resolve and sign in again.\"")) << r.out;
    EXPECT_TRUE(contains(done, "group \"Update\" hidden")) << done;
    EXPECT_TRUE(contains(done, "label=\"Update now\" sensitive=1")) << done;
    EXPECT_EQ(kov::test::read_text(dir_.file("updater.args")), "update\n");
    // After a successful update the service row is read again.
    EXPECT_EQ(systemctl_log(), "--user is-active kov-orvane.service\n--user is-active kov-orvane.service\n");
}

struct FailureCase {
    const char* name;
    const char* updater;
    const char* toast;
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class PanelUpdateFailure : public PanelWindow, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PanelUpdateFailure, ReportsTheReasonAndKeepsTheOffer)
{
    ManifestServer server(200, "{\"version\":\"2027\"}");
    ASSERT_TRUE(server.ok());
    set_updater(GetParam().updater);
    const PanelRun r = run_ok({"wait-manifest", "click", "Update now", "toast", "wait-label", "Update now", "dump"},
                              {"APPIMAGE=" + dir_.file("updater"), "KOV_SELFTEST_UPDATE_URL=" + server.url()});
    EXPECT_TRUE(contains(r.out, std::string("toast \"") + GetParam().toast + "\"")) << r.out;
    const std::string update = group_text(r.out, "Update");
    EXPECT_TRUE(contains(update, "group \"Update\" visible")) << update;
    EXPECT_TRUE(contains(update, "row \"Version 2027 is available\"")) << update;
    EXPECT_TRUE(contains(update, "label=\"Update now\" sensitive=1")) << update;
}

INSTANTIATE_TEST_SUITE_P(
    Updaters, PanelUpdateFailure,
    ::testing::Values(FailureCase{"LastLineOfStderr",
                                  "echo 'fetching' >&2\necho 'signature <bad> & rejected' >&2\necho '  ' >&2\nexit 1\n",
                                  "Update failed: signature <bad> & rejected"},
                      FailureCase{"KilledWithoutStderr", "kill -9 $$\n", "Update failed: unknown error"},
                      FailureCase{"FailedWithBlankStderr", "echo '   ' >&2\nexit 3\n", "Update failed: unknown error"}),
    [](const auto& p) { return std::string(p.param.name); });

struct ManifestCase {
    const char* name;
    int status;
    const char* body;
};

void PrintTo(const ManifestCase& c, std::ostream* os)
{
    *os << c.name;
}

class PanelNoUpdate : public PanelWindow, public ::testing::WithParamInterface<ManifestCase> {};

TEST_P(PanelNoUpdate, KeepsTheUpdateGroupHidden)
{
    ManifestServer server(GetParam().status, GetParam().body);
    ASSERT_TRUE(server.ok());
    const PanelRun r = run_ok({"settle", "1500", "dump"},
                              {"APPIMAGE=" + dir_.file("updater"), "KOV_SELFTEST_UPDATE_URL=" + server.url()});
    EXPECT_EQ(server.request_lines().size(), 1u);
    EXPECT_TRUE(contains(r.out, "group \"Update\" hidden")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Manifests, PanelNoUpdate,
                         ::testing::Values(ManifestCase{"Equal", 200, "{\"version\": \"2026.10.28.0\"}"},
                                           ManifestCase{"Older", 200, "{\"version\": \"2026.9.30\"}"},
                                           ManifestCase{"NumberVersion", 200, "{\"version\": 2027}"},
                                           ManifestCase{"NotFound", 404, "{\"version\": \"2027\"}"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(PanelWindow, WithoutAnExecutablePackageThereIsNoUpdateCheck)
{
    ManifestServer server(200, "{\"version\": \"2027\"}");
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(write_text(dir_.file("plain.AppImage"), "not a program"));
    const PanelRun r = run_ok({"settle", "1000", "dump"},
                              {"APPIMAGE=" + dir_.file("plain.AppImage"), "KOV_SELFTEST_UPDATE_URL=" + server.url()});
    EXPECT_TRUE(server.request_lines().empty());
    EXPECT_TRUE(contains(r.out, "group \"Update\" hidden")) << r.out;
}

struct ServiceRowCase {
    const char* name;
    const char* state;
    const char* mounts; // the mount table; ROOT stands for ~/Orvane
    const char* subtitle;
};

void PrintTo(const ServiceRowCase& c, std::ostream* os)
{
    *os << c.name;
}

const char* const not_mounted = "Running, but ~/Orvane is not mounted\nTo see why, run journalctl --user -u kov-orvane";

// How the mount table is read is checked in the helper tests; here, what the row makes of it.
class PanelServiceRow : public PanelWindow, public ::testing::WithParamInterface<ServiceRowCase> {};

TEST_P(PanelServiceRow, SaysWhetherTheMountIsReallyThere)
{
    const ServiceRowCase& c = GetParam();
    set_state(c.state);
    std::string mounts = c.mounts;
    for (std::size_t at; (at = mounts.find("ROOT")) != std::string::npos;)
        mounts.replace(at, 4, root());
    ASSERT_TRUE(write_text(dir_.file("mountinfo"), mounts));
    const bool missing = std::string(c.subtitle) == not_mounted;
    std::vector<std::string> steps = {"dump"};
    if (missing)
        steps.insert(steps.end(), {"click", "Copy command", "clipboard"});
    const PanelRun r = run_ok(steps);
    const std::string service = group_text(r.out, "Service");
    EXPECT_TRUE(contains(service, std::string("subtitle \"") + c.subtitle + "\"")) << r.out;
    // Only a missing mount offers the command that shows why.
    EXPECT_EQ(contains(service, "tooltip=\"Copy command\""), missing) << service;
    if (missing) {
        EXPECT_TRUE(contains(r.out, "clipboard \"journalctl --user -u kov-orvane\"")) << r.out;
    }
}


INSTANTIATE_TEST_SUITE_P(
    Mounts, PanelServiceRow,
    ::testing::Values(
        ServiceRowCase{"Mounted", "active",
                       "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
                       "61 25 0:52 / ROOT rw,nosuid shared:30 master:2 - fuse.kov-orvane kov-orvane ro\n",
                       "Running · no shares at ~/Orvane yet · version 2026.10.28"},
        ServiceRowCase{"NothingMounted", "active", "22 27 0:21 / /proc rw,relatime - proc proc rw\n", not_mounted},
        ServiceRowCase{"Stopped", "inactive", "61 25 0:52 / ROOT rw - fuse.kov-orvane kov-orvane ro\n",
                       "Stopped · version 2026.10.28"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(PanelWindow, CountsTheSharesTheServiceCanShowAndMarksTheOthers)
{
    set_state("active");
    ASSERT_TRUE(write_text(dir_.file("mountinfo"), mount_line() + "\n"));
    for (const char* sub : {"home/Videos", "home/Videos/A", "home/Videos/Off"})
        ASSERT_EQ(::mkdir(dir_.file(sub).c_str(), 0755), 0) << sub;
    ASSERT_TRUE(write_text(dir_.file("home/Videos/clip.mp4"), "not a folder"));
    ASSERT_EQ(::symlink(dir_.file("home/Videos/A").c_str(), dir_.file("home/Videos/link").c_str()), 0);
    set_shares(std::string(header) + "1\tA\t" + dir_.file("home/Videos/A") + "\n" + //
               "0\tOff\t" + dir_.file("home/Videos/Off") + "\n" +                   // fine, but turned off
               "1\tGone\t" + dir_.file("home/Videos/Gone") + "\n" +                 //
               "1\tClip\t" + dir_.file("home/Videos/clip.mp4") + "\n" +             //
               "1\tLink\t" + dir_.file("home/Videos/link") + "\n");
    ASSERT_EQ(::mkdir(dir_.file("home/Videos/B").c_str(), 0755), 0);
    const PanelRun r = run_ok(
        {"dump", "add", dir_.file("home/Videos/B"), "-", "toast", "dump", "remove", "A", "remove", "B", "dump"});
    const std::vector<std::string> shown = dumps(r.out);
    ASSERT_EQ(shown.size(), 3u) << r.out;
    EXPECT_TRUE(contains(group_text(shown[0], "Service"), "Running · 1 share at ~/Orvane · version")) << shown[0];
    // Changes to the list count at once, without asking systemd again.
    EXPECT_TRUE(contains(group_text(shown[1], "Service"), "Running · 2 shares at ~/Orvane · version")) << shown[1];
    EXPECT_TRUE(contains(group_text(shown[2], "Service"), "subtitle \"Running, but no share can be shown at ~/Orvane\""))
        << shown[2];
    EXPECT_EQ(systemctl_log(), "--user is-active kov-orvane.service\n"
                               "--user is-active kov-orvane.service\n--user reload kov-orvane.service\n"
                               "--user is-active kov-orvane.service\n--user reload kov-orvane.service\n"
                               "--user is-active kov-orvane.service\n--user reload kov-orvane.service\n");

    const std::string shares = group_text(shown[0], "Shares");
    EXPECT_TRUE(contains(shares, "row \"A\" subtitle \"~/Videos/A\nmounts at ~/Orvane/A\"\n"
                                 "    shows \"A\" from \"A\"\n"
                                 "    shows \"~/Videos/A\nmounts at ~/Orvane/A\" from"))
        << shares;
    EXPECT_TRUE(contains(shares, "row \"Off\" subtitle \"~/Videos/Off\nmounts at ~/Orvane/Off\"")) << shares;
    const std::string warning = "    image icon=dialog-warning-symbolic tooltip=\"";
    EXPECT_TRUE(contains(shares, "row \"Gone\" subtitle \"~/Videos/Gone\nFolder not found — left out of ~/Orvane\"")) << shares;
    EXPECT_TRUE(contains(shares, warning + "Folder not found — left out of ~/Orvane\" valign=center class=warning\n"
                                           "    button icon=user-trash-symbolic"))
        << shares;
    EXPECT_TRUE(contains(shares, warning + "Not a folder — left out of ~/Orvane\"")) << shares;
    EXPECT_TRUE(contains(shares, warning + "A link, not a folder — left out of ~/Orvane. Add the folder it points to.\""))
        << shares;
    std::size_t marks = 0;
    for (std::size_t at = 0; (at = shares.find("dialog-warning-symbolic", at)) != std::string::npos; at++)
        marks++;
    EXPECT_EQ(marks, 3u) << shares;
}

TEST_F(PanelWindow, AServiceThatMountsLateIsShownMountedOnceItIs)
{
    // As with the real unit, start returns before the mount is there. (The
    // delayed writer lets go of standard output, which the panel reads to
    // its end.)
    script("bin/systemctl", "case \"$2\" in\n"
                            "  is-active) cat '" + dir_.file("state") + "' ;;\n"
                            "  start) echo active > '" + dir_.file("state") + "'; (sleep 2; echo '" + mount_line() +
                            "' > '" + dir_.file("mountinfo") + "') >/dev/null 2>&1 & ;;\n"
                            "esac\n");
    const PanelRun r = run_ok({"toggle", "settle", "3000", "dump"});
    EXPECT_TRUE(contains(group_text(r.out, "Service"), "Running · no shares at ~/Orvane yet")) << r.out;
}

struct ResolveCase {
    const char* name;
    const char* which;         // the stand-in's case
    bool listed;               // ~/Orvane registered at the start
    const char* before;        // the row's subtitle at the start
    const char* button;        // its button
    const char* command;       // what the click asks the command, or nullptr
    const char* toast;         // or nullptr
    const char* after;         // the row's subtitle after the click
    const char* button_after;
};

void PrintTo(const ResolveCase& c, std::ostream* os)
{
    *os << c.name;
}

class PanelResolve : public PanelWindow, public ::testing::WithParamInterface<ResolveCase> {};

const char* const unlisted = "Add ~/Orvane so Resolve lists your shares";
const char* const listed = "~/Orvane is in Resolve’s Media Storage";
const char* const no_settings =
    "Resolve’s settings weren’t found. Start DaVinci Resolve once and close it, then check again.";

TEST_P(PanelResolve, ShowsTheRegistrationAndChangesItThroughTheCommand)
{
    const ResolveCase& c = GetParam();
    set_resolve(c.which, c.listed ? root() : "");
    std::vector<std::string> steps = {"dump", "resolve"};
    if (c.toast != nullptr)
        steps.emplace_back("toast");
    steps.emplace_back("dump");
    const PanelRun r = run_ok(steps);
    const std::vector<std::string> shown = dumps(r.out);
    ASSERT_EQ(shown.size(), 2u) << r.out;
    const std::string before = group_text(shown[0], "DaVinci Resolve");
    const std::string after = group_text(shown[1], "DaVinci Resolve");
    EXPECT_TRUE(contains(before, std::string("row \"Media Storage\" subtitle \"") + c.before + "\"")) << before;
    EXPECT_TRUE(contains(before, std::string("button icon= label=\"") + c.button + "\" sensitive=1 valign=center"))
        << before;
    // Only adding is the step the set-up asks for next.
    EXPECT_EQ(contains(before, "class=suggested-action"), std::string(c.button) == "Add") << before;
    EXPECT_TRUE(contains(after, std::string("row \"Media Storage\" subtitle \"") + c.after + "\"")) << after;
    EXPECT_TRUE(contains(after, std::string("label=\"") + c.button_after + "\"")) << after;
    if (c.toast != nullptr) {
        EXPECT_TRUE(contains(r.out, std::string("toast \"") + c.toast + "\"")) << r.out;
    }
    const std::string status = "--resolve-register status\n";
    // A refused change leaves the row as it was, without reading the status again.
    const std::string again = std::string(c.which) == "running" ? "" : status;
    const std::string asked =
        c.command != nullptr ? status + "--resolve-register " + c.command + " " + root() + "\n" + again : status + status;
    EXPECT_EQ(kov::test::read_text(dir_.file("resolve.log")), asked);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PanelResolve,
    ::testing::Values(
        ResolveCase{"Add", "ok", false, unlisted, "Add", "add", "Added to Resolve’s Media Storage", listed, "Remove"},
        ResolveCase{"Remove", "ok", true, listed, "Remove", "remove", "Removed from Resolve’s Media Storage", unlisted,
                    "Add"},
        // Nothing to add or remove: the button only looks again.
        ResolveCase{"SettingsMissing", "missing", false, no_settings, "Check again", nullptr,
                    "Resolve’s settings still weren’t found", no_settings, "Check again"},
        // Refused before anything was touched: the row stays as it was.
        ResolveCase{"ResolveRunning", "running", false, unlisted, "Add", "add",
                    "Close DaVinci Resolve first, then try again", unlisted, "Add"},
        ResolveCase{"WriteFails", "failing", true, listed, "Remove", "remove", "Couldn’t change Resolve’s settings",
                    "~/Orvane is in Resolve’s Media Storage\n/srv/full/config.dat.kovtmp: No space left on "
                    "device",
                    "Remove"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(PanelWindow, OpenShowsTheMountFolderInTheFileManager)
{
    ASSERT_EQ(::mkdir(root().c_str(), 0755), 0);
    // Without a file manager for folders the panel says it could not open it.
    // The desktop files of this machine are kept out of sight; GTK's settings
    // schemas, found the same way, are named directly.
    std::string schemas;
    const char* data_dirs = std::getenv("XDG_DATA_DIRS");
    std::istringstream dirs(data_dirs != nullptr && data_dirs[0] != '\0' ? data_dirs : "/usr/local/share:/usr/share");
    for (std::string d; schemas.empty() && std::getline(dirs, d, ':');)
        if (kov::test::exists(d + "/glib-2.0/schemas/gschemas.compiled"))
            schemas = d + "/glib-2.0/schemas";
    PanelRun r = run_ok({"click", "Open", "toast"},
                        {"XDG_DATA_DIRS=" + dir_.file("no-data"), "GSETTINGS_SCHEMA_DIR=" + schemas});
    EXPECT_TRUE(contains(r.out, "toast \"Couldn’t open ~/Orvane\"")) << r.out;

    // The desktop's default application for folders, as GIO finds it.
    for (const char* sub : {"home/.local", "home/.local/share", "home/.local/share/applications"})
        ASSERT_EQ(::mkdir(dir_.file(sub).c_str(), 0755), 0) << sub;
    script("files", "echo \"$@\" > '" + dir_.file("opened") + "'\n");
    ASSERT_TRUE(write_text(dir_.file("home/.local/share/applications/files-standin.desktop"),
                           "[Desktop Entry]\nType=Application\nName=Files\nExec=" + dir_.file("files") +
                               " %f\nMimeType=inode/directory;\n"));
    ASSERT_TRUE(write_text(dir_.file("config/mimeapps.list"),
                           "[Default Applications]\ninode/directory=files-standin.desktop\n"));
    r = run_ok({"click", "Open", "settle", "500"});
    for (int i = 0; i < 50 && !kov::test::exists(dir_.file("opened")); i++)
        ::usleep(100 * 1000);
    EXPECT_EQ(kov::test::read_text(dir_.file("opened")), root() + "\n");
}

// The real kov-orvane behind the panel, editing Resolve's own two files in a
// throw-away home.
TEST_F(PanelWindow, RegistersThroughTheRealCommandInResolvesFiles)
{
    const std::string program = dir_.file("appdir/usr/bin/kov-orvane");
    ASSERT_EQ(::unlink(program.c_str()), 0);
    ASSERT_EQ(::symlink(kov::test::program_path().c_str(), program.c_str()), 0);
    // Whether Resolve runs is the test's choice, not whatever this machine runs.
    script("bin/pgrep", "[ -e '" + dir_.file("resolve-runs") + "' ]\n");
    const std::string configs = dir_.file("home/.local/share/DaVinciResolve/configs");
    ASSERT_EQ(kov::test::run_shell("mkdir -p '" + configs + "'"), 0);
    const std::string iofs_before = "IoFsNum = 1\nIoFsMount_1 = /mnt/media\nIoFsMappedMount_1 = \nIoFsDirectIO_1 = 0\n";
    const std::string site_before = "Site.1.Name = Local Database\nSite.1.FS.Count = 1\nSite.1.FS.1.Type = IOFileSys\n"
                                    "Site.1.FS.1.Root = /mnt/media\nSite.1.FS.1.MappedRoot = \nSite.1.FS.1.DIO = 0\n"
                                    "Site.1.FS.1.BrightClip = 0\n";
    ASSERT_TRUE(write_text(configs + "/.config.data", iofs_before));
    ASSERT_TRUE(write_text(configs + "/config.dat", site_before));
    const std::regex iofs_root("(^|\n)IoFsMount_[0-9]+ = " + root() + "\n");
    const std::regex site_root("(^|\n)Site\\.1\\.FS\\.[0-9]+\\.Root = " + root() + "\n");
    const auto iofs = [&] { return kov::test::read_text(configs + "/.config.data"); };
    const auto site = [&] { return kov::test::read_text(configs + "/config.dat"); };

    // Something in the way of the second file's rewrite: the command names it,
    // and the first file, already changed, is put back.
    const std::string in_the_way = configs + "/config.dat.kovtmp";
    ASSERT_EQ(::mkdir(in_the_way.c_str(), 0755), 0);
    PanelRun r = run_ok({"resolve", "toast", "dump"});
    EXPECT_TRUE(contains(r.out, "toast \"Couldn’t change Resolve’s settings\"")) << r.out;
    EXPECT_TRUE(contains(group_text(r.out, "DaVinci Resolve"),
                         std::string("subtitle \"") + unlisted + "\n" + in_the_way + ": "))
        << r.out;
    EXPECT_EQ(iofs(), iofs_before);
    EXPECT_EQ(site(), site_before);
    ASSERT_EQ(::rmdir(in_the_way.c_str()), 0);

    ASSERT_TRUE(write_text(dir_.file("resolve-runs"), ""));
    r = run_ok({"resolve", "toast", "dump"});
    EXPECT_TRUE(contains(r.out, "toast \"Close DaVinci Resolve first, then try again\"")) << r.out;
    EXPECT_TRUE(contains(group_text(r.out, "DaVinci Resolve"), std::string("subtitle \"") + unlisted + "\"")) << r.out;
    EXPECT_EQ(iofs(), iofs_before);
    EXPECT_EQ(site(), site_before);

    ASSERT_EQ(::unlink(dir_.file("resolve-runs").c_str()), 0);
    r = run_ok({"resolve", "toast", "dump"});
    EXPECT_TRUE(contains(r.out, "toast \"Added to Resolve’s Media Storage\"")) << r.out;
    EXPECT_TRUE(contains(group_text(r.out, "DaVinci Resolve"), std::string("subtitle \"") + listed + "\"")) << r.out;
    EXPECT_TRUE(std::regex_search(iofs(), iofs_root)) << iofs();
    EXPECT_TRUE(std::regex_search(site(), site_root)) << site();
    EXPECT_TRUE(contains(iofs(), " = /mnt/media\n")) << iofs();
    EXPECT_TRUE(contains(site(), ".Root = /mnt/media\n")) << site();

    // A new window reads the registration back from the files.
    r = run_ok({"dump", "resolve", "toast", "dump"});
    const std::vector<std::string> shown = dumps(r.out);
    ASSERT_EQ(shown.size(), 2u) << r.out;
    EXPECT_TRUE(contains(group_text(shown[0], "DaVinci Resolve"), "label=\"Remove\"")) << shown[0];
    EXPECT_TRUE(contains(r.out, "toast \"Removed from Resolve’s Media Storage\"")) << r.out;
    EXPECT_TRUE(contains(group_text(shown[1], "DaVinci Resolve"), std::string("subtitle \"") + unlisted + "\""))
        << shown[1];
    EXPECT_FALSE(std::regex_search(iofs(), iofs_root)) << iofs();
    EXPECT_FALSE(std::regex_search(site(), site_root)) << site();
    EXPECT_TRUE(contains(iofs(), " = /mnt/media\n")) << iofs();
    EXPECT_TRUE(contains(site(), ".Root = /mnt/media\n")) << site();
}

} // namespace
