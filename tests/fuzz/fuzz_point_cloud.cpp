// The point-cloud operations on a frame whose header lies: width x height may claim more or fewer
// points than the payload holds, the payload size may claim less than the buffer, the cloud unit may
// be 0 and the pixel format anything. Nothing may read or write past the payload, and each fast
// path must give what its plain reference loop gives.
//
// Input: flags, width, height, cloud unit, payload size, filter settings, then the raw points.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TaviSDK/GigeCamera.h"
#include "export/cloud_files.h"
#include "fuzz_input.h"
#include "processing/cloud_decode.h"
#include "processing/cloud_frame.h"
#include "processing/cloud_plane.h"
#include "processing/grid_filter.h"
#include "processing/window_filter.h"

namespace {

using tavi::fuzz::Expect;
using tavi::fuzz::FuzzInput;

// Operations that fill a caller's buffer of width x height entries run only when such a buffer is
// reasonable; so does the PCD writer, which writes every claimed point (those past the payload as
// missing points), however many the header claims.
constexpr size_t kMaxClaimedPoints = 1 << 16;
// The fused text file is compared with its reference writer, which is slow: a few thousand points.
constexpr size_t kMaxFusedPoints = 4096;
// The reference grid filter holds dense grids of C^3 cells; it runs only for small depth ranges.
constexpr float kMaxReferenceDepth = 64 * 30.0f;

enum Flags : uint8_t {
    kOtherFormat = 1,
    kHugeClaim = 2,
    kWideUnit = 4,
    kShortPayloadSize = 8,
    kPlyFile = 16,
};

struct FuzzFrame {
    PhotoInfo info{};
    std::vector<uint8_t> payload;  // exactly the buffer the frame points into

