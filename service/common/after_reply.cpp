#include "common/after_reply.hpp"

#include <utility>

namespace kov {

namespace {

thread_local AfterReply* outermost = nullptr;

} // namespace

AfterReply::AfterReply() : outermost_(outermost == nullptr)
{
    if (outermost_)
        outermost = this;
}

AfterReply::~AfterReply()
{
    run();
    if (outermost_)
        outermost = nullptr;
}

void AfterReply::run()
{
    // Work may hand over more work; it runs in this same pass.
    while (!work_.empty()) {
        std::vector<std::function<void()>> now;
        now.swap(work_);
        for (auto& w : now) {
            try {
                w();
            } catch (...) {
                // Only a thread or memory the system refused: the work was
                // an optimisation, and the reply is out.
            }
        }
    }
}

void AfterReply::defer(std::function<void()> work)
{
    if (outermost != nullptr) {
        outermost->work_.push_back(std::move(work));
        return;
    }
    work();
}

} // namespace kov
