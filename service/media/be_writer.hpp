#pragma once
// Appends big-endian fields and boxes to a byte vector. begin_box() leaves a
// 32-bit size to be patched by end_box(), so no box size is counted by hand.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kov {

class BeWriter {
public:
    explicit BeWriter(std::vector<std::uint8_t>& out) : out_(out) {}

    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) { put(v, 2); }
    void u24(std::uint32_t v) { put(v, 3); }
    void u32(std::uint32_t v) { put(v, 4); }
    void u64(std::uint64_t v) { put(v, 8); }
    void zeros(std::size_t n) { out_.insert(out_.end(), n, 0); }
    void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void fourcc(std::string_view t)
    {
        for (std::size_t i = 0; i < 4; ++i)
            out_.push_back(i < t.size() ? static_cast<std::uint8_t>(t[i]) : ' ');
    }

    // Starts a box; returns where its size field lives.
    std::size_t begin_box(std::string_view type)
    {
        const std::size_t at = out_.size();
        u32(0);
        fourcc(type);
        return at;
    }
    // The same for a type read from a file.
    std::size_t begin_box(std::uint32_t type)
    {
        const std::size_t at = out_.size();
        u32(0);
        u32(type);
        return at;
    }
    std::size_t begin_full_box(std::string_view type, std::uint8_t version, std::uint32_t flags)
    {
        const std::size_t at = begin_box(type);
        u8(version);
        u24(flags);
        return at;
    }
    // Patches the 32-bit size of the box started at `at` to reach the current end.
    void end_box(std::size_t at) { patch_u32(at, static_cast<std::uint32_t>(out_.size() - at)); }

    void patch_u32(std::size_t at, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out_[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }
    // Sets the 64-bit field at `at`, written earlier as a placeholder.
    void patch_u64(std::size_t at, std::uint64_t v)
    {
        patch_u32(at, static_cast<std::uint32_t>(v >> 32));
        patch_u32(at + 4, static_cast<std::uint32_t>(v));
    }
    std::size_t size() const { return out_.size(); }

private:
    void put(std::uint64_t v, int n)
    {
        for (int i = n - 1; i >= 0; --i)
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }

    std::vector<std::uint8_t>& out_;
};

} // namespace kov
