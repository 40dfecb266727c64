#include "resolve/site_keys.hpp"

#include "resolve/key_line.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace kov {

namespace {

constexpr std::string_view site_prefix = "Site.1.FS.";
constexpr std::array<std::string_view, 5> known_fields{"Type", "Root", "MappedRoot", "DIO", "BrightClip"};

bool is_known_field(const std::string& name)
{
    return std::find(known_fields.begin(), known_fields.end(), name) != known_fields.end();
}

} // namespace

std::optional<Lines> edit_site_lines(const Lines& lines, RegisterMode mode, const std::string& path)
{
    std::map<int, SiteEntry> by_number;
    for (const auto& line : lines)
        if (auto key = match_numbered_field(line, site_prefix))
            by_number[entry_number(key->number)].fields[key->field] = key->value;

    std::vector<SiteEntry> entries;
    for (auto& [number, entry] : by_number)
        entries.push_back(std::move(entry));

    const auto is_path = [&](const SiteEntry& e) {
        const auto it = e.fields.find("Root");
        return it != e.fields.end() && it->second == path;
    };
    const bool listed = std::any_of(entries.begin(), entries.end(), is_path);
    if (mode == RegisterMode::add) {
        if (listed)
            return std::nullopt;
        entries.push_back({{{"Type", "IOFileSys"}, {"Root", path}, {"MappedRoot", ""}, {"DIO", "0"}, {"BrightClip", "0"}}});
    } else {
        if (!listed)
            return std::nullopt;
        std::erase_if(entries, is_path);
    }

    Lines block{"Site.1.FS.Count = " + std::to_string(entries.size())};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string prefix = "Site.1.FS." + std::to_string(i + 1) + ".";
        const auto& fields = entries[i].fields;
        for (const auto name : known_fields) {
            const auto it = fields.find(std::string(name));
            block.push_back(prefix + std::string(name) + " = " + (it != fields.end() ? it->second : ""));
        }
        // Fields this program does not know are kept, after the known ones,
        // in the map's (byte-wise name) order, so a rewrite loses nothing.
        for (const auto& [name, field_value] : fields)
            if (!is_known_field(name))
                block.push_back(prefix + name + " = " + field_value);
    }
    const auto in_block = [](std::string_view line) {
        return line.substr(0, site_prefix.size() + 5) == std::string(site_prefix) + "Count" ||
               starts_numbered_field(line, site_prefix);
    };
    return replace_key_block(lines, in_block, block);
}

EditOutcome edit_site_keys(RegisterMode mode, const std::string& path, FileError& error)
{
    return edit_config_file(site_config_path(), error,
                            [&](const Lines& lines) { return edit_site_lines(lines, mode, path); });
}

} // namespace kov
