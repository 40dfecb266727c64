// PCM read through real mounts of the kov-orvane program, for AAC and every
// other codec converted: every read pattern gives what --emit writes, faults
// of the source reach the reader as errors, never as cached silence, and a
// damaged unit plays as one unit of silence, the same at any read size. The
// faults come from faultfs placed between the source folder and the service.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "codec_clips.hpp"
#include "common/unique_fd.hpp"
#include "pcm/aac_source.hpp"
#include "support/fault_fs.hpp"
#include "support/mount_harness.hpp"
#include "support/test_env.hpp"

namespace kov::test {
namespace {
constexpr std::size_t page = 4096;

// Every codec converted, also those left as they are by default.
const char* const every_codec = "aac,eac3,ac3,opus,flac,alac,vorbis,mp3";

// The service mounted over `source` in a folder of its own.
struct Mount {
    TempDir dir;
    ServiceProcess service;
    explicit Mount(const std::string& source) : service({source, dir.path(), "--convert", every_codec}, dir.path())
    {
        service.wait_for_mount();
    }
    bool ok() { return service.running() && mounted_at(dir.path()); }
    std::string file(const std::string& name) const { return dir.file(name); }
};

std::vector<std::uint8_t> emit(const std::string& path, const TempDir& work)
{
    const std::string out = work.file("emitted.mov");
    const auto r = run_command({program_path(), "--emit", path, out, "--convert", every_codec});
    EXPECT_EQ(r.status, 0) << r.err;
    auto bytes = read_file(out);
    ::unlink(out.c_str());
    return bytes;
}

// Reads `size` bytes at `offset` past every page cache (4 KiB aligned); the
// errno on failure.
int read_direct(const std::string& path, std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& out)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    if (!fd)
        return errno;
    void* buf = std::aligned_alloc(page, (size + page - 1) / page * page);
    const ssize_t n = ::pread(fd.get(), buf, size, static_cast<off_t>(offset));
    const int error = n < 0 ? errno : 0;
    out.assign(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + std::max<ssize_t>(n, 0));
    std::free(buf);
    return error;
}

// Reads the whole file in `piece`-byte reads; empty on an error.
std::vector<std::uint8_t> read_whole(const std::string& path, std::size_t piece)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<std::uint8_t> out, buf(piece);
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf.data(), piece);
        if (n < 0)
            return {};
        if (n == 0)
            return out;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
}

bool same(const std::vector<std::uint8_t>& got, const std::vector<std::uint8_t>& want, std::uint64_t offset)
{
    return offset + got.size() <= want.size() &&
           std::equal(got.begin(), got.end(), want.begin() + static_cast<std::ptrdiff_t>(offset));
}

// A clip of the tables below: how ffmpeg makes it, how close a damaged
// unit's neighbours stay (see CodecRow), and whether it becomes PCM.
struct Clip {
    std::string name;
    std::vector<std::string> args;
    int tolerance = 0;
    std::uint64_t reach = 0;
};

// The codec table's rows these tables read: one of each codec and depth, with
// its noise tools; the other layouts and containers of a codec decode the
// same way.
const std::set<std::string> mount_rows{"flac16.mp4", "flac24.mp4",     "alac16.mov", "alac24.mov", "opus-stereo.mp4",
                                       "vorbis.mp4", "vorbis-5.1.mp4", "eac3.mp4",   "ac3.mov",    "mp3.mp4"};

// AAC with noise substitution (the encoder's default), in 5.1, and without
// it; dithered E-AC-3; then one clip of every other codec, AC-3 and MP3
// included (these mounts convert every codec). An AAC decoder that met a
// damaged unit is replaced and decodes the rest of its segment afresh, its
// noise drawn anew: that far a damaged unit reaches.
const std::vector<Clip>& clips()
{
    static const std::vector<Clip> all = [] {
        const std::uint64_t aac_reach = segment_units;
        std::vector<Clip> out{
            {"noise.mp4",
             {"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:duration=6:seed=3", "-f", "lavfi", "-i",
              "sine=frequency=660:duration=6", "-f", "lavfi", "-i", "testsrc=duration=6:size=96x64:rate=10",
              "-filter_complex", "[0:a][1:a]amix=inputs=2", "-c:v", "mpeg4", "-c:a", "aac", "-ar", "48000", "-ac", "2"},
             0,
             aac_reach},
            {"surround.mov",
             {"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.2:duration=5:seed=4", "-c:a", "aac", "-ac", "6",
              "-ar", "48000"},
             0,
             aac_reach},
            {"plain.m4a",
             {"-f", "lavfi", "-i", "sine=frequency=440:duration=5:sample_rate=44100", "-c:a", "aac", "-aac_pns", "0",
              "-ac", "2"},
             0,
             aac_reach},
            // E-AC-3 stereo at its default rate leaves bands to the decoder's
            // dither, whose noise goes on from frame to frame: after a damaged
            // frame it is drawn otherwise for the rest of the segment.
            {"eac3-dither.mp4",
             {"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:duration=5:seed=5", "-c:a", "eac3", "-ac", "2"},
             0,
             segment_units},
        };
        for (const CodecRow& row : codec_rows())
            if (mount_rows.contains(row.name))
                out.push_back({row.name, row.encode, row.tolerance, row.reach});
        return out;
    }();
    return all;
}

