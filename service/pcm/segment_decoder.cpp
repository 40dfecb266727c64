#include "pcm/segment_decoder.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "common/full_io.hpp"
#include "pcm/aac_decoder.hpp"
#include "pcm/codec_decoding.hpp"
#include "pcm/decoding_service.hpp"
#include "pcm/sample_convert.hpp"

namespace kov {

namespace {

// Far beyond anything an AAC encoder writes (6144 bits per channel and unit,
// 64 channels). Larger sizes come from damaged or hostile tables and are
// treated as damaged units rather than read.
constexpr std::uint32_t max_unit_bytes = 1u << 20;
// Units that lie this close together in the file are fetched with one
// positioned read (what sits between them, typically a few video samples, is
// read and ignored), up to this much at once.
constexpr std::uint64_t gather_gap = 16384;
constexpr std::uint64_t gather_limit = 262144;
// A read-ahead hint covers at most this much of the file.
constexpr std::uint64_t prefetch_limit = 8u << 20;
// libavcodec's AAC decoder allocates a channel element (535 KiB) for every
// element a program configuration element names, up to 64, and keeps them
// until it is closed. A damaged unit often reads as one: a decoder fed a
// damaged stream grew to 35 MiB, and twelve of them decoding at once took the
// service past 200 MiB. So a decoder that may have grown by more than this
// many elements is closed at once and a fresh one decodes on.
constexpr std::uint32_t max_grown_elements = 4;

// The channel elements a unit of `size` bytes can make the decoder allocate:
// a program configuration element takes 45 bits before its list, which must
// fit in the unit at 4 bits or more an element, or it is refused unread.
// Only AAC's decoder grows so; the others' state is fixed by their
// configuration, and keeping their decoder past a damaged unit keeps the
// units after it as close to an undamaged decode as the codec allows.
std::uint32_t elements_within(Codec codec, std::uint32_t size)
{
    if (codec != Codec::aac)
        return 0;
    const std::uint64_t bits = std::uint64_t{size} * 8;
    return bits <= 45 ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>((bits - 45) / 4, 64));
}

// Holds one of the service's damaged-feed slots while a unit of a damaged
// stream is fed.
class DamagedFeed {
  public:
    DamagedFeed(DecodeGates& gates, const std::atomic<bool>* damaged)
        : gates_(gates), held_(damaged != nullptr && damaged->load(std::memory_order_relaxed))
    {
        if (held_)
            gates_.damaged_feeds.acquire();
    }
    ~DamagedFeed()
    {
        if (held_)
            gates_.damaged_feeds.release();
    }
    DamagedFeed(const DamagedFeed&) = delete;
    DamagedFeed& operator=(const DamagedFeed&) = delete;

  private:
    DecodeGates& gates_;
    bool held_;
};

// Holds one of the service's decode slots for a whole segment.
class DecodeSlot {
  public:
    explicit DecodeSlot(DecodeGates& gates) : gates_(gates) { gates_.decodes.acquire(); }
    ~DecodeSlot() { gates_.decodes.release(); }
    DecodeSlot(const DecodeSlot&) = delete;
    DecodeSlot& operator=(const DecodeSlot&) = delete;

  private:
    DecodeGates& gates_;
};

// The bytes of the units of one decode, fetched in as few reads as they allow.
class UnitReader {
  public:
    UnitReader(int fd, const UnitTable& table, std::uint64_t last) : fd_(fd), table_(table), last_(last) {}

    enum class Got { bytes, damaged, error };

    // The bytes of unit i followed by zero padding in data(), or why not.
    Got load(std::uint64_t i)
    {
        const std::uint64_t offset = table_.offset(i);
        const std::uint32_t size = table_.unit_size(i);
        if (size == 0 || size > max_unit_bytes)
            return Got::damaged;
        if (!held(offset, size))
            gather(i);
        unit_.resize(std::size_t{size} + input_padding);
        std::memset(unit_.data() + size, 0, input_padding);
        if (held(offset, size)) {
            std::memcpy(unit_.data(), span_.data() + (offset - span_offset_), size);
            return Got::bytes;
        }
        // Alone: a failed gathered read may have failed on bytes between units.
        const std::int64_t got = pread_full(fd_, unit_.data(), size, offset);
        if (got < 0)
            return Got::error;
        // A unit past the end of the file is damaged, not unreadable.
        return static_cast<std::uint64_t>(got) == size ? Got::bytes : Got::damaged;
    }

