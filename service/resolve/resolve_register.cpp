#include "resolve/resolve_register.hpp"

#include "common/trim.hpp"
#include "resolve/iofs_keys.hpp"
#include "resolve/resolve_config.hpp"
#include "resolve/safe_rewrite.hpp"
#include "resolve/site_keys.hpp"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

namespace kov {

namespace {

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The editor rewrites its files when it exits, so editing them under a
// running editor would be undone.
bool editor_running()
{
    const int st = std::system("pgrep -x resolve >/dev/null 2>&1");
    return st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

void print_roots(const std::string& file, const std::regex& key)
{
    std::printf("%s:\n", file.substr(file.rfind('/') + 1).c_str());
    if (!exists(file)) {
        std::printf("  (missing)\n");
        return;
    }
    std::smatch m;
    std::string value;
    for (const auto& line : read_lines(file))
        if (match_key_line(line, key, m, value))
            std::printf("  %s\n", value.c_str());
}

int show_status()
{
    static const std::regex iofs_root(R"(^IoFsMount_\d+\s*=\s*)");
    static const std::regex site_root(R"(^Site\.1\.FS\.\d+\.Root\s*=\s*)");
    print_roots(iofs_config_path(), iofs_root);
    print_roots(site_config_path(), site_root);
    return 0;
}

int change(RegisterMode mode, const std::string& arg)
{
    const std::string path = registered_path(arg);
    if (!exists(iofs_config_path()) || !exists(site_config_path())) {
        std::fputs("error: Resolve config not found (is DaVinci Resolve installed?)\n", stderr);
        return 1;
    }
    if (editor_running()) {
        std::fputs("error: DaVinci Resolve is running; close it first (it overwrites these files on exit).\n", stderr);
        return 1;
    }
    const bool iofs_changed = edit_iofs_keys(mode, path);
    const bool site_changed = edit_site_keys(mode, path);
    const bool add = mode == RegisterMode::add;
    if (site_changed || iofs_changed)
        std::printf("%s %s Resolve Media Storage.\n", path.c_str(), add ? "added to" : "removed from");
    else
        std::printf("%s already %s; no change.\n", path.c_str(), add ? "present" : "absent");
    return 0;
}

} // namespace

int run_resolve_register(int argc, char** argv)
{
    const std::string_view mode = argc > 2 ? argv[2] : "";
    if (mode == "status")
        return show_status();
    if (mode != "add" && mode != "remove") {
        std::fputs("usage: --resolve-register <add|remove|status> [path]\n", stderr);
        return 2;
    }
    if (argc < 4) {
        std::fputs("error: path required\n", stderr);
        return 2;
    }
    return change(mode == "add" ? RegisterMode::add : RegisterMode::remove, argv[3]);
}

} // namespace kov
