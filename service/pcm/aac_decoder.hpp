#pragma once
// The pieces of AAC decoding shared by the stream probe and the decoding
// source: owning wrappers for decoder objects, decoder set-up, reading one
// access unit, and what the decoder reports about its output. Also the hooks
// through which tests inspect a decoding source; the program itself goes
// through aac_source.hpp only.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "media/access_unit.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/pcm_track.hpp"

namespace kov {

// Owns one object allocated by the bound library and frees it with the
// library's matching free function. Move-only.
template <typename T> class LavPtr {
public:
    using FreeFn = void (*)(T**);
    LavPtr() = default;
    LavPtr(T* ptr, FreeFn free_fn) : ptr_(ptr), free_(free_fn) {}
    LavPtr(const LavPtr&) = delete;
    LavPtr& operator=(const LavPtr&) = delete;
    LavPtr(LavPtr&& o) noexcept : ptr_(std::exchange(o.ptr_, nullptr)), free_(o.free_) {}
    LavPtr& operator=(LavPtr&& o) noexcept
    {
        if (this != &o) {
            reset();
            ptr_ = std::exchange(o.ptr_, nullptr);
            free_ = o.free_;
        }
        return *this;
    }
    ~LavPtr() { reset(); }

    void reset()
    {
        if (ptr_ && free_)
            free_(&ptr_);
        ptr_ = nullptr;
    }
    T* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    T* ptr_ = nullptr;
    FreeFn free_ = nullptr;
};

using DecoderContext = LavPtr<LavCodecContext>;

// An opened AAC decoder for this AudioSpecificConfig (may be empty), told to
// keep its priming samples; empty when the library is absent or refuses.
DecoderContext open_aac_decoder(const CodecLibrary& lib, std::span<const std::uint8_t> asc);

// Reads the unit's bytes into `buffer`, followed by 64 zero bytes (the
// decoder's read-ahead padding). False on an I/O error or end of file.
bool read_access_unit(int fd, const AccessUnit& unit, std::vector<std::uint8_t>& buffer);

// Replaces `rate` and `channels` by the decoder's output format where it
// reports a positive value; leaves them alone otherwise.
void read_decoder_format(const CodecLibrary& lib, LavCodecContext* ctx, std::uint32_t& rate, std::uint32_t& channels);

// The probe and the factory against a given binding (the public versions use
// the process-wide one). A decoding source keeps a reference to `lib`, which
// must outlive it.
void probe_stream(const CodecLibrary& lib, int fd, PcmTrack& track);
std::unique_ptr<PcmSource> make_pcm_source(const CodecLibrary& lib, int fd, PcmTrack track);

// What a decoding source has asked of its decoder since it was created.
struct DecoderStats {
    std::uint64_t packets_sent = 0; // access units handed to the decoder
    std::uint64_t eos_sent = 0;     // end-of-stream signals
    std::uint64_t frames_received = 0;
    std::uint64_t frames_dropped = 0; // pre-roll frames thrown away
    std::uint64_t silent_blocks = 0;  // empty or undecodable units, played as silence
    std::uint64_t resets = 0;         // repositionings (cache emptied)
    std::uint64_t flushes = 0;        // of those, on the same decoder, flushed
    std::uint64_t fresh_decoders = 0;      // decoders started on: the first read and every jump
    std::uint64_t decoders_from_stock = 0; // of those, opened ahead in the background
    std::uint64_t source_reads = 0;        // positioned reads of access-unit bytes
    std::uint64_t cache_first = 0;
    std::uint64_t cache_blocks = 0;
    std::uint64_t cache_capacity = 0;
};

// The statistics of a decoding source; nothing for any other kind of source.
std::optional<DecoderStats> decoder_stats(PcmSource& source);

// Writes one decoded frame as a block of interleaved 16-bit samples with
// `channels` channels: planar or interleaved, 16-bit or float input with
// `decoder_channels` channels. Every byte of the block is written: channels and
// frames the input lacks are zero, and an unknown format gives a silent block.
void convert_samples(const std::uint8_t* const* planes, int format, std::int64_t nb_samples,
                     std::uint32_t decoder_channels, std::uint32_t channels, std::span<std::uint8_t> block);

// Converts one decoded sample to 16 bits, rounding half away from zero and
// saturating.
std::int16_t float_to_s16(float x);

} // namespace kov
