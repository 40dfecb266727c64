#pragma once
// The program's version, printed by --version and the status query.

namespace kov {

inline constexpr const char* version_string = "2026.10.28";

} // namespace kov
