#pragma once
// The rewrite decision for one source file: scan it, and build its layout
// when it has AAC audio. Tells a file that is not to be rewritten from one
// whose reads failed, so a decision that an I/O error spoilt is not kept.

#include <memory>

#include "media/file_layout.hpp"

namespace kov {

struct SourceAnalysis {
    std::shared_ptr<const FileLayout> layout; // empty: shown unchanged
    bool read_failed = false;                 // the source could not be read: decide again later
    // Shown unchanged though it begins as a movie (or is empty) and cannot be
    // read as one: a copy or a non-fragmented recording still being written
    // looks like this, as does a damaged movie.
    bool unfinished = false;
};

// Analyses the source open for reading on `fd` (borrowed). The scan's small
// header reads go through a read-ahead buffer, so on a slow source one read
// serves the headers of several boxes.
SourceAnalysis analyse_source_file(int fd);

} // namespace kov
