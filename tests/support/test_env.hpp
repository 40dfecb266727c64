#pragma once
// Shared test helpers: temporary folders, running commands, generating real
// media with the ffmpeg command-line tool.

#include <cstdint>
#include <string>
#include <vector>

namespace kov::test {

// A fresh folder under /tmp, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct CommandResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs argv (no shell) and collects its output. `input` is fed to stdin.
CommandResult run_command(const std::vector<std::string>& argv, const std::string& input = {});
// Runs a shell command line; returns its exit status.
int run_shell(const std::string& command_line);

bool have_program(const std::string& name);
bool have_ffmpeg(); // ffmpeg and ffprobe

// Runs `ffmpeg -v error -y <args> <out>`; returns true when out exists afterwards.
bool ffmpeg_make(const std::vector<std::string>& args, const std::string& out);

std::vector<std::uint8_t> read_file(const std::string& path);
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
bool write_text(const std::string& path, const std::string& text);
// The file's bytes as a string; empty when it cannot be read.
std::string read_text(const std::string& path);
bool exists(const std::string& path); // follows links

// The kov-orvane binary under test.
std::string program_path();

} // namespace kov::test
