#pragma once
// The mirror filesystem as the runtime sees it: process-wide settings that are
// written once on the main thread before the FUSE session exists and only read
// afterwards, and the table of low-level operations (everything but init).

#include <sys/types.h>

#include "common/unique_fd.hpp"
#include "fs/fuse_api.hpp"
#include "pcm/codec_set.hpp"

namespace kov {

class ShareTable;

void set_mirror_writable(bool writable);
void set_mirror_conversions(CodecSet convert);
// Mirror mode: the O_PATH directory descriptor of the source and its identity.
void set_mirror_root(UniqueFd root, dev_t device, ino_t inode);
// Shares mode: the root is the virtual list of `table`'s shares.
void set_mirror_shares(ShareTable* table);

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
