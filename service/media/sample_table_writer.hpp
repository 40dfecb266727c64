#pragma once
// Sample tables from a sample list, for tracks whose source described their
// samples some other way (movie fragments): first as the scan's table fields,
// then as the boxes of a new sample table. Plain functions on values owned by
// the caller.

#include <span>

#include "media/be_writer.hpp"
#include "media/media_scan.hpp"
#include "media/sample_model.hpp"

namespace kov {

// Sets the sample tables of `track` (count, sizes, timing, chunks, sync
// samples, composition offsets) to describe `samples`. A chunk is a run of
// samples that follow each other in the file; every sample uses sample
// description 1.
void set_sample_tables(TrackScan& track, std::span<const MediaSample> samples);

// Appends `stts`, `ctts` (only with composition offsets; version 1 when one
// is negative), `stss` (only when some sample is not a sync sample), `stsz`,
// `stsc` and `stco` (`co64` when an offset needs 64 bits) for the tables of
// `track`.
void write_sample_tables(BeWriter& w, const TrackScan& track);

// Both steps at once.
void write_sample_tables(BeWriter& w, std::span<const MediaSample> samples);

} // namespace kov
