#pragma once
// The editor's first list of Media Storage folders: numbered IoFs keys in
// ".config.data". Adding or removing a folder regenerates the whole key
// block, renumbered from 1, and leaves every other line where it was.

#include "resolve/resolve_config.hpp"
#include "resolve/safe_rewrite.hpp"

#include <optional>
#include <string>

namespace kov {

struct IoFsEntry {
    std::string mount;
    std::string mapped_mount;
    std::string direct_io;
};

// The file's new lines, or nothing when the list already says what was asked.
std::optional<Lines> edit_iofs_lines(const Lines& lines, RegisterMode mode, const std::string& path);

// Rewrites ".config.data" safely: changed, unchanged (nothing to do), or failed
// with `error` saying which file and why.
EditOutcome edit_iofs_keys(RegisterMode mode, const std::string& path, FileError& error);

} // namespace kov
