#include "media/fragment_scan.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <optional>
#include <unordered_map>

#include "media/be_reader.hpp"
#include "media/box_header.hpp"
#include "media/sample_table_writer.hpp"

namespace kov {

namespace {

// A fragment header is a few kilobytes of tables; one this large is hostile
// or damaged, and is left out rather than read into memory.
constexpr std::uint64_t max_moof_size = 16u << 20;

// Every sample occupies at least a byte of a real file; past this many a
// file is claiming samples it cannot hold, however small they say they are.
constexpr std::uint64_t max_fragment_samples = 1u << 25;
// Up to this many samples of a track are reserved at once from a guess.
constexpr std::uint64_t max_reserved_samples = 1u << 22;

// tfhd flags
constexpr std::uint32_t tfhd_base_data_offset = 0x000001;
constexpr std::uint32_t tfhd_description_index = 0x000002;
constexpr std::uint32_t tfhd_default_duration = 0x000008;
constexpr std::uint32_t tfhd_default_size = 0x000010;
constexpr std::uint32_t tfhd_default_flags = 0x000020;
constexpr std::uint32_t tfhd_default_base_is_moof = 0x020000;
// trun flags
constexpr std::uint32_t trun_data_offset = 0x000001;
constexpr std::uint32_t trun_first_flags = 0x000004;
constexpr std::uint32_t trun_duration = 0x000100;
constexpr std::uint32_t trun_size = 0x000200;
constexpr std::uint32_t trun_flags = 0x000400;
constexpr std::uint32_t trun_composition = 0x000800;
// sample flags: not a sync sample, or depends on others
constexpr std::uint32_t sample_non_sync = 0x00010000;
constexpr std::uint32_t sample_depends_on_mask = 0x03000000;
constexpr std::uint32_t sample_depends_yes = 0x01000000;

bool is_sync(std::uint32_t flags)
{
    return !(flags & sample_non_sync) && (flags & sample_depends_on_mask) != sample_depends_yes;
}

// The track fragment header with every default resolved.
struct TrackFragmentHeader {
    std::uint32_t track_id = 0;
    std::uint32_t flags = 0;
    std::uint64_t base_data_offset = 0;
    std::uint32_t duration = 0;
    std::uint32_t size = 0;
    std::uint32_t sample_flags = 0;
};

// The movie's defaults by track ID, the first of a repeated ID winning: a
// movie may declare thousands of tracks, and a fragment name any of them.
using DefaultsIndex = std::unordered_map<std::uint32_t, const FragmentDefaults*>;

DefaultsIndex index_defaults(std::span<const FragmentDefaults> defaults)
{
    DefaultsIndex index;
    for (const FragmentDefaults& d : defaults)
        index.emplace(d.track_id, &d);
    return index;
}

std::optional<TrackFragmentHeader> read_tfhd(BeReader r, const DefaultsIndex& defaults)
{
    TrackFragmentHeader h;
    std::uint32_t version_flags = 0, unused = 0;
    if (!r.u32(version_flags) || !r.u32(h.track_id))
        return std::nullopt;
    h.flags = version_flags & 0xffffffu;
    if (const auto found = defaults.find(h.track_id); found != defaults.end()) {
        const FragmentDefaults* d = found->second;
        h.duration = d->duration;
        h.size = d->size;
        h.sample_flags = d->flags;
    }
    const bool ok = (!(h.flags & tfhd_base_data_offset) || r.u64(h.base_data_offset)) &&
                    (!(h.flags & tfhd_description_index) || r.u32(unused)) &&
                    (!(h.flags & tfhd_default_duration) || r.u32(h.duration)) &&
                    (!(h.flags & tfhd_default_size) || r.u32(h.size)) &&
                    (!(h.flags & tfhd_default_flags) || r.u32(h.sample_flags));
    if (!ok)
        return std::nullopt;
    return h;
}

std::optional<std::uint64_t> read_tfdt(BeReader r)
{
    std::uint8_t version = 0;
    if (!r.u8(version) || !r.skip(3))
        return std::nullopt;
    if (version == 1) {
        std::uint64_t t = 0;
        return r.u64(t) ? std::optional(t) : std::nullopt;
    }
    std::uint32_t t = 0;
    return r.u32(t) ? std::optional<std::uint64_t>(t) : std::nullopt;
}

// One track's samples as they accumulate over the fragments.
struct TrackState {
    FragmentTrack track;
    std::uint64_t end_time = 0; // decode time just after the last sample
    std::uint64_t touched = 0;  // the last fragment that added to it (its undo entry is there)
};

// What a fragment changed in one track, to take it back when the fragment
// turns out to be left out.
struct Undo {
    std::size_t track = 0;
    std::size_t count = 0;
    std::uint32_t last_duration = 0;
    std::uint64_t end_time = 0;
    bool timed = false;
    std::uint64_t start_time = 0;
};

// Places the next fragment's first sample at its `tfdt`: the samples before it
// are stretched over a gap or shortened over an overlap.
void align_to(TrackState& st, std::uint64_t decode_time)
{
    FragmentTrack& t = st.track;
    if (t.samples.empty()) {
        t.timed = true;
        t.start_time = decode_time;
        st.end_time = decode_time;
        return;
    }
    MediaSample& last = t.samples.back();
    if (decode_time >= st.end_time) {
        const std::uint64_t longer = std::uint64_t{last.duration} + (decode_time - st.end_time);
        last.duration = static_cast<std::uint32_t>(std::min<std::uint64_t>(longer, 0xffffffffu));
    } else {
        last.duration -= static_cast<std::uint32_t>(std::min<std::uint64_t>(st.end_time - decode_time, last.duration));
    }
    st.end_time = decode_time;
}

// A track run's fields before its samples.
struct RunHeader {
    std::uint32_t flags = 0;
    std::uint32_t count = 0;
    std::uint32_t data_offset = 0; // signed, from the base
    std::uint32_t first_flags = 0;
    std::size_t per_sample = 0; // bytes each sample's fields take
};

std::optional<RunHeader> read_run_header(BeReader& r)
{
    RunHeader run;
    std::uint32_t version_flags = 0;
    if (!r.u32(version_flags) || !r.u32(run.count))
        return std::nullopt;
    run.flags = version_flags & 0xffffffu;
    if (((run.flags & trun_data_offset) && !r.u32(run.data_offset)) ||
        ((run.flags & trun_first_flags) && !r.u32(run.first_flags)))
        return std::nullopt;
    run.per_sample = 4 * static_cast<std::size_t>(((run.flags & trun_duration) != 0) + ((run.flags & trun_size) != 0) +
                                                  ((run.flags & trun_flags) != 0) + ((run.flags & trun_composition) != 0));
    return run;
}

// The fields sample `i` of a run lists, over the defaults already in `s` and `sample_flags`.
bool read_run_sample(BeReader& r, const RunHeader& run, std::uint32_t i, MediaSample& s, std::uint32_t& sample_flags)
{
    std::uint32_t listed_flags = 0, composition = 0;
    const bool first = (run.flags & trun_first_flags) && i == 0;
    if (first)
        sample_flags = run.first_flags;
    if ((run.flags & trun_duration) && !r.u32(s.duration))
        return false;
    if ((run.flags & trun_size) && !r.u32(s.size))
        return false;
    if (run.flags & trun_flags) {
        if (!r.u32(listed_flags))
            return false;
        if (!first)
            sample_flags = listed_flags;
    }
    if (run.flags & trun_composition) {
        if (!r.u32(composition))
            return false;
        // Version 0 declares it unsigned, but writers put negative offsets
        // there too; readers take it as signed either way.
        s.composition_offset = static_cast<std::int32_t>(composition);
    }
    return true;
}

// Reads fragments one `moof` at a time, appending their samples straight to
// the tracks; a fragment found unsound halfway is taken back with its undo list.
class FragmentReader {
  public:
    FragmentReader(std::span<const FragmentDefaults> defaults, std::uint64_t data_limit, std::uint64_t budget,
                   std::uint64_t moofs)
        : defaults_(index_defaults(defaults)), data_limit_(data_limit), budget_(budget), moofs_(moofs)
    {
    }

