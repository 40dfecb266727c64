#include "pcm/aac_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "common/unique_fd.hpp"
#include "pcm/aac_decoder.hpp"
#include "pcm/codec_decoding.hpp"
#include "pcm/decoding_service.hpp"
#include "pcm/silent_pcm.hpp"
#include "pcm/unit_table.hpp"

namespace kov {

namespace {

// Segments decoded ahead of a reader going straight through.
constexpr std::uint64_t ahead_segments = 12; // about four seconds of audio
// Geometry beyond anything an AAC decoder produces comes from a damaged file;
// decoding it would only allocate absurd blocks.
constexpr std::uint32_t max_channels = 64;
constexpr std::uint32_t max_frames_per_unit = 8192;
constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();

class Core : public std::enable_shared_from_this<Core>, public TableBudget::Holder {
  public:
    Core(std::shared_ptr<DecodingService> service, PcmTrack track, std::uint64_t preroll, bool reusable)
        : service_(std::move(service)), track_(std::move(track)), id_(service_->new_source_id()),
          frame_bytes_(std::uint64_t{track_.channels} * track_.sample_bytes()),
          total_bytes_(track_.total_frames * frame_bytes_), preroll_(preroll), reusable_(reusable)
    {
    }

    std::int64_t read(int fd, std::uint8_t* dest, std::uint64_t length, std::uint64_t offset);

    void prepare(int fd)
    {
        bool built = false;
        {
            std::lock_guard lock(mutex_);
            table_locked(fd, built);
        }
        if (built)
            service_->tables().trim(id_);
    }

    void release()
    {
        {
            std::lock_guard lock(mutex_);
            drop_table_locked();
            ++generation_;
            last_segment_ = none;
        }
        service_->decoded().drop(id_);
    }

    TableBudget::Clock::time_point table_used() const override
    {
        return TableBudget::Clock::time_point(TableBudget::Clock::duration(table_used_.load()));
    }

    bool drop_idle_table(TableBudget::Clock::time_point now) override
    {
        std::lock_guard lock(mutex_);
        if (!table_ || now - table_used() < TableBudget::idle_after)
            return false;
        drop_table_locked();
        return true;
    }

  private:
    using Segment = std::shared_ptr<const DecodedSegment>;
    using Table = std::shared_ptr<const UnitTable>;

    // What one read covers: units ua..ub in segments ka..kb of the table.
    struct ReadPlan {
        Table table;
        std::uint64_t generation = 0;
        bool straight = false; // goes on from where the previous read ended
        std::uint64_t ua = 0, ub = 0, ka = 0, kb = 0;
    };

    // Fills the plan of a read of frames [first_frame, end_frame); false
    // when no unit fills any of them.
    bool plan(int fd, std::uint64_t first_frame, std::uint64_t end_frame, ReadPlan& p);
    // Hands the segments the read will not wait for to the workers.
    void schedule(int fd, const ReadPlan& p);
    void copy_out(const ReadPlan& p, const std::vector<Segment>& segments, std::uint8_t* dest, std::uint64_t offset,
                  std::uint64_t end) const;

    // The table, built through `fd` when missing (then `built` is set).
    Table table_locked(int fd, bool& built);
    void drop_table_locked()
    {
        if (table_) {
            table_.reset();
            service_->tables().set(id_, {}, 0);
        }
    }
    std::uint64_t last_unit(const UnitTable& table, std::uint64_t segment) const
    {
        return std::min<std::uint64_t>((segment + 1) * segment_units, table.size()) - 1;
    }
    int obtain(int fd, const Table& table, std::uint64_t generation, std::uint64_t segment, std::uint64_t through,
               bool reader, Segment& out);
    void decode_ahead(int fd, const Table& table, std::uint64_t generation, std::uint64_t from, std::uint64_t to);

    // Kept alive by every source it made: a decode ahead may outlive the
    // mount's own hold on it.
    const std::shared_ptr<DecodingService> service_;
    const PcmTrack track_;
    const std::uint64_t id_; // in the service's decoded cache and table budget
    const std::uint64_t frame_bytes_;
    const std::uint64_t total_bytes_;
    const std::uint64_t preroll_;
    const bool reusable_; // used decoders may be reset for this stream

