#pragma once
// Which of some codecs the enabled shares hold: a walk of the share folders
// that reads the movie box of each file named like MP4/MOV media, bounded in
// files, depth and time so that a library of hundreds of thousands of files
// (or a stalled network share) gives an answer in seconds. Used by the status
// query for the panel's decoder hint; runs on the calling thread.

#include <chrono>
#include <cstddef>
#include <vector>

#include "pcm/codec_set.hpp"
#include "shares/share.hpp"

namespace kov {

struct PresenceLimits {
    std::size_t max_files = 20000; // media files opened
    unsigned max_depth = 32;       // folders below a share's own
    std::chrono::milliseconds max_time{5000};
};

struct CodecPresence {
    CodecSet found;        // of the codecs looked for
    std::size_t files = 0; // media files whose movie box was read
    bool complete = true;  // every file was seen, or every codec looked for was found
};

// Walks the shares in order, depth first, without following symbolic links
// below a share's folder; unreadable entries are passed over.
CodecPresence find_codecs(const std::vector<ActiveShare>& shares, CodecSet wanted, const PresenceLimits& limits = {});

} // namespace kov
