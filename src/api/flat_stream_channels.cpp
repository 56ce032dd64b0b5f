// Opening and closing a camera's stream channels into the three slots of its table row.

#include "TaviSDK/FlatInterface.h"
#include "api/flat_guard.h"

using tavi::api::kNoCamera;
using tavi::api::OnCamera;
using tavi::api::SlotAt;

extern "C" {

int StreamOn(int index, unsigned short channel) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& camera) {
        GigeStream** slot = SlotAt(index, channel);
        if (slot == nullptr) {
            // The table has slots for channels 0 to 2 only; a stream it cannot hold is not opened.
            TAVI_LOG_ERROR(&camera.log, "[function:StreamOn] The channel index is invalid. error code: %d",
                           TAVI_ERR_CHANNEL_INDEX);
            return static_cast<int>(TAVI_ERR_CHANNEL_INDEX);
        }
        if (*slot != nullptr) {
            // Opening it again would leave the running stream without an owner.
            TAVI_LOG_ERROR(&camera.log,
                           "[function:StreamOn] The stream channel %d is already open. error code: %d",
                           channel, TAVI_ERR_INVALID_ARGUMENT);
            return static_cast<int>(TAVI_ERR_INVALID_ARGUMENT);
        }
        GigeStream* opened = nullptr;
        const int code = camera.StreamOn(channel, &opened);
        *slot = opened;
        return code;
    });
}

int StreamOff(int index, unsigned short channel) {
    GigeStream** slot = SlotAt(index, channel);
    if (slot == nullptr || *slot == nullptr) return kNoCamera;
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& camera) {
        GigeStream* stream = *slot;
        // The slot is emptied whatever the camera answers: the stream is destroyed either way.
        *slot = nullptr;
        return camera.StreamOff(channel, stream);
    });
}

}  // extern "C"
