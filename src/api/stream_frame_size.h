#pragma once
// The payload size of an open stream's frames: what a capture copies at most, so a private capture
// buffer of that size can never be overrun.

#include <cstdint>

#include "TaviSDK/GigeStream.h"

namespace tavi::api {

struct StreamFrameSize {
    static uint32_t Of(const GigeStream& stream);
};

}  // namespace tavi::api
