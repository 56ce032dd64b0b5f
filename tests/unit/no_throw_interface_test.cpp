// Memory running out inside an exported operation: the caller gets the operation's failure result
// and a log line, never an exception. The test binary's global operator new fails on request, on the
// calling thread only (the fake camera's threads and the library's own threads go on as usual).

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "TaviSDK/Discovery.h"
#include "TaviSDK/FlatInterface.h"
#include "TaviSDK/GigeCamera.h"
#include "TaviSDK/GigeStream.h"
#include "api/flat_state.h"
#include "support/cloud_frame.h"
#include "support/e2e_camera.h"
#include "support/fake_camera.h"
#include "support/sanitized_build.h"
#include "support/temp_dir.h"

namespace {

// Allocations on this thread: the first `pass` succeed, the `fail` after them fail. Both 0 by
// default, so every other test allocates as usual.
struct AllocationSwitch {
    long pass = 0;
    long fail = 0;
    long seen = 0;  // allocations made, counted whatever the switch says
};
thread_local AllocationSwitch allocation_switch;

#ifndef TAVI_SANITIZED_BUILD
void* Allocate(std::size_t size) noexcept {
    ++allocation_switch.seen;
    if (allocation_switch.pass > 0) {
        --allocation_switch.pass;
    } else if (allocation_switch.fail > 0) {
        --allocation_switch.fail;
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}
#endif

}  // namespace

// The sanitizers bring their own operator new; a replacement here would take their checks away.
#ifndef TAVI_SANITIZED_BUILD
// The replacement pairs malloc with free by design; GCC, seeing both inlined, takes it for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    if (void* memory = Allocate(size)) return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
#endif

namespace {

using tavi::test::FakeCamera;

constexpr long kEveryAllocation = 1L << 40;

// Runs `work` with allocations `pass` + 1 .. `pass` + `fail` on this thread failing; the switch is
// off again before any exception reaches the caller.
template <class Work>
auto WithFailingAllocations(long pass, long fail, Work&& work) {
    struct Reset {
        ~Reset() { allocation_switch = AllocationSwitch{}; }
    } reset;
    allocation_switch = AllocationSwitch{pass, fail, 0};
    return work();
}

class NoThrowInterfaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef TAVI_SANITIZED_BUILD
        GTEST_SKIP() << "the sanitizer's operator new cannot be replaced to fail on request";
#endif
        LogSwitches::error = 1;
    }
    void TearDown() override { LogSwitches::AllOff(); }

    tavi::test::ScratchDirectory scratch_;  // the logs land here
};

TEST_F(NoThrowInterfaceTest, TheSwitchFailsOnlyTheAllocationsAskedFor) {
    // The operator functions are called by name: a new-expression may be optimised away.
    EXPECT_THROW(WithFailingAllocations(0, 1, [] { return ::operator new(8); }), std::bad_alloc);
    void* second = WithFailingAllocations(1, 1, [] {
        ::operator delete(::operator new(8));
        return ::operator new(8, std::nothrow);
    });
    EXPECT_EQ(second, nullptr);
    void* after = ::operator new(8);  // off again
    EXPECT_NE(after, nullptr);
    ::operator delete(after);
}

TEST_F(NoThrowInterfaceTest, NodeNamesWithoutMemoryAreEmptyAndLogged) {
    FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    GigeCamera camera;
    DiscoveryInfo info = fake.Info(1500, "NOMEM1");
    ASSERT_EQ(camera.CameraConnect(&info), 0);
    std::vector<std::string> names;
    EXPECT_NO_THROW(WithFailingAllocations(0, kEveryAllocation, [&] {
        camera.GetCameraXMLNodeNames(&names);
        return 0;
    }));
    EXPECT_TRUE(names.empty());
    // A feature look-up that needs memory (a name beyond the short-string buffer) fails as an
    // unknown feature would.
    int result = 0;
    EXPECT_NO_THROW(
        result = WithFailingAllocations(0, kEveryAllocation, [&] { return camera.GetTimestampStatus(); }));
    EXPECT_EQ(result, TAVI_ERR_FEATURE_NOT_FOUND);
    camera.CameraDisconnect();
    const std::string text = scratch_.Read("NOMEM1.log");
    EXPECT_NE(text.find("[function:GetCameraXMLNodeNames] Failed: std::bad_alloc"), std::string::npos)
        << text;
    EXPECT_NE(text.find("[function:GetRegisterAddr] Failed: std::bad_alloc"), std::string::npos) << text;
}

