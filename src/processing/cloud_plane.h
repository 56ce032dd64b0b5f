#pragma once
// One coordinate of every point as a 16-bit image: trunc(unit x decoded value), low 16 bits, stored
// most significant byte first (the sample order of a 16-bit PNG).

#include <cstdint>

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/Types.h"

namespace tavi {

// The plain way: decode the whole cloud into a float buffer, then take one axis. 0, or -2 when the
// buffer cannot be had.
int ExtractPlaneReference(const PhotoInfo& frame, short* plane, int axis);

// Same values, one axis decoded straight from the raw words, no buffer, both cores.
void ExtractPlane(const PhotoInfo& frame, short* plane, int axis);

// GetCloudPlane and GetCloudPlaneX/Y/Z (axis 0, 1, 2) of a camera whose log is `log`, for callers that
// hold a frame pointer which may be null (the flat interface): 0, or -2 with the operation's log line.
int CloudPlane(cameralog* log, const PhotoInfo* frame, short* plane, int axis);
int CloudPlaneOfAxis(cameralog* log, const PhotoInfo* frame, short* plane, int axis);

}  // namespace tavi
