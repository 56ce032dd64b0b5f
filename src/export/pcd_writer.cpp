#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "export/cloud_files.h"
#include "export/replacement_file.h"
#include "processing/cloud_decode.h"
#include "processing/cloud_frame.h"

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

// Branch-free: holes are scattered, so a branch per point would be mispredicted often.
void MarkMissingPoints(float* decoded, size_t count) {
    for (size_t n = 0; n < count; ++n) {
        float* point = decoded + 3 * n;
        const uint32_t missing = 0u - static_cast<uint32_t>(IsMissingInPcd(point[2]));
        for (int axis = 0; axis < 3; ++axis) {
            uint32_t word;
            std::memcpy(&word, point + axis, sizeof word);
            word = (word & ~missing) | (kMissingWord & missing);
            std::memcpy(point + axis, &word, sizeof word);
        }
    }
}

// The body goes out in chunks that stay in the cache between decoding and writing; the file sees the
// same bytes as from one buffer of the whole cloud.
constexpr size_t kChunkPoints = 16384;

bool WriteStoredPoints(FILE* file, const uint8_t* raw, size_t stored, uint32_t cloud_unit, float* chunk) {
    for (size_t first = 0; first < stored; first += kChunkPoints) {
        const size_t count = std::min(kChunkPoints, stored - first);
        DecodePointsOnThisCore(raw + first * kRawPointBytes, count, cloud_unit, chunk);
        MarkMissingPoints(chunk, count);
        if (std::fwrite(chunk, kDecodedPointFloats * sizeof(float), count, file) != count) return false;
    }
    return true;
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
    auto* chunk = static_cast<float*>(std::malloc(kChunkPoints * kDecodedPointFloats * sizeof(float)));
    if (chunk == nullptr) return TAVI_ERR_NO_WRITER;
    ReplacementFile output(path);
    FILE* file = output.file();
    bool written = file != nullptr;
    if (written) {
        char header[512];
        const size_t header_length = FormatPcdHeader(header, sizeof header, frame, extent.points);
        written = std::fwrite(header, 1, header_length, file) == header_length &&
                  WriteStoredPoints(file, frame.data, extent.stored, frame.cloud_unit, chunk) &&
                  WriteMissingPoints(file, extent.points - extent.stored);
        // An incomplete file never takes the old one's place.
        written = written && output.Commit();
    }
    std::free(chunk);
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
