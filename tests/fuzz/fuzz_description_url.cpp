// The description URL as the camera's URL register holds it (512 bytes, any content), and the
// chunked read it leads to: whatever the text, an accepted location yields chunks that fit the
// memory-read acknowledge and the file buffer exactly.

#include <algorithm>
#include <string>

#include "camera/description_url.h"
#include "fuzz_input.h"
#include "net/gvcp_protocol.h"

namespace {

using tavi::fuzz::Expect;

void ExpectChunkFits(const tavi::DescriptionLocation& location, uint32_t index) {
    const tavi::DescriptionChunk chunk = tavi::DescriptionChunkAt(location, index);
    Expect(chunk.keep_count > 0 && chunk.keep_count <= chunk.request_count, "a chunk keeps what it asks for");
    Expect(chunk.request_count % 4 == 0, "a memory read asks for whole words");
    Expect(chunk.request_count <= tavi::gvcp::kMemMaxData, "a chunk fits one memory-read acknowledge");
    Expect(static_cast<uint64_t>(chunk.file_offset) + chunk.keep_count <= location.length,
           "a chunk stays inside the file buffer");
    Expect(chunk.address == location.address + chunk.file_offset, "a chunk reads its own part of the file");
}

void ExpectSoundLocation(const tavi::DescriptionLocation& location) {
    Expect(!location.file_name.empty() && location.file_name.size() <= tavi::kMaxFileNameLength,
           "the file name is short");
    Expect(location.file_name.find_first_of("/\\") == std::string::npos, "the file name has no directory");
    Expect(location.file_name.find_first_not_of('.') != std::string::npos, "the file name is not only dots");
    Expect(!location.file_type.empty() && location.file_type.size() <= tavi::kMaxFileTypeLength,
           "the file type is short");
    Expect(location.length > 0 && location.length <= tavi::kMaxDescriptionLength, "the length is sane");
    Expect(static_cast<uint64_t>(location.address) + location.length <= (uint64_t{1} << 32),
           "the file lies inside the address space");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The register is 512 bytes; the reader adds a terminating zero.
    const std::string url(reinterpret_cast<const char*>(data), std::min(size, tavi::gvcp::kUrlSize));
    tavi::DescriptionLocation location;
    if (!tavi::ParseDescriptionUrl(url, &location)) return 0;
    ExpectSoundLocation(location);
    const uint32_t chunks = tavi::DescriptionChunkCount(location.length);
    Expect(chunks > 0 && static_cast<uint64_t>(chunks) * tavi::kDescriptionChunkSize >= location.length,
           "the chunks cover the file");
    // The first chunks, the last ones, and every one for a small file.
    for (uint32_t index = 0; index < chunks; ++index) {
        if (index == 4 && chunks > 8) index = chunks - 4;
        ExpectChunkFits(location, index);
    }
    return 0;
}
