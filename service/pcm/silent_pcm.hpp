#pragma once
// The PCM source used whenever no decoder can be had: every byte is zero.

#include "pcm/pcm_source.hpp"

namespace kov {

class SilentPcm final : public PcmSource {
  public:
    std::int64_t read(int fd, std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) override;
};

} // namespace kov