TEST_F(NoThrowInterfaceTest, CloudFiltersWithoutMemoryReportTheirFailure) {
    std::vector<uint8_t> raw(64 * 48 * 6);
    for (size_t n = 0; n < raw.size(); ++n) raw[n] = static_cast<uint8_t>(n * 37 + n / 6);
    PhotoInfo frame = tavi::test::CloudFrameOver(raw, 64, 48, 10);
    const std::vector<uint8_t> before = raw;
    GigeCamera camera;
    ASSERT_EQ(log_open(&camera.log, "NOMEM2"), 0);
    int result = 0;
    EXPECT_NO_THROW(result = WithFailingAllocations(
                        0, kEveryAllocation, [&] { return camera.SpatialFilterPointcloud(frame, 3); }));
    EXPECT_EQ(result, TAVI_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(raw, before);  // nothing half-filtered
    log_close(&camera.log);
    const std::string text = scratch_.Read("NOMEM2.log");
    EXPECT_NE(text.find("[function:SpatialFilterPointcloud] Failed to allocate the working memory, error "
                        "code: -2"),
              std::string::npos)
        << text;
}

TEST_F(NoThrowInterfaceTest, PointFilesWithoutMemoryForTheirNamesAreNotOpened) {
    std::vector<uint8_t> raw(8 * 4 * 6, 1);
    PhotoInfo frame = tavi::test::CloudFrameOver(raw, 8, 4, 10);
    GigeCamera camera;
    ASSERT_EQ(log_open(&camera.log, "NOMEM3"), 0);
    std::string path = scratch_.PathOf("cloud-with-a-name-longer-than-the-short-string-buffer.txt");
    int result = 0;
    EXPECT_NO_THROW(result = WithFailingAllocations(
                        0, kEveryAllocation, [&] { return camera.SavePointCloudToTxt(frame, path.data()); }));
    EXPECT_EQ(result, TAVI_ERR_FILE_OPEN);
    EXPECT_FALSE(scratch_.Exists("cloud-with-a-name-longer-than-the-short-string-buffer.txt"));
    log_close(&camera.log);
}

TEST_F(NoThrowInterfaceTest, DiscoveryWithoutMemoryFindsNothingAndSendsNothing) {
    Discovery discovery;
    std::vector<DiscoveryInfo> list;
    int found = -1;
    // The adapter list is built before any socket: without memory no datagram leaves this machine.
    EXPECT_NO_THROW(
        found = WithFailingAllocations(0, kEveryAllocation, [&] { return discovery.DiscoverCamera(&list); }));
    EXPECT_EQ(found, 0);
    EXPECT_TRUE(list.empty());
    const std::string text = scratch_.Read("discovercamera.log");
    EXPECT_NE(text.find("[function:DiscoverCamera] No memory for more records after 0."), std::string::npos)
        << text;

    DiscoveryInfo info{};
    info.camera_ip = 0x7F000002;  // loopback only
    info.pc_ip = 0x7F000001;
    char ip[] = "127.0.0.3", mask[] = "255.0.0.0", gateway[] = "127.0.0.1";
    ASSERT_EQ(log_open(&discovery.log, "NOMEM4"), 0);
    EXPECT_NO_THROW(found = WithFailingAllocations(
                        0, kEveryAllocation, [&] { return discovery.ForceIp(info, ip, mask, gateway); }));
    EXPECT_EQ(found, TAVI_ERR_FORCE_IP);
    log_close(&discovery.log);
    EXPECT_NE(scratch_.Read("NOMEM4.log").find("[function:ForceIp] Failed: std::bad_alloc"),
              std::string::npos);
}

// ---- opening a stream ------------------------------------------------------------------------------

std::string IntReg(const char* name, uint32_t address) {
    char text[200];
    std::snprintf(
        text, sizeof text,
        "<IntReg Name=\"%s\"><Address>0x%X</Address><Length>4</Length><pPort>Device</pPort></IntReg>\n", name,
        address);
    return text;
}

std::string StreamDescription() {
    std::string description = tavi::test::kFakeDescription;
    const std::string added = IntReg("GevStreamChannelCount", 0x0904) + IntReg("CmosIndex", 0x60000) +
                              IntReg("PayloadSize", 0x60004) + IntReg("DeviceCloudUnit", 0x60008) +
                              IntReg("Height", 0x50000) + IntReg("OffsetX", 0x50004) +
                              IntReg("OffsetY", 0x50008) + IntReg("GevSCSP", 0x0D1C);
    const std::string port = "<Port Name=\"Device\"/>";
    description.replace(description.find(port), port.size(), added + port);
    return description;
}

// Every single allocation of StreamOn fails in turn: each attempt returns 0 with a stream or a code
// without one, and no socket is left behind.
TEST_F(NoThrowInterfaceTest, StreamOnSurvivesEachOfItsAllocationsFailing) {
    FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    fake.SetDescription("Local:fake.xml", tavi::test::TextBytes(StreamDescription()));
    fake.peer.SetRegister(0x0904, 1);
    fake.peer.SetRegister(0x60008, 10);
    fake.peer.SetRegister(0x60000, 0);
    fake.peer.SetRegister(0x60004, 3000);
    fake.peer.SetRegister(0x10108, 0x01080001);
    fake.peer.SetRegister(0x0D1C, 40000);
    fake.peer.SetRegister(0x10100, 60);
    fake.peer.SetRegister(0x50000, 50);
    GigeCamera camera;
    DiscoveryInfo info = fake.Info(1500, "NOMEM5");
    ASSERT_EQ(camera.CameraConnect(&info), 0);

    GigeStream* stream = nullptr;
    const long needed = WithFailingAllocations(0, 0, [&] {
        EXPECT_EQ(camera.StreamOn(0, &stream), 0);
        return allocation_switch.seen;
    });
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(camera.StreamOff(0, stream), 0);
    ASSERT_GT(needed, 0);
    ASSERT_LT(needed, 5000) << "too many allocations to try each";

    const int descriptors = tavi::test::OpenDescriptors();
    int failures = 0;
    for (long pass = 0; pass < needed; ++pass) {
        stream = nullptr;
        int result = 0;
        EXPECT_NO_THROW(result = WithFailingAllocations(pass, 1, [&] { return camera.StreamOn(0, &stream); }))
            << "allocation " << pass;
        if (result == 0) {
            ASSERT_NE(stream, nullptr);
            EXPECT_EQ(camera.StreamOff(0, stream), 0);
        } else {
            EXPECT_EQ(stream, nullptr) << "allocation " << pass;
            ++failures;
        }
    }
    EXPECT_GT(failures, 0);
    EXPECT_EQ(tavi::test::OpenDescriptors(), descriptors);
    camera.CameraDisconnect();
    const std::string text = scratch_.Read("NOMEM5.log");
    EXPECT_NE(text.find("[function:StreamOn] Failed: std::bad_alloc"), std::string::npos);
}

TEST_F(NoThrowInterfaceTest, FlatFunctionsWithoutMemoryGiveTheirFailureResults) {
    std::vector<DiscoveryInfo>& list = tavi::api::State().list;
    list.assign(2, DiscoveryInfo{});
    int rows = -1;
    EXPECT_NO_THROW(rows = WithFailingAllocations(0, kEveryAllocation, [] { return CreateCamera(); }));
    EXPECT_EQ(rows, 0);
    EXPECT_EQ(AcquisitionStart(0), TAVI_ERR_FLAT_NO_CAMERA) << "no table was made";

    FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    list[0] = fake.Info(1500, "NOMEM6");
    ASSERT_EQ(CreateCamera(), 2);
    ASSERT_EQ(CameraConnect(0), 0);
    std::vector<char> names(255 * 8);
    int count = -5;
    EXPECT_NO_THROW(WithFailingAllocations(0, kEveryAllocation, [&] {
        GetCameraXMLNodeNames(0, names.data(), &count);
        return 0;
    }));
    EXPECT_EQ(count, 0);
    DestroyCamera();
    list.clear();
}

}  // namespace
