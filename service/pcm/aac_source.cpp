#include "pcm/aac_source.hpp"
#include "pcm/pcm_track.hpp"

#include "common/full_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/unique_fd.hpp"
#include "pcm/aac_decoder.hpp"
#include "pcm/decoder_stock.hpp"
#include "pcm/silent_pcm.hpp"

namespace kov {

namespace {

constexpr std::size_t input_padding = 64;       // zero bytes the decoder may read past a unit
constexpr std::uint64_t cache_budget = 8388608; // 8 MiB of decoded PCM kept across reads
constexpr std::uint64_t preroll_units = 2;      // decoded and dropped before the first wanted unit
constexpr std::size_t probe_units = 4;
// Far beyond anything an AAC decoder produces or reads (at most 2048 frames
// per unit, 64 channels, 6144 bits per channel and unit). Larger values come
// from damaged or hostile tables, and honouring them would mean allocations
// of gigabytes inside a filesystem read.
constexpr std::uint32_t max_unit_bytes = 1u << 20;
constexpr std::uint32_t max_channels = 64;
constexpr std::uint64_t max_frames_per_unit = 8192;
// Access units that lie this close together in the file are fetched with one
// positioned read (what sits between them, typically a few video samples, is
// read and ignored), up to this much at once.
constexpr std::uint64_t read_ahead_gap = 16384;
constexpr std::uint64_t read_ahead_limit = 262144;

// Every jump frees one decoder (about 600 KiB) and opens another. Under
// glibc's adaptive thresholds that memory may come from a fresh mapping each
// time, or go back to the kernel at the free and return as new pages at the
// next open: a jump then costs about 1 ms of page faults and zeroing instead
// of 0.1 ms (measured on a 10-minute clip). Fixed thresholds keep it in the
// heap: the largest that glibc's adaptive ones can reach, so that large
// tables (the access units of a long clip) do not become fresh mappings.
void keep_decoders_in_the_heap()
{
#if defined(__GLIBC__)
    static std::once_flag once;
    std::call_once(once, [] {
        ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
        ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
    });
#endif
}

// Whether decoders of this binding may come from and go to the process's
// stock: the stock opens through the process-wide binding only.
bool stocked(const CodecLibrary& lib)
{
    return &lib == &codec_library();
}

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

void point_packet_at(LavPacket* packet, std::uint8_t* data, std::uint32_t size)
{
    set_field<std::uint8_t*>(packet, lav_packet_data, data);
    set_field<std::int32_t>(packet, lav_packet_size, static_cast<std::int32_t>(size));
}

class LavAacPcm final : public PcmSource {
public:
    LavAacPcm(const CodecLibrary& lib, UniqueFd fd, std::vector<AccessUnit> units, std::vector<std::uint8_t> asc,
              std::uint32_t channels, std::uint32_t sample_rate, std::uint64_t total_bytes, std::uint64_t block_bytes,
              bool flush_resets)
        : lib_(lib), fd_(std::move(fd)), units_(std::move(units)), asc_(std::move(asc)), channels_(channels),
          sample_rate_(sample_rate), total_bytes_(total_bytes), block_bytes_(block_bytes), flush_resets_(flush_resets)
    {
    }

    // Opens the decoder and its packet and frame; false leaves the source
    // unusable (the factory then falls back to silence).
    bool set_up()
    {
        if (block_bytes_ == 0 || !lib_.bound())
            return false;
        if (stocked(lib_))
            codec_context_ = DecoderStock::instance().take(asc_);
        if (!codec_context_)
            codec_context_ = open_aac_decoder(lib_, asc_);
        if (!codec_context_)
            return false;
        packet_ = LavPtr<LavPacket>(lib_.av_packet_alloc(), lib_.av_packet_free);
        frame_ = LavPtr<LavFrame>(lib_.av_frame_alloc(), lib_.av_frame_free);
        ready_ = packet_ && frame_;
        if (ready_)
            cache_capacity_ = std::max<std::uint64_t>(1, cache_budget / block_bytes_);
        // An open AAC decoder holds about 600 KiB, and a mount may hold the
        // layouts of many files that are never played. This one has had no
        // input: it waits in the stock for the first read of this file or of
        // any other with the same configuration.
        if (stocked(lib_))
            DecoderStock::instance().put(asc_, std::move(codec_context_));
        codec_context_.reset();
        return ready_;
    }

