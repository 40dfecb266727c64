#include "resolve/resolve_config.hpp"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <system_error>

namespace kov {

std::string resolve_config_dir()
{
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/share/DaVinciResolve/configs";
}

std::string iofs_config_path() { return resolve_config_dir() + "/.config.data"; }

std::string site_config_path() { return resolve_config_dir() + "/config.dat"; }

std::string registered_path(const std::string& arg)
{
    if (!arg.empty() && arg.front() == '/')
        return arg;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr)
        return arg;
    return std::string(cwd) + "/" + arg;
}

int entry_number(const std::string& digits)
{
    int value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size())
        return -1;
    return value;
}

} // namespace kov
