#include "fs/source_sample.hpp"

#include <algorithm>
#include <functional>
#include <string_view>

#include "common/full_io.hpp"

namespace kov {

namespace {

constexpr std::uint64_t edge_bytes = 64 * 1024;
constexpr std::uint64_t spread_bytes = 4096;
constexpr std::uint64_t spread_count = 32;

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
    const std::uint64_t edge = std::min(edge_bytes, covered);
    std::vector<std::uint64_t> starts{0, covered - edge};
    if (covered > 2 * edge + spread_bytes)
        for (std::uint64_t i = 1; i <= spread_count; ++i) {
            const std::uint64_t at = edge + (covered - 2 * edge - spread_bytes) * i / (spread_count + 1);
            starts.push_back(at);
        }
    std::vector<char> buffer;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        SourceSample::Block block;
        block.offset = starts[i];
        block.size = static_cast<std::uint32_t>(i < 2 ? edge : std::min(spread_bytes, covered - starts[i]));
        if (block.size == 0)
            continue;
        if (!hash_block(fd, block.offset, block.size, buffer, block.hash))
            return false;
        sample.blocks.push_back(block);
    }
    return true;
}

bool sample_holds(int fd, const SourceSample& sample)
{
    std::vector<char> buffer;
    for (const SourceSample::Block& block : sample.blocks) {
        std::uint64_t hash = 0;
        if (!hash_block(fd, block.offset, block.size, buffer, hash) || hash != block.hash)
            return false;
    }
    return true;
}

} // namespace kov
