#pragma once
// What an MPEG-4 elementary stream descriptor (the esds box of an mp4a or
// similar sample entry) says about its stream: the object type and the
// decoder-specific configuration. Plain values, read on the analysing thread.

#include <cstdint>
#include <vector>

#include "media/be_reader.hpp"

namespace kov {

struct EsDescriptor {
    int object_type_indication = -1;         // of the DecoderConfigDescriptor; -1 when none was read
    std::vector<std::uint8_t> specific_info; // DecoderSpecificInfo; empty when none
};

// Reads the descriptors of one esds payload (version and flags included) into
// `es`. A track may hold more than one esds: the first object type and the
// first non-empty configuration found stand.
void read_es_descriptor(BeReader esds, EsDescriptor& es);

} // namespace kov
