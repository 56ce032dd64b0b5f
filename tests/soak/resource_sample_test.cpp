// The soak's judgement of a phase: descriptors and threads must end where they started, memory may
// move within a tolerance, and the samples count what this process really holds.

#include "soak/resource_sample.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

using tavi::soak::PhaseResources;
using tavi::soak::ResourceFaults;
using tavi::soak::SampleResources;

TEST(SoakResourceSample, CountsAnOpenedDescriptorAndARunningThread) {
    // The thread sanitizer's runtime starts a thread of its own with the process's first thread.
    std::thread([] {}).join();
    const auto before = SampleResources();
    const int descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(descriptor, 0);
    std::atomic<bool> stop{false};
    std::thread thread([&] {
        while (!stop.load()) std::this_thread::yield();
    });
    const auto during = SampleResources();
    stop = true;
    thread.join();
    close(descriptor);
    const auto after = SampleResources();
    EXPECT_EQ(during.descriptors, before.descriptors + 1);
    EXPECT_EQ(during.threads, before.threads + 1);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_GT(before.resident_kib, 0);
}

TEST(SoakResourceSample, AFlatPhaseHasNoFaultAndMemoryWithinTheToleranceIsFlat) {
    const PhaseResources phase{"cycles", {7, 2, 10'000}, {7, 2, 14'096}};
    EXPECT_TRUE(ResourceFaults(phase, 4096).empty());
}

TEST(SoakResourceSample, EveryGrowthIsNamedWithItsPhaseAndFigures) {
    const PhaseResources phase{"lossy", {7, 2, 10'000}, {8, 3, 14'097}};
    const auto faults = ResourceFaults(phase, 4096);
    ASSERT_EQ(faults.size(), 3u);
    EXPECT_EQ(faults[0], "lossy: open descriptors grew from 7 to 8");
    EXPECT_EQ(faults[1], "lossy: threads grew from 2 to 3");
    EXPECT_EQ(faults[2], "lossy: resident memory (KiB) grew from 10000 to 14097");
}

TEST(SoakResourceSample, ShrinkingIsNoFaultAndANegativeToleranceLeavesMemoryUnjudged) {
    EXPECT_TRUE(ResourceFaults({"faults", {9, 4, 50'000}, {7, 2, 1'000}}, 0).empty());
    EXPECT_TRUE(ResourceFaults({"faults", {7, 2, 1'000}, {7, 2, 900'000}}, -1).empty());
}

}  // namespace