// A clip made, and what --emit writes of it.
struct MadeClip {
    const Clip* clip = nullptr;
    std::vector<std::uint8_t> want;
};

class PcmThroughTheMount : public ::testing::Test {
  protected:
    // The clips are made and emitted once for the tables below.
    static void SetUpTestSuite()
    {
        if (!have_ffmpeg() || !fuse_available())
            return;
        dir_ = std::make_unique<TempDir>();
        ::mkdir(source().c_str(), 0755);
        for (const Clip& c : clips()) {
            const std::string path = source() + "/" + c.name;
            if (ffmpeg_make(c.args, path))
                made_.push_back({&c, emit(path, *dir_)});
            else
                std::printf("skipped %s: this ffmpeg cannot encode it\n", c.name.c_str());
        }
    }
    static void TearDownTestSuite()
    {
        made_.clear();
        dir_.reset();
    }

    void SetUp() override
    {
        if (!have_ffmpeg())
            GTEST_SKIP() << "ffmpeg is not installed";
        KOV_REQUIRE_FUSE();
        ASSERT_EQ(clips().size(), 4 + mount_rows.size()) << "a row named in mount_rows is gone from the codec table";
        ASSERT_FALSE(made_.empty());
    }

    static std::string source() { return dir_->file("src"); }

    static inline std::unique_ptr<TempDir> dir_;
    static inline std::vector<MadeClip> made_;
};

// The same bytes on every read, for every clip: whole reads on fresh and warm
// mounts and after a listing, random direct reads of 4 KiB to 1 MiB, four
// readers at once and two mounts side by side, all against --emit.
TEST_F(PcmThroughTheMount, EveryReadPatternGivesWhatEmitWrites)
{
    using Mounts = std::vector<std::unique_ptr<Mount>>;
    using Read = std::function<void(const Mounts&, const std::string& name, const std::vector<std::uint8_t>& want)>;
    const Read whole_fresh_and_warm = [](const Mounts& m, const std::string& name, const std::vector<std::uint8_t>& want) {
        EXPECT_TRUE(read_whole(m[0]->file(name), 131072) == want) << "first read";
        EXPECT_TRUE(read_whole(m[0]->file(name), 65536) == want) << "warm";
    };
    const Read whole = [](const Mounts& m, const std::string& name, const std::vector<std::uint8_t>& want) {
        EXPECT_TRUE(read_whole(m[0]->file(name), 131072) == want);
    };
    const Read random_direct = [](const Mounts& m, const std::string& name, const std::vector<std::uint8_t>& want) {
        std::mt19937_64 rng(name.size());
        const std::uint64_t pages = want.size() / page;
        std::vector<std::uint8_t> got;
        for (int i = 0; i < 120; ++i) {
            const std::uint64_t offset = rng() % pages * page;
            const std::size_t size = page << (rng() % 9); // 4 KiB to 1 MiB
            ASSERT_EQ(read_direct(m[0]->file(name), offset, size, got), 0);
            ASSERT_TRUE(same(got, want, offset)) << "read " << i << " at " << offset << " (" << size << " bytes)";
        }
    };
    const Read four_readers = [](const Mounts& m, const std::string& name, const std::vector<std::uint8_t>& want) {
        std::vector<std::thread> readers;
        std::vector<int> wrong(4, 0);
        for (int t = 0; t < 4; ++t)
            readers.emplace_back([&, t] {
                const Mount& mount = *m[static_cast<std::size_t>(t % 2)];
                if (t < 2) {
                    wrong[t] = read_whole(mount.file(name), 4096 << (4 * t)) != want;
                    return;
                }
                std::mt19937_64 rng(t);
                std::vector<std::uint8_t> got;
                for (int i = 0; i < 60; ++i) {
                    const std::uint64_t offset = rng() % (want.size() / page) * page;
                    wrong[t] +=
                        read_direct(mount.file(name), offset, page << (rng() % 6), got) != 0 || !same(got, want, offset);
                }
            });
        for (auto& r : readers)
            r.join();
        EXPECT_EQ(wrong, std::vector<int>(4, 0));
    };
    const struct {
        const char* label;
        std::size_t mounts;
        bool list_first;
        Read read;
    } patterns[] = {
        {"whole, fresh and warm mount", 1, false, whole_fresh_and_warm},
        {"whole, after ls -la", 1, true, whole},
        {"random direct reads", 1, false, random_direct},
        {"four readers, two mounts", 2, false, four_readers},
    };
    for (const auto& p : patterns) {
        Mounts mounts;
        for (std::size_t i = 0; i < p.mounts; ++i) {
            mounts.push_back(std::make_unique<Mount>(source()));
            ASSERT_TRUE(mounts.back()->ok());
        }
        if (p.list_first) {
            ASSERT_EQ(run_command({"ls", "-la", mounts[0]->dir.path()}).status, 0);
        }
        for (const MadeClip& c : made_) {
            SCOPED_TRACE(c.clip->name + ": " + p.label);
            ASSERT_GT(c.want.size(), read_file(source() + "/" + c.clip->name).size());
            p.read(mounts, c.clip->name, c.want);
        }
    }
}

