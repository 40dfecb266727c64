#include "support/fault_fs.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/mount_harness.hpp"

namespace kov::test {

namespace {

std::string end_text(std::uint64_t end) { return end == UINT64_MAX ? "max" : std::to_string(end); }

// Reaps `pid` within `limit`; true when it ended.
bool reap(pid_t pid, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) != 0)
            return true;
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

std::string faultfs_path() { return KOV_FAULTFS; }

FaultFs::FaultFs(const std::string& source_dir, const std::string& mount_dir) : mount_dir_(mount_dir)
{
    const std::string program = faultfs_path();
    pid_ = ::fork();
    if (pid_ == 0) {
        const int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        ::execl(program.c_str(), program.c_str(), source_dir.c_str(), mount_dir.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid_ < 0)
        return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        if (mounted_at(mount_dir_)) {
            ok_ = true;
            return;
        }
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

FaultFs::~FaultFs()
{
    if (pid_ <= 0)
        return;
    if (ok_)
        clear(); // stalled readers of the mount go on before it goes away
    unmount_lazily(mount_dir_);
    ::kill(pid_, SIGTERM);
    if (!reap(pid_, std::chrono::seconds(5))) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
    }
}

bool FaultFs::command(const std::string& line)
{
    const int fd = ::open((mount_dir_ + "/.faultfs").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const std::string text = line + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written;
}

void FaultFs::fail(const std::string& rel_path, std::uint64_t begin, std::uint64_t end, int error)
{
    command("fail " + rel_path + " " + std::to_string(begin) + " " + end_text(end) + " " + std::to_string(error));
}

void FaultFs::delay(const std::string& rel_path, std::uint64_t begin, std::uint64_t end, unsigned milliseconds)
{
    command("delay " + rel_path + " " + std::to_string(begin) + " " + end_text(end) + " " +
            std::to_string(milliseconds));
}

void FaultFs::stall(const std::string& rel_path) { command("stall " + rel_path); }

void FaultFs::clear() { command("clear"); }

} // namespace kov::test
