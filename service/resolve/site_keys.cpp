#include "resolve/site_keys.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace kov {

namespace {

constexpr std::array<std::string_view, 5> known_fields{"Type", "Root", "MappedRoot", "DIO", "BrightClip"};

bool is_known_field(const std::string& name)
{
    return std::find(known_fields.begin(), known_fields.end(), name) != known_fields.end();
}

} // namespace

std::optional<Lines> edit_site_lines(const Lines& lines, RegisterMode mode, const std::string& path)
{
    static const std::regex field_key(R"(^Site\.1\.FS\.(\d+)\.(\w+)\s*=\s*)");
    static const std::regex block_key(R"(^Site\.1\.FS\.(Count|\d+\.))");

    std::map<int, SiteEntry> by_number;
    std::smatch m;
    std::string value;
    for (const auto& line : lines)
        if (match_key_line(line, field_key, m, value))
            by_number[entry_number(m[1].str())].fields[m[2].str()] = value;

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
    return replace_key_block(lines, block_key, block);
}

bool edit_site_keys(RegisterMode mode, const std::string& path)
{
    const std::string file = site_config_path();
    const auto lines = read_lines_for_rewrite(file);
    if (!lines)
        return false;
    const auto edited = edit_site_lines(*lines, mode, path);
    return edited && write_lines_safely(file, *edited);
}

} // namespace kov