// One clip of the fault table: where its PCM and each unit's part of it lie.
struct FaultClip {
    const Clip* clip = nullptr;
    std::vector<ClipUnit> units;
    std::vector<std::uint8_t> want, want_damaged;
    std::uint64_t pcm = 0;        // where the PCM starts in the rewritten file
    std::uint64_t frame_bytes = 0;
    std::size_t damaged = 0;      // the unit garbled in the damaged copy

    std::uint64_t unit_at(std::size_t u) const
    {
        std::uint64_t frames = 0;
        for (std::size_t i = 0; i < u; ++i)
            frames += units[i].frames;
        return pcm + frames * frame_bytes;
    }
};

// Where the PCM of the rewritten file's first audio track starts, and its
// bytes per frame, as ffprobe reads them.
void pcm_of(const std::string& path, std::uint64_t& offset, std::uint64_t& frame_bytes)
{
    const auto stream = run_command({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                     "stream=channels,bits_per_sample", "-of", "csv=p=0", path});
    const auto packet = run_command({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                     "packet=pos", "-read_intervals", "%+#1", "-of", "csv=p=0", path});
    std::uint64_t channels = 0, bits = 0;
    char sep = 0;
    std::istringstream s(stream.out), p(packet.out);
    frame_bytes = s >> channels >> sep >> bits ? channels * (bits / 8) : 0;
    offset = p >> offset ? offset : 0;
}

