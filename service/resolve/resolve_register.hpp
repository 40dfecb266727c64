#pragma once
// `kov-orvane --resolve-register add|remove|status [path]`: registers a
// folder in (or removes it from) the editor's Media Storage list, or shows
// that list. Runs once on the main thread and returns the exit status.

namespace kov {

// argv is the program's whole argument vector: argv[1] is
// "--resolve-register", the mode and the path follow.
int run_resolve_register(int argc, char** argv);

} // namespace kov