    std::uint8_t* data() { return unit_.data(); }

  private:
    bool held(std::uint64_t offset, std::uint32_t size) const
    {
        return offset >= span_offset_ && offset - span_offset_ <= span_size_ &&
               size <= span_size_ - (offset - span_offset_);
    }

    // One read for unit i and the units after it that lie close.
    void gather(std::uint64_t i)
    {
        span_size_ = 0;
        const std::uint64_t start = table_.offset(i);
        const std::uint64_t off_max = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
        if (start > off_max - gather_limit)
            return;
        std::uint64_t end = start + table_.unit_size(i);
        for (std::uint64_t u = i + 1; u <= last_; ++u) {
            const std::uint64_t offset = table_.offset(u);
            const std::uint32_t size = table_.unit_size(u);
            if (size == 0)
                continue;
            if (offset < end || offset - end > gather_gap || size > gather_limit ||
                offset - start > gather_limit - size)
                break;
            end = offset + size;
        }
        if (end - start == table_.unit_size(i))
            return; // a lone unit is read straight into its buffer
        span_.resize(static_cast<std::size_t>(end - start));
        const std::int64_t got = pread_full(fd_, span_.data(), span_.size(), start);
        span_offset_ = start;
        span_size_ = got < 0 ? 0 : static_cast<std::uint64_t>(got);
    }

    int fd_;
    const UnitTable& table_;
    std::uint64_t last_;
    std::vector<std::uint8_t> span_;
    std::uint64_t span_offset_ = 0;
    std::uint64_t span_size_ = 0;
    std::vector<std::uint8_t> unit_;
};

// What a frame shows of its layout without asking the decoder by name. The
// decoder's channel count is asked again only when this changes.
struct FrameShape {
    std::int32_t format = -1;
    std::int32_t nb_samples = 0;
    std::int32_t linesize = 0;
    const std::uint8_t* const* planes = nullptr;
    bool operator==(const FrameShape&) const = default;
};

const std::uint8_t* const* planes_of(const LavFrame* frame)
{
    auto planes = get_field<const std::uint8_t* const*>(frame, lav_frame_extended_data);
    if (planes == nullptr) // the plane array at the very start of the frame
        planes =
            reinterpret_cast<const std::uint8_t* const*>(reinterpret_cast<const std::uint8_t*>(frame) + lav_frame_data);
    return planes;
}

class Decode {
  public:
    Decode(const SegmentInput& in, DecodedSegment& out)
        : in_(in), lib_(in.service.library()), stock_(in.service.stock()), out_(out), feeder_(lib_)
    {
    }

    ~Decode()
    {
        if (!ctx_)
            return;
        if (in_.reusable && clean_ && format_as_configured()) {
            stock_.give_back(in_.asc, std::move(ctx_));
        } else {
            stock_.discard(std::move(ctx_));
            stock_.top_up();
        }
    }

    // A decoder: a used one reset when `may_reuse`, else a fresh one.
    bool open(bool may_reuse)
    {
        grown_ = 0;
        fed_any_ = false;
        if (in_.codec != Codec::aac) {
            ctx_ = open_decoder(lib_, in_.codec, in_.asc);
            return ctx_ && feeder_.ready();
        }
        if (may_reuse) {
            ctx_ = stock_.take_reset(in_.asc);
            reused_ = static_cast<bool>(ctx_);
        }
        if (!ctx_)
            ctx_ = stock_.take(in_.asc, in_.wait_for_stock);
        if (!ctx_)
            ctx_ = open_aac_decoder(lib_, in_.asc);
        return ctx_ && feeder_.ready();
    }

