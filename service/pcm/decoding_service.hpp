#pragma once
// What the decoding sources of one mount (of one --emit, of one test) share:
// the bound libavcodec, whether its used decoders can be reset, the stock of
// ready decoders, the decoded segments and the unit tables under their
// budgets, the workers that decode ahead and the bounds on decodes at once.
//
// Made by whoever builds layouts and handed to the sources it makes; each
// source keeps it alive, since a decode ahead may still run on a worker after
// the mount has let go of everything else.
//
// Lock order among its parts: a source's mutex, then the decoded cache's or
// the table budget's; the stock's and the workers' are taken alone. No part
// takes a source's mutex while holding its own.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/worker_pool.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/decoded_cache.hpp"
#include "pcm/decoder_reset.hpp"
#include "pcm/decoder_stock.hpp"
#include "pcm/pcm_track.hpp"
#include "pcm/segment_decoder.hpp"
#include "pcm/table_budget.hpp"

namespace kov {

class DecodingService : public std::enable_shared_from_this<DecodingService> {
  public:
    struct Settings {
        bool reset = true; // used decoders may be reset rather than opened anew
        std::size_t decoded_budget = DecodedCache::default_budget;
        std::size_t table_budget = TableBudget::default_budget;
    };

    // Workers decoding ahead. More than cores: on a slow source (a network
    // share) they spend most of their time waiting for reads, and the reads
    // of several segments in flight together are what keeps a reader going
    // there (measured through a source answering each read after 1 ms: 8
    // workers read 2.4 times faster than 2). Beyond 64 waiting jobs a new one
    // is refused: the reader decodes itself when it gets there.
    static constexpr WorkerPool::Limits ahead_limits{8, 8, 64, {}};

    // The library must be moved in: the service is the one owner of the
    // binding its decoders come from.
    static std::shared_ptr<DecodingService> create(CodecLibrary lib, Settings settings);
    // The settings of the program: reset unless KOV_DECODER_RESET=0.
    static Settings settings_from_environment();

    DecodingService(const DecodingService&) = delete;
    DecodingService& operator=(const DecodingService&) = delete;

    const CodecLibrary& library() const { return lib_; }
    bool bound() const { return lib_.bound(); }
    // "<soname> (libavcodec X.Y.Z)" when bound, else empty.
    std::string description() const { return describe_codec_library(lib_); }
    // Learned on first use.
    const DecoderReset& reset() const { return reset_; }

    // Decodes up to the first four units and replaces rate, channels and
    // frames_per_unit by what the decoder reports. Does nothing without a
    // decoder.
    void probe_stream(int fd, PcmTrack& track);
    // A decoding source for the track, or a silent one when no decoder can be
    // set up; never null. It holds no descriptor: each call reading the file
    // is handed one.
    std::unique_ptr<PcmSource> make_source(PcmTrack track);
    // Opens and frees one decoder and starts the workers, so that the
    // one-time set-up of libavcodec and of the threads happens now rather
    // than inside the first read. Does nothing without a decoder.
    void warm_up();

    DecoderStock& stock() { return stock_; }
    DecodedCache& decoded() { return decoded_; }
    TableBudget& tables() { return tables_; }
    WorkerPool& ahead() { return ahead_; }
    DecodeGates& gates() { return gates_; }
    // A number no other source of this service has: its key in the decoded
    // cache and the table budget.
    std::uint64_t new_source_id() { return next_source_id_.fetch_add(1, std::memory_order_relaxed); }

  private:
    DecodingService(CodecLibrary lib, Settings settings);

    // In this order: each part may use those declared before it, and goes
    // after them.
    const CodecLibrary lib_;
    DecoderReset reset_;
    DecodeGates gates_;
    DecodedCache decoded_;
    TableBudget tables_;
    DecoderStock stock_;
    WorkerPool ahead_;
    std::atomic<std::uint64_t> next_source_id_{1};
};

} // namespace kov
