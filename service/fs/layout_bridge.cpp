// The link between the mirror and the rewrite engine: the decision whether a
// file is shown rewritten, and reads of rewritten files.

#include "fs/mirror_state.hpp"
#include "media/media_scan.hpp"

namespace kov {

std::shared_ptr<const FileLayout> analyse_source(int fd)
{
    const MediaScan scan = scan_media(fd);
    if (!scan.has_aac)
        return nullptr;
    return build_layout(fd, scan);
}

bool plain_source_range(const FileLayout& layout, std::uint64_t offset, std::uint64_t length)
{
    return layout.is_plain_source_range(offset, length);
}

std::int64_t layout_read(const FileLayout& layout, int fd, std::uint8_t* dest, std::uint64_t length,
                         std::uint64_t offset)
{
    return layout.read_at(fd, dest, length, offset);
}

} // namespace kov
