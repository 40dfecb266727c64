#pragma once
// The editor's configuration files as lines of bytes: reading them, splicing
// a regenerated block of keys into them, and replacing them on disk without
// ever leaving a half-written file or touching anything but a plain file of
// our own making. A ".kovbak" copy keeps the bytes from just before the last
// rewrite. Single-threaded, one run of the command.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kov {

using Lines = std::vector<std::string>;

// Why a file could not be read or written, for "error: <file>: <reason>".
struct FileError {
    std::string file;
    std::string reason;
};

enum class EditOutcome { unchanged, changed, failed };

// Every LF ends a line (empty ones too); every CR is dropped wherever it
// stands; text after the last LF is a last line only when non-empty. A file
// that cannot be opened reads as no lines.
Lines read_lines(const std::string& path);

// The file a configuration path stands for: a symbolic link is followed, so
// its target is what gets rewritten and the link stays.
std::optional<std::string> rewrite_target(const std::string& path, FileError& error);

// The lines of a file about to be rewritten (the real file, not a link). A
// file that is not a plain file, or cannot be read, gives nothing: its
// content must never be replaced by a block alone. Never blocks on a FIFO.
std::optional<Lines> read_lines_for_rewrite(const std::string& target, FileError& error);

// Copies the current bytes to target + ".kovbak", then replaces target by
// the lines (each ended by one LF). Each file is written whole to
// target + ".kovtmp" (created afresh, never through a link), flushed and
// renamed into place, with the owner and mode target had. False leaves
// target as it was, and the earlier backup too unless the new one was complete.
bool write_lines_safely(const std::string& target, const Lines& lines, FileError& error);

// Puts the bytes of target + ".kovbak" back in place, the same safe way.
bool restore_from_backup(const std::string& target, FileError& error);

// One edit of a configuration file: reads the file behind `path`, asks `edit`
// for its new lines (nothing: no change needed) and writes them safely.
EditOutcome edit_config_file(const std::string& path, FileError& error,
                             const std::function<std::optional<Lines>(const Lines&)>& edit);

// The block takes the place of the run from the first to the last line that
// `in_block` accepts. Lines inside that run it does not accept are kept,
// right after the block. Without any such line the block is appended.
Lines replace_key_block(const Lines& lines, const std::function<bool(std::string_view)>& in_block,
                        const Lines& block);

} // namespace kov
