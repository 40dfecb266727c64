#include "common/trim.hpp"

namespace kov {

std::string trim(std::string_view s)
{
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(blanks);
    return std::string(s.substr(first, last - first + 1));
}

} // namespace kov