    // Feeds one unit's bytes; keeps its output when `keep` (it fills at most
    // `room` frames). True when the unit decoded to one frame of the
    // configuration's shape.
    bool feed(std::uint8_t* data, std::uint32_t size, bool keep, std::uint64_t room)
    {
        std::uint64_t placed = 0;
        bool as_configured = true;
        const auto fed = feeder_.feed(ctx_.get(), data, size, [&](const LavFrame* frame) {
            as_configured = as_configured && frame_as_configured(frame);
            if (keep && placed < room)
                placed += append(frame, room - placed);
        });
        if (keep)
            out_.frames.back() = static_cast<std::uint32_t>(placed);
        // A decoder that met anything else (a refused unit, a changed layout)
        // may carry more than a reset clears: it is not used again. A fresh
        // decoder of varying units gives nothing for its first.
        const bool primed = fed.frames == 0 && !fed_any_ && units_vary(in_.codec);
        fed_any_ = true;
        const bool clean = fed.sent == 0 && (fed.frames == 1 || primed) && as_configured;
        clean_ = clean_ && clean;
        if (!clean)
            grown_ += elements_within(in_.codec, size);
        return clean;
    }

    // Whether the decoder may have grown past max_grown_elements; a unit it
    // decoded cleanly added none.
    bool grown() const { return grown_ > max_grown_elements; }

    // Closes the decoder here and now (the stock's thread may be far behind)
    // and opens a fresh one to decode on: the same for every read, as what
    // led to it depends on the file alone.
    bool replace()
    {
        ctx_.reset();
        shape_known_ = false;
        clean_ = true;
        reused_ = false;
        return open(false);
    }

    bool reused() const { return reused_; }

  private:
    bool frame_as_configured(const LavFrame* frame) const
    {
        const auto n = get_field<std::int32_t>(frame, lav_frame_nb_samples);
        const CodecDecoding* codec = codec_decoding(in_.codec);
        if (codec != nullptr && codec->short_frames)
            return n > 0 && n <= static_cast<std::int32_t>(in_.frames_per_unit);
        return n == static_cast<std::int32_t>(in_.frames_per_unit);
    }

    // Asked once per use rather than per unit: asking by name walks the
    // decoder's option list.
    bool format_as_configured() const
    {
        std::uint32_t rate = 0;
        std::uint32_t channels = 0;
        read_decoder_format(lib_, ctx_.get(), rate, channels);
        return rate == in_.rate && channels == in_.channels;
    }

    std::uint64_t append(const LavFrame* frame, std::uint64_t room)
    {
        FrameShape shape;
        shape.format = get_field<std::int32_t>(frame, lav_frame_format);
        shape.nb_samples = get_field<std::int32_t>(frame, lav_frame_nb_samples);
        shape.linesize = get_field<std::int32_t>(frame, lav_frame_linesize);
        shape.planes = planes_of(frame);
        if (shape.nb_samples <= 0)
            return 0;
        if (!(shape_known_ && shape == shape_)) {
            std::uint32_t rate = in_.rate;
            decoder_channels_ = in_.channels;
            read_decoder_format(lib_, ctx_.get(), rate, decoder_channels_);
            shape_ = shape;
            shape_known_ = true;
        }
        const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(shape.nb_samples), room);
        const std::size_t frame_bytes = std::size_t{in_.channels} * pcm_sample_bytes(in_.bits);
        const std::size_t at = out_.pcm.size();
        out_.pcm.resize(at + static_cast<std::size_t>(n) * frame_bytes);
        convert_samples(shape.planes, shape.format, static_cast<std::int64_t>(n), decoder_channels_, in_.channels,
                        std::span<std::uint8_t>(out_.pcm.data() + at, static_cast<std::size_t>(n) * frame_bytes),
                        in_.bits);
        return n;
    }

    const SegmentInput& in_;
    const CodecLibrary& lib_;
    DecoderStock& stock_;
    DecodedSegment& out_;
    UnitFeeder feeder_;
    DecoderContext ctx_;
    bool shape_known_ = false;
    FrameShape shape_;
    std::uint32_t decoder_channels_ = 0;
    bool reused_ = false;     // reset after an earlier use
    bool clean_ = true;       // every unit fed decoded as configured
    std::uint32_t grown_ = 0; // channel elements damaged units may have added
    bool fed_any_ = false;    // a unit was fed since the decoder was opened
};

