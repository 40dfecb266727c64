#pragma once
// `--status`: prints which AAC decoder the program binds and its version, as
// one "decoder=... version=..." line on standard output.

namespace kov {

// Always returns 0.
int run_status();

} // namespace kov
