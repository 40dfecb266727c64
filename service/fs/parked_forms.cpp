#include "fs/parked_forms.hpp"

#include <mutex>

#include "fs/mirror_node.hpp"

namespace kov {

namespace {

// Guards every node's `parked`; held for a copy only.
std::mutex& parked_mutex()
{
    static std::mutex mutex;
    return mutex;
}

} // namespace

void park_forms(MirrorNode& node)
{
    std::shared_ptr<FileForms> forms = node.forms.load();
    if (!forms)
        return;
    ParkedStamp parked;
    {
        std::lock_guard lock(forms->mutex);
        // A movie not yet readable as one keeps its whole state: what its
        // opens wait for and its handles fail on is not in the stamp.
        if (forms->state != LayoutState::pass_through || forms->pending || !forms->form || forms->form->layout ||
            forms->form->unfinished)
            return;
        const SourceStamp& s = forms->stamp;
        parked = ParkedStamp{s.size, s.mtime_sec, s.ctime_sec, static_cast<std::uint32_t>(s.mtime_nsec),
                             static_cast<std::uint32_t>(s.ctime_nsec)};
    }
    // The node's reference and this one: nobody else holds it. One taken
    // meanwhile keeps working on its own copy; the next request starts from
    // what was parked and compares the stamp again.
    if (forms.use_count() > 2)
        return;
    {
        std::lock_guard lock(parked_mutex());
        node.parked = parked;
    }
    node.forms.compare_exchange_strong(forms, nullptr);
}

void unpark_forms(MirrorNode& node, FileForms& fresh)
{
    ParkedStamp parked;
    {
        std::lock_guard lock(parked_mutex());
        parked = node.parked;
    }
    if (parked.size < 0)
        return;
    const SourceStamp stamp{parked.size, parked.mtime_sec, parked.mtime_nsec, parked.ctime_sec, parked.ctime_nsec};
    auto form = std::make_shared<FileForm>();
    form->stamp = stamp;
    fresh.form = std::move(form);
    fresh.stamp = stamp;
    fresh.state = LayoutState::pass_through;
}

} // namespace kov