enum class Outcome { done, failed, again_fresh };

Outcome decode_once(const SegmentInput& in, std::uint64_t first, std::uint64_t through, bool may_reuse,
                    DecodedSegment& out)
{
    const std::uint64_t pre = first >= in.preroll ? first - in.preroll : 0;
    const std::size_t count = static_cast<std::size_t>(through - first + 1);
    out.first_unit = first;
    out.frames.clear();
    out.at.clear();
    out.frames.reserve(count);
    out.at.reserve(count);
    if (out.pcm.capacity() == 0)
        out.pcm = in.service.decoded().buffer(count * std::size_t{in.frames_per_unit} * in.channels *
                                              pcm_sample_bytes(in.bits));
    out.pcm.clear();

    Decode decode(in, out);
    if (!decode.open(may_reuse))
        return Outcome::failed;
    UnitReader reader(in.fd, in.table, through);
    for (std::uint64_t u = pre; u <= through; ++u) {
        const bool keep = u >= first;
        if (keep) {
            out.at.push_back(out.pcm.size());
            out.frames.push_back(0);
        }
        const auto got = reader.load(u);
        if (got == UnitReader::Got::error)
            return Outcome::failed;
        bool clean = false;
        if (got == UnitReader::Got::bytes) {
            const std::uint32_t size = in.table.unit_size(u);
            const DamagedFeed gate(in.service.gates(), in.damaged);
            clean = decode.feed(reader.data(), size, keep, keep ? in.table.end(u) - in.table.start(u) : 0);
            if (!clean && elements_within(in.codec, size) > 0 && in.damaged != nullptr)
                in.damaged->store(true, std::memory_order_relaxed);
        }
        // A reset decoder equals a fresh one only behind a clean pre-roll.
        if (!keep && !clean && decode.reused())
            return Outcome::again_fresh;
        if (decode.grown() && !decode.replace())
            return Outcome::failed;
    }
    return Outcome::done;
}

} // namespace

std::size_t DecodedSegment::bytes() const
{
    return pcm.capacity() + frames.capacity() * sizeof(std::uint32_t) + at.capacity() * sizeof(std::uint64_t) +
           sizeof(*this);
}

int decode_segment(const SegmentInput& in, std::uint64_t first, std::uint64_t through, DecodedSegment& out)
{
    const DecodeSlot slot(in.service.gates());
    out = DecodedSegment{};
    const std::uint64_t pre = first >= in.preroll ? first - in.preroll : 0;
    // The units of a segment lie apart when video sits between them: one hint
    // for all of them lets a slow source fetch them at once rather than one
    // round trip each.
    prefetch_units(in.fd, in.table, pre, through);
    const bool may_reuse = in.reusable && in.preroll >= DecoderReset::min_preroll && first >= in.preroll;
    Outcome outcome = decode_once(in, first, through, may_reuse, out);
    if (outcome == Outcome::again_fresh)
        outcome = decode_once(in, first, through, false, out);
    return outcome == Outcome::done ? 0 : -EIO;
}

void prefetch_units(int fd, const UnitTable& table, std::uint64_t first, std::uint64_t through)
{
    if (first > through || through >= table.size())
        return;
    std::uint64_t low = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t high = 0;
    for (std::uint64_t u = first; u <= through; ++u) {
        const std::uint32_t size = table.unit_size(u);
        if (size == 0 || size > max_unit_bytes || table.offset(u) > std::numeric_limits<std::uint64_t>::max() - size)
            continue;
        low = std::min(low, table.offset(u));
        high = std::max(high, table.offset(u) + size);
    }
    const std::uint64_t off_max = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (low >= high || high - low > prefetch_limit || high > off_max)
        return;
    ::posix_fadvise(fd, static_cast<off_t>(low), static_cast<off_t>(high - low), POSIX_FADV_WILLNEED);
}

} // namespace kov
