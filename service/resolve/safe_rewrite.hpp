#pragma once
// The editor's configuration files as lines of bytes: reading them, splicing
// a regenerated block of keys into them, and replacing them on disk without
// ever leaving a half-written file. A ".kovbak" copy keeps the bytes from
// just before the last rewrite. Single-threaded, one run of the command.

#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace kov {

using Lines = std::vector<std::string>;

// Every LF ends a line (empty ones too); every CR is dropped wherever it
// stands; text after the last LF is a last line only when non-empty. A file
// that cannot be opened reads as no lines.
Lines read_lines(const std::string& path);

// As read_lines, for a file about to be rewritten: a missing file reads as no
// lines, but one that exists and cannot be read gives nothing, so that its
// content is never replaced by a block alone.
std::optional<Lines> read_lines_for_rewrite(const std::string& path);

// Backs up the current bytes to path + ".kovbak", writes the lines (each
// ended by one LF) to path + ".kovtmp", flushes it to disk and renames it
// over path. False leaves path exactly as it was.
bool write_lines_safely(const std::string& path, const Lines& lines);

// The block takes the place of the run from the first to the last line that
// `pattern` finds (the patterns are anchored at the line start). Lines inside
// that run that the pattern does not find are kept, right after the block.
// Without any such line the block is appended at the end.
Lines replace_key_block(const Lines& lines, const std::regex& pattern, const Lines& block);

// Whole-line match of "<key><value>" where `key` is an anchored pattern for
// everything up to the value and the value is the rest of the line, trimmed.
// Matching the value with "(.*)$" instead would make std::regex recurse once
// per character and overflow the stack on a long line.
bool match_key_line(const std::string& line, const std::regex& key, std::smatch& groups, std::string& value);

} // namespace kov