    // Lock order: taken with no other lock of the program held (the
    // filesystem calls a source holding none of its own); under it the
    // service's decoded cache's or table budget's may be taken, nothing else.
    // The table budget takes it only after letting go of its own. No
    // decoding happens under it; a table build, which reads the source,
    // does: a stalled source holds up the readers of this track only.
    std::mutex mutex_;
    std::condition_variable settled_;                    // a segment is no longer being decoded
    Table table_;                                        // built at the first open or read after creation or release
    std::set<std::uint64_t> busy_;                       // segments being decoded now
    std::set<std::uint64_t> queued_;                     // segments waiting for a worker
    std::uint64_t generation_ = 0;                       // release() moves it on: older decodes are not kept
    std::uint64_t last_segment_ = none;                  // where the previous read ended
    std::atomic<TableBudget::Clock::rep> table_used_{0}; // when a read last used the table
    std::atomic<bool> damaged_{false};                   // a unit failed to decode (see SegmentInput)
    std::atomic<std::uint64_t> decoded_{0};              // segments decoded so far
};

Core::Table Core::table_locked(int fd, bool& built)
{
    if (!table_) {
        built = true;
        // A unit takes at least one byte of the file: a table claiming more
        // units than that is damaged or hostile, and is cut there.
        struct stat st {};
        std::size_t limit = 0;
        if (::fstat(fd, &st) == 0 && st.st_size > 0)
            limit = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size),
                                                                     std::numeric_limits<std::size_t>::max()));
        // Reads the sample tables again, under this source's lock only: a
        // stalled source holds up the readers of this track and nobody else.
        table_ = std::make_shared<const UnitTable>(UnitTable::build(track_, fd, limit));
        service_->tables().set(id_, weak_from_this(), table_->bytes());
    }
    return table_;
}

int Core::obtain(int fd, const Table& table, std::uint64_t generation, std::uint64_t segment, std::uint64_t through,
                 bool reader, Segment& out)
{
    std::unique_lock lock(mutex_);
    for (;;) {
        Segment kept = service_->decoded().find(id_, segment);
        if (kept && kept->first_unit + kept->units() > through) {
            out = std::move(kept);
            return 0;
        }
        if (!busy_.contains(segment))
            break;
        // Someone decodes it now: its result may serve this read too.
        settled_.wait(lock, [&] { return !busy_.contains(segment); });
    }
    busy_.insert(segment);
    lock.unlock();

    auto decoded = std::make_shared<DecodedSegment>();
    int rc = -EIO;
    try {
        const SegmentInput in{*service_,
                              fd,
                              *table,
                              track_.config.extradata,
                              track_.config.codec,
                              track_.channels,
                              track_.bits,
                              track_.rate,
                              track_.frames_per_unit,
                              preroll_,
                              reader,
                              reusable_,
                              &damaged_};
        rc = decode_segment(in, segment * segment_units, through, *decoded);
        decoded->complete = through == last_unit(*table, segment);
    } catch (...) {
        lock.lock();
        busy_.erase(segment);
        settled_.notify_all();
        throw;
    }
    lock.lock();
    busy_.erase(segment);
    // Nothing decoded from a failed read is kept; a release since the read
    // began means no open file wants it.
    if (rc == 0)
        decoded_.fetch_add(1, std::memory_order_relaxed);
    if (rc == 0 && generation == generation_)
        service_->decoded().put(id_, segment, decoded);
    settled_.notify_all();
    if (rc < 0)
        return rc;
    out = std::move(decoded);
    return 0;
}