    FuzzFrame(const PhotoInfo& header, std::basic_string_view<uint8_t> raw)
        : info(header), payload(raw.begin(), raw.end()) {
        if (payload.empty()) payload.shrink_to_fit();
        info.data = payload.empty() ? nullptr : payload.data();
    }
    FuzzFrame(const FuzzFrame& other) : info(other.info), payload(other.payload) {
        info.data = payload.empty() ? nullptr : payload.data();
    }
};

// The header; its payload size is set once the raw points are known.
PhotoInfo HeaderFrom(FuzzInput& in, uint8_t flags) {
    PhotoInfo header{};
    header.pixel_format = (flags & kOtherFormat) != 0 ? in.U32() : kPixelCoord3D_ABC16;
    if ((flags & kHugeClaim) != 0) {
        header.width = in.U32();
        header.height = in.U32();
    } else {
        header.width = in.U16() % 301;
        header.height = in.U16() % 301;
    }
    header.cloud_unit = (flags & kWideUnit) != 0 ? in.U32() : in.U8();
    return header;
}

size_t ClaimedPoints(const PhotoInfo& frame) { return size_t{frame.width} * frame.height; }

void CheckDecode(GigeCamera& camera, const FuzzFrame& frame) {
    const tavi::CloudExtent extent = tavi::ExtentOf(frame.info);
    std::vector<float> fast(extent.points * 3 + 1, -1.0f);
    std::vector<float> reference(extent.points * 3 + 1, 0.0f);
    FuzzFrame copy(frame);
    camera.Convert3DPointFromCharToFloat(copy.info, fast.data());
    if (copy.info.data == nullptr) return;
    tavi::DecodePointsReference(copy.info.data, extent.stored, copy.info.cloud_unit, reference.data());
    reference.back() = -1.0f;  // the guard entry past the claimed points stays untouched
    Expect(std::memcmp(fast.data(), reference.data(), fast.size() * sizeof(float)) == 0,
           "the decoded cloud matches the plain loop, missing points are (0, 0, 0)");
}

int CloudPlane(GigeCamera& camera, PhotoInfo& frame, short* plane, int axis) {
    switch (axis) {
        case 0:
            return camera.GetCloudPlaneX(frame, plane);
        case 1:
            return camera.GetCloudPlaneY(frame, plane);
        default:
            return camera.GetCloudPlaneZ(frame, plane);
    }
}

void CheckPlanes(GigeCamera& camera, const FuzzFrame& frame) {
    const size_t points = ClaimedPoints(frame.info);
    for (int axis = 0; axis < 3; ++axis) {
        FuzzFrame copy(frame);
        std::vector<short> fast(points + 1, 0x5A5A);
        const int result = CloudPlane(camera, copy.info, fast.data(), axis);
        if (result != 0) {
            Expect(!tavi::IsCloudFrame(&copy.info), "only a frame that is no cloud is refused");
            continue;
        }
        std::vector<short> reference(points + 1, 0x5A5A);
        Expect(tavi::ExtractPlaneReference(copy.info, reference.data(), axis) == 0, "the reference plane");
        Expect(fast == reference, "the plane matches the plain loop and stays inside its buffer");
    }
}

void CheckWindowFilter(GigeCamera& camera, const FuzzFrame& frame, double k) {
    FuzzFrame fast(frame), reference(frame);
    camera.FilterPointCloud(fast.info, k);
    if (!tavi::IsCloudFrame(&frame.info)) {
        Expect(fast.payload == frame.payload, "a frame that is no cloud is left alone");
        return;
    }
    Expect(tavi::WindowFilterReference(reference.info, k) == 0, "the reference window filter");
    Expect(fast.payload == reference.payload, "the window filter keeps what the plain loop keeps");
}

bool SmallDepthRange(const PhotoInfo& frame) {
    if (frame.cloud_unit == 0) return false;
    uint16_t deepest = 0;
    const size_t stored = tavi::ExtentOf(frame).stored;
    for (size_t n = 0; n < stored; ++n) deepest = std::max(deepest, tavi::RawWord(frame.data, n, 2));
    return static_cast<float>(deepest) / static_cast<float>(frame.cloud_unit) <= kMaxReferenceDepth;
}

void CheckGridFilter(GigeCamera& camera, const FuzzFrame& frame, int min_population) {
    FuzzFrame fast(frame), reference(frame);
    const int result = camera.SpatialFilterPointcloud(fast.info, min_population);
    if (!tavi::IsCloudFrame(&frame.info)) {
        Expect(result != 0 && fast.payload == frame.payload, "a frame that is no cloud is refused");
        return;
    }
    Expect(result == 0, "the grid filter needs little memory for a small payload");
    if (!SmallDepthRange(frame.info)) return;
    Expect(tavi::GridFilterReference(reference.info, min_population) == 0, "the reference grid filter");
    Expect(fast.payload == reference.payload, "the grid filter keeps what the plain loop keeps");
}

// A file in memory with a path the writers can open: fast, and nothing left behind on disk.
class MemoryFile {
  public:
    MemoryFile() : fd_(memfd_create("tavi-fuzz-cloud", 0)), path_("/proc/self/fd/" + std::to_string(fd_)) {}
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    char* path() { return path_.data(); }
    std::string Contents() const {
        std::string text;
        char chunk[4096];
        for (off_t at = 0;;) {
            const ssize_t got = pread(fd_, chunk, sizeof chunk, at);
            if (got <= 0) return text;
            text.append(chunk, static_cast<size_t>(got));
            at += got;
        }
    }

