#pragma once
// Process-wide state of the mirror filesystem and the pieces its operation
// families share. Settings are written on the main thread before the FUSE
// session exists and only read afterwards, so they need no lock.

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "fs/fuse_api.hpp"
#include "fs/inode_table.hpp"
#include "media/file_layout.hpp"
#include "pcm/codec_set.hpp"

namespace kov {

class DecodingService;
class ShareTable;
class WorkerPool;

struct MirrorSettings {
    bool writable = false;
    ShareTable* shares = nullptr; // set in shares mode: the root lists these
    CodecSet convert = default_conversions(); // the audio codecs rewritten as PCM
    WorkerPool* decisions = nullptr; // none: a decision runs on the thread that wants it
    std::shared_ptr<DecodingService> decoding; // none: rewritten files are silent
};

// Runs a rewrite decision on the mount's pool, or on the calling thread when
// the pool has no thread for it.
void run_decision(std::function<void()> task);
// Inside a decision: the decoding service its layout takes its sources from,
// held for as long as the decision runs; none when rewritten files are silent.
DecodingService* decision_decoding();

MirrorSettings& mirror_settings();
InodeTable& inode_table();

inline bool shares_mode()
{
    return mirror_settings().shares != nullptr;
}
inline bool is_shares_root(fuse_ino_t ino)
{
    return ino == FUSE_ROOT_ID && shares_mode();
}

constexpr double attr_timeout = 1.0;
constexpr double entry_timeout = 1.0;

// Opens the node's source object anew (through /proc/self/fd and the
// descriptor the table lends). Returns the new descriptor or -errno.
int reopen_node(MirrorNode& node, int flags);
// fstatat of the node's source object itself, links not followed. 0 or -errno.
int stat_node(MirrorNode& node, struct stat& st);
// The same for a descriptor.
int stat_fd(int fd, struct stat& st);

// Runs `open` (a descriptor or -errno) once more after the table let go of
// the descriptors it caches, when the process had none left.
template <class Open> int open_with_room(Open open)
{
    int fd = open();
    if (fd == -EMFILE || fd == -ENFILE) {
        inode_table().shed_descriptors();
        fd = open();
    }
    return fd;
}

// Resolves `name` below `parent` into a node and counts one lookup on it.
// 0 or -errno.
int lookup_entry(fuse_ino_t parent, const char* name, fuse_entry_param& e);
// The same below a real folder (not the shares root), without waiting for
// the rewrite decision: the entry carries the source's own size until
// apply_decision waits up to `wait` for the decision and fills it in.
int lookup_undecided(fuse_ino_t parent, const char* name, fuse_entry_param& e);
void apply_decision(fuse_entry_param& e, std::chrono::milliseconds wait);
// How long a lookup or getattr waits for a file's decision before it answers
// with the source's own attributes, provisionally; a listing, which speaks
// for a whole folder, waits less for the files of one reply together.
constexpr std::chrono::milliseconds decision_wait{2000};
constexpr std::chrono::milliseconds listing_decision_wait{500};

// The file of an open handle (fh), and the handle a write-side create keeps
// for a descriptor it opened.
int handle_fd(const fuse_file_info* fi);
std::uint64_t new_handle(UniqueFd fd);
// Ends a handle the kernel never took.
void end_handle(const fuse_file_info* fi);

// Operation handlers, gathered into the table by mirror_operations().
void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) noexcept;
void op_forget(fuse_req_t req, fuse_ino_t ino, std::uint64_t nlookup) noexcept;
void op_forget_multi(fuse_req_t req, std::size_t count, fuse_forget_data* forgets) noexcept;
void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) noexcept;

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) noexcept;
void op_read(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t off, fuse_file_info* fi) noexcept;
void op_release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) noexcept;
void op_fsync(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi) noexcept;

void op_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) noexcept;
void op_readdir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t off, fuse_file_info* fi) noexcept;
void op_readdirplus(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t off, fuse_file_info* fi) noexcept;
void op_releasedir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) noexcept;
void op_statfs(fuse_req_t req, fuse_ino_t ino) noexcept;
void op_readlink(fuse_req_t req, fuse_ino_t ino) noexcept;
void op_access(fuse_req_t req, fuse_ino_t ino, int mask) noexcept;

void op_write(fuse_req_t req, fuse_ino_t ino, const char* buf, std::size_t size, off_t off,
              fuse_file_info* fi) noexcept;
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info* fi) noexcept;
void op_create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) noexcept;
void op_mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) noexcept;
void op_unlink(fuse_req_t req, fuse_ino_t parent, const char* name) noexcept;
void op_rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) noexcept;
void op_link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newparent, const char* newname) noexcept;
void op_symlink(fuse_req_t req, const char* link, fuse_ino_t parent, const char* name) noexcept;
void op_mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev) noexcept;
void op_rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent, const char* newname,
               unsigned int flags) noexcept;

} // namespace kov
