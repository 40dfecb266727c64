#pragma once
// One configured share and one active share of the service. Plain values.

#include <cstdint>
#include <memory>
#include <string>

#include "common/unique_fd.hpp"

namespace kov {

struct Share {
    bool enabled = true;
    std::string name; // folder name at the mount root, bytes as written
    std::string path; // source folder, bytes as written, never normalised
};

struct ActiveShare {
    std::string name;
    std::string path;
    std::uint64_t device = 0; // st_dev of the source folder at install time
    std::uint64_t inode = 0;  // st_ino of the source folder at install time
    // The folder itself, as validated at install (O_PATH | O_DIRECTORY): the
    // share is reached through it, never by its path again, so swapping a
    // component of the path afterwards cannot point the share elsewhere.
    // Shared by every copy; closed with the last.
    std::shared_ptr<const UniqueFd> folder;
};

} // namespace kov
