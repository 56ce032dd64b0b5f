#include "api/stream_frame_size.h"

#include "stream/stream_core.h"

namespace tavi::api {

uint32_t StreamFrameSize::Of(const GigeStream& stream) {
    return stream.core_ == nullptr ? 0 : stream.core_->config.info.payload_size;
}

}  // namespace tavi::api
