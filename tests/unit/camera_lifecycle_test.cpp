// What a camera object leaves behind: its log after a failed connection, and nothing of its parent's
// connection when a forked child destroys its copy.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>

#include "TaviSDK/GigeCamera.h"
#include "support/fake_camera.h"
#include "support/temp_dir.h"

using tavi::test::FakeCamera;

namespace {

constexpr uint32_t kCcp = 0x0A00;

long OpenDescriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
}

struct ErrorsLogged {
    ErrorsLogged() { LogSwitches::error = 1; }
    ~ErrorsLogged() { LogSwitches::AllOff(); }
};

}  // namespace

TEST(CameraLifecycle, AFailedConnectionClosesItsLogWithItsLinesWritten) {
    tavi::test::ScratchDirectory scratch;
    FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    ErrorsLogged logged;
    GigeCamera camera;
    const long before = OpenDescriptors();
    DiscoveryInfo info = fake.Info(1500, "FAILED1");
    info.camera_ip = 0;
    EXPECT_EQ(camera.CameraConnect(&info), -2);
    EXPECT_EQ(camera.log.file.load(), nullptr);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_NE(scratch.Read("FAILED1.log").find("error code: -2"), std::string::npos);
}

TEST(CameraLifecycle, AChildsDestructorLeavesTheParentsConnectionAlone) {
    FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    auto* camera = new GigeCamera;
    DiscoveryInfo info = fake.Info(1500, "FORK1");
    ASSERT_EQ(camera->CameraConnect(&info), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        delete camera;  // must neither join the parent's heartbeat thread nor give control back
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(fake.WritesTo(kCcp), std::vector<uint32_t>{2});
    int ccp = 0;
    EXPECT_EQ(camera->ReadRegister(kCcp, &ccp), 0);
    EXPECT_EQ(ccp, 2);
    EXPECT_EQ(camera->connected.load(), 1);
    delete camera;
    EXPECT_EQ(fake.WritesTo(kCcp), (std::vector<uint32_t>{2, 0}));
}
