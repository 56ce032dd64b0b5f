#include "processing/cloud_decode.h"

#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "processing/cloud_frame.h"
#include "processing/cloud_vectors.h"
#include "processing/core_split.h"

namespace tavi {
namespace {

using namespace vectors;

__attribute__((always_inline)) inline void DecodeBlocks(const uint8_t* raw, size_t blocks, float unit,
                                                        float* out) {
    const Floats8 divisor = Broadcast(unit);
    for (size_t block = 0; block < blocks; ++block) {
        for (int part = 0; part < kPartsPerBlock; ++part) {
            const Floats8 values = DecodeWords(LoadWords(raw + block * kBlockBytes, part), part, divisor);
            std::memcpy(out + block * kBlockFloats + size_t{8} * part, &values, sizeof values);
        }
    }
}

void DecodeBlocksPortable(const uint8_t* raw, size_t blocks, float unit, float* out) {
    DecodeBlocks(raw, blocks, unit, out);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void DecodeBlocksAvx2(const uint8_t* raw, size_t blocks, float unit,
                                                      float* out) {
    DecodeBlocks(raw, blocks, unit, out);
}
#endif

using BlockDecoder = void (*)(const uint8_t*, size_t, float, float*);

BlockDecoder PickBlockDecoder() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) return DecodeBlocksAvx2;
#endif
    return DecodeBlocksPortable;
}

bool Overlaps(const void* a, size_t a_bytes, const void* b, size_t b_bytes) {
    const auto a0 = reinterpret_cast<uintptr_t>(a), b0 = reinterpret_cast<uintptr_t>(b);
    return a0 < b0 + b_bytes && b0 < a0 + a_bytes;
}

}  // namespace

void DecodePointsReference(const uint8_t* raw, size_t count, uint32_t cloud_unit, float* out) {
    const float unit = static_cast<float>(cloud_unit);
    for (size_t n = 0; n < count; ++n) {
        for (int axis = 0; axis < 3; ++axis) {
            out[3 * n + axis] = static_cast<float>(RawCoordinate(raw, n, axis)) / unit;
        }
    }
}

void DecodePointsOnThisCore(const uint8_t* raw, size_t count, uint32_t cloud_unit, float* out) {
    static const BlockDecoder decode_blocks = PickBlockDecoder();
    const size_t blocks = count / kPointsPerBlock;
    decode_blocks(raw, blocks, static_cast<float>(cloud_unit), out);
    const size_t tail = blocks * kPointsPerBlock;
    DecodePointsReference(raw + tail * kRawPointBytes, count - tail, cloud_unit,
                          out + tail * kDecodedPointFloats);
}

void DecodePoints(const uint8_t* raw, size_t count, uint32_t cloud_unit, float* out) {
    SplitAcrossCores(count, [&](size_t begin, size_t end) {
        DecodePointsOnThisCore(raw + begin * kRawPointBytes, end - begin, cloud_unit,
                               out + begin * kDecodedPointFloats);
    });
}

void DecodeFrame(const PhotoInfo& frame, float* out) {
    const CloudExtent extent = ExtentOf(frame);
    const size_t raw_bytes = extent.stored * kRawPointBytes;
    const size_t out_bytes = extent.points * kDecodedPointFloats * sizeof(float);
    const uint8_t* raw = frame.data;
    uint8_t* scratch = nullptr;
    if (Overlaps(raw, raw_bytes, out, out_bytes)) {
        // Decoding into the payload itself would overwrite points before they are read.
        scratch = static_cast<uint8_t*>(std::malloc(raw_bytes ? raw_bytes : 1));
        if (scratch == nullptr) return;
        std::memcpy(scratch, raw, raw_bytes);
        raw = scratch;
    }
    DecodePoints(raw, extent.stored, frame.cloud_unit, out);
    std::memset(out + extent.stored * kDecodedPointFloats, 0,
                (extent.points - extent.stored) * kDecodedPointFloats * sizeof(float));
    std::free(scratch);
}

}  // namespace tavi

void GigeCamera::Convert3DPointFromCharToFloat(PhotoInfo& frame, float* output) {
    const PhotoInfo* checked = tavi::FrameAddress(frame);
    if (checked == nullptr || checked->data == nullptr || output == nullptr) {
        TAVI_LOG_ERROR(
            &log, "[function:Convert3DPointFromCharToFloat] the incoming parameters error, error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return;
    }
    tavi::DecodeFrame(*checked, output);
}
