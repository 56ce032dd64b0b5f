// Name -> node -> address (+ sensor or channel offset) -> register read or write.

#include "camera/feature_access.h"

#include "TaviSDK/GigeCamera.h"
#include "camera/node_map.h"
#include "common/no_throw.h"

namespace tavi {

namespace {

uint32_t OffsetOf(const FeatureRef& feature) {
    switch (feature.offset) {
        case FeatureOffset::kSensor:
            return kSensorStride * feature.index;
        case FeatureOffset::kChannel:
            return kChannelStride * feature.index;
        case FeatureOffset::kNone:
            break;
    }
    return 0;
}

}  // namespace

FeatureAddress ResolveFeature(GigeCamera& camera, const FeatureRef& feature) {
    FeatureAddress result;
    if (camera.connected.load() == 0) {
        TAVI_LOG_DEBUG(&camera.log, "[function:GetRegisterAddr] The camera disconnected.");
        result.code = TAVI_ERR_NOT_CONNECTED;
        return result;
    }
    uint32_t node_address = 0;
    // Following a chain of address nodes builds names in memory: running out of it is a look-up
    // that failed, so that no feature operation lets the exception out.
    const bool found = camera.node_map && NoThrow(&camera.log, "GetRegisterAddr", false, [&] {
                           return camera.node_map->RegisterAddress(
                               feature.name != nullptr ? feature.name : "", &node_address);
                       });
    if (!found) {
        TAVI_LOG_ERROR(
            &camera.log,
            "[function:GetRegisterAddr] Get the node error while get the address of the register.");
        result.code = TAVI_ERR_FEATURE_NOT_FOUND;
        return result;
    }
    // Unsigned arithmetic: an offset past the top of the address space wraps, as the device's would.
    result.address = node_address + OffsetOf(feature);
    return result;
}

int ReadFeature(GigeCamera& camera, const FeatureRef& feature, int* value) {
    const FeatureAddress where = ResolveFeature(camera, feature);
    if (where.code != 0) return where.code;
    return camera.ReadRegister(where.address, value);
}

int WriteFeature(GigeCamera& camera, const FeatureRef& feature, int value) {
    const FeatureAddress where = ResolveFeature(camera, feature);
    if (where.code != 0) return where.code;
    return camera.WriteRegister(where.address, value);
}

}  // namespace tavi
