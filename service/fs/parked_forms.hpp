#pragma once
// The decision state of a regular file shown unchanged, parked in its node
// while nothing uses it. Such a file needs nothing but the stamp its
// decision was made for; the state with its form (about 300 bytes) goes
// until the next request, which gets it back decided, without looking at the
// file again. So a tree of millions of ordinary files the kernel remembers
// costs little more than their nodes. Rewritten files, decisions under way
// and states an open file or a request holds are never parked.

namespace kov {

struct MirrorNode;
struct FileForms;

// Called after a request used the node's decision.
void park_forms(MirrorNode& node);
// Gives a fresh state for the node what it parked, if anything.
void unpark_forms(MirrorNode& node, FileForms& fresh);

} // namespace kov
