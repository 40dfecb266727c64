#include "fs/source_sample.hpp"

#include <algorithm>
#include <functional>
#include <string_view>

#include "common/full_io.hpp"

namespace kov {

namespace {

constexpr std::uint64_t edge_bytes = 64 * 1024;

// Hash of [offset, offset + size), or false when the bytes are not all there.
bool hash_block(int fd, std::uint64_t offset, std::uint32_t size, std::vector<char>& buffer, std::uint64_t& hash)
{
    buffer.resize(size);
    if (pread_full(fd, buffer.data(), size, offset) != static_cast<std::int64_t>(size))
        return false;
    hash = std::hash<std::string_view>{}(std::string_view(buffer.data(), size));
    return true;
}

} // namespace

bool take_sample(int fd, std::uint64_t covered, SourceSample& sample)
{
    sample = SourceSample{};
    sample.covered = covered;
    if (covered == 0) {
        sample.taken = true;
        return true;
    }
    // One block for a small file, else its head and its tail.
    const std::uint64_t edge = std::min(edge_bytes, covered);
    std::vector<char> buffer;
    for (const std::uint64_t start : {std::uint64_t{0}, covered - edge}) {
        if (start == 0 && !sample.blocks.empty())
            break;
        SourceSample::Block block;
        block.offset = start;
        block.size = static_cast<std::uint32_t>(edge);
        if (!hash_block(fd, block.offset, block.size, buffer, block.hash)) {
            sample.blocks.clear();
            return false;
        }
        sample.blocks.push_back(block);
    }
    sample.taken = true;
    return true;
}

bool sample_holds(int fd, const SourceSample& sample)
{
    if (!sample.taken)
        return false;
    std::vector<char> buffer;
    for (const SourceSample::Block& block : sample.blocks) {
        std::uint64_t hash = 0;
        if (!hash_block(fd, block.offset, block.size, buffer, hash) || hash != block.hash)
            return false;
    }
    return true;
}

} // namespace kov
