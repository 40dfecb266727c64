#include "resolve/resolve_register.hpp"

#include "common/trim.hpp"
#include "resolve/iofs_keys.hpp"
#include "resolve/key_line.hpp"
#include "resolve/resolve_config.hpp"
#include "resolve/safe_rewrite.hpp"
#include "resolve/site_keys.hpp"

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
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

// Prints the trimmed value of every line `root_of` recognises.
template <class RootOf>
void print_roots(const std::string& file, RootOf root_of)
{
    std::printf("%s:\n", file.substr(file.rfind('/') + 1).c_str());
    if (!exists(file)) {
        std::printf("  (missing)\n");
        return;
    }
    for (const auto& line : read_lines(file))
        if (const auto value = root_of(line))
            std::printf("  %s\n", value->c_str());
}

int show_status()
{
    print_roots(iofs_config_path(), [](const std::string& line) -> std::optional<std::string> {
        const auto key = match_numbered_key(line, "IoFsMount_");
        return key ? std::optional(key->value) : std::nullopt;
    });
    print_roots(site_config_path(), [](const std::string& line) -> std::optional<std::string> {
        const auto key = match_numbered_field(line, "Site.1.FS.");
        return key && key->field == "Root" ? std::optional(key->value) : std::nullopt;
    });
    return 0;
}

void print_error(const FileError& error)
{
    std::fprintf(stderr, "error: %s: %s\n", error.file.c_str(), error.reason.c_str());
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
    FileError error;
    const EditOutcome iofs = edit_iofs_keys(mode, path, error);
    if (iofs == EditOutcome::failed) {
        print_error(error);
        return 1;
    }
    const EditOutcome site = edit_site_keys(mode, path, error);
    if (site == EditOutcome::failed) {
        print_error(error);
        // Half an edit is worse than none: the first file goes back as it was.
        FileError undo_error;
        const auto target = rewrite_target(iofs_config_path(), undo_error);
        if (iofs == EditOutcome::changed && !(target && restore_from_backup(*target, undo_error))) {
            print_error(undo_error);
            std::fprintf(stderr, "error: %s is changed and could not be restored; its previous content is in %s.kovbak\n",
                         iofs_config_path().c_str(), target ? target->c_str() : iofs_config_path().c_str());
        }
        return 1;
    }
    const bool add = mode == RegisterMode::add;
    if (site == EditOutcome::changed || iofs == EditOutcome::changed)
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
    const std::string path = argv[3];
    // The configuration files hold one key a line: a newline or any other
    // control character in the path would write lines of its own.
    if (std::any_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
        std::fputs("error: the path holds a control character (such as a newline); nothing changed\n", stderr);
        return 2;
    }
    return change(mode == "add" ? RegisterMode::add : RegisterMode::remove, path);
}

} // namespace kov
