#pragma once
// Worker threads for the rewrite decisions. A decision reads the source, and
// a source may stall for as long as a dead network share or a dying disk
// likes: run on a thread of their own, decisions leave the FUSE workers free
// to answer for every other file, and a listing can start the decisions of a
// whole batch of files at once. Threads are made on demand and never end. A
// thread busy with one decision for long is taken to be stuck in a read and
// no longer counts against the limit of threads at work, so stalled files,
// however many, never keep a fresh file's decision waiting for long.

#include <functional>

namespace kov {

// Runs `task` on a pool thread, or on the calling thread when no thread can
// be had at all. Any thread may call.
void run_in_analysis_pool(std::function<void()> task);

} // namespace kov
