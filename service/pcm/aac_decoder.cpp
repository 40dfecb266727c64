#include "pcm/aac_decoder.hpp"

#include <limits>

#include "pcm/codec_decoding.hpp"

namespace kov {

DecoderContext open_aac_decoder(const CodecLibrary& lib, std::span<const std::uint8_t> asc)
{
    return open_decoder(lib, Codec::aac, asc);
}

DecoderContext open_decoder(const CodecLibrary& lib, Codec which, std::span<const std::uint8_t> asc)
{
    const CodecDecoding* decoding = codec_decoding(which);
    const int id = decoding != nullptr ? decoding->lav_codec_id : 0;
    if (!lib.bound() || id == 0)
        return {};
    const LavCodec* codec =
        which == Codec::aac && lib.aac_decoder ? lib.aac_decoder : lib.avcodec_find_decoder(id);
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
        set_field<std::int32_t>(par.get(), lav_par_codec_id, id);
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
    // Keep the encoder-delay samples in the output, so that the stream starts
    // with the first unit's own output.
    lib.av_opt_set(ctx.get(), "flags2", "+skip_manual", 0);
    if (lib.avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return {};
    return ctx;
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

} // namespace kov
