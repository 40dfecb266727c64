#include "cli/usage.hpp"

#include <cstdio>

namespace kov {

void print_usage(const char* invocation)
{
    const char* p = invocation;
    std::fprintf(stderr,
                 "Kov Orvane - read-only AAC-rewriting mirror\n"
                 "usage: %s <mount-point> [--config <file>] [--share name=path ...] [--writable] [--convert LIST] [FUSE opts]\n"
                 "       %s <source-dir> <mount-point> [FUSE opts]   (legacy single-dir)\n"
                 "       %s --probe <file.mp4|.mov> [--convert LIST]\n"
                 "       %s --emit <in.mp4> <out.mp4> [--convert LIST]\n"
                 "       %s --status [--scan] [--config <file>]\n"
                 "       %s --version\n"
                 "\n"
                 "Multi-share mode exposes one mount whose top-level folders are the\n"
                 "configured shares. Without --share, shares are read from the config\n"
                 "file (default: $XDG_CONFIG_HOME/kov-orvane/shares.conf) and\n"
                 "reloaded live on SIGHUP. --convert names the audio codecs rewritten\n"
                 "as PCM (default: every one the editor cannot read).\n"
                 "example: %s ~/kov-orvane -o allow_root\n",
                 p, p, p, p, p, p, p);
}

} // namespace kov
