// Entry of kov-orvane: run-mode dispatch on the first argument, and the one
// place where results become exit statuses.

#include <cstdio>
#include <string>
#include <string_view>

#include "cli/emit_command.hpp"
#include "cli/mount_settings.hpp"
#include "cli/probe_report.hpp"
#include "cli/status_command.hpp"
#include "cli/supervisor.hpp"
#include "cli/usage.hpp"
#include "common/version.hpp"
#include "resolve/resolve_register.hpp"

int main(int argc, char** argv)
{
    const char* invocation = argc > 0 && argv[0] ? argv[0] : "kov-orvane";
    if (argc >= 2) {
        const std::string_view first = argv[1];
        if (first == "--version") {
            std::printf("%s\n", kov::version_string);
            return 0;
        }
        if (first == "--resolve-register")
            return kov::run_resolve_register(argc, argv);
        if (first == "--status")
            return kov::run_status(kov::parse_status_options(argc, argv, 2));
        // Either may go on with --convert LIST, as a mount may; other
        // arguments after their files are ignored.
        const int files = first == "--probe" ? 1 : 2;
        const bool convert_given = argc >= files + 4 && std::string_view(argv[files + 2]) == "--convert";
        const kov::CodecSet convert =
            convert_given ? kov::convert_option(argv[files + 3]) : kov::default_conversions();
        if (first == "--probe" && argc >= 3)
            return kov::run_probe(argv[2], convert);
        if (first == "--emit" && argc >= 4)
            return kov::run_emit(argv[2], argv[3], convert);
    }
    const auto settings = kov::parse_mount_settings(argc, argv, 1);
    if (!settings) {
        kov::print_usage(invocation);
        return 2;
    }
    return kov::run_supervised_mount(*settings, invocation);
}
