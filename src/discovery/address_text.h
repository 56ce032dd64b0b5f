#pragma once
// Dotted-decimal address text, with the checks and log lines every caller shares.

#include <cstddef>
#include <cstdint>

class cameralog;

namespace tavi {

// Host-order address of a dotted text; 0 (with a warning) for null, "0.0.0.0" or unparsable text.
uint32_t ParseIpText(cameralog* log, const char* text);

// Writes the dotted text of a host-order address into `buffer` and returns it; 0 and 0xCDCDCDCD
// give the constant "0.0.0.0" (with a warning).
char* FormatIpText(cameralog* log, uint32_t address, char* buffer, size_t buffer_size);

}  // namespace tavi
