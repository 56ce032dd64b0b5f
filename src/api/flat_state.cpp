#include "api/flat_state.h"

#include <cstddef>

namespace tavi::api {

FlatState& State() {
    // Built on first use and destroyed when the library is unloaded; the camera table holds plain
    // pointers, so unloading leaves cameras that were never destroyed alone.
    static FlatState state;
    return state;
}

CameraRow* RowAt(int index) {
    std::vector<CameraRow>& rows = State().rows;
    if (index < 0 || static_cast<size_t>(index) >= rows.size()) return nullptr;
    return &rows[static_cast<size_t>(index)];
}

GigeCamera* CameraAt(int index) {
    CameraRow* row = RowAt(index);
    return row == nullptr ? nullptr : row->camera;
}

GigeStream** SlotAt(int index, int channel) {
    CameraRow* row = RowAt(index);
    if (row == nullptr || row->camera == nullptr || channel < 0 || channel >= kStreamSlots) return nullptr;
    return &row->streams[static_cast<size_t>(channel)];
}

GigeStream* StreamAt(int index, int channel) {
    GigeStream** slot = SlotAt(index, channel);
    return slot == nullptr ? nullptr : *slot;
}

DiscoveryInfo* RecordAt(int index) {
    std::vector<DiscoveryInfo>& list = State().list;
    if (index < 0 || static_cast<size_t>(index) >= list.size()) return nullptr;
    return &list[static_cast<size_t>(index)];
}

}  // namespace tavi::api
