#pragma once
// Freshly opened AAC decoders kept ready, so that the first read of a file, a
// jump that needs a fresh decoder or a stream probe does not wait for one to
// be opened (about 70 us), and used decoders freed away from the read that let
// them go.
// One background thread of the stock does the opening and the freeing.
//
// A decoder that has had no input is the same wherever and whenever it was
// opened, so one kept for an AudioSpecificConfig may serve any file with
// exactly that configuration: bytes still read the same.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <span>
#include <vector>

#include "pcm/aac_decoder.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/decoder_reset.hpp"

namespace kov {

class DecoderStock {
  public:
    // Configurations kept at once (the most recently used ones) and ready
    // decoders per configuration: at most 4 decoders, about 2.4 MiB.
    static constexpr std::size_t max_configs = 2;
    static constexpr std::size_t depth = 2;
    // Used decoders kept, reset, per configuration: as many as decode at
    // once for one straight reader (the pool's workers), about 4.8 MiB.
    static constexpr std::size_t reset_depth = 8;
    // Used decoders waiting for the stock's thread to free them. Beyond this
    // the thread handing one over frees it itself: when every core decodes,
    // the stock's thread fell behind and 60 decoders waited (35 MiB).
    static constexpr std::size_t max_garbage = 4;

    // Opens through `lib` and resets through `reset`, which must outlive
    // the stock.
    DecoderStock(const CodecLibrary& lib, const DecoderReset& reset);
    // Stops the stock's thread (it never waits on a source) and frees what
    // it keeps.
    ~DecoderStock();
    DecoderStock(const DecoderStock&) = delete;
    DecoderStock& operator=(const DecoderStock&) = delete;

    // A ready decoder for this configuration, or an empty one when none is
    // ready. When the stock's thread is opening one for it right now and
    // `wait` is set, waits for that one: it is ready sooner than a second
    // opened beside it.
    DecoderContext take(std::span<const std::uint8_t> asc, bool wait = true);
    // A used decoder for this configuration brought back to the state of a
    // fresh one (see DecoderReset: only behind a pre-roll), or an empty one.
    // Never waits.
    DecoderContext take_reset(std::span<const std::uint8_t> asc);
    // Hands over a used decoder, to be freed.
    void discard(DecoderContext ctx);
    // Hands over a used decoder that decoded every unit it was fed as the
    // configuration says: kept, reset, for take_reset() when resetting is
    // available (and not switched off); freed otherwise.
    void give_back(std::span<const std::uint8_t> asc, DecoderContext ctx);
    // Sets the stock's thread to free what was handed over and to make up
    // for what was taken, once the reply being served has gone out
    // (AfterReply): opening beside a read that is still decoding or replying
    // slows that read down more than the open costs (measured through a mount
    // on two cores: a 4 KiB read after a jump took 0.24 ms instead of 0.08 ms).
    void top_up();
    // Gives back a decoder that has had no input since it was opened (the
    // one beyond the depth is freed), and tops up.
    void put(std::span<const std::uint8_t> asc, DecoderContext ctx);

  private:
    struct Config {
        std::vector<std::uint8_t> asc;
        std::vector<DecoderContext> ready; // opened, never used
        std::vector<DecoderContext> reset; // used, then reset
        bool refused = false;              // the library would not open it: never retried
        bool opening = false;              // the stock's thread is opening one for it
    };

    void run();
    // The configuration, moved to the front as the most recently used; added
    // when unknown, and the least recently used one dropped beyond the limit.
    Config& touch(std::span<const std::uint8_t> asc);
    Config* find(std::span<const std::uint8_t> asc);
    Config* wanting();
    // Queues the decoder for the stock's thread, under the lock; leaves it
    // with the caller, who frees it after the lock, when the queue is full.
    void hand_over(DecoderContext& ctx);

    const CodecLibrary& lib_;
    const DecoderReset& reset_;

    // Taken alone: never while a source's, the decoded cache's or the table
    // budget's is held, and nothing is taken while it is held.
    std::mutex mutex_;
    std::condition_variable wake_;   // work for the stock's thread
    std::condition_variable opened_; // an open has ended
    std::vector<Config> configs_;    // most recently used first
    std::vector<DecoderContext> garbage_;
    bool ending_ = false;   // the stock's thread is to end
    std::thread thread_;    // not joinable when the system refused a thread
};

} // namespace kov
