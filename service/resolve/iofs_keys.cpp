#include "resolve/iofs_keys.hpp"

#include <algorithm>
#include <map>
#include <vector>

namespace kov {

std::optional<Lines> edit_iofs_lines(const Lines& lines, RegisterMode mode, const std::string& path)
{
    static const std::regex mount_key(R"(^IoFsMount_(\d+)\s*=\s*)");
    static const std::regex mapped_key(R"(^IoFsMappedMount_(\d+)\s*=\s*)");
    static const std::regex direct_key(R"(^IoFsDirectIO_(\d+)\s*=\s*)");
    static const std::regex block_key(R"(^IoFs(Num|Mount_|MappedMount_|DirectIO_))");

    std::map<int, std::string> mounts, mapped, direct;
    std::smatch m;
    std::string value;
    for (const auto& line : lines) {
        if (match_key_line(line, mount_key, m, value))
            mounts[entry_number(m[1].str())] = value;
        else if (match_key_line(line, mapped_key, m, value))
            mapped[entry_number(m[1].str())] = value;
        else if (match_key_line(line, direct_key, m, value))
            direct[entry_number(m[1].str())] = value;
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
    return replace_key_block(lines, block_key, block);
}

bool edit_iofs_keys(RegisterMode mode, const std::string& path)
{
    const std::string file = iofs_config_path();
    const auto lines = read_lines_for_rewrite(file);
    if (!lines)
        return false;
    const auto edited = edit_iofs_lines(*lines, mode, path);
    return edited && write_lines_safely(file, *edited);
}

} // namespace kov
