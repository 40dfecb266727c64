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
        track.units = [units = c.units](std::size_t) { return units; };
        const UnitTable table = UnitTable::build(track, c.units.size());
        ASSERT_EQ(table.size(), c.units.size()) << c.name;
        for (std::size_t i = 0; i < c.units.size(); ++i) {
            EXPECT_EQ(table.offset(i), c.units[i].offset) << c.name << ", unit " << i;
            EXPECT_EQ(table.unit_size(i), c.units[i].size) << c.name << ", unit " << i;
            EXPECT_EQ(table.start(i), i * 1024) << c.name << ", unit " << i;
        }
    }
}

} // namespace
} // namespace kov