void Core::decode_ahead(int fd, const Table& table, std::uint64_t generation, std::uint64_t from, std::uint64_t to)
{
    const std::uint64_t segments = (table->size() + segment_units - 1) / segment_units;
    // The jobs run after the read has replied, when its descriptor may be
    // closed: they share a duplicate, closed when the last of them ends.
    // Close-on-exec, so that commands the service runs never inherit it.
    std::shared_ptr<const UniqueFd> own;
    for (std::uint64_t k = from; k <= to && k < segments; ++k) {
        {
            std::lock_guard lock(mutex_);
            if (generation != generation_ || busy_.contains(k) || queued_.contains(k))
                continue;
            const Segment kept = service_->decoded().find(id_, k);
            if (kept && kept->complete)
                continue;
            queued_.insert(k);
        }
        if (!own) {
            auto dup = std::make_shared<const UniqueFd>(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
            if (!*dup) {
                std::lock_guard lock(mutex_);
                queued_.erase(k);
                return; // out of descriptors: the reader decodes for itself
            }
            own = std::move(dup);
        }
        const std::uint64_t first = k * segment_units;
        prefetch_units(fd, *table, first >= preroll_ ? first - preroll_ : 0, last_unit(*table, k));
        std::weak_ptr<Core> weak = weak_from_this();
        const bool queued = service_->ahead().submit([weak, own, table, generation, k] {
            const std::shared_ptr<Core> core = weak.lock();
            if (!core)
                return;
            {
                std::lock_guard lock(core->mutex_);
                core->queued_.erase(k);
                if (generation != core->generation_)
                    return;
            }
            try {
                Segment ignored;
                core->obtain(own->get(), table, generation, k, core->last_unit(*table, k), false, ignored);
            } catch (...) {
                // Out of memory: the segment is not decoded ahead, and the
                // reader that wants it decodes it itself or reports the failure.
            }
        });
        if (!queued) {
            std::lock_guard lock(mutex_);
            queued_.erase(k);
            return;
        }
    }
}

bool Core::plan(int fd, std::uint64_t first_frame, std::uint64_t end_frame, ReadPlan& p)
{
    bool built = false;
    table_used_.store(TableBudget::Clock::now().time_since_epoch().count());
    {
        std::lock_guard lock(mutex_);
        p.table = table_locked(fd, built);
        p.generation = generation_;
        p.ua = p.table->first_ending_after(first_frame);
        const std::size_t starting = p.table->count_starting_before(end_frame);
        if (p.ua >= starting)
            return false; // only silence here
        p.ub = starting - 1;
        p.ka = p.ua / segment_units;
        p.kb = p.ub / segment_units;
        // A read that begins where the last one ended, or in the segment
        // after it, goes straight through the stream.
        p.straight = last_segment_ != none && p.ka <= last_segment_ + 1 && p.ka + 1 >= last_segment_;
        last_segment_ = p.kb;
    }
    if (built)
        service_->tables().trim(id_);
    return true;
}

void Core::schedule(int fd, const ReadPlan& p)
{
    // Segments between the first and the last that this read covers decode
    // beside it, and a reader going straight through has the next ones
    // decoded ahead. A read at a random place decodes its last segment only
    // as far as it needs, itself: handing that to a worker and waiting for
    // the whole segment took twice as long.
    // Nothing is decoded ahead in a damaged stream: its decodes go a few at a
    // time in the whole service (see SegmentInput::damaged) and would hold
    // the workers up. The reach ahead grows with the segments decoded, so
    // that damage near the start is found by one decode rather than by eight
    // at once, each decoder growing on it.
    if (p.straight && !damaged_.load(std::memory_order_relaxed))
        decode_ahead(fd, p.table, p.generation, p.ka + 1,
                     p.kb + std::min<std::uint64_t>(ahead_segments, decoded_.load(std::memory_order_relaxed)));
    else if (p.kb > p.ka + 1)
        decode_ahead(fd, p.table, p.generation, p.ka + 1, p.kb - 1);
}

void Core::copy_out(const ReadPlan& p, const std::vector<Segment>& segments, std::uint8_t* dest,
                    std::uint64_t offset, std::uint64_t end) const
{
    for (std::uint64_t u = p.ua; u <= p.ub; ++u) {
        const DecodedSegment& s = *segments[static_cast<std::size_t>(u / segment_units - p.ka)];
        const std::uint64_t i = u - s.first_unit;
        if (i >= s.units() || s.frames[i] == 0)
            continue;
        const std::uint64_t unit_begin = p.table->start(u) * frame_bytes_;
        const std::uint64_t unit_end = unit_begin + std::uint64_t{s.frames[i]} * frame_bytes_;
        const std::uint64_t lo = std::max(unit_begin, offset);
        const std::uint64_t hi = std::min(unit_end, end);
        if (lo < hi)
            std::memcpy(dest + (lo - offset), s.pcm.data() + s.at[i] + (lo - unit_begin),
                        static_cast<std::size_t>(hi - lo));
    }
}

std::int64_t Core::read(int fd, std::uint8_t* dest, std::uint64_t length, std::uint64_t offset)
{
    if (offset >= total_bytes_ || length == 0)
        return 0;
    const std::uint64_t end = offset + std::min(length, total_bytes_ - offset);
    const std::uint64_t count = end - offset;
    std::memset(dest, 0, static_cast<std::size_t>(count)); // frames no unit fills are silence
    ReadPlan p;
    if (!plan(fd, offset / frame_bytes_, (end + frame_bytes_ - 1) / frame_bytes_, p))
        return static_cast<std::int64_t>(count);
    schedule(fd, p);

    std::vector<Segment> segments;
    segments.reserve(static_cast<std::size_t>(p.kb - p.ka + 1));
    for (std::uint64_t k = p.ka; k <= p.kb; ++k) {
        // A read at a random place decodes its last segment only as far as it
        // needs; the rest of it decodes when it is wanted.
        const std::uint64_t through = k == p.kb && !p.straight ? p.ub : last_unit(*p.table, k);
        Segment segment;
        if (const int rc = obtain(fd, p.table, p.generation, k, through, true, segment); rc < 0)
            return rc;
        segments.push_back(std::move(segment));
    }
    copy_out(p, segments, dest, offset, end);
    return static_cast<std::int64_t>(count);
}

class LavAacPcm final : public PcmSource {
  public:
    explicit LavAacPcm(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    ~LavAacPcm() override { core_->release(); }
    LavAacPcm(const LavAacPcm&) = delete;
    LavAacPcm& operator=(const LavAacPcm&) = delete;

    std::int64_t read(int fd, std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) override
    {
        return core_->read(fd, dest, length, offset);
    }
    void prepare(int fd) override { core_->prepare(fd); }
    void release() override { core_->release(); }

  private:
    // Shared with decodes queued for the workers, which may outlive this.
    std::shared_ptr<Core> core_;
};

// Whether a decoder can be had for the configuration at all. The one opened
// to find out waits in the stock for the first read of this file or of any
// other with the same configuration.
bool decoder_available(DecodingService& service, Codec codec, std::span<const std::uint8_t> asc)
{
    if (codec != Codec::aac)
        return static_cast<bool>(open_decoder(service.library(), codec, asc));
    DecoderContext ctx = service.stock().take(asc);
    if (!ctx)
        ctx = open_aac_decoder(service.library(), asc);
    if (!ctx)
        return false;
    service.stock().put(asc, std::move(ctx));
    return true;
}

} // namespace

std::unique_ptr<PcmSource> make_aac_source(DecodingService& service, PcmTrack track)
{
    if (!service.bound() || !track.units || track.rate == 0 || track.channels == 0 || track.channels > max_channels ||
        track.frames_per_unit == 0 || track.frames_per_unit > max_frames_per_unit ||
        (track.bits != 16 && track.bits != 24) ||
        track.total_frames >
            std::numeric_limits<std::uint64_t>::max() / (std::uint64_t{track.channels} * track.sample_bytes()))
        return std::make_unique<SilentPcm>();
    const CodecDecoding* codec = codec_decoding(track.config.codec);
    if (codec == nullptr || !decoder_available(service, track.config.codec, track.config.extradata))
        return std::make_unique<SilentPcm>();
    const std::uint64_t preroll = codec->preroll_units(track);
    const bool reusable = is_plain_lc(track);
    return std::make_unique<LavAacPcm>(
        std::make_shared<Core>(service.shared_from_this(), std::move(track), preroll, reusable));
}

} // namespace kov
