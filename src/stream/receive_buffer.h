#pragma once
// How much a stream's UDP socket asks the kernel to buffer, shared with the tools that check whether
// the kernel's limit (net.core.rmem_max) allows it.

#include <cstdint>

namespace tavi::stream {

// Frames of the channel's payload size the receive buffer holds.
inline constexpr uint32_t kFramesInReceiveBuffer = 6;

}  // namespace tavi::stream
