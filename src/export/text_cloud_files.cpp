// The PLY file, the point text file and the point-with-colour text file: one writer that differs per
// file only in its messages, its header and its lines.

#include <cstdio>

#include "TaviSDK/GigeCamera.h"
#include "export/cloud_files.h"
#include "export/point_lines.h"
#include "export/replacement_file.h"
#include "export/text_buffer.h"
#include "processing/cloud_frame.h"

namespace tavi {
namespace {

struct TextFileKind {
    const char* bad_input_message;
    const char* open_failure_message;
    const char* write_failure_message;
    bool ply_header;
    bool says_open_failure_on_stdout;
};

constexpr TextFileKind kPlyFile{
    "[function:SavePointCloudToPly] Failed to save point cloud data due to the incoming parameters error, "
    "error code: %d",
    "[function:SavePointCloudToPly] Failed to save point cloud data due to open the file error, error code: "
    "%d",
    "[function:SavePointCloudToPly] Failed to save point cloud data, error code: %d", true, true};

constexpr TextFileKind kPointTextFile{
    "[function:SavePointCloudToTxt] Failed to save point cloud data due to the incoming parameters error, "
    "error code: %d",
    "[function:SavePointCloudToTxt] Failed to save point cloud data due to open the file error, error code: "
    "%d",
    "[function:SavePointCloudToTxt] Failed to save point cloud data, error code: %d", false, false};

constexpr TextFileKind kFusedTextFile{
    "[function:SavePointCloudWithImageToTxt] Failed to save data due to the incoming parameters error, error "
    "code: %d",
    "[function:SavePointCloudWithImageToTxt] Failed to save data due to open the file error, error code: %d",
    "[function:SavePointCloudWithImageToTxt] Failed to save data, error code: %d", false, false};

void AppendPlyHeader(TextBuffer& buffer, size_t vertices) {
    char header[256];
    const int length = std::snprintf(header, sizeof header,
                                     "ply\r\nformat ascii 1.0\r\nelement vertex %zu\r\nproperty float x\r\n"
                                     "property float y\r\nproperty float z\r\nend_header\r\n",
                                     vertices);
    buffer.Append(header, static_cast<size_t>(length));
}

// Opens the file, writes the optional header and the lines, and closes it: 0, -42 (not opened) or
// -41 (not written completely), with the kind's log line.
template <class Lines>
int WriteTextFile(cameralog* log, const TextFileKind& kind, const char* path, const Lines& lines,
                  size_t count) {
    ReplacementFile output(path);
    FILE* file = output.file();
    if (file == nullptr) {
        if (kind.says_open_failure_on_stdout) std::puts("open file error");
        TAVI_LOG_ERROR(log, kind.open_failure_message, TAVI_ERR_FILE_OPEN);
        return TAVI_ERR_FILE_OPEN;
    }
    bool written;
    {
        TextBuffer buffer(file);
        if (kind.ply_header) AppendPlyHeader(buffer, CountSelected(lines, count));
        written = WriteLines(lines, count, buffer);
    }
    // An incomplete file never takes the old one's place.
    written = written && output.Commit();
    if (!written) {
        TAVI_LOG_ERROR(log, kind.write_failure_message, TAVI_ERR_NO_WRITER);
        return TAVI_ERR_NO_WRITER;
    }
    return TAVI_OK;
}

int SavePointText(cameralog* log, const TextFileKind& kind, const PhotoInfo* frame, const char* path) {
    if (!IsCloudFrame(frame) || path == nullptr) {
        TAVI_LOG_ERROR(log, kind.bad_input_message, TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const DecodedPointLines lines{frame->data, static_cast<float>(frame->cloud_unit), kCrLf};
    return WriteTextFile(log, kind, path, lines, ExtentOf(*frame).stored);
}

}  // namespace

void WritePointTextReference(const PhotoInfo& frame, FILE* file, bool ply_header) {
    const CloudExtent extent = ExtentOf(frame);
    const DecodedPointLines lines{frame.data, static_cast<float>(frame.cloud_unit), kCrLf};
    if (ply_header) {
        std::fprintf(file, "ply\r\n");
        std::fprintf(file, "format ascii 1.0\r\n");
        std::fprintf(file, "element vertex %d\r\n", static_cast<int>(CountSelected(lines, extent.stored)));
        std::fprintf(file, "property float x\r\n");
        std::fprintf(file, "property float y\r\n");
        std::fprintf(file, "property float z\r\n");
        std::fprintf(file, "end_header\r\n");
    }
    for (size_t n = 0; n < extent.stored; ++n) {
        if (!lines.Selected(n)) continue;
        for (int axis = 0; axis < 3; ++axis) std::fprintf(file, "%.2f ", lines.Coordinate(n, axis));
        std::fprintf(file, "\r\n");
    }
}

// A colour value as an int, truncated toward zero; one that is no finite 32-bit integer is 0 (the
// conversion alone would be undefined).
static int ColourValue(float value) {
    return value >= -2147483648.0f && value < 2147483648.0f ? static_cast<int>(value) : 0;
}

void WriteFusedTextReference(const float* records, size_t count, FILE* file) {
    for (size_t n = 0; n < count; ++n) {
        const float* record = records + 6 * n;
        if (!(record[2] > kNoMeasurementDepth)) continue;
        std::fprintf(file, "%.2f ", record[0]);
        std::fprintf(file, "%.2f ", record[1]);
        std::fprintf(file, "%.2f ", record[2]);
        std::fprintf(file, "%d ", ColourValue(record[3]));
        std::fprintf(file, "%d ", ColourValue(record[4]));
        std::fprintf(file, "%d", ColourValue(record[5]));
        std::fprintf(file, "\n");
    }
}

}  // namespace tavi

int GigeCamera::SavePointCloudToPly(PhotoInfo& frame, char* path) {
    return tavi::SavePointText(&log, tavi::kPlyFile, tavi::FrameAddress(frame), path);
}

int GigeCamera::SavePointCloudToTxt(PhotoInfo& frame, char* path) {
    return tavi::SavePointText(&log, tavi::kPointTextFile, tavi::FrameAddress(frame), path);
}

int GigeCamera::SavePointCloudWithImageToTxt(PhotoInfo& frame, float* fused_points, char* path) {
    const PhotoInfo* checked = tavi::FrameAddress(frame);
    if (!tavi::IsCloudFrame(checked) || fused_points == nullptr || path == nullptr) {
        TAVI_LOG_ERROR(&log, tavi::kFusedTextFile.bad_input_message, TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const tavi::FusedRecordLines lines{fused_points, tavi::kLf};
    const size_t records = static_cast<size_t>(checked->width) * checked->height;
    return tavi::WriteTextFile(&log, tavi::kFusedTextFile, path, lines, records);
}
