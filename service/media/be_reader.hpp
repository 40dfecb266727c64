#pragma once
// A bounds-checked view of big-endian bytes. Every read checks what is left
// before it advances; a failed read leaves the value zero and the position
// unchanged, so a parser can never read past its box.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kov {

class BeReader {
public:
    BeReader() = default;
    explicit BeReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t remaining() const { return bytes_.size() - pos_; }
    std::size_t position() const { return pos_; }
    std::span<const std::uint8_t> rest() const { return bytes_.subspan(pos_); }

    bool u8(std::uint8_t& v) { return read_be(v); }
    bool u16(std::uint16_t& v) { return read_be(v); }
    bool u32(std::uint32_t& v) { return read_be(v); }
    bool u64(std::uint64_t& v) { return read_be(v); }

    bool skip(std::size_t n)
    {
        if (n > remaining())
            return false;
        pos_ += n;
        return true;
    }

    // The next n bytes as a reader of their own (one box); advances past them.
    bool sub(std::size_t n, BeReader& child)
    {
        if (n > remaining())
            return false;
        child = BeReader(bytes_.subspan(pos_, n));
        pos_ += n;
        return true;
    }

    // Reads a field at an absolute offset of this view without moving.
    template <typename T> bool peek_at(std::size_t offset, T& v) const
    {
        v = 0;
        if (offset > bytes_.size() || sizeof(T) > bytes_.size() - offset)
            return false;
        T out = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            out = static_cast<T>((static_cast<std::uint64_t>(out) << 8) | bytes_[offset + i]);
        v = out;
        return true;
    }

private:
    template <typename T> bool read_be(T& v)
    {
        if (!peek_at(pos_, v))
            return false;
        pos_ += sizeof(T);
        return true;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

} // namespace kov
