#include "pcm/codec_decoding.hpp"

#include "pcm/pcm_track.hpp"

namespace kov {

extern const CodecDecoding aac_decoding;
extern const CodecDecoding eac3_decoding;
extern const CodecDecoding ac3_decoding;
extern const CodecDecoding mp3_decoding;
extern const CodecDecoding opus_decoding;
extern const CodecDecoding flac_decoding;
extern const CodecDecoding alac_decoding;
extern const CodecDecoding vorbis_decoding;

const CodecDecoding* codec_decoding(Codec codec)
{
    switch (codec) {
    case Codec::aac:
        return &aac_decoding;
    case Codec::eac3:
        return &eac3_decoding;
    case Codec::ac3:
        return &ac3_decoding;
    case Codec::mp3:
        return &mp3_decoding;
    case Codec::opus:
        return &opus_decoding;
    case Codec::flac:
        return &flac_decoding;
    case Codec::alac:
        return &alac_decoding;
    case Codec::vorbis:
        return &vorbis_decoding;
    default:
        return nullptr;
    }
}

bool units_vary(Codec codec)
{
    const CodecDecoding* decoding = codec_decoding(codec);
    return decoding != nullptr && decoding->varying_units;
}

} // namespace kov
