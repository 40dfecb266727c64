// Where each unit lies: kept compactly, given back exactly, whatever the
// file's layout (far apart, out of order, large units).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pcm/unit_table.hpp"

namespace kov {
namespace {

TEST(UnitTable, GivesBackEveryPlaceExactly)
{
    constexpr std::uint64_t gib = std::uint64_t{1} << 30;
    struct Case {
        std::string name;
        std::vector<PcmUnit> units;
    };
    std::vector<Case> cases;
    {
        Case c{"interleaved, growing", {}};
        for (std::uint64_t i = 0; i < 100; ++i)
            c.units.push_back({1000 + i * 15000, static_cast<std::uint32_t>(300 + i % 7), i * 1024});
        cases.push_back(c);
    }
    {
        Case c{"out of order and over 4 GiB apart within a block", {}};
        for (std::uint64_t i = 0; i < 40; ++i)
            c.units.push_back({(i % 3 == 0 ? 9 * gib : 5) + (40 - i) * 700, 400, i * 1024});
        cases.push_back(c);
    }
    {
        // Kept compactly for two blocks before one needs whole offsets; the
        // last block is not full.
        Case c{"over 4 GiB apart from the third block on", {}};
        for (std::uint64_t i = 0; i < 50; ++i)
            c.units.push_back({i * 3000 + (i == 40 ? 9 * gib : 0), 300, i * 1024});
        cases.push_back(c);
    }
    {
        Case c{"a unit of 64 KiB and more", {}};
        for (std::uint64_t i = 0; i < 20; ++i)
            c.units.push_back({i * 200000, i == 7 ? 70000u : 65535u, i * 1024});
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        PcmTrack track;
        track.rate = 48000;
        track.timescale = 48000;
        track.frames_per_unit = 1024;
        track.total_frames = c.units.size() * 1024;
        track.units = unit_list_of(c.units);
        const UnitTable table = UnitTable::build(track, -1, c.units.size());
        ASSERT_EQ(table.size(), c.units.size()) << c.name;
        for (std::size_t i = 0; i < c.units.size(); ++i) {
            EXPECT_EQ(table.offset(i), c.units[i].offset) << c.name << ", unit " << i;
            EXPECT_EQ(table.unit_size(i), c.units[i].size) << c.name << ", unit " << i;
            EXPECT_EQ(table.start(i), i * 1024) << c.name << ", unit " << i;
        }
    }
}

// Where each unit's audio starts, from its time: on from the previous unit
// while within half a unit of where that one ends, else at its own time.
// Units of varying length end after their own durations: each starts at its
// time.
TEST(UnitTable, PlacesUnitsOnUnbrokenWhileWithinHalfAUnit)
{
    struct Case {
        std::string name;
        std::uint32_t timescale;
        std::vector<std::uint64_t> times;  // in the timescale
        std::vector<std::uint64_t> starts; // frames at 48 kHz, 1024 a unit
        Codec codec = Codec::aac;
    };
    std::vector<Case> cases;
    {
        // Times rounded to whole milliseconds (48 ticks): deltas of 1008 and 1056.
        Case c{"rounded to milliseconds", 48000, {}, {}};
        for (std::uint64_t i = 0; i < 200; ++i) {
            c.times.push_back((i * 1024 + 24) / 48 * 48);
            c.starts.push_back(i * 1024);
        }
        cases.push_back(c);
    }
    {
        // 941 ticks at 44.1 kHz: 1024.2 frames a unit. The audio runs on
        // until it is more than half a unit early, then waits for its time.
        Case c{"941 ticks at 44.1 kHz, drifting", 44100, {}, {}};
        std::uint64_t start = 0;
        for (std::uint64_t i = 0; i < 3000; ++i) {
            const std::uint64_t at = (i * 941 * 48000 + 22050) / 44100;
            start = i == 0 ? 0 : start + 1024;
            if (at > start + 512)
                start = at;
            c.times.push_back(i * 941);
            c.starts.push_back(start);
        }
        EXPECT_NE(c.starts.back(), 2999u * 1024) << "no correction in the case itself";
        cases.push_back(c);
    }
    // A gap of 600 frames is silence, one of 512 is not; an overlap of 600
    // cuts the unit before; one that reaches back past that unit's own
    // start (placed 400 frames after its time) leaves it nothing.
    cases.push_back({"gaps", 48000, {0, 1024, 2648, 4184, 5300}, {0, 1024, 2648, 3672, 5300}});
    cases.push_back({"overlaps", 48000, {0, 1024, 1448, 2072, 2072}, {0, 1024, 1448, 2472, 2472}});
    // Vorbis packets of 128, 576 and 1024 frames: a step of 1024 would put
    // the third at 1152 and the fifth at 3200.
    const std::vector<std::uint64_t> vorbis{0, 128, 704, 1728, 2304, 2432, 2560, 3136, 4160};
    cases.push_back({"Vorbis block sizes", 48000, vorbis, vorbis, Codec::vorbis});
    cases.push_back({"Vorbis timed at 44.1 kHz", 44100, {0, 118, 647, 1588, 2117, 2235},
                     {0, 128, 704, 1728, 2304, 2433}, Codec::vorbis});
    for (const Case& c : cases) {
        PcmTrack track;
        track.config.codec = c.codec;
        track.rate = 48000;
        track.timescale = c.timescale;
        track.frames_per_unit = 1024;
        track.total_frames = c.starts.back() + 1024;
        std::vector<PcmUnit> units;
        for (std::size_t i = 0; i < c.times.size(); ++i)
            units.push_back({i * 1000, 100, c.times[i]});
        track.units = unit_list_of(std::move(units));
        const UnitTable table = UnitTable::build(track, -1, c.times.size());
        ASSERT_EQ(table.size(), c.times.size()) << c.name;
        for (std::size_t i = 0; i < c.times.size(); ++i)
            ASSERT_EQ(table.start(i), c.starts[i]) << c.name << ", unit " << i;
    }
}

} // namespace
} // namespace kov
