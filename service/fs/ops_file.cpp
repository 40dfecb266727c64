// Open files. The handle's fh is an OpenFile: the source reopened for it and
// the form its open saw, which it reads to the end (see file_form.hpp).

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "common/after_reply.hpp"
#include "common/full_io.hpp"
#include "fs/mirror.hpp"
#include "fs/mirror_state.hpp"

namespace kov {

namespace {

// Hands the range straight from the source descriptor to the kernel: the
// library splices it when the connection allows, so no service buffer holds it.
void reply_from_source(fuse_req_t req, int fd, std::size_t size, off_t off)
{
    fuse_bufvec buf = FUSE_BUFVEC_INIT(size);
    buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    buf.buf[0].fd = fd;
    buf.buf[0].pos = off;
    fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
}

OpenFile* open_file(const fuse_file_info* fi)
{
    return reinterpret_cast<OpenFile*>(fi->fh);
}

// Handles the kernel has not released. An unmount does not release the files
// still open, nor a release still on its way, so the end of the session
// closes what is left here.
struct LiveHandles {
    std::mutex mutex;
    std::unordered_set<OpenFile*> handles;
};

LiveHandles& live_handles()
{
    static LiveHandles live;
    return live;
}

// Hands a handle over to the kernel as fh.
std::uint64_t adopt(std::unique_ptr<OpenFile> handle)
{
    LiveHandles& live = live_handles();
    std::lock_guard lock(live.mutex);
    live.handles.insert(handle.get());
    return reinterpret_cast<std::uint64_t>(handle.release());
}

// Takes a handle back from the kernel; empty when the session's end has
// closed it already.
std::unique_ptr<OpenFile> take(const fuse_file_info* fi)
{
    LiveHandles& live = live_handles();
    std::lock_guard lock(live.mutex);
    return std::unique_ptr<OpenFile>(live.handles.erase(open_file(fi)) == 1 ? open_file(fi) : nullptr);
}

// One read-only handle of a form is gone. With the last one its PCM sources
// give back their decoded blocks and tables: the kernel may keep the node
// for a long time, but nothing reads that form now.
void drop_reader(const FileForm& form)
{
    if (form.readers.fetch_sub(1) != 1 || !form.layout)
        return;
    for (const PcmStream& stream : form.layout->streams)
        if (stream.source)
            stream.source->release();
}

// Ends a handle: closes its descriptor and lets go of what it held, touching
// nothing of the node, which the kernel may already have forgotten.
void close_handle(std::unique_ptr<OpenFile> handle)
{
    if (!handle)
        return;
    if (handle->form)
        drop_reader(*handle->form);
    if (handle->form && handle->forms) {
        std::lock_guard lock(handle->forms->mutex);
        --handle->forms->handles;
        if (handle->cached)
            --handle->forms->cached_handles;
    }
}

// A source that changed this recently may still be being written.
constexpr std::chrono::milliseconds settle_time{2000};

// How the kernel's page cache serves this open. It holds one cache and one
// size per file, whatever form each handle reads: a handle reading another
// form through it would meet pages of the wrong one, or be cut short (or
// filled with zeros) at the other's size. So the cache serves one form at a
// time. A settled form, rewritten or not, is read through it when no handle
// open reads another form through it, keeping the pages cached before only
// when they are of the same form. Any other open (a file that changed in
// the last seconds, perhaps still being written, or a second form while
// handles of the first are open) is read around the cache, each read
// answered from the handle's own form.
// Only such a settled file is spliced, too: a splice hands the kernel the
// source's own pages, which a truncation zeroes in place while the reply is
// still on its way, so a file that is being written goes through a buffer,
// checked after the copy.
void choose_caching(MirrorNode& node, OpenFile& handle, fuse_file_info* fi)
{
    if (!handle.form || !handle.forms) {
        fi->keep_cache = 1;
        handle.spliced = true;
        return;
    }
    const bool settled = !moved_lately(node, *handle.form, settle_time);
    std::lock_guard lock(handle.forms->mutex);
    const FileForm* cached = handle.forms->cached.get();
    // A state that came back from parking does not know what is cached: the
    // kernel itself drops pages whose file's size or time it sees change.
    const bool same = cached && cached->stamp == handle.form->stamp && !cached->layout == !handle.form->layout;
    if (!settled || (handle.forms->cached_handles > 0 && !same)) {
        fi->direct_io = 1;
        return;
    }
    fi->keep_cache = !cached || same;
    handle.forms->cached = handle.form;
    ++handle.forms->cached_handles;
    handle.cached = true;
    handle.spliced = !handle.form->layout;
}

// Whether a handle's form is no longer its file's: the kernel may have been
// told the size of another.
bool superseded(OpenFile& handle)
{
    std::lock_guard lock(handle.forms->mutex);
    return handle.forms->form != handle.form;
}

// Whether the file of a handle is now shorter than a size the kernel may
// have been told.
bool shrunk(OpenFile& handle)
{
    SourceStamp now;
    if (!handle.forms || !stamp_fd(handle.fd.get(), now))
        return true;
    std::lock_guard lock(handle.forms->mutex);
    return now.size < handle.forms->largest_shown;
}

// Opens the source for reading as the form `decision` describes. -ESTALE when
// the source changed since that decision (other than by growing).
int open_form_reader(MirrorNode& node, const LayoutDecision& decision, std::unique_ptr<OpenFile>& handle)
{
    const int fd = reopen_node(node, O_RDONLY);
    if (fd < 0)
        return fd;
    handle = std::make_unique<OpenFile>();
    handle->fd.reset(fd);
    handle->forms = node.forms.load(); // none unless a regular file
    // A file shown unchanged may have been parked since its decision; the
    // handle's reference keeps it from being parked again while it is open.
    if (decision.form && !handle->forms)
        handle->forms = forms_of(node);
    if (const int rc = open_form(*handle, decision.form); rc < 0) {
        handle->form.reset();
        return rc;
    }
    if (handle->form) {
        handle->form->readers.fetch_add(1);
        std::lock_guard lock(handle->forms->mutex);
        if (handle->forms->handles++ == 0)
            handle->forms->largest_shown = handle->form->stamp.size;
    }
    return 0;
}

// A movie that cannot be read as one yet, written to in the last moments, is
// most likely a copy or a recording under way. An open waits for it in short
// steps, at most `settle_limit`, until it reads as a movie or has been left
// alone for `quiet_time`; a file nobody is writing is never waited for.
constexpr std::chrono::milliseconds quiet_time{100};
constexpr std::chrono::milliseconds settle_limit{500};
constexpr std::chrono::milliseconds settle_step{10};

bool being_written(MirrorNode& node, const LayoutDecision& decision)
{
    return decision.form && decision.form->unfinished && moved_lately(node, *decision.form, quiet_time);
}

LayoutDecision decide_for_reading(MirrorNode& node)
{
    LayoutDecision decision = decide_layout(node, std::chrono::milliseconds::max());
    const auto give_up = std::chrono::steady_clock::now() + settle_limit;
    while (being_written(node, decision) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(settle_step);
        decision = decide_layout(node, std::chrono::milliseconds::max());
    }
    return decision;
}

// A read-only handle of the node's current form. A source rewritten between
// its decision and this open is decided again; one that keeps changing
// faster than that fails the open.
int open_reader(MirrorNode& node, std::unique_ptr<OpenFile>& handle)
{
    int rc = -EIO;
    for (int attempt = 0; attempt < 3 && rc == -EIO; ++attempt) {
        const LayoutDecision decision = decide_for_reading(node);
        // Opened now, a file whose decision failed would read as the
        // unchanged source.
        if (decision.read_failed)
            continue;
        rc = open_form_reader(node, decision, handle);
        if (rc == -ESTALE)
            rc = -EIO;
    }
    return rc;
}

// A handle that may write: only to a file shown unchanged, on a writable mount.
int open_writer(MirrorNode& node, int flags, std::unique_ptr<OpenFile>& handle)
{
    LayoutDecision decision;
    for (int attempt = 0; attempt < 3; ++attempt) {
        decision = decide_layout(node, std::chrono::milliseconds::max());
        if (!decision.read_failed)
            break;
    }
    if (decision.read_failed)
        return -EIO;
    if (!mirror_settings().writable)
        return -EROFS;
    // The rewritten bytes exist nowhere on disk: there is nothing to write to.
    if (decision.layout)
        return -EACCES;
    const int fd = reopen_node(node, flags & ~O_NOFOLLOW);
    if (fd < 0)
        return fd;
    handle = std::make_unique<OpenFile>();
    handle->fd.reset(fd);
    return 0;
}

} // namespace

int handle_fd(const fuse_file_info* fi)
{
    return open_file(fi)->fd.get();
}

std::uint64_t new_handle(UniqueFd fd)
{
    auto handle = std::make_unique<OpenFile>();
    handle->fd = std::move(fd);
    return adopt(std::move(handle));
}

void end_handle(const fuse_file_info* fi)
{
    close_handle(take(fi));
}

void close_open_handles()
{
    std::vector<std::unique_ptr<OpenFile>> left;
    {
        LiveHandles& live = live_handles();
        std::lock_guard lock(live.mutex);
        for (OpenFile* handle : live.handles)
            left.emplace_back(handle);
        live.handles.clear();
    }
    for (auto& handle : left)
        close_handle(std::move(handle));
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) noexcept
{
    MirrorNode* node = inode_table().node_of(ino);
    // O_TRUNC changes the content even with O_RDONLY, and the kernel leaves
    // the truncation to this open.
    const bool reader = (fi->flags & O_ACCMODE) == O_RDONLY && !(fi->flags & O_TRUNC);
    std::unique_ptr<OpenFile> handle;
    const int rc = reader ? open_reader(*node, handle) : open_writer(*node, fi->flags, handle);
    if (rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    if (reader) {
        choose_caching(*node, *handle, fi);
        // Where the units lie is found now rather than in the first read of
        // audio, which an editor waits for.
        if (handle->form && handle->form->layout)
            for (const PcmStream& stream : handle->form->layout->streams)
                if (stream.source)
                    stream.source->prepare(handle->fd.get());
    }
    // Known as open before the reply: its release may come at once.
    fi->fh = adopt(std::move(handle));
    if (fuse_reply_open(req, fi) != 0)
        close_handle(take(fi)); // the request was interrupted: no release will follow
}

void op_read(fuse_req_t req, fuse_ino_t, std::size_t size, off_t off, fuse_file_info* fi) noexcept
{
    OpenFile& handle = *open_file(fi);
    const int fd = handle.fd.get();
    if (handle.check_source() < 0) {
        fuse_reply_err(req, EIO);
        return;
    }
    const FileLayout* layout = handle.form ? handle.form->layout.get() : nullptr;
    // A settled file shown unchanged goes straight from the source while the
    // source is as its open found it.
    if (layout == nullptr && (!handle.form || (handle.spliced && handle.unchanged_since_open()))) {
        reply_from_source(req, fd, size, off);
        return;
    }
    // Otherwise the read goes through a buffer, source ranges too, and the
    // source is checked again after it: a read never mixes its bytes with
    // those of a source changed meanwhile, and never stops short (which the
    // kernel would fill with zeros) where the source was cut.
    // Work the read hands over (decoders to make up, decodes ahead) waits
    // until the reply is out.
    AfterReply after_reply;
    auto* buf = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (buf == nullptr) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    const std::int64_t got = layout ? layout->read_at(fd, buf, size, static_cast<std::uint64_t>(off))
                                    : pread_full(fd, buf, size, static_cast<std::uint64_t>(off));
    // Short of the end the kernel may believe in, a cached read would be
    // filled with zeros.
    const bool cut = static_cast<std::size_t>(got) < size &&
                     (layout ? handle.cached && superseded(handle) : shrunk(handle));
    if (got < 0 || handle.check_source() < 0 || cut)
        fuse_reply_err(req, EIO);
    else
        fuse_reply_buf(req, reinterpret_cast<const char*>(buf), static_cast<std::size_t>(got));
    std::free(buf);
    after_reply.run();
}

void op_write(fuse_req_t req, fuse_ino_t, const char* buf, std::size_t size, off_t off, fuse_file_info* fi) noexcept
{
    const ssize_t written = ::pwrite(handle_fd(fi), buf, size, off);
    if (written < 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_write(req, static_cast<std::size_t>(written));
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) noexcept
{
    std::unique_ptr<OpenFile> handle = take(fi);
    fuse_reply_err(req, 0);
    close_handle(std::move(handle));
}

void op_fsync(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) noexcept
{
    const int fd = handle_fd(fi);
    const int rc = datasync ? ::fdatasync(fd) : ::fsync(fd);
    fuse_reply_err(req, rc < 0 ? errno : 0);
}

} // namespace kov
