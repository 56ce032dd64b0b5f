#pragma once
// The grid filter: removes points that lie in sparsely populated cells of a 3-D grid of 30-unit cubes.
// The grid spans X and Y from -h to 30C - h and Z from 0 to 30C, where h is half the depth range and
// C = 2h / 30; a point outside it, or in a cell holding fewer than `min_population` points, becomes
// (0, 0, 0). Every other point is written back with the write-back rule. min_population < 1 removes
// nothing.

#include "TaviSDK/Types.h"

namespace tavi {

inline constexpr float kGridCellEdge = 30.0f;

// The plain way with two dense C x C x C grids (memory grows with the cube of the depth range).
// 0, or -2 when the grids cannot be had; the frame is then unchanged.
int GridFilterReference(PhotoInfo& frame, int min_population);

// Same survivors with a hash of the occupied cells: memory grows with the number of points.
// 0, or -2 when working memory cannot be had; the frame is then unchanged.
int GridFilter(PhotoInfo& frame, int min_population);

}  // namespace tavi
