// The flat functions that forward a camera's feature controls, registers, description nodes,
// calibration and clock reads to its GigeCamera. A missing camera gives -99 (64 bits wide for the
// clock reads); the text and name functions then do nothing.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "TaviSDK/FlatInterface.h"
#include "api/flat_guard.h"

using tavi::api::kNoCamera;
using tavi::api::OnCamera;

namespace {

constexpr unsigned long long kNoCameraWide =
    static_cast<unsigned long long>(static_cast<long long>(kNoCamera));

// GetCameraXMLNodeNames hands names over in slots of this many bytes, the zero included.
constexpr size_t kNameSlot = 255;

}  // namespace

extern "C" {

// ---- acquisition and connection ------------------------------------------------------------------
int AcquisitionStart(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.AcquisitionStart(); });
}
int AcquisitionStop(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.AcquisitionStop(); });
}
int CameraDisconnect(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.CameraDisconnect(); });
}
int GetHeartBeatTimeout(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.GetHeartBeatTimeout(); });
}
int SetHeartBeatTimeout(int index, int timeout) {
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.SetHeartBeatTimeout(timeout); });
}

// ---- per-sensor features -------------------------------------------------------------------------
int GetAutoExposure(int index, int cmos) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.GetAutoExposure(cmos); });
}
int GetCamExposureGainLevel(int index, int cmos) {
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.GetCamExposureGainLevel(cmos); });
}
int GetExposureTime(int index, int cmos) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.GetExposureTime(cmos); });
}
int GetGain(int index, int type, int rgb) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.GetGain(type, rgb); });
}
int SetAutoExposure(int index, int mode, int cmos) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetAutoExposure(mode, cmos); });
}
int SetCamExposureGainLevel(int index, int cmos, int level) {
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.SetCamExposureGainLevel(cmos, level); });
}
int SetExposureTime(int index, int value, int cmos) {
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.SetExposureTime(value, cmos); });
}
int SetGain(int index, int type, int value, int rgb) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetGain(type, value, rgb); });
}
int SetRoi(int index, int channel, int width, int height, int offset_x, int offset_y) {
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.SetRoi(channel, width, height, offset_x, offset_y); });
}

// ---- camera-wide features ------------------------------------------------------------------------
int GetLaserbrightness(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.GetLaserbrightness(); });
}
int GetMutipleExposure(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.GetMutipleExposure(); });
}
int GetStrobeLEDbrightress(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.GetStrobeLEDbrightress(); });
}
int GetStrobeLEDswitch(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.GetStrobeLEDswitch(); });
}
int GetTimestamp(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.GetTimestamp(); });
}
int GetTimestampStatus(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.GetTimestampStatus(); });
}
int SetTimestampControlLatch(int index) {
    return OnCamera(__func__, index, kNoCamera, [](GigeCamera& c) { return c.SetTimestampControlLatch(); });
}
int SetLaserbrightness(int index, int percent) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetLaserbrightness(percent); });
}
int SetMutipleExposure(int index, int count) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetMutipleExposure(count); });
}
int SetRGBTriggerCount(int index, int count) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetRGBTriggerCount(count); });
}
int SetRGBTriggerMode(int index, int mode) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetRGBTriggerMode(mode); });
}
int SetStrobeLEDbrightress(int index, int percent) {
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.SetStrobeLEDbrightress(percent); });
}
int SetStrobeLEDswitch(int index, int on) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetStrobeLEDswitch(on); });
}
int SetTimestamp(int index, int on) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetTimestamp(on); });
}
int SetTriggerCount(int index, int count) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetTriggerCount(count); });
}
int SetTriggerMode(int index, int mode) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetTriggerMode(mode); });
}
int SetTriggerSource(int index, int source) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SetTriggerSource(source); });
}

// ---- calibration and clock -----------------------------------------------------------------------
int GetCamExternelParameter(int index, int cmos, float* rotation, float* translation) {
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.GetCamExternelParameter(cmos, rotation, translation); });
}
int GetCamInternelParameter(int index, int cmos, float* distortion, float* camera_matrix) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) {
        return c.GetCamInternelParameter(cmos, distortion, camera_matrix);
    });
}
unsigned long long GetTimestampTickFrequency(int index) {
    return OnCamera(__func__, index, kNoCameraWide,
                    [](GigeCamera& c) { return c.GetTimestampTickFrequency(); });
}
unsigned long long GetTimestampValue(int index) {
    return OnCamera(__func__, index, kNoCameraWide, [](GigeCamera& c) { return c.GetTimestampValue(); });
}

// ---- registers and description nodes -------------------------------------------------------------
int WriteRegister(int index, unsigned int address, int value) {
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.WriteRegister(address, value); });
}
int ReadRegister(int index, unsigned int address, int* value) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) {
        int read = -1;
        const int code = c.ReadRegister(address, &read);
        if (value != nullptr) *value = read;
        return code;
    });
}
int GetNodeIncValue(int index, const char* name) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.GetNodeIncValue(name); });
}
int GetNodeMaxValue(int index, const char* name) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.GetNodeMaxValue(name); });
}
int GetNodeMinValue(int index, const char* name) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.GetNodeMinValue(name); });
}
int GetRegisterAddr(int index, const char* name) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.GetRegisterAddr(name); });
}
int SaveXmlToLocal(int index, const char* path) {
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) {
        if (path != nullptr) return c.SaveXmlToLocal(path);
        TAVI_LOG_ERROR(&c.log, "[function:SaveXmlToLocal] The path is empty. error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return static_cast<int>(TAVI_ERR_INVALID_ARGUMENT);
    });
}
void ReadStringRegister(int index, const char* name, char* text) {
    OnCamera(__func__, index, [&](GigeCamera& c) { c.ReadStringRegister(name, text); });
}
int ReadStringRegisterBounded(int index, const char* name, char* text, unsigned int capacity) {
    if (text != nullptr && capacity > 0) text[0] = '\0';
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.ReadStringRegister(name, text, capacity); });
}

void GetCameraXMLNodeNames(int index, char* names, int* count) {
    if (tavi::api::CameraAt(index) == nullptr) {
        if (count != nullptr) *count = -1;
        return;
    }
    OnCamera(__func__, index, [&](GigeCamera& c) {
        std::vector<std::string> list;
        c.GetCameraXMLNodeNames(&list);
        // Each name goes into its own slot, cut to fit with its terminating zero.
        for (size_t k = 0; names != nullptr && k < list.size(); ++k) {
            const size_t length = std::min(list[k].size(), kNameSlot - 1);
            std::memcpy(names + k * kNameSlot, list[k].data(), length);
            names[k * kNameSlot + length] = '\0';
        }
        if (count != nullptr) *count = static_cast<int>(list.size());
    });
}

}  // extern "C"
