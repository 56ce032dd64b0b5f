#pragma once
// Everything a TaviSDK application includes.

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/Discovery.h"
#include "TaviSDK/Export.h"
#include "TaviSDK/GigeCamera.h"
#include "TaviSDK/GigeStream.h"
#include "TaviSDK/Types.h"
