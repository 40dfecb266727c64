#pragma once
// The sample tables of a track rebuilt from its sample list, for tracks whose
// source described them some other way (movie fragments). Plain functions;
// the caller owns the output vector.

#include <span>

#include "media/be_writer.hpp"
#include "media/sample_model.hpp"

namespace kov {

// Appends `stts`, `ctts` (only when a composition offset is not zero; version
// 1 when one is negative), `stss` (only when some sample is not a sync
// sample), `stsz`, `stsc` and `stco` (`co64` when an offset needs 64 bits).
// A chunk is a run of samples that follow each other in the file; every
// sample uses sample description 1.
void write_sample_tables(BeWriter& w, std::span<const MediaSample> samples);

} // namespace kov
