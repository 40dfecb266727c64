#pragma once
// The --probe command: analyses one file and prints what it found on standard
// output, one line for the file and one per track. Runs on the main thread.

#include <cstdio>

#include "media/media_scan.hpp"

namespace kov {

// Writes the report of `scan` for `path` to `out`.
void write_probe_report(std::FILE* out, const char* path, const MediaScan& scan);

// Probes `path`; returns the exit status: 0 AAC found, 1 ISO BMFF without AAC,
// 2 unreadable or not ISO BMFF.
int run_probe(const char* path, CodecSet convert);

} // namespace kov