    std::int64_t read(std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) override;

    DecoderStats stats()
    {
        std::lock_guard lock(mutex_);
        DecoderStats s = stats_;
        s.cache_first = cache_first_;
        s.cache_blocks = cache_.size();
        s.cache_capacity = cache_capacity_;
        return s;
    }

private:
    std::uint64_t cache_end() const { return cache_first_ + cache_.size(); }
    void reset(std::uint64_t first);
    DecoderContext fresh_decoder();
    void decode_through(std::uint64_t last);
    void append_block(const LavFrame* frame);
    void skip_frame();
    std::vector<std::uint8_t> new_block(bool zeroed);
    bool load_unit(std::uint64_t index, std::uint64_t last);
    void read_ahead(std::uint64_t from, std::uint64_t last);
    std::uint32_t decoder_channels(const LavFrame* frame, const std::uint8_t* const* planes);

    // What a frame shows of its layout without asking the decoder by name.
    // The decoder's channel count is asked again only when this changes.
    struct FrameShape {
        std::int32_t format = -1;
        std::int32_t nb_samples = 0;
        std::int32_t linesize = 0;
        std::uint32_t planes = 0; // plane pointers set, of the first eight
        bool operator==(const FrameShape&) const = default;
    };

    const CodecLibrary& lib_;
    UniqueFd fd_; // private duplicate, read only with pread
    std::vector<AccessUnit> units_;
    std::vector<std::uint8_t> asc_; // to open fresh decoders
    std::uint32_t channels_;
    std::uint32_t sample_rate_;
    std::uint64_t total_bytes_;
    std::uint64_t block_bytes_;
    std::uint64_t cache_capacity_ = 1;
    bool flush_resets_; // plain AAC-LC: a flush and the pre-roll reposition exactly

    // Everything below is guarded by mutex_, held for a whole read. No other
    // lock is taken while it is held.
    std::mutex mutex_;
    std::deque<std::vector<std::uint8_t>> cache_;  // blocks cache_first_ .. cache_end()-1
    std::vector<std::vector<std::uint8_t>> spare_; // evicted blocks, reused to spare allocations
    std::uint64_t cache_first_ = 0;
    std::uint64_t next_unit_ = 0;
    std::uint64_t next_frame_ = 0;
    bool drained_ = false;
    bool pristine_ = true; // the decoder has had no input since it was opened
    bool stock_touched_ = false; // this read took from or gave to the stock
    std::vector<std::uint8_t> unit_buffer_;
    std::vector<std::uint8_t> ahead_; // source bytes from ahead_offset_, ahead_size_ of them valid
    std::uint64_t ahead_offset_ = 0;
    std::uint64_t ahead_size_ = 0;
    bool shape_known_ = false; // shape_ and decoder_channels_ hold for the open decoder
    FrameShape shape_;
    std::uint32_t decoder_channels_ = 0;
    DecoderContext codec_context_; // open from the first read on
    LavPtr<LavPacket> packet_;
    LavPtr<LavFrame> frame_;
    bool ready_ = false;
    DecoderStats stats_;

