#pragma once
// The editor's second list of Media Storage folders: numbered Site.1.FS
// entries with named fields in "config.dat". Adding or removing a folder
// regenerates the whole block, renumbered from 1; other lines stay put.

#include "resolve/resolve_config.hpp"
#include "resolve/safe_rewrite.hpp"

#include <map>
#include <optional>
#include <string>

namespace kov {

// One entry's fields by name; "Root" identifies the folder it stands for.
struct SiteEntry {
    std::map<std::string, std::string> fields;
};

// The file's new lines, or nothing when the list already says what was asked.
std::optional<Lines> edit_site_lines(const Lines& lines, RegisterMode mode, const std::string& path);

// Rewrites "config.dat" safely: changed, unchanged (nothing to do), or failed
// with `error` saying which file and why.
EditOutcome edit_site_keys(RegisterMode mode, const std::string& path, FileError& error);

} // namespace kov
