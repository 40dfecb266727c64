#pragma once
// Where the editor keeps its two configuration files, and how a folder given
// on the command line becomes the exact string stored in them. Used by the
// registration command and both key editors; no state, any thread.

#include <string>

namespace kov {

enum class RegisterMode { add, remove };

// $HOME (empty when unset) followed by "/.local/share/DaVinciResolve/configs".
std::string resolve_config_dir();
std::string iofs_config_path(); // ".config.data" in that folder
std::string site_config_path(); // "config.dat" in that folder

// `arg` made absolute against the working directory; nothing else is
// normalised, so "/mnt/x/" and "/mnt/x" stay different entries.
std::string registered_path(const std::string& arg);

// Decimal entry number of a key; a number too large for int becomes -1.
int entry_number(const std::string& digits);

} // namespace kov
