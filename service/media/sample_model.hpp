#pragma once
// One sample of any track, whatever the container wrote: sample tables or
// movie fragments. Plain record; lists of it are owned by whoever scanned them.

#include <cstdint>

namespace kov {

struct MediaSample {
    std::uint64_t offset;
    std::uint32_t size;
    std::uint32_t duration;
    std::int32_t composition_offset;
    bool sync;
};

} // namespace kov
