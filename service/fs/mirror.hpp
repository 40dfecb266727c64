#pragma once
// The mirror filesystem as the runtime sees it: process-wide settings that are
// written once on the main thread before the FUSE session exists and only read
// afterwards, and the table of low-level operations (everything but init).

#include <sys/types.h>

#include <chrono>
#include <memory>

#include "common/unique_fd.hpp"
#include "common/worker_pool.hpp"
#include "fs/fuse_api.hpp"
#include "pcm/codec_set.hpp"

namespace kov {

class DecodingService;
class ShareTable;
class WorkerPool;

void set_mirror_writable(bool writable);
void set_mirror_conversions(CodecSet convert);
// Mirror mode: the O_PATH directory descriptor of the source and its identity.
void set_mirror_root(UniqueFd root, dev_t device, ino_t inode);
// Shares mode: the root is the virtual list of `table`'s shares.
void set_mirror_shares(ShareTable* table);

// What decides and what decodes for the mount: the pool of rewrite decisions
// and the decoding service layouts take their sources from. Both live until
// the session is destroyed; layouts the kernel still remembers then keep the
// service alive.
void set_mirror_workers(WorkerPool* decisions, std::shared_ptr<DecodingService> decoding);

// The pool of rewrite decisions. A decision reads the source, and a source
// may stall for as long as a dead network share or a dying disk likes: on
// threads of their own, decisions leave the FUSE workers free to answer for
// every other file, and a listing can start the decisions of a whole batch
// of files at once. 32 at work count (the batch of one listing reply on a
// slow source); a decision on a working source takes milliseconds (tens on a
// slow one), so one busy for 200 ms is taken to be stuck in a read and
// counts no more, and others start in its place, up to 1,024 threads.
constexpr WorkerPool::Limits decision_limits{32, 1024, 0, std::chrono::milliseconds{200}};

// Starts the thread that tells the kernel of files whose form changed, for
// `session` once it is mounted; nullptr stops it, before the session is
// destroyed.
void set_form_notices(fuse_session* session);
// Closes the files the kernel never released (an unmount leaves them open);
// only once no request runs any more.
void close_open_handles();
// The same for folders.
void close_open_folders();

// lookup, forget, getattr, forget_multi, setattr, readlink, mkdir, unlink, rmdir,
// rename, link, symlink, mknod, open, read, write, release, fsync, opendir, readdir, releasedir,
// statfs, access, create, readdirplus. The runtime adds init.
fuse_lowlevel_ops mirror_operations();

} // namespace kov
