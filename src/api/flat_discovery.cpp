// The flat functions on the discovery list: finding, sorting and re-addressing cameras, and the log
// switches. They need no camera table.

#include "TaviSDK/FlatInterface.h"
#include "api/flat_guard.h"

using tavi::api::FlatState;
using tavi::api::OnState;
using tavi::api::RecordAt;

namespace {

char kNoText[] = "";

}  // namespace

extern "C" {

int DiscoverCamera(void) {
    return OnState(__func__, TAVI_ERR_NO_ADAPTER_LIST, [](FlatState& state) {
        // A fresh list: the records of an earlier discovery are gone, their storage too.
        std::vector<DiscoveryInfo>().swap(state.list);
        return state.discovery.DiscoverCamera(&state.list);
    });
}

int CameraSort(int mode) {
    return OnState(__func__, TAVI_ERR_NO_CAMERAS_TO_SORT,
                   [&](FlatState& state) { return state.discovery.CameraSort(&state.list, mode); });
}

void SetLogLevel(int error, int debug, int warning, int info) {
    OnState(__func__, 0, [&](FlatState& state) {
        state.discovery.SetLogLevelSwitch(error, debug, warning, info);
        return 0;
    });
}

char* CameraIP(int index) {
    return OnState(__func__, kNoText, [&](FlatState& state) {
        const DiscoveryInfo* record = RecordAt(index);
        return record == nullptr ? kNoText : state.discovery.ConvertIpIntToString(record->camera_ip);
    });
}

int ForceIP(int index, char* ip, char* mask, char* gateway) {
    return OnState(__func__, tavi::api::kNoCamera, [&](FlatState& state) {
        const DiscoveryInfo* record = RecordAt(index);
        return record == nullptr ? tavi::api::kNoCamera : state.discovery.ForceIp(*record, ip, mask, gateway);
    });
}

bool WhetherIsSameSegment(int index) {
    return OnState(__func__, false, [&](FlatState& state) {
        const DiscoveryInfo* record = RecordAt(index);
        return record != nullptr && state.discovery.WhetherIsSameSegment(*record);
    });
}

}  // extern "C"
