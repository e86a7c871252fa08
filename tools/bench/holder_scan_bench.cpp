// The holder scan benchmark: starts idle processes, each with about 51 open
// descriptors (the standard three, and 16 each of /dev/null, pipe ends and
// a regular file), and times the look for the holders of a pty's slave that
// the exclusive open and portdoctor make, over the system's /proc, at each
// process count. The fastest and the median of REPEATS looks are reported,
// with the time per process, which stays flat when the scan is linear.
//
// usage: holder_scan_bench [REPEATS] [COUNT...]   (default 5; 100 1000 5000)
// Run it as root to see every process's descriptors, as a root scan does.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "holders/holders.h"

namespace {

constexpr int DescriptorsOfEachKind = 16;

// Idle processes that hold the parent's descriptors until released.
class IdleProcesses {
public:
    bool Start(std::size_t count)
    {
        int ready[2];
        if (pipe(release_) != 0 || pipe(ready) != 0) {
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const pid_t child = fork();
            if (child < 0) {
                return false;
            }
            if (child == 0) {
                (void)close(release_[1]);
                char byte = 'y';
                if (write(ready[1], &byte, 1) != 1) {
                    _exit(1);
                }
                _exit(read(release_[0], &byte, 1) >= 0 ? 0 : 1); // until the parent closes its end
            }
            children_.push_back(child);
        }
        (void)close(ready[1]);
        std::size_t started = 0;
        char byte = 0;
        while (started < count && read(ready[0], &byte, 1) == 1) {
            ++started;
        }
        (void)close(ready[0]);
        return started == count;
    }
    ~IdleProcesses()
    {
        (void)close(release_[1]);
        for (pid_t child : children_) {
            (void)waitpid(child, nullptr, 0);
        }
        (void)close(release_[0]);
    }

private:
    int release_[2] = {-1, -1};
    std::vector<pid_t> children_;
};

std::size_t ProcessCount()
{
    DIR *proc = opendir("/proc");
    std::size_t count = 0;
    // cppcheck-suppress readdirCalled
    while (const dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
        count += entry->d_name[0] >= '1' && entry->d_name[0] <= '9' ? 1 : 0;
    }
    if (proc != nullptr) {
        (void)closedir(proc);
    }
    return count;
}

// The floor under any scan: listing every process's descriptors, looking
// at none of them. The number of entries listed.
std::size_t ListEveryDescriptor()
{
    DIR *proc = opendir("/proc");
    std::size_t listed = 0;
    // cppcheck-suppress readdirCalled
    while (const dirent *process = proc != nullptr ? readdir(proc) : nullptr) {
        const std::string folder = std::string("/proc/") + process->d_name + "/fd";
        DIR *fds = process->d_name[0] >= '1' && process->d_name[0] <= '9' ? opendir(folder.c_str()) : nullptr;
        // cppcheck-suppress readdirCalled
        while (fds != nullptr && readdir(fds) != nullptr) {
            ++listed;
        }
        if (fds != nullptr) {
            (void)closedir(fds);
        }
    }
    if (proc != nullptr) {
        (void)closedir(proc);
    }
    return listed;
}

// Opens the descriptors every idle process inherits, kept open until the
// benchmark ends; false when it cannot.
bool OpenDescriptors(const char *scratchFile)
{
    static int kept[DescriptorsOfEachKind * 4];
    for (int i = 0; i < DescriptorsOfEachKind * 4; i += 4) {
        kept[i] = open("/dev/null", O_RDONLY);
        kept[i + 1] = open(scratchFile, O_RDONLY);
        if (kept[i] < 0 || kept[i + 1] < 0 || pipe(kept + i + 2) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int repeats = argc > 1 ? std::max(1, static_cast<int>(std::strtol(argv[1], nullptr, 10))) : 5;
    std::vector<std::size_t> counts;
    for (int i = 2; i < argc; ++i) {
        counts.push_back(static_cast<std::size_t>(std::strtoul(argv[i], nullptr, 10)));
    }
    if (counts.empty()) {
        counts = {100, 1000, 5000};
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pty");
        return 2;
    }
    const std::string slave = ptsname(master);
    struct stat port {};
    char scratch[] = "/tmp/holder-scan-bench-XXXXXX";
    const int scratchFd = mkstemp(scratch);
    if (stat(slave.c_str(), &port) != 0 || scratchFd < 0 || !OpenDescriptors(scratch)) {
        std::perror("set-up");
        return 2;
    }
    (void)unlink(scratch);
    const holders::Places places{"", holders::SystemLockDirectories, holders::SystemLockDirectoryCount};
    const auto findings = std::make_unique<holders::Findings>();

    std::printf("%-10s %-10s %-12s %-12s %-14s\n", "started", "in /proc", "fastest ms", "median ms", "median us/proc");
    for (std::size_t count : counts) {
        IdleProcesses idle;
        if (!idle.Start(count)) {
            std::perror("fork");
            return 2;
        }
        const std::size_t seen = ProcessCount();
        std::vector<double> times;
        std::vector<double> listings;
        for (int r = 0; r < repeats; ++r) {
            auto start = std::chrono::steady_clock::now();
            holders::FindHolders(slave.c_str(), true, port.st_rdev, places, *findings);
            times.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            start = std::chrono::steady_clock::now();
            (void)ListEveryDescriptor();
            listings.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(times.begin(), times.end());
        std::sort(listings.begin(), listings.end());
        const double median = times[times.size() / 2];
        const double listing = listings[listings.size() / 2];
        std::printf("%-8zu %-9zu %-11.1f %-11.1f %-10.1f %-15.1f %-15.1f\n", count, seen, times.front(), median,
                    median * 1000.0 / static_cast<double>(seen), listing, listing * 1000.0 / static_cast<double>(seen));
        (void)std::fflush(stdout);
    }
    return 0;
}
