#pragma once
// Reads the configured systemd user unit of the build into "Section.Key" ->
// values (a key given several times keeps every value, in order).

#include "support/test_env.hpp"

#include <map>
#include <string>
#include <vector>

namespace kov::test {

inline std::string built_unit_path() { return std::string(KOV_BUILD_DIR) + "/service/unit/kov-orvane.service"; }

using UnitEntries = std::map<std::string, std::vector<std::string>>;

inline UnitEntries parse_unit(const std::string& text)
{
    UnitEntries entries;
    std::string section;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            entries[section + "." + line.substr(0, eq)].push_back(line.substr(eq + 1));
    }
    return entries;
}

inline std::vector<std::string> split_words(const std::string& s)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ')
            ++i;
        const auto j = s.find(' ', i);
        if (i < s.size())
            words.push_back(s.substr(i, j == std::string::npos ? std::string::npos : j - i));
        i = j == std::string::npos ? s.size() : j;
    }
    return words;
}

} // namespace kov::test
