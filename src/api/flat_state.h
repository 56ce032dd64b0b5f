#pragma once
// The process-wide state behind the flat functions: the discovery list, the Discovery object that
// fills it, and the camera table (one row per camera: the camera and a stream slot per channel).
// Nothing here locks: the functions that change the list or the table must not overlap with any
// other flat call.

#include <array>
#include <vector>

#include "TaviSDK/Discovery.h"
#include "TaviSDK/GigeCamera.h"
#include "TaviSDK/GigeStream.h"
#include "TaviSDK/Types.h"

namespace tavi::api {

inline constexpr int kStreamSlots = 3;

struct CameraRow {
    GigeCamera* camera = nullptr;  // null when its construction failed
    std::array<GigeStream*, kStreamSlots> streams{};
};

struct FlatState {
    std::vector<DiscoveryInfo> list;
    Discovery discovery;
    // Empty when there is no table. The table keeps its own row count, so a rediscovery between
    // CreateCamera and DestroyCamera cannot make DestroyCamera walk rows that do not exist.
    std::vector<CameraRow> rows;
};

FlatState& State();

// Look-ups answer null for anything missing: no table, an index outside the table or the list, an
// empty row, a channel outside 0 to 2, an empty slot.
CameraRow* RowAt(int index);
GigeCamera* CameraAt(int index);
GigeStream** SlotAt(int index, int channel);
GigeStream* StreamAt(int index, int channel);
DiscoveryInfo* RecordAt(int index);

}  // namespace tavi::api
