#pragma once
// Worker threads for the rewrite decisions. A decision reads the source, and
// a source may stall for as long as a dead network share or a dying disk
// likes: run on a thread of their own, decisions leave the FUSE workers free
// to answer for every other file, and a listing can start the decisions of a
// whole batch of files at once. Threads are made on demand up to a limit and
// never end; one stuck in a read is simply lost to the pool.

#include <functional>

namespace kov {

// Runs `task` on a pool thread, or on the calling thread when no thread can
// be had at all. Any thread may call.
void run_in_analysis_pool(std::function<void()> task);

} // namespace kov
