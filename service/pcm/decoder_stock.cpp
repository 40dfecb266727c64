#include "pcm/decoder_stock.hpp"

#include "common/after_reply.hpp"
#include "pcm/decoder_reset.hpp"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

namespace kov {

DecoderStock::DecoderStock(const CodecLibrary& lib, const DecoderReset& reset) : lib_(lib), reset_(reset)
{
    // Without a thread (the system refused one) the stock stays empty and
    // handed-over decoders are freed at once: everything still works, only
    // slower.
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
}

DecoderStock::~DecoderStock()
{
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

DecoderStock::Config* DecoderStock::find(std::span<const std::uint8_t> asc)
{
    for (Config& c : configs_)
        if (std::ranges::equal(c.asc, asc))
            return &c;
    return nullptr;
}

DecoderStock::Config& DecoderStock::touch(std::span<const std::uint8_t> asc)
{
    Config* c = find(asc);
    if (c == nullptr) {
        configs_.emplace_back().asc.assign(asc.begin(), asc.end());
        c = &configs_.back();
    }
    const auto it = configs_.begin() + (c - configs_.data());
    std::rotate(configs_.begin(), it, it + 1);
    while (configs_.size() > max_configs) {
        for (DecoderContext& ctx : configs_.back().ready)
            garbage_.push_back(std::move(ctx));
        for (DecoderContext& ctx : configs_.back().reset)
            garbage_.push_back(std::move(ctx));
        configs_.pop_back();
    }
    return configs_.front();
}

DecoderStock::Config* DecoderStock::wanting()
{
    for (Config& c : configs_)
        if (!c.refused && c.ready.size() < depth)
            return &c;
    return nullptr;
}

DecoderContext DecoderStock::take(std::span<const std::uint8_t> asc, bool wait)
{
    DecoderContext ctx;
    bool empty = false;
    {
        std::unique_lock lock(mutex_);
        Config* c = &touch(asc);
        if (wait && c->ready.empty() && c->opening) {
            opened_.wait(lock, [&] {
                c = find(asc);
                return c == nullptr || !c->opening || !c->ready.empty();
            });
            c = &touch(asc);
        }
        if (!c->ready.empty()) {
            ctx = std::move(c->ready.back());
            c->ready.pop_back();
        }
        empty = c->ready.empty() && !c->opening && !c->refused;
    }
    // Jumps in a row, faster than the stock refills: the next one will need
    // a decoder before this reply is out, so the open starts now.
    if (empty)
        wake_.notify_one();
    return ctx;
}

void DecoderStock::top_up()
{
    AfterReply::defer([this] { wake_.notify_one(); });
}

void DecoderStock::put(std::span<const std::uint8_t> asc, DecoderContext ctx)
{
    if (!ctx || !thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        Config& c = touch(asc);
        if (c.ready.size() < depth)
            c.ready.push_back(std::move(ctx));
        else
            hand_over(ctx);
    }
    top_up();
}

DecoderContext DecoderStock::take_reset(std::span<const std::uint8_t> asc)
{
    std::lock_guard lock(mutex_);
    Config* c = find(asc);
    if (c == nullptr || c->reset.empty())
        return {};
    DecoderContext ctx = std::move(c->reset.back());
    c->reset.pop_back();
    return ctx;
}

void DecoderStock::give_back(std::span<const std::uint8_t> asc, DecoderContext ctx)
{
    if (!ctx || !thread_.joinable())
        return;
    const bool keep = reset_.available();
    if (keep) // a flush and a store: cheap enough for the caller's thread
        reset_.apply(ctx.get());
    {
        std::lock_guard lock(mutex_);
        Config* c = find(asc);
        if (keep && c != nullptr && c->reset.size() < reset_depth) {
            c->reset.push_back(std::move(ctx));
            return;
        }
        hand_over(ctx);
    }
    top_up();
}

void DecoderStock::discard(DecoderContext ctx)
{
    if (!ctx || !thread_.joinable())
        return;
    std::lock_guard lock(mutex_);
    hand_over(ctx);
}

void DecoderStock::hand_over(DecoderContext& ctx)
{
    if (garbage_.size() < max_garbage)
        garbage_.push_back(std::move(ctx));
}

void DecoderStock::run()
{
    reset_.available(); // learned here rather than in the first read
    std::vector<DecoderContext> dropped;
    std::vector<std::uint8_t> asc;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return ending_ || !garbage_.empty() || wanting() != nullptr; });
            if (ending_)
                return;
            if (!garbage_.empty()) {
                dropped.swap(garbage_);
            } else {
                Config* c = wanting();
                c->opening = true;
                asc = c->asc;
            }
        }
        if (!dropped.empty()) { // freed first: the memory serves the next open
            dropped.clear();
            continue;
        }
        DecoderContext ctx = lib_.bound() ? open_aac_decoder(lib_, asc) : DecoderContext{};
        std::lock_guard lock(mutex_);
        Config* c = find(asc); // it may have been dropped meanwhile
        if (c != nullptr)
            c->opening = false;
        opened_.notify_all();
        if (c == nullptr)
            garbage_.push_back(std::move(ctx));
        else if (!ctx)
            c->refused = true;
        else if (c->ready.size() < depth)
            c->ready.push_back(std::move(ctx));
        else
            garbage_.push_back(std::move(ctx));
    }
}

} // namespace kov