  private:
    int fd_;
    std::string path_;
};

std::string ReferenceText(const PhotoInfo& frame, bool ply) {
    char* text = nullptr;
    size_t length = 0;
    FILE* file = open_memstream(&text, &length);
    if (file == nullptr) return "";
    tavi::WritePointTextReference(frame, file, ply);
    std::fclose(file);
    std::string result(text, length);
    std::free(text);
    return result;
}

// The text writers against their one-fprintf-per-value reference, byte for byte: one file per input,
// a PLY or a point text file as the flags say (each file, however small, sets up its number tables).
void CheckTextFile(GigeCamera& camera, const FuzzFrame& frame, bool ply) {
    static MemoryFile file;
    if (!file.ok()) return;
    FuzzFrame copy(frame);
    const int result = ply ? camera.SavePointCloudToPly(copy.info, file.path())
                           : camera.SavePointCloudToTxt(copy.info, file.path());
    if (!tavi::IsCloudFrame(&frame.info)) {
        Expect(result != 0, "a frame that is no cloud is not written");
        return;
    }
    Expect(result == 0, "a text file is written");
    Expect(file.Contents() == ReferenceText(copy.info, ply), "the text file matches the plain writer");
}

// Fused records of any float values (the payload's bytes read as floats, over and over): infinities,
// NaNs and values far beyond any coordinate.
std::vector<float> FusedRecordsFrom(const FuzzFrame& frame) {
    std::vector<float> values(frame.payload.size() / sizeof(float));
    if (!values.empty()) std::memcpy(values.data(), frame.payload.data(), values.size() * sizeof(float));
    std::vector<float> records(ClaimedPoints(frame.info) * 6 + 1);  // never null, even for no points
    for (size_t i = 0; i < records.size(); ++i)
        records[i] = values.empty() ? static_cast<float>(i % 7) * 37.25f - 60.0f : values[i % values.size()];
    return records;
}

// The reference writes a colour with printf("%d", int(value)), which is defined only for values that
// truncate to a 32-bit integer; the comparison keeps to those (the fast writer gives 0 for the rest).
void KeepColoursInIntRange(std::vector<float>& records) {
    for (size_t i = 0; i + 1 < records.size(); ++i) {
        if (i % 6 >= 3 && !(std::fabs(records[i]) < 2147483520.0f)) records[i] = 255.0f;
    }
}

void CheckFusedFile(GigeCamera& camera, const FuzzFrame& frame) {
    static MemoryFile file;
    if (!file.ok()) return;
    FuzzFrame copy(frame);
    std::vector<float> records = FusedRecordsFrom(frame);
    const bool cloud = tavi::IsCloudFrame(&frame.info);
    Expect((camera.SavePointCloudWithImageToTxt(copy.info, records.data(), file.path()) == 0) == cloud,
           "a fused text file of a cloud, whatever its values");
    if (!cloud) return;
    KeepColoursInIntRange(records);
    Expect(camera.SavePointCloudWithImageToTxt(copy.info, records.data(), file.path()) == 0,
           "a fused text file is written");
    char* text = nullptr;
    size_t length = 0;
    FILE* expected = open_memstream(&text, &length);
    if (expected == nullptr) return;
    tavi::WriteFusedTextReference(records.data(), ClaimedPoints(frame.info), expected);
    std::fclose(expected);
    Expect(file.Contents() == std::string(text, length), "the fused text file matches the plain writer");
    std::free(text);
}

void CheckPcdFile(GigeCamera& camera, const FuzzFrame& frame) {
    static char null_device[] = "/dev/null";
    FuzzFrame copy(frame);
    const bool cloud = tavi::IsCloudFrame(&frame.info);
    Expect((camera.SavePointCloudToPcd(copy.info, null_device) == 0) == cloud, "a PCD file of a cloud");
    Expect(copy.payload == frame.payload, "writing leaves the frame alone");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t flags = in.U8();
    const double k = in.U8() / 16.0;
    const int min_population = static_cast<int8_t>(in.U8());
    const uint16_t claimed_payload = in.U16();
    PhotoInfo header = HeaderFrom(in, flags);
    const auto raw = in.Rest();
    // The payload size may claim less than the buffer holds, never more: the buffer is the payload.
    header.payload_size = static_cast<uint32_t>(
        (flags & kShortPayloadSize) != 0 ? std::min<size_t>(claimed_payload, raw.size()) : raw.size());
    const FuzzFrame frame(header, raw);

    GigeCamera camera;
    tavi::fuzz::LogEverythingTo(&camera.log);
    CheckWindowFilter(camera, frame, k);
    CheckGridFilter(camera, frame, min_population);
    CheckTextFile(camera, frame, (flags & kPlyFile) != 0);
    if (ClaimedPoints(frame.info) <= kMaxClaimedPoints) {
        CheckDecode(camera, frame);
        CheckPlanes(camera, frame);
        CheckPcdFile(camera, frame);
    }
    if (ClaimedPoints(frame.info) <= kMaxFusedPoints) {
        CheckFusedFile(camera, frame);
    }
    return 0;
}