    // Members go in reverse order: the frame, the packet and the decoder
    // first, while the library and everything they might refer to remain.
};

DecoderContext LavAacPcm::fresh_decoder()
{
    ++stats_.fresh_decoders;
    if (stocked(lib_)) {
        stock_touched_ = true;
        if (DecoderContext ctx = DecoderStock::instance().take(asc_)) {
            ++stats_.decoders_from_stock;
            return ctx;
        }
    }
    return open_aac_decoder(lib_, asc_);
}

std::vector<std::uint8_t> LavAacPcm::new_block(bool zeroed)
{
    if (spare_.empty())
        return std::vector<std::uint8_t>(block_bytes_);
    std::vector<std::uint8_t> block = std::move(spare_.back());
    spare_.pop_back();
    if (zeroed)
        std::fill(block.begin(), block.end(), std::uint8_t{0});
    return block;
}

void LavAacPcm::reset(std::uint64_t first)
{
    ++stats_.resets;
    // A flushed AAC decoder still holds some of what it decoded before: the
    // previous window shape, and outside plain AAC-LC prediction, long-term
    // and SBR state. In plain AAC-LC two units of pre-roll wash that out:
    // every sample equals a fresh decoder's and a straight read's (measured
    // over 400 jumps). Blocks 0 and 1 have no full pre-roll, and the stale
    // window shape shows there (up to ~800 LSB), so they, and every jump of
    // other profiles, start from a freshly opened decoder. A flush costs
    // nothing; an open about 70 us, most of a jump. Noise-substituted bands
    // draw from a generator whose position depends on what was decoded
    // before, with either decoder.
    const bool flush_is_enough = flush_resets_ && first >= preroll_units;
    if (codec_context_ && !pristine_ && flush_is_enough) {
        lib_.avcodec_flush_buffers(codec_context_.get());
        ++stats_.flushes;
    } else if (!codec_context_ || !pristine_) {
        if (DecoderContext fresh = fresh_decoder()) {
            if (stocked(lib_))
                DecoderStock::instance().discard(std::move(codec_context_));
            codec_context_ = std::move(fresh);
            pristine_ = true;
        } else if (codec_context_) {
            lib_.avcodec_flush_buffers(codec_context_.get()); // better than no audio at all
            ++stats_.flushes;
        }
        shape_known_ = false;
    }
    while (!cache_.empty()) {
        spare_.push_back(std::move(cache_.front()));
        cache_.pop_front();
    }
    if (spare_.size() > cache_capacity_)
        spare_.resize(cache_capacity_);
    cache_first_ = first;
    drained_ = false;
    ahead_size_ = 0; // a jump reads its units afresh
    next_unit_ = next_frame_ = first < preroll_units ? 0 : first - preroll_units;
}

void LavAacPcm::decode_through(std::uint64_t last)
{
    LavCodecContext* ctx = codec_context_.get();
    if (ctx == nullptr)
        return; // no decoder could be opened; the read plays as silence
    while (next_frame_ <= last) {
        const int r = lib_.avcodec_receive_frame(ctx, frame_.get());
        if (r == 0) {
            ++stats_.frames_received;
            const std::uint64_t n = next_frame_++;
            if (n == cache_end())
                append_block(frame_.get());
            else
                ++stats_.frames_dropped;
            continue;
        }
        if (r != lav_error_again) {
            if (drained_)
                return; // end of stream
            // A unit the decoder could not decode yields no frame. Its block
            // plays as silence so that every later frame keeps its number.
            skip_frame();
            continue;
        }
        if (next_unit_ >= units_.size()) {
            if (drained_)
                return;
            lib_.avcodec_send_packet(ctx, nullptr);
            drained_ = true;
            pristine_ = false;
            ++stats_.eos_sent;
            continue;
        }
        const AccessUnit& unit = units_[next_unit_];
        if (unit.size == 0) {
            // An empty access unit plays as one block of silence.
            ++next_unit_;
            skip_frame();
            continue;
        }
        if (!load_unit(next_unit_, last))
            return;
        point_packet_at(packet_.get(), unit_buffer_.data(), unit.size);
        pristine_ = false;
        const int sent = lib_.avcodec_send_packet(ctx, packet_.get());
        point_packet_at(packet_.get(), nullptr, 0);
        ++next_unit_;
        ++stats_.packets_sent;
        // The decoder decodes inside send as well, and then reports a damaged
        // unit here, after consuming it: its frame is lost as above.
        if (sent < 0)
            skip_frame();
    }
}

void LavAacPcm::skip_frame()
{
    ++stats_.silent_blocks;
    if (next_frame_++ == cache_end())
        cache_.push_back(new_block(true));
}

bool LavAacPcm::load_unit(std::uint64_t index, std::uint64_t last)
{
    const AccessUnit& unit = units_[index];
    const auto held = [&] {
        return unit.size <= max_unit_bytes && unit.offset >= ahead_offset_ &&
               unit.offset - ahead_offset_ <= ahead_size_ && unit.size <= ahead_size_ - (unit.offset - ahead_offset_);
    };
    if (!held())
        read_ahead(index, last);
    if (!held()) { // not read ahead, or past what the file gave: read alone
        ++stats_.source_reads;
        return read_access_unit(fd_.get(), unit, unit_buffer_);
    }
    unit_buffer_.resize(std::size_t{unit.size} + input_padding);
    std::memcpy(unit_buffer_.data(), ahead_.data() + (unit.offset - ahead_offset_), unit.size);
    std::memset(unit_buffer_.data() + unit.size, 0, input_padding);
    return true;
}

// One positioned read for the units from `from` on that this read will decode
// and that lie close together, instead of one system call per unit.
void LavAacPcm::read_ahead(std::uint64_t from, std::uint64_t last)
{
    ahead_size_ = 0;
    const AccessUnit& head = units_[from];
    const std::uint64_t off_max = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (head.size > max_unit_bytes || head.offset > off_max - read_ahead_limit)
        return;
    const std::uint64_t start = head.offset;
    std::uint64_t end = start + head.size;
    for (std::uint64_t u = from + 1; u <= last && u < units_.size(); ++u) {
        const AccessUnit& unit = units_[u];
        if (unit.size == 0)
            continue;
        if (unit.offset < end || unit.offset - end > read_ahead_gap || unit.size > read_ahead_limit ||
            unit.offset - start > read_ahead_limit - unit.size)
            break;
        end = unit.offset + unit.size;
    }
    if (end - start == head.size)
        return; // a lone unit is read straight into the unit buffer
    if (ahead_.size() < end - start)
        ahead_.resize(end - start);
    ++stats_.source_reads;
    const std::int64_t got = pread_full(fd_.get(), ahead_.data(), static_cast<std::size_t>(end - start), start);
    ahead_offset_ = start;
    ahead_size_ = got < 0 ? 0 : static_cast<std::uint64_t>(got);
}

std::uint32_t LavAacPcm::decoder_channels(const LavFrame* frame, const std::uint8_t* const* planes)
{
    FrameShape shape;
    shape.format = get_field<std::int32_t>(frame, lav_frame_format);
    shape.nb_samples = get_field<std::int32_t>(frame, lav_frame_nb_samples);
    shape.linesize = get_field<std::int32_t>(frame, lav_frame_linesize);
    const auto* data = reinterpret_cast<const std::uint8_t* const*>(reinterpret_cast<const std::uint8_t*>(frame) +
                                                                    lav_frame_data);
    for (int k = 0; k < 8; ++k)
        shape.planes += get_field<const std::uint8_t*>(frame, lav_frame_data + k * sizeof(void*)) != nullptr;
    // Beyond eight planes a change of channel count would not show in the
    // shape; such frames ask every time.
    if (!shape_known_ || shape != shape_ || planes != data) {
        std::uint32_t rate = sample_rate_;
        decoder_channels_ = channels_;
        read_decoder_format(lib_, codec_context_.get(), rate, decoder_channels_);
        shape_ = shape;
        shape_known_ = true;
    }
    return decoder_channels_;
}

void LavAacPcm::append_block(const LavFrame* frame)
{
    std::vector<std::uint8_t> block = new_block(false); // the conversion writes every byte
    auto planes = get_field<const std::uint8_t* const*>(frame, lav_frame_extended_data);
    if (planes == nullptr) // the plane array at the very start of the frame
        planes =
            reinterpret_cast<const std::uint8_t* const*>(reinterpret_cast<const std::uint8_t*>(frame) + lav_frame_data);
    const std::uint32_t dch = decoder_channels(frame, planes);
    convert_samples(planes, get_field<std::int32_t>(frame, lav_frame_format),
                    get_field<std::int32_t>(frame, lav_frame_nb_samples), dch, channels_, block);
    cache_.push_back(std::move(block));
}

std::int64_t LavAacPcm::read(std::uint8_t* dest, std::uint64_t length, std::uint64_t offset)
{
    if (offset >= total_bytes_ || length == 0)
        return 0;
    const std::uint64_t end = offset + std::min(length, total_bytes_ - offset);
    const std::uint64_t first = offset / block_bytes_;
    const std::uint64_t last = (end - 1) / block_bytes_;

    std::unique_lock lock(mutex_);
    if (cache_.empty() || first < cache_first_ || first > cache_end())
        reset(first);
    decode_through(last);

    while (cache_.size() > cache_capacity_ && cache_first_ < first) {
        spare_.push_back(std::move(cache_.front()));
        cache_.pop_front();
        ++cache_first_;
    }
    // Keep as many spare blocks as a read like this one decodes, so that a
    // steady sequential pass allocates nothing.
    const std::uint64_t keep = std::min(cache_capacity_, std::max(preroll_units + 1, last - first + 1));
    if (spare_.size() > keep)
        spare_.resize(keep);

    std::uint64_t p = offset;
    std::uint64_t count = 0;
    while (p < end) {
        const std::uint64_t b = p / block_bytes_;
        const std::uint64_t o = p % block_bytes_;
        if (b < cache_first_ || b >= cache_end())
            break;
        const std::vector<std::uint8_t>& block = cache_[b - cache_first_];
        if (o >= block.size())
            break;
        const std::uint64_t n = std::min<std::uint64_t>(block.size() - o, end - p);
        std::memcpy(dest + count, block.data() + o, n);
        count += n;
        p += n;
    }
    const bool top_up = std::exchange(stock_touched_, false);
    lock.unlock();
    if (top_up)
        DecoderStock::instance().top_up();
    return static_cast<std::int64_t>(count);
}

} // namespace

DecoderContext open_aac_decoder(const CodecLibrary& lib, std::span<const std::uint8_t> asc)
{
    if (!lib.bound())
        return {};
    const LavCodec* codec = lib.aac_decoder ? lib.aac_decoder : lib.avcodec_find_decoder(lav_codec_id_aac);
    if (codec == nullptr)
        return {};
    DecoderContext ctx(lib.avcodec_alloc_context3(codec), lib.avcodec_free_context);
    if (!ctx)
        return {};
    if (!asc.empty()) {
        LavPtr<LavCodecParameters> par(lib.avcodec_parameters_alloc(), lib.avcodec_parameters_free);
        if (!par)
            return {};
        set_field<std::int32_t>(par.get(), lav_par_codec_type, lav_media_type_audio);
        set_field<std::int32_t>(par.get(), lav_par_codec_id, lav_codec_id_aac);
        // The parameters own their extradata and free it with av_free, so it
        // must come from the library's allocator; the padding stays zero.
        if (asc.size() <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - input_padding) {
            if (void* extradata = lib.av_mallocz(asc.size() + input_padding)) {
                std::memcpy(extradata, asc.data(), asc.size());
                set_field<void*>(par.get(), lav_par_extradata, extradata);
                set_field<std::int32_t>(par.get(), lav_par_extradata_size, static_cast<std::int32_t>(asc.size()));
            }
        }
        if (lib.avcodec_parameters_to_context(ctx.get(), par.get()) < 0)
            return {};
    }
    // Keep the encoder-delay samples in the output, so that block n of the
    // PCM is always the output of access unit n.
    lib.av_opt_set(ctx.get(), "flags2", "+skip_manual", 0);
    if (lib.avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return {};
    return ctx;
}

bool read_access_unit(int fd, const AccessUnit& unit, std::vector<std::uint8_t>& buffer)
{
    if (unit.size > max_unit_bytes)
        return false;
    buffer.resize(std::size_t{unit.size} + input_padding);
    std::memset(buffer.data() + unit.size, 0, input_padding);
    return pread_full(fd, buffer.data(), unit.size, unit.offset) == static_cast<std::int64_t>(unit.size);
}

void read_decoder_format(const CodecLibrary& lib, LavCodecContext* ctx, std::uint32_t& rate, std::uint32_t& channels)
{
    std::int64_t v = 0;
    if (lib.av_opt_get_int(ctx, "ar", 0, &v) >= 0 && v > 0 && v <= std::numeric_limits<std::int32_t>::max())
        rate = static_cast<std::uint32_t>(v);
    v = 0;
    if (lib.av_opt_get_int(ctx, "ac", 0, &v) >= 0 && v > 0 && v <= std::numeric_limits<std::int32_t>::max())
        channels = static_cast<std::uint32_t>(v);
}

namespace {

// The unit table as the old block-per-unit decoder needs it; timing is
// uniform for every track handed over so far.
std::vector<AccessUnit> unit_table(const PcmTrack& track, std::size_t limit)
{
    std::vector<AccessUnit> units;
    if (!track.units)
        return units;
    for (const PcmUnit& u : track.units(limit))
        units.push_back({u.offset, u.size});
    return units;
}

std::size_t file_limit(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size <= 0)
        return 0;
    return static_cast<std::size_t>(st.st_size);
}

} // namespace

void probe_stream(const CodecLibrary& lib, int fd, PcmTrack& track)
{
    if (!lib.bound())
        return;
    const std::vector<AccessUnit> units = unit_table(track, probe_units);
    if (units.empty())
        return;
    const std::span<const std::uint8_t> asc = track.asc;
    DecoderContext ctx;
    if (stocked(lib))
        ctx = DecoderStock::instance().take(asc);
    if (!ctx)
        ctx = open_aac_decoder(lib, asc);
    if (!ctx)
        return;
    LavPtr<LavPacket> packet(lib.av_packet_alloc(), lib.av_packet_free);
    LavPtr<LavFrame> frame(lib.av_frame_alloc(), lib.av_frame_free);
    if (!packet || !frame)
        return;

    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint64_t most_samples = 0;
    bool decoded = false;
    std::vector<std::uint8_t> buffer;
    const std::size_t count = std::min(probe_units, units.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (units[i].size == 0)
            continue;
        if (!read_access_unit(fd, units[i], buffer))
            break;
        point_packet_at(packet.get(), buffer.data(), units[i].size);
        const int sent = lib.avcodec_send_packet(ctx.get(), packet.get());
        point_packet_at(packet.get(), nullptr, 0);
        if (sent < 0)
            break;
        while (lib.avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
            read_decoder_format(lib, ctx.get(), rate, channels);
            decoded = true;
            const auto n = get_field<std::int32_t>(frame.get(), lav_frame_nb_samples);
            if (n > 0)
                most_samples = std::max<std::uint64_t>(most_samples, static_cast<std::uint64_t>(n));
        }
    }
    ctx.reset();
    if (stocked(lib))
        DecoderStock::instance().top_up(); // make up for the one taken above
    if (!decoded)
        return;
    if (rate != 0)
        track.rate = rate;
    if (channels != 0)
        track.channels = channels;
    if (most_samples != 0 && most_samples <= max_frames_per_unit)
        track.frames_per_unit = static_cast<std::uint32_t>(most_samples);
}

void probe_stream(int fd, PcmTrack& track)
{
    probe_stream(codec_library(), fd, track);
}

std::unique_ptr<PcmSource> make_pcm_source(const CodecLibrary& lib, int fd, PcmTrack track)
{
    if (!lib.bound())
        return std::make_unique<SilentPcm>();
    std::vector<AccessUnit> units = unit_table(track, file_limit(fd));
    if (units.empty())
        return std::make_unique<SilentPcm>();
    const std::uint64_t frame_bytes = std::uint64_t{track.channels} * 2;
    const std::uint64_t total_frames = track.total_frames;
    // Geometry no AAC decoder produces comes from a damaged file; decoding it
    // would only allocate absurd blocks.
    if (track.channels == 0 || track.channels > max_channels || track.frames_per_unit == 0 ||
        track.frames_per_unit > max_frames_per_unit ||
        total_frames > std::numeric_limits<std::uint64_t>::max() / frame_bytes)
        return std::make_unique<SilentPcm>();
    // Close-on-exec, so that commands the service runs never inherit it.
    UniqueFd dup_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!dup_fd)
        return std::make_unique<SilentPcm>();
    keep_decoders_in_the_heap();
    const std::vector<std::uint8_t>& asc = track.asc;
    // Audio object type 2 (AAC-LC) in the first five bits, and no SBR found
    // by the probe (it would double the frames per unit).
    const bool plain_lc = !asc.empty() && (asc[0] >> 3) == 2 && track.frames_per_unit == 1024;
    auto source = std::make_unique<LavAacPcm>(lib, std::move(dup_fd), std::move(units), asc, track.channels,
                                              track.rate, total_frames * frame_bytes,
                                              std::uint64_t{track.frames_per_unit} * frame_bytes, plain_lc);
    if (!source->set_up())
        return std::make_unique<SilentPcm>();
    return source;
}

std::unique_ptr<PcmSource> make_pcm_source(int fd, PcmTrack track)
{
    return make_pcm_source(codec_library(), fd, std::move(track));
}

void warm_up_aac_decoder()
{
    const CodecLibrary& lib = codec_library();
    if (!lib.bound())
        return;
    keep_decoders_in_the_heap();
    // libavcodec builds its AAC tables on the first decoder open of a process
    // (a few milliseconds); doing it here keeps that out of the first read.
    open_aac_decoder(lib, {});
}

std::optional<DecoderStats> decoder_stats(PcmSource& source)
{
    if (auto* lav = dynamic_cast<LavAacPcm*>(&source))
        return lav->stats();
    return std::nullopt;
}

} // namespace kov
