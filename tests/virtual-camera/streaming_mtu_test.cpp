// Test packets and stream packets against a link MTU: each case runs in a child process inside a
// private network namespace whose loopback device has the MTU of a standard (1500) or a jumbo
// (9000) Ethernet link, so that don't-fragment packets too large for it are lost.

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "streaming_fixture.h"

namespace vcam_test {
namespace {

using namespace std::chrono_literals;

constexpr int kNoNamespace = 77;

bool EnterNamespaceWithLoopbackMtu(int mtu) {
    if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    request.ifr_mtu = mtu;
    bool ok = fd >= 0 && ioctl(fd, SIOCSIFMTU, &request) == 0;
    request.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

// Checks in the child report on stderr; the exit code carries the verdict.
bool Check(bool condition, const char* what, long value) {
    if (!condition) std::fprintf(stderr, "MTU check failed: %s (%ld)\n", what, value);
    return condition;
}

// Whether a test packet of `size` bytes arrives whole.
bool TestPacketArrives(vcam::StreamEngine& engine, Listener& listener, uint32_t size) {
    if (!engine.SendTestPacket(0, size)) return false;  // refused by the sender's own link
    const auto packet = listener.Receive(200ms);
    return packet && packet->bytes.size() == size;
}

bool RunMtuChecks(int mtu) {
    vcam::StreamEngine engine(QuietOptions());
    Listener listener;
    vcam::ChannelSettings settings = View(2, vcam::kPixelMono8, 320, 240, 0, 0, static_cast<uint32_t>(mtu));
    settings.dest_ip = kLoopback;
    settings.dest_port = listener.port();
    settings.dont_fragment = true;
    bool ok = Check(engine.Configure(2, settings), "configure", mtu);
    vcam::ChannelSettings probe = settings;
    probe.sensor = 0;
    probe.pixel_format = vcam::kPixelCoord3D_ABC16;
    ok &= Check(engine.Configure(0, probe), "configure probe", 0);

    // A test packet's UDP payload is the size asked for: 28 bytes of IP and UDP header come on top.
    ok &= Check(TestPacketArrives(engine, listener, mtu - 28), "largest test packet lost", mtu - 28);
    ok &= Check(!TestPacketArrives(engine, listener, mtu - 27), "oversized test packet arrived", mtu - 27);
    ok &= Check(!TestPacketArrives(engine, listener, mtu), "test packet of the MTU arrived", mtu);

    // Stream packets of exactly the MTU pass whole.
    ok &= Check(engine.Start(2, 10, true), "start", 0);
    engine.SoftwareTrigger(2);
    const std::vector<Block> blocks = Assemble(listener.ReceiveBlocks(1));
    ok &= Check(blocks.size() == 1 && blocks[0].complete() && blocks[0].image.size() == 320 * 240, "block",
                mtu);

    // Larger ones with don't-fragment never leave.
    settings.packet_size = static_cast<uint32_t>(mtu) + 1024;
    ok &= Check(engine.Configure(2, settings), "configure large", mtu);
    engine.SoftwareTrigger(2);
    const std::vector<Packet> large = listener.ReceiveUntilQuiet();
    size_t payload_packets = 0;
    for (const Packet& p : large) payload_packets += p.format() == 3;
    ok &= Check(payload_packets <= 1, "payload packets beyond the MTU arrived",
                static_cast<long>(payload_packets));
    ok &= Check(engine.Counters(2).send_errors > 0, "no send errors counted", 0);
    engine.Stop(2);
    return ok;
}

int RunInNamespace(int mtu) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (!EnterNamespaceWithLoopbackMtu(mtu)) _exit(kNoNamespace);
        _exit(RunMtuChecks(mtu) ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class LinkMtuTest : public ::testing::TestWithParam<int> {};

TEST_P(LinkMtuTest, TestAndStreamPacketsFitTheLinkOrAreLost) {
    const int result = RunInNamespace(GetParam());
    if (result == kNoNamespace) GTEST_SKIP() << "no private network namespace on this system";
    EXPECT_EQ(result, 0) << "see the MTU check lines above";
}

INSTANTIATE_TEST_SUITE_P(StandardAndJumbo, LinkMtuTest, ::testing::Values(1500, 9000));

}  // namespace
}  // namespace vcam_test
