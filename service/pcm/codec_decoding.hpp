#pragma once
// What decoding one codec needs beyond its configuration: which libavcodec
// decoder reads it, how many units a fresh decoder is fed before a segment so
// that the segment comes out as a continuous decode would, and whether its
// frames all hold the configured count. One file per codec defines its entry
// (aac_decoding.cpp, opus_decoding.cpp, ...); adding a codec adds one.

#include <cstdint>

#include "pcm/decoder_config.hpp"

namespace kov {

struct PcmTrack;

struct CodecDecoding {
    int lav_codec_id;
    // Units fed before a segment's first, for this track.
    std::uint64_t (*preroll_units)(const PcmTrack& track);
    // Frames may hold fewer than the configured count (a lossless stream's
    // last frame, or any of a variable block size).
    bool short_frames;
    // Units decode to different lengths (Vorbis switches block sizes): each
    // is placed by its own duration in the sample table, frames_per_unit is
    // the most one holds, and a fresh decoder's first unit gives nothing (it
    // only fills the overlap the next one needs).
    bool varying_units = false;
};

// The codec's entry; nullptr where no conversion of it is built.
const CodecDecoding* codec_decoding(Codec codec);

// Whether the codec's units decode to different lengths (varying_units).
bool units_vary(Codec codec);

// Plain AAC-LC: the one stream whose used decoders may be reset to a fresh
// one's state instead of being opened anew, fed this many units first.
constexpr std::uint64_t aac_lc_preroll = 2;
bool is_plain_lc(const PcmTrack& track);

} // namespace kov