// Faults of the source, for every clip: an unreadable unit fails the read
// with EIO, and the same range reads right once the source recovers, also
// through the page cache; a damaged but readable unit reads the same at any
// read size and plays as one unit of silence, its neighbours as in the
// undamaged file beyond the codec's reach.
TEST_F(PcmThroughTheMount, SourceFaultsReachTheReaderAndLeaveNothingBehind)
{
    TempDir dir;
    const std::string src = source(), faulty = dir.file("faulty");
    ::mkdir(faulty.c_str(), 0755);
    std::vector<FaultClip> fault_clips;
    for (const MadeClip& made : made_) {
        const Clip* c = made.clip;
        SCOPED_TRACE(c->name);
        FaultClip f;
        f.clip = c;
        f.want = made.want;
        f.units = clip_units(src + "/" + c->name);
        ASSERT_GT(f.units.size(), 3 * segment_units);
        // A unit in the middle of a segment, garbled.
        f.damaged = f.units.size() / 2 / segment_units * segment_units + segment_units / 2;
        auto bytes = read_file(src + "/" + c->name);
        std::mt19937 rng(5);
        for (std::uint32_t i = 0; i < f.units[f.damaged].size; ++i)
            bytes[f.units[f.damaged].offset + i] = static_cast<std::uint8_t>(rng());
        ASSERT_TRUE(write_file(src + "/damaged-" + c->name, bytes));
        f.want_damaged = emit(src + "/damaged-" + c->name, dir); // --emit copes with it
        ASSERT_TRUE(write_file(dir.file("emitted"), f.want));
        pcm_of(dir.file("emitted"), f.pcm, f.frame_bytes);
        ASSERT_GT(f.pcm, 0u);
        ASSERT_GT(f.frame_bytes, 0u);
        fault_clips.push_back(std::move(f));
    }
    ASSERT_FALSE(fault_clips.empty());

    FaultFs fs(src, faulty);
    ASSERT_TRUE(fs.ok());
    Mount m(faulty);
    ASSERT_TRUE(m.ok());
    for (const FaultClip& f : fault_clips) {
        const std::string& name = f.clip->name;
        const std::string path = m.file(name);
        const std::size_t n = f.units.size();
        // Decided before its source fails: a small file's decision may read
        // the units at its end.
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        // The first segment whose decode begins with the unit before it.
        const std::size_t segment = n / 3 / segment_units * segment_units;
        const struct {
            const char* what;
            std::size_t first_unit, units; // the units made unreadable
            std::uint64_t offset;          // where the read starts
            std::size_t read_size;
        } cases[] = {
            {"one unit under a small read", n * 3 / 4, 1, f.unit_at(n * 3 / 4), 4096},
            {"a run of units under a large read", n / 2, 5, f.unit_at(n / 2), 256 << 10},
            // Page-aligned at or after the segment's start: only the pre-roll
            // reaches the failing unit.
            {"a unit of the pre-roll before the read's first", segment - 1, 1,
             (f.unit_at(segment) + page - 1) / page * page, 4096},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(name + ": " + c.what);
            if (c.first_unit + 1 == segment && f.clip->reach == 0)
                continue; // no pre-roll
            const ClipUnit& first = f.units[c.first_unit];
            const ClipUnit& last = f.units[c.first_unit + c.units - 1];
            // The fault shows only to reads that reach faultfs: the kernel may
            // hold the source's pages from earlier reads, and the read-ahead
            // of an earlier case may still be fetching some. Dropped once the
            // fault is in place, they come back only as errors.
            fs.fail(name, first.offset, last.offset + last.size);
            {
                const UniqueFd source(::open((faulty + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
                ::posix_fadvise(source.get(), 0, 0, POSIX_FADV_DONTNEED);
            }
            std::vector<std::uint8_t> got;
            EXPECT_EQ(read_direct(path, c.offset / page * page, c.read_size, got), EIO);
            // Through the page cache too: the failed range is not cached as data.
            const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            got.assign(c.read_size, 0);
            EXPECT_EQ(::pread(fd.get(), got.data(), got.size(), static_cast<off_t>(c.offset)), -1);
            EXPECT_EQ(errno, EIO);
            fs.clear();
            const ssize_t got_bytes = ::pread(fd.get(), got.data(), got.size(), static_cast<off_t>(c.offset));
            ASSERT_EQ(got_bytes, static_cast<ssize_t>(std::min<std::uint64_t>(c.read_size, f.want.size() - c.offset)));
            got.resize(static_cast<std::size_t>(got_bytes));
            EXPECT_TRUE(same(got, f.want, c.offset)) << "after the source recovered";
        }

        SCOPED_TRACE(name + ": a damaged unit");
        const std::string damaged = m.file("damaged-" + name);
        // From the segment before the damaged unit's to the one after it.
        const std::size_t from = f.damaged / segment_units * segment_units - segment_units;
        const std::uint64_t begin = f.unit_at(from) / page * page;
        const std::uint64_t end = f.unit_at(std::min(f.units.size(), from + 3 * segment_units));
        for (std::size_t piece : {std::size_t{4096}, std::size_t{65536}, std::size_t{1} << 20}) {
            std::vector<std::uint8_t> got;
            for (std::uint64_t at = begin; at < end; at += piece) {
                ASSERT_EQ(read_direct(damaged, at, piece, got), 0);
                ASSERT_EQ(got.size(), std::min<std::uint64_t>(piece, f.want_damaged.size() - at));
                ASSERT_TRUE(same(got, f.want_damaged, at)) << "a read of " << piece << " bytes at " << at;
            }
        }
        ASSERT_EQ(f.want_damaged.size(), f.want.size());
        const auto at = [&](std::uint64_t offset) { return static_cast<std::ptrdiff_t>(offset); };
        const std::uint64_t bad = f.unit_at(f.damaged), after = f.unit_at(f.damaged + 1);
        EXPECT_TRUE(std::equal(f.want.begin() + at(f.pcm), f.want.begin() + at(bad), f.want_damaged.begin() + at(f.pcm)))
            << "the units before it are untouched";
        EXPECT_TRUE(std::all_of(f.want_damaged.begin() + at(bad), f.want_damaged.begin() + at(after),
                                [](auto b) { return b == 0; }))
            << "the damaged unit plays as silence";
        // Beyond its reach, the units decode as in the undamaged file (within
        // the codec's tolerance of it, from a decoder that missed one unit).
        const std::uint64_t beyond = f.unit_at(f.damaged + 1 + f.clip->reach);
        int worst = 0;
        for (std::uint64_t i = beyond; i + 1 < f.want.size(); i += 2) {
            const auto sample = [&](const std::vector<std::uint8_t>& v) {
                return static_cast<std::int16_t>(v[i] | v[i + 1] << 8);
            };
            worst = std::max(worst, std::abs(sample(f.want) - sample(f.want_damaged)));
        }
        EXPECT_LE(worst, f.clip->tolerance) << "beyond unit " << f.damaged + f.clip->reach;
    }
}

} // namespace
} // namespace kov::test
