#include "resolve/iofs_keys.hpp"

#include "resolve/key_line.hpp"

#include <algorithm>
#include <map>
#include <string_view>
#include <vector>

namespace kov {

std::optional<Lines> edit_iofs_lines(const Lines& lines, RegisterMode mode, const std::string& path)
{
    std::map<int, std::string> mounts, mapped, direct;
    const std::pair<std::string_view, std::map<int, std::string>*> lists[] = {
        {"IoFsMount_", &mounts}, {"IoFsMappedMount_", &mapped}, {"IoFsDirectIO_", &direct}};
    for (const auto& line : lines)
        for (const auto& [prefix, list] : lists)
            if (const auto key = match_numbered_key(line, prefix)) {
                (*list)[entry_number(key->number)] = key->value;
                break;
            }

    std::vector<IoFsEntry> entries;
    for (const auto& [number, mount] : mounts) {
        IoFsEntry e{mount, "", "0"};
        if (const auto it = mapped.find(number); it != mapped.end())
            e.mapped_mount = it->second;
        if (const auto it = direct.find(number); it != direct.end())
            e.direct_io = it->second;
        entries.push_back(std::move(e));
    }

    const auto is_path = [&](const IoFsEntry& e) { return e.mount == path; };
    const bool listed = std::any_of(entries.begin(), entries.end(), is_path);
    if (mode == RegisterMode::add) {
        if (listed)
            return std::nullopt;
        entries.push_back({path, "", "0"});
    } else {
        if (!listed)
            return std::nullopt;
        std::erase_if(entries, is_path);
    }

    Lines block{"IoFsNum = " + std::to_string(entries.size())};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        block.push_back("IoFsMount_" + n + " = " + entries[i].mount);
        block.push_back("IoFsMappedMount_" + n + " = " + entries[i].mapped_mount);
        block.push_back("IoFsDirectIO_" + n + " = " + entries[i].direct_io);
    }
    const auto in_block = [](std::string_view line) {
        for (const std::string_view prefix : {"IoFsNum", "IoFsMount_", "IoFsMappedMount_", "IoFsDirectIO_"})
            if (line.substr(0, prefix.size()) == prefix)
                return true;
        return false;
    };
    return replace_key_block(lines, in_block, block);
}

EditOutcome edit_iofs_keys(RegisterMode mode, const std::string& path, FileError& error)
{
    return edit_config_file(iofs_config_path(), error,
                            [&](const Lines& lines) { return edit_iofs_lines(lines, mode, path); });
}

} // namespace kov
