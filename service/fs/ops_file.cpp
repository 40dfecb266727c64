// Open files. The handle's fh is a descriptor of the source reopened for it;
// the layout of a rewritten file is taken from its node at every read, so a
// re-decision between reads is seen at once.

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

// One read-only handle of the node is gone. With the last one the PCM source
// of a rewritten file gives back its decoded blocks and tables: the kernel may
// keep the node for a long time, but nothing reads it now.
void drop_reader(MirrorNode& node)
{
    std::shared_ptr<const FileLayout> layout;
    {
        std::lock_guard lock(node.mutex);
        // A read-only create also ends here without having been counted.
        if (node.readers == 0 || --node.readers > 0)
            return;
        layout = node.layout;
    }
    if (layout)
        for (const PcmStream& stream : layout->streams)
            if (stream.source)
                stream.source->release();
}

} // namespace

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
        fd = reopen_node(node->fd.get(), O_RDONLY);
        fi->keep_cache = 1;
    } else if (!mirror_settings().writable) {
        fuse_reply_err(req, EROFS);
        return;
    } else if (rewritten) {
        // The rewritten bytes exist nowhere on disk: there is nothing to write to.
        fuse_reply_err(req, EACCES);
        return;
    } else {
        fd = reopen_node(node->fd.get(), fi->flags & ~O_NOFOLLOW);
    }
    if (fd < 0) {
        fuse_reply_err(req, -fd);
        return;
    }
    fi->fh = static_cast<std::uint64_t>(fd);
    const bool reader = (fi->flags & O_ACCMODE) == O_RDONLY;
    if (reader) {
        std::lock_guard lock(node->mutex);
        ++node->readers;
    }
    // Where the units lie is found now rather than in the first read of
    // audio, which an editor waits for.
    if (reader && rewritten)
        for (const PcmStream& stream : decision.layout->streams)
            if (stream.source)
                stream.source->prepare();
    if (fuse_reply_open(req, fi) != 0) {
        ::close(fd); // the request was interrupted: no release will follow
        if (reader)
            drop_reader(*node);
    }
}

void op_read(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t off, fuse_file_info* fi) noexcept
{
    MirrorNode* node = inode_table().node_of(ino);
    const int fd = static_cast<int>(fi->fh);
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
    const ssize_t written = ::pwrite(static_cast<int>(fi->fh), buf, size, off);
    if (written < 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_write(req, static_cast<std::size_t>(written));
}

void op_release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) noexcept
{
    ::close(static_cast<int>(fi->fh));
    fuse_reply_err(req, 0);
    if ((fi->flags & O_ACCMODE) == O_RDONLY)
        drop_reader(*inode_table().node_of(ino));
}

void op_fsync(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) noexcept
{
    const int fd = static_cast<int>(fi->fh);
    const int rc = datasync ? ::fdatasync(fd) : ::fsync(fd);
    fuse_reply_err(req, rc < 0 ? errno : 0);
}

} // namespace kov
