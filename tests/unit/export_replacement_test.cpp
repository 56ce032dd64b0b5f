// A point-cloud file whose write fails leaves the previous file where it was: every writer writes
// beside the destination and moves its file into place only once it is complete.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TaviSDK/GigeCamera.h"
#include "support/cloud_frame.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kOldContent = "the previous file, which a failed write must not destroy";

// Files larger than `bytes` cannot be written while it lives (as on a disk that is full).
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previous_handler_);
    }

  private:
    rlimit previous_{};
    void (*previous_handler_)(int);
};

struct Writer {
    const char* name;
    int (GigeCamera::*save)(PhotoInfo&, char*);
    int failure;
};

const Writer kWriters[] = {
    {"cloud.pcd", &GigeCamera::SavePointCloudToPcd, -41},
    {"cloud.ply", &GigeCamera::SavePointCloudToPly, -41},
    {"cloud.txt", &GigeCamera::SavePointCloudToTxt, -41},
};

std::vector<uint8_t> ValidCloud(uint32_t points) {
    std::vector<uint8_t> raw(size_t{points} * 6);
    for (uint32_t n = 0; n < points; ++n) {
        raw[6 * n + 4] = static_cast<uint8_t>(1 + n % 200);  // Z > 0: every point is written
    }
    return raw;
}

}  // namespace

TEST(ExportReplacement, AFailedWriteLeavesThePreviousFileAndNoTemporaryOne) {
    tavi::test::ScratchDirectory scratch;
    GigeCamera camera;
    std::vector<uint8_t> raw = ValidCloud(20000);
    PhotoInfo frame = tavi::test::CloudFrameOver(raw, 200, 100, 10);
    for (const Writer& writer : kWriters) {
        { std::ofstream(scratch.path() / writer.name) << kOldContent; }
        std::string path = (scratch.path() / writer.name).string();
        {
            FileSizeLimit full_disk(4096);
            EXPECT_EQ((camera.*writer.save)(frame, path.data()), writer.failure) << writer.name;
        }
        EXPECT_EQ(scratch.Read(writer.name), kOldContent) << writer.name;
    }
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(scratch.path())) ++files;
    EXPECT_EQ(files, std::size(kWriters));  // no temporary file left behind
}

TEST(ExportReplacement, ASuccessfulWriteReplacesTheFileAndKeepsItsPermissions) {
    tavi::test::ScratchDirectory scratch;
    GigeCamera camera;
    std::vector<uint8_t> raw = ValidCloud(4);
    PhotoInfo frame = tavi::test::CloudFrameOver(raw, 2, 2, 10);
    for (const Writer& writer : kWriters) {
        const auto file = scratch.path() / writer.name;
        { std::ofstream(file) << kOldContent; }
        chmod(file.c_str(), 0640);
        std::string path = file.string();
        EXPECT_EQ((camera.*writer.save)(frame, path.data()), 0) << writer.name;
        EXPECT_NE(scratch.Read(writer.name), kOldContent) << writer.name;
        struct stat status {};
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0640u) << writer.name;
    }
}

TEST(ExportReplacement, ASymbolicLinkStaysALinkAndItsTargetIsWritten) {
    tavi::test::ScratchDirectory scratch;
    GigeCamera camera;
    std::vector<uint8_t> raw = ValidCloud(4);
    PhotoInfo frame = tavi::test::CloudFrameOver(raw, 2, 2, 10);
    { std::ofstream(scratch.path() / "target.ply") << kOldContent; }
    std::filesystem::create_symlink(scratch.path() / "target.ply", scratch.path() / "link.ply");
    std::string path = (scratch.path() / "link.ply").string();
    EXPECT_EQ(camera.SavePointCloudToPly(frame, path.data()), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(scratch.path() / "link.ply"));
    EXPECT_EQ(scratch.Read("target.ply").rfind("ply", 0), 0u);
}
