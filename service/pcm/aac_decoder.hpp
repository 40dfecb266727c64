#pragma once
// Owning wrappers for libavcodec objects, AAC decoder set-up, the one loop
// that feeds a decoder a unit and takes its frames, and the fields of
// FFmpeg's own objects the decoding path reads and writes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "pcm/codec_library.hpp"
#include "pcm/decoder_config.hpp"

namespace kov {

// Zero bytes the decoder may read past the end of a unit.
constexpr std::size_t input_padding = 64;

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

// The same for any codec the service converts, with its extradata; empty for
// a codec it has no decoder for.
DecoderContext open_decoder(const CodecLibrary& lib, Codec codec, std::span<const std::uint8_t> extradata);

// Replaces `rate` and `channels` by the decoder's output format where it
// reports a positive value; leaves them alone otherwise.
void read_decoder_format(const CodecLibrary& lib, LavCodecContext* ctx, std::uint32_t& rate, std::uint32_t& channels);

// Fields of FFmpeg's own objects, reached by their fixed byte offsets.
template <typename V> V get_field(const void* object, std::size_t offset)
{
    V v;
    std::memcpy(&v, static_cast<const std::uint8_t*>(object) + offset, sizeof v);
    return v;
}

template <typename V> void set_field(void* object, std::size_t offset, V v)
{
    std::memcpy(static_cast<std::uint8_t*>(object) + offset, &v, sizeof v);
}

inline void point_packet_at(LavPacket* packet, std::uint8_t* data, std::uint32_t size)
{
    set_field<std::uint8_t*>(packet, lav_packet_data, data);
    set_field<std::int32_t>(packet, lav_packet_size, static_cast<std::int32_t>(size));
}

// A packet and a frame to feed one decoder at a time with: every unit any
// decoder of the program is fed goes through feed().
class UnitFeeder {
  public:
    explicit UnitFeeder(const CodecLibrary& lib)
        : lib_(lib), packet_(lib.av_packet_alloc(), lib.av_packet_free), frame_(lib.av_frame_alloc(), lib.av_frame_free)
    {
    }

    bool ready() const { return packet_ && frame_; }

    struct Fed {
        int sent = 0;   // what sending the unit returned
        int frames = 0; // frames the decoder gave for it
    };

    // Sends the `size` bytes at `data` (input_padding zero bytes must follow
    // them), then hands every frame the decoder gives to `on_frame`, which
    // must not keep the pointer. A refused unit is consumed all the same: it
    // simply gives no frame.
    template <class OnFrame> Fed feed(LavCodecContext* ctx, std::uint8_t* data, std::uint32_t size, OnFrame&& on_frame)
    {
        point_packet_at(packet_.get(), data, size);
        Fed fed;
        fed.sent = lib_.avcodec_send_packet(ctx, packet_.get());
        point_packet_at(packet_.get(), nullptr, 0);
        while (lib_.avcodec_receive_frame(ctx, frame_.get()) == 0) {
            ++fed.frames;
            on_frame(static_cast<const LavFrame*>(frame_.get()));
        }
        return fed;
    }

  private:
    const CodecLibrary& lib_;
    LavPtr<LavPacket> packet_;
    LavPtr<LavFrame> frame_;
};

} // namespace kov
