#pragma once
// Whitespace trimming shared by the share list reader and the Resolve editors.

#include <string>
#include <string_view>

namespace kov {

// Removes leading and trailing space, TAB, CR and LF.
std::string trim(std::string_view s);

} // namespace kov
