#pragma once
// Finding cameras: the discovery broadcast, force IP, sorting the list and address conversions.

#include <cstdint>
#include <vector>

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/Export.h"
#include "TaviSDK/Types.h"

class TAVI_API Discovery {
  public:
    Discovery();
    ~Discovery();
    Discovery(const Discovery&) = delete;
    // Member-wise copy; the copy keeps its own address-text buffer and its own (closed) log.
    Discovery& operator=(const Discovery& other);

    // Broadcasts a discovery from every local IPv4 address and appends one record per answer to
    // `list`. Returns the number of records appended, or -3 when the adapters cannot be listed.
    // With a null list it returns the previous result and does nothing else.
    int DiscoverCamera(std::vector<DiscoveryInfo>* list);

    // Gives the camera of `info` a new address, mask and gateway (dotted texts). 0, -2, -4 or -7.
    int ForceIp(DiscoveryInfo info, char* ip, char* mask, char* gateway);
    // Mode 0: by address; mode 1: the first camera_count records by serial number.
    int CameraSort(std::vector<DiscoveryInfo>* list, int sort_mode);
    bool WhetherIsSameSegment(DiscoveryInfo info);
    // The text lives in this object and is overwritten by the next call.
    char* ConvertIpIntToString(unsigned int address);
    unsigned int ConvertIpStringToInt(char* text);
    // Stores the four process-wide log switches; note the order: error, debug, warning, info.
    void SetLogLevelSwitch(int error, int debug, int warning, int info);

    int camera_count = 0;
    uint16_t request_id = 0;
    char* ip_text = nullptr;
    cameralog log;

  private:
    int DiscoverCameraWin32(std::vector<DiscoveryInfo>** list);
};
