#pragma once
// The decoding service a benchmark run uses, made as the program makes its own.

#include "pcm/codec_library.hpp"
#include "pcm/decoding_service.hpp"

namespace kov::bench {

inline DecodingService& decoding()
{
    static const auto service =
        DecodingService::create(bind_system_codec_library(), DecodingService::settings_from_environment());
    return *service;
}

} // namespace kov::bench
