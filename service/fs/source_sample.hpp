#pragma once
// Samples of the source bytes a form refers to, to tell a source that only
// grew (a recorder appending) from one whose old bytes were changed: the
// head and the tail of the covered range, taken whole (box headers, movie and
// fragment boxes sit there). A source written anew (a copy over it, a
// truncation and rewrite) differs in them, while appending leaves them as
// they were. The analysis reads these bytes anyway, so sampling costs no
// seek of its own, and a damaged place in the middle of a file (an
// unreadable sector under its audio) does not make the whole file unusable.

#include <cstdint>
#include <vector>

namespace kov {

struct SourceSample {
    std::uint64_t covered = 0; // the bytes [0, covered) are what is sampled
    struct Block {
        std::uint64_t offset = 0;
        std::uint32_t size = 0;
        std::uint64_t hash = 0;
    };
    std::vector<Block> blocks;
    // False until taken, and when the sampled bytes could not be read: then
    // nothing tells growth from change, and any change counts as one.
    bool taken = false;
};

// Samples [0, covered) of the file open on `fd`. False (and not taken) when
// the sampled bytes cannot be read.
bool take_sample(int fd, std::uint64_t covered, SourceSample& sample);

// Whether the file still holds the sampled bytes; false on a read error,
// when it is now shorter than what was sampled, or for a sample not taken.
bool sample_holds(int fd, const SourceSample& sample);

} // namespace kov