    // The fragment whose moof starts at `moof_offset`. On success `data_end`
    // is the end of its furthest sample; on failure nothing has changed. With
    // `cut_at`, the file ends there and only the samples before it are taken.
    bool read(std::uint64_t moof_offset, BeReader payload, std::vector<Undo>& undo, std::uint64_t& data_end,
              std::uint64_t cut_at = 0)
    {
        const std::uint64_t limit = data_limit_;
        partial_ = cut_at != 0;
        if (partial_)
            data_limit_ = cut_at;
        const bool ok = read_moof(moof_offset, payload, undo, data_end);
        data_limit_ = limit;
        partial_ = false;
        return ok;
    }

    bool read_moof(std::uint64_t moof_offset, BeReader payload, std::vector<Undo>& undo, std::uint64_t& data_end)
    {
        ++fragment_;
        moof_offset_ = moof_offset;
        traf_end_ = moof_offset;
        data_end_ = moof_offset;
        undo.clear();
        const std::uint64_t used_before = used_;
        bool ok = true;
        for_each_box(payload, [&](const BoxEntry& e, BeReader box) {
            if (ok && e.type() == fourcc("traf"))
                ok = read_traf(box, undo);
        });
        if (!ok) {
            take_back(undo);
            used_ = used_before;
            return false;
        }
        data_end = data_end_;
        return true;
    }

