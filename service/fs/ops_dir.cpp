// Listings of source folders and of the virtual shares root, plus statfs,
// readlink and access. A DirHandle lives in fh from opendir to releasedir;
// the kernel sends the requests of one open folder one at a time.

#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fs/kernel_held.hpp"
#include "fs/mirror_state.hpp"
#include "shares/share_table.hpp"

namespace kov {

namespace {

struct DirHandle {
    DirHandle() = default;
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    ~DirHandle()
    {
        if (stream != nullptr)
            ::closedir(stream);
        for (const std::uint64_t ino : held)
            inode_table().forget_node(inode_table().node_of(ino), 1);
    }

    DIR* stream = nullptr;
    // Nodes of names ahead of the listing whose decisions were started when
    // it began; one lookup each, given back when the folder is closed.
    std::vector<std::uint64_t> held;
    bool read_ahead = false;
    std::uint64_t device = 0; // the folder's, for the numbers of its entries
    std::uint64_t offset = 0; // telldir value the stream's next entry has
    bool share_listing = false;
    std::vector<ActiveShare> shares;
};

KernelHeld<DirHandle>& open_folders()
{
    static KernelHeld<DirHandle> held;
    return held;
}

DirHandle* handle_of(fuse_file_info* fi)
{
    return reinterpret_cast<DirHandle*>(fi->fh);
}

bool is_dot(const char* name)
{
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Fills a reply buffer entry by entry; an entry that no longer fits is
// refused and the buffer keeps what was added before it.
class DirReply {
public:
    DirReply(fuse_req_t req, std::size_t size)
        : req_(req), size_(size), buf_(static_cast<char*>(std::malloc(size == 0 ? 1 : size)))
    {
    }
    DirReply(const DirReply&) = delete;
    DirReply& operator=(const DirReply&) = delete;
    ~DirReply() { std::free(buf_); }

    bool ok() const { return buf_ != nullptr; }
    bool empty() const { return used_ == 0; }

    bool add(const char* name, const struct stat& st, off_t next)
    {
        const std::size_t need = fuse_add_direntry(req_, buf_ + used_, size_ - used_, name, &st, next);
        if (need > size_ - used_)
            return false;
        used_ += need;
        return true;
    }
    bool add_plus(const char* name, const fuse_entry_param& e, off_t next)
    {
        const std::size_t need = fuse_add_direntry_plus(req_, buf_ + used_, size_ - used_, name, &e, next);
        if (need > size_ - used_)
            return false;
        used_ += need;
        return true;
    }
    void send() { fuse_reply_buf(req_, buf_, used_); }

private:
    fuse_req_t req_;
    std::size_t size_;
    std::size_t used_ = 0;
    char* buf_;
};

// The entry for "." and "..": node number 0 so the kernel keeps no name
// for it; the attributes only say what the object is.
fuse_entry_param dot_entry(std::uint64_t ino)
{
    fuse_entry_param e{};
    e.attr.st_ino = ino;
    e.attr.st_mode = S_IFDIR;
    return e;
}

void give_back(const fuse_entry_param& e)
{
    inode_table().forget_node(inode_table().node_of(e.ino), 1);
}

void list_shares(DirHandle& h, DirReply& out, off_t off, bool plus)
{
    const std::uint64_t end = 2 + h.shares.size();
    for (std::uint64_t pos = static_cast<std::uint64_t>(off); pos < end; ++pos) {
        const char* name = pos == 0 ? "." : pos == 1 ? ".." : h.shares[pos - 2].name.c_str();
        const auto next = static_cast<off_t>(pos + 1);
        if (!plus) {
            struct stat st {};
            st.st_ino = pos < 2 ? 1 : inode_table().number_of(h.shares[pos - 2].device, h.shares[pos - 2].inode);
            st.st_mode = S_IFDIR | 0555;
            if (!out.add(name, st, next))
                return;
            continue;
        }
        if (pos < 2) {
            fuse_entry_param e = dot_entry(1);
            e.attr.st_mode = S_IFDIR | 0555;
            if (!out.add_plus(name, e, next))
                return;
            continue;
        }
        fuse_entry_param e{};
        if (lookup_entry(FUSE_ROOT_ID, name, e) < 0)
            continue; // a share whose folder is gone is left out
        if (!out.add_plus(name, e, next)) {
            give_back(e);
            return;
        }
    }
}

// Roughly what one entry with attributes takes in a reply.
std::size_t plus_entry_size(const char* name)
{
    constexpr std::size_t fixed = 152; // struct fuse_direntplus before the name
    return (fixed + std::strlen(name) + 7) & ~std::size_t{7};
}

// One name read from the stream for a listing with attributes.
struct Listed {
    std::string name;
    off_t next = 0;
    bool dot = false;
    std::uint64_t d_ino = 0;
    int rc = 0; // of its lookup
    fuse_entry_param e{};
};

// Returns 0, or -errno when the stream failed before anything was listed.
int list_folder_plain(DirHandle& h, DirReply& out)
{
    for (;;) {
        errno = 0;
        const dirent* d = ::readdir(h.stream);
        if (d == nullptr) {
            const int err = errno;
            return err != 0 && out.empty() ? -err : 0;
        }
        const off_t next = ::telldir(h.stream);
        struct stat st {};
        st.st_ino = inode_table().number_of(h.device, d->d_ino);
        st.st_mode = static_cast<mode_t>(d->d_type) << 12;
        if (!out.add(d->d_name, st, next)) {
            // The entry was read but not listed: step back so the next
            // request, which starts at h.offset, lists it first.
            ::seekdir(h.stream, static_cast<long>(h.offset));
            return 0;
        }
        h.offset = static_cast<std::uint64_t>(next);
    }
}

// With attributes, a reply's worth of names at a time: all of them are
// looked up first, which starts their rewrite decisions together on the
// analysis pool, then each waits for its decision within one shared time
// limit. A file whose source stalls is listed with its source's attributes,
// provisionally, instead of holding up the listing of its whole folder.
// How many names of a folder get their decisions started when its listing
// begins; the rest start batch by batch.
constexpr std::size_t decisions_ahead = 512;

// Starts the rewrite decisions of the folder's first files all at once, so the
// analysis pool works on them while the kernel takes the first replies.
void start_decisions_ahead(fuse_ino_t ino, DirHandle& h)
{
    h.read_ahead = true;
    // A decision waiting for the pool holds its file open: no more of them
    // than the descriptor cache has room for.
    const std::size_t ahead = std::min(decisions_ahead, inode_table().descriptor_capacity() / 2);
    for (std::size_t n = 0; n < ahead;) {
        const dirent* d = ::readdir(h.stream);
        if (d == nullptr)
            break;
        if (is_dot(d->d_name) || !(d->d_type == DT_REG || d->d_type == DT_UNKNOWN))
            continue;
        fuse_entry_param e{};
        if (lookup_undecided(ino, d->d_name, e) < 0)
            continue;
        h.held.push_back(e.ino);
        apply_decision(e, std::chrono::milliseconds(0));
        ++n;
    }
    ::rewinddir(h.stream);
}

int list_folder_plus(fuse_ino_t ino, DirHandle& h, DirReply& out, std::size_t size)
{
    if (!h.read_ahead && h.offset == 0)
        start_decisions_ahead(ino, h);
    std::vector<Listed> batch;
    std::size_t planned = 0;
    int stream_error = 0;
    while (planned < size) {
        errno = 0;
        const dirent* d = ::readdir(h.stream);
        if (d == nullptr) {
            stream_error = errno;
            break;
        }
        Listed l;
        l.name = d->d_name;
        l.next = ::telldir(h.stream);
        l.dot = is_dot(d->d_name);
        l.d_ino = d->d_ino;
        planned += plus_entry_size(d->d_name);
        batch.push_back(std::move(l));
    }
    for (Listed& l : batch)
        if (!l.dot)
            l.rc = lookup_undecided(ino, l.name.c_str(), l.e);
    const auto deadline = std::chrono::steady_clock::now() + listing_decision_wait;
    int reached_error = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        Listed& l = batch[i];
        if (l.rc == -ENOENT) {
            h.offset = static_cast<std::uint64_t>(l.next); // vanished meanwhile: leave it out
            continue;
        }
        bool added = false;
        if (l.dot) {
            added = out.add_plus(l.name.c_str(), dot_entry(inode_table().number_of(h.device, l.d_ino)), l.next);
        } else if (l.rc < 0) {
            // Not reached (no descriptor left, the folder gone stale): never
            // left out silently. The reply ends before it, and the request
            // that starts with it fails with the errno when it fails again.
            reached_error = l.rc;
        } else {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                   std::chrono::steady_clock::now());
            apply_decision(l.e, std::max(left, std::chrono::milliseconds(0)));
            added = out.add_plus(l.name.c_str(), l.e, l.next);
        }
        if (!added) {
            // Read but not listed: the lookups taken for it and every later
            // name go back, and the next request starts with it.
            for (std::size_t j = i; j < batch.size(); ++j)
                if (!batch[j].dot && batch[j].rc == 0)
                    give_back(batch[j].e);
            ::seekdir(h.stream, static_cast<long>(h.offset));
            return out.empty() ? reached_error : 0;
        }
        h.offset = static_cast<std::uint64_t>(l.next);
    }
    return stream_error != 0 && out.empty() ? -stream_error : 0;
}

int list_folder(fuse_ino_t ino, DirHandle& h, DirReply& out, off_t off, bool plus, std::size_t size)
{
    if (static_cast<std::uint64_t>(off) != h.offset) {
        ::seekdir(h.stream, off);
        h.offset = static_cast<std::uint64_t>(off);
    }
    return plus ? list_folder_plus(ino, h, out, size) : list_folder_plain(h, out);
}

void do_readdir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t off, fuse_file_info* fi, bool plus)
{
    DirHandle& h = *handle_of(fi);
    DirReply out(req, size);
    if (!out.ok()) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    if (h.share_listing) {
        list_shares(h, out, off, plus);
    } else if (const int rc = list_folder(ino, h, out, off, plus, size); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    out.send();
}

} // namespace

