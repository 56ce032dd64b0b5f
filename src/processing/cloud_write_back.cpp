#include "processing/cloud_write_back.h"

#include "processing/cloud_frame.h"
#include "processing/cloud_vectors.h"

namespace tavi {
namespace {

using namespace vectors;

__attribute__((always_inline)) inline void RequantiseBlocks(uint8_t* raw, size_t blocks, float unit) {
    const Floats8 scale = Broadcast(unit);
    for (size_t block = 0; block < blocks; ++block) {
        uint8_t* words = raw + block * kBlockBytes;
        for (int part = 0; part < kPartsPerBlock; ++part) {
            StoreWords(words, part, QuantiseFloats(DecodeWords(LoadWords(words, part), part, scale), scale));
        }
    }
}

void RequantiseBlocksPortable(uint8_t* raw, size_t blocks, float unit) {
    RequantiseBlocks(raw, blocks, unit);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void RequantiseBlocksAvx2(uint8_t* raw, size_t blocks, float unit) {
    RequantiseBlocks(raw, blocks, unit);
}
#endif

using BlockRequantiser = void (*)(uint8_t*, size_t, float);

BlockRequantiser PickBlockRequantiser() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) return RequantiseBlocksAvx2;
#endif
    return RequantiseBlocksPortable;
}

}  // namespace

void RequantisePointsReference(uint8_t* raw, size_t count, uint32_t cloud_unit) {
    const float unit = static_cast<float>(cloud_unit);
    for (size_t n = 0; n < count; ++n) {
        float decoded[3];
        for (int axis = 0; axis < 3; ++axis)
            decoded[axis] = static_cast<float>(RawCoordinate(raw, n, axis)) / unit;
        WriteBackPoint(raw, n, unit, decoded);
    }
}

void RequantisePoints(uint8_t* raw, size_t count, uint32_t cloud_unit) {
    static const BlockRequantiser requantise_blocks = PickBlockRequantiser();
    const size_t blocks = count / kPointsPerBlock;
    requantise_blocks(raw, blocks, static_cast<float>(cloud_unit));
    const size_t tail = blocks * kPointsPerBlock;
    RequantisePointsReference(raw + tail * kRawPointBytes, count - tail, cloud_unit);
}

}  // namespace tavi
