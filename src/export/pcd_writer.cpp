#include <array>
#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "export/cloud_files.h"
#include "processing/cloud_decode.h"
#include "processing/cloud_frame.h"
#include "processing/core_split.h"

namespace tavi {
namespace {

constexpr uint32_t kMissingWord = 0xFFC00000;  // a quiet NaN marks a point without measurement

size_t FormatPcdHeader(char* out, size_t size, const PhotoInfo& frame, size_t points) {
    const int length = std::snprintf(out, size,
                                     "# .PCD v0.7 - Point Cloud Data file format\r\n"
                                     "VERSION 0.7\r\n"
                                     "FIELDS x y z\r\n"
                                     "SIZE 4 4 4\r\n"
                                     "TYPE F F F\r\n"
                                     "COUNT 1 1 1\r\n"
                                     "WIDTH %u\r\n"
                                     "HEIGHT %u\r\n"
                                     "VIEWPOINT 0 0 0 1 0 0 0\r\n"
                                     "POINTS %zu\r\n"
                                     "DATA binary\r\n",
                                     frame.width, frame.height, points);
    return length > 0 ? static_cast<size_t>(length) : 0;
}

void MarkMissingPoints(float* decoded, size_t count) {
    SplitAcrossCores(count, [decoded](size_t begin, size_t end) {
        for (size_t n = begin; n < end; ++n) {
            float* point = decoded + 3 * n;
            if (!IsMissingInPcd(point[2])) continue;
            for (int axis = 0; axis < 3; ++axis)
                std::memcpy(point + axis, &kMissingWord, sizeof kMissingWord);
        }
    });
}

// Points that the header claims but the payload lacks are written as missing points.
bool WriteMissingPoints(FILE* file, size_t count) {
    static constexpr size_t kChunkPoints = 4096;
    static const std::array<uint32_t, kChunkPoints* 3> chunk = [] {
        std::array<uint32_t, kChunkPoints * 3> words;
        words.fill(kMissingWord);
        return words;
    }();
    while (count > 0) {
        const size_t points = count < kChunkPoints ? count : kChunkPoints;
        if (std::fwrite(chunk.data(), 12, points, file) != points) return false;
        count -= points;
    }
    return true;
}

}  // namespace

int WritePcdFile(const PhotoInfo& frame, const char* path) {
    const CloudExtent extent = ExtentOf(frame);
    auto* decoded =
        static_cast<float*>(std::malloc((extent.stored * kDecodedPointFloats + 1) * sizeof(float)));
    if (decoded == nullptr) return TAVI_ERR_NO_WRITER;
    DecodePoints(frame.data, extent.stored, frame.cloud_unit, decoded);
    MarkMissingPoints(decoded, extent.stored);

    FILE* file = std::fopen(path, "wb");
    bool written = file != nullptr;
    if (written) {
        char header[512];
        const size_t header_length = FormatPcdHeader(header, sizeof header, frame, extent.points);
        const size_t body_bytes = extent.stored * kDecodedPointFloats * sizeof(float);
        written = std::fwrite(header, 1, header_length, file) == header_length &&
                  std::fwrite(decoded, 1, body_bytes, file) == body_bytes &&
                  WriteMissingPoints(file, extent.points - extent.stored);
        written = (std::fclose(file) == 0) && written;
    }
    std::free(decoded);
    return written ? TAVI_OK : TAVI_ERR_NO_WRITER;
}

}  // namespace tavi

int GigeCamera::SavePointCloudToPcd(PhotoInfo& frame, char* path) {
    const PhotoInfo* checked = tavi::FrameAddress(frame);
    if (!tavi::IsCloudFrame(checked) || path == nullptr) {
        TAVI_LOG_ERROR(
            &log,
            "[function:SavePointCloudToPcd] Failed to save point cloud data due to the pixel_format "
            "error, error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const int result = tavi::WritePcdFile(*checked, path);
    if (result != TAVI_OK) {
        TAVI_LOG_ERROR(&log, "[function:SavePointCloudToPcd] Failed to save point cloud data, error code: %d",
                       result);
    }
    return result;
}