void op_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) noexcept
{
    auto h = std::make_unique<DirHandle>();
    if (is_shares_root(ino)) {
        h->share_listing = true;
        h->shares = mirror_settings().shares->snapshot();
    } else {
        MirrorNode& node = *inode_table().node_of(ino);
        HeldFd own;
        int fd = inode_table().descriptor(node, own);
        if (fd == 0)
            fd = open_with_room([&] {
                const int opened = ::openat(own->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                return opened < 0 ? -errno : opened;
            });
        if (fd < 0) {
            fuse_reply_err(req, -fd);
            return;
        }
        struct stat st {};
        h->stream = stat_fd(fd, st) == 0 ? ::fdopendir(fd) : nullptr;
        if (h->stream == nullptr) {
            const int err = errno;
            ::close(fd);
            fuse_reply_err(req, err);
            return;
        }
        h->device = st.st_dev;
    }
    DirHandle* const handle = h.get();
    fi->fh = open_folders().adopt(std::move(h));
    if (fuse_reply_open(req, fi) != 0)
        open_folders().take(reinterpret_cast<std::uint64_t>(handle)); // the open never reached the kernel
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t off, fuse_file_info* fi) noexcept
{
    do_readdir(req, ino, size, off, fi, false);
}

void op_readdirplus(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t off, fuse_file_info* fi) noexcept
{
    do_readdir(req, ino, size, off, fi, true);
}

void op_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) noexcept
{
    open_folders().take(fi->fh);
    fuse_reply_err(req, 0);
}