    void take_back(const std::vector<Undo>& undo)
    {
        for (auto u = undo.rbegin(); u != undo.rend(); ++u) {
            TrackState& st = states_[u->track];
            st.track.samples.resize(u->count);
            if (!st.track.samples.empty())
                st.track.samples.back().duration = u->last_duration;
            st.end_time = u->end_time;
            st.track.timed = u->timed;
            st.track.start_time = u->start_time;
        }
    }

    std::vector<TrackState>& states() { return states_; }

  private:
    // Found by a map and marked with the fragment that touched it last: a
    // moof may hold a hundred thousand track fragments, each naming another track.
    TrackState& touch(std::uint32_t track_id, std::vector<Undo>& undo)
    {
        const auto [it, added] = index_.try_emplace(track_id, states_.size());
        if (added) {
            states_.emplace_back();
            states_.back().track.track_id = track_id;
        }
        const std::size_t i = it->second;
        TrackState& st = states_[i];
        if (st.touched != fragment_) {
            st.touched = fragment_;
            const auto& samples = st.track.samples;
            undo.push_back({i, samples.size(), samples.empty() ? 0 : samples.back().duration, st.end_time,
                            st.track.timed, st.track.start_time});
        }
        return st;
    }

    bool read_traf(BeReader traf, std::vector<Undo>& undo)
    {
        std::optional<TrackFragmentHeader> header;
        std::optional<std::uint64_t> decode_time;
        bool ok = true;
        std::size_t runs = 0;
        for_each_box(traf, [&](const BoxEntry& e, BeReader box) {
            const std::uint32_t type = e.type();
            if (type == fourcc("tfhd") && !header) {
                header = read_tfhd(box, defaults_);
                ok = ok && header.has_value();
            } else if (type == fourcc("tfdt") && !decode_time) {
                decode_time = read_tfdt(box);
                ok = ok && decode_time.has_value();
            } else if (type == fourcc("trun")) {
                ++runs;
            }
            // sbgp, sgpd, senc, saiz, saio and the rest do not change where
            // samples are or how long they last.
        });
        if (!ok || !header)
            return false;
        if (runs == 0 && !decode_time)
            return true;

        // The base: given, the moof itself, or (implicitly) the moof for the
        // first track fragment and the end of the previous one's data after.
        std::uint64_t base = traf_end_;
        if (header->flags & tfhd_base_data_offset)
            base = header->base_data_offset;
        else if (header->flags & tfhd_default_base_is_moof)
            base = moof_offset_;

        TrackState& st = touch(header->track_id, undo);
        if (decode_time)
            align_to(st, *decode_time);
        std::uint64_t next = base;
        for_each_box(traf, [&](const BoxEntry& e, BeReader box) {
            if (ok && e.type() == fourcc("trun"))
                ok = read_trun(box, *header, base, next, st);
        });
        traf_end_ = next;
        return ok;
    }

    // Where a run's first sample lies: at its data offset from the base, or
    // (without one) right after the previous run's data.
    std::optional<std::uint64_t> run_start(const RunHeader& run, std::uint64_t base, std::uint64_t next) const
    {
        if (!(run.flags & trun_data_offset))
            return next;
        const std::int64_t delta = static_cast<std::int32_t>(run.data_offset);
        // A cut-off fragment's runs may begin past the end: their samples are left out.
        if (delta < 0 ? static_cast<std::uint64_t>(-delta) > base
                      : base > data_limit_ || (!partial_ && static_cast<std::uint64_t>(delta) > data_limit_ - base))
            return std::nullopt;
        return delta < 0 ? base - static_cast<std::uint64_t>(-delta) : base + static_cast<std::uint64_t>(delta);
    }

