#pragma once
// The program's version, printed by --version and the status query. Its one
// home is the project version in the top-level CMakeLists.txt, which the
// panel reports too.

namespace kov {

inline constexpr const char* version_string = KOV_VERSION;

} // namespace kov