void close_open_folders()
{
    open_folders().take_all();
}

void op_statfs(fuse_req_t req, fuse_ino_t ino) noexcept
{
    struct statvfs sv {};
    int rc = 0;
    if (is_shares_root(ino)) {
        const auto shares = mirror_settings().shares->snapshot();
        if ((shares.empty() ? ::statvfs("/", &sv) : ::fstatvfs(shares.front().folder->get(), &sv)) < 0)
            rc = -errno;
    } else {
        HeldFd own;
        rc = inode_table().descriptor(*inode_table().node_of(ino), own);
        if (rc == 0 && ::fstatvfs(own->get(), &sv) < 0)
            rc = -errno;
    }
    if (rc < 0)
        fuse_reply_err(req, -rc);
    else
        fuse_reply_statfs(req, &sv);
}

void op_readlink(fuse_req_t req, fuse_ino_t ino) noexcept
{
    // One byte more than the longest target, so the terminator always fits
    // and a target that fills the buffer is recognised as too long.
    char target[4097];
    HeldFd own;
    if (const int rc = inode_table().descriptor(*inode_table().node_of(ino), own); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    const ssize_t n = ::readlinkat(own->get(), "", target, sizeof target);
    if (n < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    if (static_cast<std::size_t>(n) >= sizeof target) {
        fuse_reply_err(req, ENAMETOOLONG);
        return;
    }
    target[n] = '\0';
    fuse_reply_readlink(req, target);
}

void op_access(fuse_req_t req, fuse_ino_t ino, int mask) noexcept
{
    if (mask & W_OK) {
        if (!mirror_settings().writable || is_shares_root(ino)) {
            fuse_reply_err(req, EACCES);
            return;
        }
    } else if (is_shares_root(ino)) {
        fuse_reply_err(req, 0);
        return;
    }
    HeldFd own;
    if (const int rc = inode_table().descriptor(*inode_table().node_of(ino), own); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", own->get());
    const int rc = ::faccessat(AT_FDCWD, path, mask, AT_EACCESS);
    fuse_reply_err(req, rc < 0 ? errno : 0);
}

} // namespace kov
