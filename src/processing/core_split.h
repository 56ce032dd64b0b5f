#pragma once
// Runs a range of independent work on both cores: the caller's thread takes the first half, one helper
// thread the second. Every user splits work whose result does not depend on where the cut falls, so a
// helper that cannot be started only means the caller's thread does it all.

#include <cstddef>
#include <system_error>
#include <thread>

namespace tavi {

// Below this many items a thread start costs more than it saves.
inline constexpr size_t kMinItemsToSplit = 1 << 16;

template <class Work>
void SplitAcrossCores(size_t count, Work&& work, size_t min_items = kMinItemsToSplit) {
    if (count < min_items || std::thread::hardware_concurrency() < 2) {
        work(size_t{0}, count);
        return;
    }
    const size_t half = count / 2;
    std::thread helper;
    try {
        helper = std::thread([&work, half, count] { work(half, count); });
    } catch (const std::exception&) {  // no thread (std::system_error) or no memory for its state
        work(size_t{0}, count);
        return;
    }
    work(size_t{0}, half);
    helper.join();
}

}  // namespace tavi
