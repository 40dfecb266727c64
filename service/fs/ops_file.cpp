// Open files. The handle's fh is an OpenFile: the source reopened for it and
// a reference to the file's decision state; the layout of a rewritten file is
// taken from its node at every read, so a re-decision between reads is seen
// at once.

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "common/after_reply.hpp"
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

// One read-only handle of the file is gone. With the last one the PCM source
// of a rewritten file gives back its decoded blocks and tables: the kernel may
// keep the node for a long time, but nothing reads it now.
void drop_reader(FileForms& forms)
{
    std::shared_ptr<const FileLayout> layout;
    {
        std::lock_guard lock(forms.mutex);
        if (forms.readers == 0 || --forms.readers > 0)
            return;
        layout = forms.layout;
    }
    if (layout)
        for (const PcmStream& stream : layout->streams)
            if (stream.source)
                stream.source->release();
}

// Ends a handle: closes its descriptor and lets go of what it held, touching
// nothing of the node, which the kernel may already have forgotten.
void close_handle(std::unique_ptr<OpenFile> handle)
{
    if (handle->forms)
        drop_reader(*handle->forms);
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
    return reinterpret_cast<std::uint64_t>(handle.release());
}

void end_handle(const fuse_file_info* fi)
{
    close_handle(std::unique_ptr<OpenFile>(open_file(fi)));
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) noexcept
{
    MirrorNode* node = inode_table().node_of(ino);
    const LayoutDecision decision = decide_layout(*node, std::chrono::milliseconds::max());
    if (decision.read_failed) {
        // Opened now, the file would read as the unchanged source.
        fuse_reply_err(req, EIO);
        return;
    }
    const bool rewritten = decision.layout != nullptr;
    int fd = -1;
    // O_TRUNC changes the content even with O_RDONLY, and the kernel leaves
    // the truncation to this open.
    if ((fi->flags & O_ACCMODE) == O_RDONLY && !(fi->flags & O_TRUNC)) {
        fd = reopen_node(*node, O_RDONLY);
        fi->keep_cache = 1;
    } else if (!mirror_settings().writable) {
        fuse_reply_err(req, EROFS);
        return;
    } else if (rewritten) {
        // The rewritten bytes exist nowhere on disk: there is nothing to write to.
        fuse_reply_err(req, EACCES);
        return;
    } else {
        fd = reopen_node(*node, fi->flags & ~O_NOFOLLOW);
    }
    if (fd < 0) {
        fuse_reply_err(req, -fd);
        return;
    }
    auto handle = std::make_unique<OpenFile>();
    handle->fd.reset(fd);
    const bool reader = (fi->flags & O_ACCMODE) == O_RDONLY;
    if (reader) {
        handle->forms = node->forms.load(); // none unless a regular file
        if (handle->forms) {
            std::lock_guard lock(handle->forms->mutex);
            ++handle->forms->readers;
        }
    }
    // Where the units lie is found now rather than in the first read of
    // audio, which an editor waits for.
    if (reader && rewritten)
        for (const PcmStream& stream : decision.layout->streams)
            if (stream.source)
                stream.source->prepare();
    fi->fh = reinterpret_cast<std::uint64_t>(handle.get());
    if (fuse_reply_open(req, fi) != 0) {
        close_handle(std::move(handle)); // the request was interrupted: no release will follow
        return;
    }
    handle.release();
}

void op_read(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t off, fuse_file_info* fi) noexcept
{
    MirrorNode* node = inode_table().node_of(ino);
    const int fd = handle_fd(fi);
    std::shared_ptr<const FileLayout> layout;
    if (const int rc = layout_for_read(*node, fd, layout); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    if (!layout || layout->is_plain_source_range(static_cast<std::uint64_t>(off), size)) {
        reply_from_source(req, fd, size, off);
        return;
    }
    // Work the read hands over (decoders to make up, decodes ahead) waits
    // until the reply is out.
    AfterReply after_reply;
    auto* buf = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (buf == nullptr) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    const std::int64_t got = layout->read_at(fd, buf, size, static_cast<std::uint64_t>(off));
    if (got < 0)
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
    std::unique_ptr<OpenFile> handle(open_file(fi));
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