    // A track's first run tells roughly how many samples each of the file's
    // fragments holds: reserving for all of them at once spares the copies
    // (and the fresh pages) of growing by doubling. Pages reserved but never
    // filled cost no memory.
    void reserve_for(std::vector<MediaSample>& out, std::uint32_t count) const
    {
        if (out.capacity() - out.size() >= count)
            return;
        const std::uint64_t guess = out.empty() ? std::uint64_t{count} * moofs_ + count : 2 * out.capacity();
        const std::uint64_t cap = std::max<std::uint64_t>(max_reserved_samples, out.size() + count);
        out.reserve(static_cast<std::size_t>(std::min({guess, cap, budget_})));
    }

    bool read_trun(BeReader r, const TrackFragmentHeader& h, std::uint64_t base, std::uint64_t& next, TrackState& st)
    {
        const auto run = read_run_header(r);
        // A count the box or the file cannot hold is refused before anything is reserved.
        if (!run || (run->per_sample != 0 && run->count > r.remaining() / run->per_sample) ||
            run->count > budget_ - used_)
            return false;
        const auto start = run_start(*run, base, next);
        if (!start || (*start > data_limit_ && !partial_))
            return false;
        std::uint64_t pos = *start;
        if (!partial_ && !(run->flags & trun_size) && h.size != 0 && run->count > (data_limit_ - pos) / h.size)
            return false;

        auto& out = st.track.samples;
        reserve_for(out, run->count);
        for (std::uint32_t i = 0; i < run->count; ++i) {
            MediaSample s{pos, h.size, h.duration, 0, false};
            std::uint32_t sample_flags = h.sample_flags;
            if (!read_run_sample(r, *run, i, s, sample_flags))
                return false;
            // Of a cut-off fragment, the samples wholly in the file are kept.
            const bool whole = pos <= data_limit_ && s.size <= data_limit_ - pos;
            if (!whole && (!partial_ || s.size > std::numeric_limits<std::uint64_t>::max() - pos))
                return false;
            if (whole) {
                s.sync = is_sync(sample_flags);
                out.push_back(s);
                st.end_time += s.duration;
                data_end_ = std::max(data_end_, pos + s.size);
            }
            pos += s.size;
        }
        used_ += run->count;
        next = pos;
        return true;
    }

