#pragma once
// What a long-running client holds of the system: open descriptors, threads and resident memory,
// sampled from /proc/self, and the judgement of a phase by its first and last sample. Descriptors
// and threads must come back to where they started; memory may move within a tolerance, since the
// allocator keeps some freed pages and per-thread arenas.

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tavi::soak {

struct ResourceSample {
    int descriptors = 0;
    int threads = 0;
    int64_t resident_kib = 0;
};

// Entries of a /proc directory, without "." and "..".
inline int CountEntries(const char* path) {
    DIR* directory = opendir(path);
    if (directory == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(directory);
    return count - (std::string(path) == "/proc/self/fd" ? 1 : 0);  // the one opendir holds
}

// Resident pages from /proc/self/statm (its second field).
inline int64_t ResidentKib() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return -1;
    long long size = 0, resident = 0;
    const int read = std::fscanf(statm, "%lld %lld", &size, &resident);
    std::fclose(statm);
    if (read != 2) return -1;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

inline ResourceSample SampleResources() {
    return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"), ResidentKib()};
}

// One phase of a soak: its resources at the start and at the end.
struct PhaseResources {
    std::string phase;
    ResourceSample start;
    ResourceSample end;
};

// The faults of a phase as lines of text: descriptors or threads that grew, resident memory that
// grew by more than `memory_tolerance_kib` (a negative tolerance leaves memory unjudged).
inline std::vector<std::string> ResourceFaults(const PhaseResources& phase, int64_t memory_tolerance_kib) {
    std::vector<std::string> faults;
    auto grew = [&](const char* what, int64_t before, int64_t after, int64_t tolerance) {
        if (after - before > tolerance) {
            faults.push_back(phase.phase + ": " + what + " grew from " + std::to_string(before) + " to " +
                             std::to_string(after));
        }
    };
    grew("open descriptors", phase.start.descriptors, phase.end.descriptors, 0);
    grew("threads", phase.start.threads, phase.end.threads, 0);
    if (memory_tolerance_kib >= 0) {
        grew("resident memory (KiB)", phase.start.resident_kib, phase.end.resident_kib, memory_tolerance_kib);
    }
    return faults;
}

}  // namespace tavi::soak
