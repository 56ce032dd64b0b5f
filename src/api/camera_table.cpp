// Creating and destroying the camera table: one GigeCamera per discovered camera, three empty stream
// slots each.

#include <new>

#include "TaviSDK/FlatInterface.h"
#include "api/flat_guard.h"

using tavi::api::CameraRow;
using tavi::api::FlatState;
using tavi::api::OnState;

namespace {

// A camera object, or null when it cannot be had; its row then answers as missing.
GigeCamera* NewCamera() noexcept {
    try {
        return new GigeCamera();
    } catch (...) {
        return nullptr;
    }
}

// No thread may outlive its camera: the row's open streams are closed and a connected camera is
// disconnected before the camera goes.
void ReleaseRow(CameraRow& row) noexcept {
    if (row.camera == nullptr) return;
    GigeCamera& camera = *row.camera;
    tavi::NoThrow(&camera.log, "DestroyCamera", [&] {
        for (int channel = 0; channel < tavi::api::kStreamSlots; ++channel) {
            GigeStream*& slot = row.streams[static_cast<size_t>(channel)];
            if (slot == nullptr) continue;
            camera.StreamOff(static_cast<unsigned short>(channel), slot);
            slot = nullptr;
        }
        if (camera.connected.load() != 0) camera.CameraDisconnect();
    });
    delete row.camera;
    row.camera = nullptr;
}

void ReleaseTable(FlatState& state) noexcept {
    for (CameraRow& row : state.rows) ReleaseRow(row);
    std::vector<CameraRow>().swap(state.rows);
}

}  // namespace

extern "C" {

int CreateCamera(void) {
    return OnState(__func__, 0, [](FlatState& state) {
        if (state.list.empty()) return 0;  // an existing table stays as it is
        // A second table would orphan the first one's cameras and their threads: it goes first.
        ReleaseTable(state);
        state.rows.resize(state.list.size());
        for (CameraRow& row : state.rows) row.camera = NewCamera();
        return static_cast<int>(state.rows.size());
    });
}

void DestroyCamera(void) {
    OnState(__func__, 0, [](FlatState& state) {
        ReleaseTable(state);
        return 0;
    });
}

}  // extern "C"