    DefaultsIndex defaults_;
    std::uint64_t data_limit_;
    std::uint64_t budget_;
    std::uint64_t moofs_; // in the whole file
    std::uint64_t used_ = 0;
    std::vector<TrackState> states_;
    std::unordered_map<std::uint32_t, std::size_t> index_; // track ID to its place in states_
    std::uint64_t fragment_ = 0;                           // fragments read so far
    // The moof being read.
    std::uint64_t moof_offset_ = 0;
    std::uint64_t traf_end_ = 0; // end of the previous track fragment's data
    std::uint64_t data_end_ = 0; // end of the furthest sample so far
    bool partial_ = false;       // the file ends inside this fragment's data
};

} // namespace

std::vector<FragmentDefaults> read_fragment_defaults(std::span<const std::uint8_t> moov_payload)
{
    std::vector<FragmentDefaults> out;
    for_each_box(BeReader(moov_payload), [&](const BoxEntry& e, BeReader mvex) {
        if (e.type() != fourcc("mvex"))
            return;
        for_each_box(mvex, [&](const BoxEntry& inner, BeReader trex) {
            FragmentDefaults d;
            if (inner.type() == fourcc("trex") && trex.skip(4) && trex.u32(d.track_id) &&
                trex.u32(d.description_index) && trex.u32(d.duration) && trex.u32(d.size) && trex.u32(d.flags))
                out.push_back(d);
        });
    });
    return out;
}

namespace {

// A fragment taken in, and how to take it back.
struct KeptFragment {
    std::uint64_t offset = 0;
    std::uint64_t data_end = 0;
    std::vector<Undo> undo;
};

// Reads the moof `box` whole into `buffer` and its fragment into `reader`;
// false, with nothing taken, when it is left out.
bool read_fragment(const FileBox& box, const ReadAtFn& read_bytes, std::vector<std::uint8_t>& buffer,
                   FragmentReader& reader, KeptFragment& k, std::uint64_t cut_at)
{
    if (box.header.size > max_moof_size)
        return false;
    buffer.resize(static_cast<std::size_t>(box.header.size));
    if (read_bytes(box.offset, buffer.data(), buffer.size()) != static_cast<std::int64_t>(buffer.size()))
        return false;
    BeReader moof{std::span<const std::uint8_t>(buffer)};
    return read_box_header(moof).has_value() && reader.read(box.offset, moof, k.undo, k.data_end, cut_at);
}

} // namespace

FragmentScan scan_fragments(std::span<const FileBox> boxes, std::span<const FragmentDefaults> defaults,
                            const ReadAtFn& read_bytes, std::optional<CutMediaData> cut)
{
    const std::uint64_t walk_end = boxes.empty() ? 0 : boxes.back().offset + boxes.back().header.size;
    FragmentScan out;
    out.kept_end = walk_end;
    std::vector<KeptFragment> kept;
    const auto moofs = static_cast<std::uint64_t>(
        std::count_if(boxes.begin(), boxes.end(), [](const FileBox& b) { return b.header.type == fourcc("moof"); }));
    FragmentReader reader(defaults, walk_end, std::min(max_fragment_samples, walk_end), moofs);
    std::vector<std::uint8_t> buffer;
    for (const FileBox& box : boxes) {
        if (box.header.type != fourcc("moof"))
            continue;
        KeptFragment k{box.offset, 0, {}};
        // The last fragment of a recording cut off inside its media data.
        const bool partial = cut && &box == &boxes.back() && box.offset + box.header.size == cut->offset;
        bool ok = read_fragment(box, read_bytes, buffer, reader, k, partial ? cut->end : 0);
        if (ok && partial) {
            if (k.data_end > cut->payload_at) {
                out.kept_end = k.data_end;
                out.cut = out.partial = true;
                kept.push_back(std::move(k));
                break;
            }
            reader.take_back(k.undo);
            ok = false;
        }
        if (!ok) {
            out.kept_end = box.offset;
            out.cut = true;
            break;
        }
        kept.push_back(std::move(k));
    }
    // Samples of a kept fragment may lie after a later fragment that was left
    // out; such a fragment has to go too.
    while (out.cut && !kept.empty() && kept.back().data_end > out.kept_end) {
        out.kept_end = kept.back().offset;
        reader.take_back(kept.back().undo);
        kept.pop_back();
    }
    for (const KeptFragment& k : kept)
        out.moof_offsets.push_back(k.offset);
    for (TrackState& st : reader.states())
        if (!st.track.samples.empty())
            out.tracks.push_back(std::move(st.track));
    return out;
}

std::vector<MediaSample> merge_fragment_samples(std::span<const MediaSample> movie, FragmentTrack&& fragments,
                                                std::uint64_t& start_time)
{
    start_time = 0;
    std::uint64_t movie_end = 0;
    for (const MediaSample& s : movie)
        movie_end += s.duration;
    if (fragments.samples.empty())
        return {movie.begin(), movie.end()};
    // Fragments that do not say when they start follow the tables.
    const std::uint64_t fragment_start = fragments.timed ? fragments.start_time : movie_end;
    if (movie.empty()) {
        start_time = fragment_start;
        return std::move(fragments.samples);
    }

    std::vector<std::uint64_t> listed(movie.size());
    std::transform(movie.begin(), movie.end(), listed.begin(), [](const MediaSample& s) { return s.offset; });
    std::sort(listed.begin(), listed.end());

    // Both lists are in decode order: merge them by decode time, the tables'
    // sample first on a tie, then let each duration reach the next sample.
    std::vector<MediaSample> merged;
    std::vector<std::uint64_t> times;
    merged.reserve(movie.size() + fragments.samples.size());
    times.reserve(merged.capacity());
    std::size_t i = 0, j = 0;
    std::uint64_t movie_time = 0, fragment_time = fragment_start;
    while (i < movie.size() || j < fragments.samples.size()) {
        if (j < fragments.samples.size() &&
            std::binary_search(listed.begin(), listed.end(), fragments.samples[j].offset)) {
            fragment_time += fragments.samples[j++].duration;
            continue;
        }
        if (j == fragments.samples.size() || (i < movie.size() && movie_time <= fragment_time)) {
            merged.push_back(movie[i]);
            times.push_back(movie_time);
            movie_time += movie[i++].duration;
        } else {
            merged.push_back(fragments.samples[j]);
            times.push_back(fragment_time);
            fragment_time += fragments.samples[j++].duration;
        }
    }
    for (std::size_t k = 0; k + 1 < merged.size(); ++k)
        merged[k].duration = static_cast<std::uint32_t>(std::min<std::uint64_t>(times[k + 1] - times[k], 0xffffffffu));
    start_time = times.empty() ? 0 : times.front();
    return merged;
}

std::int64_t TopLevelReads::header(std::uint64_t offset, std::uint8_t* dest, std::size_t length)
{
    if (next_size_ != 0 && offset == next_at_) {
        const std::size_t n = std::min(length, next_size_);
        std::copy_n(next_head_.begin(), n, dest);
        return static_cast<std::int64_t>(n);
    }
    return read_bytes_(offset, dest, length);
}

void TopLevelReads::found(std::uint64_t offset, const BoxHeader& h, std::uint64_t file_size)
{
    next_size_ = 0;
    if (h.type != fourcc("moof") || h.size > max_moof_size || offset > file_size)
        return;
    const std::size_t start = kept_.size();
    const std::uint64_t want = std::min<std::uint64_t>(h.size + next_head_.size(), file_size - offset);
    kept_.resize(start + static_cast<std::size_t>(want));
    const std::int64_t got = read_bytes_(offset, kept_.data() + start, static_cast<std::size_t>(want));
    const auto size = static_cast<std::size_t>(h.size);
    if (got < static_cast<std::int64_t>(h.size)) {
        kept_.resize(start);
        return;
    }
    // What came after the moof is the next box's header.
    next_at_ = offset + h.size;
    next_size_ = static_cast<std::size_t>(got) - size;
    std::copy_n(kept_.begin() + static_cast<std::ptrdiff_t>(start + size), next_size_, next_head_.begin());
    kept_.resize(start + size);
    kept_at_.push_back(offset);
    kept_start_.push_back(start);
}

std::int64_t TopLevelReads::read(std::uint64_t offset, std::uint8_t* dest, std::size_t length) const
{
    const auto it = std::lower_bound(kept_at_.begin(), kept_at_.end(), offset);
    if (it != kept_at_.end() && *it == offset) {
        const auto i = static_cast<std::size_t>(it - kept_at_.begin());
        const std::size_t end = i + 1 < kept_start_.size() ? kept_start_[i + 1] : kept_.size();
        if (length <= end - kept_start_[i]) {
            std::copy_n(kept_.begin() + static_cast<std::ptrdiff_t>(kept_start_[i]), length, dest);
            return static_cast<std::int64_t>(length);
        }
    }
    return read_bytes_(offset, dest, length);
}

void add_fragment_samples(MediaScan& scan, std::span<const std::uint8_t> moov, const TopLevelReads& reads)
{
    // Fragments belong to a movie that announces them: without a movie extends
    // box the tables are the whole movie (a hybrid writer's final movie box)
    // and the moofs are left over from the recording.
    const auto payload = box_payload(moov).rest();
    const auto children = list_boxes(payload);
    if (std::none_of(children.begin(), children.end(), [](const BoxEntry& e) { return e.type() == fourcc("mvex"); }))
        return;
    const auto defaults = read_fragment_defaults(payload);
    std::optional<CutMediaData> cut;
    if (scan.cut_box && scan.cut_box->header.type == fourcc("mdat"))
        cut =
            CutMediaData{scan.cut_box->offset, scan.cut_box->offset + scan.cut_box->header.header_size, scan.file_size};
    FragmentScan fragments = scan_fragments(
        scan.boxes, defaults,
        [&](std::uint64_t offset, std::uint8_t* dest, std::size_t length) { return reads.read(offset, dest, length); },
        cut);
    scan.kept_size = fragments.kept_end;
    scan.keeps_cut_box = fragments.partial;
    std::unordered_map<std::uint32_t, TrackScan*> declared; // the first track of a repeated ID
    for (TrackScan& t : scan.tracks)
        declared.emplace(t.track_id, &t);
    for (FragmentTrack& f : fragments.tracks) {
        const auto found = declared.find(f.track_id);
        if (found == declared.end())
            continue; // a track the movie does not declare cannot be described
        TrackScan* const track = found->second;
        const auto movie = table_samples(*track, sample_limit(track->sample_count, scan.file_size));
        std::uint64_t start_time = 0;
        set_sample_tables(*track, merge_fragment_samples(movie, std::move(f), start_time));
        track->start_time = start_time;
    }
}

} // namespace kov
