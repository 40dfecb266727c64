#pragma once
// Writes the track box of one converted track: signed PCM (16-bit
// little-endian or 24-bit big-endian) with one sample per frame in one chunk, keeping its source track's
// identity, times, language, handler name, references, user data and edit
// list. Pure computation on bytes in memory.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "media/be_writer.hpp"
#include "media/media_scan.hpp"

namespace kov {

struct PcmTrakParams {
    std::uint32_t track_id = 0;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint32_t bits = 16; // 16: little-endian; 24: big-endian
    std::uint64_t frames = 0;
    std::uint32_t media_timescale = 0; // of the source track, for its edit list
    std::uint32_t movie_timescale = 0;
    std::uint32_t channel_config = 0; // MPEG channel configuration; 0 writes no channel layout box
    std::uint32_t channel_bitmap = 0; // a layout box's bitmap, used where channel_config is 0
    bool quicktime = false;           // handlers as QuickTime writes them
    // The PCM frame at which a media time plays; without it, the time in
    // the PCM rate.
    std::function<std::uint64_t(std::uint64_t)> frame_at;
};

// Appends the trak; returns where its 64-bit chunk offset goes. `kept_boxes`
// are whole boxes of the source track (tref, edts, udta, meta; any other is
// left out), in the source's order.
std::size_t write_pcm_trak(BeWriter& w, const std::vector<std::vector<std::uint8_t>>& kept_boxes,
                           const TrackHeaders& kept, const PcmTrakParams& pcm);

} // namespace kov
