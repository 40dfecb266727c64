#pragma once
// A run-time binding of the system's libavcodec/libavutil, absent when no
// usable library exists. The decoding service owns the one it decodes with;
// after binding the table is read-only and read from any thread.
// FFmpeg is never linked and its headers are never included: the entry points
// are typed over opaque records, and the few fields the decoding source
// touches are reached through the byte offsets below, which are the same in
// libavcodec 58 to 62 and libavutil 56 to 60 on 64-bit Linux.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "pcm/dl_handle.hpp"

namespace kov {

// Opaque FFmpeg objects; only ever handled through pointers.
struct LavCodec;
struct LavCodecContext;
struct LavCodecParameters;
struct LavPacket;
struct LavFrame;
struct LavDictionary;

constexpr int lav_codec_id_mp3 = 0x15001;
constexpr int lav_codec_id_aac = 0x15002;
constexpr int lav_codec_id_ac3 = 0x15003;
constexpr int lav_codec_id_vorbis = 0x15005;
constexpr int lav_codec_id_flac = 0x1500c;
constexpr int lav_codec_id_alac = 0x15010;
constexpr int lav_codec_id_opus = 0x1503c;
constexpr int lav_codec_id_eac3 = 0x15028;
constexpr int lav_media_type_audio = 1;
constexpr int lav_sample_fmt_s16 = 1;
constexpr int lav_sample_fmt_s32 = 2;
constexpr int lav_sample_fmt_flt = 3;
constexpr int lav_sample_fmt_s16p = 6;
constexpr int lav_sample_fmt_s32p = 7;
constexpr int lav_sample_fmt_fltp = 8;
constexpr int lav_error_again = -11; // AVERROR(EAGAIN)

// Field offsets in bytes.
constexpr std::size_t lav_par_codec_type = 0;
constexpr std::size_t lav_par_codec_id = 4;
constexpr std::size_t lav_par_extradata = 16;
constexpr std::size_t lav_par_extradata_size = 24;
constexpr std::size_t lav_packet_data = 24;
constexpr std::size_t lav_packet_size = 32;
constexpr std::size_t lav_frame_data = 0;
constexpr std::size_t lav_frame_linesize = 64; // right after the eight plane pointers
constexpr std::size_t lav_frame_extended_data = 96;
constexpr std::size_t lav_frame_nb_samples = 112;
constexpr std::size_t lav_frame_format = 116;
constexpr std::size_t lav_ctx_priv_data = 32; // AVCodecContext.priv_data

struct CodecLibrary {
    DlHandle codec_handle; // bound when this is open
    DlHandle util_handle;  // only if libavutil was already loaded; may stay empty when bound
    std::string loaded_name;

    unsigned (*avcodec_version)() = nullptr;
    const LavCodec* (*avcodec_find_decoder)(int id) = nullptr;
    LavCodecContext* (*avcodec_alloc_context3)(const LavCodec* codec) = nullptr;
    void (*avcodec_free_context)(LavCodecContext** ctx) = nullptr;
    int (*avcodec_open2)(LavCodecContext* ctx, const LavCodec* codec, LavDictionary** options) = nullptr;
    LavCodecParameters* (*avcodec_parameters_alloc)() = nullptr;
    void (*avcodec_parameters_free)(LavCodecParameters** par) = nullptr;
    int (*avcodec_parameters_to_context)(LavCodecContext* ctx, const LavCodecParameters* par) = nullptr;
    LavPacket* (*av_packet_alloc)() = nullptr;
    void (*av_packet_free)(LavPacket** pkt) = nullptr;
    LavFrame* (*av_frame_alloc)() = nullptr;
    void (*av_frame_free)(LavFrame** frame) = nullptr;
    int (*avcodec_send_packet)(LavCodecContext* ctx, const LavPacket* pkt) = nullptr;
    int (*avcodec_receive_frame)(LavCodecContext* ctx, LavFrame* frame) = nullptr;
    void (*avcodec_flush_buffers)(LavCodecContext* ctx) = nullptr;
    void* (*av_mallocz)(std::size_t size) = nullptr;
    int (*av_opt_get_int)(void* obj, const char* name, int search_flags, std::int64_t* out) = nullptr;
    int (*av_opt_set)(void* obj, const char* name, const char* value, int search_flags) = nullptr;

    // The AAC decoder found when binding. Looking it up walks the whole codec
    // list, a noticeable part of opening a decoder on every jump.
    const LavCodec* aac_decoder = nullptr;

    CodecLibrary() = default;
    CodecLibrary(CodecLibrary&&) = default;
    CodecLibrary& operator=(CodecLibrary&&) = default;

    bool bound() const { return static_cast<bool>(codec_handle); }
};

// The sonames tried for the system's library, in order of preference.
std::span<const char* const> default_codec_sonames();
std::span<const char* const> default_util_sonames();

// Binds the first of these libraries that loads and offers everything used,
// an AAC decoder included; the absent table otherwise (names that do not
// exist give it). Never fails.
CodecLibrary bind_codec_library(std::span<const char* const> codec_names, std::span<const char* const> util_names);
// The system's library, through the default sonames.
CodecLibrary bind_system_codec_library();

// "<soname> (libavcodec X.Y.Z)" when bound, else empty.
std::string describe_codec_library(const CodecLibrary& lib);

} // namespace kov
