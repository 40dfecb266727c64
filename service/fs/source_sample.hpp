#pragma once
// Samples of the source bytes a rewritten form refers to, to tell a source
// that only grew (a recorder appending) from one whose old bytes were
// changed. The head and tail of the covered range are taken whole (box
// headers, movie and fragment boxes sit there), 32 blocks spread between
// them; a source written anew (a copy over it, a truncation and rewrite)
// differs in them, while appending leaves them as they were.

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
};

// Samples [0, covered) of the file open on `fd`. False when it cannot be read
// whole.
bool take_sample(int fd, std::uint64_t covered, SourceSample& sample);

// Whether the file still holds the sampled bytes; false on a read error or
// when it is now shorter than what was sampled.
bool sample_holds(int fd, const SourceSample& sample);

} // namespace kov
