#pragma once
// Work that holds a long recording's sample tables in memory for a moment:
// analysing a large file, building a track's unit table. A 2-hour file with
// six tracks takes tens of MiB while it lasts; one such piece of work at a
// time in the process keeps several at once from multiplying the peak.

#include <mutex>

namespace kov {

// Taken after a decoding source's own lock, never before it.
std::mutex& table_work_mutex();

} // namespace kov
