#pragma once
// The window filter: keeps the points that belong to a locally consistent patch of the organised
// cloud. Each centre with a measurement looks at its 5-row x 3-column window; a window pixel agrees
// with the centre when |Xc - Xn| + |Zc - Zn| < min(k x 0.005 x Zc, 15). A window with more than three
// agreeing pixels keeps them all and marks them, and a marked centre is not evaluated again.
// Survivors are written back into the payload with the write-back rule, the rest become (0, 0, 0).

#include "TaviSDK/Types.h"

namespace tavi {

// Both return 0, or -2 when working memory cannot be had (the frame is then unchanged). The frame
// must be a Coord3D_ABC16 frame with data.
int WindowFilterReference(PhotoInfo& frame, double k);  // the plain loop, with a kept-points array
int WindowFilter(PhotoInfo& frame, double k);           // same survivors, one state byte per point

}  // namespace tavi
