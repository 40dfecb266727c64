#pragma once
// The mounted session's reads and writes of the FUSE device, with one change:
// the init reply allows parallel lookups and listings in a folder when the
// kernel offers them. libfuse before 3.16 never passes that flag on, whatever
// the init operation wants, so the kernel takes a folder's lock around every
// lookup and listing, and a lookup waiting on a stalled source holds up every
// other one in its folder.

#include "fs/fuse_api.hpp"

namespace kov {

// Once mounted, before the loop runs. False when libfuse refused, and the
// session then goes on with its own reads and writes.
bool use_session_io(fuse_session* session);

} // namespace kov
