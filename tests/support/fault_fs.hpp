#pragma once
// The fault-injecting passthrough (faultfs) for tests: mirrors a source folder
// read-only and makes chosen byte ranges of chosen files fail, wait or stall.
// A test puts it between a source and the service to play a dying disk or a
// dead network share.

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace kov::test {

// The faultfs program built beside the tests.
std::string faultfs_path();

class FaultFs { // starts faultfs on construction (ready when it returns), stops and unmounts on destruction
public:
    FaultFs(const std::string& source_dir, const std::string& mount_dir);
    ~FaultFs();
    FaultFs(const FaultFs&) = delete;
    FaultFs& operator=(const FaultFs&) = delete;

    bool ok() const { return ok_; }
    const std::string& mount_dir() const { return mount_dir_; }

    // Reads of `rel_path` overlapping bytes [begin, end) answer `error`.
    void fail(const std::string& rel_path, std::uint64_t begin, std::uint64_t end, int error = EIO);
    // Such reads are answered after `milliseconds`; "*" is every file.
    void delay(const std::string& rel_path, std::uint64_t begin, std::uint64_t end, unsigned milliseconds);
    // Reads of `rel_path` block until clear().
    void stall(const std::string& rel_path);
    // Drops every rule and releases stalled reads.
    void clear();

    // Sends one command line; false when faultfs refused it.
    bool command(const std::string& line);

private:
    std::string mount_dir_;
    pid_t pid_ = -1;
    bool ok_ = false;
};

} // namespace kov::test
