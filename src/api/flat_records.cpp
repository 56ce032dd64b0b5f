// The flat functions on a camera that also read its discovery record: connecting, the privilege
// status, the firmware upgrade and the version texts. A row without a record (the list changed
// size since CreateCamera) answers as a missing camera.

#include "TaviSDK/FlatInterface.h"
#include "api/flat_guard.h"

using tavi::api::kNoCamera;
using tavi::api::OnCamera;
using tavi::api::RecordAt;

namespace {

char kNoText[] = "";

// The privilege status a caller reads when nothing could be asked.
constexpr int kNoStatus = TAVI_ERR_FLAT_NO_STATUS;

}  // namespace

extern "C" {

int CameraConnect(int index) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& camera) {
        DiscoveryInfo* record = RecordAt(index);
        return record == nullptr ? kNoCamera : camera.CameraConnect(record);
    });
}

int GetCameraCCPStatus(int index, int* status) {
    if (status != nullptr) *status = kNoStatus;
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& camera) {
        DiscoveryInfo* record = RecordAt(index);
        if (record == nullptr) return kNoCamera;
        int read = -1;
        const int code = camera.GetCameraCCPStatus(record, &read);
        if (status != nullptr) *status = read;
        return code;
    });
}

int FirmwareUpgrade(int index, const char* path) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& camera) {
        const DiscoveryInfo* record = RecordAt(index);
        return record == nullptr ? kNoCamera : camera.FirmwareUpgrade(*record, path);
    });
}

char* CameraVerions(int index) {
    return OnCamera(__func__, index, kNoText, [&](GigeCamera&) {
        const DiscoveryInfo* record = RecordAt(index);
        return record == nullptr ? kNoText : GigeCamera::CameraVerion(*record);
    });
}

char* SDKVersion(int index) {
    return OnCamera(__func__, index, kNoText, [](GigeCamera&) { return GigeCamera::SDKVersion(); });
}

}  // extern "C"
